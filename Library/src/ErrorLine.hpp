#pragma once

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace Tamro::HardwareAPI::Detail {

// One failure report on standard error, "[err] <unit>:<line>> <message>: [errno] text", written
// with C stdio and flushed so it shows at once and in order. The unit and line are fixed
// per message: callers and log readers match on them.
template <typename... Args>
void ReportError(const char* unit, unsigned line, const char* format, Args... args) {
    const int error = errno;
    // strerror_r: devices on other threads may report at the same moment.
    char buffer[128];
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    ::flockfile(stderr);  // one whole line, even with several threads reporting
    std::fprintf(stderr, "[err] %s:%u> ", unit, line);
    std::fprintf(stderr, format, args..., error, text);
    std::fflush(stderr);
    ::funlockfile(stderr);
}

}  // namespace Tamro::HardwareAPI::Detail
