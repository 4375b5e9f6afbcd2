#include "HandleCore.hpp"

#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

namespace Tamro::HardwareAPI::Control::Detail {

void HandleCore::InFlight::Sent(Clock::time_point at) noexcept {
    if (count_ == Capacity) Pop();
    times_[(first_ + count_++) % Capacity] = at;
}

Clock::time_point HandleCore::InFlight::Pop() noexcept {
    const Clock::time_point at = times_[first_];
    first_ = (first_ + 1) % Capacity;
    --count_;
    return at;
}

HandleCore::HandleCore(const HandleReaderOptions& options, HandleLink& link, LoopClock& clock,
                       std::uint16_t deviceId)
    : options_(options), link_(link), clock_(clock), deviceId_(deviceId) {}

std::size_t HandleCore::DrainEvents(HandleEvent* out, std::size_t max) {
    std::lock_guard<std::mutex> lock(eventLock_);
    return events_.Pop(out, max);
}

bool HandleCore::SendUserData(const std::uint8_t* data, std::size_t length) {
    if (length > 255)
        throw InvalidArgument("length", "must be at most 255 bytes, not " + std::to_string(length));
    Outgoing message;
    message.length = static_cast<std::uint8_t>(length);
    if (length > 0) std::memcpy(message.bytes.data(), data, length);
    std::lock_guard<std::mutex> lock(sendLock_);
    while (!outbox_.Push(message)) {
        if (!flags_.Running()) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));  // the thread is behind
    }
    return flags_.Running();
}

HandleReaderStats HandleCore::Stats() const {
    HandleReaderStats s;
    s.messages = messages_.load(std::memory_order_relaxed);
    const double span =
        lastAt_.load(std::memory_order_relaxed) - firstAt_.load(std::memory_order_relaxed);
    if (s.messages >= 2 && span > 0) s.rateHz = static_cast<double>(s.messages - 1) / span;
    s.latencyP50Us = latency_.PercentileUs(0.50);
    s.latencyP99Us = latency_.PercentileUs(0.99);
    s.failedRequests = failed_.load(std::memory_order_relaxed);
    s.unknownCodes = unknown_.load(std::memory_order_relaxed);
    s.droppedEvents = dropped_.load(std::memory_order_relaxed);
    return s;
}

void HandleCore::Queue(const HandleEvent& event) noexcept {
    if (!events_.Push(event)) dropped_.fetch_add(1, std::memory_order_relaxed);
}

void HandleCore::Publish(const HandleLinkEvent& event) noexcept {
    const Devices::HandleStatusMessage& m = event.status;
    HandleStatus status;
    status.count = messages_.fetch_add(1, std::memory_order_relaxed) + 1;
    status.time = Seconds(event.at);
    status.deviceId = m.device_id;
    status.quaternion = m.quaternion;
    status.errorFlag = m.error_flag;
    status.hallEffectSensorLevel = m.hall_effect_sensor_level;
    status.userDataLength = m.user_data_length;
    status.userData = m.user_data;
    latest_.Write(status);
    outlet_.Push(status);
    if (status.count == 1) firstAt_.store(status.time, std::memory_order_relaxed);
    lastAt_.store(status.time, std::memory_order_relaxed);
    HandleRecord record;
    record.time = status.time;
    record.quaternion = m.quaternion;
    record.hallEffectSensorLevel = m.hall_effect_sensor_level;
    record.errorFlag = m.error_flag;
    recorder_.Push(record);
}

// A wait that ended without a message: stopped, or why it failed (silence is worded here,
// where the time-out is known). A message cut short has dropped the framing, and with it the
// statuses in flight, which can no longer be told apart.
HandleCore::Outcome HandleCore::Missing(const HandleLinkEvent& event, FaultNote& why) noexcept {
    if (event.why.error == ECANCELED) return Outcome::Stopped;
    if (event.why.error == ETIMEDOUT) {
        why.NoteMissing(0, false, options_.faultTimeout);
    } else {
        why = event.why;
        if (event.why.error == EPROTO) inFlight_.Forget();
    }
    return Outcome::Failed;
}

// Receives until `until`: every status message answers the oldest request in flight (its
// latency measured from that request) and is published; information messages and error
// responses are queued. Answered once the newest request is answered or, when draining, once
// none is left in flight.
HandleCore::Outcome HandleCore::Await(Clock::time_point until, bool drain,
                                      FaultNote& why) noexcept {
    while (!(drain && inFlight_.Empty())) {
        const HandleLinkEvent event = link_.Next(until);
        switch (event.kind) {
            case HandleLinkEvent::Kind::Failed: return Missing(event, why);
            case HandleLinkEvent::Kind::Unknown:
                unknown_.fetch_add(1, std::memory_order_relaxed);
                continue;
            case HandleLinkEvent::Kind::Status: {
                if (inFlight_.Empty()) {  // answers nothing we asked: passed on all the same
                    Publish(event);
                    continue;
                }
                const bool newest = inFlight_.Count() == 1;
                latency_.Add(event.at - inFlight_.Pop());
                Publish(event);
                if (newest && !drain) return Outcome::Answered;
                continue;
            }
            case HandleLinkEvent::Kind::Info:
                Queue(HandleEvent{HandleEvent::Kind::Info, Seconds(event.at), event.info, {}});
                continue;
            case HandleLinkEvent::Kind::Error:
                Queue(HandleEvent{HandleEvent::Kind::Error, Seconds(event.at), {}, event.error});
                continue;
        }
    }
    return Outcome::Answered;
}

bool HandleCore::SendQueued(FaultNote& why) noexcept {
    Outgoing message;
    while (outbox_.Pop(&message, 1) == 1) {
        if (const int error = link_.SendState(deviceId_, message.length, message.bytes.data());
            error != 0) {
            why.NoteMissing(error, true, options_.faultTimeout);
            return false;
        }
    }
    return true;
}

// Each cycle asks for the status and waits one fault time-out for its answer. The handle
// answers in order, so after a request failed (silent or late) no new one goes out until the
// statuses still owed have come (and are counted where they belong) or one more fault time-out
// has passed, which fails too and gives them up.
void HandleCore::Run() noexcept {
    recorder_.ProducerStarted();
    Pacer pacer(clock_, PeriodOf(options_.rateHz));
    FaultNote why;
    FaultCount faults(options_.maxFaults);
    bool givenUp = false;
    while (pacer.WaitNext(flags_.StopFlag())) {
        Outcome outcome;
        const bool owed = !inFlight_.Empty();
        if (owed) {
            outcome = Await(clock_.Now() + options_.faultTimeout, /*drain=*/true, why);
            if (outcome == Outcome::Failed) inFlight_.Forget();
        } else if (!SendQueued(why)) {  // between two receives: the port has one user
            outcome = Outcome::Failed;
        } else {
            const Clock::time_point requested = clock_.Now();
            if (const int error = link_.RequestStatus(); error != 0) {
                why.NoteMissing(error, true, options_.faultTimeout);
                outcome = Outcome::Failed;
            } else {
                inFlight_.Sent(requested);
                outcome = Await(requested + options_.faultTimeout, /*drain=*/false, why);
            }
        }
        recorder_.EndCycle();
        if (outcome == Outcome::Stopped) break;
        if (outcome == Outcome::Answered) {
            if (!owed) faults.Answered();  // what was owed coming late forgives nothing
            continue;
        }
        failed_.fetch_add(1, std::memory_order_relaxed);
        givenUp = faults.Failed();
        if (givenUp) break;
    }
    recorder_.ProducerStopped();
    if (givenUp) flags_.Latch(why, faults.InARow());
    flags_.Ended();
}

}  // namespace Tamro::HardwareAPI::Control::Detail
