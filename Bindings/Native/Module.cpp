// tamro._native: the native half of the tamro package. Each class here only converts and
// delegates to the library's control layer; nothing in it knows of the devices' wire format.
#include "NativeCommon.hpp"

#include <Tamro/HardwareAPI/Version.hpp>

PYBIND11_MODULE(_native, m) {
    m.doc() = "Native half of the tamro package (servo loop, handle reader, port reports)";
    m.def("library_version", &Tamro::HardwareAPI::GetVersion, "The device library's version");
    TamroNative::RegisterEffects(m);
    TamroNative::RegisterServoLoop(m);
    TamroNative::RegisterHandleReader(m);
    TamroNative::RegisterPortReport(m);
    TamroNative::RegisterNetwork(m);
    TamroNative::RegisterCapture(m);
}
