#include "Graph.hpp"

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

template <typename... Parts>
constexpr std::uint32_t Op(Parts... parts) {
    return (static_cast<std::uint32_t>(parts) | ...);
}

constexpr std::uint32_t GidBytes = Op(DDS_OP_ADR, DDS_OP_TYPE_ARR, DDS_OP_SUBTYPE_1BY);
constexpr std::uint32_t String = Op(DDS_OP_ADR, DDS_OP_TYPE_STR);
constexpr std::uint32_t Structs = Op(DDS_OP_ADR, DDS_OP_TYPE_SEQ, DDS_OP_SUBTYPE_STU);
constexpr std::uint32_t Return = Op(DDS_OP_RTS);

// A sequence's last word: its instruction is 4 words long, its element's program starts
// `jump` words after the instruction.
constexpr std::uint32_t Jump(std::uint32_t jump) { return (4u << 16u) + jump; }

// clang-format off
const std::uint32_t Ops[] = {
    /* 0 */ GidBytes, offsetof(ParticipantEntitiesInfo, gid), 16,
    /* 3 */ Structs, offsetof(ParticipantEntitiesInfo, nodes), sizeof(NodeEntitiesInfo), Jump(5),
    /* 7 */ Return,
    /* 8 */ String, offsetof(NodeEntitiesInfo, node_namespace),
    /* 10 */ String, offsetof(NodeEntitiesInfo, node_name),
    /* 12 */ Structs, offsetof(NodeEntitiesInfo, readers), sizeof(Gid), Jump(9),
    /* 16 */ Structs, offsetof(NodeEntitiesInfo, writers), sizeof(Gid), Jump(5),
    /* 20 */ Return,
    /* 21 */ GidBytes, offsetof(Gid, data), 16,
    /* 24 */ Return};
// clang-format on
constexpr std::uint32_t OpCount = 10;  // instructions, not words

const dds_topic_descriptor_t Descriptor{sizeof(ParticipantEntitiesInfo),
                                        alignof(ParticipantEntitiesInfo),
                                        0,
                                        0,
                                        "rmw_dds_common::msg::dds_::ParticipantEntitiesInfo_",
                                        nullptr,
                                        OpCount,
                                        Ops,
                                        "",
                                        {},
                                        {},
                                        0};

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

dds_sequence_t Sequence(std::vector<Gid>& gids) {
    dds_sequence_t s{};
    s._length = s._maximum = static_cast<std::uint32_t>(gids.size());
    s._buffer = reinterpret_cast<std::uint8_t*>(gids.data());
    s._release = false;
    return s;
}

}  // namespace

const dds_topic_descriptor_t& ParticipantEntitiesInfoDescriptor() { return Descriptor; }

Gid GidOf(dds_entity_t entity) {
    dds_guid_t guid{};
    const dds_return_t rc = dds_get_guid(entity, &guid);
    if (rc < 0) Refused("cannot read an entity's GUID", rc);
    Gid gid{};
    static_assert(sizeof guid.v == sizeof gid.data);
    std::memcpy(gid.data, guid.v, sizeof gid.data);
    return gid;
}

Graph::Graph(dds_entity_t participant, const std::string& ns, const std::string& nodeName)
    : participant_(participant),
      namespace_("/" + ns),
      name_(nodeName),
      topic_(dds_create_topic(participant, &Descriptor, "ros_discovery_info", nullptr, nullptr),
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
    std::vector<Gid> readers, writers;
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
    NodeEntitiesInfo node{};
    node.node_namespace = namespace_.data();
    node.node_name = name_.data();
    node.readers = Sequence(readers);
    node.writers = Sequence(writers);
    ParticipantEntitiesInfo info{};
    info.gid = GidOf(participant_);
    info.nodes._length = info.nodes._maximum = 1;
    info.nodes._buffer = reinterpret_cast<std::uint8_t*>(&node);
    info.nodes._release = false;
    const dds_return_t rc = dds_write(writer_.Get(), &info);
    if (rc < 0) Refused("cannot write ros_discovery_info", rc);
}

}  // namespace Tamro::HardwareAPI::Network::Detail
