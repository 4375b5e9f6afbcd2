// A handle reader's cycle logic, apart from its thread and its port: the status requests and
// their pacing, matching each status to the request it answers, the messages queued for other
// threads, user data written between two receives, fault counting and the latch, the figures
// and the recording. HandleReader runs it on its thread over a serial link; the tests run it on
// their own thread over a scripted link and clock.
#pragma once

#include <Tamro/HardwareAPI/Control/HandleReader.hpp>

#include "HandOver.hpp"
#include "HandleLink.hpp"
#include "LoopThread.hpp"
#include "Recorder.hpp"
#include "Timing.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

namespace Tamro::HardwareAPI::Control::Detail {

class HandleCore {
public:
    // options must already be checked; deviceId is the handle's, for the user data it writes.
    HandleCore(const HandleReaderOptions& options, HandleLink& link, LoopClock& clock,
               std::uint16_t deviceId);

    // --- any thread but the reader's ---
    HandleStatus Latest() const { return latest_.Read(); }
    std::size_t DrainEvents(HandleEvent* out, std::size_t max);
    // Queues user data for the thread; waits while the queue is full; false when not running.
    bool SendUserData(const std::uint8_t* data, std::size_t length);
    HandleReaderStats Stats() const;
    Recorder<HandleRecord>& Recording() noexcept { return recorder_; }
    Outlet<HandleStatus>& StatusOutlet() noexcept { return outlet_; }
    LoopFlags& Flags() noexcept { return flags_; }

    // --- the reader's thread ---
    // Cycles until stop is set (or the link's wait is interrupted) or a fault latches.
    void Run() noexcept;

private:
    enum class Outcome { Answered, Failed, Stopped };

    // When the status requests still in flight were written, oldest first: the handle answers
    // in order, so a status message answers the oldest. Fixed capacity; when full, the oldest
    // is forgotten.
    class InFlight {
    public:
        static constexpr std::size_t Capacity = 16;
        void Sent(Clock::time_point at) noexcept;
        bool Empty() const noexcept { return count_ == 0; }
        std::size_t Count() const noexcept { return count_; }
        Clock::time_point Pop() noexcept;  // the oldest request's time, taken off
        void Forget() noexcept { count_ = 0; }

    private:
        std::array<Clock::time_point, Capacity> times_{};
        std::size_t first_ = 0;
        std::size_t count_ = 0;
    };

    // A handle state message waiting for the thread.
    struct Outgoing {
        std::uint8_t length = 0;
        std::array<std::uint8_t, 255> bytes{};
    };

    Outcome Await(Clock::time_point until, bool drain, FaultNote& why) noexcept;
    Outcome Missing(const HandleLinkEvent& event, FaultNote& why) noexcept;
    void Publish(const HandleLinkEvent& event) noexcept;
    void Queue(const HandleEvent& event) noexcept;
    bool SendQueued(FaultNote& why) noexcept;

    const HandleReaderOptions options_;
    HandleLink& link_;
    LoopClock& clock_;
    const std::uint16_t deviceId_;

    std::mutex sendLock_;   // one sender at a time: the outbox has a single producer
    std::mutex eventLock_;  // one drainer at a time: the events have a single consumer
    LoopFlags flags_;
    SeqLock<HandleStatus> latest_;
    Ring<HandleEvent> events_{HandleReader::EventCapacity};
    Ring<Outgoing> outbox_{HandleReader::SendCapacity};
    Recorder<HandleRecord> recorder_;
    Outlet<HandleStatus> outlet_;  // to a publisher, when one holds it

    Histogram latency_;
    std::atomic<std::uint64_t> messages_{0}, failed_{0}, unknown_{0}, dropped_{0};
    std::atomic<double> firstAt_{0}, lastAt_{0};

    InFlight inFlight_;  // the thread's
};

}  // namespace Tamro::HardwareAPI::Control::Detail
