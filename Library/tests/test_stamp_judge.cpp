// The freshness of streamed samples by their senders' stamps, at scripted clocks: a sender
// whose clock may be skewed, drift or step, a link that may hold samples up, and a spoofer.
#include "Control/StampJudge.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

using Tamro::HardwareAPI::Control::Detail::StampJudge;
using V = StampJudge::Verdict;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t Ms = 1'000'000;
constexpr std::int64_t S = 1'000'000'000;
constexpr std::int64_t Wall0 = 1'700'000'000 * S;  // our wall clock when the script starts
constexpr std::int64_t Mono0 = 5'000 * S;          // our monotonic clock then

const char* Word(V v) {
    switch (v) {
        case V::Fresh: return "fresh";
        case V::Stale: return "stale";
        case V::Future: return "future";
        case V::Implausible: return "implausible";
    }
    return "?";
}

// Our clocks and a sender's: t is the true time since the script started (ns). The sender
// stamps with its clock (ours plus skew, drifting by drift) and its samples arrive latency
// later.
struct Script {
    StampJudge judge;
    std::int64_t skew = 0;
    double drift = 0;  // relative rate error of the sender's clock

    explicit Script(std::chrono::nanoseconds window = 100ms) { judge.Configure(250ms, window); }

    std::int64_t SenderClock(std::int64_t t) const {
        return Wall0 + t + skew + static_cast<std::int64_t>(drift * static_cast<double>(t));
    }
    // A sample sent at t (stamped by the sender's clock plus lead), arriving latency later.
    StampJudge::Judgement Send(std::int64_t t, std::int64_t latency, std::int64_t lead = 0) {
        return judge.Judge(SenderClock(t) + lead, Mono0 + t + latency, Wall0 + t + latency);
    }
    // A steady 1 kHz stream from `from` for `span` ns with a 1 ms latency; the verdicts seen.
    std::vector<V> Stream(std::int64_t from, std::int64_t span, std::int64_t latency = Ms) {
        std::vector<V> seen;
        for (std::int64_t t = from; t < from + span; t += Ms)
            seen.push_back(Send(t, latency).verdict);
        return seen;
    }
};

bool All(const std::vector<V>& seen, V v) {
    for (V s : seen)
        if (s != v) return false;
    return !seen.empty();
}

}  // namespace

TEST(StampJudge, AFirstStampMustBePlausibleAgainstOurWallClock) {
    struct Case {
        std::string what;
        std::int64_t stamp;  // relative to our wall clock at arrival, unless absolute
        bool absolute;
        V verdict;
    };
    const std::vector<Case> cases = {
        {"fresh", -1 * Ms, false, V::Fresh},
        {"zero (unstamped)", 0, true, V::Implausible},
        {"negative", -5 * S, true, V::Implausible},
        {"a second after the epoch", 1 * S, true, V::Implausible},
        {"1e6 s ahead", 1'000'000 * S, false, V::Implausible},
        {"3 s old", -3 * S, false, V::Implausible},
        {"just inside the window ahead", 99 * Ms, false, V::Fresh},
        {"just beyond the window behind", -101 * Ms, false, V::Implausible},
    };
    for (const Case& c : cases) {
        StampJudge judge;
        judge.Configure(250ms, 100ms);
        const std::int64_t wall = Wall0;
        const auto j = judge.Judge(c.absolute ? c.stamp : wall + c.stamp, Mono0, wall);
        EXPECT_EQ(Word(j.verdict), std::string(Word(c.verdict))) << c.what;
        // A refused first sample starts nothing: a fresh one after it is taken as the first.
        if (j.verdict != V::Fresh) {
            EXPECT_EQ(judge.Judge(wall + 2 * Ms, Mono0 + 2 * Ms, wall + 2 * Ms).verdict, V::Fresh)
                << c.what;
        }
    }
}

TEST(StampJudge, ASteadyStreamIsFreshWhateverTheClocksSkewOrDrift) {
    struct Case {
        std::string what;
        std::int64_t skew;
        double drift;
        std::chrono::nanoseconds window;
    };
    const std::vector<Case> cases = {
        {"one clock", 0, 0, 100ms},
        {"skewed 40 ms", -40 * Ms, 0, 100ms},
        {"unsynchronised by an hour, the window set for it", 3600 * S, 0, 7200s},
        {"drifting 500 ppm slow", 0, -500e-6, 100ms},
        {"drifting 500 ppm fast", 0, 500e-6, 100ms},
    };
    for (const Case& c : cases) {
        Script s(c.window);
        s.skew = c.skew;
        s.drift = c.drift;
        // A minute at 1 kHz with a latency of 1 to 4 ms, in a pattern.
        std::int64_t largestAge = 0;
        for (std::int64_t t = 0; t < 60 * S; t += Ms) {
            const auto j = s.Send(t, Ms + (t / Ms % 7) * Ms / 2);
            ASSERT_EQ(Word(j.verdict), std::string("fresh")) << c.what << " at " << t / Ms << " ms";
            largestAge = std::max(largestAge, j.ageNs);
        }
        // The queueing seen is the latency's spread (3 ms), plus what drift adds over the history.
        EXPECT_LE(largestAge, 3 * Ms + 3 * Ms) << c.what;
    }
    Script unsynchronised;  // the same hour's skew with the default window: never started
    unsynchronised.skew = 3600 * S;
    EXPECT_TRUE(All(unsynchronised.Stream(0, 100 * Ms), V::Implausible));
}

TEST(StampJudge, SamplesHeldUpBeyondTheTimeoutOrOutOfOrderAreStaleAndJudgedByTheirAge) {
    Script s;
    ASSERT_TRUE(All(s.Stream(0, 1 * S), V::Fresh));
    const auto held = s.Send(1 * S, Ms + 200 * Ms);
    EXPECT_EQ(held.verdict, V::Fresh);
    EXPECT_EQ(held.ageNs, 200 * Ms) << "its age is how long it was held up beyond the best";
    EXPECT_EQ(s.Send(1 * S + Ms, Ms + 300 * Ms).verdict, V::Stale);
    EXPECT_EQ(s.Send(1'250 * Ms, Ms).verdict, V::Fresh);
    EXPECT_EQ(s.Send(1'240 * Ms, 15 * Ms).verdict, V::Stale)
        << "older than the newest taken, though within the time-out";
    ASSERT_TRUE(All(s.Stream(1'260 * Ms, 740 * Ms), V::Fresh));

    // A link that congests slowly: the delay grows 1 ms each sample until they are refused,
    // and stay refused (a restart needs a stamp our wall clock finds plausible).
    std::vector<V> congested;
    for (std::int64_t i = 0; i < 600; ++i)
        congested.push_back(s.Send(2 * S + i * Ms, Ms + i * Ms).verdict);
    const auto firstStale = std::find(congested.begin(), congested.end(), V::Stale);
    EXPECT_NEAR(firstStale - congested.begin(), 251, 2);
    EXPECT_TRUE(std::all_of(firstStale, congested.end(), [](V v) { return v != V::Fresh; }));
}

TEST(StampJudge, OneSpoofedStampAheadCannotCutOffTheRealStream) {
    Script s;
    ASSERT_TRUE(All(s.Stream(0, 1 * S), V::Fresh));
    std::int64_t spoofs = 0, refusedSpoofs = 0;
    for (std::int64_t t = 1 * S; t < 5 * S; t += Ms) {
        ASSERT_EQ(Word(s.Send(t, Ms).verdict), std::string("fresh")) << t / Ms << " ms";
        if ((t / Ms) % 400 == 0) {
            ++spoofs;
            if (s.Send(t, Ms, 450 * Ms).verdict == V::Future) ++refusedSpoofs;
        }
    }
    EXPECT_EQ(spoofs, 10);
    EXPECT_EQ(refusedSpoofs, spoofs);
}

TEST(StampJudge, AStreamWhoseSenderClockStepsRecoversWithinTheTimeout) {
    struct Case {
        std::string what;
        std::int64_t skewBefore, skewAfter;
        V meanwhile;
    };
    const std::vector<Case> cases = {
        {"stepped back a second", 0, -1 * S, V::Stale},
        {"stepped forward into step with ours", -1 * S, 0, V::Future},
    };
    for (const Case& c : cases) {
        Script s(2s);
        s.skew = c.skewBefore;
        ASSERT_TRUE(All(s.Stream(0, 1 * S), V::Fresh)) << c.what;
        s.skew = c.skewAfter;
        std::int64_t t = 1 * S;
        std::int64_t refused = 0;
        for (; s.Send(t, Ms).verdict != V::Fresh && t < 3 * S; t += Ms) ++refused;
        EXPECT_NEAR(static_cast<double>(t - 1 * S) / Ms, 250, 2) << c.what << ": one time-out";
        EXPECT_TRUE(All(s.Stream(t + Ms, 1 * S), V::Fresh)) << c.what << ": then every sample";
        EXPECT_GT(refused, 0) << c.what;
        // What it was refused as while it waited.
        Script again(2s);
        again.skew = c.skewBefore;
        (void)again.Stream(0, 1 * S);
        again.skew = c.skewAfter;
        EXPECT_EQ(Word(again.Send(1 * S, Ms).verdict), std::string(Word(c.meanwhile))) << c.what;
    }
}

TEST(StampJudge, AfterAFreezeWhatQueuedBeyondTheWindowIsRefusedAndTheNewestTaken) {
    Script s;
    ASSERT_TRUE(All(s.Stream(0, 1 * S), V::Fresh));
    // Frozen from 1 s to 3.5 s: the sender kept writing, and everything it wrote arrives in a
    // burst within 3 ms of waking, oldest first.
    std::vector<V> burst;
    const std::int64_t woke = 3'500 * Ms;
    for (std::int64_t t = 1 * S; t < woke; t += Ms)
        burst.push_back(s.Send(t, woke + (t - 1 * S) * 3 * Ms / (woke - 1 * S) - t).verdict);
    const std::size_t n = burst.size();
    for (std::size_t i = 0; i + 150 < n; ++i)
        ASSERT_EQ(Word(burst[i]), std::string("implausible")) << i << " of " << n;
    for (std::size_t i = n - 90; i < n; ++i)
        ASSERT_EQ(Word(burst[i]), std::string("fresh")) << i << " of " << n;
    EXPECT_TRUE(All(s.Stream(woke, 1 * S), V::Fresh)) << "the live stream goes on";
}
