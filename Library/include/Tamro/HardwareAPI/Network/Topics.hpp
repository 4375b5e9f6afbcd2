// The one place for what the devices look like on the network: message types, topics,
// their quality of service and frames. The C++ node and the Python package (through
// tamro._native) both read these tables.
//
// ROS 2's conventions, so that a ROS 2 machine sees these topics as its own: topic /ns/name
// is the DDS topic rt/ns/name; type pkg/msg/Name is the DDS type pkg::msg::dds_::Name_,
// keyless, plain CDR (XCDR1, final structs) with the field layout of ROS 2's message
// definitions; stamps are wall-clock time since the epoch.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace Tamro::HardwareAPI::Network {

// The highest DDS domain id: the last whose UDP ports (7400 + 250 d + ...) fit in UDP's range.
inline constexpr int MaxDomain = 232;

enum class Message : std::uint8_t {
    PoseStamped,
    TwistStamped,
    WrenchStamped,
    UInt8,
    UInt8MultiArray,
    Vector3Stamped
};

struct MessageType {
    Message message;
    const char* rosName;  // as ROS 2 names it: geometry_msgs/msg/PoseStamped
    const char* ddsName;  // as DDS carries it: geometry_msgs::msg::dds_::PoseStamped_
    // ROS 2's type hash (RIHS01) of the message definition, which recent ROS 2 releases put
    // in each endpoint's USER_DATA as typehash=...; (checked against ROS 2's definitions by
    // tests/tamro/test_network_types.py).
    const char* typeHash;
};

inline constexpr std::array<MessageType, 6> MessageTypes{{
    {Message::PoseStamped, "geometry_msgs/msg/PoseStamped",
     "geometry_msgs::msg::dds_::PoseStamped_",
     "RIHS01_10f3786d7d40fd2b54367835614bff85d4ad3b5dab62bf8bca0cc232d73b4cd8"},
    {Message::TwistStamped, "geometry_msgs/msg/TwistStamped",
     "geometry_msgs::msg::dds_::TwistStamped_",
     "RIHS01_5f0fcd4f81d5d06ad9b4c4c63e3ea51b82d6ae4d0558f1d475229b1121db6f64"},
    {Message::WrenchStamped, "geometry_msgs/msg/WrenchStamped",
     "geometry_msgs::msg::dds_::WrenchStamped_",
     "RIHS01_8dc3deaf06b2ab281f9f9a742a8961c328ca7cec16e3fd6586d3a5c83fa78f77"},
    {Message::UInt8, "std_msgs/msg/UInt8", "std_msgs::msg::dds_::UInt8_",
     "RIHS01_6138bd83d8c3569cb80a667db03cfc1629f529fee79d944c39c34e352e72f010"},
    {Message::UInt8MultiArray, "std_msgs/msg/UInt8MultiArray",
     "std_msgs::msg::dds_::UInt8MultiArray_",
     "RIHS01_5687e861b8d307a5e48b7515467ae7a5fc2daf805bd0ce6d8e9e604bade9f385"},
    {Message::Vector3Stamped, "geometry_msgs/msg/Vector3Stamped",
     "geometry_msgs::msg::dds_::Vector3Stamped_",
     "RIHS01_d4829622288cbb443886e7ea94ea5671a3b1be6bab4ad04224432a65f7d7887a"},
}};

constexpr const MessageType& TypeOf(Message m) { return MessageTypes[static_cast<std::size_t>(m)]; }

// A coupling's topics are under the name of the arm it drives.
enum class Device : std::uint8_t { Arm, Handle, Coupling };
enum class Direction : std::uint8_t { Out, In };  // published by us, or commands we take

// Quality of service. Measured topics: ROS 2's sensor-data profile with a history of one
// (best effort, keep last 1, volatile): a subscriber always gets the newest sample and a
// late one is never resent. Commands: the same, with no deadline requested, so that any
// writer matches (ROS 2's default reliable keep-last-10, best effort, with a deadline or
// none, as `ros2 topic pub` writes); the command time-out and ramp are the safety.
struct Qos {
    bool reliable;
    int depth;
    bool deadline;  // the reader asks for the command time-out as a DDS deadline
};
inline constexpr Qos MeasuredQos{false, 1, false};
inline constexpr Qos CommandQos{false, 1, false};

struct Topic {
    Device device;
    const char* name;  // under /<namespace>/<device name>/
    Message message;
    Direction direction;
    Qos qos;
    const char* meaning;
};

inline constexpr std::array<Topic, 10> Topics{{
    {Device::Arm, "measured_cp", Message::PoseStamped, Direction::Out, MeasuredQos,
     "end-effector position (m), identity orientation; one per cycle or at the chosen rate"},
    {Device::Arm, "measured_cv", Message::TwistStamped, Direction::Out, MeasuredQos,
     "end-effector velocity (m/s), linear only"},
    {Device::Arm, "measured_cf", Message::WrenchStamped, Direction::Out, MeasuredQos,
     "the force the loop sent that cycle (N), no torque"},
    {Device::Arm, "servo_cp", Message::PoseStamped, Direction::In, CommandQos,
     "target of a coupling spring the loop renders (m; orientation ignored)"},
    {Device::Arm, "servo_cf", Message::WrenchStamped, Direction::In, CommandQos,
     "a force added to the loop's effects (N; torque ignored)"},
    {Device::Coupling, "coupling_cf", Message::WrenchStamped, Direction::Out, MeasuredQos,
     "a coupled arm's coupling force on it, sent that cycle (N), no torque"},
    {Device::Coupling, "coupling_energy", Message::Vector3Stamped, Direction::Out, MeasuredQos,
     "a coupled arm's coupling energy (J since it started): x in, y out, z dissipated"},
    {Device::Handle, "measured_cp", Message::PoseStamped, Direction::Out, MeasuredQos,
     "the handle's orientation (x, y, z, w), position zero; one per status message"},
    {Device::Handle, "sensor_level", Message::UInt8, Direction::Out, MeasuredQos,
     "the Hall-effect sensor level, 0 to 255"},
    {Device::Handle, "user_data", Message::UInt8MultiArray, Direction::Out, MeasuredQos,
     "the user data bytes of the status message (layout empty)"},
}};

// ROS 2 names: /<namespace>/<device name>/<topic>, and the DDS topic rt/<same without the
// leading slash>. The frame of a device's samples is <namespace>/<device name>_base.
std::string RosTopic(const std::string& ns, const std::string& device, const char* topic);
std::string DdsTopic(const std::string& ns, const std::string& device, const char* topic);
std::string FrameId(const std::string& ns, const std::string& device);

// A namespace or device name as ROS 2 takes it: tokens of letters, digits and underscores,
// not starting with a digit, joined by single slashes (a namespace may have several, a device
// name one). Throws std::invalid_argument saying what is wrong.
void CheckName(const std::string& name, const char* what, bool slashes);

const char* DeviceWord(Device device);           // "arm", "handle", "coupling"
const char* DirectionWord(Direction direction);  // "out", "in"

}  // namespace Tamro::HardwareAPI::Network
