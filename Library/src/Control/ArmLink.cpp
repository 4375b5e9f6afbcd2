#include "ArmLink.hpp"

namespace Tamro::HardwareAPI::Control::Detail {

void ReplyMatcher::Sent(std::uint64_t request, bool barrier, Clock::time_point at) noexcept {
    if (count_ == Capacity) PopFront();
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
        if (entry.barrier) return {entry.request, entry.sentAt};
    }
    return {};
}

bool ReplyMatcher::BarrierInFlight() const noexcept {
    for (std::size_t i = 0; i < count_; ++i)
        if (At(i).barrier) return true;
    return false;
}

bool ReplyMatcher::OldestIsBarrier() const noexcept { return count_ > 0 && At(0).barrier; }

}  // namespace Tamro::HardwareAPI::Control::Detail
