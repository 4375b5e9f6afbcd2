// What the network part's units share: DDS entities that delete themselves, an endpoint's
// QoS as Topics.hpp gives it, and one topic's endpoint with what it carried.
#pragma once

#include <Tamro/HardwareAPI/Network/Credentials.hpp>
#include <Tamro/HardwareAPI/Network/Node.hpp>
#include <Tamro/HardwareAPI/Network/Topics.hpp>

#include <dds/dds.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace Tamro::HardwareAPI::Network::Detail {

// std::runtime_error with what DDS said.
[[noreturn]] void Refused(const std::string& what, dds_return_t code);

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

// A participant in a DDS domain (0 to 232: std::invalid_argument otherwise), announced as ROS 2
// nodes announce themselves, secured with the credentials when they name a directory. Throws
// std::runtime_error when DDS refuses, with what Cyclone logged of why.
Entity JoinDomain(int domain, const Credentials& credentials = {});

// ROS 2's type hash of a type, as its endpoints carry it in their USER_DATA.
void SetTypeHash(dds_qos_t* qos, Message message);

// An endpoint's QoS (Topics.hpp) with ROS 2's type hash in its USER_DATA; a writer writes
// plain CDR.
QosPointer EndpointQos(const Topic& topic, std::chrono::nanoseconds deadline, bool writer);

// The topic of a device by its name (std::logic_error for one the table does not have).
const Topic& Find(Device device, const char* name);

// One topic's endpoint: its topic entity and its reader or writer, and what it carried.
struct Endpoint {
    // A writer, or with a listener a reader whose samples the listener takes (our in topics, or
    // another device's out topics); the deadline is the one given, on topics that have one.
    // Throws std::runtime_error when DDS refuses.
    Endpoint(dds_entity_t participant, const std::string& ns, const std::string& device,
             const Topic& spec, std::chrono::nanoseconds deadline = {},
             const dds_listener_t* listener = nullptr);

    void Write(const void* sample) noexcept;
    TopicStats Stats(std::uint64_t dropped) const;

    const Topic& spec;
    const std::string name;
    Entity topic;
    Entity entity;
    std::atomic<std::uint64_t> samples{0}, failed{0}, refused{0}, clamped{0};
};

// A listener that calls fn with arg.
struct ListenerDeleter {
    void operator()(dds_listener_t* l) const noexcept { dds_delete_listener(l); }
};
using ListenerPointer = std::unique_ptr<dds_listener_t, ListenerDeleter>;
inline ListenerPointer DataListener(void* arg, dds_on_data_available_fn fn) {
    ListenerPointer l(dds_create_listener(arg));
    dds_lset_data_available(l.get(), fn);
    return l;
}

// Takes what waits on a reader, a few samples at a time on loan, counting each and what judge
// (a sample's verdict) says of it.
template <typename Sample, typename Judge>
void TakeAll(dds_entity_t reader, Endpoint& endpoint, Judge judge) noexcept {
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

}  // namespace Tamro::HardwareAPI::Network::Detail
