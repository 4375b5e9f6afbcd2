#include "Endpoint.hpp"

#include "CycloneLog.hpp"
#include "Security.hpp"
#include "Wire.hpp"

#include <cstring>
#include <stdexcept>

namespace Tamro::HardwareAPI::Network::Detail {

[[noreturn]] void Refused(const std::string& what, dds_return_t code) {
    throw std::runtime_error(what + ": " + dds_strretcode(code));
}

Entity JoinDomain(int domain, const Credentials& credentials) {
    if (domain < 0 || domain > MaxDomain)
        throw std::invalid_argument("domain must be from 0 to " + std::to_string(MaxDomain));
    RouteCycloneLog();
    // As ROS 2 nodes announce themselves: the security enclave they run in.
    const QosPointer qos(dds_create_qos());
    const std::string enclave = "enclave=" + credentials.enclave + ";";
    dds_qset_userdata(qos.get(), enclave.data(), enclave.size());
    const bool secured = !credentials.directory.empty();
    if (secured && domain > MaxSecuredDomain)
        throw std::invalid_argument("a secured participant's domain must be from 0 to " +
                                    std::to_string(MaxSecuredDomain));
    if (secured) SetSecurity(qos.get(), credentials);
    const std::string what = "cannot join DDS domain " + std::to_string(domain);
    dds_entity_t participant = 0;
    std::string why;
    {
        const LogCapture log;
        participant =
            dds_create_participant(static_cast<dds_domainid_t>(domain), qos.get(), nullptr);
        why = log.Text();
    }
    if (participant < 0 && secured) {
        const std::string culprit = Detail::Culprit(why);
        throw std::runtime_error(what + " with the credentials in " + credentials.directory + ": " +
                                 (culprit.empty() ? "" : culprit + " refused: ") +
                                 (why.empty() ? dds_strretcode(participant) : why));
    }
    return Entity(participant, what);
}

void SetTypeHash(dds_qos_t* qos, Message message) {
    const std::string user = std::string("typehash=") + TypeOf(message).typeHash + ";";
    dds_qset_userdata(qos, user.data(), user.size());
}

QosPointer EndpointQos(const Topic& topic, std::chrono::nanoseconds deadline, bool writer) {
    QosPointer qos(dds_create_qos());
    dds_qset_reliability(
        qos.get(), topic.qos.reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
        DDS_MSECS(100));
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, topic.qos.depth);
    dds_qset_durability(qos.get(), DDS_DURABILITY_VOLATILE);
    if (topic.qos.deadline) dds_qset_deadline(qos.get(), deadline.count());
    SetTypeHash(qos.get(), topic.message);
    if (writer) {  // plain CDR, as ROS 2 writes it
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

Endpoint::Endpoint(dds_entity_t participant, const std::string& ns, const std::string& device,
                   const Topic& spec, std::chrono::nanoseconds deadline,
                   const dds_listener_t* listener)
    : spec(spec),
      name(RosTopic(ns, device, spec.name)),
      topic(dds_create_topic(participant, &Wire::DescriptorOf(spec.message),
                             DdsTopic(ns, device, spec.name).c_str(), nullptr, nullptr),
            "cannot create topic " + name) {
    const QosPointer qos = EndpointQos(spec, deadline, listener == nullptr);
    entity = Entity(listener == nullptr
                        ? dds_create_writer(participant, topic.Get(), qos.get(), nullptr)
                        : dds_create_reader(participant, topic.Get(), qos.get(), listener),
                    "cannot create an endpoint on " + name);
}

void Endpoint::Write(const void* sample) noexcept {
    if (dds_write(entity.Get(), sample) >= 0)
        samples.fetch_add(1, std::memory_order_relaxed);
    else
        failed.fetch_add(1, std::memory_order_relaxed);
}

TopicStats Endpoint::Stats(std::uint64_t dropped) const {
    TopicStats s{name, spec.message, spec.direction};
    s.samples = samples.load(std::memory_order_relaxed);
    s.dropped = dropped + failed.load(std::memory_order_relaxed);
    s.refused = refused.load(std::memory_order_relaxed);
    s.clamped = clamped.load(std::memory_order_relaxed);
    return s;
}

}  // namespace Tamro::HardwareAPI::Network::Detail
