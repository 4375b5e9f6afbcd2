#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <string>

namespace Tamro::HardwareAPI::IO {

class serialib;

// A std::iostream over one serial port: raw 8N1 at 115200 baud, DTR raised, unbuffered,
// one second per read unless another read time-out is given. A port that cannot be opened
// is reported on standard error and leaves a valid stream whose reads and writes fail.
class SerialStream : public std::iostream {
public:
    using Duration = std::chrono::steady_clock::duration;
    static constexpr Duration DefaultReadTimeout = std::chrono::seconds(1);

    // path may be null (reported like a missing device). With open false, call OpenPort later.
    // readTimeout bounds every read, measured from its start.
    SerialStream(const char* path, bool open, Duration readTimeout = DefaultReadTimeout);
    ~SerialStream() override;

    SerialStream(const SerialStream&) = delete;
    SerialStream& operator=(const SerialStream&) = delete;

    // 1 on success, -2 when the port cannot be opened (reported on standard error).
    // A second call on a stream whose port is open does nothing and returns 1.
    std::int8_t OpenPort();

    // OpenPort without the report: 0 on success, else the errno of the failed open.
    int OpenPortQuietly();

    // True while the port's descriptor is open.
    bool IsOpen() const noexcept;

    // Closes the port now; the stream then fails every read and write.
    void ClosePort() noexcept;

    // Bounds every later read (measured from its start).
    void SetReadTimeout(Duration timeout) noexcept;

    // Drops whatever was received and not yet read; returns how many bytes that was. The
    // stream state is left as it is.
    std::size_t DiscardInput() noexcept;

private:
    std::string path_;
    bool hasPath_;
    Duration readTimeout_;
    std::unique_ptr<serialib> port_;
};

}  // namespace Tamro::HardwareAPI::IO
