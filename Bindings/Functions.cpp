// Module functions: the library's version and device detection.
#include "Common.hpp"

#include <Tamro/HardwareAPI/Discovery.hpp>
#include <Tamro/HardwareAPI/Version.hpp>

namespace TamroBindings {

void RegisterModuleFunctions(py::module_& m) {
    namespace api = Tamro::HardwareAPI;

    m.def("get_cpp_version", &api::GetVersion, "Get the version of the CPP library");
    m.def("print_cpp_version", &api::PrintVersion, "Print the version of the CPP library");

    // Detection keeps the interpreter lock for its whole run (other Python threads wait);
    // its probe threads never call into Python.
    m.def(
        "detect_velkin3s", [] { return api::detect_velkin3s(); },
        "detect available velkin3 devices");
    m.def(
        "detect_handles", [] { return api::detect_handles(); }, "detect available handles");
    m.def(
        "detect_wired_handles", [] { return api::detect_wired_handles(); },
        "detect available wired handles");
    m.def(
        "detect_wireless_handles", [] { return api::detect_wireless_handles(); },
        "detect available wireless handles");
}

}  // namespace TamroBindings
