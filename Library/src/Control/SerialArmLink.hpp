// The servo loop's link to an arm on a serial port: force requests and wake-ups written,
// replies framed by their codes and matched to the requests they answer, in order, quietly,
// every wait bounded and interruptible (QuietPort).
#pragma once

#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>

#include "ArmLink.hpp"
#include "QuietPort.hpp"

#include <array>
#include <cstdint>
#include <string>

namespace Tamro::HardwareAPI::Control::Detail {

class SerialArmLink final : public ArmLink {
public:
    // Opens the port and wakes the arm, waiting up to a second for its answer, which must name
    // a Velkin3 (as detection judges it). Throws PortError, NoAnswer or WrongDevice.
    explicit SerialArmLink(const std::string& path);

    const Devices::DeviceInfo& Info() const noexcept { return info_; }
    void Close() noexcept { port_.Close(); }
    int Descriptor() const noexcept { return port_.Descriptor(); }
    // Every wait for a reply beats, in slices.
    void UseHeartbeat(Heartbeat heartbeat) noexcept { port_.UseHeartbeat(heartbeat); }

    LinkEvent Send(const ArmRequest& request) noexcept override;
    LinkEvent Next(Clock::time_point until) noexcept override;
    bool Await(Clock::time_point until) noexcept override;
    void Interrupt() noexcept override { port_.Interrupt(); }
    void Resume() noexcept override { port_.Resume(); }

private:
    // A reply that cannot be framed: everything waiting is dropped, and so is every request in
    // flight, whose replies can no longer be told apart.
    LinkEvent LostFraming(LinkEvent event) noexcept;
    LinkEvent Failure(QuietPort::Wait wait) noexcept;
    // The whole length of a reply that starts with code, or 0 for a code not expected now.
    std::size_t ReplyLength(std::uint8_t code) const noexcept;
    // Input no request asked for (a reply sent twice, line noise): more bytes come than the
    // replies due take. Judged only while every request that may be answered is known.
    bool Unasked(LinkEvent& event) noexcept;

    QuietPort port_;
    ReplyMatcher matcher_;
    StatePlausibility plausible_;
    Devices::DeviceInfo info_;
    std::array<std::uint8_t, Devices::Messages::DeviceInfoLength> identity_{};  // as on the wire
    std::uint64_t requests_ = 0;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
