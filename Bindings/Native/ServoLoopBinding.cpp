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
                                         int maxFaults) {
    Control::ServoOptions options;
    if (rateHz && !(*rateHz > 0))
        throw py::value_error("rate_hz must be above 0, or None to run free");
    options.rateHz = rateHz.value_or(0.0);
    options.maxForce = maxForce;
    options.realtime = realtime;
    if (!std::isfinite(faultTimeout))
        throw py::value_error("fault_timeout must be from 0.001 to 10 seconds");
    options.faultTimeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(faultTimeout));
    options.maxFaults = maxFaults;
    try {
        py::gil_scoped_release released;  // opening and waking take up to a second
        return std::make_unique<Control::ServoLoop>(port, options);
    } catch (const std::system_error& e) {
        RaiseOpenError(e, port);
    }
}

py::tuple Vector(const Control::Vec3& v) { return py::make_tuple(v[0], v[1], v[2]); }

}  // namespace

void RegisterServoLoop(py::module_& m) {
    using Loop = Control::ServoLoop;
    m.attr("MAX_EFFECTS") = Loop::MaxEffects;
    py::class_<Loop>(m, "ServoLoop")
        .def(py::init(&Open), py::arg("port"), py::arg("rate_hz"), py::arg("max_force"),
             py::arg("realtime"), py::arg("fault_timeout"), py::arg("max_faults"))
        .def_property_readonly("port", &Loop::Port)
        .def_property_readonly("rate_hz",
                               [](const Loop& loop) -> std::optional<double> {
                                   const double rate = loop.Options().rateHz;
                                   return rate > 0 ? std::optional(rate) : std::nullopt;
                               })
        .def_property_readonly(
            "fault_timeout",
            [](const Loop& loop) {
                return std::chrono::duration<double>(loop.Options().faultTimeout).count();
            })
        .def_property_readonly("max_faults",
                               [](const Loop& loop) { return loop.Options().maxFaults; })
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
        .def("close", &Loop::Close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("running", &Loop::Running)
        .def("fault",
             [](const Loop& loop) -> std::optional<py::tuple> {
                 const auto fault = loop.LatchedFault();
                 if (!fault) return std::nullopt;
                 return py::make_tuple(fault->error, fault->message);
             })
        .def("realtime",
             [](const Loop& loop) {
                 const auto status = loop.Realtime();
                 return py::make_tuple(status.requested, status.granted, status.message);
             })
        .def(
            "set_effects",
            [](Loop& loop, const std::vector<EffectValue>& values) {
                std::vector<Control::Effect> effects;
                effects.reserve(values.size());
                for (const EffectValue& value : values) effects.push_back(value.effect);
                loop.SetEffects(effects);
            },
            py::arg("effects"))
        .def("set_max_force", &Loop::SetMaxForce, py::arg("newtons"))
        .def("state",
             [](const Loop& loop) {
                 const Control::CycleState s = loop.State();
                 return py::make_tuple(s.cycle, s.time, Vector(s.position), Vector(s.velocity),
                                       Vector(s.force));
             })
        .def("stats",
             [](const Loop& loop) {
                 const Control::ServoStats s = loop.Stats();
                 py::dict d;
                 d["cycles"] = s.cycles;
                 d["rate_hz"] = s.rateHz;
                 d["period_p50_us"] = s.periodP50Us;
                 d["period_p99_us"] = s.periodP99Us;
                 d["period_max_us"] = s.periodMaxUs;
                 d["late_cycles"] = s.lateCycles;
                 d["longest_late_run"] = s.longestLateRun;
                 d["exchange_p50_us"] = s.exchangeP50Us;
                 d["exchange_p99_us"] = s.exchangeP99Us;
                 d["failed_exchanges"] = s.failedExchanges;
                 d["non_finite_forces"] = s.nonFiniteForces;
                 d["clamped_forces"] = s.clampedForces;
                 d["dropped_records"] = s.droppedRecords;
                 d["realtime"] = s.realtime;
                 return d;
             })
        .def("record", &Loop::Record, py::arg("capacity"), py::call_guard<py::gil_scoped_release>())
        .def("pending", &Loop::Pending)
        .def(
            "drain_into",
            [](Loop& loop, py::buffer buffer) {
                const py::buffer_info info = buffer.request(/*writable=*/true);
                if (info.itemsize != static_cast<py::ssize_t>(sizeof(Control::CycleState)) ||
                    info.ndim != 1 || info.strides[0] != info.itemsize)
                    throw py::value_error("drain_into needs a contiguous array of records");
                auto* out = static_cast<Control::CycleState*>(info.ptr);
                const auto size = static_cast<std::size_t>(info.shape[0]);
                py::gil_scoped_release released;
                return loop.Drain(out, size);
            },
            py::arg("buffer"));
}

}  // namespace TamroNative
