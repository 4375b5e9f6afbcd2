// Handle::Receive over arbitrary device bytes, repeated until the input is used up. The hooks
// read every byte they are handed, so a pointer into too small a buffer shows as an
// AddressSanitizer report; each complete message is checked against an independent decode
// of the input, and every message, complete or cut short, against the dispatch rules.
#include "FuzzStream.hpp"

#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/Devices/Messages.hpp>

namespace {

using namespace Tamro::HardwareAPI::Devices;
using Messages::Uint16At;

// What the hooks of one Receive saw.
struct Seen {
    int info = 0, infoRecord = 0, status = 0, statusRecord = 0, error = 0, errorRecord = 0;
    HandleInfo infoValues;
    HandleStatusMessage statusValues;
    HandleErrorResponse errorValues;
    unsigned checksum = 0;  // keeps the reads of the hook arguments from being optimised out
};

class ReadingHandle : public Handle {
public:
    using Handle::Handle;
    Seen seen;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t device_model_number, std::uint8_t hardware_version,
                             std::uint8_t firmware_version) override {
        ++seen.info;
        seen.infoValues = {device_id, tool_data_remaining, device_model_number, hardware_version,
                           firmware_version};
    }
    void OnReceiveHandleInfoRecord(const HandleInfo& info) override {
        FUZZ_CHECK(seen.info == 1 && seen.infoRecord == 0);  // field-wise hook first
        ++seen.infoRecord;
        FUZZ_CHECK(info.device_id == seen.infoValues.device_id &&
                   info.tool_data_remaining == seen.infoValues.tool_data_remaining &&
                   info.device_model_number == seen.infoValues.device_model_number &&
                   info.hardware_version == seen.infoValues.hardware_version &&
                   info.firmware_version == seen.infoValues.firmware_version);
    }

    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag,
                                      std::uint8_t hall_effect_sensor_level,
                                      std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        ++seen.status;
        HandleStatusMessage& s = seen.statusValues;
        s.device_id = device_id;
        std::memcpy(s.quaternion.data(), quaternion, sizeof s.quaternion);
        s.error_flag = error_flag;
        s.hall_effect_sensor_level = hall_effect_sensor_level;
        s.user_data_length = user_data_length;
        for (std::size_t i = 0; i < user_data_length; ++i) {
            s.user_data[i] = user_data[i];
            seen.checksum += user_data[i];
        }
    }
    void OnReceiveHandleStatusRecord(const HandleStatusMessage& status) override {
        FUZZ_CHECK(seen.status == 1 && seen.statusRecord == 0);
        ++seen.statusRecord;
        const HandleStatusMessage& s = seen.statusValues;
        FUZZ_CHECK(status.device_id == s.device_id && status.error_flag == s.error_flag &&
                   status.hall_effect_sensor_level == s.hall_effect_sensor_level &&
                   status.user_data_length == s.user_data_length);
        FUZZ_CHECK(TamroFuzz::SameBytes(status.quaternion.data(), s.quaternion.data(), 4));
        FUZZ_CHECK(
            TamroFuzz::SameBytes(status.user_data.data(), s.user_data.data(), s.user_data_length));
        // The record starts zeroed: nothing past the announced length.
        for (std::size_t i = status.user_data_length; i < status.user_data.size(); ++i) {
            FUZZ_CHECK(status.user_data[i] == 0);
        }
    }

    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
        ++seen.error;
        seen.errorValues = {device_id, error_code};
    }
    void OnReceiveHandleErrorRecord(const HandleErrorResponse& error) override {
        FUZZ_CHECK(seen.error == 1 && seen.errorRecord == 0);
        ++seen.errorRecord;
        FUZZ_CHECK(error.device_id == seen.errorValues.device_id &&
                   error.error_code == seen.errorValues.error_code);
    }
};

// One Receive, checked against the input bytes it should have taken.
void CheckOne(ReadingHandle& handle, std::iostream& stream, TamroFuzz::InputBuffer& buffer,
              const std::uint8_t* data, std::size_t size) {
    const std::size_t start = buffer.Consumed();
    const bool wasGood = stream.good();
    handle.seen = Seen{};
    const std::int32_t result = handle.Receive();
    const Seen& seen = handle.seen;
    const std::size_t taken = buffer.Consumed() - start;

    if (!wasGood) {
        // A failed stream stays failed: nothing read, nothing dispatched.
        FUZZ_CHECK(result == -1 && taken == 0);
        FUZZ_CHECK(seen.info + seen.status + seen.error == 0);
        return;
    }
    const std::uint8_t code = start < size ? data[start] : 0;
    const bool known =
        start < size && (code == Messages::HandleStatus || code == Messages::HandleInfo ||
                         code == Messages::HandleError);
    if (!known) {
        FUZZ_CHECK(result == -1 && taken <= 1);
        FUZZ_CHECK(seen.info + seen.status + seen.error == 0);
        return;
    }
    // A recognised code: its two hooks ran once each, short read or not.
    FUZZ_CHECK(seen.info == (code == Messages::HandleInfo ? 1 : 0) && seen.infoRecord == seen.info);
    FUZZ_CHECK(seen.status == (code == Messages::HandleStatus ? 1 : 0) &&
               seen.statusRecord == seen.status);
    FUZZ_CHECK(seen.error == (code == Messages::HandleError ? 1 : 0) &&
               seen.errorRecord == seen.error);
    FUZZ_CHECK(result >= 0 &&
               result <= static_cast<std::int32_t>(Messages::HandleStatusFixedLength) + 255);

    if (!stream.good()) return;  // cut short: only the count tells, and it is partial
    const std::uint8_t* p = data + start + Messages::HeaderLength;
    FUZZ_CHECK(taken == Messages::HeaderLength + static_cast<std::size_t>(result));
    switch (code) {
        case Messages::HandleInfo: {
            namespace At = Messages::HandleInfoAt;
            FUZZ_CHECK(result == static_cast<std::int32_t>(Messages::HandleInfoLength));
            FUZZ_CHECK(seen.infoValues.device_id == Uint16At(p + At::DeviceId) &&
                       seen.infoValues.tool_data_remaining == p[At::ToolDataRemaining] &&
                       seen.infoValues.device_model_number == p[At::ModelNumber] &&
                       seen.infoValues.hardware_version == p[At::HardwareVersion] &&
                       seen.infoValues.firmware_version == p[At::FirmwareVersion]);
            break;
        }
        case Messages::HandleError: {
            namespace At = Messages::HandleErrorAt;
            FUZZ_CHECK(result == static_cast<std::int32_t>(Messages::HandleErrorLength));
            FUZZ_CHECK(seen.errorValues.device_id == Uint16At(p + At::DeviceId) &&
                       seen.errorValues.error_code == p[At::ErrorCode]);
            break;
        }
        default: {
            namespace At = Messages::HandleStatusAt;
            const HandleStatusMessage& s = seen.statusValues;
            const std::uint8_t n = p[At::UserDataLength];
            FUZZ_CHECK(result == static_cast<std::int32_t>(Messages::HandleStatusFixedLength) + n);
            FUZZ_CHECK(s.device_id == Uint16At(p + At::DeviceId) &&
                       s.error_flag == p[At::ErrorFlag] &&
                       s.hall_effect_sensor_level == p[At::HallEffectSensorLevel] &&
                       s.user_data_length == n);
            FUZZ_CHECK(TamroFuzz::FloatsAre(s.quaternion.data(), p + At::Quaternion, 4));
            FUZZ_CHECK(std::memcmp(s.user_data.data(), p + Messages::HandleStatusFixedLength, n) ==
                       0);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    TamroFuzz::InputBuffer buffer(data, size);
    std::iostream stream(&buffer);
    ReadingHandle handle(&stream);
    // Every Receive on a good stream takes at least its header byte, so this ends.
    for (std::size_t i = 0; i <= size + 1; ++i) {
        const bool wasGood = stream.good();
        CheckOne(handle, stream, buffer, data, size);
        if (!wasGood) break;
    }
    FUZZ_CHECK(!stream.good());          // the loop ran the input dry
    FUZZ_CHECK(buffer.written.empty());  // receiving never writes
    return 0;
}
