#include "Graph.hpp"

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

// The entity's children (a participant's topics, publishers and subscribers; a publisher's
// writers), however many there are.
std::vector<dds_entity_t> Children(dds_entity_t entity) {
    std::vector<dds_entity_t> out(16);
    for (;;) {
        const dds_return_t n = dds_get_children(entity, out.data(), out.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) <= out.size()) {
            out.resize(static_cast<std::size_t>(n));
            return out;
        }
        out.resize(static_cast<std::size_t>(n));
    }
}

dds_sequence_t Sequence(std::vector<Wire::Gid>& gids) {
    dds_sequence_t s{};
    s._length = s._maximum = static_cast<std::uint32_t>(gids.size());
    s._buffer = reinterpret_cast<std::uint8_t*>(gids.data());
    s._release = false;
    return s;
}

}  // namespace

Wire::Gid GidOf(dds_entity_t entity) {
    dds_guid_t guid{};
    const dds_return_t rc = dds_get_guid(entity, &guid);
    if (rc < 0) Refused("cannot read an entity's GUID", rc);
    Wire::Gid gid{};
    static_assert(sizeof guid.v == sizeof gid.data);
    std::memcpy(gid.data, guid.v, sizeof gid.data);
    return gid;
}

Graph::Graph(dds_entity_t participant, const std::string& ns, const std::string& nodeName)
    : participant_(participant),
      namespace_("/" + ns),
      name_(nodeName),
      topic_(dds_create_topic(participant, &Wire::ParticipantEntitiesInfoDescriptor(),
                              "ros_discovery_info", nullptr, nullptr),
             "cannot create topic ros_discovery_info") {
    CheckName(nodeName, "node name", false);
    const QosPointer qos(dds_create_qos());
    dds_qset_reliability(qos.get(), DDS_RELIABILITY_RELIABLE, DDS_MSECS(100));
    dds_qset_durability(qos.get(), DDS_DURABILITY_TRANSIENT_LOCAL);
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, 1);
    dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(qos.get(), 1, &xcdr1);
    writer_ = Entity(dds_create_writer(participant, topic_.Get(), qos.get(), nullptr),
                     "cannot create the writer of ros_discovery_info");
}

void Graph::Announce() {
    std::vector<Wire::Gid> readers, writers;
    for (const dds_entity_t group : Children(participant_)) {
        // A publisher's children are writers, a subscriber's readers; topics have none.
        for (const dds_entity_t e : Children(group)) {
            if (e == writer_.Get()) continue;
            if (dds_get_publisher(e) > 0)
                writers.push_back(GidOf(e));
            else if (dds_get_subscriber(e) > 0)
                readers.push_back(GidOf(e));
        }
    }
    Wire::NodeEntitiesInfo node{};
    node.node_namespace = namespace_.data();
    node.node_name = name_.data();
    node.reader_gid_seq = Sequence(readers);
    node.writer_gid_seq = Sequence(writers);
    Wire::ParticipantEntitiesInfo info{};
    info.gid = GidOf(participant_);
    info.node_entities_info_seq._length = info.node_entities_info_seq._maximum = 1;
    info.node_entities_info_seq._buffer = reinterpret_cast<std::uint8_t*>(&node);
    info.node_entities_info_seq._release = false;
    const dds_return_t rc = dds_write(writer_.Get(), &info);
    if (rc < 0) Refused("cannot write ros_discovery_info", rc);
}

}  // namespace Tamro::HardwareAPI::Network::Detail
