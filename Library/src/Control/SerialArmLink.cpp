#include "SerialArmLink.hpp"

#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Probes.hpp>

#include <cerrno>
#include <cstring>
#include <istream>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

namespace Messages = Devices::Messages;

constexpr auto WakeTimeout = std::chrono::seconds(1);

Vec3 VectorAt(const std::uint8_t* bytes) {
    float v[Messages::VectorFloats];
    std::memcpy(v, bytes, Messages::VectorLength);
    return {v[0], v[1], v[2]};
}

}  // namespace

SerialArmLink::SerialArmLink(const std::string& path) {
    if (const int error = port_.Open(path); error != 0) throw PortError(error, path);
    // The wake-up through the device layer, over the quiet port: it says nothing either way.
    std::iostream stream(&port_);
    Devices::Velkin3 arm(&stream);
    port_.SetDeadline(Clock::now() + WakeTimeout);
    arm.SendDeviceWakeup();
    arm.ReceiveDeviceInfo(info_);
    if (port_.Error() != 0 && port_.LastWait() != QuietPort::Wait::TimedOut)
        throw PortError(port_.Error(), path);
    if (!stream.good()) throw NoAnswer("no arm answered the wake-up within 1 s", path);
    if (!IsVelkin3(info_))
        throw WrongDevice("the device answered the wake-up as model " +
                              std::to_string(info_.device_model_number) +
                              ", not as a Velkin3 arm (model " +
                              std::to_string(Messages::Velkin3ModelNumber) + ")",
                          path);
    std::memcpy(identity_.data(), arm.InputBuffer(), identity_.size());
}

LinkEvent SerialArmLink::Send(const ArmRequest& request) noexcept {
    std::uint8_t bytes[Messages::RequestLength];
    std::size_t length = 1;
    if (request.barrier) {
        bytes[0] = Messages::DeviceWakeup;
    } else {
        bytes[0] = Messages::ForceRequest;
        const float force[Messages::VectorFloats] = {static_cast<float>(request.force[0]),
                                                     static_cast<float>(request.force[1]),
                                                     static_cast<float>(request.force[2])};
        std::memcpy(bytes + 1, force, Messages::VectorLength);
        length = Messages::RequestLength;
    }
    LinkEvent event;
    event.at = Clock::now();
    // Nothing but the replies due may be on the line when a force request goes out, or its
    // reply would be taken from the wrong bytes. The request still goes (it may be the last
    // zero force), but it is reported failed: nothing is trusted until a barrier.
    LinkEvent unasked;
    const bool stray = !request.barrier && Unasked(unasked);
    if (const int error = port_.Write(bytes, length); error != 0) {
        event.why.NoteMissing(error, true, {});
        return event;
    }
    event.kind = LinkEvent::Kind::Sent;
    event.request = ++requests_;
    event.sentAt = event.at;
    matcher_.Sent(event.request, request.barrier, event.at);
    if (stray) {
        unasked.at = event.at;
        return unasked;
    }
    return event;
}

LinkEvent SerialArmLink::Failure(QuietPort::Wait wait) noexcept {
    LinkEvent event;
    event.at = Clock::now();
    switch (wait) {
        case QuietPort::Wait::TimedOut: event.why.error = ETIMEDOUT; break;
        case QuietPort::Wait::Interrupted:
            event.why.Set(ECANCELED, "the wait was interrupted");
            break;
        case QuietPort::Wait::Failed:
        case QuietPort::Wait::Ready: event.why.NoteMissing(port_.Error(), true, {}); break;
    }
    return event;
}

LinkEvent SerialArmLink::LostFraming(LinkEvent event) noexcept {
    port_.Discard();
    matcher_.Forget();
    plausible_.Forget();
    event.forgotten = true;
    return event;
}

std::size_t SerialArmLink::ReplyLength(std::uint8_t code) const noexcept {
    if (code == Messages::EndEffectorState) return Messages::HeaderLength + Messages::StateLength;
    if (code == Messages::DeviceInfo && matcher_.BarrierInFlight())
        return Messages::HeaderLength + Messages::DeviceInfoLength;
    return 0;
}

bool SerialArmLink::Unasked(LinkEvent& event) noexcept {
    if (!matcher_.Complete()) return false;
    const std::size_t due = matcher_.DueBytes(ReplyLength(Messages::EndEffectorState),
                                              Messages::HeaderLength + Messages::DeviceInfoLength);
    const std::size_t pending = port_.Pending();
    if (pending <= due) return false;
    event.kind = LinkEvent::Kind::Failed;
    event.request = 0;
    event.why.Set(EPROTO, "%zu bytes came that no request asked for", pending - due);
    event = LostFraming(event);
    return true;
}

bool SerialArmLink::Await(Clock::time_point until) noexcept {
    const auto wait = port_.Fill(1, until);
    if (wait != QuietPort::Wait::Ready) return wait != QuietPort::Wait::TimedOut;
    const std::size_t length = ReplyLength(port_.Data()[0]);
    return length == 0 || port_.Fill(length, until) != QuietPort::Wait::TimedOut;
}

LinkEvent SerialArmLink::Next(Clock::time_point until) noexcept {
    if (const auto wait = port_.Fill(1, until); wait != QuietPort::Wait::Ready)
        return Failure(wait);
    const std::uint8_t code = port_.Data()[0];
    const bool expectBarrier = matcher_.OldestIsBarrier();
    const std::uint8_t expected = expectBarrier ? Messages::DeviceInfo : Messages::EndEffectorState;
    LinkEvent event;
    const std::size_t length = ReplyLength(code);
    if (length == 0) {
        event.why.Set(EPROTO, "reply code %u where %u (%s) was expected", code, expected,
                      expectBarrier ? "device info" : "end-effector state");
        return LostFraming(event);
    }
    const auto wait = port_.Fill(length, until);
    if (wait == QuietPort::Wait::TimedOut) {
        event.why.Set(EPROTO, "reply cut short: fewer than %zu payload bytes",
                      length - Messages::HeaderLength);
        return LostFraming(event);
    }
    if (wait != QuietPort::Wait::Ready) return Failure(wait);
    const std::uint8_t* payload = port_.Data() + Messages::HeaderLength;
    event.at = Clock::now();
    if (code == Messages::EndEffectorState) {
        const ReplyMatcher::Match match = matcher_.OnState();
        event.kind = LinkEvent::Kind::State;
        event.request = match.request;
        event.sentAt = match.sentAt;
        event.position = VectorAt(payload + Messages::StateAt::Position);
        event.velocity = VectorAt(payload + Messages::StateAt::Velocity);
        port_.Consume(length);
        if (match.request == 0) return event;  // answers nothing: passed over, not judged
        if (!plausible_.Judge(event.position, event.velocity, event.sentAt, event.at, event.why)) {
            event.kind = LinkEvent::Kind::Failed;
            event.request = 0;
            return LostFraming(event);
        }
        Unasked(event);
        return event;
    }
    if (std::memcmp(payload, identity_.data(), identity_.size()) != 0) {
        event.why.Set(EPROTO, "a wake-up reply unlike the arm's at opening");
        return LostFraming(event);
    }
    const ReplyMatcher::Match match = matcher_.OnBarrier();
    event.kind = LinkEvent::Kind::Barrier;
    event.request = match.request;
    event.sentAt = match.sentAt;
    port_.Consume(length);
    Unasked(event);
    return event;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
