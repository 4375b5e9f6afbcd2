// The servo loop against a fake arm: what it sends each cycle, how it stops, how it gives up
// on a device, and what it hands over to other threads while it runs.
#include "FakeDevices.hpp"

#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <functional>
#include <system_error>
#include <thread>

using namespace Tamro::HardwareAPI::Control;
using TamroTest::Bytes;
using TamroTest::FakeArm;
using TamroTest::Force;
using TamroTest::SecondsSince;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

ServoOptions Fast(double rateHz = 2000) {
    ServoOptions options;
    options.rateHz = rateHz;
    options.maxForce = 100;
    options.compensateDelay = false;  // forces at the state as replied, to check them exactly
    options.faultTimeout = 1s;  // a loaded machine's stall is no fault; fault tests set theirs
    return options;
}

// A thread that runs body until Finish (or the end of the test, however it ends).
class Background {
public:
    explicit Background(std::function<void(const std::atomic<bool>&)> body)
        : thread_([this, body = std::move(body)] { body(done_); }) {}
    ~Background() { Finish(); }
    void Finish() {
        done_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::atomic<bool> done_{false};
    std::thread thread_;
};

bool IsZero(const Force& f) { return f[0] == 0 && f[1] == 0 && f[2] == 0; }

// What the counting fake replied to request n.
Vec3 PositionOf(std::size_t n) {
    const auto p = FakeArm::CountingPosition(n);
    return {p[0], p[1], p[2]};
}
Vec3 VelocityOf(std::size_t n) {
    const auto v = FakeArm::CountingVelocity(n);
    return {v[0], v[1], v[2]};
}

}  // namespace

TEST(ServoLoop, EachForceIsTheEffectsForceAtTheLastStateAndStopEndsAtZero) {
    FakeArm arm;
    ASSERT_TRUE(arm.Opened());
    ServoLoop loop(arm.Path(), Fast());
    EXPECT_EQ(loop.Info().device_id, 0x1234);
    EXPECT_EQ(loop.Info().device_model_number, 4);
    const Spring spring{{0.01, 0, 0}, 10, 1};
    const ConstantForce push{{0, 0, -2}};
    loop.SetEffects({spring, push});
    EXPECT_TRUE(arm.Quiet(50ms)) << "nothing is sent before Start";

    ASSERT_TRUE(loop.Start());
    ASSERT_TRUE(arm.WaitForForces(50));
    loop.Stop();
    EXPECT_FALSE(loop.Running());
    const std::vector<Force> forces = arm.Forces();
    ASSERT_GE(forces.size(), 51u);

    EXPECT_TRUE(IsZero(forces.front())) << "no state yet: zero force";
    for (std::size_t n = 1; n + 1 < forces.size(); ++n) {
        const Vec3 expected = ForceOf(spring, PositionOf(n - 1), VelocityOf(n - 1)) +
                              ForceOf(push, PositionOf(n - 1), VelocityOf(n - 1));
        for (int i = 0; i < 3; ++i)
            ASSERT_FLOAT_EQ(forces[n][i], static_cast<float>(expected[i])) << "request " << n;
    }
    EXPECT_TRUE(IsZero(forces.back())) << "stopping sends zero force last";

    const CycleState state = loop.State();
    EXPECT_EQ(state.cycle, forces.size());
    EXPECT_TRUE(arm.Quiet(50ms)) << "nothing after Stop";
}

TEST(ServoLoop, ForceIsClampedAndANonFiniteSumIsSentAsZero) {
    FakeArm arm([](std::size_t, const Force&) {
        return std::optional(TamroTest::StateReply({0, 0, 0}, {0, 0, 0}));
    });
    ServoOptions options = Fast();
    options.maxForce = 2;
    ServoLoop loop(arm.Path(), options);
    loop.SetEffects({ConstantForce{{3, 0, 4}}, Spring{{1, 0, 0}, 1, 0}});
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(20));
    // Each finite, their sum not: it overflows to infinity.
    loop.SetEffects({ConstantForce{{1e308, 0, 0}}, ConstantForce{{1e308, 0, 0}}});
    const std::size_t switched = arm.Forces().size();
    ASSERT_TRUE(arm.WaitForForces(switched + 10));
    loop.Stop();
    const auto forces = arm.Forces();
    for (std::size_t n = 2; n < 20; ++n) {
        const double magnitude = std::hypot(forces[n][0], forces[n][1], forces[n][2]);
        EXPECT_NEAR(magnitude, 2.0, 1e-6) << "request " << n;
    }
    for (std::size_t n = switched + 2; n < switched + 10; ++n)
        EXPECT_TRUE(IsZero(forces[n])) << "request " << n;
    const ServoStats stats = loop.Stats();
    EXPECT_GE(stats.clampedForces, 18u);
    EXPECT_GE(stats.nonFiniteForces, 7u);
}

// The protocol has no checksum: a reply that cannot be the arm's, or bytes no request asked
// for, are a failed exchange and a re-pairing, never a state the effects act on.
TEST(ServoLoop, ARepliedStateThatCannotBeTheArmsIsAFailedExchangeNotAState) {
    using TamroTest::Messages::EndEffectorState;
    const std::vector<std::pair<const char*, std::function<Bytes(std::size_t, const Force&)>>>
        cases = {
            {"a stray byte before a reply",
             [](std::size_t n, const Force& f) {
                 Bytes bytes{EndEffectorState};
                 const Bytes reply = *FakeArm::Counting(n, f);
                 bytes.insert(bytes.end(), reply.begin(), reply.end());
                 return bytes;
             }},
            {"a reply sent twice",
             [](std::size_t n, const Force& f) {
                 Bytes bytes = *FakeArm::Counting(n, f);
                 const Bytes again = bytes;
                 bytes.insert(bytes.end(), again.begin(), again.end());
                 return bytes;
             }},
            {"a state far outside the workspace",
             [](std::size_t, const Force&) {
                 return TamroTest::StateReply({1.07e8f, 0, 0}, {0, 0, 0});
             }},
            {"a state that is not a number",
             [](std::size_t, const Force&) {
                 return TamroTest::StateReply({0, std::nanf(""), 0}, {0, 0, 0});
             }},
            {"a state faster than any arm",
             [](std::size_t, const Force&) {
                 return TamroTest::StateReply({0, 0, 0}, {0, 300.f, 0});
             }},
        };
    for (const auto& [name, bad] : cases) {
        SCOPED_TRACE(name);
        constexpr std::size_t Bad = 5;
        FakeArm arm([&, bad = bad](std::size_t n, const Force& f) -> std::optional<Bytes> {
            return n == Bad ? bad(n, f) : FakeArm::Counting(n, f);
        });
        ServoLoop loop(arm.Path(), Fast());
        // Stiff enough that any position the arm cannot have asks for the whole 100 N.
        loop.SetEffects({Spring{{0, 0, 0.05}, 1000, 0}});
        ASSERT_TRUE(loop.Start());
        ASSERT_TRUE(arm.WaitForForces(60));
        EXPECT_TRUE(loop.Running()) << "one failed exchange is forgiven";
        loop.Stop();
        const ServoStats stats = loop.Stats();
        EXPECT_EQ(stats.failedExchanges, 1u);
        EXPECT_EQ(stats.resyncs, 1u);
        for (const Force& f : arm.Forces())
            ASSERT_LT(std::hypot(f[0], f[1], f[2]), 1.0) << "a force from a state the arm had not";
    }
}

TEST(ServoLoop, AFiniteForceTooLargeToSquareIsClampedNotZeroed) {
    for (const Vec3 huge : {Vec3{1.3e154, 0, 0}, Vec3{1e308, -1e308, 0}, Vec3{0, 5e38, 0}}) {
        FakeArm arm(FakeArm::Counting);
        ServoOptions options = Fast();
        options.maxForce = 2;
        ServoLoop loop(arm.Path(), options);
        loop.SetEffects({ConstantForce{huge}});
        loop.Start();
        ASSERT_TRUE(arm.WaitForForces(10));
        loop.Stop();
        const Force f = arm.Forces()[5];
        EXPECT_NEAR(std::hypot(f[0], f[1], f[2]), 2.0, 1e-6) << huge[0] << " " << huge[1];
        // Along the sum's direction.
        EXPECT_EQ(f[0] > 0, huge[0] > 0);
        EXPECT_EQ(f[1] < 0, huge[1] < 0);
        EXPECT_EQ(loop.Stats().nonFiniteForces, 0u);
    }
}

TEST(ServoLoop, DestructionAndCloseEndWithZeroForce) {
    for (const bool close : {false, true}) {
        FakeArm arm;
        {
            ServoLoop loop(arm.Path(), Fast());
            loop.SetEffects({ConstantForce{{1, 1, 1}}});
            loop.Start();
            ASSERT_TRUE(arm.WaitForForces(10));
            if (close) loop.Close();
        }
        const auto forces = arm.Forces();
        EXPECT_FALSE(IsZero(forces[forces.size() - 2]));
        EXPECT_TRUE(IsZero(forces.back())) << (close ? "Close" : "destructor");
    }
}

TEST(ServoLoop, ALoopThatNeverRanSendsZeroForceOnClose) {
    FakeArm arm;
    { ServoLoop loop(arm.Path(), Fast()); }
    ASSERT_TRUE(arm.WaitForForces(1));
    EXPECT_EQ(arm.Forces().size(), 1u);
    EXPECT_TRUE(IsZero(arm.Forces().front()));
}

TEST(ServoLoop, ASilentArmLatchesAFaultAndTheLastAttemptIsZeroForce) {
    std::atomic<bool> silent{false};
    FakeArm arm([&](std::size_t n, const Force& f) {
        return silent ? std::nullopt : FakeArm::Counting(n, f);
    });
    ServoOptions options = Fast(1000);
    options.faultTimeout = 40ms;
    options.maxFaults = 3;
    ServoLoop loop(arm.Path(), options);
    loop.SetEffects({ConstantForce{{0.5, 0, 0}}});
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(5));
    const auto silenced = Clock::now();
    silent = true;
    while (loop.Running() && SecondsSince(silenced) < 5) std::this_thread::sleep_for(1ms);
    const double took = SecondsSince(silenced);
    EXPECT_FALSE(loop.Running());
    EXPECT_LT(took, 3 * 0.040 + 0.5) << "three time-outs and a last attempt, not seconds";

    const auto fault = loop.LatchedFault();
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error, ETIMEDOUT);
    EXPECT_NE(fault->message.find("no reply within 40 ms"), std::string::npos) << fault->message;
    EXPECT_NE(fault->message.find("3 failures in a row"), std::string::npos) << fault->message;
    EXPECT_TRUE(arm.WaitForZeroForceLast());
    EXPECT_FALSE(loop.Start()) << "a latched fault is not restarted";
    EXPECT_GE(loop.Stats().failedExchanges, 3u);
}

TEST(ServoLoop, AWrongReplyIsAProtocolFaultAndOneBadCycleIsForgiven) {
    std::atomic<int> wrongFrom{-1};
    FakeArm arm([&](std::size_t n, const Force& f) -> std::optional<TamroTest::Bytes> {
        if (n == 5) return TamroTest::Bytes{TamroTest::Messages::JointState};  // one stray byte
        if (wrongFrom >= 0 && static_cast<int>(n) >= wrongFrom)
            return TamroTest::Bytes{TamroTest::Messages::DeviceInfo};
        return FakeArm::Counting(n, f);
    });
    ServoOptions options = Fast();
    options.faultTimeout = 30ms;
    ServoLoop loop(arm.Path(), options);
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(40));
    EXPECT_TRUE(loop.Running()) << "a single failed exchange does not stop the loop";
    EXPECT_EQ(loop.Stats().failedExchanges, 1u);
    wrongFrom = static_cast<int>(arm.Forces().size());
    for (int i = 0; i < 500 && loop.Running(); ++i) std::this_thread::sleep_for(2ms);
    const auto fault = loop.LatchedFault();
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error, EPROTO);
    EXPECT_NE(fault->message.find("reply code 11 where 43"), std::string::npos) << fault->message;
}

TEST(ServoLoop, OpeningFailsWithTypedErrors) {
    try {
        ServoLoop loop("/dev/tamro-no-such-port", Fast());
        ADD_FAILURE() << "opened";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
        EXPECT_EQ(e.Path(), "/dev/tamro-no-such-port");
    }
    FakeArm silent(FakeArm::Counting, /*answerWakeUp=*/false);
    const auto start = Clock::now();
    try {
        ServoLoop loop(silent.Path(), Fast());
        ADD_FAILURE() << "woke";
    } catch (const NoAnswer& e) {
        EXPECT_EQ(e.code().value(), ETIMEDOUT);
        EXPECT_EQ(e.Reason(), "no arm answered the wake-up within 1 s");
        EXPECT_EQ(e.Path(), silent.Path());
    }
    EXPECT_LT(SecondsSince(start), 3.0);

    for (const auto& [name, option] :
         std::initializer_list<std::pair<const char*, std::function<void(ServoOptions&)>>>{
             {"maxFaults", [](ServoOptions& o) { o.maxFaults = 0; }},
             {"rateHz", [](ServoOptions& o) { o.rateHz = -1; }},
             {"faultTimeout", [](ServoOptions& o) { o.faultTimeout = 0ms; }},
             {"maxForce", [](ServoOptions& o) { o.maxForce = std::nan(""); }},
             {"maxForce", [](ServoOptions& o) { o.maxForce = 1e39; }},
             {"maxForce", [](ServoOptions& o) { o.maxForce = ServoLoop::MaxDeviceForce * 1.01; }},
             {"realtimePriority", [](ServoOptions& o) { o.realtimePriority = 99; }},
             {"inFlight", [](ServoOptions& o) { o.inFlight = 0; }},
             {"inFlight", [](ServoOptions& o) { o.inFlight = ServoLoop::MaxInFlight + 1; }},
         }) {
        ServoOptions bad = Fast();
        option(bad);
        try {
            ServoLoop loop(silent.Path(), bad);
            ADD_FAILURE() << name << " accepted";
        } catch (const InvalidArgument& e) {
            EXPECT_EQ(e.Name(), name);
        }
    }
}

TEST(ServoLoop, EffectsSetFromAnotherThreadArriveWhole) {
    // The writer alternates between two constant forces whose components differ in every
    // bit pattern; a force mixing the two would be a torn hand-over.
    FakeArm arm;
    ServoLoop loop(arm.Path(), Fast(0));  // free-running: as many cycles as possible
    loop.Start();
    Background writer([&](const std::atomic<bool>& done) {
        for (int i = 0; !done; ++i) {
            const double a = (i % 2) ? 1.0 : -3.0;
            loop.SetEffects({ConstantForce{{a, a, a}}, ConstantForce{{a, a, a}}});
        }
    });
    EXPECT_TRUE(arm.WaitForForces(2000, 20s));
    writer.Finish();
    loop.Stop();
    for (const Force& f : arm.Forces()) {
        ASSERT_EQ(f[0], f[1]);
        ASSERT_EQ(f[1], f[2]);
        ASSERT_TRUE(f[0] == 0 || f[0] == 2.0f || f[0] == -6.0f) << f[0];
    }
}

TEST(ServoLoop, StateReadByOtherThreadsIsAlwaysOneCycle) {
    FakeArm arm;
    ServoLoop loop(arm.Path(), Fast(0));
    loop.Start();
    std::atomic<std::uint64_t> reads{0};
    auto reader = [&](const std::atomic<bool>& done) {
        while (!done) {
            const CycleState s = loop.State();
            if (s.cycle > 0) {
                // The counting fake's reply to request n is part of cycle n + 1.
                const std::size_t n = s.cycle - 1;
                ASSERT_EQ(s.position, PositionOf(n));
                ASSERT_EQ(s.velocity, VelocityOf(n));
                ++reads;
            }
            std::this_thread::yield();  // readers must not starve the loop on a busy machine
        }
    };
    Background a(reader), b(reader);
    EXPECT_TRUE(arm.WaitForForces(2000, 20s))
        << arm.Forces().size() << " forces; "
        << (loop.LatchedFault() ? loop.LatchedFault()->message : std::string("no fault"));
    a.Finish();
    b.Finish();
    loop.Stop();
    EXPECT_GT(reads.load(), 0u);
}

TEST(ServoLoop, RecordingKeepsEveryCycleAndCountsWhatDoesNotFit) {
    FakeArm arm;
    ServoLoop loop(arm.Path(), Fast(0));
    loop.Record(100000);
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(300));
    loop.Record(10);  // a small ring from now on: it overflows
    ASSERT_TRUE(arm.WaitForForces(600));
    loop.Stop();

    std::vector<CycleState> records(loop.Pending());
    records.resize(loop.Drain(records.data(), records.size()));
    ASSERT_GE(records.size(), 300u);
    EXPECT_EQ(loop.Pending(), 0u);
    // Oldest first, each the cycle it says; the first ring's records came over whole.
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::size_t n = records[i].cycle - 1;
        EXPECT_EQ(records[i].position, PositionOf(n));
        if (i > 0) {
            EXPECT_GT(records[i].cycle, records[i - 1].cycle);
        }
    }
    EXPECT_EQ(records.front().cycle, 1u);
    EXPECT_GT(loop.Stats().droppedRecords, 0u);
}

TEST(ServoLoop, StopAndStartAgainKeepsCounting) {
    FakeArm arm;
    ServoLoop loop(arm.Path(), Fast());
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(10));
    loop.Stop();
    const std::uint64_t before = loop.State().cycle;
    EXPECT_TRUE(loop.Start());
    EXPECT_TRUE(loop.Start()) << "starting a running loop changes nothing";
    ASSERT_TRUE(arm.WaitForForces(before + 10));
    loop.Stop();
    EXPECT_GT(loop.State().cycle, before + 5);
    EXPECT_GE(loop.Stats().cycles, 5u);
}

TEST(ServoLoop, ACompensatingLoopRendersWhereTheArmWillBeWhileItsForceActs) {
    // The arm stays at the origin but says it moves at 1 m/s along x: a spring at the origin
    // pulls back from where that motion will have taken it, age + half a period later.
    FakeArm arm([](std::size_t, const Force&) {
        return std::optional(TamroTest::StateReply({0, 0, 0}, {1, 0, 0}));
    });
    ServoOptions options = Fast(2000);
    options.compensateDelay = true;  // as by default
    ServoLoop loop(arm.Path(), options);
    constexpr double stiffness = 100, period = 0.5e-3;
    loop.SetEffects({Spring{{0, 0, 0}, stiffness, 0}});
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(300));
    loop.Stop();
    const ServoStats stats = loop.Stats();
    std::vector<double> pulls;
    const auto forces = arm.Forces();
    for (std::size_t n = 2; n + 1 < forces.size(); ++n) {
        const double horizon = -forces[n][0] / stiffness;
        ASSERT_GE(horizon, 0.5 * period - 1e-9) << "request " << n;
        ASSERT_LE(horizon, 3 * period + 1e-9) << "request " << n << ": no further than three holds";
        pulls.push_back(horizon);
    }
    const auto middle = pulls.begin() + static_cast<std::ptrdiff_t>(pulls.size() / 2);
    std::nth_element(pulls.begin(), middle, pulls.end());
    const double typical = *middle;
    // A period old, plus half the hold; and the age the loop reports is the one it used.
    EXPECT_NEAR(typical, 1.5 * period, 0.3 * period);
    EXPECT_NEAR(stats.stateAgeP50Us * 1e-6, typical - 0.5 * period, 0.2 * period);
}

TEST(ServoLoop, SmoothedParametersReachTheArmAsAGlide) {
    FakeArm arm([](std::size_t, const Force&) {
        return std::optional(TamroTest::StateReply({0, 0, 0}, {0, 0, 0}));
    });
    ServoLoop loop(arm.Path(), Fast(2000));
    constexpr double smoothing = 0.05;
    loop.SetEffects({Spring{{0, 0, 0}, 100, 0, smoothing}});
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(20));
    const std::size_t changed = arm.Forces().size();
    loop.SetEffects({Spring{{0.01, 0, 0}, 100, 0, smoothing}});  // 1 N, step by step
    const Clock::time_point at = Clock::now();
    ASSERT_TRUE(arm.WaitFor([&] { return SecondsSince(at) > 10 * smoothing; }, 5s));
    loop.Stop();
    const auto forces = arm.Forces();
    ASSERT_GT(forces.size(), changed + 50);
    for (std::size_t n = changed + 1; n + 1 < forces.size(); ++n)
        ASSERT_GE(forces[n][0], forces[n - 1][0]) << "request " << n << ": a glide, no overshoot";
    EXPECT_LT(forces[changed + 2][0], 0.2f) << "not the step";
    EXPECT_NEAR(forces[forces.size() - 2][0], 1.0f, 0.01f);
}

namespace {

// The counting fake's tag in a recorded reply: which force request (from 0) it answered.
std::size_t TagOf(const CycleState& s) {
    return static_cast<std::size_t>(std::lround(s.position[0] / 1e-6f));
}

std::vector<CycleState> DrainAll(ServoLoop& loop) {
    std::vector<CycleState> records(loop.Pending());
    records.resize(loop.Drain(records.data(), records.size()));
    return records;
}

}  // namespace

TEST(ServoLoop, ALateArmNeverAnswersTheWrongRequest) {
    struct Case {
        const char* name;
        TamroTest::ServedPty::Lateness late;
        std::chrono::milliseconds timeout;
        bool latches;
    };
    const std::vector<Case> cases = {
        {"under the time-out, now and then over it",
         [](std::size_t n) { return n % 10 == 9 ? 150ms : 20ms; }, 100ms, false},
        {"always over it", [](std::size_t) { return 80ms; }, 50ms, true},
    };
    for (const Case& c : cases) {
        FakeArm arm(FakeArm::Counting, true, true, c.late);
        ServoOptions options = Fast(200);
        options.faultTimeout = c.timeout;
        options.maxFaults = 3;
        ServoLoop loop(arm.Path(), options);
        loop.Record(100000);
        const auto started = Clock::now();
        loop.Start();
        if (c.latches) {
            while (loop.Running() && SecondsSince(started) < 5) std::this_thread::sleep_for(1ms);
            ASSERT_TRUE(loop.LatchedFault().has_value()) << c.name;
            // The documented bound, (2 max_faults - 1) time-outs, and room for a busy machine.
            EXPECT_LT(SecondsSince(started), 5 * 0.050 + 0.5) << c.name;
        } else {
            while (loop.Stats().failedExchanges < 3 && SecondsSince(started) < 10)
                std::this_thread::sleep_for(1ms);
            EXPECT_GE(loop.Stats().failedExchanges, 3u);
            EXPECT_FALSE(loop.LatchedFault().has_value()) << c.name;
            EXPECT_GE(loop.Stats().exchangeP50Us, 15000) << "from the request the reply answers";
        }
        loop.Close();
        for (const CycleState& r : DrainAll(loop)) ASSERT_EQ(TagOf(r), r.cycle - 1) << c.name;
        EXPECT_TRUE(arm.WaitForZeroForceLast()) << c.name;
    }
}

TEST(ServoLoop, APipelineWaitsOutRepliesSplitAcrossCycles) {
    // Every reply comes in two pieces, its tail only with the next request's reply: each is
    // still arriving when the next cycle begins, which is no reply cut short.
    Bytes carry;
    FakeArm arm([&carry](std::size_t n, const Force& f) {
        Bytes reply = *FakeArm::Counting(n, f);
        const auto split = reply.begin() + 10;
        Bytes sent = carry;
        sent.insert(sent.end(), reply.begin(), split);
        carry.assign(split, reply.end());
        return std::optional<Bytes>(sent);
    });
    ServoOptions options = Fast(1000);
    options.inFlight = 2;
    ServoLoop loop(arm.Path(), options);
    loop.Record(100000);
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(300));
    const ServoStats stats = loop.Stats();
    loop.Close();
    EXPECT_EQ(stats.failedExchanges, 0u);
    EXPECT_EQ(stats.inFlightMax, 2u);
    const auto records = DrainAll(loop);
    EXPECT_GE(records.size(), 250u);
    for (const CycleState& r : records) ASSERT_EQ(TagOf(r), r.cycle - 1);
}

TEST(ServoLoop, StopAndCloseAreQuickOnASilentOrLateArm) {
    for (const bool late : {false, true}) {
        std::atomic<bool> silent{false};
        FakeArm arm(
            [&](std::size_t n, const Force& f) {
                return silent ? std::nullopt : FakeArm::Counting(n, f);
            },
            true, true,
            late ? TamroTest::ServedPty::Lateness([](std::size_t) { return 300ms; }) : nullptr);
        ServoOptions options = Fast();
        options.faultTimeout = 1s;
        ServoLoop loop(arm.Path(), options);
        loop.Start();
        ASSERT_TRUE(arm.WaitForForces(3));
        silent = !late;
        for (int round = 0; round < 2; ++round) {
            ASSERT_TRUE(arm.WaitForForces(arm.Forces().size() + 1));
            const auto began = Clock::now();
            round == 0 ? loop.Stop() : loop.Close();
            EXPECT_LT(SecondsSince(began), 0.5) << (late ? "late: " : "silent: ") << round;
            if (round == 0) loop.Start();
        }
        EXPECT_TRUE(arm.WaitForZeroForceLast());
    }
}

TEST(ServoLoop, ADeviceThatWakesAsAnotherModelIsRefused) {
    FakeArm other(FakeArm::Counting, true, true, nullptr, TamroTest::DeviceInfoReply(9));
    try {
        ServoLoop loop(other.Path(), Fast());
        ADD_FAILURE() << "driven as an arm";
    } catch (const WrongDevice& e) {
        EXPECT_EQ(e.code().value(), ENODEV);
        EXPECT_NE(e.Reason().find("model 9"), std::string::npos) << e.Reason();
    }
    EXPECT_TRUE(other.Forces().empty());
}

TEST(ServoLoop, AVanishedArmIsAFaultNeverALineOnStandardError) {
    FakeArm arm;
    ServoOptions options = Fast();
    options.faultTimeout = 50ms;
    ServoLoop loop(arm.Path(), options);
    testing::internal::CaptureStderr();
    loop.Start();
    ASSERT_TRUE(arm.WaitForForces(5));
    arm.HangUp();
    for (int i = 0; i < 2000 && loop.Running(); ++i) std::this_thread::sleep_for(1ms);
    loop.Close();
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(loop.LatchedFault().has_value());
    EXPECT_EQ(loop.LatchedFault()->error, EIO) << loop.LatchedFault()->message;
    EXPECT_EQ(said, "");
}
