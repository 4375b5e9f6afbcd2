#include "ArmKinematics.hpp"

#include <algorithm>

namespace TamroSimulator::ArmKinematics {

Vec3 Forward(const Vec3& joints) {
    const double reach = UpperArm * std::cos(joints[1]) + Forearm * std::cos(joints[1] + joints[2]);
    const double height =
        UpperArm * std::sin(joints[1]) + Forearm * std::sin(joints[1] + joints[2]);
    return Base + Vec3{reach * std::cos(joints[0]), reach * std::sin(joints[0]), height};
}

Vec3 Inverse(const Vec3& position) {
    const Vec3 p = position - Base;
    const double reach = std::hypot(p[0], p[1]);
    const double height = p[2];
    const double cosElbow =
        std::clamp((reach * reach + height * height - UpperArm * UpperArm - Forearm * Forearm) /
                       (2.0 * UpperArm * Forearm),
                   -1.0, 1.0);
    const double elbow = -std::acos(cosElbow);
    const double shoulder =
        std::atan2(height, reach) -
        std::atan2(Forearm * std::sin(elbow), UpperArm + Forearm * std::cos(elbow));
    return {std::atan2(p[1], p[0]), shoulder, elbow};
}

Mat3 Jacobian(const Vec3& joints) {
    const double c0 = std::cos(joints[0]);
    const double s0 = std::sin(joints[0]);
    const double outer = joints[1] + joints[2];
    const double reach = UpperArm * std::cos(joints[1]) + Forearm * std::cos(outer);
    const double height = UpperArm * std::sin(joints[1]) + Forearm * std::sin(outer);
    // reach and height as functions of shoulder and elbow
    const double dReachShoulder = -height;
    const double dReachElbow = -Forearm * std::sin(outer);
    const double dHeightShoulder = reach;
    const double dHeightElbow = Forearm * std::cos(outer);
    return {Vec3{-reach * s0, c0 * dReachShoulder, c0 * dReachElbow},
            Vec3{reach * c0, s0 * dReachShoulder, s0 * dReachElbow},
            Vec3{0.0, dHeightShoulder, dHeightElbow}};
}

}  // namespace TamroSimulator::ArmKinematics
