// When a coupling's link counts as lost: after the coupling's link time-out plus a few of the
// peer's own sample intervals. A peer that sends at 200 Hz with 15 ms of jitter leaves gaps of
// 20 ms and more as a matter of course; a fixed 20 ms time-out would call each one a loss and
// the user would feel every fade. The interval is estimated as TCP estimates a round trip (RFC
// 6298): a smoothed mean of the gaps between samples plus a multiple of their smoothed
// deviation. What it adds is capped at the time-out itself, so a link that is really cut is
// declared lost within twice the time-out at most (40 ms by default) and faded out soon after.
//
// The loop's thread only: plain arithmetic, no allocation.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

class LinkWatch {
public:
    static constexpr double Intervals = 3;  // the peer's intervals added to the time-out
    static constexpr double Gain = 1.0 / 16;
    static constexpr double Deviations = 2;

    // A sample reached the loop at releaseNs.
    void Arrived(std::int64_t releaseNs) noexcept {
        if (haveLast_) {
            const double gap = static_cast<double>(releaseNs - lastNs_) * 1e-9;
            if (!haveMean_) {
                mean_ = gap;
                deviation_ = gap / 2;
                haveMean_ = true;
            } else {
                deviation_ += Gain * (std::abs(gap - mean_) - deviation_);
                mean_ += Gain * (gap - mean_);
            }
        }
        lastNs_ = releaseNs;
        haveLast_ = true;
    }

    // The samples stopped for long enough to count as a cut: the next gap is no interval.
    void Restart() noexcept { haveLast_ = false; }

    // The peer's sample interval as estimated (s; 0 before two samples).
    double Interval() const noexcept { return haveMean_ ? mean_ + Deviations * deviation_ : 0; }

    // Seconds without a sample after which the link counts as lost.
    double Timeout(double linkTimeout) const noexcept {
        return linkTimeout + Intervals * std::min(Interval(), linkTimeout / Intervals);
    }

private:
    bool haveLast_ = false, haveMean_ = false;
    std::int64_t lastNs_ = 0;
    double mean_ = 0, deviation_ = 0;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
