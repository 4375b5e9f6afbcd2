#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include "ErrorLine.hpp"
#include "serialib.hpp"

namespace Tamro::HardwareAPI::IO {

namespace {

constexpr const char* Unit = "Library/src/SerialStream";
constexpr unsigned OpenStreamLine = 18;
constexpr unsigned OpenPortLine = 39;

}  // namespace

SerialStream::SerialStream(const char* path, bool open)
    : std::iostream(nullptr), path_(path ? path : ""), hasPath_(path != nullptr) {
    if (!open) return;
    if (OpenPort() < 0) {
        Detail::ReportError(Unit, OpenStreamLine, "unable to open stream '%s': [%d] %s\n",
                            hasPath_ ? path_.c_str() : "(null)");
    }
}

SerialStream::~SerialStream() {
    rdbuf(nullptr);
    if (port_) port_->Close();
}

std::int8_t SerialStream::OpenPort() {
    if (port_ && port_->IsOpen()) return 1;
    port_ = std::make_unique<serialib>();
    rdbuf(port_.get());  // resets the state to good, whether or not the port opens
    if (port_->Open(hasPath_ ? path_.c_str() : nullptr) == 1) {
        port_->RaiseDTR();
        return 1;
    }
    Detail::ReportError(Unit, OpenPortLine, "unable to open port '%s': [%d] %s\n",
                        hasPath_ ? path_.c_str() : "(null)");
    return -2;
}

bool SerialStream::IsOpen() const noexcept { return port_ && port_->IsOpen(); }

void SerialStream::ClosePort() noexcept {
    if (port_) port_->Close();
}

}  // namespace Tamro::HardwareAPI::IO
