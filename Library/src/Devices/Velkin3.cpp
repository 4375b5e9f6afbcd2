#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include <cstring>

namespace Tamro::HardwareAPI::Devices {

namespace {

constexpr auto VectorSize = static_cast<std::int32_t>(Messages::VectorFloats);

// One vector of a payload: three floats from the wire.
void CopyVector(float* destination, const std::uint8_t* source) {
    std::memcpy(destination, source, Messages::VectorLength);
}

}  // namespace

void Velkin3::SendDeviceWakeup() { SendCode(Messages::DeviceWakeup); }

void Velkin3::ReceiveDeviceInfo(DeviceInfo& info) {
    if (!ReceiveReply(Messages::DeviceInfo, Messages::DeviceInfoLength)) return;
    namespace At = Messages::DeviceInfoAt;
    const std::uint8_t* in = InputBuffer();
    info.device_id = Messages::Uint16At(in + At::DeviceId);
    info.device_model_number = in[At::ModelNumber];
    info.hardware_version = in[At::HardwareVersion];
    info.firmware_version = in[At::FirmwareVersion];
    std::memcpy(info.uuid.data.data(), in + At::Uuid, info.uuid.data.size());
}

void Velkin3::ReceiveDeviceInfo(std::uint16_t& device_id, std::uint8_t& device_model_number,
                                std::uint8_t& hardware_version, std::uint8_t& firmware_version,
                                UUID& uuid) {
    DeviceInfo info{device_id, uuid, device_model_number, hardware_version, firmware_version};
    ReceiveDeviceInfo(info);
    device_id = info.device_id;
    device_model_number = info.device_model_number;
    hardware_version = info.hardware_version;
    firmware_version = info.firmware_version;
    uuid = info.uuid;
}

DeviceInfo Velkin3::device_wakeup() {
    DeviceInfo info;
    SendDeviceWakeup();
    ReceiveDeviceInfo(info);
    return info;
}

void Velkin3::SendForce(const float* force) {
    SendFloats(Messages::ForceRequest, force, VectorSize);
}
void Velkin3::SendPosition(const float* position) {
    SendFloats(Messages::PositionRequest, position, VectorSize);
}
void Velkin3::SendJointTorques(const float* torques) {
    SendFloats(Messages::JointTorqueRequest, torques, VectorSize);
}
void Velkin3::SendAngle(const float* angles) {
    SendFloats(Messages::JointAngleRequest, angles, VectorSize);
}
void Velkin3::RequestCurrent() { SendCode(Messages::Current); }

void Velkin3::DecodeState(float* position, float* velocity) const {
    CopyVector(position, InputBuffer() + Messages::StateAt::Position);
    CopyVector(velocity, InputBuffer() + Messages::StateAt::Velocity);
}

void Velkin3::ReceiveState(float* position, float* velocity) {
    if (ReceiveReply(Messages::EndEffectorState, Messages::StateLength))
        DecodeState(position, velocity);
}

void Velkin3::ReceiveJointState(float* joint_position, float* joint_velocity) {
    if (ReceiveReply(Messages::JointState, Messages::StateLength))
        DecodeState(joint_position, joint_velocity);
}

void Velkin3::ReceiveCurrent(float* current) {
    if (!ReceiveReply(Messages::Current, Messages::CurrentLength)) return;
    CopyVector(current, InputBuffer());
}

StateVectors Velkin3::end_effector_force(const float* force) {
    return Exchange(&Velkin3::SendForce, &Velkin3::ReceiveState, force);
}

StateVectors Velkin3::end_effector_position(const float* position) {
    return Exchange(&Velkin3::SendPosition, &Velkin3::ReceiveState, position);
}

StateVectors Velkin3::joint_torques(const float* torques) {
    return Exchange(&Velkin3::SendJointTorques, &Velkin3::ReceiveJointState, torques);
}

StateVectors Velkin3::joint_angles(const float* angles) {
    return Exchange(&Velkin3::SendAngle, &Velkin3::ReceiveJointState, angles);
}

Reply Velkin3::ExchangeForce(const float* force, StateVectors& state) {
    SendForce(force);
    const Reply reply = ReadReply(Messages::EndEffectorState, Messages::StateLength);
    if (reply == Reply::Complete) DecodeState(state.position.data(), state.velocity.data());
    return reply;
}

StateVectors Velkin3::Exchange(void (Velkin3::*send)(const float*),
                               void (Velkin3::*receive)(float*, float*), const float* request) {
    StateVectors state;  // zeros unless a complete reply arrives
    (this->*send)(request);
    (this->*receive)(state.position.data(), state.velocity.data());
    return state;
}

}  // namespace Tamro::HardwareAPI::Devices
