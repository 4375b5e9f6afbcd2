// The surface a coupled arm presses on, estimated from its own position and the force its
// coupling applies: a plane (a point on it, its outward normal) and its stiffness, for the
// peer to render locally (model-mediated teleoperation).
//
// The signal is the coupling's force as sent: an arm without a force sensor knows nothing
// better, and while it presses steadily (slowly along the push) that force is balanced by the
// surface's reaction, so the reaction is the sent force reversed. Contact is declared once that
// reaction stays above OnForce, along a consistent direction, with the arm nearly still along
// it, for Settle; it is released when it stays below OffForce for Settle (hysteresis), or at
// once when the arm sinks GiveWay further in than the model explains (the surface gave way).
// While in contact, recursive least squares with forgetting fits the reaction along the normal
// against the depth, f = k (c - s) with s the position along the normal, on the cycles where
// the arm moves slowly along it (quasi-static).
//
// The loop's thread only: fixed-size state, no allocation; every output finite, the stiffness
// clamped to the given bound.
#pragma once

#include <Tamro/HardwareAPI/Control/Vector.hpp>

namespace Tamro::HardwareAPI::Control::Detail {

struct ContactPlane {
    bool valid = false;
    Vec3 point{};
    Vec3 normal{0, 0, 1};
    double stiffness = 0;  // N/m, 0 when not valid
};

class ContactEstimator {
public:
    static constexpr double OnForce = 0.5;         // N: a reaction this strong may be a contact
    static constexpr double OffForce = 0.25;       // N: weaker, the contact is ending
    static constexpr double StillSpeed = 0.02;     // m/s along the push: pressing, not pushing on
    static constexpr double Settle = 0.02;         // s the evidence must hold
    static constexpr double Consistent = 0.9;      // cosine: the push keeps its direction
    static constexpr double GiveWay = 0.002;       // m deeper than the model explains: let go
    static constexpr double MinStiffness = 100.0;  // N/m: softer is not a surface to render
    // Forgetting per second: the fit remembers about the last second of pressing.
    static constexpr double Memory = 1.0;       // s
    static constexpr double NormalTime = 0.05;  // s: the normal's low-pass while pressing

    // maxStiffness (N/m) bounds the published stiffness: the peer's loop renders it.
    void Bound(double maxStiffness) noexcept;
    // One cycle: position and velocity of the arm, reaction the surface's force on it (the
    // coupling's sent force reversed), dt seconds since the last cycle.
    const ContactPlane& Update(const Vec3& position, const Vec3& velocity, const Vec3& reaction,
                               double dt) noexcept;
    const ContactPlane& Plane() const noexcept { return plane_; }
    void Reset() noexcept;

private:
    void Begin(const Vec3& position, double force) noexcept;
    void Fit(double depthMm, double force, double dt) noexcept;
    void Publish() noexcept;

    double maxStiffness_ = 5000.0;
    bool contact_ = false;
    bool candidate_ = false;  // evidence of a contact is gathering
    double evidence_ = 0;     // s of contact evidence while not in contact, of release while in it
    Vec3 direction_{0, 0, 1};
    Vec3 origin_{};  // where contact began: depths are measured from here, in mm
    // The fit f = a + b s (s in mm, f in N): theta = (a, b), covariance p.
    double a_ = 0, b_ = 0;
    double p_[2][2] = {{0, 0}, {0, 0}};
    ContactPlane plane_;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
