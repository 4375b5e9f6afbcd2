// The protocol side of a simulated device: turns the bytes the host wrote into replies.
#pragma once

#include "Wire.hpp"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace TamroSimulator {

struct Identity {
    std::uint16_t deviceId = 0;
    std::uint8_t modelNumber = 0;
    std::uint8_t hardwareVersion = 0;
    std::uint8_t firmwareVersion = 0;
    std::array<std::uint8_t, 16> uuid{};
};

class SimulatedDevice {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~SimulatedDevice() = default;

    // Answers every complete request at the front of input[0, size), appending the replies
    // to replies, and returns how many bytes it consumed. An incomplete request is left for
    // the next call; a byte that starts no known request is skipped, as firmware would.
    virtual std::size_t Serve(const std::uint8_t* input, std::size_t size, Clock::time_point now,
                              Bytes& replies) = 0;
};

}  // namespace TamroSimulator
