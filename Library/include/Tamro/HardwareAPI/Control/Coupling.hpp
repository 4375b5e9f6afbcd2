// The remote end of a coupling: samples of another device's position (and velocity, and its
// own coupling's energy and force when it has one) that stream in to a servo loop, which
// renders its Coupling effect (Effects.hpp) toward them.
#pragma once

#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Control/Effects.hpp>
#include <Tamro/HardwareAPI/Control/Outlet.hpp>
#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include <chrono>
#include <cstdint>
#include <memory>

namespace Tamro::HardwareAPI::Control {

// One sample of the remote device.
struct RemoteSample {
    double stamp = 0;  // when the remote measured it: seconds since the epoch, its wall clock
    Vec3 position{};
    bool hasVelocity = false;
    Vec3 velocity{};
    // The remote coupling's energy in at its own arm (J, counting up since it started) and its
    // force on its arm (N), when the remote runs a coupling and says so.
    bool hasEnergy = false;
    double energyIn = 0;
    bool hasForce = false;
    Vec3 force{};
    // The surface the remote presses on, when it estimates one (ContactModel::Estimate): a
    // point on the plane, its outward normal and its stiffness (N/m, 0: no contact).
    bool hasContact = false;
    Vec3 contactPoint{};
    Vec3 contactNormal{0, 0, 1};
    double contactStiffness = 0;
};

// A test tool for links this machine cannot make worse itself: the receiving side holds each
// sample back by delay plus a random 0 to jitter, and drops a random share loss (0 to 1) of
// them, in order. Off (all zero) by default.
struct Impairment {
    std::chrono::nanoseconds delay{0};
    std::chrono::nanoseconds jitter{0};
    double loss = 0;
    std::uint64_t seed = 1;

    bool Active() const noexcept { return delay.count() > 0 || jitter.count() > 0 || loss > 0; }
};

// Throws InvalidArgument (Errors.hpp) for a delay or jitter outside 0 to 10 s, or a loss
// outside 0 to 1.
void CheckImpairment(const Impairment& impairment);

// What a sample must be to be taken. Everything a remote sends is checked on arrival.
struct RemoteSettings {
    Vec3 lower{-0.1, -0.1, -0.1};  // positions outside this box are refused (m)
    Vec3 upper{0.1, 0.1, 0.1};
    // m/s: a faster velocity is refused, and so is a position further from the last taken one
    // than this speed covers between their stamps.
    double maxSpeed = 5.0;
    double maxForce = 100.0;  // N: a larger remote force is refused
    // Stamps further ahead of this machine's wall clock, or further behind it, are refused,
    // and so is a stamp not after the last taken one. The two clocks must agree this well.
    // Within that, a stamp much fresher than the stream's own (StampJudge) is refused too.
    std::chrono::nanoseconds maxLead = std::chrono::milliseconds(500);
    std::chrono::nanoseconds maxAge = std::chrono::seconds(1);
    // Samples taken a second at most, on average (bursts of a tenth of it): beyond, a flood.
    double maxRateHz = 5000;
    Impairment impairment{};
};

enum class LinkState : std::uint8_t {
    Off,       // not taking samples
    Waiting,   // taking samples, none has come yet
    Engaging,  // samples come and the force ramps up
    Engaged,   // samples come, full force
    Lost,      // no sample within the link time-out: the force ramps to zero, or is zero
};

const char* LinkStateWord(LinkState state) noexcept;  // "off", "waiting", ... as above

// Whose loop keeps a coupling stable. A peer that runs a coupling of its own (its samples count
// its energy) closes a loop through the link: the two-port passivity controller guards it. A
// one-way leader (positions only) closes none: the follower's stability is its own loop's, with
// the coupling spring inside that loop's bound, and the controller only observes.
enum class CouplingMode : std::uint8_t {
    None,       // no sample yet
    OneWay,     // the newest sample counts no energy
    Bilateral,  // it does: the passivity controller acts (when the coupling asks for it)
};

const char* CouplingModeWord(CouplingMode mode) noexcept;  // "none", "one-way", "bilateral"

// Why samples were not taken, counted.
struct RemoteCounts {
    std::uint64_t taken = 0;
    // Not finite, outside the box, too fast (its velocity, or the speed its position implies
    // over the stamps since the last taken one), too strong.
    std::uint64_t refusedValue = 0;
    // Contact planes left out of their samples (the samples judged without them): a point
    // outside the box, a normal not of length 1, a stiffness not from 0 to the largest taken.
    std::uint64_t refusedContact = 0;
    // From the future (of our wall clock, or of the stream's own stamps), too old, or not after
    // the last.
    std::uint64_t refusedStamp = 0;
    std::uint64_t refusedFlood = 0;  // beyond the rate
    std::uint64_t dropped = 0;       // the hand-over to the loop was full
    std::uint64_t impairedLost = 0;  // dropped on purpose by the impairment
};

// What the loop rendered of its coupling at its latest cycle.
struct CouplingStatus {
    LinkState state = LinkState::Off;
    CouplingMode mode = CouplingMode::None;
    double gain = 0;       // 0 to 1: the fade
    Vec3 target{};         // the smoothed remote position rendered toward
    Vec3 force{};          // the coupling's force, sent (after the passivity controller)
    double sampleAge = 0;  // s since the newest sample reached the loop
    // s without a sample after which the link counts as lost: the coupling's link time-out
    // plus three of the peer's sample intervals as measured (at most twice the time-out).
    double linkTimeout = 0;
    double energyIn = 0;  // J at this arm's port, counted from the first engagement
    double energyOut = 0;
    double energyDissipated = 0;  // by the passivity controller
    double energyCredited = 0;    // that entered at the other end
    // J granted to return the spring's rest offset (a bilateral coupling engages at rest where
    // it finds the arms): at most the work of the compensation's pull along the offset returned.
    double energyDrift = 0;
    // The contact model (ContactModel): this side's own estimate (Estimate) or the remote's
    // being rendered (Render); its gain fades it in over the engage time and out over the fade.
    bool contact = false;
    double contactGain = 0;
    Vec3 contactPoint{};
    Vec3 contactNormal{0, 0, 1};
    double contactStiffness = 0;  // N/m
};

// One cycle of the coupling, for a publisher: its force on this arm and its energies.
struct CouplingRecord {
    double time = 0;  // the cycle's, seconds on the monotonic clock
    Vec3 force{};
    double energyIn = 0, energyOut = 0, energyDissipated = 0;
    // The coupling renders a spring or a damper, so its energies are one half of a two-port.
    // A leader that only feels its follower's force (stiffness and damping 0) is not: its
    // follower must take its motion as the source, not its count (which stays near 0).
    bool spring = true;
    // This side's contact estimate (ContactModel::Estimate), to publish: a point on the plane,
    // its outward normal, its stiffness (N/m, 0: no contact).
    bool estimating = false;
    Vec3 contactPoint{};
    Vec3 contactNormal{0, 0, 1};
    double contactStiffness = 0;
};

// The remote samples of a servo loop's coupling. Samples arrive on any thread (a network
// thread, typically): each is checked there and queued for the loop, stamped with its arrival;
// senders take turns on a lock the loop never touches. Every cycle the loop takes what has
// arrived (what an impairment holds back, once its time has come), renders its Coupling
// toward the newest, extrapolated along its velocity for at most the link time-out and blended
// into from the one before, so the target moves smoothly whatever the samples' steps.
class RemoteInput {
public:
    static constexpr std::size_t Capacity = 1024;  // samples queued for the loop

    RemoteInput();
    ~RemoteInput();
    RemoteInput(const RemoteInput&) = delete;
    RemoteInput& operator=(const RemoteInput&) = delete;

    // Starts taking samples (or changes the settings); InvalidArgument for a box that is not
    // finite or inverted, limits that are not above 0, or an impairment out of range (delay
    // and jitter 0 to 10 s, loss 0 to 1).
    void Accept(const RemoteSettings& settings);
    // Stops taking samples: the link counts as lost and the coupling fades out.
    void Stop();
    bool Accepting() const noexcept;

    // A sample, checked and queued; Accepted or Refused.
    Verdict Offer(const RemoteSample& sample) noexcept;
    // The same at given clocks: arrival on the monotonic clock, and the wall clock (tests).
    Verdict Offer(const RemoteSample& sample, std::chrono::steady_clock::time_point arrival,
                  double wallNow) noexcept;

    RemoteCounts Counts() const noexcept;
    CouplingStatus Status() const noexcept;
    // Every cycle in which the loop rendered a coupling, to one consumer (a publisher).
    Outlet<CouplingRecord>& Records() noexcept;

    // --- the loop's thread ---

    // The coupling's force at this cycle: render is where the arm is taken to be when the force
    // acts, measured its position in the reply, velocity its velocity.
    Vec3 ForceAt(const Coupling& coupling, std::chrono::steady_clock::time_point now,
                 const Vec3& render, const Vec3& measured, const Vec3& velocity) noexcept;
    // What of that force was sent (the loop's safety stage may scale the sum): scale 0 to 1.
    void Sent(double scale, double time) noexcept;
    // No coupling in the effect set this cycle: a coupling added later starts afresh.
    void Idle(std::chrono::steady_clock::time_point now) noexcept;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Tamro::HardwareAPI::Control
