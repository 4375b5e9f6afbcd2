// A loop's own serial port. It is opened and set up as every port is (serialib), then read
// and written straight on its descriptor, quietly: failures come back as errno values, never
// as report lines on standard error. Every wait ends by an absolute deadline, and Interrupt
// (from any thread) ends it at once, through an eventfd polled beside the port.
//
// It is also a std::streambuf, so a device class (Devices::Handle) can run over it and stay
// quiet: a read that cannot be served ends in end-of-file (which the device layer passes over
// in silence) and a write always looks whole to the stream; what really happened is Error().
#pragma once

#include "IO/serialib.hpp"
#include "Timing.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <streambuf>
#include <string>

namespace Tamro::HardwareAPI::Control::Detail {

class QuietPort : public std::streambuf {
public:
    enum class Wait : std::uint8_t { Ready, TimedOut, Interrupted, Failed };

    // The largest message a device sends, and then some: what Fill can be asked for.
    static constexpr std::size_t Capacity = 1024;

    QuietPort();
    ~QuietPort() override;
    QuietPort(const QuietPort&) = delete;
    QuietPort& operator=(const QuietPort&) = delete;

    // 0 on success, else the errno of the failed open.
    int Open(const std::string& path);
    void Close() noexcept;

    // The whole of count bytes in one write: 0, or the errno (EIO for a short write).
    int Write(const std::uint8_t* bytes, std::size_t count) noexcept;

    // Waits until at least count bytes (at most Capacity) are buffered, or until; Failed keeps
    // the errno in Error().
    Wait Fill(std::size_t count, Clock::time_point until) noexcept;
    const std::uint8_t* Data() const noexcept { return buffer_.data() + begin_; }
    std::size_t Size() const noexcept { return end_ - begin_; }
    void Consume(std::size_t count) noexcept;
    // What is buffered and what the line holds yet unread: bytes that have come.
    std::size_t Pending() const noexcept;
    // Drops what is buffered and what the line holds.
    void Discard() noexcept;

    // The deadline of the stream reads, and the errno of the last failure (0: none).
    void SetDeadline(Clock::time_point until) noexcept { deadline_ = until; }
    int Error() const noexcept { return error_; }
    void ClearError() noexcept { error_ = 0; }
    // The last stream read ended for this reason (Ready when it was served).
    Wait LastWait() const noexcept { return lastWait_; }

    void Interrupt() noexcept;
    void Resume() noexcept;

    // The descriptor (a guard holds a copy), and the heartbeat its waits give in slices.
    int Descriptor() const noexcept { return port_.Descriptor(); }
    void UseHeartbeat(Heartbeat heartbeat) noexcept { heartbeat_ = heartbeat; }

protected:
    int_type underflow() override;
    int_type uflow() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    std::streamsize xsputn(const char_type* s, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    IO::serialib port_;
    int wake_ = -1;
    std::array<std::uint8_t, Capacity> buffer_{};
    std::size_t begin_ = 0, end_ = 0;
    Clock::time_point deadline_{};
    int error_ = 0;
    Wait lastWait_ = Wait::Ready;
    Heartbeat heartbeat_;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
