#include "SampleGate.hpp"

#include "Streams.hpp"

#include <algorithm>
#include <cmath>

namespace Tamro::HardwareAPI::Control::Detail {

void SampleGate::Configure(const RemoteSettings& settings) noexcept {
    settings_ = settings;
    tokens_ = Burst();
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
    if (tokensAt_ != 0)
        tokens_ = std::min(
            Burst(), tokens_ + static_cast<double>(arrivalNs - tokensAt_) * 1e-9 * c.maxRateHz);
    tokensAt_ = arrivalNs;
    if (tokens_ < 1) return Verdict::RefusedFlood;
    tokens_ -= 1;
    lastStamp_ = sample.stamp;
    return Verdict::Taken;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
