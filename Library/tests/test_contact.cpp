// The contact model on scripted time: the estimator on a plane pressed with noise, and the
// blended coupling of a leader rendering its follower's model.
#include "Control/ContactEstimator.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace Tamro::HardwareAPI::Control;
using namespace Tamro::HardwareAPI::Control::Detail;

namespace {

constexpr double Dt = 1e-3;
constexpr double Pi = 3.141592653589793;

Vec3 Unit(Vec3 v) { return (1.0 / Norm(v)) * v; }

// A wall through Point with outward normal Normal, of Stiffness, pressed by an arm.
struct Wall {
    Vec3 point{0.01, 0.02, -0.03};
    Vec3 normal = Unit({1, -1, 2});
    double stiffness = 2000;
};

struct Press {
    Vec3 position, velocity, reaction;
};

// The arm at depth d (m, negative outside) moving at dd (m/s) into it, sliding sideways a
// little, the reaction measured with noise (N).
Press At(const Wall& wall, double d, double dd, double t, double noise, std::mt19937& random) {
    const Vec3 side = Unit({1, 1, 0});  // along the wall: Dot(side, normal) == 0
    std::normal_distribution<double> n(0, noise);
    const Vec3 position = wall.point - d * wall.normal + (0.005 * std::sin(t)) * side;
    const Vec3 velocity = (-dd) * wall.normal + (0.005 * std::cos(t)) * side;
    Vec3 reaction = (d > 0 ? wall.stiffness * d : 0.0) * wall.normal;
    reaction = reaction + Vec3{n(random), n(random), n(random)};
    return {position, velocity, reaction};
}

// Free space for a second, then pressing 1.5 +- 1 mm deep at 1 Hz for `seconds`.
ContactPlane PressFor(ContactEstimator& estimator, const Wall& wall, double seconds, double noise,
                      std::mt19937& random) {
    double t = 0;
    for (; t < 1; t += Dt) {
        const Press p = At(wall, -0.005 + 0.004 * t, 0.004, t, 0, random);
        EXPECT_FALSE(estimator.Update(p.position, p.velocity, p.reaction, Dt).valid);
    }
    for (double u = 0; u < seconds; u += Dt, t += Dt) {
        const auto depth = [](double v) {  // into the wall over 0.2 s
            return std::min(1.0, v / 0.2) * (0.0015 + 0.001 * std::sin(2 * Pi * v));
        };
        const double d = depth(u);
        const Press p = At(wall, d, (depth(u + Dt) - d) / Dt, t, noise, random);
        estimator.Update(p.position, p.velocity, p.reaction, Dt);
    }
    return estimator.Plane();
}

TEST(ContactEstimator, FindsAPlanePressedWithNoiseWithinAFewPercent) {
    for (const double stiffness : {600.0, 2000.0, 4000.0}) {
        SCOPED_TRACE(stiffness);
        Wall wall;
        wall.stiffness = stiffness;
        ContactEstimator estimator;
        estimator.Bound(5000);
        std::mt19937 random(7);
        const ContactPlane plane = PressFor(estimator, wall, 3.0, 0.05, random);
        ASSERT_TRUE(plane.valid);
        EXPECT_NEAR(plane.stiffness, stiffness, 0.03 * stiffness);
        EXPECT_GT(Dot(plane.normal, wall.normal), std::cos(2 * Pi / 180));  // within 2 degrees
        EXPECT_NEAR(Norm(plane.normal), 1.0, 1e-9);
        // The point lies on the wall: within a tenth of a millimetre along its normal.
        EXPECT_NEAR(Dot(plane.point - wall.point, wall.normal), 0.0, 1e-4);
    }
}

TEST(ContactEstimator, StiffnessIsClampedToTheBoundTheRenderingLoopTakes) {
    Wall wall;
    wall.stiffness = 20000;  // stiffer than the peer may render
    ContactEstimator estimator;
    estimator.Bound(3000);
    std::mt19937 random(1);
    const ContactPlane plane = PressFor(estimator, wall, 2.0, 0.0, random);
    ASSERT_TRUE(plane.valid);
    EXPECT_LE(plane.stiffness, 3000.0);
    EXPECT_TRUE(std::isfinite(plane.point[0]) && std::isfinite(plane.point[1]));
}

TEST(ContactEstimator, NoContactNoModel) {
    // What is not a pressed surface: a weak push, a strong one that moves the arm along it,
    // a push whose direction wanders, and numbers that are not finite.
    struct Case {
        const char* name;
        double force;         // N
        double speed;         // m/s along the push
        double turnPerCycle;  // rad
    };
    for (const Case c : {Case{"weak", 0.4, 0.0, 0.0}, Case{"moving", 3.0, 0.1, 0.0},
                         Case{"wandering", 3.0, 0.0, 0.05}}) {
        SCOPED_TRACE(c.name);
        ContactEstimator estimator;
        Vec3 x{};
        for (int i = 0; i < 2000; ++i) {
            const double angle = c.turnPerCycle * i;
            const Vec3 direction{std::cos(angle), std::sin(angle), 0};
            x = x + (Dt * -c.speed) * direction;
            EXPECT_FALSE(
                estimator.Update(x, (-c.speed) * direction, c.force * direction, Dt).valid);
        }
    }
    ContactEstimator estimator;
    const double nan = std::nan("");
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(estimator.Update({0, 0, 0}, {0, 0, 0}, {0, 0, nan}, Dt).valid);
}

TEST(ContactEstimator, ReleaseWithdrawsTheModel) {
    Wall wall;
    std::mt19937 random(3);
    {  // lifted off: the reaction falls below the release threshold, for the settle time
        ContactEstimator estimator;
        ASSERT_TRUE(PressFor(estimator, wall, 1.0, 0.02, random).valid);
        const Press off = At(wall, -0.001, 0, 0, 0, random);
        int cycles = 0;
        while (estimator.Update(off.position, off.velocity, off.reaction, Dt).valid) ++cycles;
        EXPECT_NEAR(cycles * Dt, ContactEstimator::Settle, 2 * Dt);
    }
    {  // gave way: the same push, the arm sinking far deeper than the model explains
        ContactEstimator estimator;
        ASSERT_TRUE(PressFor(estimator, wall, 1.0, 0.02, random).valid);
        const Vec3 push = 3.0 * wall.normal;
        Vec3 x = wall.point - 0.0015 * wall.normal;
        int cycles = 0;
        for (; cycles < 1000 && estimator.Update(x, -0.05 * wall.normal, push, Dt).valid; ++cycles)
            x = x - (0.05 * Dt) * wall.normal;
        EXPECT_LT(cycles, 100) << "still in contact " << cycles << " ms after giving way";
    }
}

}  // namespace
