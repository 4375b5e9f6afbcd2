#include "SampleGate.hpp"

#include "Streams.hpp"

#include <algorithm>
#include <cmath>

namespace Tamro::HardwareAPI::Control::Detail {

bool SampleGate::ContactOk(const RemoteSample& sample) const noexcept {
    const RemoteSettings& c = settings_;
    return Finite(sample.contactPoint) && Inside(c.lower, c.upper, sample.contactPoint) &&
           Finite(sample.contactNormal) && std::abs(Norm(sample.contactNormal) - 1) < 1e-3 &&
           std::isfinite(sample.contactStiffness) && sample.contactStiffness >= 0 &&
           sample.contactStiffness <= MaxContactStiffness;
}

void SampleGate::Configure(const RemoteSettings& settings) noexcept {
    settings_ = settings;
    tokens_ = Burst();
    stream_.Configure(settings.maxAge, std::max(settings.maxAge, settings.maxLead), Drain);
}

double SampleGate::Burst() const noexcept { return std::max(10.0, settings_.maxRateHz / 10); }

SampleGate::Verdict SampleGate::Judge(const RemoteSample& sample, std::int64_t arrivalNs,
                                      double wallNow) noexcept {
    const RemoteSettings& c = settings_;
    const bool valueOk =
        Finite(sample.position) && Inside(c.lower, c.upper, sample.position) &&
        (!sample.hasVelocity || (Finite(sample.velocity) && Norm(sample.velocity) <= c.maxSpeed)) &&
        (!sample.hasEnergy || (std::isfinite(sample.energyIn) && sample.energyIn >= 0)) &&
        (!sample.hasForce || (Finite(sample.force) && Norm(sample.force) <= c.maxForce));
    if (!valueOk) return Verdict::RefusedValue;
    const double lead = std::chrono::duration<double>(c.maxLead).count();
    const double age = std::chrono::duration<double>(c.maxAge).count();
    if (!std::isfinite(sample.stamp) || !NearClock(sample.stamp, wallNow, age, lead) ||
        sample.stamp <= lastStamp_)
        return Verdict::RefusedStamp;
    // The speed its positions imply: a sender that jumps (or stamps two far-apart positions
    // nanoseconds apart) is refused until its stamps have moved on far enough to allow it.
    if (lastStamp_ >= 0 && Norm(sample.position - lastPosition_) >
                               c.maxSpeed * (sample.stamp - lastStamp_ + StampJitter))
        return Verdict::RefusedValue;
    if (tokensAt_ != 0)
        tokens_ = std::min(
            Burst(), tokens_ + static_cast<double>(arrivalNs - tokensAt_) * 1e-9 * c.maxRateHz);
    tokensAt_ = arrivalNs;
    if (tokens_ < 1) return Verdict::RefusedFlood;
    const auto stampNs = static_cast<std::int64_t>(std::llround(sample.stamp * 1e9));
    const auto wallNs = static_cast<std::int64_t>(std::llround(wallNow * 1e9));
    if (stream_.Judge(stampNs, arrivalNs, wallNs).verdict != StampJudge::Verdict::Fresh)
        return Verdict::RefusedStamp;
    tokens_ -= 1;
    lastStamp_ = sample.stamp;
    lastPosition_ = sample.position;
    return Verdict::Taken;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
