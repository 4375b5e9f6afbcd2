// The coupling's remote end and its passivity control, on simulated time: two arms (the
// simulated arm's mass and damping, integrated exactly) coupled through RemoteInputs, their
// samples carried by the input's own impairment as a delayed link.
#include <Tamro/HardwareAPI/Control/Coupling.hpp>

#include "Control/Passivity.hpp"
#include "CouplingArms.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

using namespace Tamro::HardwareAPI::Control;
using namespace Tamro::HardwareAPI::Control::Testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Two arms coupled both ways over a link of the given one-way delay; the first starts 2 cm
// away from the second. Returns the energy the coupling network put out beyond what it took in
// and what was granted for returning that offset (both ends' observers), sampled every second.
std::vector<double> Bilateral(const Coupling& coupling, std::chrono::nanoseconds delay,
                              double seconds) {
    RemoteSettings settings;
    settings.impairment.delay = delay;
    settings.lower = {-10, -10, -10};  // an oscillation that grows stays in the box
    settings.upper = {10, 10, 10};
    CoupledPair pair(settings);
    const RemoteInput &atA = pair.atA, &atB = pair.atB;
    pair.a.x = {0.02, 0, 0};
    std::vector<double> generated;
    for (int n = 0; n * Period < seconds; ++n) {
        pair.Step(coupling, n * Period);
        if (n % 1000 == 999) {
            const CouplingStatus sa = atA.Status(), sb = atB.Status();
            generated.push_back(sa.energyOut + sb.energyOut - sa.energyIn - sb.energyIn -
                                sa.energyDrift - sb.energyDrift);
        }
    }
    return generated;
}

}  // namespace

TEST(Passivity, TheControllerTakesAwayTheEnergyNotCoveredAndGivesItBackAtABoundedRate) {
    struct Case {
        double credit;  // J that came in at the other end
        Vec3 force, velocity;
        Vec3 sent;          // what the controller lets through
        double dissipated;  // J
    };
    const Case cases[] = {
        {1.0, {2, 0, 0}, {0.1, 0, 0}, {2, 0, 0}, 0},      // covered: unchanged
        {0.0, {2, 0, 0}, {0.1, 0, 0}, {0, 0, 0}, 2e-4},   // nothing in hand: all of it
        {1e-4, {2, 0, 0}, {0.1, 0, 0}, {1, 0, 0}, 1e-4},  // half covered: half of it
        {0.0, {-2, 0, 0}, {0.1, 0, 0}, {-2, 0, 0}, 0},    // braking puts nothing out
        {0.0, {2, 1, 0}, {0.1, 0, 0}, {0, 1, 0}, 2e-4},   // only the part along v
    };
    for (const Case& c : cases) {
        Detail::PassivityControl pc;
        pc.Credit(c.credit);
        const Vec3 sent = pc.Limit(c.force, c.velocity, 1e-3, true);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(sent[i], c.sent[i], 1e-12) << c.credit;
        EXPECT_NEAR(pc.Dissipated(), c.dissipated, 1e-15);
        Detail::PassivityControl off;
        EXPECT_EQ(off.Limit(c.force, c.velocity, 1e-3, false), c.force) << "observing only";
    }
    // What it took it gives back at its rate once the need is gone (the arm at rest, creeping
    // back, the controller switched off), never more than covered; a restart drops it.
    const double step = Detail::PassivityControl::ReleaseRate * 1e-3;
    struct Release {
        const char* what;
        Vec3 velocity;
        bool enabled;
        double sent;  // N, the cycle after the cut
    };
    const Release releases[] = {
        {"at rest", {0, 0, 0}, true, step},
        {"creeping back", {-1e-6, 0, 0}, true, step},
        {"switched off", {0.1, 0, 0}, false, step},
        {"still moving", {0.1, 0, 0}, true, 0},
    };
    for (const Release& r : releases) {
        Detail::PassivityControl pc;
        EXPECT_NEAR(pc.Limit({2, 0, 0}, {0.1, 0, 0}, 1e-3, true)[0], 0.0, 1e-12) << r.what;
        EXPECT_NEAR(pc.Limit({2, 0, 0}, r.velocity, 1e-3, r.enabled)[0], r.sent, 1e-12) << r.what;
        pc.Restart();
        EXPECT_EQ(pc.Limit({2, 0, 0}, r.velocity, 1e-3, false)[0], 2.0) << r.what;
    }
}

TEST(Passivity, ObservesTheWorkOfTheHeldForce) {
    Detail::PassivityControl pc;  // work is the held force along the displacement
    pc.Observe({2, 0, 0}, {0.001, 0, 0});
    pc.Observe({2, 0, 0}, {-0.0005, 0, 0});
    EXPECT_DOUBLE_EQ(pc.Out(), 0.002);
    EXPECT_DOUBLE_EQ(pc.In(), 0.001);
}

TEST(Coupling, WithFiftyMillisecondsOfDelayAStiffCouplingStaysPassiveOnlyWithTheController) {
    Coupling stiff;
    stiff.stiffness = 1000;
    stiff.damping = 0;
    stiff.linkTimeout = 0.2;  // the delay is no link loss
    stiff.engage = 0.001;

    stiff.passivity = false;
    const std::vector<double> plain = Bilateral(stiff, 50ms, 8);
    stiff.passivity = true;
    const std::vector<double> controlled = Bilateral(stiff, 50ms, 8);

    // Without the controller the network keeps putting out energy: it grows second by second.
    EXPECT_GT(plain.back(), 1.0);
    for (std::size_t i = 3; i < plain.size(); ++i) EXPECT_GT(plain[i], plain[i - 1] + 0.05) << i;
    // With it, never more out than came in, within a step's rounding.
    for (double g : controlled) EXPECT_LT(g, 1e-3);
}

TEST(Coupling, WithoutDelayTheControllerLeavesTrackingAlone) {
    // A follower pulled by a leader that moves on a path (it feels nothing): the follower's
    // error stays small, and the controller takes nothing while the leader's motion pays.
    Coupling c;
    c.stiffness = 300;
    c.damping = 2;
    c.engage = 0.001;
    RemoteInput input;
    input.Accept({});
    Arm follower;
    double worst = 0;
    for (int n = 0; n < 4000; ++n) {
        const double t = n * Period;
        RemoteSample s;
        s.stamp = WallOffset + t;
        s.position = {0.03 * std::sin(M_PI * t), 0, 0};
        s.hasVelocity = true;
        s.velocity = {0.03 * M_PI * std::cos(M_PI * t), 0, 0};
        input.Offer(s, At(t), WallOffset + t);
        const Vec3 f = input.ForceAt(c, At(t), follower.x, follower.x, follower.v);
        input.Sent(1, t);
        follower.Step(f, Period);
        if (t > 0.5) worst = std::max(worst, std::abs(follower.x[0] - s.position[0]));
    }
    EXPECT_LT(worst, 0.001);
    EXPECT_LT(input.Status().energyDissipated, 1e-3 * input.Status().energyOut);
}

TEST(Coupling, ALostLinkFadesToZeroWithinTheTimeoutAndRampAndComesBackWithoutAJump) {
    Coupling c;
    c.stiffness = 200;
    c.damping = 0;
    c.passivity = false;  // the fade alone
    RemoteInput input;
    input.Accept({});
    const Vec3 arm{};  // held still, 2 cm from the remote
    RemoteSample s;
    s.position = {0.02, 0, 0};
    std::vector<double> forces;
    std::vector<LinkState> states;
    const double cut = 1.0, back = 1.5;
    double timeout = 0;  // in force when the link is cut
    for (int n = 0; n < 2500; ++n) {
        const double t = n * Period;
        if (t < cut || t >= back) {
            s.stamp = WallOffset + t;
            input.Offer(s, At(t), WallOffset + t);
        }
        forces.push_back(input.ForceAt(c, At(t), arm, arm, {})[0]);
        input.Sent(1, t);
        states.push_back(input.Status().state);
        if (t < cut) timeout = input.Status().linkTimeout;
    }
    // A peer at 1 kHz adds three of its millisecond intervals (and their deviation) at most.
    EXPECT_GE(timeout, c.linkTimeout);
    EXPECT_LE(timeout, c.linkTimeout + 0.005);
    const double full = 200 * 0.02;
    const auto index = [](double t) { return static_cast<std::size_t>(std::lround(t / Period)); };
    EXPECT_NEAR(forces[index(cut) - 1], full, 1e-9);
    EXPECT_EQ(states[index(cut) - 1], LinkState::Engaged);
    // Full force until the time-out, then down to zero over the fade: by timeout + fade.
    EXPECT_NEAR(forces[index(cut + 0.015)], full, 1e-9);
    EXPECT_EQ(forces[index(cut + timeout + c.fade + 0.002)], 0.0);
    EXPECT_EQ(states[index(cut + 0.1)], LinkState::Lost);
    // Never a step larger than one cycle of the ramp, going down or coming back up.
    for (std::size_t i = 1; i < forces.size(); ++i)
        EXPECT_LE(std::abs(forces[i] - forces[i - 1]), full * Period / c.fade + 1e-9) << i;
    EXPECT_EQ(states[index(back + 0.1)], LinkState::Engaging);
    EXPECT_NEAR(forces.back(), full, 1e-9);
    EXPECT_EQ(states.back(), LinkState::Engaged);
}

TEST(Coupling, TheTargetMovesSmoothlyBetweenSparseAndJitteredSamples) {
    // Samples of a remote moving at 0.1 m/s arrive every 10 ms, each landing 0.5 mm off where
    // the one before was heading (with velocity), or with positions only: the rendered target
    // never moves more than the motion and the blend allow in one cycle.
    for (const bool withVelocity : {true, false}) {
        Coupling c;
        c.stiffness = 1;
        c.damping = 0;
        c.passivity = false;
        c.engage = 0.001;
        RemoteInput input;
        input.Accept({});
        std::vector<double> targets;
        for (int n = 0; n < 300; ++n) {
            const double t = n * Period;
            if (n % 10 == 0) {
                RemoteSample s;
                s.stamp = WallOffset + t;
                s.position = {-0.05 + 0.1 * t + ((n / 10) % 2 ? 0.0005 : 0), 0, 0};
                s.hasVelocity = withVelocity;
                s.velocity = {0.1, 0, 0};
                input.Offer(s, At(t), WallOffset + t);
            }
            input.ForceAt(c, At(t), {}, {}, {});
            input.Sent(1, t);
            targets.push_back(input.Status().target[0]);
        }
        double largest = 0;
        for (std::size_t i = 30; i < targets.size(); ++i)
            largest = std::max(largest, std::abs(targets[i] - targets[i - 1]));
        // Motion 0.1 mm a cycle, the 0.5 mm (and the velocity estimate's error) over 5 ms.
        EXPECT_LT(largest, 0.0001 + 0.0015 * Period / 0.005) << withVelocity;
        EXPECT_GT(largest, 0.00005) << "the target moves";
    }
}

TEST(Coupling, HostileSamplesAreRefusedAndCountedAndAFloodIsCapped) {
    RemoteInput input;
    input.Accept({});
    const double now = WallOffset + 10;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    RemoteSample good;
    good.stamp = now;
    struct Case {
        const char* what;
        RemoteSample sample;
        bool stamp;  // refused for its stamp, else for a value
    };
    std::vector<Case> cases;
    const auto with = [&](auto change) {
        RemoteSample s = good;
        change(s);
        return s;
    };
    cases.push_back({"nan", with([&](RemoteSample& s) { s.position[1] = nan; }), false});
    cases.push_back({"outside", with([](RemoteSample& s) { s.position = {0, 0, 5}; }), false});
    cases.push_back({"fast", with([](RemoteSample& s) {
                         s.hasVelocity = true;
                         s.velocity = {50, 0, 0};
                     }),
                     false});
    cases.push_back({"energy", with([](RemoteSample& s) {
                         s.hasEnergy = true;
                         s.energyIn = -1;
                     }),
                     false});
    cases.push_back({"force", with([&](RemoteSample& s) {
                         s.hasForce = true;
                         s.force = {nan, 0, 0};
                     }),
                     false});
    cases.push_back({"future", with([](RemoteSample& s) { s.stamp += 3600; }), true});
    cases.push_back({"past", with([](RemoteSample& s) { s.stamp -= 3600; }), true});
    cases.push_back({"nan stamp", with([&](RemoteSample& s) { s.stamp = nan; }), true});
    std::uint64_t values = 0, stamps = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(input.Offer(c.sample, At(1), now), Verdict::Refused) << c.what;
        (c.stamp ? stamps : values) += 1;
    }
    EXPECT_EQ(input.Offer(good, At(1), now), Verdict::Accepted);
    EXPECT_EQ(input.Offer(good, At(1), now), Verdict::Refused) << "the same stamp again";
    RemoteCounts counts = input.Counts();
    EXPECT_EQ(counts.refusedValue, values);
    EXPECT_EQ(counts.refusedStamp, stamps + 1);
    EXPECT_EQ(counts.taken, 1u);

    // 10,000 samples in one second: the rate's worth (and a burst) are taken, the rest counted.
    for (int i = 1; i <= 10000; ++i) {
        RemoteSample s = good;
        s.stamp = now + i * 1e-5;
        input.Offer(s, At(1 + i * 1e-4), now);
    }
    counts = input.Counts();
    EXPECT_LE(counts.taken, 1u + 5000 + 500);
    EXPECT_GE(counts.taken, 5000u);
    EXPECT_EQ(counts.taken + counts.refusedFlood, 10001u);
    EXPECT_EQ(counts.dropped,
              counts.taken > RemoteInput::Capacity ? counts.taken - RemoteInput::Capacity : 0)
        << "nobody took them: the hand-over keeps its capacity and counts the rest";
}

TEST(Coupling, AnImpairedLinkHoldsBackAndDropsWhatItIsAskedTo) {
    RemoteSettings settings;
    settings.impairment.delay = 20ms;
    settings.impairment.loss = 0.25;
    RemoteInput input;
    input.Accept(settings);
    Coupling c;
    c.stiffness = 1;
    c.damping = 0;
    c.passivity = false;
    double firstSeen = -1;
    for (int n = 0; n < 2000; ++n) {
        const double t = n * Period;
        RemoteSample s;
        s.stamp = WallOffset + t;
        s.position = {0.01, 0, 0};
        input.Offer(s, At(t), WallOffset + t);
        input.ForceAt(c, At(t), {}, {}, {});
        input.Sent(1, t);
        if (firstSeen < 0 && input.Status().state != LinkState::Waiting) firstSeen = t;
    }
    EXPECT_GE(firstSeen, 0.020) << "held back";
    EXPECT_LT(firstSeen, 0.030) << "the first few may be among the lost";
    const RemoteCounts counts = input.Counts();
    EXPECT_NEAR(static_cast<double>(counts.impairedLost) / 2000, 0.25, 0.04);
    EXPECT_EQ(counts.taken, 2000u);
}

TEST(Coupling, NoSamplesTakeTheTargetOutOfTheWorkspaceOrAboveTheSpeedLimit) {
    // Hostile leaders (counting energy, so the controller acts too) against a follower: the
    // rendered target stays in the box and moves no faster than max_speed, the positions'
    // implied speed is refused and counted, and the energies stay those of this arm.
    struct Case {
        const char* what;
        // The samples offered in cycle n (stamps in seconds from the run's start).
        std::vector<std::pair<double, Vec3>> (*samples)(int n);
        bool refused;  // the positions' implied speed is refused (else: taken, not extrapolated)
        bool heading = false;  // every sample says it moves out along x at max_speed
    };
    const Case cases[] = {
        {"jumping 0.09 m every ms",
         [](int n) {
             return std::vector<std::pair<double, Vec3>>{
                 {n * Period, {n % 2 ? 0.09 : -0.09, 0, 0}}};
         },
         true},
        {"250 ns apart, 1 um",  // 4 m/s: allowed, but no speed to extrapolate
         [](int n) {
             return std::vector<std::pair<double, Vec3>>{{n * Period, {0.05, 0, 0}},
                                                         {n * Period + 250e-9, {0.050001, 0, 0}}};
         },
         false},
        // Beyond what the stamps' jitter allowance covers at max_speed.
        {"250 ns apart, 2 cm",
         [](int n) {
             return std::vector<std::pair<double, Vec3>>{{n * Period, {0.05, 0, 0}},
                                                         {n * Period + 250e-9, {0.07, 0, 0}}};
         },
         true},
        {"at the edge every 10 ms, heading out",
         [](int n) {
             return n % 10 ? std::vector<std::pair<double, Vec3>>{}
                           : std::vector<std::pair<double, Vec3>>{{n * Period, {0.09, 0, 0}}};
         },
         false, true},
    };
    const RemoteSettings settings;
    for (const Case& c : cases) {
        RemoteInput input;
        input.Accept(settings);
        Coupling coupling;
        Arm follower;
        Vec3 before{};
        double fastest = 0, outside = 0;
        for (int n = 0; n < 2000; ++n) {
            const double t = n * Period;
            for (const auto& [stamp, position] : c.samples(n)) {
                RemoteSample s;
                s.stamp = WallOffset + stamp;
                s.position = position;
                s.hasEnergy = true;
                s.hasVelocity = c.heading;
                s.velocity = {c.heading ? settings.maxSpeed : 0, 0, 0};
                input.Offer(s, At(t), WallOffset + t);
            }
            double scale = 1;
            const Vec3 f = Clamped(
                input.ForceAt(coupling, At(t), follower.x, follower.x, follower.v), 10, scale);
            input.Sent(scale, t);
            follower.Step(f, Period);
            const Vec3 target = input.Status().target;
            for (int i = 0; i < 3; ++i)
                outside = std::max(
                    {outside, target[i] - settings.upper[i], settings.lower[i] - target[i]});
            if (n > 0) fastest = std::max(fastest, Norm(target - before) / Period);
            before = target;
        }
        EXPECT_LE(outside, 0.0) << c.what;
        EXPECT_LE(fastest, settings.maxSpeed * (1 + 1e-9)) << c.what;
        EXPECT_LT(input.Status().energyDissipated, 1.0) << c.what;
        if (c.refused)
            EXPECT_GT(input.Counts().refusedValue, 900u) << c.what;
        else if (c.heading)
            EXPECT_EQ(input.Status().target[0], settings.upper[0])
                << c.what << ": held at the edge";
        else
            EXPECT_NEAR(input.Status().target[0], 0.05, 1e-4) << c.what << ": no extrapolation";
    }
}

TEST(Coupling, OneSampleFromTheFutureDoesNotCutOffTheRealLeader) {
    // A 1 kHz leader, and every 0.4 s a sample stamped 0.45 s ahead (within the wall clock's
    // lead): each is refused, and the leader's samples all go on being taken.
    Coupling c;
    c.passivity = false;
    RemoteInput input;
    input.Accept({});
    int forged = 0;
    bool everLost = false;
    for (int n = 0; n < 3000; ++n) {
        const double t = n * Period;
        RemoteSample s;
        s.stamp = WallOffset + t;
        s.position = {0.02 * std::sin(t), 0, 0};
        input.Offer(s, At(t), WallOffset + t);
        if (n > 0 && n % 400 == 0) {
            RemoteSample ahead = s;
            ahead.stamp += 0.45;
            ahead.position = {-0.05, 0, 0};
            EXPECT_EQ(input.Offer(ahead, At(t), WallOffset + t), Verdict::Refused) << t;
            ++forged;
        }
        input.ForceAt(c, At(t), {}, {}, {});
        input.Sent(1, t);
        everLost = everLost || input.Status().state == LinkState::Lost;
        if (t > 0.3) {
            EXPECT_EQ(input.Status().state, LinkState::Engaged) << t;
            EXPECT_NEAR(input.Status().target[0], s.position[0], 1e-4) << t;
        }
    }
    EXPECT_FALSE(everLost);
    EXPECT_EQ(input.Counts().taken, 3000u);
    EXPECT_EQ(input.Counts().refusedStamp, static_cast<std::uint64_t>(forged));
}

namespace {

// A follower on the defaults, its leader standing at leader (one-way, or counting a constant
// energy as a bilateral peer at rest would); the force sent (clamped to 10 N) every cycle.
std::vector<Vec3> HeldLeader(const Vec3& leader, bool countsEnergy, double seconds, Arm& follower,
                             CouplingStatus& last) {
    RemoteInput input;
    input.Accept({});
    const Coupling c;
    std::vector<Vec3> forces;
    for (int n = 0; n * Period < seconds; ++n) {
        const double t = n * Period;
        RemoteSample s;
        s.stamp = WallOffset + t;
        s.position = leader;
        s.hasVelocity = true;
        s.hasEnergy = countsEnergy;
        input.Offer(s, At(t), WallOffset + t);
        double scale = 1;
        const Vec3 f =
            Clamped(input.ForceAt(c, At(t), follower.x, follower.x, follower.v), 10, scale);
        input.Sent(scale, t);
        follower.Step(f, Period);
        forces.push_back(f);
    }
    last = input.Status();
    return forces;
}

}  // namespace

TEST(Coupling, ALeaderHeldAwayGivesNoForceStepAboveANewtonBetweenCycles) {
    for (const bool bilateral : {false, true}) {
        Arm follower;
        CouplingStatus last;
        const std::vector<Vec3> forces = HeldLeader({0.05, 0, 0}, bilateral, 10, follower, last);
        double largest = 0;
        for (std::size_t i = 1; i < forces.size(); ++i)
            largest = std::max(largest, Norm(forces[i] - forces[i - 1]));
        EXPECT_LE(largest, 1.0) << (bilateral ? "bilateral" : "one-way");
        EXPECT_EQ(last.mode, bilateral ? CouplingMode::Bilateral : CouplingMode::OneWay);
    }
}

TEST(Coupling, AOneWayLeaderStandingAwayIsReachedWithTheDefaults) {
    Arm follower;
    CouplingStatus last;
    HeldLeader({0.015, 0, 0}, false, 1.0, follower, last);
    EXPECT_NEAR(follower.x[0], 0.015, 0.001);
    EXPECT_NEAR(follower.v[0], 0.0, 0.01);
    EXPECT_EQ(last.mode, CouplingMode::OneWay);
    EXPECT_STREQ(CouplingModeWord(last.mode), "one-way");
    EXPECT_EQ(last.energyDissipated, 0.0) << "the controller only observes";
}

TEST(Coupling, AJitteredPeerIsNeverTakenForALostLinkAndARealCutStillFadesQuickly) {
    // A peer at 200 Hz on a loaded machine (each sample sent up to 5 ms late) whose samples
    // arrive up to 15 ms late (in order): gaps of more than the 20 ms time-out are its rhythm,
    // not a loss. Cut after 10 s, the force is gone within 150 ms; back 0.5 s later, full force
    // again within the engaging ramp and 50 ms.
    RemoteSettings settings;
    settings.impairment.jitter = 15ms;
    RemoteInput input;
    input.Accept(settings);
    Coupling c;
    c.passivity = false;
    const Vec3 arm{};
    RemoteSample s;
    s.position = {0.02, 0, 0};
    const double cut = 10.0, back = 10.5;
    int lostEvents = 0;
    LinkState was = LinkState::Waiting;
    double zeroAt = -1, fullAt = -1, longest = 0;  // the longest a sample was awaited
    std::mt19937 random(7);
    std::uniform_real_distribution<double> late(0, 0.005);
    double next = 0;
    for (int n = 0; n * Period < back + 1; ++n) {
        const double t = n * Period;
        if (t >= cut && t < back) next = back;
        if ((t < cut || t >= back) && t >= next) {
            s.stamp = WallOffset + t;
            input.Offer(s, At(t), WallOffset + t);
            next = (std::floor(t / 0.005 + 1e-6) + 1) * 0.005 + late(random);
        }
        const double f = input.ForceAt(c, At(t), arm, arm, {})[0];
        input.Sent(1, t);
        const LinkState state = input.Status().state;
        if (t < cut) longest = std::max(longest, input.Status().sampleAge);
        if (state == LinkState::Lost && was != LinkState::Lost && t < cut) ++lostEvents;
        was = state;
        if (t >= cut && f == 0 && zeroAt < 0) zeroAt = t;
        if (t >= back && input.Status().gain == 1 && fullAt < 0) fullAt = t;
    }
    EXPECT_GT(longest, c.linkTimeout) << "gaps beyond the fixed time-out";
    EXPECT_EQ(lostEvents, 0);
    EXPECT_GE(zeroAt, cut);
    EXPECT_LE(zeroAt - cut, 0.150);
    EXPECT_GE(fullAt, back + c.engage);
    EXPECT_LE(fullAt, back + c.engage + 0.050);
}

namespace {

// A leader moved by a hand (a stiff damped spring whose anchor moves along a path for moving
// seconds, then lets go), coupled both ways to a free follower over a link of the given
// one-way delay; then both rest. Returns the follower's distance from its leader at the end;
// worstSurplus is the most either port ever put out beyond what had come in at the other end,
// peakSpeed the follower's fastest while the hand moved it.
double MovedThenLetGo(const Coupling& c, std::chrono::nanoseconds delay, double moving,
                      double resting, double& worstSurplus, double& peakSpeed,
                      CouplingStatus& follower) {
    RemoteSettings settings;
    settings.impairment.delay = delay;
    RemoteInput atLeader, atFollower;
    atLeader.Accept(settings);
    atFollower.Accept(settings);
    Arm leader, followerArm;
    worstSurplus = -1;
    peakSpeed = 0;
    for (int n = 0; n * Period < moving + resting; ++n) {
        const double t = n * Period;
        atLeader.Offer(SampleOf(followerArm, t, &atFollower), At(t), WallOffset + t);
        atFollower.Offer(SampleOf(leader, t, &atLeader), At(t), WallOffset + t);
        double scaleL = 1, scaleF = 1;
        const Vec3 fl =
            Clamped(atLeader.ForceAt(c, At(t), leader.x, leader.x, leader.v), 10, scaleL);
        const Vec3 ff = Clamped(
            atFollower.ForceAt(c, At(t), followerArm.x, followerArm.x, followerArm.v), 10, scaleF);
        atLeader.Sent(scaleL, t);
        atFollower.Sent(scaleF, t);
        const Vec3 anchor{0.03 * std::sin(M_PI * t), 0.01 * std::sin(2 * M_PI * t), 0};
        leader.Step(t < moving ? fl + 1500 * (anchor - leader.x) - 15 * leader.v : fl, Period);
        followerArm.Step(ff, Period);
        if (t > 1 && t < moving) peakSpeed = std::max(peakSpeed, Norm(followerArm.v));
        for (const RemoteInput* port : {&atLeader, &atFollower}) {
            const CouplingStatus s = port->Status();
            worstSurplus = std::max(worstSurplus, s.energyOut - s.energyCredited);
        }
    }
    follower = atFollower.Status();
    return Norm(leader.x - followerArm.x);
}

}  // namespace

TEST(Coupling, AStiffCouplingAtFiftyMillisecondsFollowsWithoutRingingAndRestsOnItsLeader) {
    // 1000 N/m with no damping of its own at 50 ms: the follower rang at its own resonance
    // (0.5 m/s here, five times the path's speed) until the coupling damped for the delay. The
    // controller still takes energy away while the hand moves; once the hand lets go and both
    // rest, the follower is within a millimetre of its leader, and neither port ever put out
    // more than came in at the other.
    Coupling stiff;
    stiff.stiffness = 1000;
    stiff.damping = 0;
    stiff.linkTimeout = 0.2;
    double surplus = 0, peak = 0;
    CouplingStatus follower;
    const double offset = MovedThenLetGo(stiff, 50ms, 4, 4, surplus, peak, follower);
    EXPECT_GT(follower.energyDissipated, 0.01) << "the controller acted";
    EXPECT_LT(peak, 0.2) << "the path's own speed is about 0.1 m/s";
    EXPECT_LE(offset, 0.001);
    EXPECT_LE(surplus, 1e-3) << "a step's rounding at most";
}
