// Where a coupling pulls toward: the newest remote sample, extrapolated along its velocity (for
// at most a horizon, the link time-out) and blended into from where the sample before was
// taking the target, so the target never steps, however sparse or jittered the samples. A
// sample without a velocity gets one from its position and an earlier one at least
// MinDifferenceSeconds before it, by their stamps (two samples nanoseconds apart say nothing of
// a speed). Whatever the samples, the target stays inside the workspace and moves no faster
// than the speed limit (Bounds): velocities are clamped to it, and so is the target's step from
// one cycle to the next, blend and extrapolation included.
//
// The loop's thread only: plain arithmetic, no allocation.
#pragma once

#include <Tamro/HardwareAPI/Control/Coupling.hpp>

#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

class TargetTracker {
public:
    // A new sample's correction of the target is spread over this long.
    static constexpr double BlendSeconds = 0.005;
    // Velocities are estimated from two positions no further apart than this.
    static constexpr double MaxDifferenceSeconds = 0.1;
    static constexpr double MinDifferenceSeconds = 0.0005;

    // The workspace and the speed limit the target keeps to (those the samples were judged by).
    struct Bounds {
        Vec3 lower{-0.1, -0.1, -0.1};
        Vec3 upper{0.1, 0.1, 0.1};
        double maxSpeed = 5.0;
    };
    void Bound(const Bounds& bounds) noexcept { bounds_ = bounds; }

    // The sample the loop took at nowNs, released to it at releaseNs.
    void Take(const RemoteSample& sample, std::int64_t releaseNs, std::int64_t nowNs,
              double horizon) noexcept;

    // The target at nowNs, dt seconds after the last call; before any sample, fallback. The
    // blend advances by dt.
    Vec3 Aim(std::int64_t nowNs, double horizon, double dt, const Vec3& fallback) noexcept;

    // The coupling left the set: the next target starts afresh, with no blend from this one.
    void Forget() noexcept { haveTarget_ = false; }

    bool HasSample() const noexcept { return haveCurrent_; }
    const RemoteSample& Newest() const noexcept { return current_; }
    std::int64_t NewestReleaseNs() const noexcept { return currentReleaseNs_; }
    bool HasTarget() const noexcept { return haveTarget_; }
    const Vec3& LastTarget() const noexcept { return target_; }

private:
    Vec3 Extrapolated(const RemoteSample& sample, std::int64_t releaseNs, std::int64_t nowNs,
                      double horizon) const noexcept;
    Vec3 Inside(const Vec3& p) const noexcept;
    Vec3 Limited(const Vec3& v) const noexcept;

    Bounds bounds_{};
    bool haveAnchor_ = false;
    RemoteSample anchor_{};  // the position velocities are differenced from

    bool haveCurrent_ = false;
    RemoteSample current_{};
    std::int64_t currentReleaseNs_ = 0;
    Vec3 blendOffset_{};
    double blendLeft_ = 0;
    bool haveTarget_ = false;
    Vec3 target_{};
};

}  // namespace Tamro::HardwareAPI::Control::Detail
