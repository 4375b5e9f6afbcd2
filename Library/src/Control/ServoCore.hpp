// The servo loop's cycle logic, apart from its thread and its port: pacing, the effects' force
// and the safety stage, the exchange and its pairing with the request it answers, fault
// counting and the latch, the zero-force request at the end, the figures and the recording.
// ServoLoop runs it on its thread over a serial link; the tests run it on their own thread
// over a scripted link and clock.
#pragma once

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "ArmLink.hpp"
#include "HandOver.hpp"
#include "LoopThread.hpp"
#include "Recorder.hpp"
#include "Smoothing.hpp"
#include "Timing.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace Tamro::HardwareAPI::Control::Detail {

// What the loop reads every cycle, handed over whole.
struct ServoSettings {
    double maxForce = 0;
    std::size_t count = 0;
    std::array<Effect, ServoLoop::MaxEffects> effects{};
    std::array<std::uint64_t, ServoLoop::MaxEffects> keys{};  // which effect is which
};

// Throws InvalidArgument for options a servo loop cannot run with.
void CheckServoOptions(const ServoOptions& options);

class ServoCore {
public:
    // How long the last zero-force request waits for its reply (at most the fault time-out):
    // long enough for any arm that still answers, short enough that stopping stays quick.
    static constexpr auto ZeroForceWait = std::chrono::milliseconds(100);

    // options must already be checked.
    ServoCore(const ServoOptions& options, ArmLink& link, LoopClock& clock);

    // --- any thread but the loop's ---
    // Validated: InvalidArgument; keys as for ServoLoop::SetEffects.
    void SetEffects(const std::vector<Effect>& effects,
                    const std::vector<std::uint64_t>& keys = {});
    void SetMaxForce(double newtons);  // checked: InvalidArgument
    void ResetFigures() noexcept;
    ServoStats Stats() const;
    CycleState State() const noexcept { return state_.Read(); }
    Recorder<CycleState>& Recording() noexcept { return recorder_; }
    Outlet<CycleState>& CycleOutlet() noexcept { return outlet_; }
    CommandInput& Commands() noexcept { return commands_; }
    LoopFlags& Flags() noexcept { return flags_; }
    void RealtimeGranted(bool granted) noexcept {
        realtimeGranted_.store(granted, std::memory_order_relaxed);
    }

    // --- the loop's thread (or, while no loop runs, its owner) ---

    // Cycles until stop is set or a fault latches, then the zero-force request. A stop
    // interrupts the wait in flight through the link (the caller calls Interrupt).
    void Run(const std::atomic<bool>& stop) noexcept;
    // One zero-force request; its reply is waited for (ZeroForceWait at most) only while
    // requests and replies are paired, and recorded as a cycle when it comes.
    void SendZeroForce() noexcept;

private:
    enum class Outcome { Answered, Failed, Stopped };

    Vec3 ForceAt(const ServoSettings& settings,
                 const std::array<Effect, ServoLoop::MaxEffects>& effects, Clock::time_point now,
                 const Vec3& position, const Vec3& velocity) noexcept;
    Vec3 CycleForce(Clock::time_point start, Clock::duration sinceLast,
                    Clock::duration period) noexcept;
    Outcome Exchange(const Vec3& force, Clock::duration wait, FaultNote& why) noexcept;
    void Answered(const LinkEvent& event, std::uint64_t cycle, const Vec3& force) noexcept;
    Outcome Repair(FaultNote& why) noexcept;
    void NoteFailure(const LinkEvent& event, FaultNote& why) noexcept;
    // The time since the cycle before (zero for a run's first).
    Clock::duration CountCycleStart(Clock::time_point start, Clock::duration period) noexcept;

    const ServoOptions options_;
    ArmLink& link_;
    LoopClock& clock_;

    // Settings being assembled by other threads; never touched by the loop.
    std::mutex settingsLock_;
    ServoSettings staging_;

    // Hand-over with the loop.
    TripleBuffer<ServoSettings> settings_;
    SeqLock<CycleState> state_;
    Recorder<CycleState> recorder_;
    Outlet<CycleState> outlet_;  // to a publisher, when one holds it
    CommandInput commands_;      // streamed commands, faded by the loop
    LoopFlags flags_;

    // Figures: written by the loop only, read by anyone.
    Histogram periods_;
    Histogram exchanges_;
    Histogram ages_;  // of the state each force was made from, when it was sent
    std::atomic<std::int64_t> wakeLateMaxNs_{0};
    std::atomic<std::uint64_t> cycles_{0}, late_{0}, longestLate_{0}, failed_{0}, nonFinite_{0},
        clamped_{0};
    std::atomic<std::int64_t> firstStartNs_{0}, lastStartNs_{0};
    std::atomic<bool> realtimeGranted_{false};

    // The loop's own, kept from one run to the next.
    std::uint64_t forceRequests_ = 0;  // every force request gets the next cycle number
    bool paired_ = true;               // the opening's wake-up paired the line
    std::uint64_t barrier_ = 0;        // the barrier in flight, 0 for none
    bool haveState_ = false;
    Vec3 position_{}, velocity_{};
    Clock::time_point stateSentAt_{};  // when the request that brought the state went out
    Smoother<ServoLoop::MaxEffects> smoother_;
    Clock::time_point lastGlide_{};
    std::uint64_t lateRun_ = 0;
    Clock::time_point previousStart_{};
    // The exchange a stop cut short: its reply, should it come while the zero-force one is
    // awaited, still makes its cycle.
    struct CutShort {
        std::uint64_t request = 0;  // 0: none
        std::uint64_t cycle = 0;
        Vec3 force{};
    } cutShort_;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
