// What the inputs that stream in to a loop share (the commands, a coupling's remote): the
// checks a sample meets on arrival, and the gain that fades a stream out when it stops and
// back in when it returns, so its force never jumps.
#pragma once

#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include <algorithm>
#include <cmath>

namespace Tamro::HardwareAPI::Control::Detail {

inline bool Finite(const Vec3& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

inline bool Inside(const Vec3& lower, const Vec3& upper, const Vec3& p) {
    for (int axis = 0; axis < 3; ++axis)
        if (!(p[axis] >= lower[axis] && p[axis] <= upper[axis])) return false;
    return true;
}

// Whether a stamp lies from behind before to ahead after our wall clock (any one unit); what
// a remote's stamp must meet to be believed at all.
template <typename T>
inline bool NearClock(T stamp, T wall, T behind, T ahead) {
    return stamp >= wall - behind && stamp <= wall + ahead;
}

// InvalidArgument unless both corners are finite and lower does not exceed upper.
inline void CheckBox(const char* name, const Vec3& lower, const Vec3& upper) {
    if (!Finite(lower) || !Finite(upper)) throw InvalidArgument(name, "corners must be finite");
    for (int axis = 0; axis < 3; ++axis)
        if (lower[axis] > upper[axis])
            throw InvalidArgument(name, "lower corner must not exceed its upper one");
}

// A stream's gain after one more step: up while it is live, down once it stopped, each by the
// step (the time since the last cycle over the ramp's length), within 0 to 1.
inline double Follow(double gain, bool live, double up, double down) {
    return std::clamp(gain + (live ? up : -down), 0.0, 1.0);
}

}  // namespace Tamro::HardwareAPI::Control::Detail
