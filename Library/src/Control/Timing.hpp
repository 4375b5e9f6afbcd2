// Timing figures a loop keeps of itself: durations in a histogram (percentiles without
// storing samples or allocating), and the pacing of a fixed-rate loop on absolute deadlines.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

using Clock = std::chrono::steady_clock;

// Log-linear buckets of nanosecond durations: exact below 2^SubBits ns, then 2^SubBits buckets
// per power of two up to about 18 minutes (the last takes everything longer).
template <int SubBits>
struct LogBuckets {
    static constexpr int Sub = 1 << SubBits;
    static constexpr int Octaves = 34;
    static constexpr int Count = Sub + Octaves * Sub;

    static int Of(std::uint64_t ns) noexcept {
        if (ns < static_cast<std::uint64_t>(Sub)) return static_cast<int>(ns);
        const int msb = 63 - __builtin_clzll(ns);
        const int octave = msb - SubBits + 1;
        if (octave > Octaves) return Count - 1;
        const int sub = static_cast<int>(ns >> (msb - SubBits)) - Sub;
        return Sub + (octave - 1) * Sub + sub;
    }

    // The middle of a bucket, in nanoseconds.
    static double Middle(int bucket) noexcept {
        if (bucket < Sub) return bucket;
        const int octave = (bucket - Sub) / Sub + 1;
        const int sub = (bucket - Sub) % Sub;
        const double low =
            static_cast<double>(static_cast<std::uint64_t>(Sub + sub) << (octave - 1));
        const double width = static_cast<double>(std::uint64_t{1} << (octave - 1));
        return low + width / 2;
    }
};

// Nanosecond durations in 128 buckets per power of two (under 0.8 % apart): percentiles without
// storing samples or allocating. One thread adds; any thread reads.
class Histogram {
public:
    void Add(Clock::duration d) noexcept;
    void Reset() noexcept;

    std::uint64_t Count() const noexcept { return count_.load(std::memory_order_relaxed); }
    // The duration below which the fraction q of the values lie (the middle of its bucket),
    // in microseconds; 0 when empty.
    double PercentileUs(double q) const noexcept;
    double MaxUs() const noexcept;

private:
    using Buckets = LogBuckets<7>;

    std::array<std::atomic<std::uint64_t>, Buckets::Count> counts_{};
    std::atomic<std::uint64_t> count_{0};
    std::atomic<std::uint64_t> maxNs_{0};
};

// The same kind of figures over the last second or so of the adder's own time: Slots histograms
// of SlotLength each, coarser (32 buckets per power of two, about 3 % apart), the oldest cleared
// as the time enters a new slot. A reading sums the slot being filled and the full ones before
// it: between Window() - SlotLength and Window() of the newest values. Fixed memory, no
// allocation; a slot being cleared while it is read makes that one reading a little short.
class RecentHistogram {
public:
    static constexpr Clock::duration SlotLength = std::chrono::milliseconds(250);
    static constexpr int Slots = 5;
    static constexpr Clock::duration Window() noexcept { return Slots * SlotLength; }

    void Add(Clock::time_point now, Clock::duration d) noexcept;
    void Reset() noexcept;
    // As Histogram::PercentileUs, over the window that ends at the newest value added.
    double PercentileUs(double q) const noexcept;

private:
    using Buckets = LogBuckets<5>;
    struct Slot {
        std::atomic<std::int64_t> index{-1};  // which SlotLength of time it holds; -1: none
        std::array<std::atomic<std::uint32_t>, Buckets::Count> counts{};
    };

    std::array<Slot, Slots> slots_{};
    std::atomic<std::int64_t> newest_{-1};  // the slot index of the newest value
};

// The longest a wait on the loop thread goes without a beat: well inside any guard's bound,
// so a loop that waits on a slow arm is never taken for a frozen one.
inline constexpr Clock::duration HeartbeatSlice = std::chrono::milliseconds(10);

// The loop thread's sign of life for a guard (Guard.hpp): the monotonic time of its last beat,
// stored where the guard's process reads it. An empty heartbeat (no guard) does nothing.
class Heartbeat {
public:
    Heartbeat() = default;
    explicit Heartbeat(std::atomic<std::int64_t>* slot) noexcept : slot_(slot) {}

    explicit operator bool() const noexcept { return slot_ != nullptr; }

    void Beat(Clock::time_point now) const noexcept {
        if (slot_ == nullptr) return;
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch());
        slot_->store(ns.count(), std::memory_order_relaxed);
    }

    // Where a wait that started at now and runs to until must stop to beat again.
    Clock::time_point SliceEnd(Clock::time_point now, Clock::time_point until) const noexcept {
        if (slot_ == nullptr || until - now <= HeartbeatSlice) return until;
        return now + HeartbeatSlice;
    }

private:
    std::atomic<std::int64_t>* slot_ = nullptr;
};

// The time a loop runs on, and its sleeps: the system's, or a test's own.
class LoopClock {
public:
    virtual ~LoopClock() = default;
    virtual Clock::time_point Now() noexcept = 0;
    // Sleeps until t; false as soon as stop is seen set (within a few milliseconds).
    virtual bool SleepUntil(Clock::time_point t, const std::atomic<bool>& stop) noexcept = 0;

protected:
    LoopClock() = default;
    LoopClock(const LoopClock&) = default;
    LoopClock& operator=(const LoopClock&) = default;
};

// The monotonic clock, with sleeps in slices that end on time, and an optional busy-wait of
// spin before each deadline.
class SystemClock final : public LoopClock {
public:
    explicit SystemClock(Clock::duration spin = Clock::duration::zero()) : spin_(spin) {}
    Clock::time_point Now() noexcept override { return Clock::now(); }
    bool SleepUntil(Clock::time_point t, const std::atomic<bool>& stop) noexcept override;
    // Every slice of a sleep beats (a slow rate sleeps longer than a guard's bound).
    void UseHeartbeat(Heartbeat heartbeat) noexcept { heartbeat_ = heartbeat; }

private:
    Clock::duration spin_;
    Heartbeat heartbeat_;
};

// Wakes a loop on a grid of absolute deadlines: next += period, never sleep(period), so
// the time a cycle takes does not shift the ones after it. A cycle that falls more than a
// whole period behind restarts the grid from now instead of bursting to catch up. A zero
// period runs free: every wait returns at once.
class Pacer {
public:
    Pacer(LoopClock& clock, Clock::duration period) : clock_(clock), period_(period) {}

    // Waits for the next deadline; false when stop was set meanwhile (checked at least every
    // few milliseconds however long the period).
    bool WaitNext(const std::atomic<bool>& stop) noexcept;
    // The deadline the next wait aims for, unless the loop falls a whole period behind first.
    Clock::time_point Upcoming() const noexcept { return next_ + period_; }

    // How late the last wait returned after the later of its deadline and its own start: the
    // time the system took to wake the thread, apart from any overrun of the cycle before.
    Clock::duration Oversleep() const noexcept { return oversleep_; }

private:
    LoopClock& clock_;
    Clock::duration period_;
    Clock::time_point next_{};
    Clock::duration oversleep_{};
    bool started_ = false;
};

// The period of a rate in cycles per second; zero (run free) for a rate of 0.
Clock::duration PeriodOf(double rateHz) noexcept;

inline double SecondsOf(Clock::duration d) noexcept {
    return std::chrono::duration<double>(d).count();
}

// A time on the monotonic clock in seconds: what Python's time.monotonic() gives.
inline double Seconds(Clock::time_point t) noexcept {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Asks for less timer slack for the calling thread, so its sleeps end on time rather than up
// to 50 us late.
void TightenTimerSlack() noexcept;

}  // namespace Tamro::HardwareAPI::Control::Detail
