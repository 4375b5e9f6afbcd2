#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include "Guard.hpp"
#include "LoopThread.hpp"
#include "Realtime.hpp"
#include "SerialArmLink.hpp"
#include "ServoCore.hpp"
#include "Timing.hpp"

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace Tamro::HardwareAPI::Control {

namespace {

// How long Start waits for the thread to say how its real-time request went.
constexpr auto SetupTimeout = std::chrono::seconds(1);

// Options are checked before the port is touched.
const ServoOptions& Checked(const ServoOptions& options) {
    Detail::CheckServoOptions(options);
    return options;
}

static_assert(Detail::HeartbeatSlice < ServoLoop::GuardSilence,
              "a loop that waits beats often enough for its guard");

// The guard, when asked for, over the opened port: one that cannot be made fails the opening,
// as a loop its options say must be guarded may not run unguarded.
std::unique_ptr<Detail::Guard> GuardOf(const ServoOptions& options, Detail::SerialArmLink& link,
                                       const std::string& port) {
    if (!options.guard) return nullptr;
    try {
        return std::make_unique<Detail::Guard>(link.Descriptor(), ServoLoop::GuardSilence);
    } catch (const std::system_error& e) {
        throw DeviceError(e.code().value(), std::string("could not start ") + e.what(), port);
    }
}

}  // namespace

// The loop's life: the port (a serial link), the thread and its start and stop; the cycles
// themselves are the core's.
class ServoLoop::Impl {
public:
    Impl(const std::string& port, const ServoOptions& options)
        : port_(port),
          options_(Checked(options)),
          link_(port),
          guard_(GuardOf(options_, link_, port)),
          clock_(options_.spin),
          core_(options_, link_, clock_) {
        if (!guard_) return;
        const Detail::GuardSignals signals(&guard_->Block());
        link_.UseHeartbeat(signals.Beats());
        clock_.UseHeartbeat(signals.Beats());
        core_.UseGuard(signals);
    }

    bool Start();
    void Stop();
    void Close();
    void Run(const std::string& memoryRefusal);

    const std::string port_;
    const ServoOptions options_;
    Detail::SerialArmLink link_;
    std::unique_ptr<Detail::Guard> guard_;  // none when not asked for
    Detail::SystemClock clock_;
    Detail::ServoCore core_;

    // Lifecycle: never touched by the loop.
    std::mutex lifecycle_;
    std::thread thread_;
    Detail::SetupReport setup_;
    bool everRan_ = false;
    bool closed_ = false;
};

bool ServoLoop::Impl::Start() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    Detail::LoopFlags& flags = core_.Flags();
    if (flags.Faulted() || closed_) return false;
    if (flags.Running()) return true;
    if (thread_.joinable()) thread_.join();  // an earlier run that has ended
    if (flags.Faulted()) return false;       // ... perhaps by giving up
    core_.ResetFigures();
    flags.Starting();
    everRan_ = true;
    // Memory is locked before the thread exists, so its stack is locked too; the thread sets
    // its own scheduling before its first cycle and says how that went.
    std::string memoryRefusal;
    if (options_.realtime) memoryRefusal = Detail::LockProcessMemory();
    setup_.Expect();
    thread_ = std::thread([this, memoryRefusal] { Run(memoryRefusal); });
    if (!setup_.Await(SetupTimeout)) {
        RealtimeStatus late;
        late.requested = options_.realtime;
        late.message = "the loop thread did not say within 1 s whether it got real-time priority";
        setup_.Tell(late);
    }
    return true;
}

// The wait in flight is cut short; the thread then sends its zero-force request and ends.
void ServoLoop::Impl::Stop() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (!thread_.joinable()) return;
    link_.Interrupt();  // first: a wait it cuts short ends the run even before the flag is seen
    core_.Flags().RequestStop();
    thread_.join();
}

void ServoLoop::Impl::Close() {
    Stop();
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (closed_) return;
    if (!everRan_) core_.SendZeroForce();  // the arm may hold a force from before us
    if (guard_) guard_->Release();         // before the port closes: nothing written after
    link_.Close();
    closed_ = true;
}

void ServoLoop::Impl::Run(const std::string& memoryRefusal) {
    Detail::LoopThreadSetUp();
    RealtimeStatus realtime;
    if (options_.realtime)
        realtime = Detail::MakeThisThreadRealtime(options_.realtimePriority, memoryRefusal);
    core_.RealtimeGranted(realtime.granted);
    setup_.Tell(std::move(realtime));
    core_.Run(core_.Flags().StopFlag());
    core_.Flags().Ended();
}

ServoLoop::ServoLoop(const std::string& port, const ServoOptions& options)
    : impl_(std::make_unique<Impl>(port, options)) {}

ServoLoop::~ServoLoop() { impl_->Close(); }

const Devices::DeviceInfo& ServoLoop::Info() const noexcept { return impl_->link_.Info(); }
const std::string& ServoLoop::Port() const noexcept { return impl_->port_; }
const ServoOptions& ServoLoop::Options() const noexcept { return impl_->options_; }
bool ServoLoop::Start() { return impl_->Start(); }
void ServoLoop::Stop() { impl_->Stop(); }
void ServoLoop::Close() { impl_->Close(); }
bool ServoLoop::Running() const noexcept { return impl_->core_.Flags().Running(); }
std::optional<Fault> ServoLoop::LatchedFault() const { return impl_->core_.Flags().LatchedFault(); }
RealtimeStatus ServoLoop::Realtime() const { return impl_->setup_.Status(); }

void ServoLoop::SetEffects(const std::vector<Effect>& effects,
                           const std::vector<std::uint64_t>& keys) {
    impl_->core_.SetEffects(effects, keys);
}
void ServoLoop::SetMaxForce(double newtons) { impl_->core_.SetMaxForce(newtons); }
CycleState ServoLoop::State() const { return impl_->core_.State(); }
ServoStats ServoLoop::Stats() const { return impl_->core_.Stats(); }
std::optional<Vec3> ServoLoop::ProxyOf(std::uint64_t key) const {
    if (!Running()) return std::nullopt;
    return impl_->core_.ProxyOf(key);
}
void ServoLoop::Record(std::size_t capacity) { impl_->core_.Recording().Start(capacity); }
std::size_t ServoLoop::Drain(CycleState* out, std::size_t max) {
    return impl_->core_.Recording().Drain(out, max);
}
std::size_t ServoLoop::Pending() const { return impl_->core_.Recording().Pending(); }
Outlet<CycleState>& ServoLoop::CycleOutlet() noexcept { return impl_->core_.CycleOutlet(); }
CommandInput& ServoLoop::Commands() noexcept { return impl_->core_.Commands(); }
RemoteInput& ServoLoop::Remote() noexcept { return impl_->core_.Remote(); }

}  // namespace Tamro::HardwareAPI::Control
