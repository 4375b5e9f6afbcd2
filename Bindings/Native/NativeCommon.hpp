// What the tamro._native bindings share: Python's OSError for failures that carry an errno,
// and the registration functions of each bound group.
#pragma once

#include <Tamro/HardwareAPI/Control/Effects.hpp>

#include <pybind11/pybind11.h>

#include <string>
#include <system_error>

namespace TamroNative {

namespace py = pybind11;

// Raises OSError(error, text, filename); Python picks the subclass from the errno
// (FileNotFoundError, PermissionError, TimeoutError, ...).
[[noreturn]] inline void RaiseOSError(int error, const std::string& text,
                                      const std::string& filename) {
    PyErr_SetObject(PyExc_OSError, py::make_tuple(error, text, filename).ptr());
    throw py::error_already_set();
}

// The library's opening failures as OSError: the system's text for the port's own errors,
// the library's for a device that did not answer.
[[noreturn]] inline void RaiseOpenError(const std::system_error& e, const std::string& port) {
    const std::string what = e.what();
    const std::string suffix = ": " + e.code().message();
    const bool own = what.size() > suffix.size() &&
                     what.compare(what.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                     e.code().value() == ETIMEDOUT;
    RaiseOSError(e.code().value(),
                 own ? what.substr(0, what.size() - suffix.size()) : e.code().message(), port);
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

}  // namespace TamroNative
