#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include "HandOver.hpp"
#include "Passivity.hpp"
#include "Recorder.hpp"
#include "Streams.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>

namespace Tamro::HardwareAPI::Control {

namespace {

using Clock = std::chrono::steady_clock;
using Detail::Finite;

// A new sample's correction of the target is spread over this long, so the target never
// steps, however far the new sample lands from where the last one's motion was taking it.
constexpr double BlendSeconds = 0.005;
// Velocities are estimated from two positions no further apart than this.
constexpr double MaxDifferenceSeconds = 0.1;

std::int64_t Nanoseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void Check(const RemoteSettings& s) {
    Detail::CheckBox("workspace", s.lower, s.upper);
    for (const auto& [name, value] :
         {std::pair{"max_speed", s.maxSpeed}, {"max_force", s.maxForce}, {"max_rate", s.maxRateHz}})
        if (!std::isfinite(value) || value <= 0)
            throw InvalidArgument(name, "must be a finite number above 0");
    for (const auto& [name, value] : {std::pair{"max_lead", s.maxLead},
                                      {"max_age", s.maxAge},
                                      {"delay", s.impairment.delay},
                                      {"jitter", s.impairment.jitter}})
        if (value.count() < 0 || value > std::chrono::seconds(10))
            throw InvalidArgument(name, "must be from 0 to 10 seconds");
    if (!(s.impairment.loss >= 0 && s.impairment.loss <= 1))
        throw InvalidArgument("loss", "must be from 0 to 1");
}

// A sample with the time the loop may take it (its arrival, or later under an impairment).
struct Queued {
    RemoteSample sample;
    std::int64_t releaseNs = 0;
};

// Uniform numbers in [0, 1) for the impairment: xorshift, seeded by the settings, so a run
// can be repeated.
class Random {
public:
    void Seed(std::uint64_t seed) noexcept { state_ = seed != 0 ? seed : 0x9E3779B97F4A7C15ull; }
    double Next() noexcept {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 7;
        state_ ^= state_ << 17;
        return static_cast<double>(state_ >> 11) * 0x1.0p-53;
    }

private:
    std::uint64_t state_ = 1;
};

}  // namespace

class RemoteInput::Impl {
public:
    Impl() : ring(Capacity), pending(std::make_unique<Queued[]>(Capacity)) {}

    // --- senders, taking turns on this lock ---
    std::mutex senders;
    RemoteSettings settings;
    double lastStamp = -1;
    double tokens = 0;
    std::int64_t tokensAt = 0;
    std::int64_t lastRelease = 0;
    Random random;
    std::atomic<bool> accepting{false};
    std::atomic<std::uint64_t> taken{0}, refusedValue{0}, refusedStamp{0}, refusedFlood{0},
        dropped{0}, impairedLost{0};

    // --- the hand-over ---
    Detail::Ring<Queued> ring;
    Detail::SeqLock<CouplingStatus> status;
    Outlet<CouplingRecord> records;

    // --- the loop ---
    void Intake(std::int64_t nowNs) noexcept;
    void Take(const Queued& q, std::int64_t nowNs, double horizon) noexcept;
    Vec3 Extrapolated(const Queued& q, std::int64_t nowNs, double horizon) const noexcept;

    std::unique_ptr<Queued[]> pending;  // waiting for their release, in order
    std::size_t pendingFirst = 0, pendingCount = 0;
    bool haveCurrent = false;
    Queued current, previous;
    Vec3 blendOffset{};
    double blendLeft = 0;
    double horizon = 0.02;
    double gain = 0;
    std::int64_t lastNs = 0;
    Detail::PassivityControl passivity;
    bool haveMeasured = false;
    Vec3 measuredBefore{};
    Vec3 targetBefore{};
    bool haveTarget = false;
    Vec3 computed{}, applied{};
    bool spring = true;
    bool haveRemoteEnergy = false;
    double remoteEnergy = 0;
    CouplingStatus shown;
};

RemoteInput::RemoteInput() : impl_(std::make_unique<Impl>()) {}
RemoteInput::~RemoteInput() = default;

void RemoteInput::Accept(const RemoteSettings& settings) {
    Check(settings);
    std::lock_guard<std::mutex> lock(impl_->senders);
    impl_->settings = settings;
    impl_->random.Seed(settings.impairment.seed);
    impl_->tokens = std::max(10.0, settings.maxRateHz / 10);
    impl_->accepting.store(true, std::memory_order_release);
}

void RemoteInput::Stop() { impl_->accepting.store(false, std::memory_order_release); }

bool RemoteInput::Accepting() const noexcept {
    return impl_->accepting.load(std::memory_order_acquire);
}

Verdict RemoteInput::Offer(const RemoteSample& sample) noexcept {
    const double wall =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    return Offer(sample, Clock::now(), wall);
}

Verdict RemoteInput::Offer(const RemoteSample& sample, Clock::time_point arrival,
                           double wallNow) noexcept {
    Impl& s = *impl_;
    std::lock_guard<std::mutex> lock(s.senders);
    if (!s.accepting.load(std::memory_order_relaxed)) return Verdict::Refused;
    const RemoteSettings& c = s.settings;
    const bool valueOk =
        Finite(sample.position) && Detail::Inside(c.lower, c.upper, sample.position) &&
        (!sample.hasVelocity || (Finite(sample.velocity) && Norm(sample.velocity) <= c.maxSpeed)) &&
        (!sample.hasEnergy || (std::isfinite(sample.energyIn) && sample.energyIn >= 0)) &&
        (!sample.hasForce || (Finite(sample.force) && Norm(sample.force) <= c.maxForce));
    if (!valueOk) {
        s.refusedValue.fetch_add(1, std::memory_order_relaxed);
        return Verdict::Refused;
    }
    const double lead = std::chrono::duration<double>(c.maxLead).count();
    const double age = std::chrono::duration<double>(c.maxAge).count();
    if (!std::isfinite(sample.stamp) || sample.stamp > wallNow + lead ||
        sample.stamp < wallNow - age || sample.stamp <= s.lastStamp) {
        s.refusedStamp.fetch_add(1, std::memory_order_relaxed);
        return Verdict::Refused;
    }
    const std::int64_t at = Nanoseconds(arrival);
    const double burst = std::max(10.0, c.maxRateHz / 10);
    if (s.tokensAt != 0)
        s.tokens =
            std::min(burst, s.tokens + static_cast<double>(at - s.tokensAt) * 1e-9 * c.maxRateHz);
    s.tokensAt = at;
    if (s.tokens < 1) {
        s.refusedFlood.fetch_add(1, std::memory_order_relaxed);
        return Verdict::Refused;
    }
    s.tokens -= 1;
    s.lastStamp = sample.stamp;
    s.taken.fetch_add(1, std::memory_order_relaxed);
    const Impairment& impair = c.impairment;
    if (impair.loss > 0 && s.random.Next() < impair.loss) {
        s.impairedLost.fetch_add(1, std::memory_order_relaxed);
        return Verdict::Accepted;
    }
    std::int64_t release = at + impair.delay.count();
    if (impair.jitter.count() > 0)
        release +=
            static_cast<std::int64_t>(s.random.Next() * static_cast<double>(impair.jitter.count()));
    release = std::max(release, s.lastRelease);  // a link delays, it does not reorder
    s.lastRelease = release;
    if (!s.ring.Push(Queued{sample, release})) s.dropped.fetch_add(1, std::memory_order_relaxed);
    return Verdict::Accepted;
}

RemoteCounts RemoteInput::Counts() const noexcept {
    const Impl& s = *impl_;
    RemoteCounts c;
    c.taken = s.taken.load(std::memory_order_relaxed);
    c.refusedValue = s.refusedValue.load(std::memory_order_relaxed);
    c.refusedStamp = s.refusedStamp.load(std::memory_order_relaxed);
    c.refusedFlood = s.refusedFlood.load(std::memory_order_relaxed);
    c.dropped = s.dropped.load(std::memory_order_relaxed);
    c.impairedLost = s.impairedLost.load(std::memory_order_relaxed);
    return c;
}

CouplingStatus RemoteInput::Status() const noexcept { return impl_->status.Read(); }
Outlet<CouplingRecord>& RemoteInput::Records() noexcept { return impl_->records; }

Vec3 RemoteInput::Impl::Extrapolated(const Queued& q, std::int64_t nowNs,
                                     double limit) const noexcept {
    const double ahead = std::clamp(static_cast<double>(nowNs - q.releaseNs) * 1e-9, 0.0, limit);
    return q.sample.position + ahead * q.sample.velocity;
}

// The newest sample becomes the target's; the step from where the one before was taking the
// target is blended away.
void RemoteInput::Impl::Take(const Queued& q, std::int64_t nowNs, double limit) noexcept {
    Queued next = q;
    if (!next.sample.hasVelocity) {  // from the two newest positions, by their stamps
        const double span = haveCurrent ? next.sample.stamp - current.sample.stamp : 0;
        next.sample.velocity = span > 0 && span <= MaxDifferenceSeconds
                                   ? (1.0 / span) * (next.sample.position - current.sample.position)
                                   : Vec3{};
    }
    if (haveCurrent && haveTarget) {
        const Vec3 was =
            Extrapolated(current, nowNs, limit) + (blendLeft / BlendSeconds) * blendOffset;
        blendOffset = was - Extrapolated(next, nowNs, limit);
        blendLeft = BlendSeconds;
    }
    previous = current;
    current = next;
    haveCurrent = true;
    if (current.sample.hasEnergy) {
        // Counting up; a count that went back is a remote that started again: no credit.
        if (haveRemoteEnergy && current.sample.energyIn >= remoteEnergy)
            passivity.Credit(current.sample.energyIn - remoteEnergy);
        remoteEnergy = current.sample.energyIn;
        haveRemoteEnergy = true;
    }
}

void RemoteInput::Impl::Intake(std::int64_t nowNs) noexcept {
    Queued arrived[32];
    std::size_t n;
    while ((n = ring.Pop(arrived, 32)) > 0) {
        for (std::size_t i = 0; i < n; ++i) {
            if (pendingCount == Capacity) {  // cannot happen at the ring's own capacity
                pendingFirst = (pendingFirst + 1) % Capacity;
                --pendingCount;
                dropped.fetch_add(1, std::memory_order_relaxed);
            }
            pending[(pendingFirst + pendingCount) % Capacity] = arrived[i];
            ++pendingCount;
        }
    }
    while (pendingCount > 0 && pending[pendingFirst].releaseNs <= nowNs) {
        Take(pending[pendingFirst], nowNs, horizon);
        pendingFirst = (pendingFirst + 1) % Capacity;
        --pendingCount;
    }
}

Vec3 RemoteInput::ForceAt(const Coupling& coupling, Clock::time_point now, const Vec3& render,
                          const Vec3& measured, const Vec3& velocity) noexcept {
    Impl& s = *impl_;
    const std::int64_t nowNs = Nanoseconds(now);
    const double dt =
        s.lastNs > 0 ? std::max(0.0, static_cast<double>(nowNs - s.lastNs) * 1e-9) : 0;
    s.lastNs = nowNs;
    s.horizon = coupling.linkTimeout;
    s.spring = coupling.stiffness > 0 || coupling.damping > 0;

    // What the force sent last did while it was held.
    if (s.haveMeasured) s.passivity.Observe(s.applied, measured - s.measuredBefore);
    s.measuredBefore = measured;
    s.haveMeasured = true;

    const bool hadEnergy = s.haveRemoteEnergy;
    s.Intake(nowNs);
    const bool accepting = s.accepting.load(std::memory_order_acquire);
    const bool live =
        accepting && s.haveCurrent &&
        static_cast<double>(nowNs - s.current.releaseNs) * 1e-9 <= coupling.linkTimeout;
    if (live && s.gain == 0) {
        s.passivity.Restart();  // engaging afresh: nothing stored is owed
        s.haveRemoteEnergy = hadEnergy && s.current.sample.hasEnergy;
    }
    s.gain = Detail::Follow(s.gain, live, dt / coupling.engage, dt / coupling.fade);

    Vec3 target = s.haveTarget ? s.targetBefore : measured;
    if (s.haveCurrent) {
        target = s.Extrapolated(s.current, nowNs, s.horizon) +
                 (s.blendLeft / BlendSeconds) * s.blendOffset;
        s.blendLeft = std::max(0.0, s.blendLeft - dt);
        // A remote that says nothing of its energy is taken as moving the target at will: the
        // work its motion does on the coupling is what came in at its end.
        if (s.haveTarget && !s.current.sample.hasEnergy)
            s.passivity.Credit(Dot(s.applied, target - s.targetBefore));
    }
    s.targetBefore = target;
    s.haveTarget = s.haveCurrent;

    Vec3 force{};
    if (s.haveCurrent && s.gain > 0) {
        Vec3 raw = coupling.stiffness * (target - render) +
                   coupling.damping * (s.current.sample.velocity - velocity);
        if (coupling.reflect > 0 && s.current.sample.hasForce)
            raw = raw - coupling.reflect * s.current.sample.force;
        force = s.passivity.Limit(s.gain * raw, velocity, dt > 0 ? dt : 1e-3, coupling.passivity);
    }
    s.computed = force;

    CouplingStatus& shown = s.shown;
    shown.state = !s.haveCurrent ? (accepting ? LinkState::Waiting : LinkState::Off)
                  : live         ? (s.gain < 1 ? LinkState::Engaging : LinkState::Engaged)
                  : (!accepting && s.gain == 0) ? LinkState::Off
                                                : LinkState::Lost;
    shown.gain = s.gain;
    shown.target = target;
    shown.sampleAge = s.haveCurrent ? static_cast<double>(nowNs - s.current.releaseNs) * 1e-9 : 0;
    shown.energyIn = s.passivity.In();
    shown.energyOut = s.passivity.Out();
    shown.energyDissipated = s.passivity.Dissipated();
    shown.energyCredited = s.passivity.Credited();
    return force;
}

void RemoteInput::Sent(double scale, double time) noexcept {
    Impl& s = *impl_;
    s.applied = scale * s.computed;
    s.shown.force = s.applied;
    s.status.Write(s.shown);
    s.records.Push(
        {time, s.applied, s.shown.energyIn, s.shown.energyOut, s.shown.energyDissipated, s.spring});
}

void RemoteInput::Idle(Clock::time_point now) noexcept {
    Impl& s = *impl_;
    s.Intake(Nanoseconds(now));
    if (s.gain == 0 && !s.haveMeasured) return;
    s.gain = 0;
    s.haveMeasured = false;
    s.haveTarget = false;
    s.applied = s.computed = Vec3{};
    s.lastNs = 0;
    s.shown.gain = 0;
    s.shown.force = Vec3{};
    s.shown.state =
        s.accepting.load(std::memory_order_acquire) ? LinkState::Waiting : LinkState::Off;
    s.status.Write(s.shown);
}

}  // namespace Tamro::HardwareAPI::Control
