// The energy side of one coupling end: the passivity controller (Passivity.hpp) fed with what
// it needs each cycle. The work of the force held since the last cycle, on the measured
// displacement, is what left or entered at this arm; what entered at the other end is
// credited from the remote's own count when it sends one, else from the work its motion of the
// target did against this end's force. Restarting on engagement keeps energy stored before a
// link loss from being released at once.
//
// The loop's thread only: plain arithmetic, no allocation.
#pragma once

#include "Passivity.hpp"

#include <Tamro/HardwareAPI/Control/Coupling.hpp>

namespace Tamro::HardwareAPI::Control::Detail {

class CouplingEnergy {
public:
    // A cycle begins: the force sent last did its work on the arm's move to measured.
    void Observe(const Vec3& measured) noexcept {
        if (haveMeasured_) passivity_.Observe(applied_, measured - measuredBefore_);
        measuredBefore_ = measured;
        haveMeasured_ = true;
        hadRemoteCount_ = haveRemoteCount_;
    }

    // A remote sample taken: its energy count, counting up; a count that went back is a remote
    // that started again, and earns no credit.
    void Remote(const RemoteSample& sample) noexcept {
        if (!sample.hasEnergy) return;
        if (haveRemoteCount_ && sample.energyIn >= remoteCount_)
            passivity_.Credit(sample.energyIn - remoteCount_);
        remoteCount_ = sample.energyIn;
        haveRemoteCount_ = true;
    }

    // A remote that says nothing of its energy moves the target at will: the work its move
    // does against this end's force is what came in at its end.
    void TargetMoved(const Vec3& step) noexcept { passivity_.Credit(Dot(applied_, step)); }

    // Energy the drift compensation put into the spring (DriftCompensation.hpp).
    void Grant(double joules) noexcept { passivity_.Grant(joules); }

    // Engaging afresh: nothing stored is owed. A remote count kept only when it was there
    // before this cycle's samples and the newest carries one.
    void Engage(bool newestHasCount) noexcept {
        passivity_.Restart();
        haveRemoteCount_ = hadRemoteCount_ && newestHasCount;
    }

    // The force to send for force at this velocity, held dt (see PassivityControl::Limit).
    Vec3 Limit(const Vec3& force, const Vec3& velocity, double dt, bool enabled) noexcept {
        return passivity_.Limit(force, velocity, dt, enabled);
    }

    // What the loop computed, and what it sent of it (scale 0 to 1): the force held next.
    void Computed(const Vec3& force) noexcept { computed_ = force; }
    const Vec3& Sent(double scale) noexcept {
        applied_ = scale * computed_;
        return applied_;
    }

    // The coupling left the set: nothing held, no measurement to count the next work from.
    void Leave() noexcept {
        haveMeasured_ = false;
        applied_ = computed_ = Vec3{};
    }
    bool Observing() const noexcept { return haveMeasured_; }

    double In() const noexcept { return passivity_.In(); }
    double Out() const noexcept { return passivity_.Out(); }
    double Dissipated() const noexcept { return passivity_.Dissipated(); }
    double Credited() const noexcept { return passivity_.Credited(); }
    double Granted() const noexcept { return passivity_.Granted(); }

private:
    PassivityControl passivity_;
    bool haveMeasured_ = false;
    Vec3 measuredBefore_{};
    Vec3 computed_{}, applied_{};
    bool haveRemoteCount_ = false, hadRemoteCount_ = false;
    double remoteCount_ = 0;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
