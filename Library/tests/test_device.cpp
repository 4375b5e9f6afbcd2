// Message framing: the device's buffers, its write and read primitives, their reports and the
// reply pattern shared by the arm's receive operations.
#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/Devices/Device.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>

using Tamro::HardwareAPI::Devices::Device;
using Tamro::HardwareAPI::IO::SerialStream;
using TamroTest::Attached;
using TamroTest::Bytes;
using TamroTest::Concat;
using TamroTest::FloatBytes;
using TamroTest::PtyPair;
using TamroTest::ScriptedBuffer;
using TamroTest::SecondsSince;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Clock = std::chrono::steady_clock;

namespace {

Bytes InputStart(const Device& device, std::size_t count) {
    return Bytes(device.InputBuffer(), device.InputBuffer() + count);
}

}  // namespace

TEST(Device, NewDeviceHasZeroedBuffersAndTouchesNothing) {
    Attached<Device> a;
    ASSERT_TRUE(a.pty.Feed({0x77}));
    Device& device = *a.device;
    std::uint8_t* out = device.OutputBuffer();
    const std::uint8_t* in = device.InputBuffer();
    for (std::size_t i = 0; i < Device::BufferSize; ++i) {
        ASSERT_EQ(out[i], 0) << "output byte " << i;
        ASSERT_EQ(in[i], 0) << "input byte " << i;
    }
    EXPECT_TRUE(a.pty.Silent());
    EXPECT_EQ(device.ReadHeaderCode(), 0x77);  // construction read nothing
}

TEST(Device, SendFloatsWritesTheCodeAndTheFloatsInOneMessage) {
    struct Case {
        const char* name;
        std::uint8_t code;
        std::vector<float> values;
        Bytes expected;
    };
    std::vector<float> many(255);
    Bytes manySent{26};
    for (std::size_t i = 0; i < many.size(); ++i) {
        many[i] = static_cast<float>(i);
        manySent = Concat(manySent, FloatBytes({many[i]}));
    }
    const std::vector<Case> cases = {
        {"three floats",
         42,
         {1.0f, 2.0f, 3.0f},
         {0x2A, 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40}},
        {"no floats", 44, {}, {0x2C}},
        {"the most floats, 1021 bytes", 26, many, manySent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Attached<Device> a;
        const std::int32_t count = static_cast<std::int32_t>(c.values.size());
        a.device->SendFloats(c.code, c.values.data(), count);
        EXPECT_EQ(a.pty.Take(c.expected.size()), c.expected);
        EXPECT_TRUE(a.pty.Silent());
    }
}

TEST(Device, PayloadOverwritesTheHeaderCodeInTheInputBuffer) {
    Attached<Device> a;
    const Bytes payload = FloatBytes({0.5f, -1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
    ASSERT_TRUE(a.pty.Feed(Concat({0x2B}, payload)));
    EXPECT_EQ(a.device->ReadHeaderCode(), 0x2B);
    EXPECT_EQ(a.device->InputBuffer()[0], 0x2B);
    EXPECT_EQ(a.device->ReadBytes(24), 24);
    EXPECT_EQ(InputStart(*a.device, 24), payload);
    EXPECT_TRUE(a.stream->good());
}

// Two silent devices wait side by side, so the group costs one time-out.
TEST(Device, TimedOutReadsAreQuietAndPoisonTheStream) {
    CaptureStderr();
    auto silent = std::async(std::launch::async, [] {
        Attached<Device> a;
        auto start = Clock::now();
        EXPECT_EQ(a.device->ReadHeaderCode(), 0);
        const double took = SecondsSince(start);
        EXPECT_GE(took, 0.9);
        EXPECT_LT(took, 3.0);

        // From now on everything fails at once and quietly, and nothing is sent.
        ASSERT_TRUE(a.pty.Feed({0x2B, 1, 2, 3}));
        start = Clock::now();
        EXPECT_EQ(a.device->ReadHeaderCode(), 0);
        EXPECT_EQ(a.device->ReadBytes(3), 0);
        a.device->OutputBuffer()[0] = 0x0A;
        a.device->WriteBytes(1);
        EXPECT_LT(SecondsSince(start), 0.5);
        EXPECT_TRUE(a.pty.Silent());
        EXPECT_EQ(a.pty.PendingInput(), 4);
    });
    auto partial = std::async(std::launch::async, [] {
        Attached<Device> a;
        ASSERT_TRUE(a.pty.Feed({1, 2, 3, 4, 5}));
        EXPECT_EQ(a.device->ReadBytes(21), 0);
        EXPECT_EQ(InputStart(*a.device, 6), (Bytes{1, 2, 3, 4, 5, 0}));
        EXPECT_EQ(a.stream->rdstate(), std::ios::eofbit | std::ios::failbit);
    });
    silent.get();
    partial.get();
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(Device, RefusedWriteIsReportedAndEveryLaterOperationReportsAgain) {
    Attached<Device> a;
    a.pty.HangUp();  // the port now refuses writes with EIO
    const float force[3] = {1.0f, 2.0f, 3.0f};

    CaptureStderr();
    a.device->SendFloats(42, force, 3);
    EXPECT_EQ(GetCapturedStderr(),
              "[err] Library/src/Device:39> unable to write '13' bytes to stream: [5] "
              "Input/output error\n");
    EXPECT_TRUE(a.stream->bad());
    EXPECT_FALSE(a.stream->eof());

    // Each report carries errno as it stands when the failure is examined.
    CaptureStderr();
    errno = ETIMEDOUT;
    EXPECT_EQ(a.device->ReadHeaderCode(), 0);
    errno = EAGAIN;
    EXPECT_EQ(a.device->ReadBytes(24), 0);
    errno = EPIPE;
    a.device->WriteBytes(1);
    const auto text = [](int e) { return std::to_string(e) + "] " + std::strerror(e) + "\n"; };
    EXPECT_EQ(
        GetCapturedStderr(),
        "[err] Library/src/Device:49> unable to read header code from stream: [" + text(ETIMEDOUT) +
            "[err] Library/src/Device:60> unable to read '24' bytes from stream: [" + text(EAGAIN) +
            "[err] Library/src/Device:39> unable to write '1' bytes to stream: [" + text(EPIPE));
}

TEST(Device, UnexpectedCodeDiscardsExactly1024Bytes) {
    Attached<Device> a;
    const Bytes payload = FloatBytes({1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f});
    ASSERT_TRUE(a.pty.Feed(Concat(Concat({0x99}, Bytes(1024, 0x55)), Concat({0x2B}, payload))));
    EXPECT_FALSE(a.device->ReceiveReply(0x2B, 24));
    EXPECT_TRUE(a.stream->good());  // all 1024 arrived: no time-out
    EXPECT_TRUE(a.device->ReceiveReply(0x2B, 24));
    EXPECT_EQ(InputStart(*a.device, 24), payload);
}

TEST(Device, ReplyPatternIssuesTheReadsOfItsCase) {
    struct Case {
        const char* name;
        Bytes script;
        bool complete;
        std::vector<std::streamsize> reads;
    };
    const Bytes payload = FloatBytes({1, 2, 3, 4, 5, 6});
    const std::vector<Case> cases = {
        {"complete reply", Concat({43}, payload), true, {1, 24}},
        {"short payload: no discard", Concat({43}, Bytes(10, 7)), false, {1, 24}},
        {"unexpected code: one discard read", Concat({27}, payload), false, {1, 1024}},
        // The header read leaves the stream failed, so the discard never reaches the port.
        {"nothing at all", {}, false, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedBuffer buffer(c.script);
        std::iostream stream(&buffer);
        Device device(&stream);
        CaptureStderr();
        EXPECT_EQ(device.ReceiveReply(43, 24), c.complete);
        EXPECT_EQ(GetCapturedStderr(), "");
        EXPECT_EQ(buffer.reads, c.reads);
        EXPECT_TRUE(buffer.written.empty());
        if (c.complete) {
            EXPECT_EQ(InputStart(device, 24), payload);
        }
    }
}
