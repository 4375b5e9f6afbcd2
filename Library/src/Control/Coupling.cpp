#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include "ContactEstimator.hpp"
#include "CouplingEnergy.hpp"
#include "DriftCompensation.hpp"
#include "HandOver.hpp"
#include "LinkDelay.hpp"
#include "LinkWatch.hpp"
#include "Recorder.hpp"
#include "SampleGate.hpp"
#include "SampleLink.hpp"
#include "Streams.hpp"
#include "TargetTracker.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>

namespace Tamro::HardwareAPI::Control {

const char* LinkStateWord(LinkState state) noexcept {
    switch (state) {
        case LinkState::Off: return "off";
        case LinkState::Waiting: return "waiting";
        case LinkState::Engaging: return "engaging";
        case LinkState::Engaged: return "engaged";
        case LinkState::Lost: return "lost";
    }
    return "off";
}

const char* CouplingModeWord(CouplingMode mode) noexcept {
    switch (mode) {
        case CouplingMode::None: return "none";
        case CouplingMode::OneWay: return "one-way";
        case CouplingMode::Bilateral: return "bilateral";
    }
    return "none";
}

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t Nanoseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void Check(const RemoteSettings& s) {
    Detail::CheckBox("workspace", s.lower, s.upper);
    for (const auto& [name, value] :
         {std::pair{"maxSpeed", s.maxSpeed}, {"maxForce", s.maxForce}, {"maxRateHz", s.maxRateHz}})
        if (!std::isfinite(value) || value <= 0)
            throw InvalidArgument(name, "must be a finite number above 0");
    for (const auto& [name, value] : {std::pair{"maxLead", s.maxLead}, {"maxAge", s.maxAge}})
        if (value.count() < 0 || value > std::chrono::seconds(10))
            throw InvalidArgument(name, "must be from 0 to 10 seconds");
    CheckImpairment(s.impairment);
}

}  // namespace

void CheckImpairment(const Impairment& impairment) {
    for (const auto& [name, value] :
         {std::pair{"delay", impairment.delay}, {"jitter", impairment.jitter}})
        if (value.count() < 0 || value > std::chrono::seconds(10))
            throw InvalidArgument(name, "must be from 0 to 10 seconds");
    if (!(impairment.loss >= 0 && impairment.loss <= 1))
        throw InvalidArgument("loss", "must be from 0 to 1");
}

// The parts' glue: senders go through the gate and the link into the ring; the loop moves
// what arrived into its queue, takes what is due, tracks the target, limits the force by the
// energy, fades on loss and shows its status.
class RemoteInput::Impl {
public:
    Impl()
        : ring(Capacity),
          direct(ring),
          impaired(direct),
          pending(std::make_unique<Detail::QueuedSample[]>(Capacity)) {}

    // --- senders, taking turns on this lock ---
    std::mutex senders;
    Detail::SampleGate gate;
    std::atomic<bool> accepting{false};
    // This machine's wall clock less its monotonic one (s), as last seen by a sender: the loop
    // turns a sample's stamp into its age with it, without reading the wall clock itself.
    std::atomic<double> wallLessMonotonic{0};
    std::atomic<std::uint64_t> taken{0}, refusedValue{0}, refusedContact{0}, refusedStamp{0},
        refusedFlood{0}, dropped{0}, impairedLost{0};

    // --- the hand-over ---
    Detail::Ring<Detail::QueuedSample> ring;
    Detail::DirectLink direct;
    Detail::ImpairedLink impaired;  // only when the settings ask for it
    Detail::SampleLink* link = &direct;
    Detail::SeqLock<CouplingStatus> status;
    Outlet<CouplingRecord> records;

    // --- the loop ---
    void Intake(std::int64_t nowNs) noexcept;
    Vec3 RestOffset(const Coupling& coupling, bool fresh, bool guard, const Vec3& error,
                    double dt) noexcept;

    std::unique_ptr<Detail::QueuedSample[]> pending;  // waiting for their release, in order
    std::size_t pendingFirst = 0, pendingCount = 0;
    Detail::TargetTracker tracker;
    Detail::LinkWatch watch;
    Detail::CouplingEnergy energy;
    Detail::LinkDelay delay;
    Detail::DriftCompensation drift;
    double horizon = 0.02;
    double gain = 0;
    std::int64_t lastNs = 0;
    bool spring = true;
    CouplingStatus shown;

    // --- the contact model (ContactModel), the loop's ---
    Vec3 Contact(const Coupling& coupling, Vec3& raw, const Vec3& render, const Vec3& velocity,
                 const Vec3& target, bool live, double dt) noexcept;
    void Estimate(const Vec3& applied) noexcept;
    void ShowContact() noexcept;
    Detail::ContactEstimator estimator;
    ContactModel contactModel = ContactModel::Off;
    Detail::ContactPlane plane;  // in force: kept while it fades out
    double contactGain = 0;
    Vec3 modelShare{};  // of this cycle's force, outside the energy count
    Vec3 lastMeasured{}, lastVelocity{};
    double lastDt = 0;

    // The box and speed limit the target keeps to, from the settings: written by Accept,
    // read by the loop without waiting (a torn read mixes two valid settings for one cycle).
    std::atomic<double> bounds[7] = {-0.1, -0.1, -0.1, 0.1, 0.1, 0.1, 5.0};
    Detail::TargetTracker::Bounds Bounds() const noexcept {
        Detail::TargetTracker::Bounds b;
        for (int i = 0; i < 3; ++i) {
            b.lower[i] = bounds[i].load(std::memory_order_relaxed);
            b.upper[i] = bounds[3 + i].load(std::memory_order_relaxed);
        }
        b.maxSpeed = bounds[6].load(std::memory_order_relaxed);
        return b;
    }
};

RemoteInput::RemoteInput() : impl_(std::make_unique<Impl>()) {}
RemoteInput::~RemoteInput() = default;

void RemoteInput::Accept(const RemoteSettings& settings) {
    Check(settings);
    std::lock_guard<std::mutex> lock(impl_->senders);
    impl_->gate.Configure(settings);
    for (int i = 0; i < 3; ++i) {
        impl_->bounds[i].store(settings.lower[i], std::memory_order_relaxed);
        impl_->bounds[3 + i].store(settings.upper[i], std::memory_order_relaxed);
    }
    impl_->bounds[6].store(settings.maxSpeed, std::memory_order_relaxed);
    impl_->impaired.Configure(settings.impairment);
    impl_->link = settings.impairment.Active() ? static_cast<Detail::SampleLink*>(&impl_->impaired)
                                               : &impl_->direct;
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
    const std::int64_t at = Nanoseconds(arrival);
    RemoteSample judged = sample;
    if (judged.hasContact && !s.gate.ContactOk(judged)) {
        judged.hasContact = false;
        s.refusedContact.fetch_add(1, std::memory_order_relaxed);
    }
    switch (s.gate.Judge(judged, at, wallNow)) {
        case Detail::SampleGate::Verdict::RefusedValue:
            s.refusedValue.fetch_add(1, std::memory_order_relaxed);
            return Verdict::Refused;
        case Detail::SampleGate::Verdict::RefusedStamp:
            s.refusedStamp.fetch_add(1, std::memory_order_relaxed);
            return Verdict::Refused;
        case Detail::SampleGate::Verdict::RefusedFlood:
            s.refusedFlood.fetch_add(1, std::memory_order_relaxed);
            return Verdict::Refused;
        case Detail::SampleGate::Verdict::Taken: break;
    }
    s.taken.fetch_add(1, std::memory_order_relaxed);
    s.wallLessMonotonic.store(wallNow - static_cast<double>(at) * 1e-9, std::memory_order_relaxed);
    switch (s.link->Carry(judged, at)) {
        case Detail::SampleLink::Delivery::Queued: break;
        case Detail::SampleLink::Delivery::Full:
            s.dropped.fetch_add(1, std::memory_order_relaxed);
            break;
        case Detail::SampleLink::Delivery::Lost:
            s.impairedLost.fetch_add(1, std::memory_order_relaxed);
            break;
    }
    return Verdict::Accepted;
}

RemoteCounts RemoteInput::Counts() const noexcept {
    const Impl& s = *impl_;
    RemoteCounts c;
    c.taken = s.taken.load(std::memory_order_relaxed);
    c.refusedValue = s.refusedValue.load(std::memory_order_relaxed);
    c.refusedContact = s.refusedContact.load(std::memory_order_relaxed);
    c.refusedStamp = s.refusedStamp.load(std::memory_order_relaxed);
    c.refusedFlood = s.refusedFlood.load(std::memory_order_relaxed);
    c.dropped = s.dropped.load(std::memory_order_relaxed);
    c.impairedLost = s.impairedLost.load(std::memory_order_relaxed);
    return c;
}

CouplingStatus RemoteInput::Status() const noexcept { return impl_->status.Read(); }
Outlet<CouplingRecord>& RemoteInput::Records() noexcept { return impl_->records; }

void RemoteInput::Impl::Intake(std::int64_t nowNs) noexcept {
    Detail::QueuedSample arrived[32];
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
        const Detail::QueuedSample& due = pending[pendingFirst];
        tracker.Take(due.sample, due.releaseNs, nowNs, horizon);
        watch.Arrived(due.releaseNs);
        delay.Sample(static_cast<double>(due.releaseNs) * 1e-9 +
                     wallLessMonotonic.load(std::memory_order_relaxed) - due.sample.stamp);
        energy.Remote(due.sample);
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

    s.energy.Observe(measured);
    s.tracker.Bound(s.Bounds());
    s.Intake(nowNs);
    const Detail::TargetTracker& tracker = s.tracker;
    const bool accepting = s.accepting.load(std::memory_order_acquire);
    const double age =
        tracker.HasSample() ? static_cast<double>(nowNs - tracker.NewestReleaseNs()) * 1e-9 : 0;
    const double timeout = s.watch.Timeout(coupling.linkTimeout);
    const bool live = accepting && tracker.HasSample() && age <= timeout;
    if (!live) s.watch.Restart();  // the gap that ends a cut is no interval of the peer's
    const bool fresh = live && s.gain == 0;
    if (fresh) s.energy.Engage(tracker.Newest().hasEnergy);
    s.gain = Detail::Follow(s.gain, live, dt / coupling.engage, dt / coupling.fade);

    const bool hadTarget = tracker.HasTarget();
    const Vec3 before = tracker.LastTarget();
    const Vec3 target = s.tracker.Aim(nowNs, s.horizon, dt, measured);
    if (tracker.HasSample() && hadTarget && !tracker.Newest().hasEnergy)
        s.energy.TargetMoved(target - before);

    const CouplingMode mode = !tracker.HasSample()         ? CouplingMode::None
                              : tracker.Newest().hasEnergy ? CouplingMode::Bilateral
                                                           : CouplingMode::OneWay;
    // Only a bilateral coupling closes a loop through the link for the controller to guard.
    const bool guard = coupling.passivity && mode == CouplingMode::Bilateral;
    const Vec3 rest = s.RestOffset(coupling, fresh, guard, target - render, dt);
    Vec3 force{};
    if (tracker.HasSample() && s.gain > 0) {
        const RemoteSample& newest = tracker.Newest();
        const double damping = std::max(coupling.damping, s.delay.Damping(coupling.stiffness));
        Vec3 raw =
            coupling.stiffness * (target - render - rest) + damping * (newest.velocity - velocity);
        if (coupling.reflect > 0 && newest.hasForce) raw = raw - coupling.reflect * newest.force;
        // The contact model's share is no part of the two-port the controller guards: the held
        // arm's plane is local and passive, the touching arm's press a bounded force the
        // network's loop does not close while the model holds.
        s.modelShare = s.gain * s.Contact(coupling, raw, render, velocity, target, live, dt);
        force = s.energy.Limit(s.gain * raw, velocity, dt > 0 ? dt : 1e-3, guard);
    } else {  // nothing rendered: a plane in force fades out with the coupling
        s.modelShare = Vec3{};
        s.contactGain = Detail::Follow(s.contactGain, false, 0, dt / coupling.fade);
        if (s.contactGain == 0) s.plane = Detail::ContactPlane{};
    }
    s.energy.Computed(force);
    force = force + s.modelShare;
    s.lastMeasured = measured;
    s.lastVelocity = velocity;
    s.lastDt = dt;
    s.contactModel = coupling.contactModel;

    CouplingStatus& shown = s.shown;
    shown.state = !tracker.HasSample() ? (accepting ? LinkState::Waiting : LinkState::Off)
                  : live               ? (s.gain < 1 ? LinkState::Engaging : LinkState::Engaged)
                  : (!accepting && s.gain == 0) ? LinkState::Off
                                                : LinkState::Lost;
    shown.mode = mode;
    shown.gain = s.gain;
    shown.target = target;
    shown.sampleAge = age;
    shown.linkTimeout = timeout;
    shown.energyIn = s.energy.In();
    shown.energyOut = s.energy.Out();
    shown.energyDissipated = s.energy.Dissipated();
    shown.energyCredited = s.energy.Credited();
    shown.energyDrift = s.energy.Granted();
    s.ShowContact();
    return force;
}

// The spring's rest offset this cycle (DriftCompensation.hpp): set on a fresh engagement, then
// returned within the energy granted to the port for it.
Vec3 RemoteInput::Impl::RestOffset(const Coupling& coupling, bool fresh, bool guard,
                                   const Vec3& error, double dt) noexcept {
    if (fresh) drift.Engage(guard ? error : Vec3{});
    energy.Grant(drift.Step(error, gain, coupling.stiffness, dt, guard));
    return drift.Offset();
}

void RemoteInput::Sent(double scale, double time) noexcept {
    Impl& s = *impl_;
    const Vec3 applied = s.energy.Sent(scale) + scale * s.modelShare;
    s.shown.force = applied;
    s.status.Write(s.shown);
    s.Estimate(applied);
    const Detail::ContactPlane& own = s.estimator.Plane();
    s.records.Push({time, applied, s.shown.energyIn, s.shown.energyOut, s.shown.energyDissipated,
                    s.spring, s.contactModel == ContactModel::Estimate, own.point, own.normal,
                    own.stiffness});
}

void RemoteInput::Idle(Clock::time_point now) noexcept {
    Impl& s = *impl_;
    s.Intake(Nanoseconds(now));
    if (s.gain == 0 && !s.energy.Observing()) return;
    s.gain = 0;
    s.contactGain = 0;
    s.modelShare = Vec3{};
    s.plane = Detail::ContactPlane{};
    s.estimator.Reset();
    s.energy.Leave();
    s.tracker.Forget();
    s.lastNs = 0;
    s.shown.gain = 0;
    s.shown.mode = CouplingMode::None;
    s.shown.force = Vec3{};
    s.shown.state =
        s.accepting.load(std::memory_order_acquire) ? LinkState::Waiting : LinkState::Off;
    s.status.Write(s.shown);
}

// The contact model's share of the coupling's force. Along the plane's normal, while the arm
// that renders (or the remote, for the arm that touches) is inside the plane, the coupling's
// force is replaced by the plane's: the held arm feels the surface at once, the touching arm
// presses with what the held one feels. The blend fades in over the engage time and out over
// the fade; across the plane the coupling stays as it is. Takes the replaced share out of raw
// and returns the plane's.
Vec3 RemoteInput::Impl::Contact(const Coupling& coupling, Vec3& raw, const Vec3& render,
                                const Vec3& velocity, const Vec3& target, bool live,
                                double dt) noexcept {
    Detail::ContactPlane wanted;
    if (coupling.contactModel == ContactModel::Estimate) {
        estimator.Bound(coupling.contactMaxStiffness);
        wanted = estimator.Plane();
    } else if (coupling.contactModel == ContactModel::Render && live) {
        const RemoteSample& newest = tracker.Newest();
        if (newest.hasContact && newest.contactStiffness > 0)
            wanted = {true, newest.contactPoint, newest.contactNormal,
                      std::min(newest.contactStiffness, coupling.contactMaxStiffness)};
    }
    if (wanted.valid) plane = wanted;
    contactGain =
        Detail::Follow(contactGain, wanted.valid, dt / coupling.engage, dt / coupling.fade);
    if (coupling.contactModel == ContactModel::Off || contactGain == 0 || !plane.valid) {
        if (contactGain == 0) plane = Detail::ContactPlane{};
        return {};
    }
    const Vec3& n = plane.normal;
    const Vec3 along = Dot(raw, n) * n;
    // Where the plane is felt: the held arm's own position, or the remote's for the arm that
    // touches (this arm presses as deep as the remote is in the plane).
    const Vec3& at = coupling.contactModel == ContactModel::Render ? render : target;
    if (Dot(plane.point - at, n) <= 0) return {};
    raw = raw - contactGain * along;
    const Vec3 wall = ForceOf(Plane{plane.point, n, plane.stiffness, coupling.contactDamping}, at,
                              coupling.contactModel == ContactModel::Render ? velocity : Vec3{});
    return contactGain * (coupling.contactModel == ContactModel::Render ? wall : -1.0 * wall);
}

// The touching arm's estimate, from what its coupling sent this cycle: the surface's reaction.
void RemoteInput::Impl::Estimate(const Vec3& applied) noexcept {
    if (contactModel != ContactModel::Estimate) {
        estimator.Reset();
        return;
    }
    estimator.Update(lastMeasured, lastVelocity, -1.0 * applied, lastDt);
}

void RemoteInput::Impl::ShowContact() noexcept {
    shown.contact = plane.valid;
    shown.contactGain = contactGain;
    shown.contactPoint = plane.point;
    shown.contactNormal = plane.normal;
    shown.contactStiffness = plane.valid ? plane.stiffness : 0;
}

}  // namespace Tamro::HardwareAPI::Control
