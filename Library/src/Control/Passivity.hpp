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
// velocity, the surplus (giving it back at a bounded rate, see Limit). The controller only ever
// removes the part of the force that moves the arm, so the damping it adds is bounded by the
// coupling's own force. What has come in and not gone out is kept up to a cap: a coupling that has
// been absorbing (a stiff one under delay does, a lot) cannot then spend it all in one violent
// swing.
//
// A spring the coupling engages between arms held apart would hold energy no port put in: the
// controller would keep it, and the arms apart. DriftCompensation.hpp engages it at rest
// instead and returns the offset within energy it grants here, after the drift compensation
// of Artigas, Ryu, Preusche and Hirzinger (2011, "Time domain passivity control for position-
// position teleoperation architectures") and Coelho, Ott et al. (2019, arXiv:1909.01603).
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
        Cover(joules);
    }

    // Energy the drift compensation put into the coupling here (J, >= 0): covered like a
    // credit, counted apart.
    void Grant(double joules) noexcept {
        if (joules > 0) granted_ += joules;
        Cover(joules);
    }

    // The controller gives back what it took at most this fast (N/s; half a newton a cycle at
    // 1 kHz). The exact correction jumps with the sign of a tiny velocity: the whole push along
    // the motion at the slightest creep, none at rest or creeping back. Sent as it is, a force
    // passed whole one cycle is cut the next: a pulse, and under velocity noise a buzz. So a
    // cut acts at once (that is what keeps the port passive) but the force returns at this
    // rate, and a creep that reverses finds the correction still in place.
    static constexpr double ReleaseRate = 500.0;

    // The force to send for the coupling's force at this velocity, held for dt seconds: the
    // coupling's force less the correction. The correction is the damping along the velocity
    // that takes away the energy the force would put out beyond what is covered (at most the
    // force's power); when less is needed than before, it eases off at ReleaseRate. Whatever
    // is held over, the force sent never puts out more than is covered. enabled false only
    // observes: a correction left over eases off the same way.
    Vec3 Limit(const Vec3& force, const Vec3& velocity, double dt, bool enabled) noexcept {
        if (!(dt > 0)) return force - correction_;
        const double speed2 = Dot(velocity, velocity);
        const Vec3 wanted = enabled ? Exact(force, velocity, speed2, dt) : Vec3{};
        if (Norm(wanted) >= Norm(correction_)) {
            correction_ = wanted;
        } else {
            const Vec3 change = wanted - correction_;
            const double most = ReleaseRate * dt;
            const double n = Norm(change);
            correction_ = n > most ? correction_ + (most / n) * change : wanted;
            // What is held over was aimed at an earlier velocity: never let it push the arm
            // beyond what is covered now.
            if (enabled)
                correction_ = correction_ + Exact(force - correction_, velocity, speed2, dt);
        }
        dissipated_ += Dot(correction_, velocity) * dt;
        return force - correction_;
    }

    // A coupling that engages again starts with nothing owed and nothing in hand, so energy
    // stored before a link loss is not released at once.
    void Restart() noexcept {
        coveredBase_ = covered_;
        outBase_ = out_;
        correction_ = Vec3{};
    }

    double In() const noexcept { return in_; }
    double Out() const noexcept { return out_; }
    double Dissipated() const noexcept { return dissipated_; }
    double Credited() const noexcept { return credit_; }
    double Granted() const noexcept { return granted_; }
    // What the other end let in (and what was granted), less what left here, since the last
    // Restart: the observer.
    double Available() const noexcept { return (covered_ - coveredBase_) - (out_ - outBase_); }

private:
    double in_ = 0, out_ = 0, dissipated_ = 0, credit_ = 0, granted_ = 0;
    double covered_ = 0, coveredBase_ = 0, outBase_ = 0;  // covered_: credited and granted
    Vec3 correction_{};

    void Cover(double joules) noexcept {
        if (joules > 0) covered_ += joules;
        const double over = Available() - Reserve;
        if (over > 0) coveredBase_ += over;
    }

    // The damping along the velocity that removes what sending force for dt would put out
    // beyond what is covered, and never more than the force's power.
    Vec3 Exact(const Vec3& force, const Vec3& velocity, double speed2, double dt) const noexcept {
        const double power = Dot(force, velocity);
        if (power <= 0 || speed2 <= 0) return Vec3{};
        const double shortfall = power * dt - Available();
        if (shortfall <= 0) return Vec3{};
        return (std::fmin(power, shortfall / dt) / speed2) * velocity;
    }
};

}  // namespace Tamro::HardwareAPI::Control::Detail
