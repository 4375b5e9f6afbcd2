// The serial stream: opening and its reports, the stream state after failures, and the
// port's descriptor being released with the stream.
#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

using Tamro::HardwareAPI::IO::SerialStream;
using TamroTest::Bytes;
using TamroTest::OpenDescriptors;
using TamroTest::PtyPair;
using TamroTest::SecondsSince;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Clock = std::chrono::steady_clock;

namespace {

std::string Report(unsigned line, const char* what, const char* path, int error) {
    return "[err] Library/src/SerialStream:" + std::to_string(line) + "> unable to open " + what +
           " '" + path + "': [" + std::to_string(error) + "] " + std::strerror(error) + "\n";
}

}  // namespace

TEST(SerialStream, PortThatCannotOpenReportsTwoLinesWithOneErrno) {
    struct Case {
        const char* path;
        const char* shown;
        int error;
    };
    const Case cases[] = {
        {"/nonexistent-tamro-dir/ttyACM7", "/nonexistent-tamro-dir/ttyACM7", ENOENT},
        {nullptr, "(null)", EFAULT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        CaptureStderr();
        auto reading = std::make_unique<SerialStream>(c.path, true);
        const std::string printed = GetCapturedStderr();
        EXPECT_EQ(printed,
                  Report(39, "port", c.shown, c.error) + Report(18, "stream", c.shown, c.error));
        EXPECT_FALSE(reading->IsOpen());

        // A usable object: its first read ends at once with end-of-file, its first write
        // sets badbit. Neither prints anything at this layer.
        CaptureStderr();
        char byte = 0;
        const auto start = Clock::now();
        reading->read(&byte, 1);
        EXPECT_LT(SecondsSince(start), 0.5);
        EXPECT_EQ(reading->rdstate(), std::ios::eofbit | std::ios::failbit);

        SerialStream writing(c.path, false);
        EXPECT_EQ(writing.OpenPort(), -2);
        EXPECT_TRUE(writing.good());  // installing the buffer reset the state
        writing.write("abc", 3);
        EXPECT_EQ(writing.rdstate(), std::ios::badbit);
        EXPECT_EQ(GetCapturedStderr(), Report(39, "port", c.shown, c.error));
    }
}

TEST(SerialStream, DeferredOpenPrintsAndOpensNothingUntilAsked) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    CaptureStderr();
    {
        SerialStream stream(pty.Path().c_str(), false);
        EXPECT_FALSE(stream.IsOpen());
        EXPECT_EQ(OpenDescriptors(pty.Path()), 1);  // the fake device's own only
        EXPECT_TRUE(stream.bad());                  // no buffer yet
    }
    SerialStream stream(pty.Path().c_str(), false);
    EXPECT_EQ(stream.OpenPort(), 1);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(OpenDescriptors(pty.Path()), 2);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(SerialStream, PathThatIsNotATerminalOpensSilently) {
    CaptureStderr();
    SerialStream stream("/dev/null", true);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_TRUE(stream.IsOpen());
    EXPECT_TRUE(stream.good());
    stream.write("abc", 3);
    EXPECT_TRUE(stream.good());
}

TEST(SerialStream, CarriesBytesBothWaysUnbuffered) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    SerialStream stream(pty.Path().c_str(), true);
    ASSERT_TRUE(stream.IsOpen());

    stream.write("\x2a\x0a\x0d", 3);  // no flush: nothing is ever buffered
    EXPECT_EQ(pty.Take(3), (Bytes{0x2A, 0x0A, 0x0D}));
    ASSERT_TRUE(pty.Feed({0x2B, 0x00, 0xFF}));
    char got[3] = {};
    stream.read(got, 3);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(stream.gcount(), 3);
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{0x2B, 0x00, 0xFF}));
}

TEST(SerialStream, DestroyingTheStreamReleasesThePortAtOnce) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    {
        SerialStream stream(pty.Path().c_str(), true);
        EXPECT_EQ(OpenDescriptors(pty.Path()), 2);
    }
    EXPECT_EQ(OpenDescriptors(pty.Path()), 1);

    // The node opens again at once and works.
    SerialStream again(pty.Path().c_str(), true);
    ASSERT_TRUE(again.IsOpen());
    again.write("\x0a", 1);
    EXPECT_EQ(pty.Take(1), Bytes{0x0A});

    again.ClosePort();
    EXPECT_FALSE(again.IsOpen());
    EXPECT_EQ(OpenDescriptors(pty.Path()), 1);
}

TEST(SerialStream, AfterATimeOutNothingIsWrittenAndReadsEndAtOnceQuietly) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    SerialStream stream(pty.Path().c_str(), true);
    ASSERT_TRUE(stream.IsOpen());

    CaptureStderr();
    char byte = 0;
    auto start = Clock::now();
    stream.read(&byte, 1);
    const double firstRead = SecondsSince(start);
    EXPECT_GE(firstRead, 0.9);
    EXPECT_LT(firstRead, 3.0);
    EXPECT_EQ(stream.rdstate(), std::ios::eofbit | std::ios::failbit);
    EXPECT_EQ(stream.gcount(), 0);

    stream.write("\x2a", 1);
    EXPECT_TRUE(pty.Silent());

    // A byte the device sends now is not taken: the stream stays failed.
    ASSERT_TRUE(pty.Feed({0x2B}));
    start = Clock::now();
    stream.read(&byte, 1);
    EXPECT_LT(SecondsSince(start), 0.5);
    EXPECT_EQ(stream.gcount(), 0);
    EXPECT_EQ(stream.rdstate(), std::ios::eofbit | std::ios::failbit);
    EXPECT_EQ(pty.PendingInput(), 1);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(SerialStream, AReplyLeftOnTheLineBeforeOpeningIsDiscarded) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    // An earlier program's unanswered reply, waiting before the port opens.
    ASSERT_TRUE(pty.Feed({0x2B, 1, 2, 3}));
    ASSERT_EQ(pty.PendingInput(), 4);

    SerialStream stream(pty.Path().c_str(), true, std::chrono::milliseconds(100));
    ASSERT_TRUE(stream.IsOpen());
    EXPECT_EQ(pty.PendingInput(), 0);
    ASSERT_TRUE(pty.Feed({0x0B}));  // what arrives after opening is read as usual
    char byte = 0;
    stream.read(&byte, 1);
    EXPECT_TRUE(stream.good());
    EXPECT_EQ(byte, 0x0B);
}

TEST(SerialStream, ReadTimeOutIsTheOneGiven) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    SerialStream stream(pty.Path().c_str(), true, std::chrono::milliseconds(50));
    char byte = 0;
    const auto start = Clock::now();
    stream.read(&byte, 1);
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, 0.045);
    EXPECT_LT(waited, 0.5);
    EXPECT_EQ(stream.rdstate(), std::ios::eofbit | std::ios::failbit);
}

TEST(SerialStream, DiscardInputDropsWhatWaitsAndCountsIt) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    SerialStream stream(pty.Path().c_str(), true);
    EXPECT_EQ(stream.DiscardInput(), 0u);
    ASSERT_TRUE(pty.Feed({1, 2, 3}));
    ASSERT_EQ(pty.PendingInput(), 3);
    stream.peek();  // one byte held by the stream buffer, two on the line
    EXPECT_EQ(stream.DiscardInput(), 3u);
    EXPECT_EQ(pty.PendingInput(), 0);
    ASSERT_TRUE(pty.Feed({9}));
    char byte = 0;
    stream.read(&byte, 1);
    EXPECT_EQ(byte, 9);
}

TEST(SerialStream, QuietOpenGivesTheErrorWithoutAReport) {
    CaptureStderr();
    SerialStream stream("/dev/tamro-no-such-port", false);
    EXPECT_EQ(stream.OpenPortQuietly(), ENOENT);
    EXPECT_FALSE(stream.IsOpen());
    EXPECT_EQ(GetCapturedStderr(), "");
}
