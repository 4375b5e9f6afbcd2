#include "ServoCore.hpp"

#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include "Prediction.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

constexpr double LateFactor = 1.5;  // a period this many nominal periods long is late

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

}  // namespace

void CheckServoOptions(const ServoOptions& o) {
    CheckLoopOptions(o.rateHz, o.faultTimeout, o.maxFaults);
    RequireFinitePositive("maxForce", o.maxForce);
    if (o.realtimePriority < 1 || o.realtimePriority > 90)
        throw InvalidArgument("realtimePriority", "must be from 1 to 90");
    if (o.spin.count() < 0) throw InvalidArgument("spin", "must not be negative");
}

ServoCore::ServoCore(const ServoOptions& options, ArmLink& link, LoopClock& clock)
    : options_(options), link_(link), clock_(clock) {
    staging_.maxForce = options_.maxForce;
    commands_.SetMaxForce(options_.maxForce);
    settings_.Spare() = staging_;
    settings_.Publish();
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
    for (std::size_t i = 0; i < effects.size(); ++i) {
        valid[i] = Validated(effects[i]);
        keyed[i] = keys.empty() ? i + 1 : keys[i];  // without keys, the place says which
    }
    std::lock_guard<std::mutex> lock(settingsLock_);
    staging_.effects = valid;
    staging_.keys = keyed;
    staging_.count = effects.size();
    settings_.Spare() = staging_;
    settings_.Publish();
}

void ServoCore::SetMaxForce(double newtons) {
    RequireFinitePositive("maxForce", newtons);
    std::lock_guard<std::mutex> lock(settingsLock_);
    staging_.maxForce = newtons;
    commands_.SetMaxForce(newtons);
    settings_.Spare() = staging_;
    settings_.Publish();
}

void ServoCore::ResetFigures() noexcept {
    periods_.Reset();
    exchanges_.Reset();
    ages_.Reset();
    wakeLateMaxNs_.store(0, std::memory_order_relaxed);
    for (auto* counter : {&cycles_, &late_, &longestLate_, &failed_, &nonFinite_, &clamped_})
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
    s.wakeLateMaxUs = static_cast<double>(wakeLateMaxNs_.load(std::memory_order_relaxed)) / 1000.0;
    s.failedExchanges = failed_.load(std::memory_order_relaxed);
    s.nonFiniteForces = nonFinite_.load(std::memory_order_relaxed);
    s.clampedForces = clamped_.load(std::memory_order_relaxed);
    s.droppedRecords = recorder_.Dropped();
    s.realtime = realtimeGranted_.load(std::memory_order_relaxed);
    return s;
}

// The effects' sum with the streamed commands, then the safety stage: a sum that is not
// finite is sent as zero, and the magnitude is clamped to the maximum force.
Vec3 ServoCore::ForceAt(const ServoSettings& settings,
                        const std::array<Effect, ServoLoop::MaxEffects>& effects,
                        Clock::time_point now, const Vec3& position,
                        const Vec3& velocity) noexcept {
    Vec3 sum = commands_.ForceAt(now, position, velocity);
    for (std::size_t i = 0; i < settings.count; ++i)
        sum = sum + ForceOf(effects[i], position, velocity);
    const double magnitude = Norm(sum);
    if (!std::isfinite(magnitude)) {
        nonFinite_.fetch_add(1, std::memory_order_relaxed);
        return {};
    }
    if (magnitude > settings.maxForce) {
        clamped_.fetch_add(1, std::memory_order_relaxed);
        return (settings.maxForce / magnitude) * sum;
    }
    return sum;
}

// A failure's reason; silence is worded here, where the time-out is known.
void ServoCore::NoteFailure(const LinkEvent& event, FaultNote& why) noexcept {
    if (event.forgotten) barrier_ = 0;
    if (event.why.error == ETIMEDOUT)
        why.NoteMissing(0, false, options_.faultTimeout);
    else
        why = event.why;
}

// One force request and its own reply. A reply to an earlier request (one that came after its
// exchange gave up) is passed over; any failure unpairs the line, so that nothing is trusted
// until a barrier has come back.
ServoCore::Outcome ServoCore::Exchange(const Vec3& force, Clock::duration wait,
                                       FaultNote& why) noexcept {
    ArmRequest request;
    request.force = force;
    const LinkEvent sent = link_.Send(request);
    const std::uint64_t cycle = ++forceRequests_;
    if (sent.kind != LinkEvent::Kind::Sent) {
        NoteFailure(sent, why);
        paired_ = false;
        return Outcome::Failed;
    }
    const Clock::time_point until = clock_.Now() + wait;
    for (;;) {
        const LinkEvent event = link_.Next(until);
        if (event.kind == LinkEvent::Kind::State && event.request == sent.request) {
            Answered(event, cycle, force);
            return Outcome::Answered;
        }
        if (event.kind == LinkEvent::Kind::State && event.request == cutShort_.request) {
            Answered(event, cutShort_.cycle, cutShort_.force);
            cutShort_ = {};
            continue;
        }
        if (event.kind == LinkEvent::Kind::Failed) {
            if (event.why.error == ECANCELED) {  // a stop: the request is still in flight
                cutShort_ = {sent.request, cycle, force};
                return Outcome::Stopped;
            }
            NoteFailure(event, why);
            paired_ = false;
            cutShort_ = {};
            return Outcome::Failed;
        }
        // A late reply to an earlier request, or a barrier's: not this request's.
    }
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

// This cycle's force: the effects, each glided toward its newest parameters, at the last state,
// or (compensating the delay) at where that state will have moved while the force acts.
Vec3 ServoCore::CycleForce(Clock::time_point start, Clock::duration sinceLast,
                           Clock::duration period) noexcept {
    const ServoSettings& settings = settings_.Latest();
    const auto& effects = smoother_.Advance(settings.effects, settings.keys, settings.count,
                                            SecondsOf(start - lastGlide_));
    lastGlide_ = start;
    if (!haveState_) return {};  // until the first reply of this run: zero force
    const Clock::duration age = clock_.Now() - stateSentAt_;
    ages_.Add(age);
    Vec3 at = position_;
    if (options_.compensateDelay) {
        // Held for a period; free-running, about as long as the last cycle took.
        const Clock::duration hold = period > Clock::duration::zero() ? period : sinceLast;
        at = PredictedPosition(position_, velocity_,
                               PredictionHorizon(SecondsOf(age), SecondsOf(hold)));
    }
    return ForceAt(settings, effects, start, at, velocity_);
}

// While unpaired: the wake-up goes out as a barrier (one at a time), and everything up to its
// reply is passed over, within one fault time-out per cycle.
ServoCore::Outcome ServoCore::Repair(FaultNote& why) noexcept {
    if (barrier_ == 0) {
        ArmRequest request;
        request.barrier = true;
        const LinkEvent sent = link_.Send(request);
        if (sent.kind != LinkEvent::Kind::Sent) {
            NoteFailure(sent, why);
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
            cutShort_ = {};  // its reply, if any, came before the barrier's
            return Outcome::Answered;
        }
        if (event.kind == LinkEvent::Kind::Failed) {
            if (event.why.error == ECANCELED) return Outcome::Stopped;
            NoteFailure(event, why);
            return Outcome::Failed;
        }
    }
}

Clock::duration ServoCore::CountCycleStart(Clock::time_point start,
                                           Clock::duration period) noexcept {
    const std::uint64_t n = cycles_.fetch_add(1, std::memory_order_relaxed);
    const Clock::duration sinceLast = n == 0 ? Clock::duration::zero() : start - previousStart_;
    if (n == 0) {
        firstStartNs_.store(Nanoseconds(start), std::memory_order_relaxed);
    } else {
        periods_.Add(start - previousStart_);
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
    haveState_ = false;  // until the first reply of this run: zero force
    smoother_.Reset();   // and each effect starts at its parameters
    lateRun_ = 0;
    FaultCount faults(options_.maxFaults);
    bool givenUp = false;
    FaultNote why;
    while (pacer.WaitNext(stop)) {
        const Clock::time_point start = clock_.Now();
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
            outcome = Exchange(CycleForce(start, sinceLast, period), options_.faultTimeout, why);
        }
        recorder_.EndCycle();
        if (outcome == Outcome::Stopped) break;
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
    recorder_.EndCycle();
    recorder_.ProducerStopped();
    // The fault shows once the last request is out, so whoever sees it sees a finished loop.
    if (givenUp) flags_.Latch(why, faults.InARow());
}

void ServoCore::SendZeroForce() noexcept {
    FaultNote ignored;
    if (paired_) {
        Exchange(Vec3{}, std::min<Clock::duration>(ZeroForceWait, options_.faultTimeout), ignored);
        return;
    }
    // Unpaired, no reply could be told apart from a late one: the request alone is what
    // matters to the arm, and it answers in order.
    ArmRequest request;
    link_.Send(request);
    ++forceRequests_;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
