#include "ServoCore.hpp"

#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include "Prediction.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

constexpr double LateFactor = 1.5;  // a period this many nominal periods long is late

// The link tracks a full pipeline, the zero-force request after it and a barrier.
static_assert(ServoLoop::MaxInFlight + 2 <= static_cast<int>(ReplyMatcher::Capacity));

std::int64_t Nanoseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

void NoteMaximum(std::atomic<std::int64_t>& maximumNs, Clock::duration d) noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    if (ns > maximumNs.load(std::memory_order_relaxed))
        maximumNs.store(ns, std::memory_order_relaxed);
}

void RequireFinitePositive(const char* name, double value) {
    if (!std::isfinite(value) || value <= 0)
        throw InvalidArgument(name, "must be a finite number above 0");
}

void RequireForceBound(double newtons) {
    RequireFinitePositive("maxForce", newtons);
    if (newtons > ServoLoop::MaxDeviceForce) {
        char limit[32];
        std::snprintf(limit, sizeof limit, "%g", ServoLoop::MaxDeviceForce);
        throw InvalidArgument("maxForce",
                              std::string("must be at most the device maximum of ") + limit + " N");
    }
}

}  // namespace

void CheckServoOptions(const ServoOptions& o) {
    CheckLoopOptions(o.rateHz, o.faultTimeout, o.maxFaults);
    RequireForceBound(o.maxForce);
    if (o.realtimePriority < 1 || o.realtimePriority > 90)
        throw InvalidArgument("realtimePriority", "must be from 1 to 90");
    if (o.spin.count() < 0) throw InvalidArgument("spin", "must not be negative");
    if (o.inFlight < 1 || o.inFlight > ServoLoop::MaxInFlight)
        throw InvalidArgument("inFlight",
                              "must be from 1 to " + std::to_string(ServoLoop::MaxInFlight));
}

ServoCore::ServoCore(const ServoOptions& options, ArmLink& link, LoopClock& clock)
    : options_(options),
      inFlight_(static_cast<std::size_t>(options.inFlight)),
      link_(link),
      clock_(clock) {
    staging_.maxForce = options_.maxForce;
    commands_.SetMaxForce(options_.maxForce);
    PublishStaging();
}

void ServoCore::SetEffects(const std::vector<Effect>& effects,
                           const std::vector<std::uint64_t>& keys) {
    if (effects.size() > ServoLoop::MaxEffects)
        throw std::length_error("at most " + std::to_string(ServoLoop::MaxEffects) +
                                " effects, not " + std::to_string(effects.size()));
    if (!keys.empty() && keys.size() != effects.size())
        throw InvalidArgument("keys", "must be one per effect");
    std::array<Effect, ServoLoop::MaxEffects> valid{};
    std::array<std::uint64_t, ServoLoop::MaxEffects> keyed{};
    std::size_t couplings = 0;
    for (std::size_t i = 0; i < effects.size(); ++i) {
        valid[i] = Validated(effects[i]);
        keyed[i] = keys.empty() ? i + 1 : keys[i];  // without keys, the place says which
        couplings += std::holds_alternative<Coupling>(valid[i]) ? 1 : 0;
    }
    // The loop has one remote end: two couplings would share its fade and its energy.
    if (couplings > 1) throw InvalidArgument("effects", "may hold one Coupling at most");
    std::lock_guard<std::mutex> lock(settingsLock_);
    const std::uint64_t generation = staging_.generation + 1;
    const std::uint64_t taken = taken_.load(std::memory_order_acquire);
    retired_.erase(std::remove_if(retired_.begin(), retired_.end(),
                                  [&](const Retired& r) { return r.generation <= taken; }),
                   retired_.end());
    for (std::size_t i = 0; i < staging_.count; ++i)
        if (const auto* mesh = std::get_if<Mesh>(&staging_.effects[i]))
            retired_.push_back({generation, mesh->tree});
    staging_.effects = valid;
    staging_.keys = keyed;
    staging_.count = effects.size();
    staging_.generation = generation;
    PublishStaging();
}

void ServoCore::PublishStaging() {
    settings_.Spare() = staging_;
    settings_.Publish();
    // The slot now spare is the writer's alone: what it held (a mesh's tree) is let go here, on
    // this thread, not kept until the next change.
    settings_.Spare().effects.fill(Effect{});
}

void ServoCore::SetMaxForce(double newtons) {
    RequireForceBound(newtons);
    std::lock_guard<std::mutex> lock(settingsLock_);
    staging_.maxForce = newtons;
    commands_.SetMaxForce(newtons);
    PublishStaging();
}

void ServoCore::ResetFigures() noexcept {
    periods_.Reset();
    exchanges_.Reset();
    ages_.Reset();
    effectsForce_.ContactTimes().Reset();
    recentPeriods_.Reset();
    recentAges_.Reset();
    wakeLateMaxNs_.store(0, std::memory_order_relaxed);
    for (auto* counter : {&cycles_, &late_, &longestLate_, &failed_, &nonFinite_, &clamped_,
                          &launched_, &inFlightSum_, &inFlightMax_, &resyncs_, &guardFirings_})
        counter->store(0, std::memory_order_relaxed);
    firstStartNs_.store(0, std::memory_order_relaxed);
    lastStartNs_.store(0, std::memory_order_relaxed);
    recorder_.ResetDropped();
}

ServoStats ServoCore::Stats() const {
    ServoStats s;
    s.cycles = cycles_.load(std::memory_order_relaxed);
    const auto span = static_cast<double>(lastStartNs_.load(std::memory_order_relaxed) -
                                          firstStartNs_.load(std::memory_order_relaxed));
    if (s.cycles >= 2 && span > 0) s.rateHz = static_cast<double>(s.cycles - 1) * 1e9 / span;
    s.periodP50Us = periods_.PercentileUs(0.50);
    s.periodP99Us = periods_.PercentileUs(0.99);
    s.periodMaxUs = periods_.MaxUs();
    s.lateCycles = late_.load(std::memory_order_relaxed);
    s.longestLateRun = longestLate_.load(std::memory_order_relaxed);
    s.exchangeP50Us = exchanges_.PercentileUs(0.50);
    s.exchangeP99Us = exchanges_.PercentileUs(0.99);
    s.exchangeMaxUs = exchanges_.MaxUs();
    s.stateAgeP50Us = ages_.PercentileUs(0.50);
    s.stateAgeP99Us = ages_.PercentileUs(0.99);
    s.longestStallUs = ages_.MaxUs();
    s.recentPeriodP99Us = recentPeriods_.PercentileUs(0.99);
    s.recentStateAgeP99Us = recentAges_.PercentileUs(0.99);
    s.wakeLateMaxUs = static_cast<double>(wakeLateMaxNs_.load(std::memory_order_relaxed)) / 1000.0;
    if (const std::uint64_t launched = launched_.load(std::memory_order_relaxed); launched > 0)
        s.inFlightMean = static_cast<double>(inFlightSum_.load(std::memory_order_relaxed)) /
                         static_cast<double>(launched);
    s.inFlightMax = inFlightMax_.load(std::memory_order_relaxed);
    s.resyncs = resyncs_.load(std::memory_order_relaxed);
    s.guardFirings = guardFirings_.load(std::memory_order_relaxed);
    s.failedExchanges = failed_.load(std::memory_order_relaxed);
    s.nonFiniteForces = nonFinite_.load(std::memory_order_relaxed);
    s.clampedForces = clamped_.load(std::memory_order_relaxed);
    s.droppedRecords = recorder_.Dropped();
    s.realtime = realtimeGranted_.load(std::memory_order_relaxed);
    const CouplingStatus coupling = remote_.Status();
    s.couplingEnergyObservedJ = coupling.energyIn - coupling.energyOut;
    s.couplingEnergyDissipatedJ = coupling.energyDissipated;
    s.contactP99Us = effectsForce_.ContactTimes().PercentileUs(0.99);
    s.contactMaxUs = effectsForce_.ContactTimes().MaxUs();
    return s;
}

std::optional<Vec3> ServoCore::ProxyOf(std::uint64_t key) const noexcept {
    const auto reports = effectsForce_.Proxies();
    for (std::uint64_t i = 0; i < reports.count && i < reports.slots.size(); ++i)
        if (reports.slots[i].key == key)
            return reports.slots[i].touching ? std::optional<Vec3>(reports.slots[i].position)
                                             : std::nullopt;
    return std::nullopt;
}

// The inputs' sum, then the safety stage: a sum that is not finite is sent as zero, and the
// magnitude is clamped to the maximum force.
Vec3 ServoCore::ForceAt(const ServoSettings& settings,
                        const std::array<Effect, ServoLoop::MaxEffects>& effects,
                        Clock::time_point now, const Vec3& position,
                        const Vec3& velocity) noexcept {
    const ForceContext cycle{
        now, position, position_, velocity, effects.data(), settings.keys.data(), settings.count};
    Vec3 sum{};
    for (ForceInput* input : inputs_) sum = sum + input->ForceAt(cycle);
    // Measured on the sum divided by its largest component, so a finite sum too large to
    // square (1e154 N and up) is still clamped along its direction rather than zeroed.
    double scale = 1;
    const double largest = std::max({std::fabs(sum[0]), std::fabs(sum[1]), std::fabs(sum[2])});
    if (!std::isfinite(largest)) {
        nonFinite_.fetch_add(1, std::memory_order_relaxed);
        scale = 0;
    } else if (largest > 0) {
        const double relative = Norm((1.0 / largest) * sum);
        if (largest * relative > settings.maxForce) {
            clamped_.fetch_add(1, std::memory_order_relaxed);
            scale = settings.maxForce / largest / relative;
        }
    }
    // Each input learns what of the sum was really sent (the coupling counts its energy by it).
    for (ForceInput* input : inputs_) input->Sent(scale, now);
    if (scale == 0) return {};  // not finite: nothing scales it back
    return scale == 1 ? sum : scale * sum;
}

void ServoCore::Pipeline::Push(const InFlight& entry) noexcept {
    entries_[(first_ + count_) % Capacity] = entry;
    ++count_;
}

void ServoCore::Pipeline::PopOldest() noexcept {
    first_ = (first_ + 1) % Capacity;
    --count_;
}

// A failure's reason (silence is worded here, where the time-out is known), and the end of the
// pipeline: nothing on the line is trusted until a barrier has come back.
void ServoCore::Unpair(const LinkEvent& event, FaultNote& why) noexcept {
    if (event.forgotten) barrier_ = 0;
    if (event.why.error == ETIMEDOUT)
        why.NoteMissing(0, false, options_.faultTimeout);
    else
        why = event.why;
    paired_ = false;
    pipeline_.Clear();
}

ServoCore::Outcome ServoCore::Launch(const Vec3& force, FaultNote& why) noexcept {
    ArmRequest request;
    request.force = force;
    const LinkEvent sent = link_.Send(request);
    const std::uint64_t cycle = ++forceRequests_;
    if (sent.kind != LinkEvent::Kind::Sent) {
        Unpair(sent, why);
        return Outcome::Failed;
    }
    pipeline_.Push({sent.request, cycle, force, sent.sentAt});
    return Outcome::Pending;
}

// Replies come in the order of their requests, so the next one the link names for the oldest
// is its answer; one for a request given up on earlier, or a stray barrier's, is passed over.
ServoCore::Outcome ServoCore::AwaitOldest(Clock::time_point cap, FaultNote& why) noexcept {
    const InFlight oldest = pipeline_.Oldest();
    const Clock::time_point until = std::min(oldest.sentAt + options_.faultTimeout, cap);
    for (;;) {
        const LinkEvent event = link_.Next(until);
        if (event.kind == LinkEvent::Kind::State && event.request == oldest.request) {
            pipeline_.PopOldest();
            Answered(event, oldest.cycle, oldest.force);
            return Outcome::Answered;
        }
        if (event.kind == LinkEvent::Kind::Failed) {
            if (event.why.error == ECANCELED) return Outcome::Stopped;  // still in flight
            Unpair(event, why);
            return Outcome::Failed;
        }
    }
}

ServoCore::Outcome ServoCore::Collect(Clock::time_point until, FaultNote& why) noexcept {
    Outcome outcome = Outcome::Pending;
    while (pipeline_.Size() > 0) {
        if (pipeline_.Oldest().sentAt + options_.faultTimeout > until && !link_.Await(until)) break;
        const Outcome taken = AwaitOldest(Clock::time_point::max(), why);
        if (taken != Outcome::Answered) return taken;
        outcome = Outcome::Answered;
    }
    return outcome;
}

ServoCore::Outcome ServoCore::Settle(Outcome outcome, FaultNote& why) noexcept {
    while (pipeline_.Size() >= inFlight_) {
        const Outcome taken = AwaitOldest(Clock::time_point::max(), why);
        if (taken != Outcome::Answered) return taken;
        outcome = Outcome::Answered;
    }
    return outcome;
}

ServoCore::Outcome ServoCore::Cycle(Clock::time_point start, Clock::duration sinceLast,
                                    Clock::duration period, Clock::time_point next,
                                    FaultNote& why) noexcept {
    // Room for this cycle's request: a stop can leave a full pipeline and its zero-force
    // request behind.
    Outcome outcome = Settle(Collect(clock_.Now(), why), why);
    if (outcome == Outcome::Failed || outcome == Outcome::Stopped) return outcome;
    if (guard_.FiredSinceLastLook()) {  // checked last before a force goes out
        GuardTookOver();
        return outcome;
    }
    if (Launch(CycleForce(start, sinceLast, period), why) == Outcome::Failed)
        return Outcome::Failed;
    const std::uint64_t onLine = pipeline_.Size();
    launched_.fetch_add(1, std::memory_order_relaxed);
    inFlightSum_.fetch_add(onLine, std::memory_order_relaxed);
    if (onLine > inFlightMax_.load(std::memory_order_relaxed))
        inFlightMax_.store(onLine, std::memory_order_relaxed);
    outcome = Settle(outcome, why);
    if (outcome == Outcome::Failed || outcome == Outcome::Stopped) return outcome;
    // Taken as they come rather than at the next cycle: their times are then the arrivals'.
    const Outcome later = Collect(next, why);
    return later == Outcome::Pending ? outcome : later;
}

// A reply that answers its own request: the cycle's state, published and recorded.
void ServoCore::Answered(const LinkEvent& event, std::uint64_t cycle, const Vec3& force) noexcept {
    exchanges_.Add(event.at - event.sentAt);
    const CycleState result{cycle, Seconds(event.at), event.position, event.velocity, force};
    state_.Write(result);
    recorder_.Push(result);
    outlet_.Push(result);
    position_ = result.position;
    velocity_ = result.velocity;
    stateSentAt_ = event.sentAt;
    haveState_ = true;
}

// This cycle's force: the effects, each glided toward its newest parameters, at the newest
// state that has arrived, or (compensating the delay) at where that state will have moved while
// the force acts, over its own age, however many requests were on the line since.
Vec3 ServoCore::CycleForce(Clock::time_point start, Clock::duration sinceLast,
                           Clock::duration period) noexcept {
    const ServoSettings& settings = settings_.Latest();
    const auto& effects = smoother_.Advance(settings.effects, settings.keys, settings.count,
                                            SecondsOf(start - lastGlide_));
    lastGlide_ = start;
    if (!haveState_) return {};  // until the first reply of this run: zero force
    const Clock::duration age = clock_.Now() - stateSentAt_;
    ages_.Add(age);
    recentAges_.Add(start, age);
    Vec3 at = position_;
    if (options_.compensateDelay) {
        // Held for a period; free-running, about as long as the last cycle took.
        const Clock::duration hold = period > Clock::duration::zero() ? period : sinceLast;
        at = PredictedPosition(position_, velocity_,
                               PredictionHorizon(SecondsOf(age), SecondsOf(hold), inFlight_));
    }
    const Vec3 force = ForceAt(settings, effects, start, at, velocity_);
    // Neither the glides nor the meshes' proxies refer to an older set now: its trees may go.
    taken_.store(settings.generation, std::memory_order_release);
    return force;
}

// While unpaired: the wake-up goes out as a barrier (one at a time), and everything up to its
// reply is passed over, within one fault time-out per cycle.
ServoCore::Outcome ServoCore::Repair(FaultNote& why) noexcept {
    if (barrier_ == 0) {
        ArmRequest request;
        request.barrier = true;
        const LinkEvent sent = link_.Send(request);
        if (sent.kind != LinkEvent::Kind::Sent) {
            Unpair(sent, why);
            return Outcome::Failed;
        }
        barrier_ = sent.request;
    }
    const Clock::time_point until = clock_.Now() + options_.faultTimeout;
    for (;;) {
        const LinkEvent event = link_.Next(until);
        if (event.kind == LinkEvent::Kind::Barrier && event.request == barrier_) {
            barrier_ = 0;
            paired_ = true;
            resyncs_.fetch_add(1, std::memory_order_relaxed);
            return Outcome::Answered;
        }
        if (event.kind == LinkEvent::Kind::Failed) {
            if (event.why.error == ECANCELED) return Outcome::Stopped;
            Unpair(event, why);
            return Outcome::Failed;
        }
    }
}

void ServoCore::GuardTookOver() noexcept {
    guardFirings_.fetch_add(1, std::memory_order_relaxed);
    paired_ = false;
    pipeline_.Clear();
    haveState_ = false;
}

Clock::duration ServoCore::CountCycleStart(Clock::time_point start,
                                           Clock::duration period) noexcept {
    const std::uint64_t n = cycles_.fetch_add(1, std::memory_order_relaxed);
    const Clock::duration sinceLast = n == 0 ? Clock::duration::zero() : start - previousStart_;
    if (n == 0) {
        firstStartNs_.store(Nanoseconds(start), std::memory_order_relaxed);
    } else {
        periods_.Add(start - previousStart_);
        recentPeriods_.Add(start, start - previousStart_);
        if (period > Clock::duration::zero() && start - previousStart_ > LateFactor * period) {
            late_.fetch_add(1, std::memory_order_relaxed);
            if (++lateRun_ > longestLate_.load(std::memory_order_relaxed))
                longestLate_.store(lateRun_, std::memory_order_relaxed);
        } else {
            lateRun_ = 0;
        }
    }
    lastStartNs_.store(Nanoseconds(start), std::memory_order_relaxed);
    previousStart_ = start;
    return sinceLast;
}

void ServoCore::Run(const std::atomic<bool>& stop) noexcept {
    recorder_.ProducerStarted();
    const Clock::duration period = PeriodOf(options_.rateHz);
    Pacer pacer(clock_, period);
    haveState_ = false;     // until the first reply of this run: zero force
    smoother_.Reset();      // and each effect starts at its parameters
    effectsForce_.Reset();  // and each mesh's proxy where the hand is
    lateRun_ = 0;
    FaultCount faults(options_.maxFaults);
    bool givenUp = false;
    FaultNote why;
    guard_.Arm(clock_.Now());
    while (pacer.WaitNext(stop)) {
        const Clock::time_point start = clock_.Now();
        guard_.Beat(start);
        const Clock::duration sinceLast = CountCycleStart(start, period);
        if (period > Clock::duration::zero()) NoteMaximum(wakeLateMaxNs_, pacer.Oversleep());
        Outcome outcome;
        if (!paired_) {
            outcome = Repair(why);
            // A barrier that came back is no exchange: it neither counts nor forgives.
            if (outcome == Outcome::Answered) {
                recorder_.EndCycle();
                continue;
            }
        } else {
            // Free-running, the next cycle starts at once; paced, replies are awaited up to
            // its deadline (less the busy-wait the clock does before it).
            const Clock::time_point next =
                period > Clock::duration::zero() ? pacer.Upcoming() - options_.spin : clock_.Now();
            outcome = Cycle(start, sinceLast, period, next, why);
        }
        recorder_.EndCycle();
        if (outcome == Outcome::Stopped) break;
        if (outcome == Outcome::Pending) continue;  // nothing was due: neither counts
        if (outcome == Outcome::Answered) {
            faults.Answered();
            continue;
        }
        failed_.fetch_add(1, std::memory_order_relaxed);
        givenUp = faults.Failed();
        if (givenUp) break;
    }
    link_.Resume();
    SendZeroForce();  // stopping or giving up: leave the arm without force
    guard_.Disarm();  // ... as it now is, so the loop's silence from here on is harmless
    recorder_.EndCycle();
    recorder_.ProducerStopped();
    // The fault shows once the last request is out, so whoever sees it sees a finished loop.
    if (givenUp) flags_.Latch(why, faults.InARow());
}

void ServoCore::SendZeroForce() noexcept {
    FaultNote ignored;
    if (guard_.FiredSinceLastLook()) GuardTookOver();  // its reply is not this request's
    if (paired_) {
        if (Launch(Vec3{}, ignored) == Outcome::Failed) return;
        const Clock::time_point cap =
            clock_.Now() + std::min<Clock::duration>(ZeroForceWait, options_.faultTimeout);
        while (pipeline_.Size() > 0)
            if (AwaitOldest(cap, ignored) != Outcome::Answered) return;
        return;
    }
    // Unpaired, no reply could be told apart from a late one: the request alone is what
    // matters to the arm, and it answers in order.
    ArmRequest request;
    link_.Send(request);
    ++forceRequests_;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
