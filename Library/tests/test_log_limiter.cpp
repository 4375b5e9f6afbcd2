// The limiter of Cyclone's messages, on scripted time: one line per kind per window, a count of
// what was held back, kinds told apart with their numbers masked, and lines made safe.
#include "Network/LogLimiter.hpp"

#include <gtest/gtest.h>

#include <string>

using Tamro::HardwareAPI::Network::Detail::LogLimiter;
using namespace std::chrono_literals;

namespace {

struct Script {
    LogLimiter limiter;
    LogLimiter::Clock::time_point now{};
    std::string Offer(const std::string& message, std::chrono::milliseconds after = 0ms) {
        now += after;
        return std::string(limiter.Offer(message, now));
    }
};

}  // namespace

TEST(LogLimiter, PassesOneLinePerKindPerWindowAndCountsTheRest) {
    Script s;
    EXPECT_EQ(s.Offer("write to udp/10.0.0.2:7410 failed with retcode -1\n"),
              "write to udp/10.0.0.2:7410 failed with retcode -1");
    // A thousand more of the kind (other ports and addresses) within the window: held back;
    // another kind still passes.
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(s.Offer("write to udp/10.0.0." + std::to_string(i % 250) + ":" +
                              std::to_string(7400 + i) + " failed with retcode -1",
                          4ms),
                  "");
    EXPECT_EQ(s.Offer("malformed packet"), "malformed packet");
    EXPECT_EQ(s.limiter.Suppressed(), 1000u);
    // The window is 5 s from the line passed (4 s so far): still held back just before it ends.
    EXPECT_EQ(s.Offer("write to udp/10.0.0.9:7400 failed with retcode -1", 999ms), "");
    EXPECT_EQ(s.Offer("write to udp/10.0.0.9:7400 failed with retcode -1", 1ms),
              "write to udp/10.0.0.9:7400 failed with retcode -1 (1001 more like it held back)");
    EXPECT_EQ(s.Offer("write to udp/10.0.0.9:7400 failed with retcode -1", 5s),
              "write to udp/10.0.0.9:7400 failed with retcode -1")
        << "the count starts again";
}

TEST(LogLimiter, TextIsNotANumberAndTheOldestKindMakesRoom) {
    Script s;
    EXPECT_NE(s.Offer("interface eth0 down"), "");
    EXPECT_EQ(s.Offer("interface eth1 down"), "") << "one kind: interface eth# down";
    EXPECT_NE(s.Offer("interface wlan down"), "") << "only digits are masked";
    // More kinds than the table holds: the first is forgotten and passes again at once.
    for (std::size_t i = 0; i < LogLimiter::Kinds; ++i)
        EXPECT_NE(s.Offer("kind " + std::string(i + 1, 'x'), 1ms), "");
    EXPECT_NE(s.Offer("interface eth7 down", 1ms), "");
}

TEST(LogLimiter, EscapesControlCharactersAndCutsLongLines) {
    Script s;
    EXPECT_EQ(s.Offer("peer \x1b[31mred\x7f\r\n"), "peer \\x1b[31mred\\x7f");
    const std::string line = s.Offer(std::string(2000, 'a'));
    EXPECT_EQ(line, std::string(LogLimiter::LineLength, 'a'));
}
