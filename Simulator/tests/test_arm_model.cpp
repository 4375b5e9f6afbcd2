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

// The damped mass's own solution over t under a constant force, from velocity v0.
struct Motion {
    double position, velocity;
};
Motion DampedMass(double force, double v0, double t) {
    const double terminal = force / ArmModel::Damping;
    const double tau = ArmModel::Mass / ArmModel::Damping;
    return {terminal * t + tau * (v0 - terminal) * (1.0 - std::exp(-t / tau)),
            terminal + (v0 - terminal) * std::exp(-t / tau)};
}

TEST(ArmModel, ForcesActFromTheInstantTheyArriveAndMoveTheMassExactly) {
    // Commands at instants off the integration grid, as a host's requests come: the motion is
    // the differential equation's own solution, whatever the step.
    const auto start = Clock::now();
    ArmModel arm(1000.0, start);
    constexpr double first = 0.2, second = -0.35, switchAt = 0.0123456, end = 0.4567891;
    arm.CommandForce({0.0, first, 0.0});
    arm.AdvanceTo(At(start, switchAt));
    arm.CommandForce({0.0, second, 0.0});
    arm.AdvanceTo(At(start, end));
    const Motion before = DampedMass(first, 0.0, switchAt);
    const Motion after = DampedMass(second, before.velocity, end - switchAt);
    ExpectNear(arm.Velocity(), {0.0, after.velocity, 0.0}, 1e-9);
    ExpectNear(arm.Position(), {0.0, before.position + after.position, 0.0}, 1e-9);
}

TEST(ArmModel, ASampledWallLosesStabilityWhereTheDelayUsesUpTheDamping) {
    // The host's servo loop at 1 kHz: each force from the state of the request before, held
    // for a period. The delay (a period, plus half a period of hold) costs K * 1.5 T of the
    // arm's damping b, so the wall rings down below K = b / 1.5 T and up above it. A model that
    // adds or removes energy of its own moves that limit.
    constexpr double period = 0.001;
    const double limit = ArmModel::Damping / (1.5 * period);
    for (const double share : {0.9, 1.1}) {
        SCOPED_TRACE(share);
        const double stiffness = share * limit;
        const auto start = Clock::now();
        ArmModel arm(1000.0, start);
        arm.CommandForce({0.0, 0.0, -2.0});  // a 2 N push into a wall at z = 0
        double previous = 0.0, early = 0.0, late = 0.0;
        for (int cycle = 1; cycle <= 3000; ++cycle) {
            // Each request lands a little off the integration grid.
            arm.AdvanceTo(At(start, (cycle + 0.37) * period));
            const double z = arm.Position()[2];
            arm.CommandForce({0.0, 0.0, -2.0 - stiffness * previous});
            previous = z;
            const double swing = std::abs(z + 2.0 / stiffness);
            if (cycle > 200 && cycle <= 700) early = std::max(early, swing);
            if (cycle > 2500) late = std::max(late, swing);
        }
        if (share < 1)
            EXPECT_LT(late, 0.5 * early);
        else
            EXPECT_GT(late, 2.0 * early);
    }
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
