// Cyclone DDS's own messages to standard error through a LogLimiter, so that a failing
// interface cannot fill the terminal.
#pragma once

namespace Tamro::HardwareAPI::Network::Detail {

// Routes Cyclone's log (its errors) through one limiter for the whole process: Cyclone has a
// single sink per process. Idempotent.
void RouteCycloneLog() noexcept;

}  // namespace Tamro::HardwareAPI::Network::Detail
