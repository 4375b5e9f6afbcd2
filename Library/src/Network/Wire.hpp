// The ROS 2 messages as Cyclone DDS serializes them: C layouts and their topic descriptors
// (the serialization programs Cyclone runs over a sample). Nested final structs serialize as
// their fields in order, so each type's program lists its leaves, flat.
#pragma once

#include <Tamro/HardwareAPI/Network/Topics.hpp>

#include <dds/dds.h>

#include <cstdint>

namespace Tamro::HardwareAPI::Network::Wire {

struct Time {
    std::int32_t sec;
    std::uint32_t nanosec;
};

struct Header {
    Time stamp;
    char* frame_id;
};

struct PoseStamped {
    Header header;
    double position[3];     // x, y, z
    double orientation[4];  // x, y, z, w
};

struct TwistStamped {
    Header header;
    double linear[3];
    double angular[3];
};

struct WrenchStamped {
    Header header;
    double force[3];
    double torque[3];
};

struct Vector3Stamped {
    Header header;
    double vector[3];
};

struct UInt8 {
    std::uint8_t data;
};

struct MultiArrayDimension {
    char* label;
    std::uint32_t size;
    std::uint32_t stride;
};

struct UInt8MultiArray {
    dds_sequence_t dim;  // of MultiArrayDimension
    std::uint32_t data_offset;
    dds_sequence_t data;  // of bytes
};

const dds_topic_descriptor_t& DescriptorOf(Message message);

}  // namespace Tamro::HardwareAPI::Network::Wire
