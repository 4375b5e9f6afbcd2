// The mesh tree against brute force, and the proxy on scripted and simulated pushes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "BoxMesh.hpp"
#include "Tamro/HardwareAPI/Control/Mesh.hpp"

namespace Tamro::HardwareAPI::Control {
namespace {

using TamroTest::BoxMesh;

bool Inside(const Vec3& p, const Vec3& lo, const Vec3& hi) {
    for (int i = 0; i < 3; ++i)
        if (!(p[i] > lo[i] && p[i] < hi[i])) return false;
    return true;
}

// How far a point is outside a solid box (0 within it).
double OutsideBy(const Vec3& p, const Vec3& lo, const Vec3& hi) {
    double s = 0;
    for (int i = 0; i < 3; ++i) {
        const double d = std::max({lo[i] - p[i], 0.0, p[i] - hi[i]});
        s += d * d;
    }
    return std::sqrt(s);
}

// Whether a proxy of `radius` has gone into the box: a point strictly inside it, a sphere's
// centre nearer than its radius (less a hair for rounding).
bool Through(const Vec3& proxy, const Vec3& lo, const Vec3& hi, double radius) {
    return radius > 0 ? OutsideBy(proxy, lo, hi) < radius - 1e-9 : Inside(proxy, lo, hi);
}

// The proxy's radii every behaviour is checked at: a point, and a sphere of 5 mm.
constexpr double kRadii[] = {0.0, 0.005};

TEST(MeshTree, AgreesWithBruteForceOnRandomMeshes) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-0.1, 0.1);
    // Small meshes, and one large enough that the build splits its top levels off to other
    // threads and splices their nodes back.
    struct Size {
        int meshes;
        std::uint32_t faces;
        int queries;
    };
    for (const auto& [meshes, faces, queries] : {Size{10, 500, 1000}, Size{1, 60000, 100}})
        for (int mesh = 0; mesh < meshes; ++mesh) {
            std::vector<Vec3> v;
            std::vector<Face> f;
            for (std::uint32_t i = 0; i < faces; ++i) {
                const Vec3 c{u(rng), u(rng), u(rng)};
                for (int k = 0; k < 3; ++k) v.push_back(c + 0.1 * Vec3{u(rng), u(rng), u(rng)});
                f.push_back({3 * i, 3 * i + 1, 3 * i + 2});
            }
            const auto tree = MeshTree::Build(v, f);
            for (int q = 0; q < queries; ++q) {
                const Vec3 p{2 * u(rng), 2 * u(rng), 2 * u(rng)};
                const auto fast = tree->Closest(p), slow = tree->ClosestBruteForce(p);
                ASSERT_NEAR(fast.distance, slow.distance, 1e-6);
                ASSERT_LT(Norm(fast.point - slow.point), 1e-6);
                const Vec3 b{2 * u(rng), 2 * u(rng), 2 * u(rng)};
                // A point, and spheres whose grown boxes reach past the boxes' own neighbours.
                for (const double radius : {0.0, 0.004, 0.03}) {
                    const auto hf = tree->FirstFrontHit(p, b, radius),
                               hs = tree->FirstFrontHitBruteForce(p, b, radius);
                    ASSERT_EQ(hf.t > 1, hs.t > 1) << radius;
                    if (hs.t <= 1) {
                        ASSERT_LT(std::abs(hf.t - hs.t) * Norm(b - p), 1e-6) << radius;
                        ASSERT_LT(Norm(hf.point - hs.point), 1e-6) << radius;
                    }
                }
            }
        }
}

TEST(MeshTree, SliversWhoseCentresMeetAlongTheLongAxisAreStillSplitAndFound) {
    // 2000 long slivers across x from -1 to 1, stacked along y: every centre at x = 0, so the
    // box's long axis splits nothing and the build falls back to the centres' own spread.
    std::vector<Vec3> v;
    std::vector<Face> f;
    for (std::uint32_t i = 0; i < 2000; ++i) {
        const double y = 1e-3 * i;
        v.push_back({-1, y, 0});
        v.push_back({1, y, 0});
        v.push_back({0, y + 5e-4, 1e-3});
        f.push_back({3 * i, 3 * i + 1, 3 * i + 2});
    }
    const auto tree = MeshTree::Build(v, f);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1, 2);
    for (int q = 0; q < 500; ++q) {
        const Vec3 p{u(rng), u(rng), 0.1 * u(rng)};
        const auto fast = tree->Closest(p), slow = tree->ClosestBruteForce(p);
        ASSERT_NEAR(fast.distance, slow.distance, 1e-9);
    }
}

TEST(MeshTree, ASweptSphereFirstTouchesWhereItsCentreComesWithinTheRadius) {
    // Against a box, whose grown shape's distance is known in closed form: from outside, the
    // first touch is where the centre's distance to the solid box first falls to the radius
    // (faces, edges and corners alike), and the constraint's normal points from the touched
    // point to the centre.
    const Vec3 lo{-0.05, -0.03, -0.02}, hi{0.04, 0.05, 0.03};
    const auto box = BoxMesh(lo, hi);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-0.12, 0.12);
    int touched = 0;
    for (int q = 0; q < 5000; ++q) {
        const double radius = std::uniform_real_distribution<double>(0.001, 0.03)(rng);
        const Vec3 a{u(rng), u(rng), u(rng)}, b{u(rng), u(rng), u(rng)};
        if (OutsideBy(a, lo, hi) <= radius) continue;
        const auto hit = box->FirstFrontHit(a, b, radius);
        // The reference: the distance along the segment is convex, so the first sample within
        // the radius brackets the touch, and halving finds it.
        double t1 = -1;
        for (int i = 1; i <= 2000 && t1 < 0; ++i)
            if (OutsideBy(a + (i / 2000.0) * (b - a), lo, hi) <= radius) t1 = i / 2000.0;
        if (t1 < 0) {
            ASSERT_GT(hit.t, 1) << q;
            continue;
        }
        double t0 = t1 - 1 / 2000.0;
        for (int i = 0; i < 60; ++i) {
            const double m = 0.5 * (t0 + t1);
            (OutsideBy(a + m * (b - a), lo, hi) <= radius ? t1 : t0) = m;
        }
        ASSERT_LE(hit.t, 1) << q;
        ASSERT_LT(std::abs(hit.t - t1) * Norm(b - a), 1e-6) << q;
        const Vec3 centre = a + hit.t * (b - a);
        ASSERT_NEAR(Norm(centre - hit.point), radius, 1e-6) << q;
        ASSERT_LT(Norm(hit.normal - (1 / radius) * (centre - hit.point)), 1e-6) << q;
        ++touched;
    }
    EXPECT_GT(touched, 500);  // the segments do reach the box
}

TEST(MeshTree, RefusesBadInput) {
    EXPECT_THROW(MeshTree::Build({{0, 0, 0}}, {}), std::invalid_argument);
    EXPECT_THROW(MeshTree::Build({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 3}}),
                 std::invalid_argument);
    EXPECT_THROW(MeshTree::Build({{NAN, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}}),
                 std::invalid_argument);
    // Beyond what the build's float bounds are trusted with.
    const double far = 2 * MeshTree::MaxCoordinate;
    EXPECT_THROW(MeshTree::Build({{0, 0, -far}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}}),
                 std::invalid_argument);
    EXPECT_NO_THROW(MeshTree::Build({{0, 0, -far / 2}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}}));
}

// Every face's edges run between its own corners and list it; every vertex's face has it.
void ExpectAdjacencyConsistent(const MeshTree& tree) {
    for (std::uint32_t f = 0; f < tree.FaceCount(); ++f)
        for (int k = 0; k < 3; ++k) {
            const auto& corners = tree.Corners(f);
            const auto a = corners[k], b = corners[(k + 1) % 3];
            const auto& e = tree.Edges()[tree.EdgeOf(f, k)];
            EXPECT_EQ(e.from, std::min(a, b)) << f << " " << k;
            EXPECT_EQ(e.to, std::max(a, b)) << f << " " << k;
            EXPECT_TRUE(e.faces[0] == f || e.faces[1] == f) << f << " " << k;
        }
    for (std::uint32_t v = 0; v < tree.VertexCount(); ++v) {
        const auto& corners = tree.Corners(tree.FaceAt(v));
        EXPECT_NE(std::find(corners.begin(), corners.end(), v), corners.end()) << v;
    }
}

TEST(MeshTree, AClosedBoxHasEveryEdgeOnTwoFacesAndAPlateWithAHoleItsRimsOpen) {
    const auto box = BoxMesh({0, 0, 0}, {1, 2, 3});
    ExpectAdjacencyConsistent(*box);
    EXPECT_EQ(box->Edges().size(), 18u);  // a cube's 12, and a diagonal on each of its 6 sides
    for (const auto& e : box->Edges()) {
        EXPECT_FALSE(e.Open()) << e.from << "-" << e.to;
        EXPECT_NE(e.faces[0], e.faces[1]);
    }

    // A flat square frame: the outer square's corners 0-3, the hole's 4-7, two faces a side.
    std::vector<Vec3> v;
    for (const double half : {2.0, 1.0})
        for (const auto& [x, y] : {std::pair{-1, -1}, {1, -1}, {1, 1}, {-1, 1}})
            v.push_back({half * x, half * y, 0});
    std::vector<Face> f;
    for (std::uint32_t s = 0; s < 4; ++s) {
        const std::uint32_t o0 = s, o1 = (s + 1) % 4, i0 = 4 + s, i1 = 4 + (s + 1) % 4;
        f.push_back({o0, o1, i1});
        f.push_back({o0, i1, i0});
    }
    const auto plate = MeshTree::Build(v, f);
    ExpectAdjacencyConsistent(*plate);
    EXPECT_EQ(plate->Edges().size(), 16u);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> open;
    for (const auto& e : plate->Edges())
        if (e.Open()) open.emplace_back(e.from, e.to);
    std::sort(open.begin(), open.end());
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> rims{{0, 1}, {0, 3}, {1, 2}, {2, 3},
                                                                    {4, 5}, {4, 7}, {5, 6}, {6, 7}};
    EXPECT_EQ(open, rims);
}

// A point mass pushed by `push`, touching the mesh through the proxy, one millisecond a step.
struct Hand {
    Vec3 x, v{};
    double mass = 0.1;
    Vec3 Run(MeshProxy& proxy, const MeshProxy::Parameters& p, const Vec3& push, int steps) {
        for (int i = 0; i < steps; ++i) {
            const Vec3 f = proxy.Step(p, x, v, 1e-3) + push;
            v = v + (1e-3 / mass) * f;
            x = x + 1e-3 * v;
        }
        return x;
    }
};

TEST(MeshProxy, BoxPushedSettlesAtForceOverStiffness) {
    const auto box = BoxMesh({-0.05, -0.05, -0.05}, {0.05, 0.05, 0.05});
    for (const double radius : kRadii)
        for (const auto& [push, axis] : {std::pair{Vec3{0, 0, -2}, 2}, {Vec3{2, 0, 0}, 0}}) {
            MeshProxy proxy(box);
            MeshProxy::Parameters p;
            p.stiffness = 1000;
            p.damping = 8;
            p.radius = radius;
            Hand hand{-0.06 * (1 / 2.0) * push};  // start 6 cm out, on the pushing line
            const Vec3 x = hand.Run(proxy, p, push, 3000);
            // From the surface the sphere's centre keeps to: the box grown by the radius.
            const double depth = 0.05 + radius - std::abs(x[axis]);
            EXPECT_NEAR(depth, 2.0 / 1000, 0.1 * 2.0 / 1000) << radius;
            EXPECT_TRUE(proxy.InContact()) << radius;
        }
}

TEST(MeshProxy, CornerAndEdgeNeverLetThrough) {
    const Vec3 lo{-0.05, -0.05, -0.05}, hi{0.05, 0.05, 0.05};
    const auto box = BoxMesh(lo, hi);
    // Scripted straight pushes from outside to deep inside: at a corner, along an edge, and
    // along an edge while sliding across it.
    const std::pair<Vec3, Vec3> paths[] = {
        {{0.08, 0.08, 0.08}, {-0.02, -0.02, -0.02}},
        {{0.08, 0.08, 0.0}, {-0.03, -0.03, 0.01}},
        {{0.08, 0.051, 0.06}, {-0.02, 0.02, -0.06}},
    };
    for (const double radius : kRadii)
        for (const auto& [from, to] : paths) {
            MeshProxy proxy(box);
            MeshProxy::Parameters p;
            p.stiffness = 2000;
            p.radius = radius;
            for (int i = 0; i <= 400; ++i) {
                const Vec3 x = from + (i / 400.0) * (to - from);
                const Vec3 f = proxy.Step(p, x, {}, 1e-3);
                ASSERT_FALSE(Through(proxy.Proxy(), lo, hi, radius))
                    << "radius " << radius << ", step " << i;
                if (Inside(x, lo, hi)) {  // pushes back out
                    ASSERT_GT(Dot(f, from - to), 0) << "radius " << radius << ", step " << i;
                }
            }
        }
}

TEST(MeshProxy, ThinPlateHoldsAtHalfAMetrePerSecond) {
    const Vec3 lo{-0.1, -0.1, -0.0005}, hi{0.1, 0.1, 0.0005};
    const auto plate = BoxMesh(lo, hi);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-0.08, 0.08);
    for (const double radius : kRadii) {
        int held = 0;
        for (int crossing = 0; crossing < 100; ++crossing) {
            MeshProxy proxy(plate);
            MeshProxy::Parameters p;
            p.stiffness = 1000;
            p.radius = radius;
            const Vec3 start{u(rng), u(rng), 0.03}, drift{u(rng) * 0.1, u(rng) * 0.1, -0.5};
            bool ok = true;
            for (int i = 0; i < 100; ++i) {  // 0.5 mm a millisecond, ending 2 cm below
                const Vec3 x = start + (i * 1e-3) * drift;
                proxy.Step(p, x, drift, 1e-3);
                ok = ok && proxy.Proxy()[2] >= hi[2] + radius - 1e-9;
            }
            held += ok ? 1 : 0;
        }
        EXPECT_EQ(held, 100) << radius;
    }
}

TEST(MeshProxy, FrictionHoldsOnASlopeBelowTheConeAndSlidesAbove) {
    // A wide quad tilted 20 degrees about y; the hand presses straight down with 2 N.
    const double a = 20 * M_PI / 180, c = std::cos(a), s = std::sin(a);
    auto at = [&](double u, double w) { return Vec3{u * c, w, -u * s}; };  // down-slope: +u
    const auto slope =
        MeshTree::Build({at(-1, -1), at(1, -1), at(1, 1), at(-1, 1)}, {{0, 1, 2}, {0, 2, 3}});
    for (const auto& [mu, sticks] : {std::pair{0.5, true}, {0.2, false}}) {
        MeshProxy proxy(slope);
        MeshProxy::Parameters p;
        p.stiffness = 1000;
        p.damping = 5;
        p.staticFriction = mu;
        p.dynamicFriction = mu * 0.8;
        Hand hand{{0, 0, 0.005}};
        const Vec3 x = hand.Run(proxy, p, {0, 0, -2}, 1000);
        const double moved = x[0] / c;
        if (sticks)
            EXPECT_LT(std::abs(moved), 0.003) << mu;
        else
            EXPECT_GT(moved, 0.05) << mu;
    }
}

TEST(MeshProxy, ASphereStartingWithinItsRadiusIsLedOutToItGently) {
    // Its centre 2 mm above the top of the box, its radius 5 mm: 3 mm into the grown box.
    const auto box = BoxMesh({-0.05, -0.05, -0.05}, {0.05, 0.05, 0.05});
    MeshProxy proxy(box);
    MeshProxy::Parameters p;
    p.stiffness = 1000;
    p.radius = 0.005;
    const Vec3 x{0.01, 0, 0.052};
    EXPECT_LT(Norm(proxy.Step(p, x, {}, 1e-3)), 0.01);
    Vec3 f{};
    for (int i = 0; i < 1000; ++i) f = proxy.Step(p, x, {}, 1e-3);
    EXPECT_NEAR(f[2], 3, 0.01);
    EXPECT_NEAR(proxy.Proxy()[2], 0.055, 1e-6);
}

TEST(MeshProxy, StartingInsidePushesOutGently) {
    const auto box = BoxMesh({-0.05, -0.05, -0.05}, {0.05, 0.05, 0.05});
    MeshProxy proxy(box);
    MeshProxy::Parameters p;
    p.stiffness = 1000;
    const Vec3 x{0, 0, 0.04};  // 1 cm under the top
    const Vec3 first = proxy.Step(p, x, {}, 1e-3);
    EXPECT_LT(Norm(first), 0.1);  // not the 10 N the depth would give at once
    Vec3 f{};
    for (int i = 0; i < 1000; ++i) f = proxy.Step(p, x, {}, 1e-3);
    EXPECT_NEAR(f[2], 10, 0.1);  // full stiffness after the ramp, outward through the top
}

TEST(MeshProxy, PoseMovesTheMeshRigidly) {
    const auto box = BoxMesh({-0.05, -0.05, -0.05}, {0.05, 0.05, 0.05});
    MeshProxy proxy(box);
    MeshProxy::Parameters p;
    p.stiffness = 1000;
    p.position = {1, 0, 0};
    const double h = std::sqrt(0.5);
    p.rotation = {h, 0, 0, h};  // 90 degrees about z
    proxy.Step(p, {1.2, 0, 0}, {}, 1e-3);
    const Vec3 f = proxy.Step(p, {1.04, 0.0, 0.0}, {}, 1e-3);  // 1 cm into the +x face
    EXPECT_NEAR(f[0], 10, 1e-6);
    EXPECT_NEAR(f[1], 0, 1e-6);
}

}  // namespace
}  // namespace Tamro::HardwareAPI::Control

namespace Tamro::HardwareAPI::Control {
namespace {

TEST(MeshProxy, PushesAimedAtACornerOrAnEdgeHoldAtAnyStep) {
    // A hand pushed from outside toward a corner and along an edge, in steps from 0.1 to 10 mm
    // (a loaded loop's late cycles), its aim jittered by less than a micrometre: a sweep that
    // meets the surface exactly on an edge or a vertex must still be stopped by some face.
    const Vec3 lo{-0.2, -0.2, -0.2}, hi{-0.02, -0.02, -0.02};
    const auto box = BoxMesh(lo, hi);
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> jitter(-1e-6, 1e-6);
    for (const double radius : kRadii)
        for (const Vec3& aim : {Vec3{-1, -1, -1}, Vec3{-1, -1, 0}}) {
            for (const double step : {1e-4, 1e-3, 3e-3, 1e-2}) {
                for (int trial = 0; trial < 50; ++trial) {
                    MeshProxy proxy(box);
                    MeshProxy::Parameters p;
                    p.stiffness = 2000;
                    p.radius = radius;
                    // Half the trials exactly on the line through the corner or the edge, as a
                    // hand pushed straight along it moves (each axis alike to the last bit).
                    const bool exact = trial % 2 == 0;
                    auto wobble = [&] { return exact ? 0.0 : jitter(rng); };
                    Vec3 x{wobble(), wobble(), aim[2] == 0 ? -0.1 : wobble()};
                    std::uniform_real_distribution<double> stride(0.2 * step, step);
                    for (int i = 0; i < static_cast<int>(0.06 / step); ++i) {
                        const double s = stride(rng);
                        x = x + Vec3{s * aim[0], s * aim[1], s * aim[2]} +
                            Vec3{wobble(), wobble(), aim[2] == 0 ? 0.0 : wobble()};
                        proxy.Step(p, x, {}, 1e-3);
                        ASSERT_FALSE(Through(proxy.Proxy(), lo, hi, radius))
                            << "radius " << radius << ", step " << step << ", trial " << trial
                            << ", at " << i;
                    }
                }
            }
        }
}

}  // namespace
}  // namespace Tamro::HardwareAPI::Control
