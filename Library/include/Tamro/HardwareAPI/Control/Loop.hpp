#pragma once

#include <string>

namespace Tamro::HardwareAPI::Control {

// Why a loop gave up on its device: an errno value (ETIMEDOUT for silence, EPROTO for a
// wrong or short reply, else the port's own error) and what happened, in words.
struct Fault {
    int error = 0;
    std::string message;
};

// The outcome of asking for real-time scheduling (SCHED_FIFO and locked memory).
struct RealtimeStatus {
    bool requested = false;
    bool granted = false;
    std::string message;  // when refused: why, and how to allow it
};

}  // namespace Tamro::HardwareAPI::Control
