// Velkin3: the arm.
#include "Common.hpp"

#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>
#include <Tamro/HardwareAPI/UUID.hpp>

#include <cstdio>
#include <memory>

namespace TamroBindings {

namespace {

using Tamro::HardwareAPI::UUID;
using Tamro::HardwareAPI::Devices::DeviceInfo;
using Tamro::HardwareAPI::Devices::StateVectors;
using Tamro::HardwareAPI::Devices::Velkin3;
using Tamro::HardwareAPI::IO::SerialStream;
using Vector = std::vector<float>;

using Exchange = StateVectors (Velkin3::*)(const float*);
using Send = void (Velkin3::*)(const float*);
using ReceivePair = void (Velkin3::*)(float*, float*);

const Vector Zeros{0.0f, 0.0f, 0.0f};

py::tuple AsTuple(const StateVectors& state) {
    return py::make_tuple(state.position, state.velocity);
}

py::object UuidObject(const UUID& uuid) {
    char hex[33];
    for (std::size_t i = 0; i < uuid.data.size(); ++i) {
        std::snprintf(hex + 2 * i, 3, "%02x", uuid.data[i]);
    }
    return py::module_::import("uuid").attr("UUID")(py::arg("hex") = py::str(hex, 32));
}

// One-call exchange: send the request, read its reply, (position, velocity) as two lists.
template <Exchange exchange>
auto ExchangeMethod(const char* name) {
    return [name](Self<Velkin3> self, const Vector& request) {
        Velkin3& arm = self.get();
        RequireThree(request, name);
        const StateVectors state = WithoutGil([&] { return (arm.*exchange)(request.data()); });
        return AsTuple(state);
    };
}

// Send-only request; deprecated ones warn first.
template <Send send>
auto SendMethod(const char* name, const char* deprecation) {
    return [name, deprecation](Self<Velkin3> self, const Vector& values) {
        Velkin3& arm = self.get();
        RequireThree(values, name);
        std::optional<Deprecation> warning;
        if (deprecation != nullptr) warning.emplace(deprecation);
        WithoutGil([&] { (arm.*send)(values.data()); });
        if (warning) warning->Rethrow();
    };
}

// Receive-only pair of vectors: the caller's values come back unless a complete reply came.
template <ReceivePair receive>
auto ReceivePairMethod(const char* name, const char* deprecation) {
    return [name, deprecation](Self<Velkin3> self, Vector first, Vector second) {
        Velkin3& arm = self.get();
        RequireThree(first, name);
        RequireThree(second, name);
        Deprecation warning(deprecation);
        WithoutGil([&] { (arm.*receive)(first.data(), second.data()); });
        warning.Rethrow();
        return py::make_tuple(first, second);
    };
}

}  // namespace

void RegisterVelkin3(py::module_& m) {
    py::class_<Velkin3>(m, "Velkin3")
        // Self<SerialStream>: a stream object whose constructor never ran raises RuntimeError
        // here instead of giving the arm a null stream.
        .def(py::init([](Self<SerialStream> stream) {
                 return std::make_unique<Velkin3>(&stream.get());
             }),
             py::keep_alive<1, 2>())
        .def(
            "device_wakeup",
            [](Self<Velkin3> self) {
                Velkin3& arm = self.get();
                const DeviceInfo info = WithoutGil([&] { return arm.device_wakeup(); });
                return py::make_tuple(info.device_id, info.device_model_number,
                                      info.hardware_version, info.firmware_version, info.uuid.data);
            },
            "Wakeup the device and return the device info as a tuple.")
        .def(
            "device_wakeup_dict",
            [](Self<Velkin3> self) {
                Velkin3& arm = self.get();
                const DeviceInfo info = WithoutGil([&] { return arm.device_wakeup(); });
                py::dict result;
                result["device_id"] = info.device_id;
                result["device_model_number"] = info.device_model_number;
                result["hardware_version"] = info.hardware_version;
                result["firmware_version"] = info.firmware_version;
                result["device_id_ext"] = UuidObject(info.uuid);
                return result;
            },
            "Wakeup the device and return the device info as a dict.")
        .def("end_effector_force",
             ExchangeMethod<&Velkin3::end_effector_force>("end_effector_force"),
             py::arg("force request vector") = Zeros,
             "Send forces to the device and receive device states")
        .def("joint_torques", ExchangeMethod<&Velkin3::joint_torques>("joint_torques"),
             py::arg("joint torque request vector") = Zeros,
             "Send joint torques to the device and receive the joint states")
        .def("end_effector_position",
             ExchangeMethod<&Velkin3::end_effector_position>("end_effector_position"),
             py::arg("position request vector") = Zeros,
             "Send end-effector position and receive device states")
        .def("joint_angles", ExchangeMethod<&Velkin3::joint_angles>("joint_angles"),
             py::arg("joint angle request vector") = Zeros,
             "Send joint angles to the device and receive the joint states")
        .def(
            "SendDeviceWakeup",
            [](Self<Velkin3> self) {
                Velkin3& arm = self.get();
                Deprecation warning("SendDeviceWakeup is deprecated, use device_wakeup instead");
                WithoutGil([&] { arm.SendDeviceWakeup(); });
                warning.Rethrow();
            },
            "[DEPRECATED] Send a device wakeup command")
        .def(
            "ReceiveDeviceInfo",
            [](Self<Velkin3> self, std::uint16_t device_id, std::uint8_t device_model_num,
               std::uint8_t hardware_version, std::uint8_t firmware_version, const UUID* uuid) {
                Velkin3& arm = self.get();
                if (uuid == nullptr) throw std::runtime_error("");
                UUID received = *uuid;
                WithoutGil([&] {
                    arm.ReceiveDeviceInfo(device_id, device_model_num, hardware_version,
                                          firmware_version, received);
                });
                return py::make_tuple(device_id, device_model_num, hardware_version,
                                      firmware_version, received);
            },
            py::arg("device_id") = 0, py::arg("device_model_num") = 0,
            py::arg("hardware_version") = 0, py::arg("firmware_version") = 0,
            py::arg("UUID") = UUID(), "Receive device info and return a tuple")
        .def("SendForce",
             SendMethod<&Velkin3::SendForce>(
                 "SendForce", "SendForce is deprecated, use end_effector_force instead"),
             py::arg("force") = Zeros, "[Deprecated] Send force to the device")
        .def(
            "SendForce",
            [](Self<Velkin3> self, float x, float y, float z) {
                Velkin3& arm = self.get();
                const float force[3] = {x, y, z};
                Deprecation warning("SendForce is deprecated, use end_effector_force instead");
                WithoutGil([&] { arm.SendForce(force); });
                warning.Rethrow();
            },
            py::arg("ForceX") = 0, py::arg("ForceY") = 0, py::arg("ForceZ") = 0,
            "[Deprecated] Send force to the device")
        .def("ReceiveState",
             ReceivePairMethod<&Velkin3::ReceiveState>(
                 "ReceiveState", "ReceiveState is deprecated, use end_effector instead"),
             py::arg("position") = Zeros, py::arg("velocity") = Zeros,
             "[Deprecated] receive state and return position and velocity")
        .def("ReceiveJointState",
             ReceivePairMethod<&Velkin3::ReceiveJointState>(
                 "ReceiveJointState", "ReceiveJointState is deprecated, use joint_torques instead"),
             py::arg("joint_position") = Zeros, py::arg("joint_velocity") = Zeros,
             "[Deprecated] receive joint state and return position and velocity in the joint "
             "reference frame")
        .def("SendJointTorques",
             SendMethod<&Velkin3::SendJointTorques>(
                 "SendJointTorques", "SendJointTorques is deprecated, use joint_torques instead"),
             py::arg("joint_torque") = Zeros, "[Deprecated] send joint torque")
        .def("SendAngle", SendMethod<&Velkin3::SendAngle>("SendAngle", nullptr),
             py::arg("angle") = Zeros, "Send angles to the device")
        .def(
            "RequestCurrent",
            [](Self<Velkin3> self) {
                Velkin3& arm = self.get();
                WithoutGil([&] { arm.RequestCurrent(); });
            },
            "request current")
        .def(
            "ReceiveCurrent",
            [](Self<Velkin3> self, Vector current) {
                Velkin3& arm = self.get();
                RequireThree(current, "ReceiveCurrent");
                WithoutGil([&] { arm.ReceiveCurrent(current.data()); });
                return current;
            },
            py::arg("current") = Zeros, "receive current and return current")
        .def("SendPosition",
             SendMethod<&Velkin3::SendPosition>(
                 "SendPosition", "SendPosition is deprecated, use end_effector_position instead"),
             py::arg("position") = Zeros, "[Deprecated] Send Position to the device");
}

}  // namespace TamroBindings
