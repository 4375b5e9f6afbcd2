// The door a coupling's remote samples come through: the checks every sample meets on
// arrival (finite, inside the box, not too fast or too strong), its stamp judged against this
// machine's wall clock and the last one taken, and the rate, as a token bucket. Not thread
// safe: its owner serialises the senders.
#pragma once

#include <Tamro/HardwareAPI/Control/Coupling.hpp>

#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

class SampleGate {
public:
    enum class Verdict : std::uint8_t { Taken, RefusedValue, RefusedStamp, RefusedFlood };

    // The limits to judge by (already checked). The last stamp taken is kept: a sender that
    // changes its settings does not get to go back in time. The bucket starts full.
    void Configure(const RemoteSettings& settings) noexcept;

    // A sample that arrived at arrivalNs (monotonic clock) when the wall clock read wallNow.
    // Taken spends a token and moves the stamp on; a refusal changes nothing but the bucket's
    // refill.
    Verdict Judge(const RemoteSample& sample, std::int64_t arrivalNs, double wallNow) noexcept;

    // Most samples let through at once after a pause: a tenth of a second's worth, 10 at least.
    double Burst() const noexcept;

private:
    RemoteSettings settings_{};
    double lastStamp_ = -1;
    double tokens_ = 0;
    std::int64_t tokensAt_ = 0;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
