#include <Tamro/HardwareAPI/Network/RemoteArm.hpp>

#include "Endpoint.hpp"
#include "Wire.hpp"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace Tamro::HardwareAPI::Network {

namespace {

double WallNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Wire::Time WallStamp() {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return {static_cast<std::int32_t>(ns / 1000000000),
            static_cast<std::uint32_t>(ns % 1000000000)};
}

double Seconds(const Wire::Time& t) { return t.sec + t.nanosec * 1e-9; }

void CheckFinite(const std::array<double, 3>& v, const char* what) {
    for (double x : v)
        if (!std::isfinite(x)) throw std::invalid_argument(std::string(what) + " must be finite");
}

// Takes every sample waiting on a reader and hands the newest to fn.
template <typename Sample, typename Fn>
void TakeNewest(dds_entity_t reader, Fn fn) {
    constexpr int Max = 16;
    void* samples[Max] = {};
    dds_sample_info_t infos[Max];
    for (;;) {
        const dds_return_t n = dds_take(reader, samples, infos, Max, Max);
        if (n <= 0) return;
        for (int i = n - 1; i >= 0; --i)
            if (infos[i].valid_data) {
                fn(*static_cast<const Sample*>(samples[i]));
                break;
            }
        dds_return_loan(reader, samples, n);
    }
}

}  // namespace

class RemoteArm::Impl {
public:
    Impl(const std::string& ns, const std::string& device, int domain,
         const Credentials& credentials)
        : ns_(ns), device_(device), frame_(FrameId(ns, device)) {
        CheckName(ns, "namespace", true);
        CheckName(device, "device name", false);
        participant_ = Detail::JoinDomain(domain, credentials);
        const dds_entity_t p = participant_.Get();
        using Detail::DataListener;
        cp_.emplace(p, ns, device, Detail::Find(Device::Arm, "measured_cp"),
                    std::chrono::nanoseconds{}, DataListener(this, &OnPosition).get());
        cv_.emplace(p, ns, device, Detail::Find(Device::Arm, "measured_cv"),
                    std::chrono::nanoseconds{}, DataListener(this, &OnVelocity).get());
        cf_.emplace(p, ns, device, Detail::Find(Device::Arm, "measured_cf"),
                    std::chrono::nanoseconds{}, DataListener(this, &OnForce).get());
    }

    ~Impl() {
        // Readers first: their listeners use the rest.
        cp_.reset();
        cv_.reset();
        cf_.reset();
    }

    static void OnPosition(dds_entity_t reader, void* arg) {
        auto& self = *static_cast<Impl*>(arg);
        TakeNewest<Wire::PoseStamped>(reader, [&](const Wire::PoseStamped& s) {
            {
                std::lock_guard<std::mutex> lock(self.mutex_);
                for (int i = 0; i < 3; ++i) self.state_.position[i] = s.position[i];
                self.state_.stamp = Seconds(s.header.stamp);
                ++self.count_;
            }
            self.arrived_.notify_all();
        });
    }
    static void OnVelocity(dds_entity_t reader, void* arg) {
        auto& self = *static_cast<Impl*>(arg);
        TakeNewest<Wire::TwistStamped>(reader, [&](const Wire::TwistStamped& s) {
            std::lock_guard<std::mutex> lock(self.mutex_);
            for (int i = 0; i < 3; ++i) self.state_.velocity[i] = s.linear[i];
        });
    }
    static void OnForce(dds_entity_t reader, void* arg) {
        auto& self = *static_cast<Impl*>(arg);
        TakeNewest<Wire::WrenchStamped>(reader, [&](const Wire::WrenchStamped& s) {
            std::lock_guard<std::mutex> lock(self.mutex_);
            for (int i = 0; i < 3; ++i) self.state_.force[i] = s.force[i];
        });
    }

    std::optional<RemoteState> Current() const {  // with mutex_ held
        if (count_ == 0) return std::nullopt;
        RemoteState s = state_;
        s.age = WallNow() - s.stamp;
        return s;
    }

    Detail::Endpoint& Writer(std::optional<Detail::Endpoint>& slot, const char* topic) {
        if (!slot) slot.emplace(participant_.Get(), ns_, device_, Detail::Find(Device::Arm, topic));
        return *slot;
    }

    const std::string ns_, device_, frame_;
    Detail::Entity participant_;
    mutable std::mutex mutex_;
    mutable std::condition_variable arrived_;
    RemoteState state_;
    std::uint64_t count_ = 0;
    std::mutex writing_;
    std::optional<Detail::Endpoint> servoCp_, servoCf_;
    std::optional<Detail::Endpoint> cp_, cv_, cf_;  // last: their listeners use the rest
};

RemoteArm::RemoteArm(const std::string& ns, const std::string& device, int domain,
                     const Credentials& credentials)
    : impl_(std::make_unique<Impl>(ns, device, domain, credentials)) {}

RemoteArm::~RemoteArm() = default;

std::optional<RemoteState> RemoteArm::State() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    return impl_->Current();
}

std::optional<RemoteState> RemoteArm::WaitForState(std::chrono::nanoseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mutex_);
    const std::uint64_t seen = impl_->count_;
    if (!impl_->arrived_.wait_for(lock, timeout, [&] { return impl_->count_ != seen; }))
        return std::nullopt;
    return impl_->Current();
}

void RemoteArm::ServoCp(const std::array<double, 3>& position) {
    CheckFinite(position, "the target position");
    std::lock_guard<std::mutex> lock(impl_->writing_);
    Wire::PoseStamped s{};
    s.header.stamp = WallStamp();
    s.header.frame_id = const_cast<char*>(impl_->frame_.c_str());
    for (int i = 0; i < 3; ++i) s.position[i] = position[i];
    s.orientation[3] = 1.0;
    impl_->Writer(impl_->servoCp_, "servo_cp").Write(&s);
}

void RemoteArm::ServoCf(const std::array<double, 3>& force) {
    CheckFinite(force, "the force");
    std::lock_guard<std::mutex> lock(impl_->writing_);
    Wire::WrenchStamped s{};
    s.header.stamp = WallStamp();
    s.header.frame_id = const_cast<char*>(impl_->frame_.c_str());
    for (int i = 0; i < 3; ++i) s.force[i] = force[i];
    impl_->Writer(impl_->servoCf_, "servo_cf").Write(&s);
}

void RemoteArm::Stop() {
    std::lock_guard<std::mutex> lock(impl_->writing_);
    impl_->servoCp_.reset();
    impl_->servoCf_.reset();
}

}  // namespace Tamro::HardwareAPI::Network
