// Every Velkin3 operation over arbitrary device bytes. Input layout: byte 0 gives the number
// of operations (1 to 8, low three bits) and whether the port refuses writes (bit 3), the
// next bytes choose the operations, the rest is what the arm sends. Each
// result is checked against a reference reading of the same bytes: a complete reply replaces
// all outputs with the decoded values, anything else leaves the caller's values (or zeros for
// an exchange), and the requests on the wire are exactly the ones sent while the stream was
// still good.
#include "FuzzStream.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>

#include <array>
#include <limits>

namespace {

using namespace Tamro::HardwareAPI::Devices;
using Tamro::HardwareAPI::UUID;
using TamroFuzz::SameBytes;

constexpr std::size_t MaxOperations = 8;
constexpr std::size_t OperationKinds = 15;

// Requests carry awkward but fixed values: the fuzzer drives the replies.
const float Request[3] = {1.5f, -0.0f, std::numeric_limits<float>::quiet_NaN()};

void CheckPair(const float* first, const float* second, const float* firstBefore,
               const float* secondBefore, const std::uint8_t* payload) {
    if (payload != nullptr) {
        FUZZ_CHECK(TamroFuzz::FloatsAre(first, payload + Messages::StateAt::Position, 3));
        FUZZ_CHECK(TamroFuzz::FloatsAre(second, payload + Messages::StateAt::Velocity, 3));
    } else {
        FUZZ_CHECK(SameBytes(first, firstBefore, 3) && SameBytes(second, secondBefore, 3));
    }
}

void CheckInfo(std::uint16_t id, std::uint8_t model, std::uint8_t hardware, std::uint8_t firmware,
               const UUID& uuid, const std::uint8_t* payload, std::uint16_t idBefore,
               std::uint8_t before, const UUID& uuidBefore) {
    if (payload != nullptr) {
        namespace At = Messages::DeviceInfoAt;
        FUZZ_CHECK(id == Messages::Uint16At(payload + At::DeviceId) &&
                   model == payload[At::ModelNumber] && hardware == payload[At::HardwareVersion] &&
                   firmware == payload[At::FirmwareVersion]);
        FUZZ_CHECK(std::memcmp(uuid.data.data(), payload + At::Uuid, uuid.data.size()) == 0);
    } else {
        FUZZ_CHECK(id == idBefore && model == before && hardware == before && firmware == before);
        FUZZ_CHECK(uuid.data == uuidBefore.data);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t count = std::min<std::size_t>(data[0] % MaxOperations + 1, size - 1);
    const bool refuseWrites = (data[0] & 0x08) != 0;  // reported on standard error each time
    const std::uint8_t* operations = data + 1;
    const std::uint8_t* wire = data + 1 + count;
    const std::size_t wireSize = size - 1 - count;

    TamroFuzz::InputBuffer buffer(wire, wireSize, refuseWrites);
    std::iostream stream(&buffer);
    Velkin3 arm(&stream);
    TamroFuzz::Reference reference(wire, wireSize, refuseWrites);
    std::vector<std::uint8_t> expectedWrites;

    // The caller's values that a failed receive must leave alone.
    const float first0[3] = {9.0f, -9.0f, std::numeric_limits<float>::infinity()};
    const float second0[3] = {8.0f, std::numeric_limits<float>::denorm_min(), -8.0f};
    const float zeros[3] = {0.0f, 0.0f, 0.0f};
    UUID uuid0;
    for (std::size_t i = 0; i < uuid0.data.size(); ++i)
        uuid0.data[i] = static_cast<std::uint8_t>(0xA0 + i);

    for (std::size_t k = 0; k < count; ++k) {
        float first[3], second[3];
        std::memcpy(first, first0, sizeof first);
        std::memcpy(second, second0, sizeof second);
        switch (operations[k] % OperationKinds) {
            case 0:
                arm.ReceiveState(first, second);
                CheckPair(first, second, first0, second0,
                          reference.Reply(Messages::EndEffectorState, Messages::StateLength));
                break;
            case 1:
                arm.ReceiveJointState(first, second);
                CheckPair(first, second, first0, second0,
                          reference.Reply(Messages::JointState, Messages::StateLength));
                break;
            case 2: {
                arm.ReceiveCurrent(first);
                const std::uint8_t* payload =
                    reference.Reply(Messages::Current, Messages::CurrentLength);
                if (payload != nullptr)
                    FUZZ_CHECK(TamroFuzz::FloatsAre(first, payload, 3));
                else
                    FUZZ_CHECK(SameBytes(first, first0, 3));
                break;
            }
            case 3: {
                std::uint16_t id = 0x1234;
                std::uint8_t model = 7, hardware = 7, firmware = 7;
                UUID uuid = uuid0;
                arm.ReceiveDeviceInfo(id, model, hardware, firmware, uuid);
                CheckInfo(id, model, hardware, firmware, uuid,
                          reference.Reply(Messages::DeviceInfo, Messages::DeviceInfoLength), 0x1234,
                          7, uuid0);
                break;
            }
            case 4: {
                DeviceInfo info;
                info.device_id = 0x1234;
                info.device_model_number = info.hardware_version = info.firmware_version = 7;
                info.uuid = uuid0;
                arm.ReceiveDeviceInfo(info);
                CheckInfo(info.device_id, info.device_model_number, info.hardware_version,
                          info.firmware_version, info.uuid,
                          reference.Reply(Messages::DeviceInfo, Messages::DeviceInfoLength), 0x1234,
                          7, uuid0);
                break;
            }
            case 5: {
                const DeviceInfo info = arm.device_wakeup();
                reference.Write(expectedWrites, {Messages::DeviceWakeup});
                CheckInfo(info.device_id, info.device_model_number, info.hardware_version,
                          info.firmware_version, info.uuid,
                          reference.Reply(Messages::DeviceInfo, Messages::DeviceInfoLength), 0, 0,
                          UUID{});
                break;
            }
            case 6:
            case 7:
            case 8:
            case 9: {
                static constexpr std::uint8_t Codes[] = {
                    Messages::ForceRequest, Messages::PositionRequest, Messages::JointTorqueRequest,
                    Messages::JointAngleRequest};
                static constexpr std::uint8_t Replies[] = {
                    Messages::EndEffectorState, Messages::EndEffectorState, Messages::JointState,
                    Messages::JointState};
                const std::size_t which = operations[k] % OperationKinds - 6;
                StateVectors state;
                switch (which) {
                    case 0: state = arm.end_effector_force(Request); break;
                    case 1: state = arm.end_effector_position(Request); break;
                    case 2: state = arm.joint_torques(Request); break;
                    default: state = arm.joint_angles(Request); break;
                }
                reference.Write(expectedWrites, {Codes[which]}, Request, sizeof Request);
                CheckPair(state.position.data(), state.velocity.data(), zeros, zeros,
                          reference.Reply(Replies[which], Messages::StateLength));
                break;
            }
            case 10:
                arm.SendForce(Request);
                reference.Write(expectedWrites, {Messages::ForceRequest}, Request, sizeof Request);
                break;
            case 11:
                arm.SendPosition(Request);
                reference.Write(expectedWrites, {Messages::PositionRequest}, Request,
                                sizeof Request);
                break;
            case 12:
                arm.SendJointTorques(Request);
                reference.Write(expectedWrites, {Messages::JointTorqueRequest}, Request,
                                sizeof Request);
                break;
            case 13:
                arm.SendAngle(Request);
                reference.Write(expectedWrites, {Messages::JointAngleRequest}, Request,
                                sizeof Request);
                break;
            default:
                arm.RequestCurrent();
                reference.Write(expectedWrites, {Messages::Current});
                break;
        }
        FUZZ_CHECK(buffer.Consumed() == reference.Position());
        FUZZ_CHECK(stream.good() == !reference.Failed());
    }
    FUZZ_CHECK(buffer.written == expectedWrites);
    return 0;
}
