// Cyclone DDS's own messages to standard error through a LogLimiter, so that a failing
// interface cannot fill the terminal.
#pragma once

#include <cstddef>
#include <string>

namespace Tamro::HardwareAPI::Network::Detail {

// Routes Cyclone's log (its errors) through one limiter for the whole process: Cyclone has a
// single sink per process. Idempotent.
void RouteCycloneLog() noexcept;

// What Cyclone logs on this thread while it lives (a participant it cannot create says why on
// the creating thread), at most a few kilobytes. One per thread at a time.
class LogCapture {
public:
    LogCapture() noexcept;
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::string& Text() const noexcept { return text_; }
    void Add(const char* message, std::size_t size);

private:
    std::string text_;
};

}  // namespace Tamro::HardwareAPI::Network::Detail
