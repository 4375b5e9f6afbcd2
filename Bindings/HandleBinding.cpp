// Handle: the handheld device, and the forwarding subclass through which Python subclasses
// receive its messages.
#include "Common.hpp"

#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <array>
#include <memory>

namespace TamroBindings {

namespace {

using Tamro::HardwareAPI::Devices::Handle;
using Tamro::HardwareAPI::IO::SerialStream;

// Forwards the three field-wise hooks to Python overrides of the same name, with the
// interpreter lock taken for the call (Receive runs without it). An exception raised by an
// override leaves Receive unchanged.
class TrampolineHandle : public Handle {
public:
    using Handle::Handle;

    void OnReceiveHandleInfo(std::uint8_t tool_data_remaining, std::uint16_t device_id,
                             std::uint8_t device_model_number, std::uint8_t hardware_version,
                             std::uint8_t firmware_version) override {
        PYBIND11_OVERRIDE(void, Handle, OnReceiveHandleInfo, tool_data_remaining, device_id,
                          device_model_number, hardware_version, firmware_version);
    }

    void OnReceiveHandleStatusMessage(std::uint16_t device_id, const float* quaternion,
                                      std::uint8_t error_flag,
                                      std::uint8_t hall_effect_sensor_level,
                                      std::uint8_t user_data_length,
                                      const std::uint8_t* user_data) override {
        // Copied before the lock is taken: the pointers are only valid during this call.
        std::vector<float> quaternionList(quaternion, quaternion + 4);
        std::vector<std::uint8_t> userDataList(user_data, user_data + user_data_length);
        py::gil_scoped_acquire gil;
        py::function override =
            py::get_override(static_cast<const Handle*>(this), "OnReceiveHandleStatusMessage");
        if (override) {
            override(device_id, quaternionList, error_flag, hall_effect_sensor_level,
                     user_data_length, userDataList);
            return;
        }
        // Raised with the lock held: pybind11 looks at the Python error state on the way out.
        py::pybind11_fail(
            "Tried to call pure virtual function "
            "\"API::Devices::Handle::OnReceiveHandleStatusMessage\"");
    }

    void OnReceiveHandleErrorResponse(std::uint16_t device_id, std::uint8_t error_code) override {
        PYBIND11_OVERRIDE(void, Handle, OnReceiveHandleErrorResponse, device_id, error_code);
    }
};

std::int32_t ReceiveOne(Handle& handle) {
    return WithoutGil([&] { return handle.Receive(); });
}

}  // namespace

void RegisterHandle(py::module_& m) {
    py::class_<Handle, TrampolineHandle>(m, "Handle")
        // Self<SerialStream>: a stream object whose constructor never ran raises RuntimeError
        // here instead of giving the handle a null stream.
        .def(py::init(
                 [](Self<SerialStream> stream) { return std::make_unique<Handle>(&stream.get()); },
                 [](Self<SerialStream> stream) {
                     return std::make_unique<TrampolineHandle>(&stream.get());
                 }),
             py::keep_alive<1, 2>())
        .def("SendDeviceWakeup",
             [](Self<Handle> self) {
                 Handle& handle = self.get();
                 WithoutGil([&] { handle.SendDeviceWakeup(); });
             })
        .def(
            "SendHandleState",
            [](Self<Handle> self, std::uint16_t device_id, std::uint8_t data_length,
               std::uint8_t user_data) {
                Handle& handle = self.get();
                // Python hands over a single byte; a longer length would send memory the
                // caller never gave.
                if (data_length > 1) {
                    throw py::value_error(
                        "SendHandleState: at most one byte of user data can be sent from "
                        "Python, data_length must be 0 or 1");
                }
                WithoutGil([&] { handle.SendHandleState(device_id, data_length, &user_data); });
            },
            py::arg("device_id") = 0, py::arg("data_length") = 0, py::arg("user_data") = py::none(),
            "send handle state")
        .def(
            "RequestStatus",
            [](Self<Handle> self) {
                Handle& handle = self.get();
                WithoutGil([&] { handle.RequestStatus(); });
            },
            "request handle status")
        .def(
            "OnReceiveHandleInfo",
            [](Self<Handle> self, std::uint8_t tool_data_remaining, std::uint16_t device_id,
               std::uint8_t device_model_number, std::uint8_t hardware_version,
               std::uint8_t firmware_version) {
                self.get().OnReceiveHandleInfo(tool_data_remaining, device_id, device_model_number,
                                               hardware_version, firmware_version);
            },
            py::arg("tool_data_remaining"), py::arg("device_id"), py::arg("device_model_number"),
            py::arg("hardware_version"), py::arg("firmware_version"), "OnReceiveHandleInfo")
        .def(
            "OnReceiveHandleStatusMessage",
            [](Self<Handle> self, std::uint16_t device_id, float quaternion,
               std::uint8_t error_flag, std::uint8_t hall_effect_sensor_level,
               std::uint8_t user_data_length, std::uint8_t user_data) {
                // The override sees full-size lists: the given values first, zeros after.
                const std::array<float, 4> quaternionArray{quaternion, 0.0f, 0.0f, 0.0f};
                std::array<std::uint8_t, 255> userDataArray{};
                userDataArray[0] = user_data;
                self.get().OnReceiveHandleStatusMessage(device_id, quaternionArray.data(),
                                                        error_flag, hall_effect_sensor_level,
                                                        user_data_length, userDataArray.data());
            },
            py::arg("device_id"), py::arg("quaternion"), py::arg("error_flag"),
            py::arg("hall_effect_sensor_level"), py::arg("user_data_length"), py::arg("user_data"),
            "OnReceiveHandleStatusMessage")
        .def(
            "OnReceiveHandleErrorResponse",
            [](Self<Handle> self, std::uint16_t device_id, std::uint8_t error_code) {
                self.get().OnReceiveHandleErrorResponse(device_id, error_code);
            },
            py::arg("device_id"), py::arg("error_code"), "OnReceiveHandleErrorResponse")
        .def(
            "Receive", [](Self<Handle> self) { return ReceiveOne(self.get()); },
            "Receive data from the handle")
        .def(
            "Receive",
            [](Self<Handle> self, std::uint8_t /*obsolete*/) {
                Handle& handle = self.get();
                Deprecation warning("Receive with one argument is deprecated");
                const std::int32_t result = ReceiveOne(handle);
                warning.Rethrow();
                return result;
            },
            py::arg("obsolete"), "[DEPRECATED] Receive current and return current");
}

}  // namespace TamroBindings
