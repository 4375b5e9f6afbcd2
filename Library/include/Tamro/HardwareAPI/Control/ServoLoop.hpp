#pragma once

#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Control/Effects.hpp>
#include <Tamro/HardwareAPI/Control/Loop.hpp>
#include <Tamro/HardwareAPI/Control/Outlet.hpp>
#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI::Control {

struct ServoOptions {
    double rateHz = 1000.0;     // cycles per second on absolute deadlines; 0 runs free
    double maxForce = 10.0;     // the force's magnitude is clamped to this (at most MaxDeviceForce)
    bool realtime = false;      // ask for SCHED_FIFO at realtimePriority and mlockall: the
                                // whole process's memory, now and to come, stays locked
    int realtimePriority = 80;  // 1 to 90
    std::chrono::nanoseconds faultTimeout = std::chrono::milliseconds(50);  // per exchange
    int maxFaults = 3;                 // failed exchanges in a row that stop the loop
    std::chrono::nanoseconds spin{0};  // busy-wait this long before each deadline
    // Render the effects at the position predicted for the time the force acts (the reply's
    // position moved by its velocity over the state's age and half a period), which gives back
    // the stiffness the loop's delay takes; see docs/servo-loop.md.
    bool compensateDelay = true;
    // Requests on the line at most (1 to ServoLoop::MaxInFlight). 1 waits for each reply within
    // its cycle. More keep sending on schedule while replies are on their way, so a round trip
    // longer than a period does not slow the loop; each force is then made from an older state
    // (see docs/servo-loop.md).
    int inFlight = 1;
    // Run a guard: a small process of its own, holding the port, that writes a zero-force
    // request when the loop thread has been silent for ServoLoop::GuardSilence while running,
    // or when this process dies (kill -9 included), and keeps the arm at zero until the loop
    // resumes and re-pairs. See docs/servo-loop.md.
    bool guard = true;
};

// One cycle: its number (from 1), when its reply arrived (seconds on the monotonic clock,
// Python's time.monotonic()), the arm's state in that reply and the force that was sent.
struct CycleState {
    std::uint64_t cycle = 0;
    double time = 0;
    Vec3 position{};
    Vec3 velocity{};
    Vec3 force{};
};

struct ServoStats {
    std::uint64_t cycles = 0;
    double rateHz = 0;  // achieved, over the cycles since the last start
    double periodP50Us = 0, periodP99Us = 0, periodMaxUs = 0;
    std::uint64_t lateCycles = 0;  // a period over 1.5 nominal periods (fixed rate only)
    std::uint64_t longestLateRun = 0;
    double exchangeP50Us = 0, exchangeP99Us = 0, exchangeMaxUs = 0;
    // The age of the state each force was made from, when the force was sent: from the sending
    // of the request that brought the state, one period while every exchange succeeds, and
    // about one period per request a pipeline needs on the line (inFlight). Its maximum is the
    // longest stall: the longest the loop went without a fresh state, whatever held it (the
    // system, the arm, failed exchanges).
    double stateAgeP50Us = 0, stateAgeP99Us = 0, longestStallUs = 0;
    // The period's and the state age's p99 over the last second or so of cycles (1 to 1.25 s,
    // up to the newest): what the loop does now, which a stall long ago no longer inflates.
    double recentPeriodP99Us = 0, recentStateAgeP99Us = 0;
    double wakeLateMaxUs = 0;  // the latest the system woke the loop after a deadline
    // Requests on the line as each went out, itself included: on average, and at most.
    double inFlightMean = 0;
    std::uint64_t inFlightMax = 0;
    std::uint64_t resyncs = 0;       // pairings re-established with the wake-up after a failure
    std::uint64_t guardFirings = 0;  // silences the guard ended with its zero-force request
    std::uint64_t failedExchanges = 0;
    std::uint64_t nonFiniteForces = 0;  // sums that were not finite, sent as zero
    std::uint64_t clampedForces = 0;
    std::uint64_t droppedRecords = 0;
    bool realtime = false;
    // The coupling's passivity observer at this arm (energy in less energy out, J: negative
    // when the coupling gave the arm more than it took) and what its controller dissipated.
    double couplingEnergyObservedJ = 0;
    double couplingEnergyDissipatedJ = 0;
    // The time the mesh effects' proxies took each cycle (cycles with a mesh only).
    double contactP99Us = 0, contactMaxUs = 0;
};

// Every figure of ServoStats, by its name here, for whatever lists them all (the Python
// binding takes its keys and types from this): a field added above is added here.
template <typename Visit>
void VisitFields(const ServoStats& s, Visit&& visit) {
    visit("cycles", s.cycles);
    visit("rateHz", s.rateHz);
    visit("periodP50Us", s.periodP50Us);
    visit("periodP99Us", s.periodP99Us);
    visit("periodMaxUs", s.periodMaxUs);
    visit("lateCycles", s.lateCycles);
    visit("longestLateRun", s.longestLateRun);
    visit("exchangeP50Us", s.exchangeP50Us);
    visit("exchangeP99Us", s.exchangeP99Us);
    visit("exchangeMaxUs", s.exchangeMaxUs);
    visit("stateAgeP50Us", s.stateAgeP50Us);
    visit("stateAgeP99Us", s.stateAgeP99Us);
    visit("longestStallUs", s.longestStallUs);
    visit("recentPeriodP99Us", s.recentPeriodP99Us);
    visit("recentStateAgeP99Us", s.recentStateAgeP99Us);
    visit("wakeLateMaxUs", s.wakeLateMaxUs);
    visit("inFlightMean", s.inFlightMean);
    visit("inFlightMax", s.inFlightMax);
    visit("resyncs", s.resyncs);
    visit("guardFirings", s.guardFirings);
    visit("failedExchanges", s.failedExchanges);
    visit("nonFiniteForces", s.nonFiniteForces);
    visit("clampedForces", s.clampedForces);
    visit("droppedRecords", s.droppedRecords);
    visit("realtime", s.realtime);
    visit("couplingEnergyObservedJ", s.couplingEnergyObservedJ);
    visit("couplingEnergyDissipatedJ", s.couplingEnergyDissipatedJ);
    visit("contactP99Us", s.contactP99Us);
    visit("contactMaxUs", s.contactMaxUs);
}

// A servo loop: one thread that owns one arm on its own port and, every cycle, computes the
// force of the current effects at the last state, sends it (force request, state reply) and
// publishes the new state. Until the first reply it sends zero force; stopping, a fault and
// destruction end with one zero-force request (its reply awaited 0.1 s at most). A reply
// counts only for the request it answers: after a failure none is trusted until the arm has
// answered a wake-up sent as a barrier. With inFlight above 1 a cycle sends its request
// without waiting for the replies before it; they are matched in order, each by its own
// deadline, and a failure ends the pipeline: nothing is sent until the barrier is back.
// Guarded (ServoOptions::guard, the default), a process of its own sends zero force when the
// running loop's thread falls silent or this process dies; see ServoOptions::guard.
//
// Every member may be called from any thread but the loop's own; none of them blocks the
// loop: effects reach it whole at a cycle boundary, and state, figures and records are read
// without stopping it.
class ServoLoop {
public:
    static constexpr std::size_t MaxEffects = 64;
    static constexpr int MaxInFlight = 8;
    // The largest maxForce accepted, newtons: well above what the arm's motors give, far below
    // what a float32 request can carry, so a clamped force is always a finite, physical one.
    static constexpr double MaxDeviceForce = 100.0;
    // What a reply's state must be to be believed, since the protocol carries no checksum: a
    // position within the arm's workspace (the cube of +-WorkspaceHalfSize metres around its
    // centre) and WorkspaceMargin beyond, and no speed above MaxArmSpeed m/s, neither in the
    // velocity it reports nor in its step from the state before. A desktop arm moves a few
    // metres per second at most; a reply read one byte off its frame reads as a state metres
    // or light-years away.
    static constexpr double WorkspaceHalfSize = 0.1;
    static constexpr double WorkspaceMargin = 0.1;
    static constexpr double MaxArmSpeed = 20.0;
    // How long a running loop's thread may go without a sign of life before its guard writes
    // zero force: the loop beats every cycle and every 10 ms of its waits.
    static constexpr std::chrono::milliseconds GuardSilence{50};
    // Delay compensation predicts a state no further than this many periods beyond the age a
    // pipeline gives it (inFlight - 1 periods): the velocity of a stalled state says little.
    static constexpr double MaxPredictedHolds = 3.0;

    // Opens the port and wakes the arm (waiting up to a second for its answer); does not start
    // the thread. Throws InvalidArgument for options out of range, PortError when the port
    // cannot be opened, NoAnswer when no arm answers (Errors.hpp).
    ServoLoop(const std::string& port, const ServoOptions& options = {});
    ~ServoLoop();

    ServoLoop(const ServoLoop&) = delete;
    ServoLoop& operator=(const ServoLoop&) = delete;

    const Devices::DeviceInfo& Info() const noexcept;
    const std::string& Port() const noexcept;
    const ServoOptions& Options() const noexcept;

    // Starts the thread, and returns once the thread has said how its real-time request went
    // (a second at most); false (and nothing starts) once a fault has latched. A running loop
    // is left as it is. Stop cuts the wait in flight short and ends it after one zero-force
    // request; Close also closes the port (a loop that never ran sends its zero-force request
    // then).
    bool Start();
    void Stop();
    void Close();
    bool Running() const noexcept;
    std::optional<Fault> LatchedFault() const;
    RealtimeStatus Realtime() const;

    // Replaces the whole set, in order; each effect is validated (InvalidArgument) and
    // at most MaxEffects are allowed (std::length_error). The loop takes it at its next cycle.
    // keys, one per effect when given, say which effect is which from one set to the next: a
    // smoothed effect glides from what it rendered only while its key stays in its place.
    // Without keys the place alone says it.
    void SetEffects(const std::vector<Effect>& effects,
                    const std::vector<std::uint64_t>& keys = {});
    // Finite and above 0, else InvalidArgument.
    void SetMaxForce(double newtons);

    CycleState State() const;  // the latest cycle; cycle 0 before the first reply
    ServoStats Stats() const;
    // Where the proxy of the mesh effect with this key (as given to SetEffects) holds the
    // device back, world frame: none while it touches nothing, when no mesh has that key, or
    // when the loop is not running. Handed over whole each cycle; for showing, not for forces.
    std::optional<Vec3> ProxyOf(std::uint64_t key) const;

    // Records every cycle from now into a ring of capacity cycles (0 stops); what an earlier
    // recording still holds stays for Drain. Drain moves up to max records, oldest first.
    void Record(std::size_t capacity);
    std::size_t Drain(CycleState* out, std::size_t max);
    std::size_t Pending() const;

    // Every cycle, handed to one consumer on another thread (a publisher): see Outlet.
    Outlet<CycleState>& CycleOutlet() noexcept;
    // Commands streamed in from elsewhere, added to the effects' sum before the safety
    // stage: see CommandInput.
    CommandInput& Commands() noexcept;
    // The remote end of the Coupling in the effect set: see RemoteInput.
    RemoteInput& Remote() noexcept;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tamro::HardwareAPI::Control
