// A handle: answers the wake-up with its information message and a status request with a
// status message that echoes the user data of the last handle state message.
#pragma once

#include "HandleModel.hpp"
#include "SimulatedDevice.hpp"

namespace TamroSimulator {

class SimulatedHandle : public SimulatedDevice {
public:
    static constexpr std::uint8_t ToolDataRemaining = 100;

    SimulatedHandle(const Identity& identity, Clock::time_point start);

    std::size_t Serve(const std::uint8_t* input, std::size_t size, Clock::time_point now,
                      Bytes& replies) override;

private:
    Identity identity_;
    Clock::time_point start_;
    HandleModel model_;
};

}  // namespace TamroSimulator
