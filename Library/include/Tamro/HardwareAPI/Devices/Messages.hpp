#pragma once

#include <cstddef>
#include <cstdint>

// Every header code, payload length and payload layout on the wire, in one place.
// A message is a one-byte header code and a payload whose length the code fixes; the offsets
// below count from the first payload byte. Floats are IEEE-754 binary32 and 16-bit integers
// little-endian, packed without gaps.
namespace Tamro::HardwareAPI::Devices::Messages {

inline constexpr std::size_t HeaderLength = 1;

// A 16-bit integer as it lies on the wire.
constexpr std::uint16_t Uint16At(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}
constexpr void PutUint16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[1] = static_cast<std::uint8_t>(value >> 8);
}

// Shared by the arm and the handle.
inline constexpr std::uint8_t DeviceWakeup = 10;  // host -> device, code only

// Arm (Velkin3). A vector is three floats: a request carries one, a state reply two
// (position, then velocity), a current reply one.
inline constexpr std::size_t VectorFloats = 3;
inline constexpr std::size_t VectorLength = 12;

inline constexpr std::uint8_t DeviceInfo = 11;  // arm -> host
inline constexpr std::size_t DeviceInfoLength = 21;
namespace DeviceInfoAt {
inline constexpr std::size_t DeviceId = 0;  // 16-bit
inline constexpr std::size_t ModelNumber = 2;
inline constexpr std::size_t HardwareVersion = 3;
inline constexpr std::size_t FirmwareVersion = 4;
inline constexpr std::size_t Uuid = 5;  // 16 bytes, byte 0 first
}  // namespace DeviceInfoAt

inline constexpr std::uint8_t JointTorqueRequest = 26;  // host -> arm, a vector
inline constexpr std::uint8_t JointState = 27;          // arm -> host, a state
inline constexpr std::uint8_t JointAngleRequest = 28;   // host -> arm, a vector
inline constexpr std::uint8_t ForceRequest = 42;        // host -> arm, a vector
inline constexpr std::uint8_t EndEffectorState = 43;    // arm -> host, a state
inline constexpr std::uint8_t PositionRequest = 44;     // host -> arm, a vector
inline constexpr std::uint8_t Current = 171;            // request (code only) and reply (a vector)
inline constexpr std::size_t RequestLength = 13;        // the whole request: code and vector
inline constexpr std::size_t StateLength = 24;
namespace StateAt {
inline constexpr std::size_t Position = 0;   // end-effector position or joint angles
inline constexpr std::size_t Velocity = 12;  // their velocities
}  // namespace StateAt
inline constexpr std::size_t CurrentLength = 12;

// Handle.
inline constexpr std::uint8_t HandleInfo = 208;  // handle -> host
inline constexpr std::size_t HandleInfoLength = 6;
namespace HandleInfoAt {
inline constexpr std::size_t DeviceId = 0;  // 16-bit
inline constexpr std::size_t ToolDataRemaining = 2;
inline constexpr std::size_t ModelNumber = 3;
inline constexpr std::size_t HardwareVersion = 4;
inline constexpr std::size_t FirmwareVersion = 5;
}  // namespace HandleInfoAt

inline constexpr std::uint8_t HandleStatus = 218;           // request (code only) and reply
inline constexpr std::size_t HandleStatusFixedLength = 21;  // then UserDataLength bytes
namespace HandleStatusAt {
inline constexpr std::size_t DeviceId = 0;  // 16-bit
inline constexpr std::size_t ErrorFlag = 2;
inline constexpr std::size_t HallEffectSensorLevel = 3;
inline constexpr std::size_t Quaternion = 4;  // 4 floats
inline constexpr std::size_t UserDataLength = 20;
}  // namespace HandleStatusAt

inline constexpr std::uint8_t HandleState = 219;  // host -> handle
namespace HandleStateAt {
inline constexpr std::size_t DeviceId = 0;  // 16-bit
inline constexpr std::size_t UserDataLength = 2;
inline constexpr std::size_t UserData = 3;  // UserDataLength bytes
}  // namespace HandleStateAt

inline constexpr std::uint8_t HandleError = 223;  // handle -> host
inline constexpr std::size_t HandleErrorLength = 3;
namespace HandleErrorAt {
inline constexpr std::size_t DeviceId = 0;  // 16-bit
inline constexpr std::size_t ErrorCode = 2;
}  // namespace HandleErrorAt

// The arm model number that discovery accepts.
inline constexpr std::uint8_t Velkin3ModelNumber = 4;

// The lengths follow from the layouts.
static_assert(VectorLength == VectorFloats * sizeof(float));
static_assert(RequestLength == HeaderLength + VectorLength);
static_assert(StateLength == StateAt::Velocity + VectorLength);
static_assert(CurrentLength == VectorLength);
static_assert(DeviceInfoLength == DeviceInfoAt::Uuid + 16);
static_assert(HandleInfoLength == HandleInfoAt::FirmwareVersion + 1);
static_assert(HandleStatusFixedLength == HandleStatusAt::UserDataLength + 1);
static_assert(HandleStatusAt::UserDataLength == HandleStatusAt::Quaternion + 4 * sizeof(float));
static_assert(HandleErrorLength == HandleErrorAt::ErrorCode + 1);

}  // namespace Tamro::HardwareAPI::Devices::Messages
