// ReportPort against fake devices on pseudo-terminals: what each kind of answer is reported
// as, the timed exchanges of an arm, and a failed open that prints nothing.
#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/PortReport.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <thread>

using namespace Tamro::HardwareAPI;
namespace Messages = Tamro::HardwareAPI::Devices::Messages;
using Tamro::HardwareAPI::Devices::Reply;
using TamroTest::Bytes;
using TamroTest::Concat;
using TamroTest::FloatBytes;
using TamroTest::PtyPair;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr auto ShortTimeout = std::chrono::milliseconds(150);

PortReportOptions Options(int exchanges = 100) {
    PortReportOptions options;
    options.readTimeout = ShortTimeout;
    options.exchanges = exchanges;
    return options;
}

Bytes ArmInfo(std::uint8_t model) {
    Bytes reply = {Messages::DeviceInfo, 0x34, 0x12, model, 0x02, 0x07};
    for (std::uint8_t i = 0; i < 16; ++i) reply.push_back(static_cast<std::uint8_t>(0xA0 + i));
    return reply;
}

Bytes State(float x) {
    return Concat({Messages::EndEffectorState}, FloatBytes({x, 0, 0, 0, 0, 0}));
}

// Plays an arm: answers the wake-up with its info, then `answered` force requests with a
// state; the requests after those get no answer.
std::thread PlayArm(PtyPair& pty, int answered) {
    return std::thread([&pty, answered] {
        if (pty.Take(1) != Bytes{Messages::DeviceWakeup}) return;
        pty.Feed(ArmInfo(Messages::Velkin3ModelNumber));
        for (int i = 0; i < answered; ++i) {
            const Bytes request = pty.Take(Messages::RequestLength);
            if (request.size() != Messages::RequestLength) return;
            pty.Feed(State(static_cast<float>(i)));
        }
    });
}

}  // namespace

TEST(PortReport, ArmIsIdentifiedAndItsExchangesTimed) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    std::thread arm = PlayArm(pty, 100);
    const PortReport report = ReportPort(pty.Path(), Options());
    arm.join();

    EXPECT_EQ(report.path, pty.Path());
    ASSERT_EQ(report.answer, PortAnswer::Velkin3);
    EXPECT_EQ(report.deviceInfo.device_id, 0x1234);
    EXPECT_EQ(report.deviceInfo.device_model_number, Messages::Velkin3ModelNumber);
    EXPECT_EQ(report.deviceInfo.hardware_version, 2);
    EXPECT_EQ(report.deviceInfo.firmware_version, 7);
    EXPECT_EQ(report.deviceInfo.uuid.data[0], 0xA0);
    EXPECT_EQ(report.deviceInfo.uuid.data[15], 0xAF);
    EXPECT_EQ(report.roundTrips.requested, 100);
    EXPECT_EQ(report.roundTrips.completed, 100);
    EXPECT_EQ(report.roundTrips.ended, Reply::Complete);
    EXPECT_GT(report.roundTrips.p50.count(), 0);
    EXPECT_LE(report.roundTrips.p50, report.roundTrips.p99);
    // The exchanges asked for no force: every request carried three zeros.
    EXPECT_TRUE(pty.Silent());
}

TEST(PortReport, ExchangesStopAtTheFirstMissingReply) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    std::thread arm = PlayArm(pty, 7);
    const PortReport report = ReportPort(pty.Path(), Options(20));
    arm.join();

    ASSERT_EQ(report.answer, PortAnswer::Velkin3);
    EXPECT_EQ(report.roundTrips.requested, 20);
    EXPECT_EQ(report.roundTrips.completed, 7);
    EXPECT_EQ(report.roundTrips.ended, Reply::Missing);
    // The eighth request went out and nothing after it.
    EXPECT_EQ(pty.Take(Messages::RequestLength, std::chrono::milliseconds(500)).size(),
              Messages::RequestLength);
    EXPECT_TRUE(pty.Silent());
}

TEST(PortReport, EachKindOfAnswer) {
    const Bytes status = Concat(Concat({Messages::HandleStatus, 0x02, 0x00, 0x01, 0x09},
                                       FloatBytes({1.0f, 0.0f, 0.5f, 0.0f})),
                                {3, 0x61, 0x62, 0x63});
    const Bytes modem = {'\r', '\n', 'O', 'K', '\r', '\n'};
    struct Case {
        const char* name;
        Bytes reply;
        PortAnswer answer;
        Bytes rawBytes;
    };
    const Case cases[] = {
        {"silent", {}, PortAnswer::Silence, {}},
        {"another arm model", ArmInfo(3), PortAnswer::OtherModel, {}},
        {"handle information",
         {Messages::HandleInfo, 0x02, 0x00, 90, 2, 1, 3},
         PortAnswer::HandleInfo,
         {}},
        {"handle status", status, PortAnswer::HandleStatus, {}},
        {"handle error", {Messages::HandleError, 0x02, 0x00, 0x05}, PortAnswer::HandleError, {}},
        {"device info cut short",
         {Messages::DeviceInfo, 0x34, 0x12, 4},
         PortAnswer::Truncated,
         {Messages::DeviceInfo}},
        {"handle status cut short",
         {Messages::HandleStatus, 0x02},
         PortAnswer::Truncated,
         {Messages::HandleStatus}},
        {"a modem", modem, PortAnswer::Other, modem},
        {"a flood", Bytes(64, 0x55), PortAnswer::Other, Bytes(16, 0x55)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        ASSERT_TRUE(pty.Open());
        auto request = pty.AnswerAfter(1, c.reply);
        const PortReport report = ReportPort(pty.Path(), Options());
        EXPECT_EQ(request.get(), Bytes{Messages::DeviceWakeup});
        EXPECT_EQ(report.answer, c.answer);
        EXPECT_EQ(report.rawBytes, c.rawBytes);
        EXPECT_EQ(report.openError, 0);
        EXPECT_EQ(report.roundTrips.requested, 0);
        EXPECT_TRUE(pty.Silent());  // no exchange follows anything but a Velkin3
        switch (c.answer) {
            case PortAnswer::OtherModel:
                EXPECT_EQ(report.deviceInfo.device_model_number, 3);
                EXPECT_EQ(report.deviceInfo.device_id, 0x1234);
                break;
            case PortAnswer::HandleInfo:
                EXPECT_EQ(report.handleInfo.device_id, 2);
                EXPECT_EQ(report.handleInfo.tool_data_remaining, 90);
                EXPECT_EQ(report.handleInfo.device_model_number, 2);
                EXPECT_EQ(report.handleInfo.firmware_version, 3);
                break;
            case PortAnswer::HandleStatus:
                EXPECT_EQ(report.handleStatus.device_id, 2);
                EXPECT_EQ(report.handleStatus.hall_effect_sensor_level, 9);
                EXPECT_EQ(report.handleStatus.quaternion[2], 0.5f);
                EXPECT_EQ(report.handleStatus.user_data_length, 3);
                EXPECT_EQ(report.handleStatus.user_data[2], 0x63);
                break;
            case PortAnswer::HandleError:
                EXPECT_EQ(report.handleError.device_id, 2);
                EXPECT_EQ(report.handleError.error_code, 5);
                break;
            default: break;
        }
    }
}

TEST(PortReport, FailedOpenGivesItsErrnoAndPrintsNothing) {
    CaptureStderr();
    const PortReport missing = ReportPort("/nonexistent/ttyACM9", Options());
    const PortReport directory = ReportPort("/", Options());
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(missing.answer, PortAnswer::NotOpened);
    EXPECT_EQ(missing.openError, ENOENT);
    EXPECT_EQ(directory.answer, PortAnswer::NotOpened);
    EXPECT_EQ(directory.openError, EISDIR);
}

TEST(PortReport, ReadTimeoutBoundsASilentPort) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    PortReportOptions options;
    options.readTimeout = std::chrono::milliseconds(300);
    const auto start = std::chrono::steady_clock::now();
    const PortReport report = ReportPort(pty.Path(), options);
    const double seconds = TamroTest::SecondsSince(start);
    EXPECT_EQ(report.answer, PortAnswer::Silence);
    EXPECT_GE(seconds, 0.25);
    EXPECT_LT(seconds, 0.9);  // one read time-out, not the streams' default second
}
