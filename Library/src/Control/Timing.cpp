#include "Timing.hpp"

#include "Deadline.hpp"

#include <algorithm>
#include <ctime>

#include <sys/prctl.h>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

// Long sleeps are cut into slices, so a stop request is seen within one slice.
constexpr Clock::duration SleepSlice = std::chrono::milliseconds(10);
static_assert(SleepSlice <= HeartbeatSlice, "a sleeping loop beats every slice");

}  // namespace

void Histogram::Add(Clock::duration d) noexcept {
    const auto ns = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()));
    counts_[static_cast<std::size_t>(Buckets::Of(ns))].fetch_add(1, std::memory_order_relaxed);
    count_.fetch_add(1, std::memory_order_relaxed);
    if (ns > maxNs_.load(std::memory_order_relaxed)) maxNs_.store(ns, std::memory_order_relaxed);
}

void Histogram::Reset() noexcept {
    for (auto& c : counts_) c.store(0, std::memory_order_relaxed);
    count_.store(0, std::memory_order_relaxed);
    maxNs_.store(0, std::memory_order_relaxed);
}

double Histogram::PercentileUs(double q) const noexcept {
    // The counts are read one by one while the loop may add: the total is taken from them,
    // so the answer is that of one consistent-enough moment.
    std::uint64_t total = 0;
    for (const auto& c : counts_) total += c.load(std::memory_order_relaxed);
    if (total == 0) return 0;
    const auto rank = static_cast<std::uint64_t>(q * static_cast<double>(total - 1));
    std::uint64_t seen = 0;
    for (int b = 0; b < Buckets::Count; ++b) {
        seen += counts_[static_cast<std::size_t>(b)].load(std::memory_order_relaxed);
        if (seen > rank)
            return std::min(Buckets::Middle(b), static_cast<double>(maxNs_.load())) / 1000.0;
    }
    return MaxUs();
}

void RecentHistogram::Add(Clock::time_point now, Clock::duration d) noexcept {
    const std::int64_t index = now.time_since_epoch() / SlotLength;
    Slot& slot = slots_[static_cast<std::size_t>(index % Slots)];
    if (slot.index.load(std::memory_order_relaxed) != index) {
        // Marked empty while it is cleared, so no reading counts half of it as new.
        slot.index.store(-1, std::memory_order_release);
        for (auto& c : slot.counts) c.store(0, std::memory_order_relaxed);
        slot.index.store(index, std::memory_order_release);
    }
    const auto ns = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()));
    slot.counts[static_cast<std::size_t>(Buckets::Of(ns))].fetch_add(1, std::memory_order_relaxed);
    if (index > newest_.load(std::memory_order_relaxed))
        newest_.store(index, std::memory_order_release);
}

void RecentHistogram::Reset() noexcept {
    newest_.store(-1, std::memory_order_relaxed);
    for (Slot& slot : slots_) {
        slot.index.store(-1, std::memory_order_relaxed);
        for (auto& c : slot.counts) c.store(0, std::memory_order_relaxed);
    }
}

double RecentHistogram::PercentileUs(double q) const noexcept {
    const std::int64_t newest = newest_.load(std::memory_order_acquire);
    if (newest < 0) return 0;
    std::array<bool, Slots> current{};
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const std::int64_t index = slots_[i].index.load(std::memory_order_acquire);
        current[i] = index >= 0 && index > newest - Slots && index <= newest;
    }
    const auto bucket = [&](int b) {
        std::uint64_t n = 0;
        for (std::size_t i = 0; i < slots_.size(); ++i)
            if (current[i])
                n += slots_[i].counts[static_cast<std::size_t>(b)].load(std::memory_order_relaxed);
        return n;
    };
    std::uint64_t total = 0;
    for (int b = 0; b < Buckets::Count; ++b) total += bucket(b);
    if (total == 0) return 0;
    const auto rank = static_cast<std::uint64_t>(q * static_cast<double>(total - 1));
    std::uint64_t seen = 0;
    for (int b = 0; b < Buckets::Count; ++b) {
        seen += bucket(b);
        if (seen > rank) return Buckets::Middle(b) / 1000.0;
    }
    return 0;
}

double Histogram::MaxUs() const noexcept {
    return static_cast<double>(maxNs_.load(std::memory_order_relaxed)) / 1000.0;
}

bool SystemClock::SleepUntil(Clock::time_point t, const std::atomic<bool>& stop) noexcept {
    const Clock::time_point wake = t - spin_;
    for (;;) {
        const Clock::time_point at = Clock::now();
        if (at >= wake) break;
        heartbeat_.Beat(at);
        const timespec until =
            HardwareAPI::Detail::ToTimespec(std::min(wake, at + SleepSlice).time_since_epoch());
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        if (stop.load(std::memory_order_relaxed)) return false;
    }
    while (Clock::now() < t) {
    }
    return !stop.load(std::memory_order_relaxed);
}

bool Pacer::WaitNext(const std::atomic<bool>& stop) noexcept {
    if (stop.load(std::memory_order_relaxed)) return false;
    if (period_ == Clock::duration::zero()) return true;
    const Clock::time_point now = clock_.Now();
    if (!started_) {
        started_ = true;
        next_ = now;
        return true;
    }
    next_ += period_;
    if (now > next_ + period_) next_ = now;  // too far behind: restart the grid, no burst
    const Clock::time_point due = std::max(next_, now);
    if (!clock_.SleepUntil(next_, stop)) return false;
    oversleep_ = clock_.Now() - due;
    return true;
}

Clock::duration PeriodOf(double rateHz) noexcept {
    if (!(rateHz > 0)) return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rateHz));
}

void TightenTimerSlack() noexcept { ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); }

}  // namespace Tamro::HardwareAPI::Control::Detail
