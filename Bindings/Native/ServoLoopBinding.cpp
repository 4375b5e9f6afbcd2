// tamro._native.ServoLoop: converts and delegates to Control::ServoLoop. Calls that wait on
// the loop or the port release the interpreter lock; the loop itself never touches Python.
#include "NativeCommon.hpp"

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <optional>

namespace TamroNative {

namespace Control = Tamro::HardwareAPI::Control;

namespace {

static_assert(sizeof(Control::CycleState) == 88, "records are numpy rows of 11 eight-byte fields");

std::unique_ptr<Control::ServoLoop> Open(const std::string& port, std::optional<double> rateHz,
                                         double maxForce, bool realtime, double faultTimeout,
                                         int maxFaults, bool compensateDelay, int inFlight,
                                         bool guard) {
    const LoopTiming timing = ConvertTiming(rateHz, faultTimeout);
    Control::ServoOptions options;
    options.rateHz = timing.rateHz;
    options.faultTimeout = timing.faultTimeout;
    options.maxForce = maxForce;
    options.realtime = realtime;
    options.maxFaults = maxFaults;
    options.compensateDelay = compensateDelay;
    options.inFlight = inFlight;
    options.guard = guard;
    return OpenLoop<Control::ServoLoop>(port, options);
}

py::tuple Vector(const Control::Vec3& v) { return py::make_tuple(v[0], v[1], v[2]); }

}  // namespace

void RegisterServoLoop(py::module_& m) {
    using Loop = Control::ServoLoop;
    m.attr("MAX_EFFECTS") = Loop::MaxEffects;
    m.attr("MAX_IN_FLIGHT") = Loop::MaxInFlight;
    m.attr("MAX_DEVICE_FORCE") = Loop::MaxDeviceForce;
    m.attr("MAX_PREDICTED_HOLDS") = Loop::MaxPredictedHolds;
    m.attr("SERVO_STATS_FIELDS") = FieldTypes(Control::ServoStats{});
    m.attr("GUARD_SILENCE") = std::chrono::duration<double>(Loop::GuardSilence).count();
    py::class_<Loop> c(m, "ServoLoop");
    BindLoopCommon<Loop, Control::CycleState>(c);
    c.def(py::init(&Open), py::arg("port"), py::arg("rate_hz"), py::arg("max_force"),
          py::arg("realtime"), py::arg("fault_timeout"), py::arg("max_faults"),
          py::arg("compensate_delay"), py::arg("in_flight"), py::arg("guard"))
        .def_property_readonly("compensate_delay",
                               [](const Loop& loop) { return loop.Options().compensateDelay; })
        .def_property_readonly(
            "fault_timeout",
            [](const Loop& loop) {
                return std::chrono::duration<double>(loop.Options().faultTimeout).count();
            })
        .def_property_readonly("max_faults",
                               [](const Loop& loop) { return loop.Options().maxFaults; })
        .def_property_readonly("in_flight",
                               [](const Loop& loop) { return loop.Options().inFlight; })
        .def_property_readonly("guard", [](const Loop& loop) { return loop.Options().guard; })
        .def("info",
             [](const Loop& loop) {
                 const auto& info = loop.Info();
                 const auto& uuid = info.uuid.data;
                 return py::make_tuple(
                     info.device_id, info.device_model_number, info.hardware_version,
                     info.firmware_version,
                     py::bytes(reinterpret_cast<const char*>(uuid.data()), uuid.size()));
             })
        .def("start", &Loop::Start, py::call_guard<py::gil_scoped_release>())
        .def("stop", &Loop::Stop, py::call_guard<py::gil_scoped_release>())
        .def("realtime",
             [](const Loop& loop) {
                 const auto status = loop.Realtime();
                 return py::make_tuple(status.requested, status.granted, status.message);
             })
        .def(
            "set_effects",
            [](Loop& loop, const std::vector<EffectValue>& values,
               const std::vector<std::uint64_t>& keys) {
                std::vector<Control::Effect> effects;
                effects.reserve(values.size());
                for (const EffectValue& value : values) effects.push_back(value.effect);
                Translated([&] { loop.SetEffects(effects, keys); });
            },
            py::arg("effects"), py::arg("keys"))
        .def(
            "set_max_force",
            [](Loop& loop, double newtons) { Translated([&] { loop.SetMaxForce(newtons); }); },
            py::arg("newtons"))
        .def("state",
             [](const Loop& loop) {
                 const Control::CycleState s = loop.State();
                 return py::make_tuple(s.cycle, s.time, Vector(s.position), Vector(s.velocity),
                                       Vector(s.force));
             })
        .def("stats", [](const Loop& loop) { return FieldsOf(loop.Stats()); })
        .def(
            "proxy_of",
            [](const Loop& loop, std::uint64_t key) -> py::object {
                const auto proxy = loop.ProxyOf(key);
                return proxy ? py::object(Vector(*proxy)) : py::object(py::none());
            },
            py::arg("key"))
        .def("coupling_status", [](Loop& loop) {
            const Control::CouplingStatus s = loop.Remote().Status();
            py::dict d;
            d["state"] = Control::LinkStateWord(s.state);
            d["mode"] = Control::CouplingModeWord(s.mode);
            d["gain"] = s.gain;
            d["target"] = Vector(s.target);
            d["force"] = Vector(s.force);
            d["sample_age"] = s.sampleAge;
            d["link_timeout"] = s.linkTimeout;
            d["energy_in"] = s.energyIn;
            d["energy_out"] = s.energyOut;
            d["energy_dissipated"] = s.energyDissipated;
            d["energy_credited"] = s.energyCredited;
            d["energy_drift"] = s.energyDrift;
            d["contact"] = s.contact;
            d["contact_gain"] = s.contactGain;
            d["contact_point"] = Vector(s.contactPoint);
            d["contact_normal"] = Vector(s.contactNormal);
            d["contact_stiffness"] = s.contactStiffness;
            const Control::RemoteCounts c = loop.Remote().Counts();
            d["taken"] = c.taken;
            d["refused_value"] = c.refusedValue;
            d["refused_contact"] = c.refusedContact;
            d["refused_stamp"] = c.refusedStamp;
            d["refused_flood"] = c.refusedFlood;
            d["dropped"] = c.dropped;
            d["impaired_lost"] = c.impairedLost;
            return d;
        });
    // What a coupling takes of its remote's samples by default.
    const Control::RemoteSettings remote;
    py::dict limits;
    limits["max_speed"] = remote.maxSpeed;
    limits["max_force"] = remote.maxForce;
    limits["max_lead"] = std::chrono::duration<double>(remote.maxLead).count();
    limits["max_age"] = std::chrono::duration<double>(remote.maxAge).count();
    limits["max_rate_hz"] = remote.maxRateHz;
    m.attr("REMOTE_SAMPLE_LIMITS") = limits;
}

}  // namespace TamroNative
