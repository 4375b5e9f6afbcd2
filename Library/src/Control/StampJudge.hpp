// How fresh a streamed sample is by its sender's own stamp. The sender's clock is another
// machine's wall clock, possibly unsynchronised with ours, so a sample's age is judged against
// the stream itself: the offset between arrival (our monotonic clock) and stamp is smallest
// for the samples that were queued least, so the windowed minimum of that offset over recently
// accepted samples is the stream's best, and how far a sample's offset exceeds it is how long
// it was held up on the way. Our wall clock is only asked once a stream starts (or starts
// again after a silence), to refuse stamps no sender could mean. Not thread safe: its owner
// serialises the senders. No allocation.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <limits>

namespace Tamro::HardwareAPI::Control::Detail {

class StampJudge {
public:
    enum class Verdict : std::uint8_t {
        Fresh,        // taken
        Stale,        // older than the time-out, or older than the newest taken
        Future,       // fresher than the stream's best offset allows
        Implausible,  // unstamped (zero, negative), or a first stamp far from our wall clock
    };

    struct Judgement {
        Verdict verdict;
        std::int64_t ageNs;  // of a fresh sample: how long it was held up (0 or more)
    };

    // A sample fresher than the best offset by more than this is from the future: room for the
    // clocks' relative drift and for a link that got quicker, not for a spoofed stamp.
    static constexpr std::int64_t LeadNs = 20'000'000;
    // The best offset is the minimum over at least this long of accepted samples (and over
    // two time-outs when that is longer), so drift is tracked.
    static constexpr std::int64_t HistoryNs = 4'000'000'000;

    // The stream's time-out, and how far a first stamp may lie from our wall clock either way.
    // For drain after a start (the time-out when negative), a much fresher sample that our
    // wall clock finds plausible replaces the one the stream started with as its reference.
    // Starts the stream afresh.
    void Configure(std::chrono::nanoseconds timeout, std::chrono::nanoseconds window,
                   std::chrono::nanoseconds drain = std::chrono::nanoseconds(-1)) noexcept;
    // The next sample starts the stream afresh.
    void Reset() noexcept { live_ = false; }

    // stampNs: the sender's stamp (ns since the epoch, its clock); arrivalNs: our monotonic
    // clock when it arrived; wallNs: our wall clock then (ns since the epoch). A refusal
    // changes nothing: no offset, no high-water mark, no liveness.
    Judgement Judge(std::int64_t stampNs, std::int64_t arrivalNs, std::int64_t wallNs) noexcept;

private:
    static constexpr int Slots = 8;
    struct Slot {
        std::int64_t index = std::numeric_limits<std::int64_t>::min();
        std::int64_t offset = 0;
    };

    bool Plausible(std::int64_t stampNs, std::int64_t wallNs) const noexcept;
    void Seed(std::int64_t offset, std::int64_t stampNs, std::int64_t arrivalNs) noexcept;
    void Record(std::int64_t offset, std::int64_t arrivalNs) noexcept;
    std::int64_t Best(std::int64_t arrivalNs) const noexcept;

    std::int64_t timeout_ = 250'000'000;
    std::int64_t window_ = 100'000'000;
    std::int64_t drain_ = 250'000'000;
    std::int64_t slotNs_ = HistoryNs / Slots;
    bool live_ = false;
    std::int64_t startedAt_ = 0;    // arrival of the sample the stream started with
    std::int64_t lastArrival_ = 0;  // of the newest accepted sample
    std::int64_t lastOffset_ = 0;
    std::int64_t newestStamp_ = 0;  // the high-water mark
    std::array<Slot, Slots> slots_{};
};

}  // namespace Tamro::HardwareAPI::Control::Detail
