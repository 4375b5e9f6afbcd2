// The handle reader against a fake handle: statuses, events, user data on the wire between
// requests, what it does with short and unknown messages, and how it gives up.
#include "FakeDevices.hpp"

#include <Tamro/HardwareAPI/Control/HandleReader.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

using namespace Tamro::HardwareAPI::Control;
using TamroTest::Bytes;
using TamroTest::FakeHandle;
using TamroTest::SecondsSince;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

namespace Messages = Tamro::HardwareAPI::Devices::Messages;

HandleReaderOptions Fast(double rateHz = 1000) {
    HandleReaderOptions options;
    options.rateHz = rateHz;
    return options;
}

bool WaitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout = 5000ms) {
    const auto end = Clock::now() + timeout;
    while (!ready()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(HandleReader, WakesThenReadsStatusAfterStatus) {
    FakeHandle handle;
    ASSERT_TRUE(handle.Opened());
    HandleReader reader(handle.Path(), Fast());
    EXPECT_EQ(reader.Info().device_id, 0x1234);
    EXPECT_EQ(reader.Info().tool_data_remaining, 9);
    EXPECT_EQ(reader.Info().firmware_version, 6);
    ASSERT_TRUE(WaitUntil([&] { return reader.Latest().count >= 20; }));
    const HandleStatus status = reader.Latest();
    // The counting fake's status n carries Hall level n and w = n / 1000.
    const std::size_t n = status.count - 1;
    EXPECT_EQ(status.hallEffectSensorLevel, n % 256);
    EXPECT_FLOAT_EQ(status.quaternion[0], static_cast<float>(n) / 1000);
    EXPECT_EQ(status.deviceId, 0x1234);
    EXPECT_GT(status.time, 0);
    reader.Close();
    EXPECT_FALSE(reader.Running());
    const HandleReaderStats stats = reader.Stats();
    EXPECT_GE(stats.messages, 20u);
    EXPECT_EQ(stats.failedRequests, 0u);
    EXPECT_GT(stats.latencyP50Us, 0);
}

TEST(HandleReader, InformationAndErrorMessagesBecomeEventsInOrder) {
    FakeHandle handle([](std::size_t n) -> std::optional<Bytes> {
        const Bytes status = *FakeHandle::Counting(n);
        if (n == 3) return TamroTest::Concat(TamroTest::HandleErrorMessage(7), status);
        if (n == 4)
            return TamroTest::Concat(
                TamroTest::Concat(TamroTest::HandleInfoMessage(), TamroTest::HandleErrorMessage(8)),
                status);
        return status;
    });
    HandleReader reader(handle.Path(), Fast());
    ASSERT_TRUE(WaitUntil([&] { return reader.Latest().count >= 6; }));
    HandleEvent events[8];
    const std::size_t count = reader.DrainEvents(events, 8);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(events[0].kind, HandleEvent::Kind::Error);
    EXPECT_EQ(events[0].error.error_code, 7);
    EXPECT_EQ(events[1].kind, HandleEvent::Kind::Info);
    EXPECT_EQ(events[1].info.hardware_version, 5);
    EXPECT_EQ(events[2].error.error_code, 8);
    EXPECT_LE(events[0].time, events[2].time);
    EXPECT_EQ(reader.DrainEvents(events, 8), 0u);
    EXPECT_EQ(reader.Stats().failedRequests, 0u);
}

TEST(HandleReader, UserDataLeavesWholeBetweenTwoRequests) {
    FakeHandle handle;
    HandleReader reader(handle.Path(), Fast(0));  // as fast as it answers: requests keep coming
    ASSERT_TRUE(handle.WaitForRequests(10));
    const Bytes data = {0xAA, 0xBB, 0xCC};
    for (int i = 0; i < 50; ++i) ASSERT_TRUE(reader.SendUserData(data.data(), data.size()));
    const Bytes none;
    ASSERT_TRUE(reader.SendUserData(none.data(), 0));
    ASSERT_TRUE(WaitUntil([&] {
        std::size_t states = 0;
        for (const Bytes& m : handle.Received()) states += m[0] == Messages::HandleState;
        return states == 51;
    }));
    reader.Close();
    // The fake cuts the stream into messages by their codes and lengths: every message is
    // one the reader writes, whole, so nothing was interleaved.
    std::size_t states = 0;
    for (const Bytes& m : handle.Received()) {
        if (m[0] == Messages::HandleState) {
            const Bytes expected = states < 50 ? Bytes{0xDB, 0x34, 0x12, 3, 0xAA, 0xBB, 0xCC}
                                               : Bytes{0xDB, 0x34, 0x12, 0};
            EXPECT_EQ(m, expected);
            ++states;
        } else {
            EXPECT_TRUE(m == Bytes{Messages::HandleStatus} || m == Bytes{Messages::DeviceWakeup})
                << "unexpected byte " << int(m[0]);
        }
    }
    Bytes tooLong(256, 0);
    EXPECT_THROW(reader.SendUserData(tooLong.data(), tooLong.size()), std::invalid_argument);
    EXPECT_FALSE(reader.SendUserData(data.data(), data.size())) << "a closed reader sends nothing";
}

TEST(HandleReader, UnknownCodesAreCountedAndAShortStatusIsForgivenOnce) {
    FakeHandle handle([](std::size_t n) -> std::optional<Bytes> {
        const Bytes status = *FakeHandle::Counting(n);
        if (n == 2) return TamroTest::Concat({0x0B, 0x0C}, status);     // two stray bytes first
        if (n == 5) return Bytes(status.begin(), status.begin() + 10);  // cut short
        return status;
    });
    HandleReaderOptions options = Fast();
    options.faultTimeout = 30ms;
    HandleReader reader(handle.Path(), options);
    ASSERT_TRUE(WaitUntil([&] { return reader.Latest().count >= 10; }));
    EXPECT_TRUE(reader.Running());
    const HandleReaderStats stats = reader.Stats();
    EXPECT_EQ(stats.unknownCodes, 2u);
    EXPECT_EQ(stats.failedRequests, 1u);
}

TEST(HandleReader, ASilentHandleLatchesAFaultInTime) {
    std::atomic<bool> silent{false};
    FakeHandle handle([&](std::size_t n) -> std::optional<Bytes> {
        if (silent) return std::nullopt;
        return FakeHandle::Counting(n);
    });
    HandleReaderOptions options = Fast(200);
    options.faultTimeout = 40ms;
    HandleReader reader(handle.Path(), options);
    ASSERT_TRUE(WaitUntil([&] { return reader.Latest().count >= 3; }));
    const auto silenced = Clock::now();
    silent = true;
    ASSERT_TRUE(WaitUntil([&] { return reader.LatchedFault().has_value(); }));
    EXPECT_LT(SecondsSince(silenced), 3 * (0.040 + 0.005) + 0.5);
    EXPECT_FALSE(reader.Running());
    const Fault fault = *reader.LatchedFault();
    EXPECT_EQ(fault.error, ETIMEDOUT);
    EXPECT_NE(fault.message.find("3 failures in a row"), std::string::npos) << fault.message;
}

TEST(HandleReader, OpeningFailsWithTheErrorOfThePortOrOfTheWakeUp) {
    try {
        HandleReader reader("/dev/tamro-no-such-port");
        ADD_FAILURE() << "opened";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOENT);
    }
    FakeHandle mute(FakeHandle::Counting, /*answerWakeUp=*/false);
    try {
        HandleReader reader(mute.Path(), Fast());
        ADD_FAILURE() << "woke";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ETIMEDOUT);
    }
}

TEST(HandleReader, RecordsEveryStatus) {
    FakeHandle handle;
    HandleReader reader(handle.Path(), Fast(0));
    // Statuses read before recording starts are not recorded; a slow (sanitized) run may read many.
    const auto before = reader.Latest().count;
    reader.Record(10000);
    ASSERT_TRUE(WaitUntil([&] { return reader.Latest().count >= before + 100; }));
    reader.Close();
    std::vector<HandleRecord> records(reader.Pending());
    records.resize(reader.Drain(records.data(), records.size()));
    ASSERT_GE(records.size(), 50u);
    for (std::size_t i = 1; i < records.size(); ++i) {
        EXPECT_EQ(static_cast<std::uint8_t>(records[i].hallEffectSensorLevel -
                                            records[i - 1].hallEffectSensorLevel),
                  1)
            << "consecutive statuses";
        EXPECT_GE(records[i].time, records[i - 1].time);
    }
}

TEST(HandleReader, ALateHandleLatchesAndItsLatencyIsFromItsOwnRequest) {
    FakeHandle handle(FakeHandle::Counting, true, true,
                      [](std::size_t n) { return n < 30 ? 0ms : (n % 2 ? 60ms : 90ms); });
    HandleReaderOptions options = Fast(200);
    options.faultTimeout = 50ms;
    options.maxFaults = 3;
    HandleReader reader(handle.Path(), options);
    ASSERT_TRUE(handle.WaitForRequests(29));
    const auto began = std::chrono::steady_clock::now();
    while (reader.Running() && std::chrono::steady_clock::now() - began < 5s)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(reader.LatchedFault().has_value());
    EXPECT_EQ(reader.LatchedFault()->error, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 5 * 50ms + 500ms);
    EXPECT_GE(reader.Stats().latencyP99Us, 55000) << "from the request each status answers";
}

TEST(HandleReader, CloseIsQuickOnASilentHandle) {
    std::atomic<bool> silent{false};
    FakeHandle handle(
        [&](std::size_t n) { return silent ? std::nullopt : FakeHandle::Counting(n); });
    HandleReaderOptions options = Fast();
    options.faultTimeout = 1s;
    HandleReader reader(handle.Path(), options);
    ASSERT_TRUE(handle.WaitForRequests(3));
    silent = true;
    ASSERT_TRUE(handle.WaitForRequests(handle.StatusRequests() + 1));
    const auto began = std::chrono::steady_clock::now();
    reader.Close();
    EXPECT_LT(std::chrono::steady_clock::now() - began, 500ms);
}
