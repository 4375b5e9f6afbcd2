// One end of a coupling between two devices, watched by a time-domain passivity observer and
// kept passive by its controller (Hannaford and Ryu 2002), with the two-port split used for
// position-position teleoperation over a delayed link (Ryu, Artigas and Preusche 2010).
//
// The coupling and the link between the two arms form a network with one port at each arm.
// Each end counts the energy that enters the network at its own port (the arm pushing against
// the coupling) and the energy that leaves it there (the coupling moving the arm). The network
// creates no energy as long as what leaves at this end never exceeds what has entered at the
// other end and arrived here: the observer is that difference, and when the force about to be
// sent would make it negative the controller takes away, as damping against the arm's
// velocity, exactly the surplus. The controller only ever removes the part of the force that
// moves the arm, so the damping it adds is bounded by the coupling's own force. What has come
// in and not gone out is kept up to a cap: a coupling that has been absorbing (a stiff one
// under delay does, a lot) cannot then spend it all in one violent swing.
//
// Plain arithmetic on the loop's thread: no allocation, no waiting.
#pragma once

#include <Tamro/HardwareAPI/Control/Vector.hpp>

namespace Tamro::HardwareAPI::Control::Detail {

class PassivityControl {
public:
    static constexpr double Reserve = 0.01;  // J kept in hand at most

    // The work the force sent last did on the arm while it was held: that force along the
    // arm's displacement since (exact for a force held constant between two states).
    void Observe(const Vec3& heldForce, const Vec3& displacement) noexcept {
        const double work = Dot(heldForce, displacement);
        if (work > 0)
            out_ += work;
        else
            in_ -= work;
    }

    // Energy that entered the network at the other end and has now arrived here (J, >= 0).
    void Credit(double joules) noexcept {
        if (joules > 0) credit_ += joules;
        const double over = Available() - Reserve;
        if (over > 0) creditBase_ += over;
    }

    // The force to send for the coupling's force at this velocity, held for dt seconds: the
    // same force while the energy it would put out is covered, else less of its part along the
    // velocity, by exactly the shortfall. enabled false only observes.
    Vec3 Limit(const Vec3& force, const Vec3& velocity, double dt, bool enabled) noexcept {
        const double power = Dot(force, velocity);
        const double speed2 = Dot(velocity, velocity);
        if (!enabled || power <= 0 || !(dt > 0) || speed2 <= 0) return force;
        const double shortfall = power * dt - Available();
        if (shortfall <= 0) return force;
        const double beta = std::fmin(power, shortfall / dt) / speed2;
        dissipated_ += beta * speed2 * dt;
        return force - beta * velocity;
    }

    // A coupling that engages again starts with nothing owed and nothing in hand, so energy
    // stored before a link loss is not released at once.
    void Restart() noexcept {
        creditBase_ = credit_;
        outBase_ = out_;
    }

    double In() const noexcept { return in_; }
    double Out() const noexcept { return out_; }
    double Dissipated() const noexcept { return dissipated_; }
    double Credited() const noexcept { return credit_; }
    // What the other end let in, less what left here, since the last Restart: the observer.
    double Available() const noexcept { return (credit_ - creditBase_) - (out_ - outBase_); }

private:
    double in_ = 0, out_ = 0, dissipated_ = 0, credit_ = 0;
    double creditBase_ = 0, outBase_ = 0;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
