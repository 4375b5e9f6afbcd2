#include <Tamro/HardwareAPI/Devices/Device.hpp>

#include "ErrorLine.hpp"

#include <cstring>
#include <istream>
#include <ostream>

namespace Tamro::HardwareAPI::Devices {

namespace {

constexpr const char* Unit = "Library/src/Device";
constexpr unsigned WriteLine = 39;
constexpr unsigned ReadHeaderLine = 49;
constexpr unsigned ReadBytesLine = 60;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "wire values are little-endian and are copied as they lie in memory");

constexpr std::int32_t MaxFloats = 255;  // 1 + 4 * 255 bytes fit the buffer

enum class Outcome { Success, Quiet, Reported };

// No bit set: success. eofbit (a time-out, a closed port): quiet. Anything else: report.
Outcome Judge(const std::ios& stream) {
    const auto state = stream.rdstate();
    if (state == std::ios::goodbit) return Outcome::Success;
    if (state & std::ios::eofbit) return Outcome::Quiet;
    return Outcome::Reported;
}

}  // namespace

Device::Device(std::iostream* stream)
    : stream_(stream),
      output_(std::make_unique<std::uint8_t[]>(BufferSize)),
      input_(std::make_unique<std::uint8_t[]>(BufferSize)) {}

Device::~Device() = default;

void Device::WriteBytes(std::size_t count) {
    stream_->write(reinterpret_cast<const char*>(output_.get()),
                   static_cast<std::streamsize>(count));
    if (Judge(*stream_) == Outcome::Reported) {
        Detail::ReportError(Unit, WriteLine, "unable to write '%zu' bytes to stream", count);
    }
}

std::uint8_t Device::ReadHeaderCode() {
    stream_->read(reinterpret_cast<char*>(input_.get()), 1);
    switch (Judge(*stream_)) {
        case Outcome::Success: return input_[0];
        case Outcome::Quiet: return 0;
        case Outcome::Reported: break;
    }
    Detail::ReportError(Unit, ReadHeaderLine, "unable to read header code from stream");
    return 0;
}

std::int32_t Device::ReadBytes(std::size_t count) {
    stream_->read(reinterpret_cast<char*>(input_.get()), static_cast<std::streamsize>(count));
    switch (Judge(*stream_)) {
        case Outcome::Success: return static_cast<std::int32_t>(stream_->gcount());
        case Outcome::Quiet: return 0;
        case Outcome::Reported: break;
    }
    Detail::ReportError(Unit, ReadBytesLine, "unable to read '%zu' bytes from stream", count);
    return 0;
}

void Device::SendFloats(std::uint8_t code, const float* values, const std::int32_t& count) {
    const auto n = static_cast<std::size_t>(count < 0 ? 0 : count > MaxFloats ? MaxFloats : count);
    output_[0] = code;
    if (n > 0) std::memcpy(output_.get() + 1, values, sizeof(float) * n);
    WriteBytes(4 * n + 1);
}

void Device::SendCode(std::uint8_t code) {
    output_[0] = code;
    WriteBytes(1);
}

bool Device::ReceiveReply(std::uint8_t expectedCode, std::size_t length) {
    switch (ReadReply(expectedCode, length)) {
        case Reply::Complete: return true;
        case Reply::Missing:
        case Reply::WrongCode:
            ReadBytes(BufferSize);  // drop whatever belongs to the unexpected message
            return false;
        case Reply::Short: break;
    }
    return false;
}

Reply Device::ReadReply(std::uint8_t expectedCode, std::size_t length) {
    const std::uint8_t code = ReadHeaderCode();
    if (!stream_->good()) return Reply::Missing;
    if (code != expectedCode) return Reply::WrongCode;
    return ReadBytes(length) == static_cast<std::int32_t>(length) ? Reply::Complete : Reply::Short;
}

}  // namespace Tamro::HardwareAPI::Devices
