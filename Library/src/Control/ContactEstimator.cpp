#include "ContactEstimator.hpp"

#include <algorithm>
#include <cmath>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

bool Finite(const Vec3& v) {
    return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]);
}

// The direction turned toward `toward` by the share `share` (0 to 1), at length 1.
Vec3 Turn(const Vec3& direction, const Vec3& toward, double share) {
    const Vec3 mixed = direction + share * (toward - direction);
    const double length = Norm(mixed);
    return length > 1e-9 ? (1.0 / length) * mixed : direction;
}

}  // namespace

void ContactEstimator::Bound(double maxStiffness) noexcept {
    if (std::isfinite(maxStiffness) && maxStiffness >= MinStiffness) maxStiffness_ = maxStiffness;
}

void ContactEstimator::Reset() noexcept {
    contact_ = candidate_ = false;
    evidence_ = 0;
    plane_ = ContactPlane{};
}

const ContactPlane& ContactEstimator::Update(const Vec3& position, const Vec3& velocity,
                                             const Vec3& reaction, double dt) noexcept {
    if (!Finite(position) || !Finite(velocity) || !Finite(reaction)) {
        Reset();
        return plane_;
    }
    dt = std::isfinite(dt) ? std::clamp(dt, 0.0, 0.1) : 0.0;
    const double force = Norm(reaction);
    const Vec3 direction = force > 0 ? (1.0 / force) * reaction : Vec3{0, 0, 1};

    if (!contact_) {
        const bool pressing = force >= OnForce && std::abs(Dot(velocity, direction)) <= StillSpeed;
        if (!pressing) {
            candidate_ = false;
            evidence_ = 0;
        } else if (candidate_ && Dot(direction, direction_) >= Consistent) {
            evidence_ += dt;
            direction_ = Turn(direction_, direction, std::min(1.0, dt / NormalTime));
        } else {
            candidate_ = true;
            evidence_ = 0;
            direction_ = direction;
        }
        if (candidate_ && evidence_ >= Settle) Begin(position, Dot(reaction, direction_));
        Publish();
        return plane_;
    }

    if (force >= OnForce && Dot(direction, direction_) > 0)
        direction_ = Turn(direction_, direction, std::min(1.0, dt / NormalTime));
    const double along = Dot(reaction, direction_);
    const double s = Dot(position - origin_, direction_) * 1e3;  // mm, negative deeper in
    // Only a slow press is quasi-static: moving, the arm's inertia and the surface's damping
    // are in the force too.
    if (std::abs(Dot(velocity, direction_)) <= StillSpeed) Fit(s, along, dt);
    evidence_ = along < OffForce ? evidence_ + dt : 0;
    // The fit's residual as a depth: how much deeper the arm is than the force explains.
    const double k = std::clamp(-b_, MinStiffness * 1e-3, maxStiffness_ * 1e-3);  // N/mm
    const double sunk = ((a_ + b_ * s) - along) / k;                              // mm
    if (evidence_ >= Settle || sunk > GiveWay * 1e3) {
        Reset();
        return plane_;
    }
    Publish();
    return plane_;
}

void ContactEstimator::Begin(const Vec3& position, double force) noexcept {
    contact_ = true;
    candidate_ = false;
    evidence_ = 0;
    origin_ = position;
    // The prior: the middle of what may be rendered, loosely held; pressing deeper or less
    // deep soon tells the truth.
    const double prior = 0.5 * maxStiffness_ * 1e-3;  // N/mm
    a_ = force;
    b_ = -prior;
    p_[0][0] = 1.0;
    p_[1][1] = prior * prior;
    p_[0][1] = p_[1][0] = 0;
}

// One step of recursive least squares with exponential forgetting; the covariance is kept
// within its starting size, so a steady press (nothing to learn) does not wind it up.
void ContactEstimator::Fit(double s, double force, double dt) noexcept {
    const double forget = std::exp(-dt / Memory);
    const double phi[2] = {1.0, s};
    const double pphi[2] = {p_[0][0] + p_[0][1] * s, p_[1][0] + p_[1][1] * s};
    const double denominator = forget + phi[0] * pphi[0] + phi[1] * pphi[1];
    if (!(denominator > 0) || !std::isfinite(denominator)) return;
    const double gain[2] = {pphi[0] / denominator, pphi[1] / denominator};
    const double error = force - (a_ + b_ * s);
    a_ += gain[0] * error;
    b_ += gain[1] * error;
    double p[2][2];
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) p[i][j] = (p_[i][j] - gain[i] * pphi[j]) / forget;
    const double limit = 1.0 + 0.25 * maxStiffness_ * maxStiffness_ * 1e-6;
    const double trace = p[0][0] + p[1][1];
    const double scale = trace > limit ? limit / trace : 1.0;
    p_[0][0] = p[0][0] * scale;
    p_[1][1] = p[1][1] * scale;
    p_[0][1] = p_[1][0] = 0.5 * (p[0][1] + p[1][0]) * scale;
}

void ContactEstimator::Publish() noexcept {
    if (!contact_) {
        plane_ = ContactPlane{};
        return;
    }
    const double k = std::clamp(-b_, MinStiffness * 1e-3, maxStiffness_ * 1e-3);  // N/mm
    const double offset = a_ / k;  // mm along the normal from the origin to the plane
    const Vec3 point = origin_ + (offset * 1e-3) * direction_;
    if (!Finite(point) || !std::isfinite(a_) || !std::isfinite(b_)) {
        Reset();
        return;
    }
    plane_ = {true, point, direction_, k * 1e3};
}

}  // namespace Tamro::HardwareAPI::Control::Detail
