// SerialStream, UUID and Device.
#include "Common.hpp"

#include <Tamro/HardwareAPI/Devices/Device.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>
#include <Tamro/HardwareAPI/UUID.hpp>

#include <memory>

namespace TamroBindings {

// A device path as the native open takes it: UTF-8 text, or no path at all.
struct PathText {
    std::string text;
    bool isNull = true;

    const char* c_str() const { return isNull ? nullptr : text.c_str(); }
};

}  // namespace TamroBindings

namespace pybind11::detail {

// str (encoded as UTF-8; text that cannot be encoded does not match), bytes, bytearray, or
// None. An embedded NUL ends the path, as it would for any C path.
template <>
struct type_caster<TamroBindings::PathText> {
    PYBIND11_TYPE_CASTER(TamroBindings::PathText, const_name("str"));

    bool load(handle src, bool /*convert*/) {
        PyObject* obj = src.ptr();
        if (src.is_none()) {
            value = {};
            return true;
        }
        if (PyUnicode_Check(obj)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
            if (utf8 == nullptr) {
                PyErr_Clear();
                return false;
            }
            value = {std::string(utf8, static_cast<std::size_t>(size)), false};
            return true;
        }
        if (PyBytes_Check(obj)) {
            value = {std::string(PyBytes_AS_STRING(obj),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(obj))),
                     false};
            return true;
        }
        if (PyByteArray_Check(obj)) {
            value = {std::string(PyByteArray_AS_STRING(obj),
                                 static_cast<std::size_t>(PyByteArray_GET_SIZE(obj))),
                     false};
            return true;
        }
        return false;
    }

    static handle cast(const TamroBindings::PathText&, return_value_policy, handle) {
        return none().release();
    }
};

}  // namespace pybind11::detail

namespace TamroBindings {

void RegisterStreamTypes(py::module_& m) {
    using Tamro::HardwareAPI::UUID;
    using Tamro::HardwareAPI::Devices::Device;
    using Tamro::HardwareAPI::IO::SerialStream;

    py::class_<SerialStream>(m, "SerialStream").def(py::init([](const PathText& path) {
        // Only the open runs without the lock; the object is handed over with it held.
        return WithoutGil([&] { return std::make_unique<SerialStream>(path.c_str(), true); });
    }));

    py::class_<UUID>(m, "UUID").def(py::init<>()).def("bytes", [](Self<UUID> self) {
        const UUID& uuid = self.get();
        return std::vector<std::uint8_t>(uuid.data.begin(), uuid.data.end());
    });

    py::class_<Device>(m, "Device");
}

}  // namespace TamroBindings
