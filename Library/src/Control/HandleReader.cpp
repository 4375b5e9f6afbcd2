#include <Tamro/HardwareAPI/Control/HandleReader.hpp>

#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include "HandOver.hpp"
#include "LoopThread.hpp"
#include "QuietPort.hpp"
#include "Recorder.hpp"
#include "Timing.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <istream>
#include <mutex>
#include <thread>

namespace Tamro::HardwareAPI::Control {

namespace {

using Detail::Clock;
namespace Messages = Devices::Messages;

constexpr auto WakeTimeout = std::chrono::seconds(1);

// Receives every message through the hooks and keeps the last one whole, for the reader to
// judge once Receive has said how much of it arrived.
class ReaderHandle : public Devices::Handle {
public:
    using Handle::Handle;
    enum class Heard { Nothing, Status, Info, Error };

    Heard heard = Heard::Nothing;
    Devices::HandleStatusMessage status;
    Devices::HandleInfo info;
    Devices::HandleErrorResponse error;

    void OnReceiveHandleStatusRecord(const Devices::HandleStatusMessage& m) override {
        status = m;
        heard = Heard::Status;
    }
    void OnReceiveHandleInfoRecord(const Devices::HandleInfo& m) override {
        info = m;
        heard = Heard::Info;
    }
    void OnReceiveHandleErrorRecord(const Devices::HandleErrorResponse& m) override {
        error = m;
        heard = Heard::Error;
    }

    // Receive, with what it heard.
    std::int32_t Next() {
        heard = Heard::Nothing;
        return Receive();
    }
};

// A handle state message waiting for the thread.
struct Outgoing {
    std::uint8_t length = 0;
    std::array<std::uint8_t, 255> bytes{};
};

// When the status requests still in flight were written, oldest first: the handle answers in
// order, so a status message answers the oldest. Fixed capacity; when full, the oldest is
// forgotten.
class InFlight {
public:
    static constexpr std::size_t Capacity = 16;

    void Sent(Clock::time_point at) noexcept {
        if (count_ == Capacity) Pop();
        times_[(first_ + count_++) % Capacity] = at;
    }
    bool Empty() const noexcept { return count_ == 0; }
    std::size_t Count() const noexcept { return count_; }
    // The oldest request's time, taken off; the status message in hand answers it.
    Clock::time_point Pop() noexcept {
        const Clock::time_point at = times_[first_];
        first_ = (first_ + 1) % Capacity;
        --count_;
        return at;
    }
    void Forget() noexcept { count_ = 0; }

private:
    std::array<Clock::time_point, Capacity> times_{};
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

}  // namespace

class HandleReader::Impl {
public:
    Impl(const std::string& port, const HandleReaderOptions& options);

    void Close();
    bool SendUserData(const std::uint8_t* data, std::size_t length);
    HandleReaderStats Stats() const;
    void Run();

    const std::string port_;
    const HandleReaderOptions options_;
    Detail::QuietPort quiet_;
    std::iostream stream_{&quiet_};  // the handle's, over the quiet port: it never reports
    ReaderHandle handle_{&stream_};
    Devices::HandleInfo info_;

    std::mutex lifecycle_;  // never touched by the thread
    std::mutex sendLock_;   // one sender at a time: the outbox has a single producer
    std::mutex eventLock_;  // one drainer at a time: the events have a single consumer
    std::thread thread_;

    Detail::LoopFlags flags_;
    Detail::SeqLock<HandleStatus> latest_;
    Detail::Ring<HandleEvent> events_{EventCapacity};
    Detail::Ring<Outgoing> outbox_{SendCapacity};
    Detail::Recorder<HandleRecord> recorder_;
    Outlet<HandleStatus> outlet_;  // to a publisher, when one holds it

    Detail::Histogram latency_;
    std::atomic<std::uint64_t> messages_{0}, failed_{0}, unknown_{0}, dropped_{0};
    std::atomic<double> firstAt_{0}, lastAt_{0};

private:
    enum class Outcome { Answered, Failed, Stopped };

    Outcome Await(Clock::time_point until, bool drain, Detail::FaultNote& why) noexcept;
    Outcome NoteMissing(Detail::FaultNote& why) noexcept;
    void LoseFraming() noexcept;
    void Publish(Clock::time_point at) noexcept;
    void Queue(const HandleEvent& event) noexcept;
    bool SendQueued(Detail::FaultNote& why) noexcept;

    InFlight inFlight_;  // the thread's
};

HandleReader::Impl::Impl(const std::string& port, const HandleReaderOptions& options)
    : port_(port), options_(options) {
    Detail::CheckLoopOptions(options_.rateHz, options_.faultTimeout, options_.maxFaults);
    if (const int error = quiet_.Open(port); error != 0) throw PortError(error, port);
    quiet_.SetDeadline(Clock::now() + WakeTimeout);
    handle_.SendDeviceWakeup();
    bool woke = false;
    while (!woke && stream_.good() && quiet_.Error() == 0) {
        const std::int32_t got = handle_.Next();
        woke = handle_.heard == ReaderHandle::Heard::Info &&
               got == static_cast<std::int32_t>(Messages::HandleInfoLength);
    }
    if (!woke && quiet_.LastWait() == Detail::QuietPort::Wait::Failed)
        throw PortError(quiet_.Error(), port);
    if (!woke) throw NoAnswer("no handle answered the wake-up within 1 s", port);
    info_ = handle_.info;
    flags_.Starting();
    thread_ = std::thread([this] { Run(); });
}

// The wait in flight is cut short, so closing takes no longer than the thread's own work.
void HandleReader::Impl::Close() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (thread_.joinable()) {
        quiet_.Interrupt();  // first: a wait it cuts short ends the run even before the flag
        flags_.RequestStop();
        thread_.join();
    }
    quiet_.Close();
}

bool HandleReader::Impl::SendUserData(const std::uint8_t* data, std::size_t length) {
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

HandleReaderStats HandleReader::Impl::Stats() const {
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

void HandleReader::Impl::Queue(const HandleEvent& event) noexcept {
    if (!events_.Push(event)) dropped_.fetch_add(1, std::memory_order_relaxed);
}

void HandleReader::Impl::Publish(Clock::time_point at) noexcept {
    const Devices::HandleStatusMessage& m = handle_.status;
    HandleStatus status;
    status.count = messages_.fetch_add(1, std::memory_order_relaxed) + 1;
    status.time = Detail::Seconds(at);
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

// A read that ended without a message: why, from the quiet port.
HandleReader::Impl::Outcome HandleReader::Impl::NoteMissing(Detail::FaultNote& why) noexcept {
    switch (quiet_.LastWait()) {
        case Detail::QuietPort::Wait::Interrupted: return Outcome::Stopped;
        case Detail::QuietPort::Wait::Failed:
            why.NoteMissing(quiet_.Error(), true, options_.faultTimeout);
            return Outcome::Failed;
        case Detail::QuietPort::Wait::TimedOut:
        case Detail::QuietPort::Wait::Ready: break;
    }
    why.NoteMissing(0, false, options_.faultTimeout);
    return Outcome::Failed;
}

// A message cut short: what follows can no longer be framed, nor the statuses in flight told
// apart, so both are dropped.
void HandleReader::Impl::LoseFraming() noexcept {
    quiet_.Discard();
    inFlight_.Forget();
}

// Receives until `until`: every status message answers the oldest request in flight (its
// latency measured from that request) and is published; information messages and error
// responses are queued. Answered once the newest request is answered or, when draining, once
// none is left in flight.
HandleReader::Impl::Outcome HandleReader::Impl::Await(Clock::time_point until, bool drain,
                                                      Detail::FaultNote& why) noexcept {
    quiet_.SetDeadline(until);
    while (!(drain && inFlight_.Empty())) {
        stream_.clear();
        const std::int32_t got = handle_.Next();
        const Clock::time_point at = Clock::now();
        switch (handle_.heard) {
            case ReaderHandle::Heard::Nothing:
                if (!stream_.good()) return NoteMissing(why);
                unknown_.fetch_add(1, std::memory_order_relaxed);
                continue;
            case ReaderHandle::Heard::Status: {
                const auto whole = static_cast<std::int32_t>(Messages::HandleStatusFixedLength +
                                                             handle_.status.user_data_length);
                if (got != whole) {
                    why.Set(EPROTO, "status message cut short: %d of %d payload bytes", got, whole);
                    LoseFraming();
                    return Outcome::Failed;
                }
                if (inFlight_.Empty()) {  // answers nothing we asked: passed on all the same
                    Publish(at);
                    continue;
                }
                const bool newest = inFlight_.Count() == 1;
                latency_.Add(at - inFlight_.Pop());
                Publish(at);
                if (newest && !drain) return Outcome::Answered;
                continue;
            }
            case ReaderHandle::Heard::Info:
                if (got != static_cast<std::int32_t>(Messages::HandleInfoLength)) {
                    why.Set(EPROTO, "information message cut short");
                    LoseFraming();
                    return Outcome::Failed;
                }
                Queue(HandleEvent{HandleEvent::Kind::Info, Detail::Seconds(at), handle_.info, {}});
                continue;
            case ReaderHandle::Heard::Error:
                if (got != static_cast<std::int32_t>(Messages::HandleErrorLength)) {
                    why.Set(EPROTO, "error response cut short");
                    LoseFraming();
                    return Outcome::Failed;
                }
                Queue(
                    HandleEvent{HandleEvent::Kind::Error, Detail::Seconds(at), {}, handle_.error});
                continue;
        }
    }
    return Outcome::Answered;
}

bool HandleReader::Impl::SendQueued(Detail::FaultNote& why) noexcept {
    Outgoing message;
    while (outbox_.Pop(&message, 1) == 1) {
        handle_.SendHandleState(info_.device_id, message.length, message.bytes.data());
        if (quiet_.Error() != 0) {
            why.NoteMissing(quiet_.Error(), true, options_.faultTimeout);
            return false;
        }
    }
    return true;
}

// Each cycle asks for the status and waits one fault time-out for its answer. The handle
// answers in order, so after a request failed (silent or late) no new one goes out until the
// statuses still owed have come (and are counted where they belong) or one more fault time-out
// has passed, which fails too and gives them up.
void HandleReader::Impl::Run() {
    Detail::LoopThreadSetUp();
    recorder_.ProducerStarted();
    Detail::SystemClock clock;
    Detail::Pacer pacer(clock, Detail::PeriodOf(options_.rateHz));
    Detail::FaultNote why;
    Detail::FaultCount faults(options_.maxFaults);
    bool givenUp = false;
    while (pacer.WaitNext(flags_.StopFlag())) {
        stream_.clear();  // a read that ended early leaves the stream failed: writes too
        quiet_.ClearError();
        Outcome outcome;
        const bool owed = !inFlight_.Empty();
        if (owed) {
            outcome = Await(Clock::now() + options_.faultTimeout, /*drain=*/true, why);
            if (outcome == Outcome::Failed) inFlight_.Forget();
        } else if (!SendQueued(why)) {  // between two receives: the stream has one user
            outcome = Outcome::Failed;
        } else {
            const Clock::time_point requested = Clock::now();
            handle_.RequestStatus();
            if (quiet_.Error() != 0) {
                why.NoteMissing(quiet_.Error(), true, options_.faultTimeout);
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

HandleReader::HandleReader(const std::string& port, const HandleReaderOptions& options)
    : impl_(std::make_unique<Impl>(port, options)) {}

HandleReader::~HandleReader() { impl_->Close(); }

const Devices::HandleInfo& HandleReader::Info() const noexcept { return impl_->info_; }
const std::string& HandleReader::Port() const noexcept { return impl_->port_; }
const HandleReaderOptions& HandleReader::Options() const noexcept { return impl_->options_; }
void HandleReader::Close() { impl_->Close(); }
bool HandleReader::Running() const noexcept { return impl_->flags_.Running(); }
std::optional<Fault> HandleReader::LatchedFault() const { return impl_->flags_.LatchedFault(); }
HandleStatus HandleReader::Latest() const { return impl_->latest_.Read(); }

std::size_t HandleReader::DrainEvents(HandleEvent* out, std::size_t max) {
    std::lock_guard<std::mutex> lock(impl_->eventLock_);
    return impl_->events_.Pop(out, max);
}

bool HandleReader::SendUserData(const std::uint8_t* data, std::size_t length) {
    return impl_->SendUserData(data, length);
}

HandleReaderStats HandleReader::Stats() const { return impl_->Stats(); }
void HandleReader::Record(std::size_t capacity) { impl_->recorder_.Start(capacity); }
std::size_t HandleReader::Drain(HandleRecord* out, std::size_t max) {
    return impl_->recorder_.Drain(out, max);
}
std::size_t HandleReader::Pending() const { return impl_->recorder_.Pending(); }
Outlet<HandleStatus>& HandleReader::StatusOutlet() noexcept { return impl_->outlet_; }

}  // namespace Tamro::HardwareAPI::Control
