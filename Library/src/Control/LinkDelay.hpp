// How late the peer's samples reach the loop, and the damping a coupling spring needs for it.
//
// A position-position coupling over a delayed link stays stable when the damping on each side
// grows with the stiffness times the delay: the delay-dependent damping injection of Lee and
// Spong (2006, "Passive bilateral teleoperation with constant time delay") and Nuño, Ortega,
// Barabanov and Basañez (2008, "A globally stable PD controller for bilateral teleoperators"),
// whose sufficient conditions ask for damping of the order k T. Here the damping acts on the
// velocity difference to the remote, as the coupling's own does, so it damps the follower's
// ringing about its target and not the motion it tracks, and it needs far less than those
// conditions: DampingPerDelay k T (T the one-way delay measured) keeps a 1000 N/m spring with
// no damping of its own steady at 50 ms (15 N s/m), while at loopback delays it adds
// almost nothing. The passivity controller still bounds what the network can put out.
//
// The loop's thread only: plain arithmetic.
#pragma once

#include <algorithm>
#include <cmath>

namespace Tamro::HardwareAPI::Control::Detail {

class LinkDelay {
public:
    static constexpr double DampingPerDelay = 0.3;  // N s/m of damping per N/m and second
    static constexpr double MaxDelay = 1.0;         // s: a later sample says nothing more
    static constexpr double Smoothing = 0.02;       // of each new sample, into the mean

    // A sample's age when the loop took it (s: its stamp to its release, by the wall clock).
    // Clocks that disagree a little can make it negative: that counts as none.
    void Sample(double age) noexcept {
        if (!std::isfinite(age)) return;
        const double a = std::clamp(age, 0.0, MaxDelay);
        mean_ = have_ ? mean_ + Smoothing * (a - mean_) : a;
        have_ = true;
    }

    double Seconds() const noexcept { return mean_; }
    // The damping a spring of this stiffness needs for the delay (N s/m).
    double Damping(double stiffness) const noexcept { return DampingPerDelay * stiffness * mean_; }

private:
    bool have_ = false;
    double mean_ = 0;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
