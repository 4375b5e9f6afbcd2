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

int Histogram::BucketOf(std::uint64_t ns) noexcept {
    if (ns < static_cast<std::uint64_t>(Sub)) return static_cast<int>(ns);
    const int msb = 63 - __builtin_clzll(ns);
    const int octave = msb - SubBits + 1;
    if (octave > Octaves) return Buckets - 1;
    const int sub = static_cast<int>(ns >> (msb - SubBits)) - Sub;
    return Sub + (octave - 1) * Sub + sub;
}

double Histogram::MiddleOf(int bucket) noexcept {
    if (bucket < Sub) return bucket;
    const int octave = (bucket - Sub) / Sub + 1;
    const int sub = (bucket - Sub) % Sub;
    const double low = static_cast<double>(static_cast<std::uint64_t>(Sub + sub) << (octave - 1));
    const double width = static_cast<double>(std::uint64_t{1} << (octave - 1));
    return low + width / 2;
}

void Histogram::Add(Clock::duration d) noexcept {
    const auto ns = static_cast<std::uint64_t>(
        std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(d).count()));
    counts_[static_cast<std::size_t>(BucketOf(ns))].fetch_add(1, std::memory_order_relaxed);
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
    for (int b = 0; b < Buckets; ++b) {
        seen += counts_[static_cast<std::size_t>(b)].load(std::memory_order_relaxed);
        if (seen > rank) return std::min(MiddleOf(b), static_cast<double>(maxNs_.load())) / 1000.0;
    }
    return MaxUs();
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
