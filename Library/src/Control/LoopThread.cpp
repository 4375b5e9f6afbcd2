#include "LoopThread.hpp"

#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include "Timing.hpp"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <pthread.h>

namespace Tamro::HardwareAPI::Control::Detail {

void LoopThreadSetUp() noexcept {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    TightenTimerSlack();
}

void CheckLoopOptions(double rateHz, std::chrono::nanoseconds faultTimeout, int maxFaults) {
    if (!(rateHz == 0 || (rateHz >= 0.1 && rateHz <= 100000)))
        throw InvalidArgument("rateHz", "must be from 0.1 to 100000 (or 0 to run free)");
    if (faultTimeout < std::chrono::milliseconds(1) || faultTimeout > std::chrono::seconds(10))
        throw InvalidArgument("faultTimeout", "must be from 0.001 to 10 seconds");
    if (maxFaults < 1) throw InvalidArgument("maxFaults", "must be at least 1");
}

void FaultNote::Set(int code, const char* format, ...) noexcept {
    error = code;
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
}

void FaultNote::NoteMissing(int savedErrno, bool writeFailed,
                            std::chrono::nanoseconds timeout) noexcept {
    const bool portError =
        writeFailed || (savedErrno != 0 && savedErrno != EINTR && savedErrno != EAGAIN);
    if (portError) {
        const int code = savedErrno != 0 ? savedErrno : EIO;
        char buffer[96];
        Set(code, "port error: [%d] %s", code, ::strerror_r(code, buffer, sizeof buffer));
        return;
    }
    const auto us = static_cast<long long>(
        std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
    if (us % 1000 == 0)
        Set(ETIMEDOUT, "no reply within %lld ms", us / 1000);
    else
        Set(ETIMEDOUT, "no reply within %lld us", us);
}

void LoopFlags::Latch(const FaultNote& why, int inARow) noexcept {
    faultError_ = why.error;
    std::snprintf(faultText_, sizeof faultText_, "%s (%d failures in a row)", why.text, inARow);
    faulted_.store(true, std::memory_order_release);
}

std::optional<Fault> LoopFlags::LatchedFault() const {
    if (!Faulted()) return std::nullopt;
    return Fault{faultError_, faultText_};
}

}  // namespace Tamro::HardwareAPI::Control::Detail
