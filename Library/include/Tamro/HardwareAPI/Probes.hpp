#pragma once

#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>

#include <iosfwd>

namespace Tamro::HardwareAPI {

// The arm probe's verdict on a port, with the wake-up reply it decoded (all zeros unless a
// complete device-info reply arrived).
struct ArmVerdict {
    bool isVelkin3 = false;
    Devices::DeviceInfo info;
};

// How discovery judges a port, on a stream already open to it: each sends the wake-up request
// and judges the first reply, and nothing more. ProbeVelkin3 and ProbeHandle open the port and
// call these; the fuzz targets call them on bytes of their own.

// An arm: a complete device-info reply with model number Messages::Velkin3ModelNumber. Any
// other reply is read and discarded as Velkin3::ReceiveDeviceInfo does.
ArmVerdict JudgeVelkin3(std::iostream& port);

// The judgement of a complete device-info reply alone: whether it names a Velkin3 arm.
bool IsVelkin3(const Devices::DeviceInfo& info) noexcept;

// A handle: a first message that is a status or an information message, however little of it
// arrives. One Handle::Receive is read.
bool JudgeHandle(std::iostream& port);

}  // namespace Tamro::HardwareAPI
