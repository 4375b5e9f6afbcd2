#include <Tamro/HardwareAPI/Network/Node.hpp>

#include <Tamro/HardwareAPI/Control/HandleReader.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "Wire.hpp"

#include <dds/ddsrt/log.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Tamro::HardwareAPI::Network {

namespace {

using Control::CycleState;
using Control::HandleStatus;
using Control::Vec3;

constexpr int MaxDomain = 232;  // the highest id whose ports fit in UDP's range

[[noreturn]] void Refused(const std::string& what, dds_return_t code) {
    throw std::runtime_error(what + ": " + dds_strretcode(code));
}

// A DDS entity, deleted with its children when this goes.
class Entity {
public:
    Entity() = default;
    Entity(dds_entity_t e, const std::string& what) : e_(e) {
        if (e < 0) Refused(what, e);
    }
    Entity(Entity&& other) noexcept : e_(std::exchange(other.e_, 0)) {}
    Entity& operator=(Entity&& other) noexcept {
        if (this != &other) {
            Reset();
            e_ = std::exchange(other.e_, 0);
        }
        return *this;
    }
    Entity(const Entity&) = delete;
    ~Entity() { Reset(); }

    dds_entity_t Get() const noexcept { return e_; }
    void Reset() noexcept {
        if (e_ > 0) dds_delete(e_);
        e_ = 0;
    }

private:
    dds_entity_t e_ = 0;
};

struct QosDeleter {
    void operator()(dds_qos_t* q) const noexcept { dds_delete_qos(q); }
};
using QosPointer = std::unique_ptr<dds_qos_t, QosDeleter>;

// An endpoint's QoS (Topics.hpp) with ROS 2's type hash in its USER_DATA.
QosPointer EndpointQos(const Topic& topic, std::chrono::nanoseconds deadline) {
    QosPointer qos(dds_create_qos());
    dds_qset_reliability(
        qos.get(), topic.qos.reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
        DDS_MSECS(100));
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, topic.qos.depth);
    dds_qset_durability(qos.get(), DDS_DURABILITY_VOLATILE);
    if (topic.qos.deadline) dds_qset_deadline(qos.get(), deadline.count());
    const std::string user = std::string("typehash=") + TypeOf(topic.message).typeHash + ";";
    dds_qset_userdata(qos.get(), user.data(), user.size());
    if (topic.direction == Direction::Out) {  // plain CDR, as ROS 2 writes it
        dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
        dds_qset_data_representation(qos.get(), 1, &xcdr1);
    }
    return qos;
}

const Topic& Find(Device device, const char* name) {
    for (const Topic& t : Topics)
        if (t.device == device && std::strcmp(t.name, name) == 0) return t;
    throw std::logic_error(std::string("no topic ") + name);
}

// One topic's endpoint: its topic entity and its reader or writer, and what it carried.
struct Endpoint {
    Endpoint(dds_entity_t participant, const std::string& ns, const std::string& device,
             const Topic& spec, std::chrono::nanoseconds deadline = {},
             const dds_listener_t* listener = nullptr)
        : spec(spec),
          name(RosTopic(ns, device, spec.name)),
          topic(dds_create_topic(participant, &Wire::DescriptorOf(spec.message),
                                 DdsTopic(ns, device, spec.name).c_str(), nullptr, nullptr),
                "cannot create topic " + name) {
        const QosPointer qos = EndpointQos(spec, deadline);
        entity = Entity(spec.direction == Direction::Out
                            ? dds_create_writer(participant, topic.Get(), qos.get(), nullptr)
                            : dds_create_reader(participant, topic.Get(), qos.get(), listener),
                        "cannot create an endpoint on " + name);
    }

    void Write(const void* sample) noexcept {
        if (dds_write(entity.Get(), sample) >= 0)
            samples.fetch_add(1, std::memory_order_relaxed);
        else
            failed.fetch_add(1, std::memory_order_relaxed);
    }

    TopicStats Stats(std::uint64_t dropped) const {
        TopicStats s{name, spec.message, spec.direction};
        s.samples = samples.load(std::memory_order_relaxed);
        s.dropped = dropped + failed.load(std::memory_order_relaxed);
        s.refused = refused.load(std::memory_order_relaxed);
        s.clamped = clamped.load(std::memory_order_relaxed);
        return s;
    }

    const Topic& spec;
    const std::string name;
    Entity topic;
    Entity entity;
    std::atomic<std::uint64_t> samples{0}, failed{0}, refused{0}, clamped{0};
};

// Wall-clock stamps for times on the monotonic clock: the offset between the two clocks,
// taken afresh for every batch so that a step of the wall clock shows in the next one.
class Stamper {
public:
    void Sample() noexcept {
        const auto wall = std::chrono::system_clock::now().time_since_epoch();
        const auto mono = std::chrono::steady_clock::now().time_since_epoch();
        offsetNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(wall - mono).count();
    }
    Wire::Time Stamp(double monotonicSeconds) const noexcept {
        const auto ns = static_cast<std::int64_t>(std::llround(monotonicSeconds * 1e9)) + offsetNs_;
        return {static_cast<std::int32_t>(ns / 1000000000),
                static_cast<std::uint32_t>(ns % 1000000000)};
    }

private:
    std::int64_t offsetNs_ = 0;
};

// A publishing thread: waits on a loop's outlet, takes what it holds, and hands each record
// (every one, or those due at the chosen rate on the loop's own times) to write.
template <typename T>
class Feed {
public:
    using Writer = std::function<void(const T&, const Wire::Time&)>;

    Feed(Control::Outlet<T>& outlet, double rateHz, Writer write)
        : outlet_(outlet),
          period_(rateHz > 0 ? 1.0 / rateHz : 0),
          write_(std::move(write)),
          stop_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (stop_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
        if (!outlet_.Claim()) {
            ::close(stop_);
            throw std::runtime_error("the device is published already (by another node)");
        }
        thread_ = std::thread([this] { Run(); });
    }
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;
    ~Feed() {
        Stop();
        ::close(stop_);
    }

    void Stop() noexcept {
        if (!thread_.joinable()) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
        finalDropped_ = outlet_.Dropped();
        outlet_.Release();
        released_ = true;
    }

    std::uint64_t Dropped() const noexcept { return released_ ? finalDropped_ : outlet_.Dropped(); }

private:
    void Run() noexcept {
        pollfd waits[2] = {{outlet_.Descriptor(), POLLIN, 0}, {stop_, POLLIN, 0}};
        Stamper stamper;
        double next = 0;
        for (;;) {
            if (::poll(waits, 2, -1) < 0 && errno != EINTR) return;
            if (waits[1].revents != 0) return;
            stamper.Sample();
            std::size_t n;
            while ((n = outlet_.Take(batch_, Batch)) > 0) {
                for (std::size_t i = 0; i < n; ++i) {
                    const double at = batch_[i].time;
                    if (period_ > 0) {
                        // Due on a grid of the loop's own times, with a tenth of a period to
                        // spare for its jitter; a gap restarts the grid rather than bursting.
                        if (at < next - 0.1 * period_) continue;
                        next = at > next + period_ ? at + period_ : next + period_;
                    }
                    write_(batch_[i], stamper.Stamp(at));
                }
            }
        }
    }

    static constexpr std::size_t Batch = 32;
    Control::Outlet<T>& outlet_;
    const double period_;
    const Writer write_;
    const int stop_;
    T batch_[Batch];
    std::uint64_t finalDropped_ = 0;
    std::atomic<bool> released_{false};
    std::thread thread_;
};

void Copy(double* out, const Vec3& v) { std::copy(v.begin(), v.end(), out); }

// The three measured topics of an arm, fed by its servo loop.
class ArmPublication {
public:
    ArmPublication(dds_entity_t participant, const std::string& ns, const std::string& name,
                   Control::ServoLoop& loop, double rateHz)
        : frame_(FrameId(ns, name)),
          cp_(participant, ns, name, Find(Device::Arm, "measured_cp")),
          cv_(participant, ns, name, Find(Device::Arm, "measured_cv")),
          cf_(participant, ns, name, Find(Device::Arm, "measured_cf")),
          feed_(loop.CycleOutlet(), rateHz,
                [this](const CycleState& s, const Wire::Time& t) { Write(s, t); }) {}

    void Stop() noexcept { feed_.Stop(); }
    void Stats(std::vector<TopicStats>& out) const {
        for (const Endpoint* e : {&cp_, &cv_, &cf_}) out.push_back(e->Stats(feed_.Dropped()));
    }

private:
    void Write(const CycleState& s, const Wire::Time& stamp) noexcept {
        const Wire::Header header{stamp, const_cast<char*>(frame_.c_str())};
        Wire::PoseStamped pose{header, {}, {0, 0, 0, 1}};
        Copy(pose.position, s.position);
        cp_.Write(&pose);
        Wire::TwistStamped twist{header, {}, {}};
        Copy(twist.linear, s.velocity);
        cv_.Write(&twist);
        Wire::WrenchStamped wrench{header, {}, {}};
        Copy(wrench.force, s.force);
        cf_.Write(&wrench);
    }

    const std::string frame_;
    Endpoint cp_, cv_, cf_;
    Feed<CycleState> feed_;  // last: its thread uses the rest
};

// The handle's orientation, sensor level and user data, fed by its reader.
class HandlePublication {
public:
    HandlePublication(dds_entity_t participant, const std::string& ns, const std::string& name,
                      Control::HandleReader& reader, double rateHz)
        : frame_(FrameId(ns, name)),
          cp_(participant, ns, name, Find(Device::Handle, "measured_cp")),
          level_(participant, ns, name, Find(Device::Handle, "sensor_level")),
          data_(participant, ns, name, Find(Device::Handle, "user_data")),
          feed_(reader.StatusOutlet(), rateHz,
                [this](const HandleStatus& s, const Wire::Time& t) { Write(s, t); }) {}

    void Stop() noexcept { feed_.Stop(); }
    void Stats(std::vector<TopicStats>& out) const {
        for (const Endpoint* e : {&cp_, &level_, &data_}) out.push_back(e->Stats(feed_.Dropped()));
    }

private:
    void Write(const HandleStatus& s, const Wire::Time& stamp) noexcept {
        const auto& q = s.quaternion;  // w first, as the handle sends it; ROS puts w last
        Wire::PoseStamped pose{
            {stamp, const_cast<char*>(frame_.c_str())}, {0, 0, 0}, {q[1], q[2], q[3], q[0]}};
        cp_.Write(&pose);
        const Wire::UInt8 level{s.hallEffectSensorLevel};
        level_.Write(&level);
        Wire::UInt8MultiArray data{};
        data.data._length = data.data._maximum = s.userDataLength;
        data.data._buffer = const_cast<std::uint8_t*>(s.userData.data());
        data_.Write(&data);
    }

    const std::string frame_;
    Endpoint cp_, level_, data_;
    Feed<HandleStatus> feed_;
};

// servo_cp and servo_cf of one loop: taken on Cyclone's receive thread, checked and handed
// to the loop's command input.
class CommandChannel {
public:
    CommandChannel(dds_entity_t participant, const std::string& ns, const std::string& name,
                   Control::ServoLoop& loop, const Control::CommandSettings& settings)
        : frame_(FrameId(ns, name)), commands_(loop.Commands()) {
        if (commands_.Accepting())
            throw std::runtime_error("the loop takes commands from elsewhere already");
        commands_.Accept(settings);
        try {
            cp_.emplace(participant, ns, name, Find(Device::Arm, "servo_cp"), settings.timeout,
                        Listener(&OnTarget).get());
            cf_.emplace(participant, ns, name, Find(Device::Arm, "servo_cf"), settings.timeout,
                        Listener(&OnForce).get());
        } catch (...) {
            commands_.Stop();
            throw;
        }
    }
    CommandChannel(const CommandChannel&) = delete;
    CommandChannel& operator=(const CommandChannel&) = delete;
    ~CommandChannel() { Stop(); }

    // Deleting a reader waits for its listener to return; then nothing reaches the loop.
    void Stop() noexcept {
        for (auto* e : {&cp_, &cf_})
            if (*e) (*e)->entity.Reset();
        commands_.Stop();
    }

    void Stats(std::vector<TopicStats>& out) const {
        for (const auto* e : {&cp_, &cf_})
            if (*e) out.push_back((*e)->Stats(0));
    }

private:
    struct ListenerDeleter {
        void operator()(dds_listener_t* l) const noexcept { dds_delete_listener(l); }
    };
    std::unique_ptr<dds_listener_t, ListenerDeleter> Listener(dds_on_data_available_fn fn) {
        std::unique_ptr<dds_listener_t, ListenerDeleter> l(dds_create_listener(this));
        dds_lset_data_available(l.get(), fn);
        return l;
    }

    bool FrameAccepted(const char* frame) const noexcept {
        return frame == nullptr || frame[0] == '\0' || frame_ == frame;
    }

    // Takes what waits, a few samples at a time, on loan from the reader.
    template <typename Sample, typename Judge>
    static void TakeAll(dds_entity_t reader, Endpoint& endpoint, Judge judge) noexcept {
        constexpr int Max = 16;
        void* samples[Max] = {};
        dds_sample_info_t infos[Max];
        for (;;) {
            const dds_return_t n = dds_take(reader, samples, infos, Max, Max);
            if (n <= 0) return;
            for (int i = 0; i < n; ++i) {
                if (!infos[i].valid_data) continue;
                endpoint.samples.fetch_add(1, std::memory_order_relaxed);
                const Control::Verdict v = judge(*static_cast<const Sample*>(samples[i]));
                if (v == Control::Verdict::Refused)
                    endpoint.refused.fetch_add(1, std::memory_order_relaxed);
                else if (v == Control::Verdict::Clamped)
                    endpoint.clamped.fetch_add(1, std::memory_order_relaxed);
            }
            dds_return_loan(reader, samples, n);
        }
    }

    static void OnTarget(dds_entity_t reader, void* arg) {
        auto& self = *static_cast<CommandChannel*>(arg);
        TakeAll<Wire::PoseStamped>(reader, *self.cp_, [&](const Wire::PoseStamped& s) {
            if (!self.FrameAccepted(s.header.frame_id)) return Control::Verdict::Refused;
            return self.commands_.Target({s.position[0], s.position[1], s.position[2]});
        });
    }

    static void OnForce(dds_entity_t reader, void* arg) {
        auto& self = *static_cast<CommandChannel*>(arg);
        TakeAll<Wire::WrenchStamped>(reader, *self.cf_, [&](const Wire::WrenchStamped& s) {
            if (!self.FrameAccepted(s.header.frame_id)) return Control::Verdict::Refused;
            return self.commands_.Force({s.force[0], s.force[1], s.force[2]});
        });
    }

    const std::string frame_;
    Control::CommandInput& commands_;
    std::optional<Endpoint> cp_, cf_;
};

}  // namespace

class Node::Impl {
public:
    Impl(const std::string& ns, int domain) : ns_(ns), domain_(domain) {
        CheckName(ns, "namespace", true);
        if (domain < 0 || domain > MaxDomain)
            throw std::invalid_argument("domain must be from 0 to " + std::to_string(MaxDomain));
        // Cyclone warns on standard error about every sample it cannot deserialize: a foreign
        // writer could fill the terminal at will. Errors still show.
        dds_set_log_mask(DDS_LC_FATAL | DDS_LC_ERROR);
        // As ROS 2 nodes announce themselves: the security enclave they run in.
        const QosPointer qos(dds_create_qos());
        const char enclave[] = "enclave=/;";
        dds_qset_userdata(qos.get(), enclave, sizeof enclave - 1);
        participant_ =
            Entity(dds_create_participant(static_cast<dds_domainid_t>(domain), qos.get(), nullptr),
                   "cannot join DDS domain " + std::to_string(domain));
    }

    // A name not yet used for another device; remembers it for this loop or reader.
    void Claim(const std::string& name, Device device, const void* source) {
        CheckName(name, "device name", false);
        const auto found = names_.find(name);
        if (found == names_.end()) {
            names_.emplace(name, std::pair{device, source});
            return;
        }
        if (found->second != std::pair{device, source})
            throw std::invalid_argument("'" + name + "' serves another device already");
    }

    void CheckOpen() const {
        if (closed_) throw std::runtime_error("the node is closed");
    }

    const std::string ns_;
    const int domain_;
    mutable std::mutex mutex_;
    bool closed_ = false;
    Entity participant_;
    std::map<std::string, std::pair<Device, const void*>> names_;
    std::vector<std::unique_ptr<ArmPublication>> arms_;
    std::vector<std::unique_ptr<HandlePublication>> handles_;
    std::vector<std::unique_ptr<CommandChannel>> commands_;
    std::vector<TopicStats> final_;  // once closed
};

Node::Node(const std::string& ns, int domain) : impl_(std::make_unique<Impl>(ns, domain)) {}

Node::~Node() { Close(); }

const std::string& Node::Namespace() const noexcept { return impl_->ns_; }
int Node::Domain() const noexcept { return impl_->domain_; }

namespace {
void CheckRate(double rateHz) {
    if (!std::isfinite(rateHz) || rateHz < 0 || rateHz > 100000)
        throw std::invalid_argument(
            "the publishing rate must be from 0 (every cycle) to 100000 Hz");
}
}  // namespace

void Node::Publish(Control::ServoLoop& loop, const std::string& name, double rateHz) {
    CheckRate(rateHz);
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->CheckOpen();
    impl_->Claim(name, Device::Arm, &loop);
    impl_->arms_.push_back(std::make_unique<ArmPublication>(impl_->participant_.Get(), impl_->ns_,
                                                            name, loop, rateHz));
}

void Node::Publish(Control::HandleReader& reader, const std::string& name, double rateHz) {
    CheckRate(rateHz);
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->CheckOpen();
    impl_->Claim(name, Device::Handle, &reader);
    impl_->handles_.push_back(std::make_unique<HandlePublication>(
        impl_->participant_.Get(), impl_->ns_, name, reader, rateHz));
}

void Node::AcceptCommands(Control::ServoLoop& loop, const std::string& name,
                          const Control::CommandSettings& settings) {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    impl_->CheckOpen();
    impl_->Claim(name, Device::Arm, &loop);
    impl_->commands_.push_back(std::make_unique<CommandChannel>(impl_->participant_.Get(),
                                                                impl_->ns_, name, loop, settings));
}

std::vector<TopicStats> Node::Stats() const {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (impl_->closed_) return impl_->final_;
    std::vector<TopicStats> out;
    for (const auto& a : impl_->arms_) a->Stats(out);
    for (const auto& c : impl_->commands_) c->Stats(out);
    for (const auto& h : impl_->handles_) h->Stats(out);
    return out;
}

void Node::Close() {
    std::lock_guard<std::mutex> lock(impl_->mutex_);
    if (impl_->closed_) return;
    Impl& s = *impl_;
    for (auto& c : s.commands_) c->Stop();
    for (auto& a : s.arms_) a->Stop();
    for (auto& h : s.handles_) h->Stop();
    for (const auto& a : s.arms_) a->Stats(s.final_);
    for (const auto& c : s.commands_) c->Stats(s.final_);
    for (const auto& h : s.handles_) h->Stats(s.final_);
    s.commands_.clear();
    s.arms_.clear();
    s.handles_.clear();
    s.participant_.Reset();
    s.closed_ = true;
}

}  // namespace Tamro::HardwareAPI::Network
