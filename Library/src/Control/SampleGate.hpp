// The door a coupling's remote samples come through: the checks every sample meets on
// arrival (finite, inside the box, not too fast or too strong, and not moved from the last
// taken position faster than the speed limit over the two stamps), its stamp judged against
// this machine's wall clock and against the stream itself (StampJudge: a stamp far fresher
// than the stream's own is refused without moving the high-water mark, so one forged stamp
// cannot cut off the real sender), and the rate, as a token bucket. Not thread safe: its
// owner serialises the senders.
#pragma once

#include "StampJudge.hpp"

#include <Tamro/HardwareAPI/Control/Coupling.hpp>

#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

class SampleGate {
public:
    enum class Verdict : std::uint8_t { Taken, RefusedValue, RefusedStamp, RefusedFlood };

    // The limits to judge by (already checked). The last stamp taken is kept: a sender that
    // changes its settings does not get to go back in time. The bucket starts full.
    void Configure(const RemoteSettings& settings) noexcept;

    // Just after a stream starts, a fresher sample may still take over as the stream's
    // reference (samples queued before the first one drain); after this, one far fresher than
    // the stream is refused.
    static constexpr std::chrono::nanoseconds Drain = std::chrono::milliseconds(50);

    // The speed a sample's position implies is judged over its stamps' interval plus this much:
    // a sender's stamps jitter (a thread paused between reading its clocks bunches two of them),
    // and an honest arm must not be refused for it; a jump of a centimetre or more per
    // millisecond is still refused at any max_speed up to 5 m/s.
    static constexpr double StampJitter = 1e-3;  // s

    // A sample that arrived at arrivalNs (monotonic clock) when the wall clock read wallNow.
    // Taken spends a token and moves the stamp and position on; a refusal changes nothing but
    // the bucket's refill.
    Verdict Judge(const RemoteSample& sample, std::int64_t arrivalNs, double wallNow) noexcept;

    // Whether a sample's contact plane may be rendered: a point inside the box, a normal of
    // length 1 (as the estimator sends it, within rounding), a stiffness from 0 to the largest
    // any coupling takes. A bad plane is left out, not its sample: the plane is an addition a
    // coupling may not even use, the position is judged on its own.
    bool ContactOk(const RemoteSample& sample) const noexcept;

    // Most samples let through at once after a pause: a tenth of a second's worth, 10 at least.
    double Burst() const noexcept;

private:
    RemoteSettings settings_{};
    double lastStamp_ = -1;
    Vec3 lastPosition_{};
    StampJudge stream_;
    double tokens_ = 0;
    std::int64_t tokensAt_ = 0;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
