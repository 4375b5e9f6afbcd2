// The serial port stream buffer on a pseudo-terminal: timed reads, the held byte, put-back,
// unbuffered writes, the port settings and a closed buffer.
#include "IO/serialib.hpp"
#include "PtyPair.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

using Tamro::HardwareAPI::IO::serialib;
using TamroTest::Bytes;
using TamroTest::PtyPair;
using TamroTest::SecondsSince;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int Eof = std::char_traits<char>::eof();

// Exposes the six area pointers, which must stay null: no buffer is ever installed.
class InspectedSerialib : public serialib {
public:
    bool HasNoAreas() const {
        return !eback() && !gptr() && !egptr() && !pbase() && !pptr() && !epptr();
    }
};

// A read that ends by the one-second time-out; the bounds are generous on purpose.
void ExpectAboutOneSecond(double seconds) {
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 3.0);
}

class SerialibTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Open());
        ASSERT_EQ(port.Open(pty.Path().c_str()), 1);
    }

    PtyPair pty;
    InspectedSerialib port;
};

}  // namespace

// Each case waits for its own silent port; they run side by side so the group costs one second.
TEST(SerialibSilent, EveryGetOperationTimesOutAfterAboutOneSecond) {
    struct Case {
        const char* name;
        Bytes sent;  // what the device sends before falling silent
        std::function<void(serialib&)> check;
    };
    const std::vector<Case> cases = {
        {"underflow answers end-of-file", {}, [](serialib& p) { EXPECT_EQ(p.sgetc(), Eof); }},
        {"uflow answers end-of-file", {}, [](serialib& p) { EXPECT_EQ(p.sbumpc(), Eof); }},
        {"one-byte xsgetn answers 0",
         {},
         [](serialib& p) {
             char c = 'x';
             EXPECT_EQ(p.sgetn(&c, 1), 0);
         }},
        {"showmanyc answers 0", {}, [](serialib& p) { EXPECT_EQ(p.in_avail(), 0); }},
        {"5 of 21 bytes: xsgetn returns 5 with them stored",
         {1, 2, 3, 4, 5},
         [](serialib& p) {
             char s[21] = {};
             EXPECT_EQ(p.sgetn(s, 21), 5);
             EXPECT_EQ(Bytes(s, s + 5), (Bytes{1, 2, 3, 4, 5}));
         }},
    };

    std::vector<std::future<double>> runs;
    runs.reserve(cases.size());
    for (const Case& c : cases) {
        runs.push_back(std::async(std::launch::async, [&c] {
            SCOPED_TRACE(c.name);
            PtyPair pty;
            serialib port;
            EXPECT_TRUE(pty.Open());
            EXPECT_EQ(port.Open(pty.Path().c_str()), 1);
            EXPECT_TRUE(pty.Feed(c.sent));
            const auto start = Clock::now();
            c.check(port);
            const double took = SecondsSince(start);
            // Nothing stays held after a time-out: the next byte comes from the port.
            EXPECT_TRUE(pty.Feed({0x5A}));
            EXPECT_EQ(port.sbumpc(), 0x5A);
            return took;
        }));
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        ExpectAboutOneSecond(runs[i].get());
    }
}

TEST_F(SerialibTest, ReadsTwoHundredBytesWithEveryByteValueIntact) {
    // Bytes 0 to 199 include the terminal's control characters (XON/XOFF, CR, LF, interrupt):
    // raw mode must pass them all through untouched.
    Bytes sent(200);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i);
    ASSERT_TRUE(pty.Feed(sent));
    char got[200] = {};
    EXPECT_EQ(port.sgetn(got, 200), 200);
    EXPECT_EQ(Bytes(got, got + 200), sent);
}

TEST_F(SerialibTest, HeldByteIsServedBeforeThePort) {
    ASSERT_TRUE(pty.Feed({'A', 'B', 'C', 'D', 'E', 'F'}));
    EXPECT_EQ(port.sgetc(), 'A');
    EXPECT_EQ(port.sgetc(), 'A');  // looking again reads nothing more
    EXPECT_EQ(port.in_avail(), 1);

    char s[4] = {};
    EXPECT_EQ(port.sgetn(s, 1), 1);
    EXPECT_EQ(s[0], 'A');
    EXPECT_EQ(port.sgetn(s, 1), 1);
    EXPECT_EQ(s[0], 'B');

    // A held byte plus three waiting bytes make four.
    EXPECT_EQ(port.sgetc(), 'C');
    EXPECT_EQ(port.sgetn(s, 4), 4);
    EXPECT_EQ(std::string(s, 4), "CDEF");
    EXPECT_EQ(pty.PendingInput(), 0);
}

TEST_F(SerialibTest, PutBackHoldsOneByteAtMost) {
    ASSERT_TRUE(pty.Feed({'X'}));
    EXPECT_EQ(port.sputbackc('P'), 'P');
    EXPECT_EQ(port.sputbackc('Q'), Eof);  // a byte is already held
    EXPECT_EQ(port.sbumpc(), 'P');
    EXPECT_EQ(port.sbumpc(), 'X');

    // Putting back end-of-file holds nothing: the next byte comes from the port.
    EXPECT_EQ(port.sungetc(), Eof);
    ASSERT_TRUE(pty.Feed({'Y'}));
    EXPECT_EQ(port.sbumpc(), 'Y');

    // A byte looked at is held, so nothing can be put back on top of it.
    ASSERT_TRUE(pty.Feed({'Z'}));
    EXPECT_EQ(port.sgetc(), 'Z');
    EXPECT_EQ(port.sputbackc('W'), Eof);
    EXPECT_EQ(port.sbumpc(), 'Z');
}

TEST_F(SerialibTest, WritesGoStraightToThePort) {
    char unused[64];
    std::memset(unused, 0x7E, sizeof unused);
    EXPECT_EQ(port.pubsetbuf(unused, sizeof unused), &port);

    EXPECT_EQ(port.sputn("\x0a\x0d\x11\x13hello", 9), 9);
    EXPECT_EQ(pty.Take(9), (Bytes{0x0A, 0x0D, 0x11, 0x13, 'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(port.sputc('!'), '!');
    EXPECT_EQ(pty.Take(1), Bytes{'!'});
    EXPECT_EQ(port.sputn("ignored", 0), 0);
    EXPECT_TRUE(pty.Silent());

    ASSERT_TRUE(pty.Feed({'r'}));
    EXPECT_EQ(port.sbumpc(), 'r');
    EXPECT_TRUE(port.HasNoAreas());
    for (char c : unused) ASSERT_EQ(c, 0x7E);
}

TEST_F(SerialibTest, PortIsRaw8N1At115200) {
    termios settings{};
    ASSERT_EQ(::tcgetattr(pty.MasterFd(), &settings), 0);
    EXPECT_EQ(::cfgetispeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(::cfgetospeed(&settings), static_cast<speed_t>(B115200));
    EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
              static_cast<tcflag_t>(CS8 | CREAD | CLOCAL));
    EXPECT_EQ(settings.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(settings.c_oflag, 0u);
    EXPECT_EQ(settings.c_lflag, 0u);
    EXPECT_EQ(settings.c_cc[VMIN], 0);
    EXPECT_EQ(settings.c_cc[VTIME], 0);
}

TEST_F(SerialibTest, ShortWriteCountsAsNothing) {
    // Nobody reads the device side, so the line takes only part of a large block.
    const std::string block(1 << 20, 'w');
    EXPECT_EQ(port.sputn(block.data(), static_cast<std::streamsize>(block.size())), 0);
    const std::size_t arrived = pty.Take(block.size(), std::chrono::milliseconds(300)).size();
    EXPECT_GT(arrived, 0u);  // some went out, and was not sent again
    EXPECT_LT(arrived, block.size());
}

TEST_F(SerialibTest, HungUpPortFailsWritesWithTheirErrno) {
    pty.HangUp();
    errno = 0;
    EXPECT_EQ(port.sputn("abc", 3), 0);
    EXPECT_EQ(errno, EIO);  // left for the caller's report
    EXPECT_EQ(port.sputc('a'), Eof);
}

// Reading this process's memory file at offset 0 fails with EIO: a port whose reads fail.
TEST(Serialib, ReadErrorEndsTheReadAtOnce) {
    serialib port;
    ASSERT_EQ(port.Open("/proc/self/mem"), 1);
    std::uint8_t bytes[4] = {};
    errno = 0;
    EXPECT_EQ(port.ReadWithTimeout(bytes, 4), -2);
    EXPECT_EQ(errno, EIO);
    char s[4];
    EXPECT_EQ(port.sgetc(), Eof);
    EXPECT_EQ(port.sgetn(s, 4), 0);
    EXPECT_EQ(port.in_avail(), 0);
    // With a held byte, the failed read of the rest still counts as nothing.
    EXPECT_EQ(port.sputbackc('h'), 'h');
    EXPECT_EQ(port.sgetn(s, 4), 0);
}

TEST(Serialib, ClosedBufferAnswersWithoutASystemCall) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    serialib never;
    serialib closed;
    ASSERT_EQ(closed.Open(pty.Path().c_str()), 1);
    EXPECT_EQ(closed.sputbackc('H'), 'H');  // held across the close, yet never served
    closed.Close();
    closed.Close();
    EXPECT_FALSE(closed.IsOpen());
    EXPECT_EQ(TamroTest::OpenDescriptors(pty.Path()), 1);  // only the fake device's own

    for (serialib* port : {&never, &closed}) {
        char s[4];
        errno = 0;  // any system call on descriptor -1 would set EBADF
        EXPECT_EQ(port->sgetc(), Eof);
        EXPECT_EQ(port->sbumpc(), Eof);
        EXPECT_EQ(port->sgetn(s, 4), 0);
        EXPECT_EQ(port->in_avail(), 0);
        EXPECT_EQ(port->sputc('a'), Eof);
        EXPECT_EQ(port->sputn("abc", 3), 0);
        EXPECT_EQ(errno, 0);
    }
}

TEST(Serialib, OpenReportsAMissingDeviceAndStaysClosed) {
    serialib port;
    errno = 0;
    EXPECT_EQ(port.Open("/nonexistent-tamro-dir/ttyACM7"), -2);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(port.IsOpen());
}

TEST(Serialib, PathThatIsNotATerminalStillOpens) {
    serialib port;
    EXPECT_EQ(port.Open("/dev/null"), 1);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.sputn("abc", 3), 3);
}
