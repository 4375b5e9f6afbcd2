#pragma once

#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

namespace Tamro::HardwareAPI::Control {

// How a servo loop renders commands that stream in from elsewhere (the network, a remote
// device): a coupling spring toward the newest target position, plus the newest force.
struct CommandSettings {
    double stiffness = 200.0;  // N/m, of the spring toward the target
    double damping = 1.0;      // N s/m, against the arm's own velocity
    // A stream with no sample for this long counts as stopped: its force fades to zero. A
    // sample is judged by its sender's stamp: one held up on the way for longer than this,
    // relative to the stream's quickest recent samples, is refused as stale.
    std::chrono::nanoseconds timeout = std::chrono::milliseconds(250);
    // How long a fade takes from full force to none, and a re-engagement back.
    std::chrono::nanoseconds ramp = std::chrono::milliseconds(100);
    // Targets outside this box are refused (the simulated arm's workspace by default).
    Vec3 lower{-0.1, -0.1, -0.1};
    Vec3 upper{0.1, 0.1, 0.1};
    // How far the stamp of a stream's first sample (and of the first after a silence longer
    // than the time-out) may lie from this machine's wall clock, either way. Later samples are
    // judged against the stream itself, not this clock. Machines whose clocks are not
    // synchronised set it to the most their clocks may differ.
    std::chrono::nanoseconds stampWindow = std::chrono::milliseconds(100);
};

enum class CommandMode : std::uint8_t {
    Off,       // not accepting commands, no commanded force
    Waiting,   // accepting, but no stream is live
    Engaging,  // a stream is live and its force ramps up
    Engaged,   // live streams at full force
    Fading,    // a stream stopped and its force ramps down
};
const char* CommandModeWord(CommandMode mode) noexcept;  // "off", "waiting", "engaging", ...

// What the loop rendered at its latest cycle: the mode, each stream's gain (0 to 1) and the
// commanded force that went into the sum.
struct CommandStatus {
    CommandMode mode = CommandMode::Off;
    double targetGain = 0;
    double forceGain = 0;
    Vec3 force{};
};

enum class Verdict : std::uint8_t { Accepted, Clamped, Refused };

// A stream's samples refused, by reason.
struct CommandRefusals {
    std::uint64_t stopped = 0;      // not accepting
    std::uint64_t notFinite = 0;    // a coordinate that is not a finite number
    std::uint64_t outside = 0;      // a target outside the workspace box
    std::uint64_t stale = 0;        // held up for longer than the time-out, or out of order
    std::uint64_t future = 0;       // fresher than the stream's own samples allow (spoofed)
    std::uint64_t implausible = 0;  // unstamped (zero, negative) or far from our wall clock
};

// When a sample arrived: this machine's monotonic clock, and its wall clock.
struct Arrival {
    std::chrono::steady_clock::time_point monotonic;
    std::chrono::system_clock::time_point wall;
    static Arrival Now() noexcept {
        return {std::chrono::steady_clock::now(), std::chrono::system_clock::now()};
    }
};

// The hand-over of streamed commands to a loop. Samples arrive on any thread (a network
// thread, typically), each with its sender's stamp: each is checked there (its value, and its
// freshness by its stamp, per stream) and reaches the loop whole at its next cycle with the
// time it was sent as judged (its arrival less how long it was held up). The loop never waits for a
// sender: senders take turns on a lock the loop never touches. At every cycle the loop fades each
// stream's force down when it has stopped and back up, softly, when it returns, so the commanded
// force never jumps.
class CommandInput {
public:
    CommandInput();
    ~CommandInput();

    CommandInput(const CommandInput&) = delete;
    CommandInput& operator=(const CommandInput&) = delete;

    // Starts accepting (or changes the settings; the streams then start afresh); InvalidArgument
    // (Errors.hpp) for a stiffness or damping that is not finite and 0 or more, a time-out or
    // ramp outside 1 ms to 10 s, a stamp window outside 1 ms to 1e9 s, or a box that is not
    // finite or whose lower corner exceeds its upper one.
    void Accept(const CommandSettings& settings);
    // Stops accepting: the streams count as stopped, so what they commanded fades out.
    void Stop();
    bool Accepting() const noexcept;

    // A target position sent at stamp (the sender's wall clock, since the epoch); refused
    // unless finite, inside the box, fresh (and accepting). Arrival now, or as given (tests).
    Verdict Target(const Vec3& position, std::chrono::nanoseconds stamp) noexcept;
    Verdict Target(const Vec3& position, std::chrono::nanoseconds stamp,
                   const Arrival& arrival) noexcept;
    // A force; refused unless finite and fresh (and accepting), clamped to the maximum force.
    Verdict Force(const Vec3& force, std::chrono::nanoseconds stamp) noexcept;
    Verdict Force(const Vec3& force, std::chrono::nanoseconds stamp,
                  const Arrival& arrival) noexcept;
    // The loop's own max_force (the loop sets it).
    void SetMaxForce(double newtons) noexcept;

    CommandStatus Status() const noexcept;
    // Samples refused since construction, per stream and reason.
    CommandRefusals TargetRefusals() const noexcept;
    CommandRefusals ForceRefusals() const noexcept;

    // The loop thread, once a cycle: the commanded force at this state.
    Vec3 ForceAt(std::chrono::steady_clock::time_point now, const Vec3& position,
                 const Vec3& velocity) noexcept;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tamro::HardwareAPI::Control
