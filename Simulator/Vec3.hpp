// Small fixed-size vector and matrix arithmetic for the arm model: the library's vectors,
// and the matrices the kinematics add to them.
#pragma once

#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include <array>
#include <cmath>

namespace TamroSimulator {

using Tamro::HardwareAPI::Control::Dot;
using Tamro::HardwareAPI::Control::Vec3;
using Tamro::HardwareAPI::Control::operator+;
using Tamro::HardwareAPI::Control::operator-;
using Tamro::HardwareAPI::Control::operator*;

using Mat3 = std::array<Vec3, 3>;  // rows

inline Vec3 Cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

inline Vec3 operator*(const Mat3& m, const Vec3& v) {
    return {Dot(m[0], v), Dot(m[1], v), Dot(m[2], v)};
}

inline Mat3 Transposed(const Mat3& m) {
    return {Vec3{m[0][0], m[1][0], m[2][0]}, Vec3{m[0][1], m[1][1], m[2][1]},
            Vec3{m[0][2], m[1][2], m[2][2]}};
}

// Solves m x = b by Cramer's rule. The arm's workspace keeps m well away from singular;
// a singular m gives zeros rather than infinities.
inline Vec3 Solve(const Mat3& m, const Vec3& b) {
    const Mat3 t = Transposed(m);  // columns of m
    const double det = Dot(t[0], Cross(t[1], t[2]));
    if (std::abs(det) < 1e-12) return {0.0, 0.0, 0.0};
    return {Dot(b, Cross(t[1], t[2])) / det, Dot(t[0], Cross(b, t[2])) / det,
            Dot(t[0], Cross(t[1], b)) / det};
}

}  // namespace TamroSimulator
