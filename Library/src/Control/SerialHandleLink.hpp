// A handle reader's link to a handle on a serial port: the handle's messages framed by the
// device layer over the quiet port (QuietPort), every wait bounded and interruptible.
#pragma once

#include <Tamro/HardwareAPI/Devices/Handle.hpp>

#include "HandleLink.hpp"
#include "QuietPort.hpp"

#include <istream>
#include <string>

namespace Tamro::HardwareAPI::Control::Detail {

class SerialHandleLink final : public HandleLink {
public:
    // Opens the port, wakes the handle and waits up to a second for its information message.
    // Throws PortError or NoAnswer.
    explicit SerialHandleLink(const std::string& path);

    const Devices::HandleInfo& Info() const noexcept { return info_; }
    // From any thread: ends the wait in progress, and every later one, at once.
    void Interrupt() noexcept { port_.Interrupt(); }
    void Close() noexcept { port_.Close(); }

    int RequestStatus() noexcept override;
    int SendState(std::uint16_t deviceId, std::uint8_t length,
                  const std::uint8_t* data) noexcept override;
    HandleLinkEvent Next(Clock::time_point until) noexcept override;

private:
    // Receives every message through the hooks and keeps the last one whole, for Next to
    // judge once Receive has said how much of it arrived.
    class Listener : public Devices::Handle {
    public:
        using Handle::Handle;
        HandleLinkEvent::Kind heard = HandleLinkEvent::Kind::Unknown;
        bool any = false;
        Devices::HandleStatusMessage status;
        Devices::HandleInfo info;
        Devices::HandleErrorResponse error;

        void OnReceiveHandleStatusRecord(const Devices::HandleStatusMessage& m) override;
        void OnReceiveHandleInfoRecord(const Devices::HandleInfo& m) override;
        void OnReceiveHandleErrorRecord(const Devices::HandleErrorResponse& m) override;
    };

    // A write's outcome: what the port said, and the stream ready for the next one.
    int Written() noexcept;
    HandleLinkEvent CutShort(HandleLinkEvent event, const char* what) noexcept;

    QuietPort port_;
    std::iostream stream_{&port_};  // the handle's, over the quiet port: it never reports
    Listener handle_{&stream_};
    Devices::HandleInfo info_;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
