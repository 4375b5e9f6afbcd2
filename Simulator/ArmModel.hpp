// The physics of the simulated arm: a point mass with viscous damping, held inside a cubic
// workspace, driven by the last command. Time advances when the host asks for something, up to
// that very instant, so an idle simulator costs nothing and a command acts from the moment it
// arrives. A commanded force is constant between two requests, so the mass-damper is integrated
// exactly over that time: the model adds no energy and no delay of its own, and a servo loop's
// stability on it is the loop's alone. The pulls of position and joint-angle requests and joint
// torques depend on the state; they are held for at most one step of the integration rate.
#pragma once

#include "Vec3.hpp"

#include <chrono>

namespace TamroSimulator {

class ArmModel {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr double Mass = 0.25;            // kg
    static constexpr double Damping = 2.0;          // N s/m
    static constexpr double PullStiffness = 200.0;  // N/m, position and joint-angle requests
    static constexpr double PullDamping = 10.0;     // N s/m, added while pulling
    static constexpr double HalfSize = 0.1;         // m, the workspace is [-HalfSize, HalfSize]^3
    static constexpr double TorqueConstant = 0.1;   // N m/A, for the motor currents

    // rateHz: steps per second for the state-dependent commands, and the unit of the longest
    // catch-up (MaxCatchUpSteps steps).
    ArmModel(double rateHz, Clock::time_point start);

    // Integrates up to now with the command in force until then. A long idle gap is
    // skipped rather than replayed.
    void AdvanceTo(Clock::time_point now);

    void CommandForce(const Vec3& force);
    void CommandJointTorques(const Vec3& torques);
    void CommandPosition(const Vec3& target);
    void CommandJointAngles(const Vec3& angles);

    const Vec3& Position() const { return position_; }
    const Vec3& Velocity() const { return velocity_; }
    Vec3 JointAngles() const;
    Vec3 JointVelocities() const;
    Vec3 MotorCurrents() const;  // joint torques of the actuator force, over the torque constant

private:
    enum class Mode { Force, JointTorques, Pull };

    void Integrate(double seconds);
    Vec3 HeldForce() const;  // the actuator's force but for a pull's damping
    Vec3 ActuatorForce() const;

    Clock::duration step_;
    Clock::time_point time_;  // the model's own time: how far it has been integrated
    Mode mode_ = Mode::Force;
    Vec3 command_{};  // force, joint torques or target position, by mode
    Vec3 position_{};
    Vec3 velocity_{};
};

}  // namespace TamroSimulator
