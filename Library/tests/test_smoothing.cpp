// Smoothing: how each effect glides toward new parameters (GlideToward), and the per-slot state a
// loop keeps of it (Smoother): what glides, what jumps, and when a slot starts afresh.
#include "Control/Smoothing.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <variant>

using namespace Tamro::HardwareAPI::Control;

namespace {

constexpr double Tau = 0.1;
const double Share = 1.0 - std::exp(-1.0);  // of the way, after one time constant

template <typename E>
E As(const Effect& effect) {
    return std::get<E>(effect);
}

}  // namespace

TEST(GlideToward, EveryParameterMovesItsShareOfTheWayInOneTimeConstant) {
    {
        const Spring from{{0, 0, 0}, 100, 1, Tau}, to{{1, -2, 4}, 200, 3, Tau};
        const auto s = As<Spring>(GlideToward(from, to, Tau));
        EXPECT_NEAR(s.anchor[0], Share, 1e-12);
        EXPECT_NEAR(s.anchor[1], -2 * Share, 1e-12);
        EXPECT_NEAR(s.stiffness, 100 + 100 * Share, 1e-9);
        EXPECT_NEAR(s.damping, 1 + 2 * Share, 1e-12);
    }
    {
        const Box from{{0, 0, 0}, {1, 1, 1}, 10, 0, true, Tau};
        const Box to{{2, 2, 2}, {3, 3, 3}, 20, 4, true, Tau};
        const auto b = As<Box>(GlideToward(from, to, Tau));
        EXPECT_NEAR(b.lower[2], 2 * Share, 1e-12);
        EXPECT_NEAR(b.upper[0], 1 + 2 * Share, 1e-12);
        EXPECT_NEAR(b.stiffness, 10 + 10 * Share, 1e-9);
        EXPECT_NEAR(b.damping, 4 * Share, 1e-12);
    }
    const auto c = As<ConstantForce>(
        GlideToward(ConstantForce{{0, 0, 0}, Tau}, ConstantForce{{0, 0, -2}, Tau}, 3 * Tau));
    EXPECT_NEAR(c.force[2], -2 * (1 - std::exp(-3.0)), 1e-12);
    const auto sphere = As<Sphere>(GlideToward(Sphere{{0, 0, 0}, 0.1, 50, 1, false, Tau},
                                               Sphere{{0, 0, 1}, 0.3, 50, 1, false, Tau}, Tau));
    EXPECT_NEAR(sphere.radius, 0.1 + 0.2 * Share, 1e-12);
    EXPECT_NEAR(sphere.center[2], Share, 1e-12);
    const auto damper = As<Damper>(GlideToward(Damper{0, Tau}, Damper{5, Tau}, Tau));
    EXPECT_NEAR(damper.damping, 5 * Share, 1e-12);
}

TEST(GlideToward, APlaneNormalTurnsAtLengthOneAndAReversedOneFlipsHalfWay) {
    const Plane from{{0, 0, 0}, {0, 0, 1}, 500, 0, Tau};
    const auto turned = As<Plane>(GlideToward(from, Plane{{0, 0, 0}, {1, 0, 0}, 500, 0, Tau}, Tau));
    const double length = std::hypot(Share, 1 - Share);
    EXPECT_NEAR(turned.normal[0], Share / length, 1e-12);
    EXPECT_NEAR(turned.normal[2], (1 - Share) / length, 1e-12);
    const Plane reversed{{0, 0, 0}, {0, 0, -1}, 500, 0, Tau};
    for (const double after : {0.1 * Tau, 0.5 * Tau, 0.9 * Tau, 5 * Tau}) {
        const auto p = As<Plane>(GlideToward(from, reversed, after));
        EXPECT_NEAR(std::abs(p.normal[2]), 1.0, 1e-12) << after;
        EXPECT_EQ(p.normal[2] > 0, after < Tau * std::log(2.0)) << after;
    }
}

TEST(GlideToward, WhatCannotGlideArrivesAtOnce) {
    struct Case {
        const char* name;
        Effect from, to;
    };
    const Case cases[] = {
        {"no smoothing", Spring{{0, 0, 0}, 100, 0, 0}, Spring{{1, 0, 0}, 100, 0, 0}},
        {"another kind", Spring{{0, 0, 0}, 100, 0, Tau}, Damper{3, Tau}},
        {"a flag", Sphere{{0, 0, 0}, 0.1, 50, 0, false, Tau},
         Sphere{{1, 0, 0}, 0.2, 60, 0, true, Tau}},
        {"a flag", Box{{0, 0, 0}, {1, 1, 1}, 50, 0, true, Tau},
         Box{{1, 1, 1}, {2, 2, 2}, 50, 0, false, Tau}},
    };
    for (const Case& c : cases) {
        const Effect got = GlideToward(c.from, c.to, Tau);
        EXPECT_EQ(got.index(), c.to.index()) << c.name;
        EXPECT_EQ(ForceOf(got, {0.5, 0.5, 0.5}, {0.1, 0, 0}),
                  ForceOf(c.to, {0.5, 0.5, 0.5}, {0.1, 0, 0}))
            << c.name;
    }
}

TEST(Smoother, ASlotGlidesWhileItKeepsItsEffectAndStartsAfreshWithAnother) {
    constexpr std::size_t N = 4;
    Detail::Smoother<N> smoother;
    std::array<Effect, N> targets{};
    std::array<std::uint64_t, N> keys{};
    const auto anchorX = [](const Effect& e) { return std::get<Spring>(e).anchor[0]; };

    targets[0] = Spring{{1, 0, 0}, 100, 0, Tau};
    keys[0] = 7;
    EXPECT_EQ(anchorX(smoother.Advance(targets, keys, 1, Tau)[0]), 1.0)
        << "a first cycle starts at the target";

    targets[0] = Spring{{2, 0, 0}, 100, 0, Tau};
    EXPECT_NEAR(anchorX(smoother.Advance(targets, keys, 1, Tau)[0]), 1 + Share, 1e-12);
    EXPECT_NEAR(anchorX(smoother.Advance(targets, keys, 1, Tau)[0]), 2 - std::exp(-2.0), 1e-12)
        << "and carries on from where it was";

    keys[0] = 8;  // another effect in the slot
    targets[0] = Spring{{5, 0, 0}, 100, 0, Tau};
    EXPECT_EQ(anchorX(smoother.Advance(targets, keys, 1, Tau)[0]), 5.0);

    smoother.Advance(targets, keys, 0, Tau);  // the set emptied, then the same effect again
    targets[0] = Spring{{6, 0, 0}, 100, 0, Tau};
    EXPECT_EQ(anchorX(smoother.Advance(targets, keys, 1, Tau)[0]), 6.0);

    targets[0] = Spring{{7, 0, 0}, 100, 0, Tau};
    smoother.Reset();  // a loop that starts again
    EXPECT_EQ(anchorX(smoother.Advance(targets, keys, 1, Tau)[0]), 7.0);
}
