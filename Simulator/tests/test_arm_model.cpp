// The simulated arm's kinematics and physics: what the host sees through the state replies.
#include "ArmKinematics.hpp"
#include "ArmModel.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace TamroSimulator;
using Clock = ArmModel::Clock;

namespace {

constexpr double H = ArmModel::HalfSize;

const Vec3 WorkspacePoints[] = {
    {0.0, 0.0, 0.0}, {H, H, H}, {-H, -H, -H}, {H, -H, 0.0}, {-H, H, H}, {0.05, -0.02, 0.07},
};

void ExpectNear(const Vec3& actual, const Vec3& expected, double tolerance) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(actual[i], expected[i], tolerance) << "component " << i;
}

Clock::time_point At(Clock::time_point start, double seconds) {
    return start +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

TEST(ArmKinematics, InverseUndoesForwardAcrossTheWorkspace) {
    for (const Vec3& p : WorkspacePoints)
        ExpectNear(ArmKinematics::Forward(ArmKinematics::Inverse(p)), p, 1e-12);
}

TEST(ArmKinematics, JacobianMatchesFiniteDifferences) {
    constexpr double step = 1e-6;
    for (const Vec3& p : WorkspacePoints) {
        const Vec3 q = ArmKinematics::Inverse(p);
        const Mat3 jacobian = ArmKinematics::Jacobian(q);
        for (int joint = 0; joint < 3; ++joint) {
            Vec3 plus = q, minus = q;
            plus[joint] += step;
            minus[joint] -= step;
            const Vec3 column =
                (0.5 / step) * (ArmKinematics::Forward(plus) - ArmKinematics::Forward(minus));
            for (int row = 0; row < 3; ++row) EXPECT_NEAR(jacobian[row][joint], column[row], 1e-8);
        }
    }
}

TEST(ArmModel, ConstantForceFollowsTheDampedMassSolution) {
    const auto start = Clock::now();
    ArmModel arm(1000.0, start);
    constexpr double force = 0.2, t = 0.5;
    arm.CommandForce({0.0, force, 0.0});
    arm.AdvanceTo(At(start, t));
    const double terminal = force / ArmModel::Damping;
    const double tau = ArmModel::Mass / ArmModel::Damping;
    const double velocity = terminal * (1.0 - std::exp(-t / tau));
    const double position = terminal * (t - tau * (1.0 - std::exp(-t / tau)));
    ExpectNear(arm.Velocity(), {0.0, velocity, 0.0}, 0.01 * velocity);
    ExpectNear(arm.Position(), {0.0, position, 0.0}, 0.01 * position);
}

TEST(ArmModel, WorkspaceWallsStopTheMass) {
    const auto start = Clock::now();
    ArmModel arm(1000.0, start);
    arm.CommandForce({5.0, -5.0, 0.0});
    arm.AdvanceTo(At(start, 1.0));
    ExpectNear(arm.Position(), {H, -H, 0.0}, 1e-12);
    ExpectNear(arm.Velocity(), {0.0, 0.0, 0.0}, 1e-12);
}

TEST(ArmModel, PositionAndJointAngleRequestsPullToTheTarget) {
    const Vec3 target{0.03, -0.04, 0.05};
    for (bool byJoints : {false, true}) {
        SCOPED_TRACE(byJoints ? "joint angles" : "position");
        const auto start = Clock::now();
        ArmModel arm(1000.0, start);
        if (byJoints)
            arm.CommandJointAngles(ArmKinematics::Inverse(target));
        else
            arm.CommandPosition(target);
        arm.AdvanceTo(At(start, 1.0));
        ExpectNear(arm.Position(), target, 1e-4);
        ExpectNear(arm.Velocity(), {0.0, 0.0, 0.0}, 1e-3);
        ExpectNear(arm.JointAngles(), ArmKinematics::Inverse(target), 1e-3);
    }
}

TEST(ArmModel, JointTorquesActThroughTheTransposedJacobian) {
    const Vec3 force{0.3, -0.2, 0.1};
    const auto start = Clock::now();
    ArmModel byForce(1000.0, start), byTorque(1000.0, start);
    byForce.CommandForce(force);
    const Vec3 torques = Transposed(ArmKinematics::Jacobian(byTorque.JointAngles())) * force;
    byTorque.CommandJointTorques(torques);
    byForce.AdvanceTo(At(start, 0.01));
    byTorque.AdvanceTo(At(start, 0.01));
    ExpectNear(byTorque.Velocity(), byForce.Velocity(), 1e-3 * 0.01);
    // The currents are those torques over the torque constant.
    ArmModel still(1000.0, start);
    still.CommandForce(force);
    ExpectNear(still.MotorCurrents(), (1.0 / ArmModel::TorqueConstant) * torques, 1e-9);
}

TEST(ArmModel, JointVelocitiesMapBackToTheEndEffectorVelocity) {
    const auto start = Clock::now();
    ArmModel arm(1000.0, start);
    arm.CommandForce({0.4, 0.3, -0.2});
    arm.AdvanceTo(At(start, 0.2));
    const Mat3 jacobian = ArmKinematics::Jacobian(arm.JointAngles());
    ExpectNear(jacobian * arm.JointVelocities(), arm.Velocity(), 1e-9);
}

TEST(ArmModel, LongIdleGapIsSkippedNotReplayed) {
    const auto start = Clock::now();
    ArmModel arm(1000.0, start);
    arm.CommandPosition({0.05, 0.0, 0.0});
    arm.AdvanceTo(At(start, 3600.0));  // an hour of steps would take seconds
    arm.AdvanceTo(At(start, 3601.0));  // and the model carries on from there
    ExpectNear(arm.Position(), {0.05, 0.0, 0.0}, 1e-4);
}
