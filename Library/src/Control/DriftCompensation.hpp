// The rest offset of a bilateral coupling's spring, and its return: the drift compensation of
// the passivity controller (Passivity.hpp), after the position-drift compensation of Artigas,
// Ryu, Preusche and Hirzinger (2011) and Coelho, Ott et al. (2019), where the position error
// the controller let build up is returned to the coupling at a rate bounded by energy.
//
// A spring engaged by ramping its stiffness between arms held apart stores energy no port
// ever put in: the observer never sees it, so the controller keeps it and the arms stay apart.
// Instead, a guarded coupling engages with the spring at rest where the arm is (its offset to
// the target then), so the ramp puts nothing in, and the offset then shrinks toward zero: at
// most Speed, only once the ramp is done, and only as far as keeps the spring's pull along it
// at most Pull and its stored energy within half the controller's reserve. What each shrink
// puts into the spring is granted to the port's observer, so the controller lets it out as
// the arm follows: a port puts out at most what came in at the other end plus Pull times the
// offset returned (20 mJ for 2 cm). A coupling the controller does not guard has no offset at
// engagement; one left from a guarded spell returns at Speed.
//
// The loop's thread only: plain arithmetic.
#pragma once

#include "Passivity.hpp"

#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include <algorithm>
#include <cmath>

namespace Tamro::HardwareAPI::Control::Detail {

class DriftCompensation {
public:
    static constexpr double Pull = 1.0;    // N along the offset, at most, from its return
    static constexpr double Speed = 0.02;  // m/s the offset shrinks at most

    // A fresh engagement: the spring rests at offset (the target less where the arm is taken
    // to be), or at no offset for a coupling the controller does not guard.
    void Engage(const Vec3& offset) noexcept { offset_ = offset; }

    // One cycle toward returning the offset: error the target less where the arm is taken to
    // be, gain the ramp's (0 to 1). Returns the energy the return put into the spring (J),
    // which the port's observer must be granted; none for an unguarded coupling.
    double Step(const Vec3& error, double gain, double stiffness, double dt,
                bool guarded) noexcept {
        const double n = Norm(offset_);
        if (!(n > 0) || !(dt > 0)) return 0;
        const Vec3 along = (1 / n) * offset_;
        double step = std::min(n, Speed * dt);
        if (!guarded) {
            offset_ = n > step ? offset_ - step * along : Vec3{};
            return 0;
        }
        const double k = gain * stiffness;
        if (gain < 1 || !(k > 0)) return 0;
        const double most = std::min(Pull / k, std::sqrt(PassivityControl::Reserve / k));
        step = std::clamp(most - Dot(error - offset_, along), 0.0, step);
        if (step == 0) return 0;
        const Vec3 before = error - offset_;
        offset_ = n > step ? offset_ - step * along : Vec3{};
        const Vec3 after = error - offset_;
        return std::max(0.0, 0.5 * k * (Dot(after, after) - Dot(before, before)));
    }

    const Vec3& Offset() const noexcept { return offset_; }

private:
    Vec3 offset_{};
};

}  // namespace Tamro::HardwareAPI::Control::Detail
