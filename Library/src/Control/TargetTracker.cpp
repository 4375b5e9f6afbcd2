#include "TargetTracker.hpp"

#include <algorithm>

namespace Tamro::HardwareAPI::Control::Detail {

Vec3 TargetTracker::Extrapolated(const RemoteSample& sample, std::int64_t releaseNs,
                                 std::int64_t nowNs, double horizon) const noexcept {
    const double ahead = std::clamp(static_cast<double>(nowNs - releaseNs) * 1e-9, 0.0, horizon);
    return sample.position + ahead * sample.velocity;
}

void TargetTracker::Take(const RemoteSample& sample, std::int64_t releaseNs, std::int64_t nowNs,
                         double horizon) noexcept {
    RemoteSample next = sample;
    if (!next.hasVelocity) {
        const double span = haveCurrent_ ? next.stamp - current_.stamp : 0;
        next.velocity = span > 0 && span <= MaxDifferenceSeconds
                            ? (1.0 / span) * (next.position - current_.position)
                            : Vec3{};
    }
    if (haveCurrent_ && haveTarget_) {
        const Vec3 was = Extrapolated(current_, currentReleaseNs_, nowNs, horizon) +
                         (blendLeft_ / BlendSeconds) * blendOffset_;
        blendOffset_ = was - Extrapolated(next, releaseNs, nowNs, horizon);
        blendLeft_ = BlendSeconds;
    }
    current_ = next;
    currentReleaseNs_ = releaseNs;
    haveCurrent_ = true;
}

Vec3 TargetTracker::Aim(std::int64_t nowNs, double horizon, double dt,
                        const Vec3& fallback) noexcept {
    Vec3 target = haveTarget_ ? target_ : fallback;
    if (haveCurrent_) {
        target = Extrapolated(current_, currentReleaseNs_, nowNs, horizon) +
                 (blendLeft_ / BlendSeconds) * blendOffset_;
        blendLeft_ = std::max(0.0, blendLeft_ - dt);
    }
    target_ = target;
    haveTarget_ = haveCurrent_;
    return target;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
