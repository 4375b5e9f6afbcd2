// The discovery probes' judgement of a port's first reply, and the device-info decode behind
// the arm probe, over arbitrary device bytes. The probes themselves open a path; here the same
// steps run on an in-memory stream: wake-up, then ReceiveDeviceInfo (arm) or one Receive with
// a handle that notes an information or status message (handle). The verdicts are checked
// against the rules the probes follow: an arm is a complete device-info reply with model
// number 4; a handle is a first header code of 218 or 208, however little follows it.
#include "FuzzStream.hpp"

#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>

namespace {

using namespace Tamro::HardwareAPI::Devices;

// The handle probe's own subclass: only an information or a status message counts; the
// hooks also read every byte handed to them.
class ProbeHandle : public Handle {
public:
    using Handle::Handle;
    bool answered = false;
    unsigned checksum = 0;

    void OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t,
                             std::uint8_t) override {
        answered = true;
    }
    void OnReceiveHandleStatusMessage(std::uint16_t, const float* quaternion, std::uint8_t,
                                      std::uint8_t, std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        for (int i = 0; i < 4; ++i) checksum += static_cast<unsigned>(quaternion[i] == 0.0f);
        for (std::size_t i = 0; i < user_data_length; ++i) checksum += user_data[i];
        answered = true;
    }
};

bool JudgeArm(const std::uint8_t* data, std::size_t size, DeviceInfo& info) {
    TamroFuzz::InputBuffer buffer(data, size);
    std::iostream stream(&buffer);
    Velkin3 arm(&stream);
    arm.SendDeviceWakeup();
    arm.ReceiveDeviceInfo(info);
    FUZZ_CHECK(buffer.written == std::vector<std::uint8_t>{Messages::DeviceWakeup});
    return info.device_model_number == Messages::Velkin3ModelNumber;
}

bool JudgeHandle(const std::uint8_t* data, std::size_t size) {
    TamroFuzz::InputBuffer buffer(data, size);
    std::iostream stream(&buffer);
    ProbeHandle handle(&stream);
    handle.SendDeviceWakeup();
    handle.Receive();
    FUZZ_CHECK(buffer.written == std::vector<std::uint8_t>{Messages::DeviceWakeup});
    return handle.answered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DeviceInfo info;
    const bool arm = JudgeArm(data, size, info);

    const bool complete = size >= 1 + Messages::DeviceInfoLength && data[0] == Messages::DeviceInfo;
    FUZZ_CHECK(arm == (complete && data[3] == Messages::Velkin3ModelNumber));
    if (complete) {
        const std::uint8_t* p = data + 1;
        FUZZ_CHECK(info.device_id == TamroFuzz::Uint16At(p) && info.device_model_number == p[2] &&
                   info.hardware_version == p[3] && info.firmware_version == p[4]);
        FUZZ_CHECK(std::memcmp(info.uuid.data.data(), p + 5, 16) == 0);
    } else {
        const DeviceInfo defaults;
        FUZZ_CHECK(info.device_id == 0 && info.device_model_number == 0 &&
                   info.hardware_version == 0 && info.firmware_version == 0 &&
                   info.uuid.data == defaults.uuid.data);
    }

    const bool handle = JudgeHandle(data, size);
    FUZZ_CHECK(handle == (size > 0 &&
                          (data[0] == Messages::HandleStatus || data[0] == Messages::HandleInfo)));
    return 0;
}
