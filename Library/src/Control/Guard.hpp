// A dead-man for an arm's port that outlives the process owning it. The arm keeps its last
// force request for as long as it has power, so whatever stops the owner (kill -9, SIGSTOP, a
// stuck loop thread) would leave it pushing. The guard is a small process of its own, forked
// before the loop starts, holding its own descriptor of the port:
//
// - the owner's loop thread beats (Timing.hpp) every cycle and every slice of its waits;
//   when a running loop's beat is older than the bound, the guard writes one zero-force
//   request and counts it; the arm keeps that zero until the owner resumes, sees the count and
//   re-pairs through the barrier (the guard's reply is on the line) before any force of its
//   own;
// - a pipe whose write end only the owner holds hangs up when the owner dies: the guard then
//   writes its zero-force request and exits;
// - a clean close releases it: it exits without writing, and the owner reaps it.
//
// The guard's process runs only async-signal-safe calls (it is forked from a process that may
// have other threads) and shares with its owner nothing but lock-free atomics in one shared
// mapping, and the port.
#pragma once

#include "Timing.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>

#include <sys/types.h>

namespace Tamro::HardwareAPI::Control::Detail {

// What the owner and its guard share, in a mapping both see.
struct GuardBlock {
    std::atomic<std::int64_t> beatNs{0};  // the loop's last beat, monotonic nanoseconds
    std::atomic<std::uint64_t> fired{0};  // zero-force requests written for a silence
    std::atomic<bool> armed{false};       // a loop runs: its silence counts
    std::atomic<bool> released{false};    // closed cleanly: leave without a write
};
static_assert(std::atomic<std::int64_t>::is_always_lock_free &&
                  std::atomic<std::uint64_t>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "only lock-free atomics work across processes");

// The guard's decisions, apart from its process and clock: on each look, what to do and when
// to look next. One zero-force request per silence: the arm keeps it, and a loop that resumes
// (a newer beat) and falls silent again is a new silence. A look that comes late (by a tenth of
// the bound) says the guard itself was held up, by a loaded or paused machine that may have
// held its owner as long: a silence then counts only once the guard has been awake for a grace
// (two fifths of the bound), time enough for a live loop to beat again.
class SilenceWatch {
public:
    enum class Act : std::uint8_t { Wait, Zero, ZeroAndExit, Exit };
    struct Seen {
        bool ownerGone = false;  // the pipe hung up
        bool released = false;
        bool armed = false;
        std::int64_t beatNs = 0;
    };
    struct Verdict {
        Act act = Act::Wait;
        std::int64_t nextLookNs = 0;  // absolute, on the same clock as now
    };

    explicit SilenceWatch(std::int64_t boundNs) noexcept
        : boundNs_(boundNs), lateNs_(boundNs / 10), graceNs_(boundNs * 2 / 5) {}
    Verdict Look(std::int64_t nowNs, const Seen& seen) noexcept;

private:
    Verdict Next(Act act, std::int64_t atNs) noexcept;

    std::int64_t boundNs_, lateNs_, graceNs_;
    bool fired_ = false;             // this silence has had its zero
    std::int64_t firedAtBeat_ = 0;   // the beat that silence followed
    std::int64_t dueNs_ = 0;         // when the last verdict said to look again
    std::int64_t awakeSinceNs_ = 0;  // since the last look that came late
};

// The loop's side of a guard: arming for a run, beats, and whether the guard wrote on the line
// since the loop last looked. Empty (no guard), every call does nothing.
class GuardSignals {
public:
    GuardSignals() = default;
    explicit GuardSignals(GuardBlock* block) noexcept : block_(block) {}

    explicit operator bool() const noexcept { return block_ != nullptr; }
    Heartbeat Beats() const noexcept {
        return Heartbeat(block_ != nullptr ? &block_->beatNs : nullptr);
    }
    void Arm(Clock::time_point now) noexcept;
    void Beat(Clock::time_point now) const noexcept { Beats().Beat(now); }
    void Disarm() noexcept;
    // True once for every look after the guard wrote (however often it did).
    bool FiredSinceLastLook() noexcept;

private:
    GuardBlock* block_ = nullptr;
    std::uint64_t seen_ = 0;
};

// The guard's process over a port descriptor: forked at construction, released and reaped by
// Release (and destruction). The shared block stays mapped until destruction, so the loop's
// pointers into it stay valid after a release.
class Guard {
public:
    // Throws std::system_error when the mapping, the pipe or the process cannot be made.
    Guard(int portDescriptor, std::chrono::nanoseconds bound);
    ~Guard();
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

    GuardBlock& Block() noexcept { return *block_; }
    pid_t Pid() const noexcept { return pid_; }

    // Tells the guard to leave without a write, closes the pipe and reaps it (one that does
    // not leave within a second, being stopped say, is killed). Idempotent; does nothing in a
    // process forked from the owner, whose exit must not release the owner's guard.
    void Release() noexcept;

private:
    pid_t owner_ = -1;
    GuardBlock* block_ = nullptr;
    int hangUp_ = -1;  // the pipe's write end: closing it, or dying, tells the guard
    pid_t pid_ = -1;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
