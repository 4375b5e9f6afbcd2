// The TamroHardwareAPI extension module: entry point and module body. pybind11's entry point
// refuses an interpreter other than the one the module was built for, with ImportError.
#include "Common.hpp"

PYBIND11_MODULE(TamroHardwareAPI, m) {
    m.doc() = "Python Implementation of the Tamro Hardware API";

    // Classes are registered before the functions whose signatures and defaults name them.
    TamroBindings::RegisterStreamTypes(m);      // SerialStream, UUID, Device
    TamroBindings::RegisterModuleFunctions(m);  // versions, detection
    TamroBindings::RegisterVelkin3(m);
    TamroBindings::RegisterHandle(m);

    m.attr("__version__") = "dev";
}
