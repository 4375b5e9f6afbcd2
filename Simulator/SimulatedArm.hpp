// A Velkin3 arm: answers the wake-up with its identity and every request with the state of
// its model.
#pragma once

#include "ArmModel.hpp"
#include "SimulatedDevice.hpp"

namespace TamroSimulator {

class SimulatedArm : public SimulatedDevice {
public:
    SimulatedArm(const Identity& identity, double rateHz, Clock::time_point start);

    std::size_t Serve(const std::uint8_t* input, std::size_t size, Clock::time_point now,
                      Bytes& replies) override;

private:
    Identity identity_;
    ArmModel model_;
};

}  // namespace TamroSimulator
