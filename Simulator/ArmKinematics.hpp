// Kinematics of the simulated arm: a base joint turning about the vertical axis, then a
// shoulder and an elbow in the vertical plane, with two links of equal length. Positions are
// reported relative to the centre of the workspace, which lies in front of the base.
#pragma once

#include "Vec3.hpp"

namespace TamroSimulator::ArmKinematics {

inline constexpr double UpperArm = 0.2;      // m
inline constexpr double Forearm = 0.2;       // m
inline constexpr Vec3 Base{-0.2, 0.0, 0.0};  // base joint, in workspace coordinates

// Joint angles (base, shoulder, elbow; rad) to end-effector position.
Vec3 Forward(const Vec3& joints);

// End-effector position to joint angles, elbow up. The position must lie within reach.
Vec3 Inverse(const Vec3& position);

// d position / d joints at the given joint angles.
Mat3 Jacobian(const Vec3& joints);

}  // namespace TamroSimulator::ArmKinematics
