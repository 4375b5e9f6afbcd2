// The force of every effect against positions and velocities outside, on the boundary and
// inside, and the parameters each one refuses.
#include <Tamro/HardwareAPI/Control/Effects.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

using namespace Tamro::HardwareAPI::Control;

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double Inf = std::numeric_limits<double>::infinity();

struct ForceCase {
    const char* name;
    Effect effect;
    Vec3 position;
    Vec3 velocity;
    Vec3 expected;
};

}  // namespace

TEST(Effects, ForceAtEachState) {
    const Plane wall{{0, 0, -0.02}, {0, 0, 2}, 1000, 10};  // normal scaled by Validated
    const Sphere ball{{0, 0, 0}, 0.05, 100, 0, false};
    const Sphere shell{{0, 0, 0}, 0.05, 100, 0, true};
    const Box block{{0, 0, 0}, {1, 1, 1}, 10, 0, false};
    const Box room{{0, 0, 0}, {1, 1, 1}, 10, 0, true};
    const std::vector<ForceCase> cases = {
        {"spring: pulls, damped",
         Spring{{0, 0, 0}, 100, 2},
         {0.01, 0, 0},
         {0, 0.1, 0},
         {-1, -0.2, 0}},
        {"spring: at rest on anchor", Spring{{1, 2, 3}, 100, 2}, {1, 2, 3}, {0, 0, 0}, {0, 0, 0}},
        {"damper opposes velocity", Damper{3}, {5, 5, 5}, {1, -2, 0.5}, {-3, 6, -1.5}},
        {"plane: outside", wall, {0, 0, 0}, {0, 0, -1}, {0, 0, 0}},
        {"plane: on the surface", wall, {0.3, -0.2, -0.02}, {0, 0, -1}, {0, 0, 0}},
        {"plane: inside at rest", wall, {0.3, -0.2, -0.03}, {0, 0, 0}, {0, 0, 10}},
        {"plane: moving in adds damping", wall, {0, 0, -0.03}, {0, 0, -0.5}, {0, 0, 15}},
        {"plane: moving out takes it away", wall, {0, 0, -0.03}, {0, 0, 0.5}, {0, 0, 5}},
        {"plane: never pulls", wall, {0, 0, -0.03}, {0, 0, 2}, {0, 0, 0}},
        {"plane: tangential velocity is not damped", wall, {0, 0, -0.03}, {4, 4, 0}, {0, 0, 10}},
        {"solid sphere: inside pushes out", ball, {0.03, 0, 0}, {0, 0, 0}, {2, 0, 0}},
        {"solid sphere: on the surface", ball, {0, 0.05, 0}, {0, 0, 0}, {0, 0, 0}},
        {"solid sphere: outside", ball, {0.06, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        {"solid sphere: at the centre pushes up", ball, {0, 0, 0}, {0, 0, 0}, {0, 0, 5}},
        {"hollow sphere: inside is free", shell, {0.03, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        {"hollow sphere: outside pushes back in", shell, {0.06, 0, 0}, {0, 0, 0}, {-1, 0, 0}},
        {"solid box: out through the nearest face", block, {0.1, 0.5, 0.6}, {0, 0, 0}, {-1, 0, 0}},
        {"solid box: outside", block, {-0.1, 0.5, 0.5}, {0, 0, 0}, {0, 0, 0}},
        {"hollow box: inside is free", room, {0.5, 0.5, 0.5}, {0, 0, 0}, {0, 0, 0}},
        {"hollow box: past two walls", room, {1.2, -0.1, 0.5}, {0, 0, 0}, {-2, 1, 0}},
        {"constant force", ConstantForce{{1, 2, 3}}, {9, 9, 9}, {9, 9, 9}, {1, 2, 3}},
    };
    for (const ForceCase& c : cases) {
        const Vec3 f = ForceOf(Validated(c.effect), c.position, c.velocity);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(f[i], c.expected[i], 1e-9) << c.name << " axis " << i;
    }
}

TEST(Effects, PlaneNormalIsScaledToLengthOne) {
    const auto plane = std::get<Plane>(Validated(Plane{{0, 0, 0}, {3, 0, 4}, 1, 0}));
    EXPECT_NEAR(plane.normal[0], 0.6, 1e-12);
    EXPECT_NEAR(plane.normal[2], 0.8, 1e-12);
}

TEST(Effects, InvalidParametersAreRefusedByName) {
    const std::vector<std::pair<Effect, std::string>> cases = {
        {Spring{{0, NaN, 0}, 1, 0}, "anchor"},
        {Spring{{0, 0, 0}, -1, 0}, "stiffness"},
        {Spring{{0, 0, 0}, 1, Inf}, "damping"},
        {Damper{-0.1}, "damping"},
        {Plane{{0, 0, 0}, {0, 0, 0}, 1, 0}, "normal"},
        {Plane{{Inf, 0, 0}, {0, 0, 1}, 1, 0}, "point"},
        {Sphere{{0, 0, 0}, -1, 1, 0, false}, "radius"},
        {Sphere{{0, 0, 0}, 1, NaN, 0, false}, "stiffness"},
        {Box{{0, 0, 1}, {1, 1, 0}, 1, 0, false}, "lower"},
        {ConstantForce{{0, 0, NaN}}, "force"},
    };
    for (const auto& [effect, name] : cases) {
        try {
            Validated(effect);
            ADD_FAILURE() << name << ": accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).rfind(name, 0), 0u) << e.what();
        }
    }
}
