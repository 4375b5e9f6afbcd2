// The dead-man guard: its decisions on a clock of the test's own, then its process over a
// pseudo-terminal, with the test as the owner that beats, falls silent, dies or releases it.
#include "Control/Guard.hpp"

#include "PtyPair.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Tamro::HardwareAPI::Control::Detail;
using TamroTest::Bytes;
using TamroTest::PtyPair;
using namespace std::chrono_literals;

namespace {

using Act = SilenceWatch::Act;
constexpr std::int64_t Bound = 50'000'000;  // ns
constexpr std::int64_t Ms = 1'000'000;

// The zero-force request as the arm reads it: the code, then three float zeros.
const Bytes ZeroForce = {42, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// A pty whose host side is open as a loop's port would be; the test reads what the guard writes.
class GuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        port = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(port, 0);
    }
    void TearDown() override {
        if (port >= 0) ::close(port);
    }

    PtyPair pty;
    int port = -1;
};

bool Gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// The test's side of a running loop: beats every millisecond while `beating`.
class Owner {
public:
    explicit Owner(GuardBlock& block) : signals_(&block) {
        signals_.Arm(Clock::now());
        thread_ = std::thread([this] {
            while (!done_) {
                if (beating) signals_.Beat(Clock::now());
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    ~Owner() {
        done_ = true;
        thread_.join();
    }
    std::atomic<bool> beating{true};

private:
    GuardSignals signals_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

}  // namespace

TEST(SilenceWatch, OneZeroPerSilenceAndNoneWhileDisarmedOrReleased) {
    struct Step {
        std::int64_t now;
        SilenceWatch::Seen seen;
        Act act;
    };
    SilenceWatch::Seen armed;
    armed.armed = true;
    armed.beatNs = 100 * Ms;
    SilenceWatch::Seen resumed = armed;
    resumed.beatNs = 400 * Ms;
    SilenceWatch::Seen disarmed = resumed;
    disarmed.armed = false;
    SilenceWatch::Seen gone = disarmed;
    gone.ownerGone = true;
    SilenceWatch::Seen released = gone;
    released.released = true;
    const std::vector<Step> steps = {
        {120 * Ms, armed, Act::Wait},     // a fresh beat
        {150 * Ms, armed, Act::Wait},     // exactly the bound: not yet
        {151 * Ms, armed, Act::Zero},     // older than the bound
        {300 * Ms, armed, Act::Wait},     // the same silence: the arm keeps its zero
        {420 * Ms, resumed, Act::Wait},   // resumed
        {451 * Ms, resumed, Act::Zero},   // and silent again: a new silence
        {900 * Ms, disarmed, Act::Wait},  // a loop that ended is not watched
        {901 * Ms, gone, Act::ZeroAndExit},
        {902 * Ms, released, Act::Exit},  // a release wins over the hang-up that follows it
    };
    SilenceWatch watch(Bound);
    for (std::size_t i = 0; i < steps.size(); ++i)
        EXPECT_EQ(watch.Look(steps[i].now, steps[i].seen).act, steps[i].act) << "step " << i;
}

TEST(SilenceWatch, LooksAgainWhenTheBeatWouldGrowTooOldAndSoonAfterAZero) {
    SilenceWatch watch(Bound);
    SilenceWatch::Seen seen;
    seen.armed = true;
    seen.beatNs = 100 * Ms;
    EXPECT_EQ(watch.Look(110 * Ms, seen).nextLookNs, 150 * Ms + 1);
    const SilenceWatch::Verdict zero = watch.Look(151 * Ms, seen);
    ASSERT_EQ(zero.act, Act::Zero);
    EXPECT_LE(zero.nextLookNs, 151 * Ms + Bound / 2)
        << "a resumed loop's next silence is seen in time";
    seen.armed = false;
    EXPECT_LE(watch.Look(200 * Ms, seen).nextLookNs, 200 * Ms + Bound);
}

TEST(SilenceWatch, AfterALateLookALiveLoopHasAGraceToBeatAgain) {
    // The machine stalled: the guard looks at 230 ms instead of 150 and finds the beat of
    // 100 ms. Its owner may have been held as long: it waits the grace (20 ms) before a zero,
    // which a beat meanwhile forestalls.
    for (const bool beatsInGrace : {false, true}) {
        SilenceWatch watch(Bound);
        SilenceWatch::Seen seen;
        seen.armed = true;
        seen.beatNs = 100 * Ms;
        ASSERT_EQ(watch.Look(110 * Ms, seen).nextLookNs, 150 * Ms + 1);
        const SilenceWatch::Verdict late = watch.Look(230 * Ms, seen);
        EXPECT_EQ(late.act, Act::Wait);
        EXPECT_EQ(late.nextLookNs, 250 * Ms);
        if (beatsInGrace) seen.beatNs = 240 * Ms;
        EXPECT_EQ(watch.Look(250 * Ms, seen).act, beatsInGrace ? Act::Wait : Act::Zero)
            << (beatsInGrace ? "it beat in time" : "still silent after the grace");
    }
}

TEST_F(GuardTest, WritesZeroOncePerSilenceAndNothingAfterARelease) {
    Guard guard(port, std::chrono::nanoseconds(Bound));
    {
        Owner owner(guard.Block());
        EXPECT_TRUE(pty.Silent(300ms)) << "a beating loop is left alone";

        owner.beating = false;
        const auto silentAt = Clock::now();
        EXPECT_EQ(pty.Take(ZeroForce.size(), 2000ms), ZeroForce);
        // The bound runs from the last beat, a millisecond or so before the owner fell silent.
        EXPECT_GE(Clock::now() - silentAt, 45ms) << "not before the bound";
        EXPECT_EQ(guard.Block().fired.load(), 1u);
        EXPECT_TRUE(pty.Silent(200ms)) << "one zero per silence";

        owner.beating = true;  // resumes, then falls silent again
        std::this_thread::sleep_for(100ms);
        owner.beating = false;
        EXPECT_EQ(pty.Take(ZeroForce.size(), 2000ms), ZeroForce);
        EXPECT_EQ(guard.Block().fired.load(), 2u);
    }
    // A release while armed and silent: the guard leaves without a word and is reaped.
    const pid_t pid = guard.Pid();
    guard.Release();
    EXPECT_TRUE(Gone(pid)) << "reaped, no zombie";
    EXPECT_TRUE(pty.Silent(200ms));
}

TEST_F(GuardTest, AnOwnerThatDiesLeavesAZeroForceRequestBehind) {
    // The owner is a process of its own that makes its guard, says so and is killed.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t owner = ::fork();
    ASSERT_GE(owner, 0);
    if (owner == 0) {
        Guard guard(port, std::chrono::nanoseconds(Bound));
        const char yes = 1;
        [[maybe_unused]] const ssize_t n = ::write(ready[1], &yes, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char yes = 0;
    ASSERT_EQ(::read(ready[0], &yes, 1), 1);
    ::close(ready[0]);
    EXPECT_TRUE(pty.Silent(100ms)) << "a guard with a live, unarmed owner writes nothing";
    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
    EXPECT_EQ(pty.Take(ZeroForce.size(), 2000ms), ZeroForce);
    EXPECT_TRUE(pty.Silent(100ms));
}

TEST_F(GuardTest, AProcessForkedFromTheOwnerCannotReleaseIt) {
    Guard guard(port, std::chrono::nanoseconds(Bound));
    Owner owner(guard.Block());
    // A fork of the owner (a worker of a multiprocessing pool, say) ends as the owner would.
    const pid_t copy = ::fork();
    ASSERT_GE(copy, 0);
    if (copy == 0) {
        guard.Release();
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(copy, nullptr, 0), copy);
    owner.beating = false;
    EXPECT_EQ(pty.Take(ZeroForce.size(), 2000ms), ZeroForce) << "the owner is guarded still";
}
