#pragma once

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace Tamro::HardwareAPI::Detail {

// One failure report on standard error, "[err] <unit>:<line>> <message>: [errno] text",
// written with C stdio and flushed so it shows at once and in order. The caller gives the
// message as a printf format and its arguments; the errno part and the newline are added
// here, from errno as it was on entry. The unit and line are fixed per message: callers and
// log readers match on them.
[[gnu::format(printf, 3, 4)]] inline void ReportError(const char* unit, unsigned line,
                                                      const char* format, ...) {
    const int error = errno;
    // strerror_r: devices on other threads may report at the same moment.
    char buffer[128];
    const char* text = ::strerror_r(error, buffer, sizeof buffer);
    std::va_list args;
    va_start(args, format);
    ::flockfile(stderr);  // one whole line, even with several threads reporting
    std::fprintf(stderr, "[err] %s:%u> ", unit, line);
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, ": [%d] %s\n", error, text);
    std::fflush(stderr);
    ::funlockfile(stderr);
    va_end(args);
}

}  // namespace Tamro::HardwareAPI::Detail
