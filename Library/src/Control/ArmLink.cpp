#include "ArmLink.hpp"

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace Tamro::HardwareAPI::Control::Detail {

void ReplyMatcher::Sent(std::uint64_t request, bool barrier, Clock::time_point at) noexcept {
    if (count_ == Capacity) {
        PopFront();
        complete_ = false;
    }
    entries_[(first_ + count_) % Capacity] = Entry{request, barrier, at};
    ++count_;
}

void ReplyMatcher::PopFront() noexcept {
    first_ = (first_ + 1) % Capacity;
    --count_;
}

ReplyMatcher::Match ReplyMatcher::OnState() noexcept {
    if (count_ == 0 || At(0).barrier) return {};
    const Match match{At(0).request, At(0).sentAt};
    PopFront();
    return match;
}

ReplyMatcher::Match ReplyMatcher::OnBarrier() noexcept {
    while (count_ > 0) {
        const Entry entry = At(0);
        PopFront();
        if (entry.barrier) {
            complete_ = true;  // every request before the barrier is over
            return {entry.request, entry.sentAt};
        }
    }
    return {};
}

bool ReplyMatcher::BarrierInFlight() const noexcept {
    for (std::size_t i = 0; i < count_; ++i)
        if (At(i).barrier) return true;
    return false;
}

bool ReplyMatcher::OldestIsBarrier() const noexcept { return count_ > 0 && At(0).barrier; }

std::size_t ReplyMatcher::DueBytes(std::size_t stateLength,
                                   std::size_t barrierLength) const noexcept {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count_; ++i) bytes += At(i).barrier ? barrierLength : stateLength;
    return bytes;
}

bool StatePlausibility::Judge(const Vec3& position, const Vec3& velocity, Clock::time_point sentAt,
                              Clock::time_point at, FaultNote& why) noexcept {
    constexpr double Reach = ServoLoop::WorkspaceHalfSize + ServoLoop::WorkspaceMargin;
    double speed = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        // Written so that NaN fails too.
        if (!(std::fabs(position[i]) <= Reach)) {
            why.Set(EPROTO, "a state %.3g m from the workspace's centre (the arm reaches %.2g m)",
                    position[i], Reach);
            return false;
        }
        speed += velocity[i] * velocity[i];
    }
    speed = std::sqrt(speed);
    if (!(speed <= ServoLoop::MaxArmSpeed)) {
        why.Set(EPROTO, "a state moving at %.3g m/s (no arm moves faster than %.3g m/s)", speed,
                ServoLoop::MaxArmSpeed);
        return false;
    }
    if (have_) {
        double step = 0;
        for (std::size_t i = 0; i < 3; ++i)
            step += (position[i] - last_[i]) * (position[i] - last_[i]);
        step = std::sqrt(step);
        const double seconds = std::chrono::duration<double>(at - lastSentAt_).count();
        // The float32 on the wire rounds a position by well under a micrometre.
        if (step > ServoLoop::MaxArmSpeed * std::max(seconds, 0.0) + 1e-6) {
            why.Set(EPROTO,
                    "a state %.3g m from the one before, %.3g ms after it (faster than %.3g m/s)",
                    step, seconds * 1e3, ServoLoop::MaxArmSpeed);
            return false;
        }
    }
    have_ = true;
    last_ = position;
    lastSentAt_ = sentAt;
    return true;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
