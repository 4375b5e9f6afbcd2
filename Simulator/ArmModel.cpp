#include "ArmModel.hpp"

#include "ArmKinematics.hpp"

#include <algorithm>

namespace TamroSimulator {

namespace {

// Beyond this many steps behind, the model jumps to the present: the damping has long
// settled it, and replaying would stall the reply.
constexpr int MaxCatchUpSteps = 2000;

}  // namespace

ArmModel::ArmModel(double rateHz, Clock::time_point start)
    : step_(
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rateHz))),
      stepTime_(start) {}

void ArmModel::AdvanceTo(Clock::time_point now) {
    for (int i = 0; stepTime_ + step_ <= now; ++i) {
        if (i == MaxCatchUpSteps) {
            stepTime_ = now;
            return;
        }
        Step();
        stepTime_ += step_;
    }
}

void ArmModel::CommandForce(const Vec3& force) {
    mode_ = Mode::Force;
    command_ = force;
}

void ArmModel::CommandJointTorques(const Vec3& torques) {
    mode_ = Mode::JointTorques;
    command_ = torques;
}

void ArmModel::CommandPosition(const Vec3& target) {
    mode_ = Mode::Pull;
    command_ = target;
}

void ArmModel::CommandJointAngles(const Vec3& angles) {
    CommandPosition(ArmKinematics::Forward(angles));
}

Vec3 ArmModel::JointAngles() const { return ArmKinematics::Inverse(position_); }

Vec3 ArmModel::JointVelocities() const {
    return Solve(ArmKinematics::Jacobian(JointAngles()), velocity_);
}

Vec3 ArmModel::MotorCurrents() const {
    const Mat3 jacobian = ArmKinematics::Jacobian(JointAngles());
    return (1.0 / TorqueConstant) * (Transposed(jacobian) * ActuatorForce());
}

Vec3 ArmModel::ActuatorForce() const {
    switch (mode_) {
        case Mode::Force: return command_;
        case Mode::JointTorques:
            // torques = J^T force
            return Solve(Transposed(ArmKinematics::Jacobian(JointAngles())), command_);
        case Mode::Pull: return PullStiffness * (command_ - position_) - PullDamping * velocity_;
    }
    return {};
}

void ArmModel::Step() {
    const double dt = std::chrono::duration<double>(step_).count();
    const Vec3 acceleration = (1.0 / Mass) * (ActuatorForce() - Damping * velocity_);
    velocity_ = velocity_ + dt * acceleration;
    position_ = position_ + dt * velocity_;
    // The workspace walls stop the mass dead.
    for (int axis = 0; axis < 3; ++axis) {
        if (position_[axis] > HalfSize) {
            position_[axis] = HalfSize;
            velocity_[axis] = std::min(velocity_[axis], 0.0);
        } else if (position_[axis] < -HalfSize) {
            position_[axis] = -HalfSize;
            velocity_[axis] = std::max(velocity_[axis], 0.0);
        }
    }
}

}  // namespace TamroSimulator
