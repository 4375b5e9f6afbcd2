#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <memory>

namespace Tamro::HardwareAPI::Devices {

// How a reply ended: complete, nothing (time-out or a failed stream), another header code
// (left in the input buffer at offset 0), or a payload cut short.
enum class Reply { Complete, Missing, WrongCode, Short };

// The base of every device: a stream it does not own, and one 1024-byte buffer for each
// direction, allocated once. Messages are a one-byte header code and a payload whose length
// the code fixes.
class Device {
public:
    static constexpr std::size_t BufferSize = 1024;

    explicit Device(std::iostream* stream);
    ~Device();

    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Writes output buffer bytes [0, count) in one write; a refused write is reported.
    void WriteBytes(std::size_t count);

    // Reads one byte into input buffer offset 0; 0 on any failure.
    std::uint8_t ReadHeaderCode();

    // Reads count bytes into the input buffer from offset 0; count on success, 0 on failure.
    std::int32_t ReadBytes(std::size_t count);

    // Writes code followed by count floats (0 to 255) in one write.
    void SendFloats(std::uint8_t code, const float* values, const std::int32_t& count);

    // Sends a message that is the header code alone.
    void SendCode(std::uint8_t code);

    // The reply pattern of every arm receive operation: reads a header code; if it is not
    // expectedCode, discards up to BufferSize bytes and answers false; otherwise reads length
    // payload bytes into the input buffer and answers whether all of them arrived.
    bool ReceiveReply(std::uint8_t expectedCode, std::size_t length);

    // The same without the discard read, for callers that recover on their own and need to
    // know what went wrong.
    Reply ReadReply(std::uint8_t expectedCode, std::size_t length);

    std::uint8_t* OutputBuffer() noexcept { return output_.get(); }
    const std::uint8_t* InputBuffer() const noexcept { return input_.get(); }

private:
    std::iostream* stream_;
    std::unique_ptr<std::uint8_t[]> output_;
    std::unique_ptr<std::uint8_t[]> input_;
};

}  // namespace Tamro::HardwareAPI::Devices
