// The one place for what the devices look like on the network: message types, topics,
// their quality of service and frames. The C++ node and the Python package (through
// tamro._native) both read these tables.
//
// ROS 2's conventions, so that a ROS 2 machine sees these topics as its own: topic /ns/name
// is the DDS topic rt/ns/name; type pkg/msg/Name is the DDS type pkg::msg::dds_::Name_,
// keyless, plain CDR (XCDR1, final structs) with the field layout of ROS 2's message
// definitions; stamps are wall-clock time since the epoch.
#pragma once

#include <Tamro/HardwareAPI/Network/Messages.hpp>

#include <array>
#include <cstdint>
#include <string>

namespace Tamro::HardwareAPI::Network {

// The highest DDS domain id: the last whose UDP ports (7400 + 250 d + ...) fit in UDP's range.
inline constexpr int MaxDomain = 232;

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

inline constexpr std::array<Topic, 12> Topics{{
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
    {Device::Coupling, "contact_model", Message::PoseStamped, Direction::Out, MeasuredQos,
     "the plane a coupled arm presses on: a point on it (m), the rotation taking +z to its "
     "outward normal; stamped as its contact_stiffness"},
    {Device::Coupling, "contact_stiffness", Message::Vector3Stamped, Direction::Out, MeasuredQos,
     "that plane's stiffness: x in N/m, 0 when not in contact (y, z 0)"},
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
