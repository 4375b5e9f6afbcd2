// The handle's side of a handle reader: what the reader's cycle logic (HandleCore) asks of a
// link to a handle. The serial port is one link (SerialHandleLink); the tests' scripted handle,
// with a clock of their own (Timing.hpp), is another, so the cycle logic runs there without a
// port or real time.
#pragma once

#include <Tamro/HardwareAPI/Devices/Handle.hpp>

#include "LoopThread.hpp"
#include "Timing.hpp"

#include <cstdint>

namespace Tamro::HardwareAPI::Control::Detail {

// One message from the handle, or why none came.
struct HandleLinkEvent {
    enum class Kind : std::uint8_t {
        Status,   // a whole status message
        Info,     // a whole information message
        Error,    // a whole error response
        Unknown,  // a header code that is not the handle's, passed over
        Failed,   // nothing by the deadline (ETIMEDOUT), a message cut short (EPROTO: what
                  // followed was dropped, the framing being lost), the port's own error, or
                  // an interrupted wait (ECANCELED); why says which
    };
    Kind kind = Kind::Failed;
    Clock::time_point at{};  // when it arrived
    Devices::HandleStatusMessage status;
    Devices::HandleInfo info;
    Devices::HandleErrorResponse error;
    FaultNote why;
};

class HandleLink {
public:
    virtual ~HandleLink() = default;

    // Writes a status request, or a handle state message with this device id and length bytes
    // of user data: 0, or the errno of the failed write.
    virtual int RequestStatus() noexcept = 0;
    virtual int SendState(std::uint16_t deviceId, std::uint8_t length,
                          const std::uint8_t* data) noexcept = 0;
    // The next message, waiting until `until` at most.
    virtual HandleLinkEvent Next(Clock::time_point until) noexcept = 0;

protected:
    HandleLink() = default;
    HandleLink(const HandleLink&) = default;
    HandleLink& operator=(const HandleLink&) = default;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
