// Three-component vectors of the control layer, and the few operations on them that effects
// and the simulator's arm model need.
#pragma once

#include <array>
#include <cmath>

namespace Tamro::HardwareAPI::Control {

using Vec3 = std::array<double, 3>;

inline Vec3 operator+(const Vec3& a, const Vec3& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
inline Vec3 operator-(const Vec3& a, const Vec3& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
inline Vec3 operator*(double s, const Vec3& a) { return {s * a[0], s * a[1], s * a[2]}; }
inline double Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
inline double Norm(const Vec3& v) { return std::sqrt(Dot(v, v)); }

}  // namespace Tamro::HardwareAPI::Control
