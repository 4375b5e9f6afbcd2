#include "StampJudge.hpp"

#include "Streams.hpp"

#include <algorithm>

namespace Tamro::HardwareAPI::Control::Detail {

void StampJudge::Configure(std::chrono::nanoseconds timeout, std::chrono::nanoseconds window,
                           std::chrono::nanoseconds drain) noexcept {
    timeout_ = timeout.count();
    window_ = window.count();
    drain_ = drain.count() < 0 ? timeout_ : drain.count();
    slotNs_ = std::max(HistoryNs, 2 * timeout_) / Slots;
    live_ = false;
}

bool StampJudge::Plausible(std::int64_t stampNs, std::int64_t wallNs) const noexcept {
    // The wall clock is positive and the window at most 1e9 s: no overflow either way.
    return NearClock(stampNs, wallNs, window_, window_);
}

void StampJudge::Seed(std::int64_t offset, std::int64_t stampNs, std::int64_t arrivalNs) noexcept {
    slots_.fill(Slot{});
    newestStamp_ = stampNs;
    Record(offset, arrivalNs);
}

void StampJudge::Record(std::int64_t offset, std::int64_t arrivalNs) noexcept {
    const std::int64_t index = arrivalNs / slotNs_;
    Slot& slot = slots_[static_cast<std::size_t>(index % Slots)];
    if (slot.index != index)
        slot = {index, offset};
    else
        slot.offset = std::min(slot.offset, offset);
    lastArrival_ = arrivalNs;
    lastOffset_ = offset;
}

std::int64_t StampJudge::Best(std::int64_t arrivalNs) const noexcept {
    const std::int64_t index = arrivalNs / slotNs_;
    // The newest accepted sample is within the time-out, so within the history: never empty.
    std::int64_t best = lastOffset_;
    for (const Slot& slot : slots_)
        if (slot.index > index - Slots && slot.index <= index) best = std::min(best, slot.offset);
    return best;
}

StampJudge::Judgement StampJudge::Judge(std::int64_t stampNs, std::int64_t arrivalNs,
                                        std::int64_t wallNs) noexcept {
    if (stampNs <= 0 || wallNs <= 0) return {Verdict::Implausible, 0};
    const std::int64_t offset = arrivalNs - stampNs;
    // A stream silent for longer than its time-out has stopped (and faded): it starts afresh,
    // which is also how it recovers when its sender's clock steps.
    const bool stopped = !live_ || arrivalNs - lastArrival_ > timeout_;
    if (stopped) {
        if (!Plausible(stampNs, wallNs)) return {Verdict::Implausible, 0};
        live_ = true;
        startedAt_ = arrivalNs;
        Seed(offset, stampNs, arrivalNs);
        return {Verdict::Fresh, 0};
    }
    const std::int64_t age = offset - Best(arrivalNs);
    if (age < -LeadNs) {
        // Just after a start, the samples queued before the one it started with may still be
        // draining: a fresher one our wall clock finds plausible is the better reference.
        if (arrivalNs - startedAt_ <= drain_ && Plausible(stampNs, wallNs)) {
            Seed(offset, stampNs, arrivalNs);
            return {Verdict::Fresh, 0};
        }
        return {Verdict::Future, 0};
    }
    if (age > timeout_ || stampNs < newestStamp_) return {Verdict::Stale, 0};
    newestStamp_ = stampNs;
    Record(offset, arrivalNs);
    return {Verdict::Fresh, std::max<std::int64_t>(age, 0)};
}

}  // namespace Tamro::HardwareAPI::Control::Detail
