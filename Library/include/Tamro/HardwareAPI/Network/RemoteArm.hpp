// A client of an arm served on the network (a tamro-bridge, a Node, or anything with the same
// topics), for scripts that need no ROS: its newest measured state, and command streams.
#pragma once

#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Network/Credentials.hpp>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace Tamro::HardwareAPI::Network {

struct RemoteState {
    std::array<double, 3> position{};  // m, from measured_cp
    std::array<double, 3> velocity{};  // m/s, from measured_cv
    std::array<double, 3> force{};     // N, from measured_cf
    double stamp = 0;                  // measured_cp's stamp: wall-clock seconds since the epoch
    double age = 0;                    // now minus the stamp, on the wall clock (s)
};

// One DDS participant of its own that reads /<ns>/<device>/measured_cp, measured_cv and
// measured_cf, and writes servo_cp and servo_cf in the device's own frame. Configuration is
// Cyclone's (CYCLONEDDS_URI), as for Node.
class RemoteArm {
public:
    // Throws std::invalid_argument for a name ROS 2 would not take or a domain outside 0 to
    // 232, std::runtime_error when DDS refuses (with credentials: naming what it cannot load).
    RemoteArm(const std::string& ns, const std::string& device = "arm", int domain = 0,
              const Credentials& credentials = {});
    ~RemoteArm();
    RemoteArm(const RemoteArm&) = delete;
    RemoteArm& operator=(const RemoteArm&) = delete;

    // The newest state received, never waiting; empty before the first.
    std::optional<RemoteState> State() const;
    // The first state received after the call, or empty when none came within timeout.
    std::optional<RemoteState> WaitForState(std::chrono::nanoseconds timeout) const;

    // One command sample, stamped now. Throws std::invalid_argument for a value that is not
    // finite (the far side checks the rest: workspace, frame, force limit).
    void ServoCp(const std::array<double, 3>& position);
    void ServoCf(const std::array<double, 3>& force);
    // Ends both command streams (their writers go): the far side fades what they commanded.
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tamro::HardwareAPI::Network
