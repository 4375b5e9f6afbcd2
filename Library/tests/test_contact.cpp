// The contact model on scripted time: the estimator on a plane pressed with noise, and the
// blended coupling of a leader rendering its follower's model.
#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Control/Effects.hpp>

#include "Control/ContactEstimator.hpp"
#include "CouplingArms.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>

using namespace Tamro::HardwareAPI::Control;
using namespace Tamro::HardwareAPI::Control::Detail;
using Tamro::HardwareAPI::Control::Testing::Arm;
using Tamro::HardwareAPI::Control::Testing::At;
using Tamro::HardwareAPI::Control::Testing::WallOffset;

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
Press PressAt(const Wall& wall, double d, double dd, double t, double noise, std::mt19937& random) {
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
        const Press p = PressAt(wall, -0.005 + 0.004 * t, 0.004, t, 0, random);
        EXPECT_FALSE(estimator.Update(p.position, p.velocity, p.reaction, Dt).valid);
    }
    for (double u = 0; u < seconds; u += Dt, t += Dt) {
        const auto depth = [](double v) {  // into the wall over 0.2 s
            return std::min(1.0, v / 0.2) * (0.0015 + 0.001 * std::sin(2 * Pi * v));
        };
        const double d = depth(u);
        const Press p = PressAt(wall, d, (depth(u + Dt) - d) / Dt, t, noise, random);
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
        const Press off = PressAt(wall, -0.001, 0, 0, 0, random);
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

// --- the blended coupling: a held leader and a follower at a wall, 50 ms apart ---------------

constexpr double WallX = 0.025;  // the follower's wall, its free side toward -x
constexpr double WallStiffness = 2000, WallDamping = 10;
constexpr double HandStiffness = 1500, HandDamping = 15;

struct Pressed {
    double leaderDepth = 0;    // m past the follower's wall, at the end
    double leaderForce = 0;    // N the leader's coupling pushes it back out, at the end
    double followerForce = 0;  // N the wall pushes the follower, at the end
    double deepest = 0;        // m the leader went past the wall at most, the model in full
    bool modelRendered = false;
    double fadedAfter = -1;  // s from the cut to the leader rendering no plane at all
};

// The hand takes the leader from the middle to `press` past the follower's wall and holds it
// there; both ends couple over 50 ms each way, the follower estimating and the leader rendering
// when `model`.
Pressed PressThroughTheLink(bool model, double press, double seconds,
                            double cut = std::numeric_limits<double>::infinity()) {
    RemoteSettings settings;
    settings.impairment.delay = std::chrono::milliseconds(50);
    RemoteInput atLeader, atFollower;  // atLeader takes the follower's samples
    atLeader.Accept(settings);
    atFollower.Accept(settings);
    Coupling leaderCoupling, followerCoupling;
    if (model) {
        leaderCoupling.contactModel = ContactModel::Render;
        followerCoupling.contactModel = ContactModel::Estimate;
    }
    const Plane wall{{WallX, 0, 0}, {-1, 0, 0}, WallStiffness, WallDamping};
    EXPECT_TRUE(atFollower.Records().Claim());  // what a publisher takes
    CouplingRecord published[64];
    CouplingRecord last{};
    Arm leader, follower;
    Pressed out;
    for (int n = 0; n * Dt < seconds; ++n) {
        const double t = n * Dt;
        RemoteSample fromLeader;
        fromLeader.stamp = WallOffset + t;
        fromLeader.position = leader.x;
        fromLeader.hasVelocity = true;
        fromLeader.velocity = leader.v;
        fromLeader.hasEnergy = true;
        fromLeader.energyIn = atLeader.Status().energyIn;
        RemoteSample fromFollower = fromLeader;
        fromFollower.position = follower.x;
        fromFollower.velocity = follower.v;
        fromFollower.energyIn = atFollower.Status().energyIn;
        if (last.estimating) {
            fromFollower.hasContact = true;
            fromFollower.contactPoint = last.contactPoint;
            fromFollower.contactNormal = last.contactNormal;
            fromFollower.contactStiffness = last.contactStiffness;
        }
        if (t < cut) {  // after it, neither hears from the other
            atLeader.Offer(fromFollower, At(t), WallOffset + t);
            atFollower.Offer(fromLeader, At(t), WallOffset + t);
        }

        const double hand = std::min(1.0, t / 1.0) * (WallX + press);  // in over a second
        const Vec3 handForce =
            Vec3{HandStiffness * (hand - leader.x[0]), 0, 0} - HandDamping * leader.v;
        const Vec3 atL = atLeader.ForceAt(leaderCoupling, At(t), leader.x, leader.x, leader.v);
        const Vec3 atF =
            atFollower.ForceAt(followerCoupling, At(t), follower.x, follower.x, follower.v);
        atLeader.Sent(1, t);
        atFollower.Sent(1, t);
        for (std::size_t k; (k = atFollower.Records().Take(published, 64)) > 0;)
            last = published[k - 1];
        const Vec3 wallForce = ForceOf(wall, follower.x, follower.v);
        leader.Step(atL + handForce, Dt);
        follower.Step(atF + wallForce, Dt);

        const CouplingStatus rendered = atLeader.Status();
        if (rendered.contactGain == 1) out.deepest = std::max(out.deepest, leader.x[0] - WallX);
        out.leaderDepth = leader.x[0] - WallX;
        out.leaderForce = -atL[0];
        out.followerForce = -wallForce[0];
        out.modelRendered = out.modelRendered || rendered.contact;
        if (t >= cut && out.fadedAfter < 0 && rendered.contactGain == 0 && !rendered.contact)
            out.fadedAfter = t - cut;
    }
    atFollower.Records().Release();
    return out;
}

TEST(ContactModel, TheHeldLeaderFeelsTheFollowersWallWithoutTheDelay) {
    // 4 mm past the wall with the hand's 1500 N/m: the wall's 2000 N/m rendered at the leader
    // holds it 1.7 mm in, and the follower presses with what the leader feels. (Before the model
    // has come and faded in, the leader goes deeper: the first touch is the follower's to find.)
    const Pressed with = PressThroughTheLink(true, 0.004, 4.0);
    EXPECT_TRUE(with.modelRendered);
    EXPECT_LT(with.leaderDepth, 0.002);
    EXPECT_LT(with.deepest, 0.002);
    EXPECT_GT(with.followerForce, 1.0);
    EXPECT_NEAR(with.leaderForce, with.followerForce, 0.15 * with.followerForce);
    // Without the model the leader sinks through what only the coupling pushes back with.
    const Pressed without = PressThroughTheLink(false, 0.004, 4.0);
    EXPECT_FALSE(without.modelRendered);
    EXPECT_GT(without.leaderDepth, 0.003);
}

TEST(ContactModel, ALostLinkFadesTheRenderedPlaneWithTheCoupling) {
    // Pressed and rendering, then the link is cut: the plane came with the positions, so it
    // fades out with the coupling, within the time-out (at most twice the coupling's), the
    // 50 ms still on the way, and the fade.
    const Pressed cut = PressThroughTheLink(true, 0.004, 4.0, 3.0);
    ASSERT_TRUE(cut.modelRendered);
    ASSERT_GE(cut.fadedAfter, 0) << "still rendering a second after the cut";
    const Coupling c;
    EXPECT_LE(cut.fadedAfter, 0.05 + 2 * c.linkTimeout + c.fade + 2 * Dt);
}

TEST(ContactModel, AnImpossiblePlaneIsLeftOutOfItsSampleAndNeverRendered) {
    RemoteInput input;
    input.Accept(RemoteSettings{});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        Vec3 point, normal;
        double stiffness;
    };
    double t = 1;
    for (const Case& c : {Case{"point not finite", {nan, 0, 0}, {0, 0, 1}, 1000},
                          Case{"point outside the workspace", {0.5, 0, 0}, {0, 0, 1}, 1000},
                          Case{"normal not of length 1", {0, 0, 0}, {0, 0, 2}, 1000},
                          Case{"normal zero", {0, 0, 0}, {0, 0, 0}, 1000},
                          Case{"stiffness negative", {0, 0, 0}, {0, 0, 1}, -1},
                          Case{"stiffness beyond any bound", {0, 0, 0}, {0, 0, 1}, 1e6},
                          Case{"stiffness not finite", {0, 0, 0}, {0, 0, 1}, nan}}) {
        RemoteSample s;
        s.stamp = WallOffset + (t += 0.01);
        s.hasContact = true;
        s.contactPoint = c.point;
        s.contactNormal = c.normal;
        s.contactStiffness = c.stiffness;
        // The plane is left out, not the position it came with.
        EXPECT_EQ(input.Offer(s, At(t), WallOffset + t), Verdict::Accepted) << c.what;
    }
    EXPECT_EQ(input.Counts().refusedContact, 7u);
    EXPECT_EQ(input.Counts().refusedValue, 0u);
    RemoteSample good;
    good.stamp = WallOffset + (t += 0.01);
    good.hasContact = true;
    good.contactNormal = {0, 0, 1};
    good.contactStiffness = 1000;
    EXPECT_EQ(input.Offer(good, At(t), WallOffset + t), Verdict::Accepted);

    // Streamed to a coupling that renders the peer's model: a good plane is rendered, a plane
    // left out never is, while the positions it came with still drive the coupling.
    const auto rendered = [](const RemoteSample& sample) {
        RemoteInput side;
        side.Accept(RemoteSettings{});
        Coupling render;
        render.contactModel = ContactModel::Render;
        for (int n = 1; n <= 500; ++n) {
            const double at = n * Dt;
            RemoteSample s = sample;
            s.stamp = WallOffset + at;
            side.Offer(s, At(at), WallOffset + at);
            side.ForceAt(render, At(at), {}, {}, {});
            side.Sent(1, at);
        }
        return side.Status();
    };
    EXPECT_TRUE(rendered(good).contact);
    RemoteSample outside = good;
    outside.contactPoint = {0.5, 0, 0};
    const CouplingStatus left = rendered(outside);
    EXPECT_FALSE(left.contact);
    EXPECT_EQ(left.state, LinkState::Engaged);
}

}  // namespace
