// tamro._native: the native half of the tamro package. Each class here only converts and
// delegates to the library's control layer; nothing in it knows of the devices' wire format.
#include "NativeCommon.hpp"

#include <Tamro/HardwareAPI/Version.hpp>

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native half of the tamro package (servo loop, handle reader, port reports)";
    m.def("library_version", &Tamro::HardwareAPI::GetVersion, "The device library's version");
    // Wherever a refusal comes from (an effect's factory, a setter), Python reads it with its
    // own parameter names.
    // pybind11 hands the translator its exception by value.
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    pybind11::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const Tamro::HardwareAPI::Control::InvalidArgument& e) {
            PyErr_SetString(PyExc_ValueError,
                            (TamroNative::PythonName(e.Name()) + " " + e.Requirement()).c_str());
        }
    });
    TamroNative::RegisterEffects(m);
    TamroNative::RegisterServoLoop(m);
    TamroNative::RegisterHandleReader(m);
    TamroNative::RegisterPortReport(m);
    TamroNative::RegisterNetwork(m);
    TamroNative::RegisterCapture(m);
}
