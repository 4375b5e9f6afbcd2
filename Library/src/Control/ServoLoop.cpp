#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include "HandOver.hpp"
#include "LoopThread.hpp"
#include "Prediction.hpp"
#include "Realtime.hpp"
#include "Recorder.hpp"
#include "Smoothing.hpp"
#include "Timing.hpp"

#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace Tamro::HardwareAPI::Control {

namespace {

using Detail::Clock;

constexpr auto WakeTimeout = std::chrono::seconds(1);
constexpr double LateFactor = 1.5;  // a period this many nominal periods long is late

// What the loop reads every cycle, handed over whole.
struct Settings {
    double maxForce = 0;
    std::size_t count = 0;
    std::array<Effect, ServoLoop::MaxEffects> effects{};
    std::array<std::uint64_t, ServoLoop::MaxEffects> keys{};
};

std::int64_t Nanoseconds(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

Vec3 Widened(const Devices::Vector3& v) { return {v[0], v[1], v[2]}; }

void NoteMaximum(std::atomic<std::int64_t>& maximumNs, Clock::duration d) noexcept {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    if (ns > maximumNs.load(std::memory_order_relaxed))
        maximumNs.store(ns, std::memory_order_relaxed);
}

void RequireFinitePositive(const char* name, double value) {
    if (!std::isfinite(value) || value <= 0)
        throw std::invalid_argument(std::string(name) + " must be a finite number above 0");
}

void Check(const ServoOptions& o) {
    Detail::CheckLoopOptions(o.rateHz, o.faultTimeout, o.maxFaults);
    RequireFinitePositive("max_force", o.maxForce);
    if (o.realtimePriority < 1 || o.realtimePriority > 90)
        throw std::invalid_argument("the real-time priority must be from 1 to 90");
    if (o.spin.count() < 0) throw std::invalid_argument("spin must not be negative");
}

}  // namespace

class ServoLoop::Impl {
public:
    Impl(const std::string& port, const ServoOptions& options);

    bool Start();
    void Stop();
    void Close();
    void SetEffects(const std::vector<Effect>& effects, const std::vector<std::uint64_t>& keys);
    void SetMaxForce(double newtons);
    ServoStats Stats() const;

    void Run();

    const std::string port_;
    const ServoOptions options_;
    IO::SerialStream stream_;
    Devices::Velkin3 arm_;
    Devices::DeviceInfo info_;

    // Lifecycle, and the settings being assembled: never touched by the loop.
    mutable std::mutex lifecycle_;
    std::mutex settingsLock_;
    Settings staging_;
    std::thread thread_;
    RealtimeStatus realtime_;
    bool everRan_ = false;
    bool closed_ = false;

    // Hand-over with the loop (HandOver.hpp, Recorder.hpp).
    Detail::TripleBuffer<Settings> settings_;
    Detail::SeqLock<CycleState> state_;
    Detail::Recorder<CycleState> recorder_;
    Detail::LoopFlags flags_;

    // Figures: written by the loop only, read by anyone.
    Detail::Histogram periods_;
    Detail::Histogram exchanges_;
    Detail::Histogram ages_;
    std::atomic<std::int64_t> wakeLateMaxNs_{0};
    std::atomic<std::uint64_t> cycles_{0}, late_{0}, longestLate_{0}, failed_{0}, nonFinite_{0},
        clamped_{0};
    std::atomic<std::int64_t> firstStartNs_{0}, lastStartNs_{0};
    std::atomic<bool> realtimeGranted_{false};

private:
    Vec3 ForceAt(const Settings& settings, const std::array<Effect, MaxEffects>& effects,
                 const Vec3& position, const Vec3& velocity) noexcept;
    bool Exchange(const Vec3& force, CycleState& result, Detail::FaultNote& why) noexcept;
    void ResetFigures() noexcept;

    // The loop's own.
    std::uint64_t cycle_ = 0;   // every exchange gets the next number
    Clock::time_point sent_{};  // when the last exchange's request went out
    Detail::Smoother<MaxEffects> smoother_;
};

ServoLoop::Impl::Impl(const std::string& port, const ServoOptions& options)
    : port_(port), options_(options), stream_(port.c_str(), false, WakeTimeout), arm_(&stream_) {
    Check(options_);
    Detail::OpenOwnPort(stream_, port);
    arm_.SendDeviceWakeup();
    arm_.ReceiveDeviceInfo(info_);
    if (!stream_.good())  // anything but a whole device-info reply leaves the stream failed
        throw std::system_error(ETIMEDOUT, std::generic_category(),
                                "no arm answered the wake-up within 1 s");
    stream_.SetReadTimeout(options_.faultTimeout);
    staging_.maxForce = options_.maxForce;
    settings_.Spare() = staging_;
    settings_.Publish();
}

bool ServoLoop::Impl::Start() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (flags_.Faulted() || closed_) return false;
    if (flags_.Running()) return true;
    if (thread_.joinable()) thread_.join();  // an earlier run that has ended
    if (flags_.Faulted()) return false;      // ... perhaps by giving up
    ResetFigures();
    flags_.Starting();
    everRan_ = true;
    thread_ = std::thread([this] { Run(); });
    if (options_.realtime) {
        realtime_ = Detail::MakeRealtime(thread_, options_.realtimePriority);
        realtimeGranted_.store(realtime_.granted, std::memory_order_relaxed);
    }
    return true;
}

void ServoLoop::Impl::Stop() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (!thread_.joinable()) return;
    flags_.RequestStop();
    thread_.join();
}

void ServoLoop::Impl::Close() {
    Stop();
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (closed_) return;
    if (!everRan_) {  // the arm may hold a force from before us: leave it at zero
        CycleState last;
        Detail::FaultNote ignored;
        Exchange(Vec3{}, last, ignored);
    }
    stream_.ClosePort();
    closed_ = true;
}

void ServoLoop::Impl::SetEffects(const std::vector<Effect>& effects,
                                 const std::vector<std::uint64_t>& keys) {
    if (effects.size() > MaxEffects)
        throw std::length_error("at most " + std::to_string(MaxEffects) + " effects, not " +
                                std::to_string(effects.size()));
    if (!keys.empty() && keys.size() != effects.size())
        throw std::invalid_argument("keys must be one per effect");
    std::array<Effect, MaxEffects> valid{};
    std::array<std::uint64_t, MaxEffects> keyed{};
    for (std::size_t i = 0; i < effects.size(); ++i) {
        valid[i] = Validated(effects[i]);
        keyed[i] = keys.empty() ? i + 1 : keys[i];
    }
    std::lock_guard<std::mutex> lock(settingsLock_);
    staging_.effects = valid;
    staging_.keys = keyed;
    staging_.count = effects.size();
    settings_.Spare() = staging_;
    settings_.Publish();
}

void ServoLoop::Impl::SetMaxForce(double newtons) {
    RequireFinitePositive("max_force", newtons);
    std::lock_guard<std::mutex> lock(settingsLock_);
    staging_.maxForce = newtons;
    settings_.Spare() = staging_;
    settings_.Publish();
}

void ServoLoop::Impl::ResetFigures() noexcept {
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

ServoStats ServoLoop::Impl::Stats() const {
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

// The effects' sum, then the safety stage: a sum that is not finite is sent as zero, and the
// magnitude is clamped to the maximum force.
Vec3 ServoLoop::Impl::ForceAt(const Settings& settings,
                              const std::array<Effect, MaxEffects>& effects, const Vec3& position,
                              const Vec3& velocity) noexcept {
    Vec3 sum{};
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

// One force exchange. On success the new state is published and recorded; on failure the
// reason is noted and the line made clean for the next exchange.
bool ServoLoop::Impl::Exchange(const Vec3& force, CycleState& result,
                               Detail::FaultNote& why) noexcept {
    const float request[3] = {static_cast<float>(force[0]), static_cast<float>(force[1]),
                              static_cast<float>(force[2])};
    // A reply that came after its exchange gave up must not answer this request.
    stream_.DiscardInput();
    errno = 0;
    Devices::StateVectors reply;
    const Clock::time_point sent = Clock::now();
    sent_ = sent;
    const Devices::Reply outcome = arm_.ExchangeForce(request, reply);
    const Clock::time_point done = Clock::now();
    ++cycle_;
    if (outcome == Devices::Reply::Complete) {
        exchanges_.Add(done - sent);
        result = CycleState{cycle_, Detail::Seconds(done), Widened(reply.position),
                            Widened(reply.velocity), force};
        state_.Write(result);
        recorder_.Push(result);
        return true;
    }
    const int savedErrno = errno;
    if (outcome == Devices::Reply::WrongCode)
        why.Set(EPROTO, "reply code %u where %u (end-effector state) was expected",
                arm_.InputBuffer()[0], Devices::Messages::EndEffectorState);
    else if (outcome == Devices::Reply::Short)
        why.Set(EPROTO, "reply cut short: fewer than %zu payload bytes",
                Devices::Messages::StateLength);
    else
        why.NoteMissing(savedErrno, stream_.bad(), options_.faultTimeout);
    failed_.fetch_add(1, std::memory_order_relaxed);
    Detail::MakeLineClean(stream_);
    return false;
}

void ServoLoop::Impl::Run() {
    Detail::LoopThreadSetUp();
    recorder_.ProducerStarted();
    const Clock::duration period = options_.rateHz > 0
                                       ? std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(1.0 / options_.rateHz))
                                       : Clock::duration::zero();
    Detail::Pacer pacer(period, options_.spin);
    smoother_.Reset();
    bool haveState = false;
    Vec3 position{}, velocity{};
    Clock::time_point stateSent{};  // when the request that brought the state went out
    int inARow = 0;
    std::uint64_t lateRun = 0;
    Clock::time_point previous{};
    Detail::FaultNote why;
    int givenUpAfter = 0;  // failures in a row that made the loop give up, if it did
    while (pacer.WaitNext(flags_.StopFlag())) {
        const Clock::time_point start = Clock::now();
        const std::uint64_t n = cycles_.fetch_add(1, std::memory_order_relaxed);
        const Clock::duration sinceLast = n == 0 ? Clock::duration::zero() : start - previous;
        if (period > Clock::duration::zero()) NoteMaximum(wakeLateMaxNs_, pacer.Oversleep());
        if (n == 0) {
            firstStartNs_.store(Nanoseconds(start), std::memory_order_relaxed);
        } else {
            periods_.Add(start - previous);
            if (period > Clock::duration::zero() && start - previous > LateFactor * period) {
                late_.fetch_add(1, std::memory_order_relaxed);
                if (++lateRun > longestLate_.load(std::memory_order_relaxed))
                    longestLate_.store(lateRun, std::memory_order_relaxed);
            } else {
                lateRun = 0;
            }
        }
        lastStartNs_.store(Nanoseconds(start), std::memory_order_relaxed);
        previous = start;

        const Settings& settings = settings_.Latest();
        const auto& effects = smoother_.Advance(settings.effects, settings.keys, settings.count,
                                                Detail::SecondsOf(sinceLast));
        Vec3 force{};
        if (haveState) {
            const Clock::duration age = Clock::now() - stateSent;
            ages_.Add(age);
            Vec3 at = position;
            if (options_.compensateDelay) {
                // Held for a period; free-running, about as long as the last cycle took.
                const Clock::duration hold = period > Clock::duration::zero() ? period : sinceLast;
                at = Detail::PredictedPosition(
                    position, velocity,
                    Detail::PredictionHorizon(Detail::SecondsOf(age), Detail::SecondsOf(hold)));
            }
            force = ForceAt(settings, effects, at, velocity);
        }
        CycleState next;
        const bool answered = Exchange(force, next, why);
        recorder_.EndCycle();
        if (answered) {
            inARow = 0;
            position = next.position;
            velocity = next.velocity;
            stateSent = sent_;
            haveState = true;
        } else if (++inARow >= options_.maxFaults) {
            givenUpAfter = inARow;
            break;
        }
    }
    CycleState last;
    Detail::FaultNote ignored;
    Exchange(Vec3{}, last, ignored);  // stopping or giving up: leave the arm without force
    recorder_.EndCycle();
    recorder_.ProducerStopped();
    // The fault shows once the last attempt is over, so whoever sees it sees a finished loop.
    if (givenUpAfter > 0) flags_.Latch(why, givenUpAfter);
    flags_.Ended();
}

ServoLoop::ServoLoop(const std::string& port, const ServoOptions& options)
    : impl_(std::make_unique<Impl>(port, options)) {}

ServoLoop::~ServoLoop() { impl_->Close(); }

const Devices::DeviceInfo& ServoLoop::Info() const noexcept { return impl_->info_; }
const std::string& ServoLoop::Port() const noexcept { return impl_->port_; }
const ServoOptions& ServoLoop::Options() const noexcept { return impl_->options_; }
bool ServoLoop::Start() { return impl_->Start(); }
void ServoLoop::Stop() { impl_->Stop(); }
void ServoLoop::Close() { impl_->Close(); }
bool ServoLoop::Running() const noexcept { return impl_->flags_.Running(); }
std::optional<Fault> ServoLoop::LatchedFault() const { return impl_->flags_.LatchedFault(); }

RealtimeStatus ServoLoop::Realtime() const {
    std::lock_guard<std::mutex> lock(impl_->lifecycle_);
    return impl_->realtime_;
}

void ServoLoop::SetEffects(const std::vector<Effect>& effects,
                           const std::vector<std::uint64_t>& keys) {
    impl_->SetEffects(effects, keys);
}
void ServoLoop::SetMaxForce(double newtons) { impl_->SetMaxForce(newtons); }
CycleState ServoLoop::State() const { return impl_->state_.Read(); }
ServoStats ServoLoop::Stats() const { return impl_->Stats(); }
void ServoLoop::Record(std::size_t capacity) { impl_->recorder_.Start(capacity); }
std::size_t ServoLoop::Drain(CycleState* out, std::size_t max) {
    return impl_->recorder_.Drain(out, max);
}
std::size_t ServoLoop::Pending() const { return impl_->recorder_.Pending(); }

}  // namespace Tamro::HardwareAPI::Control
