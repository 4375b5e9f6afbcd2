// The handle: request bytes, and Receive's dispatch of each reply to a native subclass's hooks,
// with short, unknown, missing and throwing cases.
#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <stdexcept>

using Tamro::HardwareAPI::Devices::Handle;
using Tamro::HardwareAPI::Devices::HandleErrorResponse;
using Tamro::HardwareAPI::Devices::HandleInfo;
using Tamro::HardwareAPI::Devices::HandleStatusMessage;
using Tamro::HardwareAPI::IO::SerialStream;
using TamroTest::Attached;
using TamroTest::Bytes;
using TamroTest::Concat;
using TamroTest::ExpectSendWrites;
using TamroTest::FloatBytes;
using TamroTest::PtyPair;
using TamroTest::SecondsSince;
using Clock = std::chrono::steady_clock;
using Calls = std::vector<std::string>;

namespace {

std::string StatusText(const char* hook, std::uint16_t id, const float* q, std::uint8_t error,
                       std::uint8_t hall, std::uint8_t length, const std::uint8_t* data) {
    char text[160];
    std::snprintf(text, sizeof text, "%s(id=%u q=%g,%g,%g,%g error=%u hall=%u n=%u data=", hook, id,
                  q[0], q[1], q[2], q[3], error, hall, length);
    std::string out = text;
    for (std::uint8_t i = 0; i < length; ++i) out += std::to_string(data[i]) + ";";
    return out + ")";
}

// Notes every hook call, in order, as text.
class RecordingHandle : public Handle {
public:
    using Handle::Handle;

    Calls calls;
    HandleStatusMessage lastStatus;

    void OnReceiveHandleInfoRecord(const HandleInfo& r) override {
        calls.push_back(Text("InfoRecord", r.tool_data_remaining, r.device_id,
                             r.device_model_number, r.hardware_version, r.firmware_version));
    }
    void OnReceiveHandleInfo(std::uint8_t tool, std::uint16_t id, std::uint8_t model,
                             std::uint8_t hardware, std::uint8_t firmware) override {
        calls.push_back(Text("Info", tool, id, model, hardware, firmware));
    }
    void OnReceiveHandleStatusRecord(const HandleStatusMessage& r) override {
        lastStatus = r;
        calls.push_back(StatusText("StatusRecord", r.device_id, r.quaternion.data(), r.error_flag,
                                   r.hall_effect_sensor_level, r.user_data_length,
                                   r.user_data.data()));
    }
    void OnReceiveHandleStatusMessage(std::uint16_t id, const float* q, std::uint8_t error,
                                      std::uint8_t hall, std::uint8_t length,
                                      const std::uint8_t* data) override {
        calls.push_back(StatusText("Status", id, q, error, hall, length, data));
    }
    void OnReceiveHandleErrorRecord(const HandleErrorResponse& r) override {
        calls.push_back("ErrorRecord(id=" + std::to_string(r.device_id) +
                        " code=" + std::to_string(r.error_code) + ")");
    }
    void OnReceiveHandleErrorResponse(std::uint16_t id, std::uint8_t code) override {
        calls.push_back("Error(id=" + std::to_string(id) + " code=" + std::to_string(code) + ")");
    }

private:
    static std::string Text(const char* hook, unsigned tool, unsigned id, unsigned model,
                            unsigned hardware, unsigned firmware) {
        char text[120];
        std::snprintf(text, sizeof text, "%s(tool=%u id=%u model=%u hw=%u fw=%u)", hook, tool, id,
                      model, hardware, firmware);
        return text;
    }
};

// A status message from handle 0x1234: error flag 1, sensor level 200, then the user data.
Bytes StatusMessage(const Bytes& userData) {
    Bytes message = {0xDA, 0x34, 0x12, 0x01, 0xC8};
    message = Concat(message, FloatBytes({0.5f, -0.25f, 1.0f, 0.0f}));
    message.push_back(static_cast<std::uint8_t>(userData.size()));
    return Concat(message, userData);
}

std::string Status(const char* hook, const std::string& data) {
    return std::string(hook) + "(id=4660 q=0.5,-0.25,1,0 error=1 hall=200 n=" + data + ")";
}

}  // namespace

TEST(Handle, RequestsWriteTheirBytes) {
    struct Case {
        const char* name;
        std::function<void(Handle&)> send;
        Bytes expected;
    };
    Bytes full(255);
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(255 - i);
    const std::vector<Case> cases = {
        {"SendDeviceWakeup", [](Handle& h) { h.SendDeviceWakeup(); }, {0x0A}},
        {"RequestStatus", [](Handle& h) { h.RequestStatus(); }, {0xDA}},
        {"SendHandleState with two bytes",
         [](Handle& h) {
             const std::uint8_t data[2] = {0xAA, 0xBB};
             h.SendHandleState(4660, 2, data);
         },
         {0xDB, 0x34, 0x12, 0x02, 0xAA, 0xBB}},
        {"SendHandleState with no data reads none",
         [](Handle& h) { h.SendHandleState(4660, 0, nullptr); },
         {0xDB, 0x34, 0x12, 0x00}},
        {"SendHandleState with 255 bytes",
         [&](Handle& h) { h.SendHandleState(0xFFFF, 255, full.data()); },
         Concat({0xDB, 0xFF, 0xFF, 0xFF}, full)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectSendWrites<Handle>(c.send, c.expected);
    }
}

TEST(Handle, EachReplyReachesItsHooksFieldWiseThenRecord) {
    struct Case {
        const char* name;
        Bytes message;
        std::int32_t result;
        Calls calls;
    };
    std::string ten = "10 data=";
    for (int i = 0; i < 10; ++i) ten += "238;";
    const std::vector<Case> cases = {
        {"status message with 10 bytes of user data",
         StatusMessage(Bytes(10, 0xEE)),
         31,
         {Status("Status", ten), Status("StatusRecord", ten)}},
        {"status message with 3 bytes of user data",
         StatusMessage({0xAA, 0xBB, 0xCC}),
         24,
         {Status("Status", "3 data=170;187;204;"), Status("StatusRecord", "3 data=170;187;204;")}},
        {"status message without user data",
         StatusMessage({}),
         21,
         {Status("Status", "0 data="), Status("StatusRecord", "0 data=")}},
        {"error response",
         {0xDF, 0x34, 0x12, 0x07},
         3,
         {"Error(id=4660 code=7)", "ErrorRecord(id=4660 code=7)"}},
        {"information message",
         {0xD0, 0x34, 0x12, 0x09, 0x04, 0x05, 0x06},
         6,
         {"Info(tool=9 id=4660 model=4 hw=5 fw=6)",
          "InfoRecord(tool=9 id=4660 model=4 hw=5 fw=6)"}},
    };
    // One stream carries every message back to back: each Receive takes exactly its own.
    Attached<RecordingHandle> a;
    Bytes all;
    for (const Case& c : cases) all = Concat(all, c.message);
    ASSERT_TRUE(a.pty.Feed(all));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        a.device->calls.clear();
        EXPECT_EQ(a.device->Receive(), c.result);
        EXPECT_EQ(a.device->calls, c.calls);
        if (c.result == 24) {
            // The input buffer still holds the earlier message's user data past byte 3; the
            // record's unused bytes are zero all the same.
            const auto& data = a.device->lastStatus.user_data;
            for (std::size_t i = 3; i < data.size(); ++i) ASSERT_EQ(data[i], 0) << "byte " << i;
        }
    }
    EXPECT_EQ(a.pty.PendingInput(), 0);
    EXPECT_TRUE(a.stream->good());
}

TEST(Handle, UnknownCodeReadsNothingMore) {
    Attached<RecordingHandle> a;
    ASSERT_TRUE(a.pty.Feed({0x0B, 0xDF, 0x34, 0x12, 0x07}));
    EXPECT_EQ(a.device->Receive(), -1);
    EXPECT_TRUE(a.device->calls.empty());
    // The byte after the unknown code is the next header code.
    EXPECT_EQ(a.device->Receive(), 3);
    EXPECT_EQ(a.device->calls, (Calls{"Error(id=4660 code=7)", "ErrorRecord(id=4660 code=7)"}));
}

TEST(Handle, PlainHandleConsumesMessagesSilently) {
    Attached<Handle> a;
    ASSERT_TRUE(
        a.pty.Feed(Concat({0xD0, 0x34, 0x12, 0x09, 0x04, 0x05, 0x06}, StatusMessage({1, 2}))));
    testing::internal::CaptureStderr();
    EXPECT_EQ(a.device->Receive(), 6);
    EXPECT_EQ(a.device->Receive(), 23);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(a.pty.PendingInput(), 0);
}

TEST(Handle, ThrowingHookLeavesReceiveBeforeTheRecordHook) {
    struct ThrowingHandle : RecordingHandle {
        using RecordingHandle::RecordingHandle;
        void OnReceiveHandleErrorResponse(std::uint16_t id, std::uint8_t code) override {
            RecordingHandle::OnReceiveHandleErrorResponse(id, code);
            throw std::runtime_error("hook failed");
        }
    };
    Attached<ThrowingHandle> a;
    ASSERT_TRUE(a.pty.Feed({0xDF, 0x34, 0x12, 0x07, 0xD0, 0x34, 0x12, 0x09, 0x04, 0x05, 0x06}));
    EXPECT_THROW(a.device->Receive(), std::runtime_error);
    EXPECT_EQ(a.device->calls, Calls{"Error(id=4660 code=7)"});
    // The failed message was consumed whole: the next Receive starts at the next message.
    a.device->calls.clear();
    EXPECT_EQ(a.device->Receive(), 6);
    EXPECT_EQ(a.device->calls.size(), 2u);
}

// Both cases wait for the time-out side by side.
TEST(Handle, MissingOrShortMessagesAfterTheTimeOut) {
    testing::internal::CaptureStderr();
    auto silent = std::async(std::launch::async, [] {
        Attached<RecordingHandle> a;
        auto start = Clock::now();
        EXPECT_EQ(a.device->Receive(), -1);
        const double took = SecondsSince(start);
        EXPECT_GE(took, 0.9);
        EXPECT_LT(took, 3.0);
        start = Clock::now();
        EXPECT_EQ(a.device->Receive(), -1);
        EXPECT_LT(SecondsSince(start), 0.5);
        EXPECT_TRUE(a.device->calls.empty());
    });
    auto cutShort = std::async(std::launch::async, [] {
        Attached<RecordingHandle> a;
        const Bytes message = StatusMessage({});
        ASSERT_TRUE(a.pty.Feed(Bytes(message.begin(), message.begin() + 11)));  // 10 of 21
        EXPECT_EQ(a.device->Receive(), 0);
        // Both hooks ran once, with the ten bytes that arrived and the new device's zeros.
        EXPECT_EQ(a.device->calls,
                  (Calls{"Status(id=4660 q=0.5,0,0,0 error=1 hall=200 n=0 data=)",
                         "StatusRecord(id=4660 q=0.5,0,0,0 error=1 hall=200 n=0 data=)"}));
        a.device->calls.clear();
        const auto start = Clock::now();
        EXPECT_EQ(a.device->Receive(), -1);
        EXPECT_LT(SecondsSince(start), 0.5);
        EXPECT_TRUE(a.device->calls.empty());
    });
    silent.get();
    cutShort.get();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}
