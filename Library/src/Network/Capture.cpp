#include <Tamro/HardwareAPI/Network/Capture.hpp>

#include "Endpoint.hpp"
#include "SampleQueue.hpp"
#include "Wire.hpp"

#include <dds/ddsi/ddsi_serdata.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace Tamro::HardwareAPI::Network {

namespace {

using Detail::Entity;
using Detail::QosPointer;
using Detail::SampleQueue;

constexpr std::size_t MaxTopics = 256;
// Slots only topics named as the table names them (<device>/<topic> of the topic's type) may
// take: a crowd of other writers under the namespace cannot crowd the devices' own out.
constexpr std::size_t ReservedTopics = 64;
constexpr std::size_t MaxIgnored = 64;
constexpr std::size_t MaxName = 200;  // longer announced names are cut before they are kept

// What the waitset says woke it: the stop, the discovery reader, or a topic (its index + 2).
constexpr dds_attach_t StopTag = 0;
constexpr dds_attach_t DiscoveryTag = 1;
constexpr dds_attach_t FirstTopicTag = 2;

constexpr std::uint32_t Batch = 64;  // samples taken from DDS at a time

// Whether <device>/<topic> (the name under the namespace) is one the table gives that type.
bool TableShaped(const std::string& underNamespace, Message message) {
    const std::size_t slash = underNamespace.find('/');
    if (slash == std::string::npos || underNamespace.find('/', slash + 1) != std::string::npos)
        return false;
    const std::string topic = underNamespace.substr(slash + 1);
    for (const Topic& t : Topics)
        if (t.message == message && topic == t.name) return true;
    return false;
}

const MessageType* KnownType(const char* ddsName) {
    for (const MessageType& t : MessageTypes)
        if (std::strcmp(t.ddsName, ddsName) == 0) return &t;
    return nullptr;
}

OfferedQos Offered(const dds_qos_t* qos) {
    OfferedQos o;
    if (qos == nullptr) return o;
    dds_reliability_kind_t reliability;
    dds_duration_t blocking;
    if (dds_qget_reliability(qos, &reliability, &blocking))
        o.reliable = reliability == DDS_RELIABILITY_RELIABLE;
    dds_durability_kind_t durability;
    if (dds_qget_durability(qos, &durability))
        o.transientLocal = durability != DDS_DURABILITY_VOLATILE;
    dds_history_kind_t history;
    std::int32_t depth;
    if (dds_qget_history(qos, &history, &depth)) {
        o.keepAll = history == DDS_HISTORY_KEEP_ALL;
        o.depth = depth;
    }
    dds_duration_t deadline;
    if (dds_qget_deadline(qos, &deadline) && deadline != DDS_INFINITY) o.deadlineNs = deadline;
    return o;
}

// One recorded topic: its reader, fixed once published to the consumer (count_), and what it
// carried, counted by the receiving thread.
struct Slot {
    std::string ddsTopic;
    CapturedTopic info;
    Entity topic, reader, condition;
    std::atomic<std::uint64_t> samples{0}, bytes{0}, dropped{0}, lost{0};
    std::atomic<int> writers{0};
};

}  // namespace

class Capture::Impl {
public:
    Impl(const std::string& ns, int domain, const CaptureOptions& options)
        : options_(Checked(options)), prefix_("rt/" + ns + "/"), queue_(options.queueBytes) {
        CheckName(ns, "namespace", true);
        participant_ = Detail::JoinDomain(domain, options.credentials);
        const dds_entity_t p = participant_.Get();
        discovery_ =
            Entity(dds_create_reader(p, DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, nullptr),
                   "cannot watch for publications");
        discoveryCondition_ = Entity(dds_create_readcondition(discovery_.Get(), DDS_ANY_STATE),
                                     "cannot watch for publications");
        stopCondition_ = Entity(dds_create_guardcondition(p), "cannot make a guard condition");
        waitset_ = Entity(dds_create_waitset(p), "cannot make a waitset");
        Attach(stopCondition_.Get(), StopTag);
        Attach(discoveryCondition_.Get(), DiscoveryTag);
        thread_ = std::thread([this] { Run(); });
    }

    ~Impl() { Close(); }

    void Close() {
        if (!thread_.joinable()) return;
        stop_.store(true, std::memory_order_relaxed);
        dds_set_guardcondition(stopCondition_.Get(), true);
        thread_.join();
        UpdateStatus();  // the last figures, kept once the readers are gone
        for (std::size_t i = 0; i < count_.load(std::memory_order_acquire); ++i) {
            slots_[i].condition.Reset();
            slots_[i].reader.Reset();
            slots_[i].topic.Reset();
            slots_[i].writers.store(0, std::memory_order_relaxed);
        }
        waitset_.Reset();
        stopCondition_.Reset();
        discoveryCondition_.Reset();
        discovery_.Reset();
        participant_.Reset();
    }

    std::size_t Take(std::uint8_t* out, std::size_t capacity) noexcept {
        return queue_.Take(out, capacity);
    }
    std::size_t MaxRecord() const noexcept { return SampleQueue::RecordSize(options_.maxSample); }

    std::vector<CapturedTopic> Topics() const {
        std::vector<CapturedTopic> out;
        const std::size_t n = count_.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < n; ++i) {
            const Slot& s = slots_[i];
            CapturedTopic t = s.info;
            t.samples = s.samples.load(std::memory_order_relaxed);
            t.bytes = s.bytes.load(std::memory_order_relaxed);
            t.dropped = s.dropped.load(std::memory_order_relaxed);
            t.lost = s.lost.load(std::memory_order_relaxed);
            t.writers = s.writers.load(std::memory_order_relaxed);
            out.push_back(std::move(t));
        }
        return out;
    }

    std::uint64_t Unlisted() const noexcept { return unlisted_.load(std::memory_order_relaxed); }

    std::vector<IgnoredTopic> IgnoredTopics() const {
        const std::size_t n = ignoredCount_.load(std::memory_order_acquire);
        std::vector<IgnoredTopic> out;
        for (std::size_t i = 0; i < n; ++i) out.push_back(ignored_[i]);
        return out;
    }

private:
    static const CaptureOptions& Checked(const CaptureOptions& o) {
        if (o.queueBytes < (std::size_t{64} << 10) || o.queueBytes > (std::size_t{1} << 30))
            throw std::invalid_argument("the queue must be from 64 KiB to 1 GiB");
        if (o.maxSample < 64 || o.maxSample > o.queueBytes / 4)
            throw std::invalid_argument(
                "the largest sample must be from 64 bytes to a quarter "
                "of the queue");
        if (o.history < 1 || o.history > 100000)
            throw std::invalid_argument("the history must be from 1 to 100000 samples");
        return o;
    }

    void Attach(dds_entity_t entity, dds_attach_t tag) {
        const dds_return_t rc = dds_waitset_attach(waitset_.Get(), entity, tag);
        if (rc < 0) Detail::Refused("cannot wait for samples", rc);
    }

    void Run() noexcept {
        std::array<dds_attach_t, MaxTopics + 2> woken{};
        dds_time_t nextStatus = 0;
        while (!stop_.load(std::memory_order_relaxed)) {
            const dds_return_t n =
                dds_waitset_wait(waitset_.Get(), woken.data(), woken.size(), DDS_MSECS(100));
            if (n < 0) return;
            for (dds_return_t i = 0; i < n && static_cast<std::size_t>(i) < woken.size(); ++i) {
                if (woken[i] == DiscoveryTag)
                    Discover();
                else if (woken[i] >= FirstTopicTag)
                    Drain(slots_[woken[i] - FirstTopicTag]);
            }
            const dds_time_t now = dds_time();
            if (now >= nextStatus) {
                UpdateStatus();
                nextStatus = now + DDS_MSECS(100);
            }
        }
    }

    // Takes every sample a topic's reader holds and hands each over whole.
    void Drain(Slot& slot) noexcept {
        const auto index = static_cast<std::uint32_t>(&slot - slots_.data());
        ddsi_serdata* data[Batch];
        dds_sample_info_t infos[Batch];
        for (;;) {
            std::fill(std::begin(data), std::end(data), nullptr);
            const dds_return_t n =
                dds_takecdr(slot.reader.Get(), data, Batch, infos, DDS_ANY_STATE);
            if (n <= 0) return;
            const dds_time_t received = dds_time();
            for (dds_return_t i = 0; i < n; ++i) {
                if (infos[i].valid_data) Hand(slot, index, data[i], infos[i], received);
                ddsi_serdata_unref(data[i]);
            }
            if (static_cast<std::uint32_t>(n) < Batch) return;
        }
    }

    void Hand(Slot& slot, std::uint32_t index, const ddsi_serdata* data,
              const dds_sample_info_t& info, dds_time_t received) noexcept {
        const std::uint32_t size = ddsi_serdata_size(data);
        const SampleHead head{index, size, received, info.source_timestamp};
        const bool handed = size <= options_.maxSample && queue_.Push(head, [&](std::uint8_t* out) {
            ddsi_serdata_to_ser(data, 0, size, out);
        });
        if (!handed) {
            slot.dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        slot.bytes.fetch_add(size, std::memory_order_relaxed);
        slot.samples.fetch_add(1, std::memory_order_relaxed);
    }

    // The publications DDS learnt of since last time: each writer under the namespace gets a
    // reader for its topic, once, when its type is known.
    void Discover() noexcept {
        constexpr std::uint32_t N = 16;
        void* samples[N];
        dds_sample_info_t infos[N];
        for (;;) {
            std::fill(std::begin(samples), std::end(samples), nullptr);
            const dds_return_t n = dds_take(discovery_.Get(), samples, infos, N, N);
            if (n <= 0) return;
            for (dds_return_t i = 0; i < n; ++i)
                if (infos[i].valid_data && infos[i].instance_state == DDS_IST_ALIVE)
                    Consider(*static_cast<const dds_builtintopic_endpoint_t*>(samples[i]));
            dds_return_loan(discovery_.Get(), samples, n);
            if (static_cast<std::uint32_t>(n) < N) return;
        }
    }

    void Consider(const dds_builtintopic_endpoint_t& writer) noexcept {
        if (writer.topic_name == nullptr || writer.type_name == nullptr) return;
        const std::size_t length = ::strnlen(writer.topic_name, MaxName + 1);
        if (length <= prefix_.size() ||
            std::strncmp(writer.topic_name, prefix_.c_str(), prefix_.size()) != 0)
            return;  // another namespace's, or not a ROS 2 topic (services are rq/, rr/)
        try {
            const std::string name(writer.topic_name, length);
            if (length > MaxName) return Ignore(name, writer.type_name, "its name is too long");
            const std::string ros = name.substr(2);  // rt/lab/arm/x -> /lab/arm/x
            try {
                CheckName(ros.substr(1), "topic", true);
            } catch (const std::invalid_argument&) {
                return Ignore(name, writer.type_name, "its name is not a ROS 2 name");
            }
            const MessageType* type = KnownType(writer.type_name);
            const std::size_t n = count_.load(std::memory_order_relaxed);
            for (std::size_t i = 0; i < n; ++i) {
                if (slots_[i].ddsTopic != name) continue;
                if (type == nullptr || type->message != slots_[i].info.message)
                    Ignore(name, writer.type_name, "a writer of another type is recorded there");
                return;
            }
            if (type == nullptr) return Ignore(name, writer.type_name, "its type is not known");
            if (n == MaxTopics) return Ignore(name, writer.type_name, "too many topics");
            if (n >= MaxTopics - ReservedTopics &&
                !TableShaped(name.substr(prefix_.size()), type->message))
                return Ignore(name, writer.type_name, "too many topics not named as the devices'");
            Slot& slot = slots_[n];
            slot.ddsTopic = name;
            slot.info.topic = ros;
            slot.info.message = type->message;
            slot.info.offered = Offered(writer.qos);
            Open(slot, *type);
            Attach(slot.condition.Get(), FirstTopicTag + static_cast<dds_attach_t>(n));
            count_.store(n + 1, std::memory_order_release);
        } catch (const std::exception&) {
            Ignore(writer.topic_name, writer.type_name, "DDS refused a reader for it");
        }
    }

    void Open(Slot& slot, const MessageType& type) {
        slot.topic = Entity(dds_create_topic(participant_.Get(), &Wire::DescriptorOf(type.message),
                                             slot.ddsTopic.c_str(), nullptr, nullptr),
                            "cannot create topic " + slot.info.topic);
        // Best effort takes what any writer sends (reliable ones too) and never slows it;
        // keep-all within a limit makes a full history count what it refuses.
        const QosPointer qos(dds_create_qos());
        dds_qset_reliability(qos.get(), DDS_RELIABILITY_BEST_EFFORT, 0);
        dds_qset_durability(qos.get(), DDS_DURABILITY_VOLATILE);
        dds_qset_history(qos.get(), DDS_HISTORY_KEEP_ALL, 0);
        dds_qset_resource_limits(qos.get(), options_.history, DDS_LENGTH_UNLIMITED,
                                 options_.history);
        Detail::SetTypeHash(qos.get(), type.message);
        slot.reader =
            Entity(dds_create_reader(participant_.Get(), slot.topic.Get(), qos.get(), nullptr),
                   "cannot create a reader on " + slot.info.topic);
        slot.condition = Entity(dds_create_readcondition(slot.reader.Get(), DDS_ANY_STATE),
                                "cannot watch " + slot.info.topic);
    }

    void Ignore(const std::string& topic, const char* type, const char* reason) noexcept {
        const std::size_t n = ignoredCount_.load(std::memory_order_relaxed);
        const std::string typeName(type, ::strnlen(type, MaxName));
        const std::string topicName = topic.substr(0, MaxName);
        for (std::size_t i = 0; i < n; ++i)
            if (ignored_[i].topic == topicName && ignored_[i].type == typeName) return;
        if (n == MaxIgnored) {  // beyond the list: still counted, so the loss is never silent
            unlisted_.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        ignored_[n] = IgnoredTopic{topicName, typeName, reason};
        ignoredCount_.store(n + 1, std::memory_order_release);
    }

    // What DDS counts itself: samples a full history refused or it saw lost, matched writers.
    void UpdateStatus() noexcept {
        const std::size_t n = count_.load(std::memory_order_relaxed);
        for (std::size_t i = 0; i < n; ++i) {
            Slot& s = slots_[i];
            dds_sample_rejected_status_t rejected{};
            dds_sample_lost_status_t lost{};
            dds_subscription_matched_status_t matched{};
            if (dds_get_sample_rejected_status(s.reader.Get(), &rejected) < 0 ||
                dds_get_sample_lost_status(s.reader.Get(), &lost) < 0 ||
                dds_get_subscription_matched_status(s.reader.Get(), &matched) < 0)
                continue;
            s.lost.store(std::uint64_t{rejected.total_count} + lost.total_count,
                         std::memory_order_relaxed);
            s.writers.store(static_cast<int>(matched.current_count), std::memory_order_relaxed);
        }
    }

    const CaptureOptions options_;
    const std::string prefix_;
    SampleQueue queue_;
    // The slots are made once; the receiving thread fills one, then publishes the count.
    std::array<Slot, MaxTopics> slots_;
    std::atomic<std::size_t> count_{0};
    std::array<IgnoredTopic, MaxIgnored> ignored_;
    std::atomic<std::size_t> ignoredCount_{0};
    std::atomic<std::uint64_t> unlisted_{0};  // ignored writers the full list could not name
    std::atomic<bool> stop_{false};
    Entity participant_, discovery_, discoveryCondition_, stopCondition_, waitset_;
    std::thread thread_;
};

Capture::Capture(const std::string& ns, int domain, const CaptureOptions& options)
    : impl_(std::make_unique<Impl>(ns, domain, options)) {}

Capture::~Capture() = default;

std::size_t Capture::Take(std::uint8_t* out, std::size_t capacity) noexcept {
    return impl_->Take(out, capacity);
}
std::size_t Capture::MaxRecord() const noexcept { return impl_->MaxRecord(); }
std::vector<CapturedTopic> Capture::Topics() const { return impl_->Topics(); }
std::vector<IgnoredTopic> Capture::Ignored() const { return impl_->IgnoredTopics(); }
std::uint64_t Capture::Unlisted() const noexcept { return impl_->Unlisted(); }
void Capture::Close() { impl_->Close(); }

}  // namespace Tamro::HardwareAPI::Network
