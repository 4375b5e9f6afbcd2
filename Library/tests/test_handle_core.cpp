// The handle reader's cycle logic on a scripted handle and a clock of the test's own: no port,
// no thread, no real time. The handle answers status request n after a delay the script gives,
// with n in its sensor level, so every published status shows which request it answers.
#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Control/HandleReader.hpp>

#include "Control/HandleCore.hpp"
#include "Control/HandleLink.hpp"
#include "ManualClock.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace Tamro::HardwareAPI::Control;
using namespace Tamro::HardwareAPI::Control::Detail;
using namespace std::chrono_literals;
using TamroTest::ManualClock;

namespace {

using Kind = HandleLinkEvent::Kind;

// How the handle answers status request n: after delay, or never (nullopt); cut short, or
// with an information message or error response before the status.
struct Reply {
    std::optional<Clock::duration> delay = 2ms;
    bool cutShort = false;
    std::optional<Kind> before;
};

class ScriptedHandle final : public HandleLink {
public:
    using Script = std::function<Reply(std::size_t n)>;

    ScriptedHandle(ManualClock& clock, Script script) : clock_(clock), script_(std::move(script)) {}

    std::function<void(std::size_t n)> onRequest;  // the test's chance to stop the reader
    std::vector<std::string> written;              // "request n" and "state <bytes>", in order
    int writeError = 0;

    int RequestStatus() noexcept override {
        if (writeError != 0) return writeError;
        const std::size_t n = requests_++;
        written.push_back("request " + std::to_string(n));
        const Reply reply = script_(n);
        if (reply.delay) {
            const Clock::time_point at = std::max(clock_.now + *reply.delay, last_);
            last_ = at;
            if (reply.before) pending_.push_back({at, *reply.before, n, false});
            pending_.push_back({at, Kind::Status, n, reply.cutShort});
        }
        if (onRequest) onRequest(n);
        return 0;
    }

    int SendState(std::uint16_t deviceId, std::uint8_t length,
                  const std::uint8_t* data) noexcept override {
        if (writeError != 0) return writeError;
        written.push_back("state " + std::to_string(deviceId) + " " +
                          std::string(reinterpret_cast<const char*>(data), length));
        return 0;
    }

    HandleLinkEvent Next(Clock::time_point until) noexcept override {
        HandleLinkEvent event;
        if (pending_.empty() || pending_.front().at > until) {
            clock_.now = std::max(clock_.now, until);
            event.at = clock_.now;
            event.why.error = ETIMEDOUT;
            return event;
        }
        const Pending message = pending_.front();
        pending_.pop_front();
        clock_.now = std::max(clock_.now, message.at);
        event.at = clock_.now;
        if (message.cutShort) {  // as the serial link does: what follows is dropped
            while (!pending_.empty() && pending_.front().at <= clock_.now) pending_.pop_front();
            event.why.Set(EPROTO, "status message cut short");
            return event;
        }
        event.kind = message.kind;
        event.status.device_id = 0x1234;
        event.status.hall_effect_sensor_level = static_cast<std::uint8_t>(message.tag);
        event.info.device_id = 0x1234;
        event.error.error_code = 7;
        return event;
    }

private:
    struct Pending {
        Clock::time_point at;
        Kind kind;
        std::size_t tag;
        bool cutShort;
    };

    ManualClock& clock_;
    Script script_;
    std::deque<Pending> pending_;
    Clock::time_point last_{};
    std::size_t requests_ = 0;
};

HandleReaderOptions Options(double rateHz = 200, int maxFaults = 3) {
    HandleReaderOptions o;
    o.rateHz = rateHz;
    o.faultTimeout = 50ms;
    o.maxFaults = maxFaults;
    return o;
}

// Runs the reader's cycles until request `last` has gone out (and its wait ended) or a fault.
void RunUntil(HandleCore& core, ScriptedHandle& handle, std::size_t last) {
    handle.onRequest = [&core, last](std::size_t n) {
        if (n == last) core.Flags().RequestStop();
    };
    core.Flags().Starting();
    core.Run();
}

}  // namespace

TEST(HandleCore, EachStatusAnswersItsOwnRequestAndItsLatencyCountsFromIt) {
    ManualClock clock;
    ScriptedHandle handle(clock, [](std::size_t) { return Reply{}; });
    HandleCore core(Options(), handle, clock, 0x1234);
    core.Recording().Start(100);
    const Clock::time_point start = clock.now;
    RunUntil(core, handle, 49);
    EXPECT_FALSE(core.Flags().Running());
    EXPECT_FALSE(core.Flags().LatchedFault().has_value());
    const HandleReaderStats stats = core.Stats();
    EXPECT_EQ(stats.messages, 50u);
    EXPECT_EQ(stats.failedRequests, 0u);
    EXPECT_NEAR(stats.latencyP50Us, 2000, 20);
    EXPECT_NEAR(stats.latencyP99Us, 2000, 20);
    EXPECT_NEAR(stats.rateHz, 200, 1);
    const HandleStatus latest = core.Latest();
    EXPECT_EQ(latest.count, 50u);
    EXPECT_EQ(latest.hallEffectSensorLevel, 49);
    // On the 200 Hz grid, each status 2 ms after its request.
    HandleRecord records[60];
    ASSERT_EQ(core.Recording().Drain(records, 60), 50u);
    for (std::size_t n = 0; n < 50; ++n) {
        EXPECT_EQ(records[n].hallEffectSensorLevel, n);
        EXPECT_NEAR(records[n].time - Seconds(start), 0.005 * static_cast<double>(n) + 0.002, 1e-9);
    }
}

TEST(HandleCore, ALateStatusIsCountedWhereItBelongsAndForgivesNothing) {
    ManualClock clock;
    // Request 3 is answered after 80 ms, past its 50 ms time-out; then the handle falls
    // silent for good from request 10.
    ScriptedHandle handle(clock, [](std::size_t n) {
        Reply reply;
        if (n == 3) reply.delay = 80ms;
        if (n >= 10) reply.delay.reset();
        return reply;
    });
    HandleCore core(Options(200, 3), handle, clock, 0x1234);
    RunUntil(core, handle, 1000);
    const auto fault = core.Flags().LatchedFault();
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error, ETIMEDOUT);
    EXPECT_NE(fault->message.find("no reply within 50 ms (3 failures in a row)"), std::string::npos)
        << fault->message;
    const HandleReaderStats stats = core.Stats();
    EXPECT_EQ(stats.messages, 10u) << "the late status still counts, for its own request";
    EXPECT_EQ(stats.failedRequests, 4u);
    // No request went out while the late one was owed: 0..3, then 4 after it came.
    EXPECT_EQ(handle.written[3], "request 3");
    EXPECT_EQ(handle.written[4], "request 4");
    // Request 10 failed, then the wait for its status, then request 11: it gave up.
    EXPECT_EQ(handle.written.size(), 12u);
}

TEST(HandleCore, MessagesBesideTheStatusAreQueuedAndACutShortOneLosesTheFraming) {
    ManualClock clock;
    ScriptedHandle handle(clock, [](std::size_t n) {
        Reply reply;
        if (n == 2) reply.before = Kind::Info;
        if (n == 4) reply.before = Kind::Error;
        if (n == 6) reply.before = Kind::Unknown;
        if (n == 8) reply.cutShort = true;
        return reply;
    });
    HandleCore core(Options(200, 1), handle, clock, 0x1234);
    RunUntil(core, handle, 1000);
    HandleEvent events[4];
    ASSERT_EQ(core.DrainEvents(events, 4), 2u);
    EXPECT_EQ(events[0].kind, HandleEvent::Kind::Info);
    EXPECT_EQ(events[0].info.device_id, 0x1234);
    EXPECT_EQ(events[1].kind, HandleEvent::Kind::Error);
    EXPECT_EQ(events[1].error.error_code, 7);
    EXPECT_LT(events[0].time, events[1].time);
    const HandleReaderStats stats = core.Stats();
    EXPECT_EQ(stats.unknownCodes, 1u);
    EXPECT_EQ(stats.messages, 8u);
    const auto fault = core.Flags().LatchedFault();
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error, EPROTO);
    EXPECT_NE(fault->message.find("cut short"), std::string::npos) << fault->message;
}

TEST(HandleCore, UserDataIsWrittenBetweenTwoReceivesAndAFailedWriteIsAPortError) {
    ManualClock clock;
    ScriptedHandle handle(clock, [](std::size_t) { return Reply{}; });
    HandleCore core(Options(200, 1), handle, clock, 0x1234);
    core.Flags().Starting();
    const std::string hello = "hello", bye = "bye";
    ASSERT_TRUE(core.SendUserData(reinterpret_cast<const std::uint8_t*>(hello.data()), 5));
    ASSERT_TRUE(core.SendUserData(reinterpret_cast<const std::uint8_t*>(bye.data()), 3));
    EXPECT_THROW(core.SendUserData(nullptr, 256), InvalidArgument);
    handle.onRequest = [&](std::size_t n) {
        if (n == 1) handle.writeError = EIO;
    };
    core.Run();
    ASSERT_GE(handle.written.size(), 4u);
    EXPECT_EQ(handle.written[0], "state 4660 hello");
    EXPECT_EQ(handle.written[1], "state 4660 bye");
    EXPECT_EQ(handle.written[2], "request 0");
    EXPECT_EQ(handle.written[3], "request 1");
    const auto fault = core.Flags().LatchedFault();
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->error, EIO);
    EXPECT_NE(fault->message.find("port error"), std::string::npos) << fault->message;
}
