// What every device loop thread shares: its setting-up, its run flags, and how it notes and
// latches a fault without allocating.
#pragma once

#include <Tamro/HardwareAPI/Control/Loop.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

namespace Tamro::HardwareAPI::Control::Detail {

// Throws InvalidArgument for what a loop cannot run with:
// a rate outside 0.1 Hz to 100 kHz (0 runs free), a fault time-out outside 1 ms to 10 s, or
// fewer than one failure to give up after.
void CheckLoopOptions(double rateHz, std::chrono::nanoseconds faultTimeout, int maxFaults);

// Run first on a loop thread: signals go to the other threads (a signal here would cut the
// loop's waits short), and sleeps end on time.
void LoopThreadSetUp() noexcept;

// Why an exchange failed, in a fixed buffer the loop fills without allocating.
struct FaultNote {
    int error = 0;
    char text[160] = {};

    void Set(int error, const char* format, ...) noexcept __attribute__((format(printf, 3, 4)));

    // A reply that did not come: silence (ETIMEDOUT) unless the port itself failed (its errno).
    void NoteMissing(int savedErrno, bool writeFailed, std::chrono::nanoseconds timeout) noexcept;
};

// Failures in a row, and when they are enough to give up on the device.
class FaultCount {
public:
    explicit FaultCount(int max) noexcept : max_(max) {}
    void Answered() noexcept { inARow_ = 0; }
    // One more failure; true when it is the one to give up on.
    bool Failed() noexcept { return ++inARow_ >= max_; }
    int InARow() const noexcept { return inARow_; }

private:
    int max_;
    int inARow_ = 0;
};

// Running, stop and fault flags of one loop. The loop sets the fault once, before it says it
// has ended; readers see the note only after they see the flag.
class LoopFlags {
public:
    // Control side.
    void Starting() noexcept {
        stop_.store(false, std::memory_order_relaxed);
        running_.store(true, std::memory_order_release);
    }
    void RequestStop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool Running() const noexcept { return running_.load(std::memory_order_acquire); }
    bool Faulted() const noexcept { return faulted_.load(std::memory_order_acquire); }
    std::optional<Fault> LatchedFault() const;

    // Loop side.
    const std::atomic<bool>& StopFlag() const noexcept { return stop_; }
    void Latch(const FaultNote& why, int inARow) noexcept;
    void Ended() noexcept { running_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> faulted_{false};
    int faultError_ = 0;
    char faultText_[224] = {};  // the note, and how many failures in a row
};

// What a loop thread says about its setting-up before its first cycle (its real-time request),
// for the thread that started it. The loop says it once and never waits here: the lock is held
// only for a copy, and the starter's wait does not hold it.
class SetupReport {
public:
    // Starter: before starting the thread.
    void Expect() {
        std::lock_guard<std::mutex> lock(mutex_);
        told_ = false;
    }
    // Starter: the report, once the thread gave it or timeout passed (false then).
    bool Await(std::chrono::nanoseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return said_.wait_for(lock, timeout, [this] { return told_; });
    }
    RealtimeStatus Status() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }

    // Loop thread, before its first cycle.
    void Tell(RealtimeStatus status) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            status_ = std::move(status);
            told_ = true;
        }
        said_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable said_;
    bool told_ = false;
    RealtimeStatus status_;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
