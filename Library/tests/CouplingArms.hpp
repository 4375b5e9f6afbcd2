// Simulated time for coupling tests: arms with the simulated arm's mass and damping, integrated
// exactly, and the clocks and samples a RemoteInput is fed with.
#pragma once

#include <Tamro/HardwareAPI/Control/Coupling.hpp>

#include <chrono>
#include <cmath>

namespace Tamro::HardwareAPI::Control::Testing {

constexpr double Period = 1e-3;
constexpr double WallOffset = 1.7e9;  // the wall clock of these runs, seconds since the epoch

// A point mass with viscous damping under a force held over each step, integrated exactly.
struct Arm {
    double mass = 0.25, damping = 2.0;
    Vec3 x{}, v{};

    void Step(const Vec3& force, double dt) {
        const double decay = std::exp(-damping * dt / mass);
        for (int i = 0; i < 3; ++i) {
            const double terminal = force[i] / damping;
            x[i] += terminal * dt + (v[i] - terminal) * (mass / damping) * (1 - decay);
            v[i] = terminal + (v[i] - terminal) * decay;
        }
    }
};

inline std::chrono::steady_clock::time_point At(double seconds) {
    return std::chrono::steady_clock::time_point(
        std::chrono::nanoseconds(std::llround(seconds * 1e9)));
}

// The arm as its coupling publishes it; with own, counting that coupling's energy as a
// bilateral peer does.
inline RemoteSample SampleOf(const Arm& arm, double t, const RemoteInput* own = nullptr) {
    RemoteSample s;
    s.stamp = WallOffset + t;
    s.position = arm.x;
    s.hasVelocity = true;
    s.velocity = arm.v;
    if (own != nullptr) {
        s.hasEnergy = true;
        s.energyIn = own->Status().energyIn;
    }
    return s;
}

// f limited to max newtons, as the loop's safety stage does; scale is what was kept of it.
inline Vec3 Clamped(const Vec3& f, double max, double& scale) {
    const double n = Norm(f);
    scale = n > max ? max / n : 1.0;
    return scale * f;
}

// Two arms coupled both ways, each end taking the other's samples (atA takes B's), run one
// period at a time; each end's force is limited to 10 N as the loop's safety stage does.
struct CoupledPair {
    RemoteInput atA, atB;
    Arm a, b;

    explicit CoupledPair(const RemoteSettings& settings) {
        atA.Accept(settings);
        atB.Accept(settings);
    }

    // The period at t, with handA an outside force on A over it.
    void Step(const Coupling& coupling, double t, const Vec3& handA = {}) {
        atA.Offer(SampleOf(b, t, &atB), At(t), WallOffset + t);
        atB.Offer(SampleOf(a, t, &atA), At(t), WallOffset + t);
        double scaleA = 1, scaleB = 1;
        const Vec3 fa = Clamped(atA.ForceAt(coupling, At(t), a.x, a.x, a.v), 10, scaleA);
        const Vec3 fb = Clamped(atB.ForceAt(coupling, At(t), b.x, b.x, b.v), 10, scaleB);
        atA.Sent(scaleA, t);
        atB.Sent(scaleB, t);
        a.Step(fa + handA, Period);
        b.Step(fb, Period);
    }
};

}  // namespace Tamro::HardwareAPI::Control::Testing
