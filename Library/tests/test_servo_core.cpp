// The servo loop's cycle logic on a scripted arm and a clock of the test's own: no port, no
// thread, no real time. The arm answers every request in order, after a delay the script
// gives, and its state reply to force request n carries n in its position, so every recorded
// cycle shows whose reply it holds. Most cases run with one request in flight and with a
// pipeline of two and three.
#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Control/Mesh.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "Control/ArmLink.hpp"
#include "Control/ServoCore.hpp"
#include "ManualClock.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

using namespace Tamro::HardwareAPI::Control;
using namespace Tamro::HardwareAPI::Control::Detail;
using namespace std::chrono_literals;

namespace {

using TamroTest::ManualClock;

// How the arm answers force request n (from 0): after delay, or never (nullopt); garbled
// replies fail as a wrong code would.
struct Answer {
    std::optional<Clock::duration> delay = 1ms;
    bool garbled = false;
};

class ScriptedArm final : public ArmLink {
public:
    using Script = std::function<Answer(std::size_t n)>;

    ScriptedArm(ManualClock& clock, Script script) : clock_(clock), script_(std::move(script)) {}

    // Called as each force request goes out (the test's chance to stop the loop).
    std::function<void(std::size_t n)> onForce;
    Answer barrierAnswer;  // how the wake-up is answered
    Vec3 velocity{};       // in every state reply

    std::vector<Vec3> forces;                   // every force request, in order
    std::vector<Clock::time_point> forceTimes;  // when each went out
    std::size_t barriers = 0;

    LinkEvent Send(const ArmRequest& request) noexcept override {
        LinkEvent event;
        event.kind = LinkEvent::Kind::Sent;
        event.request = ++requests_;
        event.at = event.sentAt = clock_.now;
        matcher_.Sent(event.request, request.barrier, event.at);
        Answer answer = barrierAnswer;
        Pending reply{{}, request.barrier, false, 0};
        if (!request.barrier) {
            reply.tag = forces.size();
            forces.push_back(request.force);
            forceTimes.push_back(clock_.now);
            answer = script_(reply.tag);
        } else {
            ++barriers;
        }
        reply.garbled = answer.garbled;
        if (answer.delay) {
            // In order: no reply overtakes the one before it.
            reply.at = std::max(clock_.now + *answer.delay, lastReplyAt_);
            lastReplyAt_ = reply.at;
            pending_.push_back(reply);
        }
        if (!request.barrier && onForce) onForce(reply.tag);
        return event;
    }

    LinkEvent Next(Clock::time_point until) noexcept override {
        LinkEvent event;
        if (interrupted_) {
            event.why.Set(ECANCELED, "interrupted");
            return event;
        }
        if (pending_.empty() || pending_.front().at > until) {
            clock_.now = std::max(clock_.now, until);
            event.at = clock_.now;
            event.why.error = ETIMEDOUT;
            return event;
        }
        const Pending reply = pending_.front();
        pending_.pop_front();
        clock_.now = std::max(clock_.now, reply.at);
        event.at = clock_.now;
        if (reply.garbled) {  // as the serial link does: everything waiting and in flight goes
            while (!pending_.empty() && pending_.front().at <= clock_.now) pending_.pop_front();
            matcher_.Forget();
            event.forgotten = true;
            event.why.Set(EPROTO, "garbled");
            return event;
        }
        const ReplyMatcher::Match match = reply.barrier ? matcher_.OnBarrier() : matcher_.OnState();
        event.kind = reply.barrier ? LinkEvent::Kind::Barrier : LinkEvent::Kind::State;
        event.request = match.request;
        event.sentAt = match.sentAt;
        event.position = {static_cast<double>(reply.tag), 0, 0};
        event.velocity = velocity;
        return event;
    }

    bool Await(Clock::time_point until) noexcept override {
        if (interrupted_) return true;
        if (pending_.empty() || pending_.front().at > until) {
            clock_.now = std::max(clock_.now, until);
            return false;
        }
        clock_.now = std::max(clock_.now, pending_.front().at);
        return true;
    }

    void Interrupt() noexcept override { interrupted_ = true; }
    void Resume() noexcept override { interrupted_ = false; }

    // A force request someone else wrote on the line (a guard): the arm answers it in order
    // with the loop's, with a state that names no request of the loop's.
    static constexpr std::size_t ForeignTag = 999999;
    void ForeignForce() {
        const Clock::time_point at = std::max(clock_.now + 1ms, lastReplyAt_);
        lastReplyAt_ = at;
        pending_.push_back(Pending{at, false, false, ForeignTag});
    }

private:
    struct Pending {
        Clock::time_point at;
        bool barrier;
        bool garbled;
        std::size_t tag;
    };

    ManualClock& clock_;
    Script script_;
    ReplyMatcher matcher_;
    std::deque<Pending> pending_;
    Clock::time_point lastReplyAt_{};
    std::uint64_t requests_ = 0;
    bool interrupted_ = false;
};

ServoOptions Options(double rateHz = 1000, int maxFaults = 3, int inFlight = 1) {
    ServoOptions options;
    options.rateHz = rateHz;
    options.maxForce = 1e9;  // unclamped: a spring's force then names the state it was made from
    options.faultTimeout = 50ms;
    options.maxFaults = maxFaults;
    options.inFlight = inFlight;
    return options;
}

constexpr int InFlightCases[] = {1, 2, 3};

// Cycle c is force request c - 1, and its reply carries that number.
void ExpectOwnReplies(const std::vector<CycleState>& records, const std::vector<Vec3>& forces,
                      int inFlight) {
    for (const CycleState& r : records) {
        ASSERT_EQ(r.position[0], static_cast<double>(r.cycle - 1)) << "in flight " << inFlight;
        ASSERT_EQ(r.force, forces[r.cycle - 1]) << "in flight " << inFlight;
    }
}

// With a spring at the origin of stiffness 1 each force tells the state it was made from: it
// must be the newest that had arrived when its request went out (none: zero force).
void ExpectNewestStates(const std::vector<CycleState>& records, const ScriptedArm& arm,
                        int inFlight) {
    for (std::size_t n = 0; n + 1 < arm.forces.size(); ++n) {  // the last is the zero-force one
        const double sentAt = Seconds(arm.forceTimes[n]);
        double expected = 0;
        for (const CycleState& r : records)
            if (r.time <= sentAt) expected = -r.position[0];
        ASSERT_EQ(arm.forces[n][0], expected) << "request " << n << ", in flight " << inFlight;
    }
}

std::vector<CycleState> Drained(ServoCore& core) {
    std::vector<CycleState> records(core.Recording().Pending());
    records.resize(core.Recording().Drain(records.data(), records.size()));
    return records;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A loop on the scripted arm that stops once `requests` force requests went out.
struct Bench {
    explicit Bench(ScriptedArm::Script script, ServoOptions options = Options())
        : arm(clock, std::move(script)), core(options, arm, clock) {
        arm.onForce = [this](std::size_t n) {
            if (n + 1 == stopAfter) {
                stop = true;
                arm.Interrupt();  // as ServoLoop::Stop does
            }
        };
        core.Recording().Start(100000);
    }
    void Run(std::size_t requests) {
        stopAfter = requests;
        stop = false;
        core.Flags().Starting();
        core.Run(stop);
    }

    ManualClock clock;
    ScriptedArm arm;
    ServoCore core;
    std::atomic<bool> stop{false};
    std::size_t stopAfter = 0;
};

bool IsZero(const Vec3& v) { return v[0] == 0 && v[1] == 0 && v[2] == 0; }

}  // namespace

TEST(ServoCore, EveryRecordPairsAForceWithItsOwnRequestsReply) {
    // Late by less and by more than the fault time-out, from request 10 on.
    for (const int inFlight : InFlightCases) {
        for (const auto delay : {1ms, 30ms, 49ms, 51ms, 80ms, 200ms}) {
            Bench bench([delay](std::size_t n) { return Answer{n < 10 ? 1ms : delay}; },
                        Options(1000, 3, inFlight));
            bench.core.SetEffects({Spring{{0, 0, 0}, 1, 0}});
            bench.Run(60);
            const auto records = Drained(bench.core);
            ASSERT_GE(records.size(), 10u) << Ms(delay);
            ExpectOwnReplies(records, bench.arm.forces, inFlight);
            ExpectNewestStates(records, bench.arm, inFlight);
            const ServoStats stats = bench.core.Stats();
            if (delay < 50ms) {
                EXPECT_EQ(stats.failedExchanges, 0u) << Ms(delay);
                EXPECT_NEAR(stats.exchangeP99Us, 1000.0 * Ms(delay), 10.0 * Ms(delay))
                    << "measured from the request the reply answers";
            }
        }
    }
}

TEST(ServoCore, APipelineSendsOnScheduleWithTheNewestStateItHas) {
    // 1 kHz, every reply taking `delay`: with enough requests in flight each goes out on the
    // grid, and its force comes from the newest reply, so the state's age is the round trip
    // rounded up to whole periods. Too few in flight, each cycle waits for its reply instead.
    struct Case {
        int inFlight;
        Clock::duration delay;
        double ageMs;     // of every state a force was made from
        double periodMs;  // between requests
    };
    for (const Case& c : std::vector<Case>{
             {1, 300us, 1, 1},
             {2, 300us, 1, 1},
             {1, 1500us, 1.5, 1.5},
             {2, 1500us, 2, 1},
             {3, 1500us, 2, 1},
             {3, 1900us, 2, 1},
             {2, 2000us, 2, 1},
             {3, 2500us, 3, 1},
         }) {
        const std::string label =
            std::to_string(c.inFlight) + " in flight, " + std::to_string(Ms(c.delay)) + " ms";
        // Replies are awaited until the clock's busy-wait before the next deadline; one that
        // comes during it (at 1.9 ms) is taken when the cycle starts, before its force is made.
        ServoOptions options = Options(1000, 3, c.inFlight);
        options.spin = 200us;
        Bench bench([&c](std::size_t) { return Answer{c.delay}; }, options);
        bench.core.SetEffects({Spring{{0, 0, 0}, 1, 0}});
        bench.Run(200);
        const auto& t = bench.arm.forceTimes;
        for (std::size_t n = 10; n + 1 < t.size(); ++n)
            ASSERT_NEAR(Ms(t[n] - t[n - 1]), c.periodMs, 1e-9) << label << ", request " << n;
        const auto records = Drained(bench.core);
        ExpectOwnReplies(records, bench.arm.forces, c.inFlight);
        ExpectNewestStates(records, bench.arm, c.inFlight);
        const ServoStats stats = bench.core.Stats();
        EXPECT_NEAR(stats.stateAgeP50Us, 1000 * c.ageMs, 10 * c.ageMs) << label;
        EXPECT_NEAR(stats.stateAgeP99Us, 1000 * c.ageMs, 10 * c.ageMs) << label;
        // On the line as each request went out: as many as the round trip needs, never more
        // than allowed.
        const double needed = std::min<double>(c.inFlight, std::ceil(Ms(c.delay)));
        EXPECT_EQ(stats.inFlightMax, static_cast<std::uint64_t>(needed)) << label;
        EXPECT_NEAR(stats.inFlightMean, needed, 0.05) << label;
        EXPECT_EQ(stats.failedExchanges, 0u) << label;
        EXPECT_EQ(stats.resyncs, 0u) << label;
    }
}

TEST(ServoCore, AnAlwaysLateArmLatchesWithinTheDocumentedBound) {
    // Bound: (2 max_faults - 1) fault time-outs, and a period per cycle.
    for (const int inFlight : InFlightCases) {
        for (const auto delay : {51ms, 80ms, 130ms, 1000ms}) {
            for (const int maxFaults : {1, 3, 5}) {
                Bench bench([delay](std::size_t n) { return Answer{n < 5 ? 1ms : delay}; },
                            Options(1000, maxFaults, inFlight));
                bench.Run(1000000);
                const auto fault = bench.core.Flags().LatchedFault();
                ASSERT_TRUE(fault.has_value()) << Ms(delay);
                EXPECT_EQ(fault->error, ETIMEDOUT);
                const double took = Ms(bench.clock.now - bench.arm.forceTimes[5]);
                const double bound = (2 * maxFaults - 1) * 50.0 + 2.0 * maxFaults * inFlight;
                EXPECT_LE(took, bound) << Ms(delay) << " ms late, max_faults " << maxFaults
                                       << ", in flight " << inFlight;
                EXPECT_GE(took, maxFaults * 50.0);
                EXPECT_EQ(bench.core.Stats().failedExchanges,
                          static_cast<std::uint64_t>(maxFaults));
                EXPECT_TRUE(IsZero(bench.arm.forces.back())) << "the last request is zero force";
                ExpectOwnReplies(Drained(bench.core), bench.arm.forces, inFlight);
            }
        }
    }
}

TEST(ServoCore, ASilentArmLatchesAfterMaxFaultsTimeOuts) {
    for (const int inFlight : InFlightCases) {
        Bench bench([](std::size_t n) { return n < 5 ? Answer{} : Answer{std::nullopt}; },
                    Options(1000, 3, inFlight));
        bench.arm.barrierAnswer.delay = std::nullopt;  // silent to the wake-up too
        bench.Run(1000000);
        const auto fault = bench.core.Flags().LatchedFault();
        ASSERT_TRUE(fault.has_value());
        EXPECT_EQ(fault->message, "no reply within 50 ms (3 failures in a row)");
        EXPECT_LE(Ms(bench.clock.now - bench.arm.forceTimes[5]), 3 * 50.0 + 3);
        EXPECT_EQ(bench.arm.barriers, 1u) << "one barrier in flight at a time";
        EXPECT_TRUE(IsZero(bench.arm.forces.back()));
        // The pipeline stopped at the first failure: nothing after the lost requests but the
        // zero-force one.
        EXPECT_EQ(bench.arm.forces.size(), 5u + static_cast<std::size_t>(inFlight) + 1);
    }
}

TEST(ServoCore, OneFailureIsForgivenAfterTheBarrierAndALateReplyAnswersNothingLater) {
    // Request 7's reply is 70 ms late (the time-out is 50), and so are those behind it on the
    // line: they arrive while the barrier is out and must not be taken for anything after it.
    for (const int inFlight : InFlightCases) {
        Bench bench([](std::size_t n) { return Answer{n == 7 ? 70ms : 1500us}; },
                    Options(1000, 3, inFlight));
        bench.Run(40);
        EXPECT_FALSE(bench.core.Flags().LatchedFault().has_value());
        const ServoStats stats = bench.core.Stats();
        EXPECT_EQ(stats.failedExchanges, 1u);
        EXPECT_EQ(stats.resyncs, 1u);
        EXPECT_EQ(bench.arm.barriers, 1u);
        const auto records = Drained(bench.core);
        ExpectOwnReplies(records, bench.arm.forces, inFlight);
        // Requests 7 and those sent while its reply was awaited answer nothing.
        const auto sentBeforeFailure = static_cast<std::uint64_t>(
            std::count_if(bench.arm.forceTimes.begin(), bench.arm.forceTimes.end(),
                          [&](Clock::time_point t) { return t < bench.arm.forceTimes[7] + 50ms; }));
        ASSERT_GE(sentBeforeFailure, 8u);
        EXPECT_LE(sentBeforeFailure, 7u + static_cast<std::uint64_t>(inFlight));
        for (const CycleState& r : records)
            EXPECT_TRUE(r.cycle <= 7 || r.cycle > sentBeforeFailure)
                << "cycle " << r.cycle << " had its reply after the failure";
    }
}

TEST(ServoCore, ADropoutOfEveryRequestInFlightEndsThePipelineAndShiftsNothing) {
    // The link drops every reply from request 10 while the pipeline is full, then carries on:
    // the oldest's deadline ends the pipeline, the barrier re-pairs, and every reply after it
    // answers its own request. (A shorter dropout, with replies after it still coming, cannot
    // be told from a slower link by a loop whose replies carry no request number.)
    for (const int inFlight : InFlightCases) {
        const auto delay = std::chrono::microseconds(500 + 1000 * (inFlight - 1));  // fills it
        Bench bench(
            [&](std::size_t n) {
                return n >= 10 && n < 10 + static_cast<std::size_t>(inFlight) ? Answer{std::nullopt}
                                                                              : Answer{delay};
            },
            Options(1000, 3, inFlight));
        bench.Run(120);
        EXPECT_FALSE(bench.core.Flags().LatchedFault().has_value());
        const ServoStats stats = bench.core.Stats();
        EXPECT_EQ(stats.failedExchanges, 1u) << inFlight;
        EXPECT_EQ(stats.resyncs, 1u) << inFlight;
        EXPECT_EQ(bench.arm.barriers, 1u) << inFlight;
        EXPECT_EQ(stats.inFlightMax, static_cast<std::uint64_t>(inFlight));
        // Nothing more was sent until the failure, at the first lost reply's own deadline, and
        // the barrier's answer (1 ms).
        EXPECT_EQ(bench.arm.forceTimes[10 + static_cast<std::size_t>(inFlight)] -
                      bench.arm.forceTimes[10],
                  51ms);
        const auto records = Drained(bench.core);
        ExpectOwnReplies(records, bench.arm.forces, inFlight);
        std::size_t after = 0;
        for (const CycleState& r : records) after += r.cycle > 10u + inFlight ? 1 : 0;
        EXPECT_GE(after, 100u) << "the loop goes on paired";
    }
}

TEST(ServoCore, AGarbledReplyUnpairsUntilTheBarrierReturns) {
    for (const int inFlight : InFlightCases) {
        const auto garbled = [](std::size_t n) { return Answer{1500us, n == 4 || n == 9}; };
        Bench bench(garbled, Options(1000, 3, inFlight));
        bench.Run(30);
        EXPECT_EQ(bench.core.Stats().failedExchanges, 2u);
        EXPECT_EQ(bench.core.Stats().resyncs, 2u);
        EXPECT_EQ(bench.arm.barriers, 2u);
        ExpectOwnReplies(Drained(bench.core), bench.arm.forces, inFlight);
    }
}

TEST(ServoCore, SafetyStageClampsAndZeroesNonFiniteSums) {
    struct Case {
        std::vector<Effect> effects;
        double maxForce;
        Vec3 expected;
        std::uint64_t clamped, nonFinite;
    };
    const double inf = INFINITY;
    for (const Case& c : std::vector<Case>{
             {{ConstantForce{{3, 0, 4}}}, 10, {3, 0, 4}, 0, 0},
             {{ConstantForce{{3, 0, 4}}}, 2, {1.2, 0, 1.6}, 1, 0},
             {{ConstantForce{{1e308, 0, 0}}, ConstantForce{{1e308, 0, 0}}}, 5, {0, 0, 0}, 0, 1},
             {{Damper{inf}}, 5, {0, 0, 0}, 0, 0},  // refused: never reaches the loop
         }) {
        Bench bench([](std::size_t) { return Answer{}; });
        bench.core.SetMaxForce(c.maxForce);
        try {
            bench.core.SetEffects(c.effects);
        } catch (const InvalidArgument& e) {
            EXPECT_EQ(e.Name(), "damping");
        }
        bench.Run(3);
        ASSERT_EQ(bench.arm.forces.size(), 4u);  // zero (no state yet), 2 with it, the last zero
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(bench.arm.forces[1][i], c.expected[i], 1e-12);
        EXPECT_TRUE(IsZero(bench.arm.forces[0]));
        EXPECT_TRUE(IsZero(bench.arm.forces[3]));
        EXPECT_EQ(bench.core.Stats().clampedForces, 2 * c.clamped);
        EXPECT_EQ(bench.core.Stats().nonFiniteForces, 2 * c.nonFinite);
    }
}

TEST(ServoCore, StopCutsTheWaitShortAndEndsWithAZeroForceExchange) {
    for (const int inFlight : InFlightCases) {
        // The arm answers in 1 s: the stop comes while request 3 waits for it.
        ServoOptions options = Options(1000, 3, inFlight);
        options.faultTimeout = 2s;
        Bench bench([](std::size_t n) { return Answer{n < 3 ? 1ms : 1000ms}; }, options);
        bench.core.SetEffects({ConstantForce{{1, 1, 1}}});
        bench.Run(4);
        const auto stoppedAt = bench.arm.forceTimes[3];
        EXPECT_FALSE(bench.core.Flags().LatchedFault().has_value());
        ASSERT_EQ(bench.arm.forces.size(), 5u);
        EXPECT_TRUE(IsZero(bench.arm.forces.back()));
        EXPECT_LE(Ms(bench.clock.now - stoppedAt), Ms(ServoCore::ZeroForceWait))
            << "stopping waits the zero-force reply at most " << Ms(ServoCore::ZeroForceWait)
            << " ms";
        EXPECT_EQ(bench.core.Stats().failedExchanges, 0u) << "an interrupted wait is no failure";

        // Started again, the request cut short is still in flight: its reply answers it, not the
        // next one, and the loop goes on paired.
        bench.arm.onForce = nullptr;
        bench.stop = false;
        bench.arm.Resume();
        const std::size_t before = bench.arm.forces.size();
        bench.arm.onForce = [&](std::size_t n) {
            if (n >= before + 5) bench.stop = true;
        };
        bench.core.Flags().Starting();
        bench.core.Run(bench.stop);
        ExpectOwnReplies(Drained(bench.core), bench.arm.forces, inFlight);
    }
}

TEST(ServoCore, ALateCycleRestartsTheScheduleInsteadOfBursting) {
    // 1 kHz; request 10's reply takes 5.5 ms (within the time-out).
    Bench bench([](std::size_t n) { return Answer{n == 10 ? 5500us : 100us}; });
    bench.Run(30);
    const auto& t = bench.arm.forceTimes;
    for (std::size_t n = 1; n < 10; ++n) EXPECT_EQ(Ms(t[n] - t[n - 1]), 1.0) << n;
    EXPECT_NEAR(Ms(t[11] - t[10]), 5.5, 1e-9) << "the next cycle as soon as the late one ends";
    for (std::size_t n = 12; n < 25; ++n)
        EXPECT_EQ(Ms(t[n] - t[n - 1]), 1.0) << "then a period apart again, no burst: " << n;
    const ServoStats stats = bench.core.Stats();
    EXPECT_EQ(stats.lateCycles, 1u);
    EXPECT_EQ(stats.longestLateRun, 1u);
}

TEST(ServoCore, RecordingHasEveryAnsweredCycleAndTheLastZeroForceOne) {
    Bench bench([](std::size_t n) { return Answer{n == 6 ? std::nullopt : std::optional(1ms)}; });
    bench.Run(20);
    const auto records = Drained(bench.core);
    std::vector<std::uint64_t> cycles;
    cycles.reserve(records.size());
    for (const CycleState& r : records) cycles.push_back(r.cycle);
    // Request 6 (cycle 7) failed; the cycle after it was the barrier's, which sends no force.
    // The stop cut request 19 short: its reply, come while the zero-force one was awaited,
    // still makes cycle 20; the zero-force one is the last.
    std::vector<std::uint64_t> expected;
    for (std::uint64_t c = 1; c <= bench.arm.forces.size(); ++c)
        if (c != 7) expected.push_back(c);
    EXPECT_EQ(cycles, expected);
    EXPECT_TRUE(IsZero(records.back().force));
    EXPECT_EQ(bench.core.State().cycle, records.back().cycle);
}

TEST(ServoCore, ACompensatedForceIsMadeWhereTheStateWillBeWhileItActs) {
    // The state of request n is x = n, moving at 1 m/s; a spring of 1 N/m at the origin. A
    // state is one period old when the next force goes out, which is then held for a period:
    // the loop renders at x + 1.5 ms of motion. Request 20's reply is held back 30 ms: the force
    // made from it predicts no further than three periods. The ages are in the figures.
    Bench bench([](std::size_t n) { return Answer{n == 20 ? 30ms : 200us}; });
    bench.arm.velocity = {1, 0, 0};
    bench.core.SetEffects({Spring{{0, 0, 0}, 1, 0}});
    bench.Run(40);
    const auto& forces = bench.arm.forces;
    ASSERT_EQ(forces.size(), 41u);
    EXPECT_TRUE(IsZero(forces.front())) << "no state yet";
    for (std::size_t n = 1; n + 1 < forces.size(); ++n) {
        const double x = static_cast<double>(n - 1);  // the state this force was made from
        const double horizon = n == 21 ? 3e-3 : 1.5e-3;
        EXPECT_NEAR(forces[n][0], -(x + horizon), 1e-9) << "request " << n;
    }
    const ServoStats stats = bench.core.Stats();
    EXPECT_NEAR(stats.stateAgeP50Us, 1000, 10);
    EXPECT_DOUBLE_EQ(stats.longestStallUs, 30000) << "the state request 21 was made from";
    EXPECT_DOUBLE_EQ(stats.exchangeMaxUs, 30000);
    EXPECT_EQ(stats.failedExchanges, 0u);
}

TEST(ServoCore, APipelinedStateIsPredictedOverItsWholeAge) {
    // As above, with the state k periods old when the force goes out (k requests on the line):
    // the loop renders at x + (k + 0.5) ms of motion, three periods being no stall here.
    for (const auto& [inFlight, delay] : {std::pair{2, 1500us}, std::pair{3, 2500us}}) {
        Bench bench([delay = delay](std::size_t) { return Answer{delay}; },
                    Options(1000, 3, inFlight));
        bench.arm.velocity = {1, 0, 0};
        bench.core.SetEffects({Spring{{0, 0, 0}, 1, 0}});
        bench.Run(60);
        const auto k = static_cast<std::size_t>(inFlight);
        const auto& forces = bench.arm.forces;
        for (std::size_t n = 10; n + 1 < forces.size(); ++n) {
            const double x = static_cast<double>(n - k);
            const double horizon = (static_cast<double>(k) + 0.5) * 1e-3;
            EXPECT_NEAR(forces[n][0], -(x + horizon), 1e-9) << inFlight << " in flight, " << n;
        }
        EXPECT_NEAR(bench.core.Stats().stateAgeP50Us, 1000.0 * inFlight, 10.0 * inFlight);
    }
}

// What a reply's state must be to be believed, with the times a test chooses.
TEST(StatePlausibility, RefusesWhatNoArmCouldReport) {
    const Clock::time_point t0 = Clock::time_point{} + 1000s;
    constexpr double Reach = ServoLoop::WorkspaceHalfSize + ServoLoop::WorkspaceMargin;
    constexpr double Speed = ServoLoop::MaxArmSpeed;
    struct Case {
        const char* name;
        Vec3 position, velocity;
        Clock::duration after;  // since the request the last state answered
        bool plausible;
    };
    const Case cases[] = {
        {"at rest where the last one was", {0.05, 0, 0}, {}, 1ms, true},
        {"at the edge of the reach", {Reach, -Reach, Reach}, {}, 1s, true},
        {"beyond the reach", {0, 0, Reach * 1.01}, {}, 1s, false},
        {"light-years away", {1.07e8, 0, 0}, {}, 1s, false},
        {"not a number", {0, std::nan(""), 0}, {}, 1s, false},
        {"infinitely far", {0, 0, -std::numeric_limits<double>::infinity()}, {}, 1s, false},
        {"as fast as an arm can be", {0.05, 0, 0}, {0, Speed * 0.99, 0}, 1ms, true},
        {"faster than any arm", {0.05, 0, 0}, {Speed * 1.01, 0, 0}, 1ms, false},
        {"a velocity not a number", {0.05, 0, 0}, {0, 0, std::nan("")}, 1ms, false},
        // From (0.05, 0, 0): 2 cm in 1 ms is the speed limit; 3 cm is beyond it.
        {"a step the speed allows", {0.05 + Speed * 0.001 * 0.99, 0, 0}, {}, 1ms, true},
        {"a step too far for the time", {0.05 + Speed * 0.001 * 1.5, 0, 0}, {}, 1ms, false},
        {"the same step, later", {0.05 + Speed * 0.001 * 1.5, 0, 0}, {}, 2ms, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StatePlausibility judge;
        FaultNote why;
        ASSERT_TRUE(judge.Judge({0.05, 0, 0}, {}, t0, t0 + 1ms, why));  // the last state
        EXPECT_EQ(judge.Judge(c.position, c.velocity, t0 + c.after, t0 + c.after, why),
                  c.plausible);
        if (!c.plausible) {
            EXPECT_EQ(why.error, EPROTO);
        }
    }
    // A refused state is not measured from; after Forget there is nothing to measure from.
    StatePlausibility judge;
    FaultNote why;
    ASSERT_TRUE(judge.Judge({0, 0, 0}, {}, t0, t0, why));
    EXPECT_FALSE(judge.Judge({0.15, 0, 0}, {}, t0 + 1ms, t0 + 1ms, why));
    EXPECT_TRUE(judge.Judge({0.01, 0, 0}, {}, t0 + 1ms, t0 + 1ms, why));
    judge.Forget();
    EXPECT_TRUE(judge.Judge({0.15, 0, 0}, {}, t0 + 2ms, t0 + 2ms, why));
}

TEST(ReplyMatcher, KnowsTheBytesDueUntilItForgets) {
    ReplyMatcher matcher;
    const Clock::time_point t0{};
    matcher.Sent(1, false, t0);
    matcher.Sent(2, true, t0);
    matcher.Sent(3, false, t0);
    EXPECT_TRUE(matcher.Complete());
    EXPECT_EQ(matcher.DueBytes(25, 40), 25u + 40u + 25u);
    matcher.Forget();
    EXPECT_FALSE(matcher.Complete()) << "forgotten requests may still be answered";
    matcher.Sent(4, true, t0);
    EXPECT_EQ(matcher.OnBarrier().request, 4u);
    EXPECT_TRUE(matcher.Complete()) << "the barrier's reply ends every request before it";
    for (std::uint64_t n = 5; n < 5 + ReplyMatcher::Capacity + 1; ++n) matcher.Sent(n, false, t0);
    EXPECT_FALSE(matcher.Complete()) << "the oldest was forgotten for room";
}

TEST(ServoCore, AfterTheGuardWroteTheLoopRepairsAndStartsFromZeroBeforeAnyForce) {
    for (const int inFlight : InFlightCases) {
        Bench bench([](std::size_t) { return Answer{1500us}; }, Options(1000, 3, inFlight));
        GuardBlock block;
        bench.core.UseGuard(GuardSignals(&block));
        bench.core.SetEffects({Spring{{0, 0, 0}, 1, 0}});
        bool armedWhileRunning = true;
        std::int64_t beatAtWrite = 0;
        bench.arm.onForce = [&](std::size_t n) {
            armedWhileRunning = armedWhileRunning && block.armed.load();
            if (n == 5) {  // the loop froze after request 5; the guard wrote its zero
                bench.arm.ForeignForce();
                block.fired.fetch_add(1);
                beatAtWrite = block.beatNs.load();
            }
            if (n + 1 == 20) {
                bench.stop = true;
                bench.arm.Interrupt();
            }
        };
        bench.stop = false;
        bench.core.Flags().Starting();
        bench.core.Run(bench.stop);

        EXPECT_TRUE(armedWhileRunning);
        EXPECT_FALSE(block.armed.load()) << "a loop that ended is no longer watched";
        EXPECT_GT(block.beatNs.load(), beatAtWrite) << "every cycle beats";
        const ServoStats stats = bench.core.Stats();
        EXPECT_EQ(stats.guardFirings, 1u);
        EXPECT_EQ(stats.resyncs, 1u);
        EXPECT_EQ(stats.failedExchanges, 0u);
        EXPECT_EQ(bench.arm.barriers, 1u) << "in flight " << inFlight;
        // The guard's reply answered nothing of the loop's, and the first force after the
        // barrier is made from no state at all: the one before the silence is stale.
        const auto records = Drained(bench.core);
        ExpectOwnReplies(records, bench.arm.forces, inFlight);
        ASSERT_GT(bench.arm.forces.size(), 7u);
        EXPECT_TRUE(IsZero(bench.arm.forces[6])) << "in flight " << inFlight;
        EXPECT_FALSE(IsZero(bench.arm.forces[10])) << "and it renders again afterwards";
    }
}

TEST(ServoCore, RecentFiguresForgetWhatCameBeforeTheLastSecond) {
    // Two seconds of 4 ms replies (every cycle late, every state old), then two seconds of
    // prompt ones: the cumulative p99 still shows the slow start, the recent ones do not.
    Bench bench([](std::size_t n) { return Answer{n < 500 ? 4ms : 100us}; });
    bench.Run(2500);
    ServoStats stats = bench.core.Stats();
    EXPECT_NEAR(stats.periodP99Us, 4000, 100);
    EXPECT_NEAR(stats.stateAgeP99Us, 4000, 100);
    EXPECT_NEAR(stats.recentPeriodP99Us, 1000, 40);
    EXPECT_NEAR(stats.recentStateAgeP99Us, 1000, 40);

    // Slow again: within a second the recent figures show it.
    Bench slow([](std::size_t n) { return Answer{n < 1000 ? 100us : 3ms}; });
    slow.Run(1400);
    stats = slow.core.Stats();
    EXPECT_NEAR(stats.periodP99Us, 3000, 100);
    EXPECT_NEAR(stats.recentPeriodP99Us, 3000, 100);
    EXPECT_NEAR(stats.recentStateAgeP99Us, 3000, 100);

    slow.core.ResetFigures();
    EXPECT_EQ(slow.core.Stats().recentPeriodP99Us, 0);
}

TEST(ServoCore, TheLoopNeverFreesAMeshTree) {
    // Whoever drops the tree's last reference runs this deleter, which notes whether the loop
    // was running then. The loop keeps copies of what it renders (its glides), also from one
    // run to the next; a set replaced while it is stopped must not leave it the last one.
    bool running = false, freed = false, freedByLoop = false;
    std::shared_ptr<const MeshTree> tree;
    {
        auto built = MeshTree::Build({{0, 0, 0}, {1, 0, 0}, {0, 1, 0}}, {{0, 1, 2}});
        const MeshTree* raw = built.get();
        tree = std::shared_ptr<const MeshTree>(
            raw, [built, &running, &freed, &freedByLoop](const MeshTree*) mutable {
                freed = true;
                freedByLoop = running;
                built.reset();
            });
    }
    Bench bench([](std::size_t) { return Answer{}; });
    Mesh mesh;
    mesh.tree = std::move(tree);
    mesh.stiffness = 100;
    bench.core.SetEffects({mesh});
    mesh.tree.reset();
    running = true;
    bench.Run(5);
    running = false;
    for (int i = 0; i < 3; ++i) bench.core.SetEffects({ConstantForce{{0, 0, 1}}});
    running = true;
    bench.Run(bench.arm.forces.size() + 5);  // requests are numbered on from the first run
    running = false;
    EXPECT_FALSE(freedByLoop);
    bench.core.SetEffects({});  // the loop has moved on: the setter frees it
    EXPECT_TRUE(freed);
    EXPECT_FALSE(freedByLoop);
}

TEST(ServoCore, EachMeshsProxyIsHandedOverAsTheLoopRenderedIt) {
    // A wall through x = 2.5 slanted 45 degrees, facing -x +y; the scripted arm comes in along x
    // (its reply n at x = n). Behind the wall the proxy slides on it to the device's projection,
    // a new point every cycle. Stiffness 1, no damping: each force is proxy - device, so the
    // proxy handed over beside a force, less that force, must be the state it was made from:
    // a device on the x axis at a whole number of metres.
    const Vec3 p0{2.5, 0, 0}, along{1, 1, 0}, up{0, 0, 1};
    Mesh mesh;
    mesh.tree = MeshTree::Build(
        {p0 - 50.0 * along - 50.0 * up, p0 + 50.0 * along - 50.0 * up, p0 + 50.0 * up},
        {{0, 2, 1}});
    mesh.stiffness = 1;
    Bench bench([](std::size_t) { return Answer{}; });
    bench.core.SetEffects({ConstantForce{{0, 0, 0}}, mesh}, {7, 42});
    std::vector<std::optional<Vec3>> proxies;
    const auto stopper = bench.arm.onForce;
    bench.arm.onForce = [&](std::size_t n) {
        proxies.push_back(bench.core.ProxyOf(42));
        EXPECT_FALSE(bench.core.ProxyOf(7)) << "not a mesh";
        EXPECT_FALSE(bench.core.ProxyOf(8)) << "no such effect";
        stopper(n);
    };
    bench.Run(10);
    const auto& forces = bench.arm.forces;
    ASSERT_EQ(proxies.size(), forces.size());
    int held = 0;
    for (std::size_t n = 0; n + 1 < forces.size(); ++n) {  // the last is the zero-force one
        if (IsZero(forces[n])) {
            EXPECT_FALSE(proxies[n]) << "free at request " << n;
            continue;
        }
        ASSERT_TRUE(proxies[n]) << "held at request " << n;
        ++held;
        const Vec3 device = *proxies[n] - forces[n];
        EXPECT_NEAR(device[0], std::round(device[0]), 1e-6) << n;
        EXPECT_GT(device[0], 2.5) << n;
        EXPECT_NEAR(device[1], 0, 1e-6) << n;
        EXPECT_NEAR(device[2], 0, 1e-9) << n;
        // On the wall, where the device's projection is.
        EXPECT_NEAR(Dot(*proxies[n] - p0, Vec3{-1, 1, 0}), 0, 1e-6) << n;
        EXPECT_NEAR((*proxies[n])[1], (device[0] - 2.5) / 2, 1e-6) << n;
    }
    EXPECT_GE(held, 5);
}
