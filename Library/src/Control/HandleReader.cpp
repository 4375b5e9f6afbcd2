#include <Tamro/HardwareAPI/Control/HandleReader.hpp>

#include <Tamro/HardwareAPI/Control/Errors.hpp>
#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include "Deadline.hpp"
#include "HandOver.hpp"
#include "LoopThread.hpp"
#include "Recorder.hpp"
#include "Timing.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
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
    IO::SerialStream stream_;
    ReaderHandle handle_;
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
    bool AwaitStatus(Clock::time_point requested, Detail::FaultNote& why) noexcept;
    void Publish(Clock::time_point at) noexcept;
    void Queue(const HandleEvent& event) noexcept;
    void SendQueued() noexcept;
};

HandleReader::Impl::Impl(const std::string& port, const HandleReaderOptions& options)
    : port_(port), options_(options), stream_(port.c_str(), false, WakeTimeout), handle_(&stream_) {
    Detail::CheckLoopOptions(options_.rateHz, options_.faultTimeout, options_.maxFaults);
    Detail::OpenOwnPort(stream_, port);
    handle_.SendDeviceWakeup();
    bool woke = false;
    const HardwareAPI::Detail::Deadline deadline(WakeTimeout);
    while (!woke && stream_.good() && !deadline.Expired()) {
        const std::int32_t got = handle_.Next();
        woke = handle_.heard == ReaderHandle::Heard::Info &&
               got == static_cast<std::int32_t>(Messages::HandleInfoLength);
    }
    if (!woke) throw NoAnswer("no handle answered the wake-up within 1 s", port);
    info_ = handle_.info;
    stream_.SetReadTimeout(options_.faultTimeout);
    flags_.Starting();
    thread_ = std::thread([this] { Run(); });
}

void HandleReader::Impl::Close() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (thread_.joinable()) {
        flags_.RequestStop();
        thread_.join();
    }
    stream_.ClosePort();
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

// Receives until the status message that answers the request, queueing what comes before
// it; false (with the reason) when none comes whole within the fault time-out.
bool HandleReader::Impl::AwaitStatus(Clock::time_point requested, Detail::FaultNote& why) noexcept {
    const HardwareAPI::Detail::Deadline deadline(options_.faultTimeout);
    while (!deadline.Expired()) {
        errno = 0;
        const std::int32_t got = handle_.Next();
        const Clock::time_point at = Clock::now();
        switch (handle_.heard) {
            case ReaderHandle::Heard::Nothing:
                if (!stream_.good()) {
                    why.NoteMissing(errno, stream_.bad(), options_.faultTimeout);
                    return false;
                }
                unknown_.fetch_add(1, std::memory_order_relaxed);
                continue;
            case ReaderHandle::Heard::Status: {
                const auto whole = static_cast<std::int32_t>(Messages::HandleStatusFixedLength +
                                                             handle_.status.user_data_length);
                if (got != whole) {
                    why.Set(EPROTO, "status message cut short: %d of %d payload bytes", got, whole);
                    return false;
                }
                latency_.Add(at - requested);
                Publish(at);
                return true;
            }
            case ReaderHandle::Heard::Info:
                if (got != static_cast<std::int32_t>(Messages::HandleInfoLength)) {
                    why.Set(EPROTO, "information message cut short");
                    return false;
                }
                Queue(HandleEvent{HandleEvent::Kind::Info, Detail::Seconds(at), handle_.info, {}});
                continue;
            case ReaderHandle::Heard::Error:
                if (got != static_cast<std::int32_t>(Messages::HandleErrorLength)) {
                    why.Set(EPROTO, "error response cut short");
                    return false;
                }
                Queue(
                    HandleEvent{HandleEvent::Kind::Error, Detail::Seconds(at), {}, handle_.error});
                continue;
        }
    }
    why.NoteMissing(0, false, options_.faultTimeout);
    return false;
}

void HandleReader::Impl::SendQueued() noexcept {
    Outgoing message;
    while (outbox_.Pop(&message, 1) == 1)
        handle_.SendHandleState(info_.device_id, message.length, message.bytes.data());
}

void HandleReader::Impl::Run() {
    Detail::LoopThreadSetUp();
    recorder_.ProducerStarted();
    const Clock::duration period = options_.rateHz > 0
                                       ? std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(1.0 / options_.rateHz))
                                       : Clock::duration::zero();
    Detail::Pacer pacer(period, Clock::duration::zero());
    Detail::FaultNote why;
    int inARow = 0;
    int givenUpAfter = 0;
    while (pacer.WaitNext(flags_.StopFlag())) {
        SendQueued();  // between two receives: the stream has one user at a time
        const Clock::time_point requested = Clock::now();
        handle_.RequestStatus();
        const bool answered = AwaitStatus(requested, why);
        recorder_.EndCycle();
        if (answered) {
            inARow = 0;
            continue;
        }
        failed_.fetch_add(1, std::memory_order_relaxed);
        Detail::MakeLineClean(stream_);
        if (++inARow >= options_.maxFaults) {
            givenUpAfter = inARow;
            break;
        }
    }
    recorder_.ProducerStopped();
    if (givenUpAfter > 0) flags_.Latch(why, givenUpAfter);
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
