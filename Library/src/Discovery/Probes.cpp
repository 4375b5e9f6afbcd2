#include <Tamro/HardwareAPI/Probes.hpp>

#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/Devices/Messages.hpp>

namespace Tamro::HardwareAPI {

namespace {

// Notes only that the handle answered with something a handle sends.
class AnsweringHandle : public Devices::Handle {
public:
    using Handle::Handle;
    bool answered = false;

    void OnReceiveHandleInfo(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t,
                             std::uint8_t) override {
        answered = true;
    }
    void OnReceiveHandleStatusMessage(std::uint16_t, const float*, std::uint8_t, std::uint8_t,
                                      std::uint8_t, const std::uint8_t*) override {
        answered = true;
    }
};

}  // namespace

ArmVerdict JudgeVelkin3(std::iostream& port) {
    ArmVerdict verdict;
    Devices::Velkin3 arm(&port);
    arm.SendDeviceWakeup();
    arm.ReceiveDeviceInfo(verdict.info);
    verdict.isVelkin3 = IsVelkin3(verdict.info);
    return verdict;
}

bool IsVelkin3(const Devices::DeviceInfo& info) noexcept {
    return info.device_model_number == Devices::Messages::Velkin3ModelNumber;
}

bool JudgeHandle(std::iostream& port) {
    AnsweringHandle handle(&port);
    handle.SendDeviceWakeup();
    handle.Receive();
    return handle.answered;
}

}  // namespace Tamro::HardwareAPI
