#pragma once

#include <cstddef>
#include <cstdint>

// Every header code and payload length on the wire, in one place.
// Floats are IEEE-754 binary32 and 16-bit integers little-endian, packed without gaps.
namespace Tamro::HardwareAPI::Devices::Messages {

// Shared by the arm and the handle.
inline constexpr std::uint8_t DeviceWakeup = 10;  // host -> device, code only

// Arm (Velkin3).
inline constexpr std::uint8_t DeviceInfo = 11;          // arm -> host
inline constexpr std::size_t DeviceInfoLength = 21;     // id(2) model hw fw uuid(16)
inline constexpr std::uint8_t JointTorqueRequest = 26;  // host -> arm, 3 floats
inline constexpr std::uint8_t JointState = 27;          // arm -> host, 6 floats
inline constexpr std::uint8_t JointAngleRequest = 28;   // host -> arm, 3 floats
inline constexpr std::uint8_t ForceRequest = 42;        // host -> arm, 3 floats
inline constexpr std::uint8_t EndEffectorState = 43;    // arm -> host, 6 floats
inline constexpr std::uint8_t PositionRequest = 44;     // host -> arm, 3 floats
inline constexpr std::uint8_t Current = 171;            // request (code only) and reply (3 floats)
inline constexpr std::size_t StateLength = 24;          // position/velocity, 3 floats each
inline constexpr std::size_t CurrentLength = 12;
inline constexpr std::size_t RequestLength = 13;  // code + 3 floats

// Handle.
inline constexpr std::uint8_t HandleInfo = 208;  // handle -> host
inline constexpr std::size_t HandleInfoLength = 6;
inline constexpr std::uint8_t HandleStatus = 218;           // request (code only) and reply
inline constexpr std::size_t HandleStatusFixedLength = 21;  // then user_data_length bytes
inline constexpr std::uint8_t HandleState = 219;            // host -> handle: id(2) n(1) n bytes
inline constexpr std::uint8_t HandleError = 223;            // handle -> host
inline constexpr std::size_t HandleErrorLength = 3;

// The arm model number that discovery accepts.
inline constexpr std::uint8_t Velkin3ModelNumber = 4;

}  // namespace Tamro::HardwareAPI::Devices::Messages
