#include "TargetTracker.hpp"

#include <algorithm>

namespace Tamro::HardwareAPI::Control::Detail {

Vec3 TargetTracker::Extrapolated(const RemoteSample& sample, std::int64_t releaseNs,
                                 std::int64_t nowNs, double horizon) const noexcept {
    const double ahead = std::clamp(static_cast<double>(nowNs - releaseNs) * 1e-9, 0.0, horizon);
    return Inside(sample.position + ahead * Limited(sample.velocity));
}

// min and max rather than clamp: bounds read while the settings change may be inverted for a
// cycle, and then the lower corner wins rather than anything undefined.
Vec3 TargetTracker::Inside(const Vec3& p) const noexcept {
    Vec3 q{};
    for (int i = 0; i < 3; ++i) q[i] = std::max(bounds_.lower[i], std::min(bounds_.upper[i], p[i]));
    return q;
}

Vec3 TargetTracker::Limited(const Vec3& v) const noexcept {
    const double n = Norm(v);
    return n > bounds_.maxSpeed && n > 0 ? (bounds_.maxSpeed / n) * v : v;
}

void TargetTracker::Take(const RemoteSample& sample, std::int64_t releaseNs, std::int64_t nowNs,
                         double horizon) noexcept {
    RemoteSample next = sample;
    if (!next.hasVelocity) {
        const double span = haveAnchor_ ? next.stamp - anchor_.stamp : 0;
        if (span >= MinDifferenceSeconds && span <= MaxDifferenceSeconds)
            next.velocity = (1.0 / span) * (next.position - anchor_.position);
        else if (span > 0 && span < MinDifferenceSeconds && haveCurrent_)
            next.velocity = current_.velocity;  // too close to tell: the estimate stands
        else
            next.velocity = Vec3{};
        if (!(span > 0 && span < MinDifferenceSeconds)) {
            anchor_ = next;
            haveAnchor_ = true;
        }
    } else {
        anchor_ = next;
        haveAnchor_ = true;
    }
    next.velocity = Limited(next.velocity);
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
        target = Inside(Extrapolated(current_, currentReleaseNs_, nowNs, horizon) +
                        (blendLeft_ / BlendSeconds) * blendOffset_);
        blendLeft_ = std::max(0.0, blendLeft_ - dt);
        if (haveTarget_) {
            // A blend of a large correction would outrun the limit: the target follows at it.
            const Vec3 step = target - target_;
            const double most = bounds_.maxSpeed * std::max(dt, 0.0);
            const double n = Norm(step);
            if (n > most) target = target_ + (most / n) * step;
        }
    }
    target_ = target;
    haveTarget_ = haveCurrent_;
    return target;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
