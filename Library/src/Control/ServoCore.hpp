// The servo loop's cycle logic, apart from its thread and its port: pacing, the effects' force
// and the safety stage, the exchange and its pairing with the request it answers, fault
// counting and the latch, the zero-force request at the end, the figures and the recording.
// ServoLoop runs it on its thread over a serial link; the tests run it on their own thread
// over a scripted link and clock.
#pragma once

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "ArmLink.hpp"
#include "ForceInput.hpp"
#include "Guard.hpp"
#include "HandOver.hpp"
#include "LoopThread.hpp"
#include "Recorder.hpp"
#include "Smoothing.hpp"
#include "Timing.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

namespace Tamro::HardwareAPI::Control::Detail {

// What the loop reads every cycle, handed over whole.
struct ServoSettings {
    double maxForce = 0;
    std::size_t count = 0;
    std::array<Effect, ServoLoop::MaxEffects> effects{};
    std::array<std::uint64_t, ServoLoop::MaxEffects> keys{};  // which effect is which
    std::uint64_t generation = 0;                             // one more at every SetEffects
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
    // The proxy of the mesh effect with this key, as the last cycle that rendered a mesh left
    // it, while the surface holds it: none when free, or when no mesh has that key.
    std::optional<Vec3> ProxyOf(std::uint64_t key) const noexcept;
    Recorder<CycleState>& Recording() noexcept { return recorder_; }
    Outlet<CycleState>& CycleOutlet() noexcept { return outlet_; }
    CommandInput& Commands() noexcept { return commands_; }
    RemoteInput& Remote() noexcept { return remote_; }
    LoopFlags& Flags() noexcept { return flags_; }
    void RealtimeGranted(bool granted) noexcept {
        realtimeGranted_.store(granted, std::memory_order_relaxed);
    }
    // Before any run: the guard the loop arms while it runs, beats every cycle and yields to
    // when it wrote on the line.
    void UseGuard(GuardSignals guard) noexcept { guard_ = guard; }

    // --- the loop's thread (or, while no loop runs, its owner) ---

    // Cycles until stop is set or a fault latches, then the zero-force request. A stop
    // interrupts the wait in flight through the link (the caller calls Interrupt).
    void Run(const std::atomic<bool>& stop) noexcept;
    // One zero-force request; while requests and replies are paired, its reply and those of
    // the requests still in flight are waited for (ZeroForceWait at most in all) and recorded
    // as cycles when they come.
    void SendZeroForce() noexcept;

private:
    // A cycle's outcome: a reply answered (and no failure), none due yet, a failure, a stop.
    enum class Outcome { Answered, Pending, Failed, Stopped };

    // Force requests on the line while paired, oldest first: what each reply answers.
    struct InFlight {
        std::uint64_t request = 0;
        std::uint64_t cycle = 0;
        Vec3 force{};
        Clock::time_point sentAt{};
    };
    // The most in flight: a full pipeline and the zero-force request after a stop.
    class Pipeline {
    public:
        static constexpr std::size_t Capacity = ServoLoop::MaxInFlight + 1;
        std::size_t Size() const noexcept { return count_; }
        const InFlight& Oldest() const noexcept { return entries_[first_]; }
        void Push(const InFlight& entry) noexcept;
        void PopOldest() noexcept;
        void Clear() noexcept { count_ = 0; }

    private:
        std::array<InFlight, Capacity> entries_{};
        std::size_t first_ = 0;
        std::size_t count_ = 0;
    };

    // staging_ to the loop; settingsLock_ held.
    void PublishStaging();
    Vec3 ForceAt(const ServoSettings& settings,
                 const std::array<Effect, ServoLoop::MaxEffects>& effects, Clock::time_point now,
                 const Vec3& position, const Vec3& velocity) noexcept;
    Vec3 CycleForce(Clock::time_point start, Clock::duration sinceLast,
                    Clock::duration period) noexcept;
    // One cycle while paired: the replies that came meanwhile, this cycle's request, the wait
    // that leaves at most inFlight - 1 on the line, then the replies that come before `next`.
    Outcome Cycle(Clock::time_point start, Clock::duration sinceLast, Clock::duration period,
                  Clock::time_point next, FaultNote& why) noexcept;
    Outcome Launch(const Vec3& force, FaultNote& why) noexcept;
    // Waits for the oldest replies until fewer than inFlight are on the line; outcome is what
    // the cycle had so far.
    Outcome Settle(Outcome outcome, FaultNote& why) noexcept;
    // The oldest request's reply, waited for until its own deadline, or cap if sooner.
    Outcome AwaitOldest(Clock::time_point cap, FaultNote& why) noexcept;
    // The replies that come before `until`, each judged at its own deadline should that come
    // first: Answered when one came, Pending when none did.
    Outcome Collect(Clock::time_point until, FaultNote& why) noexcept;
    void Answered(const LinkEvent& event, std::uint64_t cycle, const Vec3& force) noexcept;
    // A failure ends the pipeline: the requests on the line answer nothing from now on.
    void Unpair(const LinkEvent& event, FaultNote& why) noexcept;
    Outcome Repair(FaultNote& why) noexcept;
    // The guard wrote its zero-force request while the loop was silent: its reply is on the line
    // and the newest state is as old as the silence, so the loop re-pairs and starts from zero.
    void GuardTookOver() noexcept;
    // The time since the cycle before (zero for a run's first).
    Clock::duration CountCycleStart(Clock::time_point start, Clock::duration period) noexcept;

    const ServoOptions options_;
    const std::size_t inFlight_;
    ArmLink& link_;
    LoopClock& clock_;

    // Settings being assembled by other threads; never touched by the loop.
    std::mutex settingsLock_;
    ServoSettings staging_;
    // Mesh trees a newer set left out, kept until the loop has taken that set (taken_): the
    // loop's copies of a set never hold the last reference, so it never frees a tree.
    struct Retired {
        std::uint64_t generation;
        std::shared_ptr<const MeshTree> tree;
    };
    std::vector<Retired> retired_;
    std::atomic<std::uint64_t> taken_{0};  // the newest set's generation the loop renders

    // Hand-over with the loop.
    TripleBuffer<ServoSettings> settings_;
    SeqLock<CycleState> state_;
    Recorder<CycleState> recorder_;
    Outlet<CycleState> outlet_;  // to a publisher, when one holds it
    CommandInput commands_;      // streamed commands, faded by the loop
    RemoteInput remote_;         // the remote end of the set's coupling
    // What the loop sums, in this order.
    CommandsForce commandsForce_{commands_};
    EffectsForce<ServoLoop::MaxEffects> effectsForce_;
    CouplingForce couplingForce_{remote_};
    std::array<ForceInput*, 3> inputs_{&commandsForce_, &effectsForce_, &couplingForce_};
    LoopFlags flags_;
    GuardSignals guard_;  // empty: no guard

    // Figures: written by the loop only, read by anyone.
    Histogram periods_;
    Histogram exchanges_;
    Histogram ages_;  // of the state each force was made from, when it was sent
    RecentHistogram recentPeriods_, recentAges_;  // the same two over the last second
    std::atomic<std::int64_t> wakeLateMaxNs_{0};
    std::atomic<std::uint64_t> cycles_{0}, late_{0}, longestLate_{0}, failed_{0}, nonFinite_{0},
        clamped_{0}, launched_{0}, inFlightSum_{0}, inFlightMax_{0}, resyncs_{0}, guardFirings_{0};
    std::atomic<std::int64_t> firstStartNs_{0}, lastStartNs_{0};
    std::atomic<bool> realtimeGranted_{false};

    // The loop's own, kept from one run to the next: requests a stop cut short stay in flight,
    // and their replies, should they come while the zero-force one is awaited, make their
    // cycles.
    std::uint64_t forceRequests_ = 0;  // every force request gets the next cycle number
    bool paired_ = true;               // the opening's wake-up paired the line
    std::uint64_t barrier_ = 0;        // the barrier in flight, 0 for none
    Pipeline pipeline_;                // empty whenever unpaired
    bool haveState_ = false;
    Vec3 position_{}, velocity_{};
    Clock::time_point stateSentAt_{};  // when the request that brought the state went out
    Smoother<ServoLoop::MaxEffects> smoother_;
    Clock::time_point lastGlide_{};
    std::uint64_t lateRun_ = 0;
    Clock::time_point previousStart_{};
};

}  // namespace Tamro::HardwareAPI::Control::Detail
