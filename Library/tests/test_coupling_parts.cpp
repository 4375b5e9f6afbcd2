// The coupling's parts on their own, on scripted time: the gate a remote sample passes, the
// impaired link (a test tool) over the direct one, the target tracker, the energy side.
#include "Control/CouplingEnergy.hpp"
#include "Control/LinkDelay.hpp"
#include "Control/SampleGate.hpp"
#include "Control/SampleLink.hpp"
#include "Control/TargetTracker.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

using namespace Tamro::HardwareAPI::Control;
using namespace Tamro::HardwareAPI::Control::Detail;
using namespace std::chrono_literals;

namespace {

constexpr double Wall = 1.7e9;
constexpr std::int64_t Ms = 1'000'000;

RemoteSample At(double stamp, Vec3 position = {}) {
    RemoteSample s;
    s.stamp = stamp;
    s.position = position;
    return s;
}

}  // namespace

TEST(SampleGate, JudgesValuesThenStampsThenRate) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        RemoteSample sample;
        SampleGate::Verdict verdict;
    };
    RemoteSample fast = At(Wall, {});
    fast.hasVelocity = true;
    fast.velocity = {6, 0, 0};  // above 5 m/s
    RemoteSample strong = At(Wall);
    strong.hasForce = true;
    strong.force = {0, 0, 101};
    RemoteSample negativeEnergy = At(Wall);
    negativeEnergy.hasEnergy = true;
    negativeEnergy.energyIn = -1;
    // A bad value is refused as a value even when its stamp is bad too.
    RemoteSample badBoth = At(Wall + 10, {nan, 0, 0});
    const std::vector<Case> cases = {
        {"not finite", At(Wall, {nan, 0, 0}), SampleGate::Verdict::RefusedValue},
        {"outside the box", At(Wall, {0.2, 0, 0}), SampleGate::Verdict::RefusedValue},
        {"too fast", fast, SampleGate::Verdict::RefusedValue},
        {"too strong", strong, SampleGate::Verdict::RefusedValue},
        {"energy below 0", negativeEnergy, SampleGate::Verdict::RefusedValue},
        {"value before stamp", badBoth, SampleGate::Verdict::RefusedValue},
        {"from the future", At(Wall + 0.6), SampleGate::Verdict::RefusedStamp},
        {"too old", At(Wall - 1.1), SampleGate::Verdict::RefusedStamp},
        {"stamp not finite", At(nan), SampleGate::Verdict::RefusedStamp},
        {"taken", At(Wall), SampleGate::Verdict::Taken},
        {"not after the last", At(Wall), SampleGate::Verdict::RefusedStamp},
        {"after it", At(Wall + 0.001), SampleGate::Verdict::Taken},
        {"90 m/s from it", At(Wall + 0.002, {0.09, 0, 0}), SampleGate::Verdict::RefusedValue},
        {"4.7 m/s from it", At(Wall + 0.02, {0.09, 0, 0}), SampleGate::Verdict::Taken},
    };
    SampleGate gate;
    gate.Configure(RemoteSettings{});
    for (const Case& c : cases) EXPECT_EQ(gate.Judge(c.sample, Ms, Wall), c.verdict) << c.what;
}

TEST(SampleGate, AFloodIsCappedAtTheBurstAndTheBucketRefillsAtTheRate) {
    RemoteSettings settings;
    settings.maxRateHz = 1000;  // a burst of 100
    SampleGate gate;
    gate.Configure(settings);
    double stamp = Wall - 0.5;
    int taken = 0;
    for (int i = 0; i < 300; ++i)  // all at one instant
        taken += gate.Judge(At(stamp += 1e-6), 10 * Ms, Wall) == SampleGate::Verdict::Taken;
    EXPECT_EQ(taken, 100);
    // 10 ms later, 10 tokens more, and no more than that.
    taken = 0;
    for (int i = 0; i < 50; ++i)
        taken += gate.Judge(At(stamp += 1e-6), 20 * Ms, Wall) == SampleGate::Verdict::Taken;
    EXPECT_EQ(taken, 10);
    // A refused flood does not move the stamp on: the next sample in time is still taken.
    EXPECT_EQ(gate.Judge(At(stamp + 1e-6), 1000 * Ms, Wall), SampleGate::Verdict::Taken);
}

TEST(SampleLink, TheImpairmentDelaysKeepsOrderAndLosesItsShareOverTheDirectLink) {
    Ring<QueuedSample> ring(4096);
    DirectLink direct(ring);
    ImpairedLink impaired(direct);
    Impairment impairment;
    impairment.delay = 20ms;
    impairment.jitter = 10ms;
    impairment.loss = 0.25;
    impairment.seed = 7;
    impaired.Configure(impairment);
    int lost = 0;
    for (int i = 0; i < 2000; ++i)
        lost += impaired.Carry(At(i), i * Ms) == SampleLink::Delivery::Lost;
    EXPECT_NEAR(lost / 2000.0, 0.25, 0.04);
    std::vector<QueuedSample> out(4096);
    const std::size_t n = ring.Pop(out.data(), out.size());
    ASSERT_EQ(n, 2000u - static_cast<std::size_t>(lost));
    for (std::size_t i = 0; i < n; ++i) {
        const auto arrival = static_cast<std::int64_t>(out[i].sample.stamp) * Ms;
        EXPECT_GE(out[i].releaseNs, arrival + 20 * Ms);
        EXPECT_LE(out[i].releaseNs, std::max(arrival + 30 * Ms, out[i ? i - 1 : 0].releaseNs));
        if (i > 0) {
            EXPECT_GE(out[i].releaseNs, out[i - 1].releaseNs) << "reordered at " << i;
        }
    }
    // The direct link says when the loop's ring is full.
    Ring<QueuedSample> small(1);
    DirectLink full(small);
    EXPECT_EQ(full.Carry(At(0), 0), SampleLink::Delivery::Queued);
    EXPECT_EQ(full.Carry(At(1), 0), SampleLink::Delivery::Full);
}

TEST(TargetTracker, ExtrapolatesWithinTheHorizonAndBlendsANewSampleInWithoutAStep) {
    TargetTracker tracker;
    const Vec3 fallback{0.05, 0, 0};
    EXPECT_EQ(tracker.Aim(0, 0.02, 0, fallback)[0], fallback[0]);  // no sample yet
    RemoteSample first = At(Wall, {0, 0, 0});
    first.hasVelocity = true;
    first.velocity = {1, 0, 0};
    tracker.Take(first, 0, 0, 0.02);
    EXPECT_NEAR(tracker.Aim(10 * Ms, 0.02, 0.01, fallback)[0], 0.01, 1e-12);
    EXPECT_NEAR(tracker.Aim(50 * Ms, 0.02, 0.04, fallback)[0], 0.02, 1e-12);  // the horizon
    // A sample 1 cm off where the first was taking the target: no step, then it takes over
    // within the blend.
    RemoteSample second = At(Wall + 0.05, {0.03, 0, 0});
    tracker.Take(second, 50 * Ms, 50 * Ms, 0.02);
    EXPECT_NEAR(tracker.Aim(50 * Ms, 0.02, 0, fallback)[0], 0.02, 1e-12);
    // Without a velocity of its own it has one from the two stamps: 0.03 m in 0.05 s.
    EXPECT_NEAR(tracker.Newest().velocity[0], 0.6, 1e-5);  // stamps near 1.7e9 s
    double last = 0.02;
    for (int ms = 51; ms <= 60; ++ms) {
        const double x = tracker.Aim(ms * Ms, 0.02, 0.001, fallback)[0];
        EXPECT_LT(std::abs(x - last), 0.003) << "stepped at " << ms << " ms";
        last = x;
    }
    EXPECT_NEAR(last, 0.03 + 0.6 * 0.01, 1e-7);  // the blend is over
}

TEST(CouplingEnergy, CreditsTheRemoteCountOnlyWhileItCountsUpAndObservesTheHeldForce) {
    CouplingEnergy energy;
    RemoteSample s = At(Wall);
    s.hasEnergy = true;
    for (double count : {1.0, 1.004, 0.5, 0.503}) {  // 0.5: the remote started again
        s.energyIn = count;
        energy.Remote(s);
    }
    EXPECT_NEAR(energy.Credited(), 0.004 + 0.003, 1e-12);
    // A force of 2 N held while the arm moved 1 mm along it put 2 mJ out; against it, in.
    energy.Observe({0, 0, 0});
    energy.Computed({2, 0, 0});
    energy.Sent(1.0);
    energy.Observe({0.001, 0, 0});
    energy.Observe({0, 0, 0});
    EXPECT_NEAR(energy.Out(), 0.002, 1e-12);
    EXPECT_NEAR(energy.In(), 0.002, 1e-12);
    // What was sent is what is held: scaled by the safety stage, and nothing after leaving.
    energy.Computed({2, 0, 0});
    EXPECT_NEAR(energy.Sent(0.5)[0], 1.0, 1e-12);
    energy.Leave();
    energy.Observe({0.001, 0, 0});
    EXPECT_NEAR(energy.Out(), 0.002, 1e-12);
}

TEST(LinkDelay, TheDampingGrowsWithTheStiffnessTimesTheMeasuredDelay) {
    struct Case {
        const char* what;
        double age;       // of every sample, s
        double expected;  // N s/m for 1000 N/m
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"loopback", 0.0002, LinkDelay::DampingPerDelay * 1000 * 0.0002},
        {"50 ms", 0.05, LinkDelay::DampingPerDelay * 1000 * 0.05},
        {"a clock a little ahead", -0.001, 0},
        {"beyond a second", 5.0, LinkDelay::DampingPerDelay * 1000 * LinkDelay::MaxDelay},
    };
    for (const Case& c : cases) {
        LinkDelay d;
        for (int i = 0; i < 1000; ++i) d.Sample(i % 7 == 0 ? nan : c.age);
        EXPECT_NEAR(d.Damping(1000), c.expected, 1e-9) << c.what;
    }
    LinkDelay d;  // a change of delay is followed, smoothly
    d.Sample(0.0);
    d.Sample(0.05);
    EXPECT_GT(d.Seconds(), 0);
    EXPECT_LT(d.Seconds(), 0.005);
}
