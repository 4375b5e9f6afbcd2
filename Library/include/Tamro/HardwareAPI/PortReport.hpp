#pragma once

#include <Tamro/HardwareAPI/Devices/Device.hpp>
#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI {

// What answered the wake-up request on a port.
enum class PortAnswer {
    NotOpened,     // the port could not be opened: PortReport::openError says why
    NotSerial,     // never opened: the path leads to no serial port (PortReport::refusal)
    WriteFailed,   // the port opened but refused the request (reported on standard error)
    Silence,       // nothing within the read time-out
    Velkin3,       // a device-info reply with the arm model that detection accepts
    OtherModel,    // a complete device-info reply with another model number
    HandleInfo,    // a handle's information message
    HandleStatus,  // a handle's status message
    HandleError,   // a handle's error response
    Truncated,     // a known header code whose message was cut short
    Other,         // anything else: its first bytes are in PortReport::rawBytes
};

// What a path that is no serial port leads to. Such a path is never written to or
// reconfigured; only SerialChanged and NoTerminalSettings are found after opening it.
enum class PortRefusal {
    None,
    RegularFile,
    Directory,
    Fifo,
    Socket,
    BlockDevice,
    OtherDevice,          // a character device that no serial or pseudo-terminal driver serves
    ControllingTerminal,  // this process's controlling terminal
    CannotTell,           // the kernel's list of terminal drivers could not be read
    Changed,              // opened, it was another device than the one looked at
    NoTerminalSettings,   // opened, it has no terminal settings
};

// The round trips of zero-force exchanges with an arm, timed one by one on the monotonic
// clock. The percentiles cover the exchanges that completed; the run stops at the first
// one that does not.
struct RoundTrips {
    int requested = 0;
    int completed = 0;
    Devices::Reply ended = Devices::Reply::Complete;  // how the first incomplete one ended
    std::chrono::nanoseconds p50{0};
    std::chrono::nanoseconds p99{0};
};

struct PortReport {
    std::string path;
    PortAnswer answer = PortAnswer::NotOpened;
    int openError = 0;                          // NotOpened: the errno of the open
    PortRefusal refusal = PortRefusal::None;    // NotSerial
    Devices::DeviceInfo deviceInfo;             // Velkin3, OtherModel
    Devices::HandleInfo handleInfo;             // HandleInfo
    Devices::HandleStatusMessage handleStatus;  // HandleStatus
    Devices::HandleErrorResponse handleError;   // HandleError
    std::vector<std::uint8_t> rawBytes;         // Other: the first bytes; Truncated: the code
    RoundTrips roundTrips;                      // Velkin3
};

struct PortReportOptions {
    // Bounds each read, so a silent port costs this once.
    std::chrono::steady_clock::duration readTimeout = std::chrono::milliseconds(500);
    int exchanges = 100;        // zero-force exchanges timed on an arm (0: none)
    std::size_t rawBytes = 16;  // at most this many bytes of an unknown answer are kept
};

// Opens path, sends the wake-up request and reports what answered; for a Velkin3 it then
// times options.exchanges zero-force exchanges. A failed open is reported through openError,
// never on standard error. Ports are independent, so
// several may be reported at once from different threads.
//
// The path is looked at before it is opened: only a character device that a serial or
// pseudo-terminal driver serves (by /proc/tty/drivers), and that is not this process's
// controlling terminal, is opened, never so that it can become one. Its terminal settings
// and modem lines are put back as they were found when the report is done.
PortReport ReportPort(const std::string& path, const PortReportOptions& options = {});

}  // namespace Tamro::HardwareAPI
