#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <streambuf>

namespace Tamro::HardwareAPI::IO {

// An unbuffered stream buffer over one serial descriptor. Every byte goes straight to or from
// the port; every read waits at most the read time-out (one second unless set); at most one
// byte is held for put-back. Writes no messages and throws nothing.
class serialib : public std::streambuf {
public:
    using Duration = std::chrono::steady_clock::duration;
    static constexpr Duration DefaultReadTimeout = std::chrono::milliseconds(1000);

    serialib() = default;
    ~serialib() override;

    serialib(const serialib&) = delete;
    serialib& operator=(const serialib&) = delete;

    // 1 on success, -2 when the device cannot be opened (errno from open). Terminal settings
    // that fail are ignored, so a plain file still opens. Whatever was waiting on the line
    // (an earlier program's unread reply) is discarded.
    std::int8_t Open(const char* path);
    void RaiseDTR();
    void Close() noexcept;
    bool IsOpen() const noexcept { return fd_ >= 0; }
    // The port's descriptor (-1 when closed), for a caller that waits on it beside others.
    int Descriptor() const noexcept { return fd_; }

    // Reads until count bytes are in or the read time-out has passed since the call; the
    // first read is immediate. Returns the bytes read (0 to count), or -2 on a read error.
    int ReadWithTimeout(std::uint8_t* destination, std::uint32_t count);

    void SetReadTimeout(Duration timeout) noexcept { readTimeout_ = timeout; }
    Duration ReadTimeout() const noexcept { return readTimeout_; }

    // Drops the held byte and everything received but not yet read; returns how many bytes
    // that was (0 when the line was clean).
    std::size_t DiscardInput() noexcept;

protected:
    std::streambuf* setbuf(char_type* s, std::streamsize n) override;
    std::streamsize showmanyc() override;
    std::streamsize xsgetn(char_type* s, std::streamsize n) override;
    int_type underflow() override;
    int_type uflow() override;
    int_type pbackfail(int_type c) override;
    std::streamsize xsputn(const char_type* s, std::streamsize n) override;
    int_type overflow(int_type c) override;

private:
    std::uint8_t heldByte_ = 0;
    bool holding_ = false;
    int fd_ = -1;
    Duration readTimeout_ = DefaultReadTimeout;
};

}  // namespace Tamro::HardwareAPI::IO
