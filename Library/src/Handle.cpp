#include <Tamro/HardwareAPI/Devices/Handle.hpp>

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include <cstring>

namespace Tamro::HardwareAPI::Devices {

namespace {

std::uint16_t Uint16At(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

}  // namespace

void Handle::SendDeviceWakeup() { SendCode(Messages::DeviceWakeup); }

void Handle::RequestStatus() { SendCode(Messages::HandleStatus); }

void Handle::SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                             const std::uint8_t* user_data) {
    std::uint8_t* out = OutputBuffer();
    out[0] = Messages::HandleState;
    out[1] = static_cast<std::uint8_t>(device_id & 0xFF);
    out[2] = static_cast<std::uint8_t>(device_id >> 8);
    out[3] = data_length;
    if (data_length > 0) std::memcpy(out + 4, user_data, data_length);
    WriteBytes(static_cast<std::size_t>(data_length) + 4);
}

// Read counts are deliberately not checked: the hooks of a recognised code always run, with
// whatever the input buffer holds, and only the returned count tells of a short read.
std::int32_t Handle::Receive() {
    const std::uint8_t* in = InputBuffer();
    switch (ReadHeaderCode()) {
        case Messages::HandleStatus: {
            HandleStatusMessage status;
            const std::int32_t fixed = ReadBytes(Messages::HandleStatusFixedLength);
            status.device_id = Uint16At(in);
            status.error_flag = in[2];
            status.hall_effect_sensor_level = in[3];
            std::memcpy(status.quaternion.data(), in + 4, sizeof status.quaternion);
            status.user_data_length = in[20];
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
            const HandleErrorResponse error{Uint16At(in), in[2]};
            OnReceiveHandleErrorResponse(error.device_id, error.error_code);
            OnReceiveHandleErrorRecord(error);
            return read;
        }
        case Messages::HandleInfo: {
            const std::int32_t read = ReadBytes(Messages::HandleInfoLength);
            const HandleInfo info{Uint16At(in), in[2], in[3], in[4], in[5]};
            OnReceiveHandleInfo(info.tool_data_remaining, info.device_id, info.device_model_number,
                                info.hardware_version, info.firmware_version);
            OnReceiveHandleInfoRecord(info);
            return read;
        }
        default: return -1;  // unknown or missing: what follows stays in the stream
    }
}

}  // namespace Tamro::HardwareAPI::Devices
