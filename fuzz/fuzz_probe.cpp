// The discovery probes' judgement of a port's first reply, over arbitrary device bytes: the
// library's own JudgeVelkin3 and JudgeHandle, which the probes call once they have opened a
// port, run here on an in-memory stream. Their verdicts are checked against the rules the
// probes follow: an arm is a complete device-info reply with model number 4, and its decoded
// info is handed back; a handle is a first header code of 218 or 208, however little follows.
#include "FuzzStream.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/Probes.hpp>

namespace {

using namespace Tamro::HardwareAPI;
using namespace Tamro::HardwareAPI::Devices;

const std::vector<std::uint8_t> WakeUp = {Messages::DeviceWakeup};

void CheckArm(const std::uint8_t* data, std::size_t size) {
    TamroFuzz::InputBuffer buffer(data, size);
    std::iostream stream(&buffer);
    const ArmVerdict verdict = JudgeVelkin3(stream);
    FUZZ_CHECK(buffer.written == WakeUp);

    const DeviceInfo& info = verdict.info;
    const bool complete = size >= Messages::HeaderLength + Messages::DeviceInfoLength &&
                          data[0] == Messages::DeviceInfo;
    const std::uint8_t* p = data + Messages::HeaderLength;
    FUZZ_CHECK(verdict.isVelkin3 == (complete && p[Messages::DeviceInfoAt::ModelNumber] ==
                                                     Messages::Velkin3ModelNumber));
    if (complete) {
        namespace At = Messages::DeviceInfoAt;
        FUZZ_CHECK(info.device_id == Messages::Uint16At(p + At::DeviceId) &&
                   info.device_model_number == p[At::ModelNumber] &&
                   info.hardware_version == p[At::HardwareVersion] &&
                   info.firmware_version == p[At::FirmwareVersion]);
        FUZZ_CHECK(std::memcmp(info.uuid.data.data(), p + At::Uuid, info.uuid.data.size()) == 0);
    } else {
        const DeviceInfo defaults;
        FUZZ_CHECK(info.device_id == 0 && info.device_model_number == 0 &&
                   info.hardware_version == 0 && info.firmware_version == 0 &&
                   info.uuid.data == defaults.uuid.data);
    }
}

void CheckHandle(const std::uint8_t* data, std::size_t size) {
    TamroFuzz::InputBuffer buffer(data, size);
    std::iostream stream(&buffer);
    const bool handle = JudgeHandle(stream);
    FUZZ_CHECK(buffer.written == WakeUp);
    FUZZ_CHECK(handle == (size > 0 &&
                          (data[0] == Messages::HandleStatus || data[0] == Messages::HandleInfo)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    CheckArm(data, size);
    CheckHandle(data, size);
    return 0;
}
