// What the tamro._native bindings share: the control layer's exceptions in Python's terms
// (OSError with errno and port, ValueError naming the Python keyword), and the registration
// functions of each bound group.
#pragma once

#include <Tamro/HardwareAPI/Control/Effects.hpp>
#include <Tamro/HardwareAPI/Control/Errors.hpp>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace TamroNative {

namespace py = pybind11;

// Raises OSError(error, text, filename); Python picks the subclass from the errno
// (FileNotFoundError, PermissionError, TimeoutError, ...).
[[noreturn]] inline void RaiseOSError(int error, const std::string& text,
                                      const std::string& filename) {
    PyErr_SetObject(PyExc_OSError, py::make_tuple(error, text, filename).ptr());
    throw py::error_already_set();
}

// The control layer's device failures as OSError: its errno, its reason and the port.
[[noreturn]] inline void RaiseDeviceError(const Tamro::HardwareAPI::Control::DeviceError& e) {
    RaiseOSError(e.code().value(), e.Reason(), e.Path());
}

// The Python keyword of a control-layer option, by its C++ name.
inline std::string PythonName(const std::string& name) {
    static constexpr std::pair<const char*, const char*> Names[] = {
        {"rateHz", "rate_hz"},
        {"faultTimeout", "fault_timeout"},
        {"maxFaults", "max_faults"},
        {"maxForce", "max_force"},
        {"realtimePriority", "realtime_priority"},
        {"inFlight", "in_flight"},
        {"linkTimeout", "link_timeout"},
        {"stampWindow", "stamp_window"},
        {"length", "data"},
    };
    for (const auto& [cpp, python] : Names)
        if (name == cpp) return python;
    return name;  // effect parameters have the same names in both
}

// A C++ name in Python's words: rateHz is rate_hz, periodP50Us is period_p50_us.
inline std::string SnakeCase(const char* name) {
    std::string out;
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c >= 'A' && *c <= 'Z') {
            out += '_';
            out += static_cast<char>(*c - 'A' + 'a');
        } else {
            out += *c;
        }
    }
    return out;
}

// A figures structure (one with VisitFields) as a dict with Python's names.
template <typename Figures>
py::dict FieldsOf(const Figures& figures) {
    py::dict d;
    VisitFields(figures,
                [&](const char* name, const auto& value) { d[SnakeCase(name).c_str()] = value; });
    return d;
}

// Its keys, each with the name of its Python type: what the Python TypedDict must say.
template <typename Figures>
py::dict FieldTypes(const Figures& figures) {
    py::dict d;
    VisitFields(figures, [&](const char* name, const auto& value) {
        using T = std::decay_t<decltype(value)>;
        d[SnakeCase(name).c_str()] = std::is_same_v<T, bool> ? "bool"
                                     : std::is_integral_v<T> ? "int"
                                                             : "float";
    });
    return d;
}

// An argument the control layer refused, as ValueError in Python's words.
[[noreturn]] inline void RaiseInvalid(const Tamro::HardwareAPI::Control::InvalidArgument& e) {
    throw py::value_error(PythonName(e.Name()) + " " + e.Requirement());
}

// Calls f, turning the control layer's refusals into Python's exceptions.
template <typename F>
auto Translated(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const Tamro::HardwareAPI::Control::InvalidArgument& e) {
        RaiseInvalid(e);
    } catch (const Tamro::HardwareAPI::Control::DeviceError& e) {
        RaiseDeviceError(e);
    }
}

// Seconds as the control layer's durations, for its own checks to judge: a value no duration
// can hold (not a number, or beyond 9e9 seconds either way) becomes one they refuse.
inline std::chrono::nanoseconds Duration(double seconds) {
    if (!(std::fabs(seconds) <= 9e9)) return std::chrono::nanoseconds::max();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(seconds));
}

// rate_hz (None: run free, as 0) and fault_timeout in seconds, as the loops take them.
struct LoopTiming {
    double rateHz;
    std::chrono::nanoseconds faultTimeout;
};

inline LoopTiming ConvertTiming(std::optional<double> rateHz, double faultTimeout) {
    if (rateHz && !(*rateHz >= 0.1 && *rateHz <= 100000))
        throw py::value_error("rate_hz must be from 0.1 to 100000, or None");
    // Checked before converting: a duration too long for the clock is undefined behaviour.
    if (!(faultTimeout >= 0.001 && faultTimeout <= 10))
        throw py::value_error("fault_timeout must be from 0.001 to 10 seconds");
    return {rateHz.value_or(0.0), std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::duration<double>(faultTimeout))};
}

// A loop opened without the interpreter lock (opening and waking take up to a second); its
// opening failures as OSError.
template <typename Loop, typename Options>
std::unique_ptr<Loop> OpenLoop(const std::string& port, const Options& options) {
    return Translated([&] {
        py::gil_scoped_release released;
        return std::make_unique<Loop>(port, options);
    });
}

// What both loops offer alike: their port and rate, closing, running, the latched fault as
// (errno, text), and their recording, drained straight into a numpy array of Record rows.
template <typename Loop, typename Record>
void BindLoopCommon(py::class_<Loop>& c) {
    c.def_property_readonly("port", &Loop::Port)
        .def_property_readonly("rate_hz",
                               [](const Loop& loop) -> std::optional<double> {
                                   const double rate = loop.Options().rateHz;
                                   return rate > 0 ? std::optional(rate) : std::nullopt;
                               })
        .def("close", &Loop::Close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("running", &Loop::Running)
        .def("fault",
             [](const Loop& loop) -> std::optional<py::tuple> {
                 const auto fault = loop.LatchedFault();
                 if (!fault) return std::nullopt;
                 return py::make_tuple(fault->error, fault->message);
             })
        .def("record", &Loop::Record, py::arg("capacity"), py::call_guard<py::gil_scoped_release>())
        .def("pending", &Loop::Pending)
        .def(
            "drain_into",
            [](Loop& loop, const py::buffer& buffer) {
                const py::buffer_info info = buffer.request(/*writable=*/true);
                if (info.itemsize != static_cast<py::ssize_t>(sizeof(Record)) || info.ndim != 1 ||
                    info.strides[0] != info.itemsize)
                    throw py::value_error("drain_into needs a contiguous array of records");
                auto* out = static_cast<Record*>(info.ptr);
                const auto size = static_cast<std::size_t>(info.shape[0]);
                py::gil_scoped_release released;
                return loop.Drain(out, size);
            },
            py::arg("buffer"));
}

// An effect as one opaque Python object: bound as a variant, pybind11 would convert it to
// and from its alternatives instead.
struct EffectValue {
    Tamro::HardwareAPI::Control::Effect effect;
};

void RegisterEffects(py::module_& m);
void RegisterServoLoop(py::module_& m);
void RegisterHandleReader(py::module_& m);
void RegisterPortReport(py::module_& m);
void RegisterNetwork(py::module_& m);
void RegisterCapture(py::module_& m);

}  // namespace TamroNative
