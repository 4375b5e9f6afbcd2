#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include "ErrorLine.hpp"
#include "serialib.hpp"

#include <cerrno>

namespace Tamro::HardwareAPI::IO {

namespace {

constexpr const char* Unit = "Library/src/SerialStream";
constexpr unsigned OpenStreamLine = 18;
constexpr unsigned OpenPortLine = 39;

}  // namespace

SerialStream::SerialStream(const char* path, bool open, Duration readTimeout)
    : std::iostream(nullptr),
      path_(path ? path : ""),
      hasPath_(path != nullptr),
      readTimeout_(readTimeout) {
    if (!open) return;
    if (OpenPort() < 0) {
        Detail::ReportError(Unit, OpenStreamLine, "unable to open stream '%s'",
                            hasPath_ ? path_.c_str() : "(null)");
    }
}

SerialStream::~SerialStream() {
    rdbuf(nullptr);
    if (port_) port_->Close();
}

int SerialStream::OpenPortQuietly() {
    if (port_ && port_->IsOpen()) return 0;
    port_ = std::make_unique<serialib>();
    port_->SetReadTimeout(readTimeout_);
    rdbuf(port_.get());  // resets the state to good, whether or not the port opens
    if (port_->Open(hasPath_ ? path_.c_str() : nullptr) == 1) {
        port_->RaiseDTR();
        return 0;
    }
    return errno;
}

std::int8_t SerialStream::OpenPort() {
    if (OpenPortQuietly() == 0) return 1;
    Detail::ReportError(Unit, OpenPortLine, "unable to open port '%s'",
                        hasPath_ ? path_.c_str() : "(null)");
    return -2;
}

bool SerialStream::IsOpen() const noexcept { return port_ && port_->IsOpen(); }

void SerialStream::ClosePort() noexcept {
    if (port_) port_->Close();
}

void SerialStream::SetReadTimeout(Duration timeout) noexcept {
    readTimeout_ = timeout;
    if (port_) port_->SetReadTimeout(timeout);
}

std::size_t SerialStream::DiscardInput() noexcept { return port_ ? port_->DiscardInput() : 0; }

}  // namespace Tamro::HardwareAPI::IO
