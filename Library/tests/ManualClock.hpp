// A loop clock of the test's own: time moves only when a scripted device or a sleep moves it.
#pragma once

#include "Control/Timing.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>

namespace TamroTest {

using Tamro::HardwareAPI::Control::Detail::Clock;

class ManualClock final : public Tamro::HardwareAPI::Control::Detail::LoopClock {
public:
    Clock::time_point Now() noexcept override { return now; }
    bool SleepUntil(Clock::time_point t, const std::atomic<bool>& stop) noexcept override {
        if (stop) return false;
        now = std::max(now, t);
        return true;
    }
    Clock::time_point now = Clock::time_point{} + std::chrono::seconds(1000);
};

}  // namespace TamroTest
