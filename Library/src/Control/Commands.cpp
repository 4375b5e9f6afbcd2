#include <Tamro/HardwareAPI/Control/Commands.hpp>
#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include "HandOver.hpp"
#include "StampJudge.hpp"
#include "Streams.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <optional>

namespace Tamro::HardwareAPI::Control {

const char* CommandModeWord(CommandMode mode) noexcept {
    switch (mode) {
        case CommandMode::Off: return "off";
        case CommandMode::Waiting: return "waiting";
        case CommandMode::Engaging: return "engaging";
        case CommandMode::Engaged: return "engaged";
        case CommandMode::Fading: return "fading";
    }
    return "off";
}

namespace {

using Clock = std::chrono::steady_clock;

template <typename TimePoint>
std::int64_t Nanoseconds(TimePoint t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

using Detail::Finite;

void Check(const CommandSettings& s) {
    for (const auto& [name, value] : {std::pair{"stiffness", s.stiffness}, {"damping", s.damping}})
        if (!std::isfinite(value) || value < 0)
            throw InvalidArgument(name, "must be a finite number >= 0");
    for (const auto& [name, value] : {std::pair{"timeout", s.timeout}, {"ramp", s.ramp}})
        if (value < std::chrono::milliseconds(1) || value > std::chrono::seconds(10))
            throw InvalidArgument(name, "must be from 0.001 to 10 seconds");
    if (s.stampWindow < std::chrono::milliseconds(1) ||
        s.stampWindow > std::chrono::seconds(1'000'000'000))
        throw InvalidArgument("stamp_window", "must be from 0.001 to 1e9 seconds");
    Detail::CheckBox("workspace", s.lower, s.upper);
}

// What the senders hand the loop, whole.
struct Incoming {
    bool accepting = false;
    CommandSettings settings;
    bool hasTarget = false;
    Vec3 target{};
    std::int64_t targetAt = 0;  // sent as judged: ns on the monotonic clock
    bool hasForce = false;
    Vec3 force{};
    std::int64_t forceAt = 0;
};

// One stream's freshness: its judge (the senders') and what it refused (anyone's), by reason.
struct StreamStamps {
    Detail::StampJudge judge;
    std::atomic<std::uint64_t> stopped{0}, notFinite{0}, outside{0};
    std::atomic<std::uint64_t> stale{0}, future{0}, implausible{0};

    static Verdict Refuse(std::atomic<std::uint64_t>& count) noexcept {
        count.fetch_add(1, std::memory_order_relaxed);
        return Verdict::Refused;
    }

    // The time the sample was sent as judged (ns, monotonic), or nothing when it is refused.
    std::optional<std::int64_t> Sent(std::chrono::nanoseconds stamp,
                                     const Arrival& arrival) noexcept {
        const std::int64_t at = Nanoseconds(arrival.monotonic);
        const auto j = judge.Judge(stamp.count(), at, Nanoseconds(arrival.wall));
        using V = Detail::StampJudge::Verdict;
        std::atomic<std::uint64_t>* count = j.verdict == V::Stale         ? &stale
                                            : j.verdict == V::Future      ? &future
                                            : j.verdict == V::Implausible ? &implausible
                                                                          : nullptr;
        if (count == nullptr) return at - j.ageNs;
        count->fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    }

    CommandRefusals Counts() const noexcept {
        constexpr auto relaxed = std::memory_order_relaxed;
        return {stopped.load(relaxed), notFinite.load(relaxed), outside.load(relaxed),
                stale.load(relaxed),   future.load(relaxed),    implausible.load(relaxed)};
    }
};

}  // namespace

class CommandInput::Impl {
public:
    // Senders.
    std::mutex senders;
    Incoming staging;
    std::atomic<bool> accepting{false};
    std::atomic<double> maxForce{10.0};
    StreamStamps targetStamps, forceStamps;

    void Hand() noexcept {
        handOver.Spare() = staging;
        handOver.Publish();
    }

    // The loop.
    Detail::TripleBuffer<Incoming> handOver;
    Detail::SeqLock<CommandStatus> status;
    double targetGain = 0;
    double forceGain = 0;
    std::int64_t lastNs = 0;
};

CommandInput::CommandInput() : impl_(std::make_unique<Impl>()) {}
CommandInput::~CommandInput() = default;

void CommandInput::Accept(const CommandSettings& settings) {
    Check(settings);
    std::lock_guard<std::mutex> lock(impl_->senders);
    for (StreamStamps* stream : {&impl_->targetStamps, &impl_->forceStamps})
        stream->judge.Configure(settings.timeout, settings.stampWindow);
    impl_->staging.accepting = true;
    impl_->staging.settings = settings;
    impl_->accepting.store(true, std::memory_order_relaxed);
    impl_->Hand();
}

void CommandInput::Stop() {
    std::lock_guard<std::mutex> lock(impl_->senders);
    impl_->staging.accepting = false;
    impl_->staging.hasTarget = impl_->staging.hasForce = false;
    impl_->accepting.store(false, std::memory_order_relaxed);
    impl_->Hand();
}

bool CommandInput::Accepting() const noexcept {
    return impl_->accepting.load(std::memory_order_relaxed);
}

Verdict CommandInput::Target(const Vec3& position, std::chrono::nanoseconds stamp) noexcept {
    return Target(position, stamp, Arrival::Now());
}

Verdict CommandInput::Target(const Vec3& position, std::chrono::nanoseconds stamp,
                             const Arrival& arrival) noexcept {
    std::lock_guard<std::mutex> lock(impl_->senders);
    Incoming& in = impl_->staging;
    StreamStamps& stream = impl_->targetStamps;
    if (!in.accepting) return StreamStamps::Refuse(stream.stopped);
    if (!Finite(position)) return StreamStamps::Refuse(stream.notFinite);
    if (!Detail::Inside(in.settings.lower, in.settings.upper, position))
        return StreamStamps::Refuse(stream.outside);
    // Judged last: a sample refused for its value leaves the stream's stamps alone.
    const std::optional<std::int64_t> sent = stream.Sent(stamp, arrival);
    if (!sent) return Verdict::Refused;
    in.hasTarget = true;
    in.target = position;
    in.targetAt = *sent;
    impl_->Hand();
    return Verdict::Accepted;
}

Verdict CommandInput::Force(const Vec3& force, std::chrono::nanoseconds stamp) noexcept {
    return Force(force, stamp, Arrival::Now());
}

Verdict CommandInput::Force(const Vec3& force, std::chrono::nanoseconds stamp,
                            const Arrival& arrival) noexcept {
    if (!Finite(force)) return StreamStamps::Refuse(impl_->forceStamps.notFinite);
    const double limit = impl_->maxForce.load(std::memory_order_relaxed);
    const double magnitude = Norm(force);
    const bool clamped = magnitude > limit;
    std::lock_guard<std::mutex> lock(impl_->senders);
    Incoming& in = impl_->staging;
    if (!in.accepting) return StreamStamps::Refuse(impl_->forceStamps.stopped);
    const std::optional<std::int64_t> sent = impl_->forceStamps.Sent(stamp, arrival);
    if (!sent) return Verdict::Refused;
    in.hasForce = true;
    in.force = clamped ? (limit / magnitude) * force : force;
    in.forceAt = *sent;
    impl_->Hand();
    return clamped ? Verdict::Clamped : Verdict::Accepted;
}

void CommandInput::SetMaxForce(double newtons) noexcept {
    impl_->maxForce.store(newtons, std::memory_order_relaxed);
}

CommandStatus CommandInput::Status() const noexcept { return impl_->status.Read(); }

CommandRefusals CommandInput::TargetRefusals() const noexcept {
    return impl_->targetStamps.Counts();
}

CommandRefusals CommandInput::ForceRefusals() const noexcept { return impl_->forceStamps.Counts(); }

Vec3 CommandInput::ForceAt(Clock::time_point now, const Vec3& position,
                           const Vec3& velocity) noexcept {
    Impl& s = *impl_;
    const Incoming& in = s.handOver.Latest();
    const std::int64_t nowNs = Nanoseconds(now);
    const std::int64_t sinceLast = s.lastNs > 0 ? std::max<std::int64_t>(0, nowNs - s.lastNs) : 0;
    s.lastNs = nowNs;
    const std::int64_t timeout = in.settings.timeout.count();
    const bool targetLive = in.accepting && in.hasTarget && nowNs - in.targetAt <= timeout;
    const bool forceLive = in.accepting && in.hasForce && nowNs - in.forceAt <= timeout;
    const double step =
        static_cast<double>(sinceLast) / static_cast<double>(in.settings.ramp.count());
    s.targetGain = Detail::Follow(s.targetGain, targetLive, step, step);
    s.forceGain = Detail::Follow(s.forceGain, forceLive, step, step);

    CommandStatus status;
    status.targetGain = s.targetGain;
    status.forceGain = s.forceGain;
    if (s.targetGain > 0)
        status.force = s.targetGain * (in.settings.stiffness * (in.target - position) -
                                       in.settings.damping * velocity);
    if (s.forceGain > 0) status.force = status.force + s.forceGain * in.force;
    const bool fading = (!targetLive && s.targetGain > 0) || (!forceLive && s.forceGain > 0);
    const bool engaging = (targetLive && s.targetGain < 1) || (forceLive && s.forceGain < 1);
    if (fading)
        status.mode = CommandMode::Fading;
    else if (engaging)
        status.mode = CommandMode::Engaging;
    else if (targetLive || forceLive)
        status.mode = CommandMode::Engaged;
    else
        status.mode = in.accepting ? CommandMode::Waiting : CommandMode::Off;
    s.status.Write(status);
    return status.force;
}

}  // namespace Tamro::HardwareAPI::Control
