// Streamed commands and the outlet: how a loop fades a stopped command stream and re-engages
// it, what it refuses, and that every cycle reaches the outlet's consumer in order.
#include "FakeDevices.hpp"

#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include <poll.h>

using namespace Tamro::HardwareAPI::Control;
using TamroTest::FakeArm;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Samples stamped by a sender on this machine's clocks: its stamp is our wall clock when sent.
struct Sender {
    Clock::time_point mono0 = Clock::now();
    std::chrono::system_clock::time_point wall0 = std::chrono::system_clock::now();

    std::chrono::nanoseconds StampAt(Clock::time_point sent) const {
        return (wall0 +
                std::chrono::duration_cast<std::chrono::system_clock::duration>(sent - mono0))
            .time_since_epoch();
    }
    Arrival At(Clock::time_point arrival) const {
        return {arrival, wall0 + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                     arrival - mono0)};
    }
};

CommandSettings Settings() {
    CommandSettings s;
    s.stiffness = 100;
    s.damping = 2;
    s.timeout = 250ms;
    s.ramp = 100ms;
    return s;
}

// Runs the input's loop side at 1 kHz from start for the given time, at a fixed state;
// returns the force of every cycle.
std::vector<Vec3> Cycles(CommandInput& input, Clock::time_point& now,
                         std::chrono::milliseconds span, const Vec3& x = {}, const Vec3& v = {}) {
    std::vector<Vec3> forces;
    for (auto t = 0ms; t < span; t += 1ms) {
        now += 1ms;
        forces.push_back(input.ForceAt(now, x, v));
    }
    return forces;
}

double LargestStep(const std::vector<Vec3>& forces) {
    double largest = 0;
    for (std::size_t i = 1; i < forces.size(); ++i)
        largest = std::max(largest, Norm(forces[i] - forces[i - 1]));
    return largest;
}

}  // namespace

TEST(CommandInput, ATargetEngagesOverTheRampFadesAfterTheTimeoutAndReengagesSoftly) {
    CommandInput input;
    const Sender sender;
    Clock::time_point now = sender.mono0;
    const auto send = [&](const Vec3& target) {
        return input.Target(target, sender.StampAt(now), sender.At(now));
    };
    EXPECT_EQ(send({0.05, 0, 0}), Verdict::Refused) << "not accepting yet";
    EXPECT_EQ(input.TargetRefusals().stopped, 1u);
    input.Accept(Settings());
    ASSERT_EQ(send({0.05, 0, 0}), Verdict::Accepted);

    // Full force: k (target - x) - b v = 100 * 0.05 - 2 * 0.5 = 4 N along x.
    const Vec3 v{0.5, 0, 0};
    const auto engaging = Cycles(input, now, 150ms, {}, v);
    EXPECT_NEAR(engaging[49][0], 2.0, 0.05) << "half way up the 100 ms ramp";
    EXPECT_NEAR(engaging.back()[0], 4.0, 1e-9);
    EXPECT_EQ(input.Status().mode, CommandMode::Engaged);
    EXPECT_LE(LargestStep(engaging), 4.0 / 100 + 1e-9) << "one ramp step a millisecond at most";

    // No sample: full force until the time-out (250 ms from sending), then down over the ramp.
    const auto stopped = Cycles(input, now, 300ms, {}, v);
    EXPECT_NEAR(stopped[90][0], 4.0, 1e-9) << "still inside the time-out";
    EXPECT_EQ(input.Status().mode, CommandMode::Waiting);
    EXPECT_EQ(stopped.back()[0], 0.0);
    EXPECT_LE(LargestStep(stopped), 4.0 / 100 + 1e-9) << "the fade never jumps";
    const auto fadeStart =
        std::find_if(stopped.begin(), stopped.end(), [](const Vec3& f) { return f[0] < 4.0; });
    const auto fadeEnd =
        std::find_if(stopped.begin(), stopped.end(), [](const Vec3& f) { return f[0] == 0.0; });
    EXPECT_NEAR(fadeEnd - fadeStart, 100, 2) << "the fade lasts one ramp";

    // A sample returns: up again from zero, not at once.
    ASSERT_EQ(send({0.05, 0, 0}), Verdict::Accepted);
    const auto again = Cycles(input, now, 20ms, {}, v);
    EXPECT_LT(again.front()[0], 0.1);
    EXPECT_EQ(input.Status().mode, CommandMode::Engaging);
    EXPECT_LE(LargestStep(again), 4.0 / 100 + 1e-9);

    // Stopping fades out too.
    input.Stop();
    EXPECT_FALSE(input.Accepting());
    const auto off = Cycles(input, now, 150ms, {}, v);
    EXPECT_EQ(off.back()[0], 0.0);
    EXPECT_LE(LargestStep(off), 4.0 / 100 + 1e-9);
    EXPECT_EQ(input.Status().mode, CommandMode::Off);
}

TEST(CommandInput, RefusesWhatIsNotFiniteOrOutsideTheWorkspaceAndClampsForces) {
    CommandInput input;
    input.SetMaxForce(3);
    input.Accept(Settings());
    const auto stamp = std::chrono::system_clock::now().time_since_epoch();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // Each refused and counted for its reason: a box face beyond, and an infinite target
    // (outside any box too), count as not finite and outside respectively.
    for (const Vec3& target :
         {Vec3{nan, 0, 0}, Vec3{0, inf, 0}, Vec3{0.2, 0, 0}, Vec3{0, 0, -0.11}})
        EXPECT_EQ(input.Target(target, stamp), Verdict::Refused) << target[0] << " " << target[1];
    EXPECT_EQ(input.Force({0, nan, 0}, stamp), Verdict::Refused);
    EXPECT_EQ(input.Force({0, 0, -inf}, stamp), Verdict::Refused);
    const CommandRefusals targets = input.TargetRefusals(), forces = input.ForceRefusals();
    EXPECT_EQ(targets.notFinite, 2u);
    EXPECT_EQ(targets.outside, 2u);
    EXPECT_EQ(forces.notFinite, 2u);
    EXPECT_EQ(forces.outside, 0u);
    for (const CommandRefusals& r : {targets, forces})
        EXPECT_EQ(r.stale + r.future + r.implausible + r.stopped, 0u)
            << "refused for their values, not their stamps";
    EXPECT_EQ(input.Target({0.1, -0.1, 0}, stamp), Verdict::Accepted)
        << "the box's faces are inside";

    EXPECT_EQ(input.Force({0, 0, 1}, stamp), Verdict::Accepted);
    EXPECT_EQ(input.Force({30, 0, 40}, stamp), Verdict::Clamped);
    Clock::time_point now = Clock::now();
    const auto rendered = Cycles(input, now, 200ms, {0.1, -0.1, 0});
    EXPECT_NEAR(rendered.back()[0], 1.8, 1e-9) << "scaled to 3 N, along (3, 4)";
    EXPECT_NEAR(rendered.back()[2], 2.4, 1e-9);
}

TEST(CommandInput, AStreamFadesByWhenItsSamplesWereSentNotWhenTheyArrived) {
    CommandInput input;
    CommandSettings settings = Settings();
    settings.ramp = 1ms;
    input.Accept(settings);
    const Sender sender;
    Clock::time_point now = sender.mono0;
    // 1 N along x at 1 kHz for half a second, each sample 1 ms on the way.
    const auto stream = [&](const Vec3& force, std::chrono::milliseconds span) {
        for (auto t = 0ms; t < span; t += 1ms) {
            EXPECT_NE(input.Force(force, sender.StampAt(now), sender.At(now + 1ms)),
                      Verdict::Refused);
            now += 1ms;
            input.ForceAt(now, {}, {});
        }
    };
    stream({1, 0, 0}, 500ms);

    // The last sample is held up 200 ms on the way: taken, but it counts as sent 200 ms ago,
    // so the stream fades 50 ms after it arrived, not 250.
    const Clock::time_point lastSent = now;
    const Clock::time_point arrived = now + 201ms;
    ASSERT_EQ(input.Force({1, 0, 0}, sender.StampAt(lastSent), sender.At(arrived)),
              Verdict::Accepted);
    now = arrived;
    const auto after = Cycles(input, now, 100ms);
    const auto faded =
        std::find_if(after.begin(), after.end(), [](const Vec3& f) { return f[0] < 1.0; });
    EXPECT_NEAR(static_cast<double>(faded - after.begin()), 50, 2)
        << "ms after its arrival that the fade began";

    // A stream again, then this process freezes for 2.5 s while the sender goes on: 3 N along
    // y until 0.3 s before we wake, then 2 N along z. Everything queued arrives at once on
    // waking; what was sent more than the stamp window ago is refused, never rendered.
    stream({1, 0, 0}, 500ms);
    const Clock::time_point froze = now;
    const Clock::time_point woke = froze + 2500ms;
    const auto before = input.ForceRefusals().implausible;
    for (Clock::time_point sent = froze; sent < woke; sent += 1ms) {
        const Vec3 force = sent < woke - 300ms ? Vec3{0, 3, 0} : Vec3{0, 0, 2};
        input.Force(force, sender.StampAt(sent), sender.At(woke));
    }
    EXPECT_NEAR(static_cast<double>(input.ForceRefusals().implausible - before), 2400, 2)
        << "all but the last 100 ms queued";
    now = woke;
    for (const Vec3& f : Cycles(input, now, 50ms)) ASSERT_EQ(f[1], 0.0) << "a queued 3 N rendered";
    const auto resumed = Cycles(input, now, 260ms);
    EXPECT_EQ(resumed.front()[2], 2.0) << "the newest sample, fresh";
    EXPECT_EQ(resumed.back()[2], 0.0) << "and faded a time-out after waking, nothing following";
}

TEST(CommandInput, SettingsOutOfRangeAreRefused) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::vector<std::pair<std::string, std::function<void(CommandSettings&)>>> cases = {
        {"stiffness", [](CommandSettings& s) { s.stiffness = -1; }},
        {"damping", [&](CommandSettings& s) { s.damping = nan; }},
        {"timeout", [](CommandSettings& s) { s.timeout = 0ms; }},
        {"ramp", [](CommandSettings& s) { s.ramp = 11s; }},
        {"stamp_window", [](CommandSettings& s) { s.stampWindow = 0ms; }},
        {"lower corner", [](CommandSettings& s) { s.lower[1] = 1; }},
        {"finite", [&](CommandSettings& s) { s.upper[2] = nan; }},
    };
    for (auto& [word, change] : cases) {
        CommandSettings s = Settings();
        change(s);
        CommandInput input;
        try {
            input.Accept(s);
            ADD_FAILURE() << word << ": accepted";
        } catch (const InvalidArgument& e) {
            EXPECT_NE(std::string(e.what()).find(word), std::string::npos) << e.what();
        }
        EXPECT_FALSE(input.Accepting());
    }
}

TEST(ServoLoopCommands, CommandsReachTheArmThroughTheSafetyStageAndEveryCycleTheOutlet) {
    FakeArm arm;
    ServoOptions options;
    options.rateHz = 1000;
    options.maxForce = 5;
    ServoLoop loop(arm.Path(), options);
    auto& outlet = loop.CycleOutlet();
    ASSERT_TRUE(outlet.Claim());
    EXPECT_FALSE(outlet.Claim()) << "one consumer at a time";
    CommandSettings settings = Settings();
    settings.ramp = 1ms;
    loop.Commands().Accept(settings);
    ASSERT_EQ(loop.Commands().Force({0, 8, 0}, std::chrono::system_clock::now().time_since_epoch()),
              Verdict::Clamped)
        << "clamped to max_force";
    ASSERT_TRUE(loop.Start());

    // The consumer wakes on the descriptor and sees every cycle, in order.
    std::vector<CycleState> seen;
    CycleState batch[64];
    while (seen.size() < 100) {
        pollfd p{outlet.Descriptor(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1) << "no cycle woke the consumer";
        const std::size_t n = outlet.Take(batch, 64);
        seen.insert(seen.end(), batch, batch + n);
    }
    for (std::size_t i = 1; i < seen.size(); ++i) ASSERT_EQ(seen[i].cycle, seen[i - 1].cycle + 1);
    EXPECT_EQ(outlet.Dropped(), 0u);
    EXPECT_NEAR(seen.back().force[1], 5.0, 1e-6);
    EXPECT_EQ(loop.Commands().Status().mode, CommandMode::Engaged);

    // Nobody takes: the ring fills and the loop drops, never waits.
    ASSERT_TRUE(arm.WaitForForces(arm.Forces().size() + Outlet<CycleState>::DefaultCapacity + 200));
    EXPECT_GT(outlet.Dropped(), 0u);
    EXPECT_TRUE(loop.Running());
    outlet.Release();
    loop.Stop();
}
