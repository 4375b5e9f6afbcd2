#include "SimulatedArm.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

namespace TamroSimulator {

namespace Messages = Tamro::HardwareAPI::Devices::Messages;

namespace {

Vec3 ReadVector(const std::uint8_t* payload) {
    return {GetFloat(payload), GetFloat(payload + 4), GetFloat(payload + 8)};
}

void PutVector(Bytes& out, const Vec3& v) {
    for (double component : v) PutFloat(out, static_cast<float>(component));
}

void PutState(Bytes& out, std::uint8_t code, const Vec3& position, const Vec3& velocity) {
    out.push_back(code);
    PutVector(out, position);
    PutVector(out, velocity);
}

}  // namespace

SimulatedArm::SimulatedArm(const Identity& identity, double rateHz, Clock::time_point start)
    : identity_(identity), model_(rateHz, start) {}

std::size_t SimulatedArm::Serve(const std::uint8_t* input, std::size_t size, Clock::time_point now,
                                Bytes& replies) {
    std::size_t done = 0;
    while (done < size) {
        const std::uint8_t code = input[done];
        switch (code) {
            case Messages::DeviceWakeup:
                replies.push_back(Messages::DeviceInfo);
                PutU16(replies, identity_.deviceId);
                replies.push_back(identity_.modelNumber);
                replies.push_back(identity_.hardwareVersion);
                replies.push_back(identity_.firmwareVersion);
                replies.insert(replies.end(), identity_.uuid.begin(), identity_.uuid.end());
                done += 1;
                break;
            case Messages::Current:
                model_.AdvanceTo(now);
                replies.push_back(Messages::Current);
                PutVector(replies, model_.MotorCurrents());
                done += 1;
                break;
            case Messages::ForceRequest:
            case Messages::PositionRequest:
            case Messages::JointTorqueRequest:
            case Messages::JointAngleRequest: {
                if (size - done < Messages::RequestLength) return done;
                const Vec3 values = ReadVector(input + done + Messages::HeaderLength);
                // The command takes effect from now on: the time up to now ran under the previous
                // one.
                model_.AdvanceTo(now);
                if (code == Messages::ForceRequest) {
                    model_.CommandForce(values);
                    PutState(replies, Messages::EndEffectorState, model_.Position(),
                             model_.Velocity());
                } else if (code == Messages::PositionRequest) {
                    model_.CommandPosition(values);
                    PutState(replies, Messages::EndEffectorState, model_.Position(),
                             model_.Velocity());
                } else if (code == Messages::JointTorqueRequest) {
                    model_.CommandJointTorques(values);
                    PutState(replies, Messages::JointState, model_.JointAngles(),
                             model_.JointVelocities());
                } else {
                    model_.CommandJointAngles(values);
                    PutState(replies, Messages::JointState, model_.JointAngles(),
                             model_.JointVelocities());
                }
                done += Messages::RequestLength;
                break;
            }
            default: done += 1; break;
        }
    }
    return done;
}

}  // namespace TamroSimulator
