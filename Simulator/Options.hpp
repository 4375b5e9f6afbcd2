// The command line of tamro-simulator.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace TamroSimulator {

struct Options {
    int arms = 1;
    int handles = 1;
    std::string linkDirectory;  // empty: no links
    std::uint16_t deviceId = 1;
    // "TamroSim" and a serial number; device i adds i to it.
    std::array<std::uint8_t, 16> uuid{0x54, 0x61, 0x6d, 0x72, 0x6f, 0x53, 0x69, 0x6d,
                                      0,    0,    0,    0,    0,    0,    0,    1};
    std::uint8_t model = 4;
    long delayMicroseconds = 0;
    long jitterMicroseconds = 0;
    double rateHz = 1000.0;
    bool exitWithStdin = false;
    bool help = false;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

extern const char* const Usage;

// Throws UsageError for an unknown option or a value out of range.
Options ParseOptions(int argc, char** argv);

}  // namespace TamroSimulator
