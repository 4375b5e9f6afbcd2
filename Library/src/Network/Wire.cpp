#include "Wire.hpp"

#include <cstddef>

namespace Tamro::HardwareAPI::Network::Wire {

namespace {

// An instruction from its parts, which Cyclone's header declares in several enum types.
template <typename... Parts>
constexpr std::uint32_t Op(Parts... parts) {
    return (static_cast<std::uint32_t>(parts) | ...);
}

constexpr std::uint32_t Int32 = Op(DDS_OP_ADR, DDS_OP_TYPE_4BY, DDS_OP_FLAG_SGN);
constexpr std::uint32_t Uint32 = Op(DDS_OP_ADR, DDS_OP_TYPE_4BY);
constexpr std::uint32_t Byte = Op(DDS_OP_ADR, DDS_OP_TYPE_1BY);
constexpr std::uint32_t String = Op(DDS_OP_ADR, DDS_OP_TYPE_STR);
constexpr std::uint32_t Doubles =
    Op(DDS_OP_ADR, DDS_OP_TYPE_ARR, DDS_OP_SUBTYPE_8BY, DDS_OP_FLAG_FP);
constexpr std::uint32_t Return = Op(DDS_OP_RTS);

// Header's three leaves, then a stamped message's two blocks of doubles.
#define TAMRO_STAMPED_OPS(Type, first, n1, second, n2)                                             \
    Int32, offsetof(Type, header.stamp.sec), Uint32, offsetof(Type, header.stamp.nanosec), String, \
        offsetof(Type, header.frame_id), Doubles, offsetof(Type, first), n1, Doubles,              \
        offsetof(Type, second), n2, Return

const std::uint32_t PoseStampedOps[] = {
    TAMRO_STAMPED_OPS(PoseStamped, position, 3, orientation, 4)};
const std::uint32_t TwistStampedOps[] = {TAMRO_STAMPED_OPS(TwistStamped, linear, 3, angular, 3)};
const std::uint32_t WrenchStampedOps[] = {TAMRO_STAMPED_OPS(WrenchStamped, force, 3, torque, 3)};
constexpr std::uint32_t StampedOpCount = 6;  // instructions, not words
const std::uint32_t Vector3StampedOps[] = {Int32,   offsetof(Vector3Stamped, header.stamp.sec),
                                           Uint32,  offsetof(Vector3Stamped, header.stamp.nanosec),
                                           String,  offsetof(Vector3Stamped, header.frame_id),
                                           Doubles, offsetof(Vector3Stamped, vector),
                                           3,       Return};

const std::uint32_t UInt8Ops[] = {Byte, offsetof(UInt8, data), Return};

// The dimension's program follows the array's own: the sequence's last word says that it
// starts 9 words after the sequence instruction, and that the instruction is 4 words long.
constexpr std::uint32_t Structs = Op(DDS_OP_ADR, DDS_OP_TYPE_SEQ, DDS_OP_SUBTYPE_STU);
constexpr std::uint32_t Bytes = Op(DDS_OP_ADR, DDS_OP_TYPE_SEQ, DDS_OP_SUBTYPE_1BY);
// clang-format off
const std::uint32_t UInt8MultiArrayOps[] = {
    Structs, offsetof(UInt8MultiArray, dim), sizeof(MultiArrayDimension), (4u << 16u) + 9u,
    Uint32, offsetof(UInt8MultiArray, data_offset),
    Bytes, offsetof(UInt8MultiArray, data),
    Return,
    String, offsetof(MultiArrayDimension, label),
    Uint32, offsetof(MultiArrayDimension, size),
    Uint32, offsetof(MultiArrayDimension, stride),
    Return};
// clang-format on

#undef TAMRO_STAMPED_OPS

template <typename T>
constexpr dds_topic_descriptor_t Descriptor(Message m, std::uint32_t flags, std::uint32_t nops,
                                            const std::uint32_t* ops) {
    return dds_topic_descriptor_t{
        sizeof(T), alignof(T), flags, 0, TypeOf(m).ddsName, nullptr, nops, ops, "", {}, {}, 0};
}

const dds_topic_descriptor_t Descriptors[] = {
    Descriptor<PoseStamped>(Message::PoseStamped, 0, StampedOpCount, PoseStampedOps),
    Descriptor<TwistStamped>(Message::TwistStamped, 0, StampedOpCount, TwistStampedOps),
    Descriptor<WrenchStamped>(Message::WrenchStamped, 0, StampedOpCount, WrenchStampedOps),
    Descriptor<UInt8>(Message::UInt8, DDS_TOPIC_FIXED_SIZE, 2, UInt8Ops),
    Descriptor<UInt8MultiArray>(Message::UInt8MultiArray, 0, 8, UInt8MultiArrayOps),
    Descriptor<Vector3Stamped>(Message::Vector3Stamped, 0, StampedOpCount - 1, Vector3StampedOps),
};

}  // namespace

const dds_topic_descriptor_t& DescriptorOf(Message message) {
    return Descriptors[static_cast<std::size_t>(message)];
}

}  // namespace Tamro::HardwareAPI::Network::Wire
