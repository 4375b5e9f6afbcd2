// tamro._native: the native half of the tamro package. Each class here only converts and
// delegates to the library's control layer; nothing in it knows of the devices' wire format.
#include <pybind11/pybind11.h>

#include <Tamro/HardwareAPI/Version.hpp>

namespace py = pybind11;

namespace TamroNative {
void RegisterPortReport(py::module_& m);
}

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native half of the tamro package (servo loop, handle reader)";
    m.def("library_version", &Tamro::HardwareAPI::GetVersion, "The device library's version");
    TamroNative::RegisterPortReport(m);
}
