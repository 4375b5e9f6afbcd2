#pragma once

#include <Tamro/HardwareAPI/Devices/Device.hpp>

#include <array>
#include <cstdint>

namespace Tamro::HardwareAPI::Devices {

struct HandleInfo {
    std::uint16_t device_id = 0;
    std::uint8_t tool_data_remaining = 0;
    std::uint8_t device_model_number = 0;
    std::uint8_t hardware_version = 0;
    std::uint8_t firmware_version = 0;
};

struct HandleStatusMessage {
    std::uint16_t device_id = 0;
    std::array<float, 4> quaternion{};
    std::uint8_t error_flag = 0;
    std::uint8_t hall_effect_sensor_level = 0;
    std::uint8_t user_data_length = 0;
    std::array<std::uint8_t, 255> user_data{};  // the first user_data_length are valid
};

struct HandleErrorResponse {
    std::uint16_t device_id = 0;
    std::uint8_t error_code = 0;
};

// The handheld device. Receive reads whichever message comes next and hands it to the hooks
// below; derive and override them to get the values. For each message the field-wise hook
// runs first, then the record hook. Pointers and records a hook receives are valid only
// until it returns.
class Handle : public Device {
public:
    using Device::Device;
    virtual ~Handle() = default;

    void SendDeviceWakeup();
    void RequestStatus();
    // Reads data_length bytes from user_data (none when data_length is 0).
    void SendHandleState(std::uint16_t device_id, std::uint8_t data_length,
                         const std::uint8_t* user_data);

    // Reads one message and calls its hooks. Returns the payload bytes read (21 + n, 6 or 3
    // when complete; each failed read counts 0), or -1 for an unknown or missing header code,
    // after which nothing more is read. An exception thrown by a hook leaves Receive.
    std::int32_t Receive();

    virtual void OnReceiveHandleInfoRecord(const HandleInfo&) {}
    virtual void OnReceiveHandleInfo(std::uint8_t /*tool_data_remaining*/,
                                     std::uint16_t /*device_id*/,
                                     std::uint8_t /*device_model_number*/,
                                     std::uint8_t /*hardware_version*/,
                                     std::uint8_t /*firmware_version*/) {}
    virtual void OnReceiveHandleStatusRecord(const HandleStatusMessage&) {}
    virtual void OnReceiveHandleStatusMessage(std::uint16_t /*device_id*/,
                                              const float* /*quaternion*/,
                                              std::uint8_t /*error_flag*/,
                                              std::uint8_t /*hall_effect_sensor_level*/,
                                              std::uint8_t /*user_data_length*/,
                                              const std::uint8_t* /*user_data*/) {}
    virtual void OnReceiveHandleErrorRecord(const HandleErrorResponse&) {}
    virtual void OnReceiveHandleErrorResponse(std::uint16_t /*device_id*/,
                                              std::uint8_t /*error_code*/) {}
};

}  // namespace Tamro::HardwareAPI::Devices
