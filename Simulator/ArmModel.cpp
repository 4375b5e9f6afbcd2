#include "ArmModel.hpp"

#include "ArmKinematics.hpp"

#include <algorithm>
#include <cmath>

namespace TamroSimulator {

namespace {

// Beyond this many steps behind, the model jumps to the present: the damping has long
// settled it, and replaying would stall the reply.
constexpr int MaxCatchUpSteps = 2000;

}  // namespace

ArmModel::ArmModel(double rateHz, Clock::time_point start)
    : step_(
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rateHz))),
      time_(start) {}

void ArmModel::AdvanceTo(Clock::time_point now) {
    for (int i = 0; time_ < now; ++i) {
        if (i == MaxCatchUpSteps) {
            time_ = now;
            return;
        }
        const Clock::time_point until = std::min(now, time_ + step_);
        Integrate(std::chrono::duration<double>(until - time_).count());
        time_ = until;
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

Vec3 ArmModel::HeldForce() const {
    switch (mode_) {
        case Mode::Force: return command_;
        case Mode::JointTorques:
            // torques = J^T force
            return Solve(Transposed(ArmKinematics::Jacobian(JointAngles())), command_);
        case Mode::Pull: return PullStiffness * (command_ - position_);
    }
    return {};
}

Vec3 ArmModel::ActuatorForce() const {
    const Vec3 held = HeldForce();
    return mode_ == Mode::Pull ? held - PullDamping * velocity_ : held;
}

// m dv/dt = F - c v with F constant over the time h has the solution
//   v(h) = F/c + (v0 - F/c) e^(-h c/m),   x(h) = x0 + h F/c + (m/c) (v0 - F/c) (1 - e^(-h c/m)),
// taken as it is rather than approximated, so no step size changes the motion.
void ArmModel::Integrate(double h) {
    const double damping = mode_ == Mode::Pull ? Damping + PullDamping : Damping;
    const Vec3 terminal = (1.0 / damping) * HeldForce();
    const Vec3 excess = velocity_ - terminal;
    const double rest = -std::expm1(-h * damping / Mass);  // 1 - e^(-h c/m), accurate for small h
    position_ = position_ + h * terminal + (Mass / damping * rest) * excess;
    velocity_ = terminal + (1.0 - rest) * excess;
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
