#include "SerialHandleLink.hpp"

#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include <cerrno>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

namespace Messages = Devices::Messages;

constexpr auto WakeTimeout = std::chrono::seconds(1);

}  // namespace

void SerialHandleLink::Listener::OnReceiveHandleStatusRecord(
    const Devices::HandleStatusMessage& m) {
    status = m;
    heard = HandleLinkEvent::Kind::Status;
    any = true;
}

void SerialHandleLink::Listener::OnReceiveHandleInfoRecord(const Devices::HandleInfo& m) {
    info = m;
    heard = HandleLinkEvent::Kind::Info;
    any = true;
}

void SerialHandleLink::Listener::OnReceiveHandleErrorRecord(const Devices::HandleErrorResponse& m) {
    error = m;
    heard = HandleLinkEvent::Kind::Error;
    any = true;
}

SerialHandleLink::SerialHandleLink(const std::string& path) {
    if (const int error = port_.Open(path); error != 0) throw PortError(error, path);
    const Clock::time_point until = Clock::now() + WakeTimeout;
    handle_.SendDeviceWakeup();
    for (;;) {
        const HandleLinkEvent event = Next(until);
        if (event.kind == HandleLinkEvent::Kind::Info) {
            info_ = event.info;
            return;
        }
        if (event.kind != HandleLinkEvent::Kind::Failed) continue;  // what came before it
        if (event.why.error == ETIMEDOUT || event.why.error == EPROTO) break;
        throw PortError(event.why.error, path);
    }
    throw NoAnswer("no handle answered the wake-up within 1 s", path);
}

int SerialHandleLink::RequestStatus() noexcept {
    stream_.clear();  // a read that ended early leaves the stream failed: writes too
    port_.ClearError();
    handle_.RequestStatus();
    return port_.Error();
}

int SerialHandleLink::SendState(std::uint16_t deviceId, std::uint8_t length,
                                const std::uint8_t* data) noexcept {
    stream_.clear();
    port_.ClearError();
    handle_.SendHandleState(deviceId, length, data);
    return port_.Error();
}

// What follows a message cut short can no longer be framed: it is dropped.
HandleLinkEvent SerialHandleLink::CutShort(HandleLinkEvent event, const char* what) noexcept {
    port_.Discard();
    event.kind = HandleLinkEvent::Kind::Failed;
    event.why.Set(EPROTO, "%s cut short", what);
    return event;
}

HandleLinkEvent SerialHandleLink::Next(Clock::time_point until) noexcept {
    port_.SetDeadline(until);
    stream_.clear();
    port_.ClearError();
    handle_.any = false;
    const std::int32_t got = handle_.Receive();
    HandleLinkEvent event;
    event.at = Clock::now();
    if (!handle_.any) {
        if (stream_.good()) {
            event.kind = HandleLinkEvent::Kind::Unknown;
            return event;
        }
        switch (port_.LastWait()) {
            case QuietPort::Wait::Interrupted:
                event.why.Set(ECANCELED, "the wait was interrupted");
                break;
            case QuietPort::Wait::Failed: event.why.NoteMissing(port_.Error(), true, {}); break;
            case QuietPort::Wait::TimedOut:
            case QuietPort::Wait::Ready: event.why.error = ETIMEDOUT; break;
        }
        return event;
    }
    switch (handle_.heard) {
        case HandleLinkEvent::Kind::Status: {
            const auto whole = static_cast<std::int32_t>(Messages::HandleStatusFixedLength +
                                                         handle_.status.user_data_length);
            if (got != whole) {
                event = CutShort(event, "status message");
                event.why.Set(EPROTO, "status message cut short: %d of %d payload bytes", got,
                              whole);
                return event;
            }
            event.status = handle_.status;
            break;
        }
        case HandleLinkEvent::Kind::Info:
            if (got != static_cast<std::int32_t>(Messages::HandleInfoLength))
                return CutShort(event, "information message");
            event.info = handle_.info;
            break;
        case HandleLinkEvent::Kind::Error:
            if (got != static_cast<std::int32_t>(Messages::HandleErrorLength))
                return CutShort(event, "error response");
            event.error = handle_.error;
            break;
        case HandleLinkEvent::Kind::Unknown:
        case HandleLinkEvent::Kind::Failed: break;
    }
    event.kind = handle_.heard;
    return event;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
