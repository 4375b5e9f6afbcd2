#pragma once

#include <chrono>
#include <ctime>

namespace Tamro::HardwareAPI::Detail {

// A point in time on the monotonic clock; every timed wait in the library measures against
// one, so a step of the wall clock can neither cut a wait short nor stretch it.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    explicit Deadline(Clock::duration timeout) : end_(Clock::now() + timeout) {}

    Clock::time_point When() const noexcept { return end_; }
    bool Expired() const noexcept { return Clock::now() >= end_; }
    Clock::duration Remaining() const noexcept {
        const auto left = end_ - Clock::now();
        return left > Clock::duration::zero() ? left : Clock::duration::zero();
    }

private:
    Clock::time_point end_;
};

// A duration (or a time on the monotonic clock, as its time since the epoch) as the timespec
// that ppoll and clock_nanosleep take.
inline timespec ToTimespec(std::chrono::steady_clock::duration d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

}  // namespace Tamro::HardwareAPI::Detail
