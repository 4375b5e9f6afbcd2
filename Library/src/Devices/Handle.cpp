#include <Tamro/HardwareAPI/Devices/Handle.hpp>

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include <cstring>

namespace Tamro::HardwareAPI::Devices {

void Handle::SendDeviceWakeup() { SendCode(Messages::DeviceWakeup); }

void Handle::RequestStatus() { SendCode(Messages::HandleStatus); }

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             const std::uint8_t* user_data) {
    namespace At = Messages::HandleStateAt;
    std::uint8_t* out = OutputBuffer();
    out[0] = Messages::HandleState;
    std::uint8_t* payload = out + Messages::HeaderLength;
    Messages::PutUint16(payload + At::DeviceId, device_id);
    payload[At::UserDataLength] = data_length;
    if (data_length > 0) std::memcpy(payload + At::UserData, user_data, data_length);
    WriteBytes(Messages::HeaderLength + At::UserData + data_length);
}

// Read counts are deliberately not checked: the hooks of a recognised code always run, with
// whatever the input buffer holds, and only the returned count tells of a short read.
std::int32_t Handle::Receive() {
    const std::uint8_t* in = InputBuffer();
    switch (ReadHeaderCode()) {
        case Messages::HandleStatus: {
            namespace At = Messages::HandleStatusAt;
            HandleStatusMessage status;
            const std::int32_t fixed = ReadBytes(Messages::HandleStatusFixedLength);
            status.device_id = Messages::Uint16At(in + At::DeviceId);
            status.error_flag = in[At::ErrorFlag];
            status.hall_effect_sensor_level = in[At::HallEffectSensorLevel];
            std::memcpy(status.quaternion.data(), in + At::Quaternion, sizeof status.quaternion);
            status.user_data_length = in[At::UserDataLength];
            const std::int32_t variable = ReadBytes(status.user_data_length);
            std::memcpy(status.user_data.data(), in, status.user_data_length);
            OnReceiveHandleStatusMessage(status.device_id, status.quaternion.data(),
                                         status.error_flag, status.hall_effect_sensor_level,
                                         status.user_data_length, status.user_data.data());
            OnReceiveHandleStatusRecord(status);
            return fixed + variable;
        }
        case Messages::HandleError: {
            const std::int32_t read = ReadBytes(Messages::HandleErrorLength);
            namespace At = Messages::HandleErrorAt;
            const HandleErrorResponse error{Messages::Uint16At(in + At::DeviceId),
                                            in[At::ErrorCode]};
            OnReceiveHandleErrorResponse(error.device_id, error.error_code);
            OnReceiveHandleErrorRecord(error);
            return read;
        }
        case Messages::HandleInfo: {
            const std::int32_t read = ReadBytes(Messages::HandleInfoLength);
            namespace At = Messages::HandleInfoAt;
            const HandleInfo info{Messages::Uint16At(in + At::DeviceId), in[At::ToolDataRemaining],
                                  in[At::ModelNumber], in[At::HardwareVersion],
                                  in[At::FirmwareVersion]};
            OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version);
            OnReceiveHandleInfoRecord(info);
            return read;
        }
        default: return -1;  // unknown or missing: what follows stays in the stream
    }
}

}  // namespace Tamro::HardwareAPI::Devices
