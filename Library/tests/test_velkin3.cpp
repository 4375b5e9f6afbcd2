// The arm: the bytes of every request, the decoding of every reply and of the device info,
// and the outputs left alone (or zero) when no complete reply arrives.
#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <future>

using Tamro::HardwareAPI::UUID;
using Tamro::HardwareAPI::Devices::DeviceInfo;
using Tamro::HardwareAPI::Devices::StateVectors;
using Tamro::HardwareAPI::Devices::Vector3;
using Tamro::HardwareAPI::Devices::Velkin3;
using Tamro::HardwareAPI::IO::SerialStream;
using TamroTest::Attached;
using TamroTest::Bytes;
using TamroTest::Concat;
using TamroTest::ExpectSendWrites;
using TamroTest::FloatBytes;
using TamroTest::PtyPair;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

const float OneTwoThree[3] = {1.0f, 2.0f, 3.0f};
const Bytes OneTwoThreeBytes = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00,
                                0x00, 0x40, 0x00, 0x00, 0x40, 0x40};
const Bytes StatePayload = FloatBytes({0.1f, 0.2f, 0.3f, 0.0f, 0.0f, -1.0f});
const Vector3 StatePosition = {0.1f, 0.2f, 0.3f};
const Vector3 StateVelocity = {0.0f, 0.0f, -1.0f};

// The wake-up reply: id 0x1234, model 4, hardware 2, firmware 7, uuid bytes 00 to 0F.
Bytes DeviceInfoReply() {
    Bytes reply = {0x0B, 0x34, 0x12, 0x04, 0x02, 0x07};
    for (std::uint8_t i = 0; i < 16; ++i) reply.push_back(i);
    return reply;
}

Bytes Prefix(const Bytes& bytes, std::size_t count) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

UUID CountingUuid() {
    UUID uuid;
    for (std::uint8_t i = 0; i < 16; ++i) uuid.data[i] = i;
    return uuid;
}

}  // namespace

TEST(Velkin3, EachRequestWritesItsBytesAndReadsNothing) {
    struct Case {
        const char* name;
        std::function<void(Velkin3&)> send;
        Bytes expected;
    };
    const float position[3] = {0.1f, -0.05f, 0.2f};
    const std::vector<Case> cases = {
        {"SendPosition",
         [&](Velkin3& a) { a.SendPosition(position); },
         {0x2C, 0xCD, 0xCC, 0xCC, 0x3D, 0xCD, 0xCC, 0x4C, 0xBD, 0xCD, 0xCC, 0x4C, 0x3E}},
        {"SendForce", [](Velkin3& a) { a.SendForce(OneTwoThree); },
         Concat({0x2A}, OneTwoThreeBytes)},
        {"SendJointTorques", [](Velkin3& a) { a.SendJointTorques(OneTwoThree); },
         Concat({0x1A}, OneTwoThreeBytes)},
        {"SendAngle", [](Velkin3& a) { a.SendAngle(OneTwoThree); },
         Concat({0x1C}, OneTwoThreeBytes)},
        {"RequestCurrent", [](Velkin3& a) { a.RequestCurrent(); }, {0xAB}},
        {"SendDeviceWakeup", [](Velkin3& a) { a.SendDeviceWakeup(); }, {0x0A}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExpectSendWrites<Velkin3>(c.send, c.expected);
    }
}

TEST(Velkin3, ExchangesSendTheRequestAndDecodeTheReply) {
    using Exchange = StateVectors (Velkin3::*)(const float*);
    struct Case {
        const char* name;
        Exchange exchange;
        std::uint8_t requestCode;
        std::uint8_t replyCode;
    };
    const Case cases[] = {
        {"end_effector_force", &Velkin3::end_effector_force, 42, 43},
        {"end_effector_position", &Velkin3::end_effector_position, 44, 43},
        {"joint_torques", &Velkin3::joint_torques, 26, 27},
        {"joint_angles", &Velkin3::joint_angles, 28, 27},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Attached<Velkin3> a;
        auto request = a.pty.AnswerAfter(13, Concat({c.replyCode}, StatePayload));
        const auto start = std::chrono::steady_clock::now();
        const StateVectors state = ((*a.device).*c.exchange)(OneTwoThree);
        // The complete reply ends the reads, long before their time-out.
        EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  0.5);
        EXPECT_EQ(request.get(), Concat({c.requestCode}, OneTwoThreeBytes));
        EXPECT_EQ(state.position, StatePosition);
        EXPECT_EQ(state.velocity, StateVelocity);
        EXPECT_TRUE(a.stream->good());
    }
}

TEST(Velkin3, ReceiveOperationsWriteExactlyThreeValuesPerOutput) {
    Attached<Velkin3> a;
    Velkin3& arm = *a.device;
    const Bytes joints = FloatBytes({-1.5f, 2.5f, 3.5f, 10.0f, 20.0f, 30.0f});

    arm.SendForce(OneTwoThree);
    ASSERT_EQ(a.pty.Take(13).size(), 13u);
    ASSERT_TRUE(a.pty.Feed(Concat({43}, StatePayload)));
    float position[4] = {9, 9, 9, 7};
    float velocity[4] = {8, 8, 8, 7};
    arm.ReceiveState(position, velocity);
    EXPECT_EQ((std::array<float, 4>{position[0], position[1], position[2], position[3]}),
              (std::array<float, 4>{0.1f, 0.2f, 0.3f, 7}));
    EXPECT_EQ((std::array<float, 4>{velocity[0], velocity[1], velocity[2], velocity[3]}),
              (std::array<float, 4>{0.0f, 0.0f, -1.0f, 7}));

    arm.SendAngle(OneTwoThree);
    ASSERT_EQ(a.pty.Take(13).size(), 13u);
    ASSERT_TRUE(a.pty.Feed(Concat({27}, joints)));
    arm.ReceiveJointState(position, velocity);
    EXPECT_EQ((std::array<float, 4>{position[0], position[1], position[2], position[3]}),
              (std::array<float, 4>{-1.5f, 2.5f, 3.5f, 7}));
    EXPECT_EQ((std::array<float, 4>{velocity[0], velocity[1], velocity[2], velocity[3]}),
              (std::array<float, 4>{10.0f, 20.0f, 30.0f, 7}));

    arm.RequestCurrent();
    EXPECT_EQ(a.pty.Take(1), Bytes{0xAB});
    ASSERT_TRUE(a.pty.Feed(Concat({0xAB}, FloatBytes({0.25f, -0.5f, 4.0f}))));
    float current[4] = {5, 5, 5, 7};
    arm.ReceiveCurrent(current);
    EXPECT_EQ((std::array<float, 4>{current[0], current[1], current[2], current[3]}),
              (std::array<float, 4>{0.25f, -0.5f, 4.0f, 7}));
    EXPECT_EQ(a.pty.PendingInput(), 0);
}

TEST(Velkin3, DeviceInfoReplyIsDecodedInEveryForm) {
    {
        Attached<Velkin3> a;
        auto request = a.pty.AnswerAfter(1, DeviceInfoReply());
        const DeviceInfo info = a.device->device_wakeup();
        EXPECT_EQ(request.get(), Bytes{0x0A});
        EXPECT_EQ(info.device_id, 0x1234);
        EXPECT_EQ(info.device_model_number, 4);
        EXPECT_EQ(info.hardware_version, 2);
        EXPECT_EQ(info.firmware_version, 7);
        EXPECT_EQ(info.uuid.bytes(), CountingUuid().bytes());
    }
    {
        Attached<Velkin3> a;
        ASSERT_TRUE(a.pty.Feed(DeviceInfoReply()));
        std::uint16_t id = 1;
        std::uint8_t model = 2, hardware = 3, firmware = 4;
        UUID uuid;
        uuid.data.fill(0xEE);
        a.device->ReceiveDeviceInfo(id, model, hardware, firmware, uuid);
        EXPECT_EQ(id, 0x1234);
        EXPECT_EQ(model, 4);
        EXPECT_EQ(hardware, 2);
        EXPECT_EQ(firmware, 7);
        EXPECT_EQ(uuid.bytes(), CountingUuid().bytes());
        EXPECT_TRUE(a.pty.Silent());  // receiving sends nothing
    }
}

// Every case waits for a reply that never completes; they run side by side so the group
// costs about one time-out.
TEST(Velkin3, IncompleteRepliesLeaveOutputsAsTheyWere) {
    struct Case {
        const char* name;
        std::size_t requestLength;  // the reply comes after this many request bytes
        Bytes reply;
        std::function<void(Velkin3&)> run;
    };
    const std::vector<Case> cases = {
        {"silent arm: receive operations keep their outputs, at once after the first",
         0,
         {},
         [](Velkin3& arm) {
             float position[3] = {9, 9, 9};
             float velocity[3] = {8, 8, 8};
             arm.ReceiveState(position, velocity);
             const auto afterTimeOut = std::chrono::steady_clock::now();
             arm.ReceiveJointState(position, velocity);
             float current[3] = {6, 6, 6};
             arm.ReceiveCurrent(current);
             EXPECT_EQ((Vector3{position[0], position[1], position[2]}), (Vector3{9, 9, 9}));
             EXPECT_EQ((Vector3{velocity[0], velocity[1], velocity[2]}), (Vector3{8, 8, 8}));
             EXPECT_EQ((Vector3{current[0], current[1], current[2]}), (Vector3{6, 6, 6}));
             std::uint16_t id = 1;
             std::uint8_t model = 2, hardware = 3, firmware = 4;
             UUID uuid = CountingUuid();
             arm.ReceiveDeviceInfo(id, model, hardware, firmware, uuid);
             EXPECT_EQ(id, 1);
             EXPECT_EQ(model, 2);
             EXPECT_EQ(hardware, 3);
             EXPECT_EQ(firmware, 4);
             EXPECT_EQ(uuid.bytes(), CountingUuid().bytes());
             const StateVectors state = arm.end_effector_force(OneTwoThree);
             EXPECT_EQ(state.position, (Vector3{}));
             EXPECT_EQ(state.velocity, (Vector3{}));
             EXPECT_LT(
                 std::chrono::duration<double>(std::chrono::steady_clock::now() - afterTimeOut)
                     .count(),
                 0.5);
         }},
        {"joint_angles answered by an end-effector state: input discarded, zeros", 13,
         Concat({43}, StatePayload),
         [](Velkin3& arm) {
             const StateVectors state = arm.joint_angles(OneTwoThree);
             EXPECT_EQ(state.position, (Vector3{}));
             EXPECT_EQ(state.velocity, (Vector3{}));
         }},
        {"joint_torques answered by 10 of 24 payload bytes: zeros", 13,
         Concat({27}, Prefix(StatePayload, 10)),
         [](Velkin3& arm) {
             const StateVectors state = arm.joint_torques(OneTwoThree);
             EXPECT_EQ(state.position, (Vector3{}));
             EXPECT_EQ(state.velocity, (Vector3{}));
         }},
        {"device_wakeup answered by a handle's status message: input discarded, zeros", 1,
         Concat({0xDA}, Bytes(21, 0x11)),
         [](Velkin3& arm) {
             const DeviceInfo info = arm.device_wakeup();
             EXPECT_EQ(info.device_id, 0);
             EXPECT_EQ(info.device_model_number, 0);
             EXPECT_EQ(info.hardware_version, 0);
             EXPECT_EQ(info.firmware_version, 0);
             EXPECT_EQ(info.uuid.bytes(), UUID().bytes());
         }},
        {"device info cut short: the arguments come back unchanged", 1,
         Prefix(DeviceInfoReply(), 12),
         [](Velkin3& arm) {
             arm.SendDeviceWakeup();
             std::uint16_t id = 5;
             std::uint8_t model = 6, hardware = 7, firmware = 8;
             UUID uuid;
             arm.ReceiveDeviceInfo(id, model, hardware, firmware, uuid);
             EXPECT_EQ(id, 5);
             EXPECT_EQ(model, 6);
             EXPECT_EQ(hardware, 7);
             EXPECT_EQ(firmware, 8);
             EXPECT_EQ(uuid.bytes(), UUID().bytes());
         }},
    };

    CaptureStderr();
    std::vector<std::future<void>> runs;
    runs.reserve(cases.size());
    for (const Case& c : cases) {
        runs.push_back(std::async(std::launch::async, [&c] {
            SCOPED_TRACE(c.name);
            Attached<Velkin3> a;
            std::future<Bytes> request;
            if (c.requestLength > 0) request = a.pty.AnswerAfter(c.requestLength, c.reply);
            c.run(*a.device);
            if (request.valid()) {
                EXPECT_EQ(request.get().size(), c.requestLength);
            }
            // Whatever the arm sent has been taken off the port: read or discarded.
            EXPECT_EQ(a.pty.PendingInput(), 0);
            EXPECT_EQ(a.stream->rdstate(), std::ios::eofbit | std::ios::failbit);
        }));
    }
    for (auto& run : runs) run.get();
    EXPECT_EQ(GetCapturedStderr(), "");
}

// Which reads an exchange issues, without a port's time-out: a wrong code is followed by one
// discard read, a short payload by none.
TEST(Velkin3, OnlyAnUnexpectedCodeIsFollowedByADiscardRead) {
    using Exchange = StateVectors (Velkin3::*)(const float*);
    struct Case {
        const char* name;
        Exchange exchange;
        Bytes script;
        std::vector<std::streamsize> reads;
    };
    const Case cases[] = {
        {"joint_torques, payload cut at 10 bytes",
         &Velkin3::joint_torques,
         Concat({27}, Prefix(StatePayload, 10)),
         {1, 24}},
        {"joint_angles answered by an end-effector state",
         &Velkin3::joint_angles,
         Concat({43}, StatePayload),
         {1, 1024}},
        {"end_effector_position answered completely",
         &Velkin3::end_effector_position,
         Concat({43}, StatePayload),
         {1, 24}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TamroTest::ScriptedBuffer buffer(c.script);
        std::iostream stream(&buffer);
        Velkin3 arm(&stream);
        (arm.*c.exchange)(OneTwoThree);
        EXPECT_EQ(buffer.reads, c.reads);
        EXPECT_EQ(buffer.written.size(), 13u);
    }
}
