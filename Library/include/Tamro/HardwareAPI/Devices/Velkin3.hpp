#pragma once

#include <Tamro/HardwareAPI/Devices/Device.hpp>
#include <Tamro/HardwareAPI/UUID.hpp>

#include <array>
#include <cstdint>

namespace Tamro::HardwareAPI::Devices {

using Vector3 = std::array<float, 3>;

// The decoded wake-up reply of an arm.
struct DeviceInfo {
    std::uint16_t device_id = 0;
    UUID uuid;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
};

// The two state vectors an exchange returns: end-effector or joint position and velocity.
// Both are zero when no complete reply was read.
struct StateVectors {
    Vector3 position{};
    Vector3 velocity{};
};

// The three-joint haptic arm. Every send writes one request; every receive reads one reply
// and replaces its outputs only when the reply is complete; an exchange does both.
class Velkin3 : public Device {
public:
    using Device::Device;

    // Identity.
    void SendDeviceWakeup();
    void ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                           std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                           UUID& uuid);
    void ReceiveDeviceInfo(DeviceInfo& info);
    DeviceInfo device_wakeup();

    // Requests: each takes three floats.
    void SendForce(const float* force);
    void SendPosition(const float* position);
    void SendJointTorques(const float* torques);
    void SendAngle(const float* angles);
    void RequestCurrent();

    // Replies: each writes the first three elements of its outputs on a complete reply.
    void ReceiveState(float* position, float* velocity);
    void ReceiveJointState(float* joint_position, float* joint_velocity);
    void ReceiveCurrent(float* current);

    // One-call exchanges: send the request, read its reply at once.
    StateVectors end_effector_force(const float* force);
    StateVectors end_effector_position(const float* position);
    StateVectors joint_torques(const float* torques);
    StateVectors joint_angles(const float* angles);

    // The force exchange for callers that must know how it went (the servo loop): the state
    // is replaced only on a complete reply, and nothing is discarded otherwise.
    Reply ExchangeForce(const float* force, StateVectors& state);

private:
    // Copies position and velocity out of a state payload in the input buffer.
    void DecodeState(float* position, float* velocity) const;

    // Sends the request and reads its reply at once, with nothing in between.
    StateVectors Exchange(void (Velkin3::*send)(const float*),
                          void (Velkin3::*receive)(float*, float*), const float* request);
};

}  // namespace Tamro::HardwareAPI::Devices
