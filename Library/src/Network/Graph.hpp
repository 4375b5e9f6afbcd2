// The node as the ROS 2 graph sees nodes: rmw_dds_common's ParticipantEntitiesInfo (the layout
// of ROS 2 Iron and later, 16-byte GIDs) on the topic ros_discovery_info, naming the node and
// the GIDs of the participant's readers and writers, so `ros2 node list` and `ros2 node info`
// show it.
#pragma once

#include "Endpoint.hpp"
#include "Wire.hpp"

#include <dds/dds.h>

#include <cstdint>
#include <string>

namespace Tamro::HardwareAPI::Network::Detail {

// A GID as rmw_cyclonedds derives it: the 16 bytes of the entity's DDS GUID.
Wire::Gid GidOf(dds_entity_t entity);

// The writer of ros_discovery_info for one participant holding one node: reliable, transient
// local, keep last 1, as ROS 2 writes it, so a late joiner gets the newest.
class Graph {
public:
    // Throws std::invalid_argument for a node name ROS 2 would not take, std::runtime_error
    // when DDS refuses.
    Graph(dds_entity_t participant, const std::string& ns, const std::string& nodeName);

    // Writes the node with every reader and writer the participant has now (but this one).
    // Throws std::runtime_error when DDS refuses.
    void Announce();

    const std::string& NodeName() const noexcept { return name_; }

private:
    dds_entity_t participant_;
    std::string namespace_;  // /lab
    std::string name_;
    Entity topic_;
    Entity writer_;
};

}  // namespace Tamro::HardwareAPI::Network::Detail
