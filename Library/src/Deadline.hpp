#pragma once

#include <chrono>

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

}  // namespace Tamro::HardwareAPI::Detail
