// tamro._native.HandleReader: converts and delegates to Control::HandleReader. Calls that wait
// on the reader or the port release the interpreter lock; the reader never touches Python.
#include "NativeCommon.hpp"

#include <Tamro/HardwareAPI/Control/HandleReader.hpp>

#include <pybind11/stl.h>

#include <chrono>
#include <cmath>
#include <optional>

namespace TamroNative {

namespace Control = Tamro::HardwareAPI::Control;

namespace {

static_assert(sizeof(Control::HandleRecord) == 32, "records are numpy rows of 32 bytes");

std::unique_ptr<Control::HandleReader> Open(const std::string& port, std::optional<double> rateHz,
                                            double faultTimeout, int maxFaults) {
    const LoopTiming timing = ConvertTiming(rateHz, faultTimeout);
    Control::HandleReaderOptions options;
    options.rateHz = timing.rateHz;
    options.faultTimeout = timing.faultTimeout;
    options.maxFaults = maxFaults;
    return OpenLoop<Control::HandleReader>(port, options);
}

py::tuple InfoTuple(const Tamro::HardwareAPI::Devices::HandleInfo& i) {
    return py::make_tuple(i.tool_data_remaining, i.device_id, i.device_model_number,
                          i.hardware_version, i.firmware_version);
}

}  // namespace

void RegisterHandleReader(py::module_& m) {
    using Reader = Control::HandleReader;
    py::class_<Reader> c(m, "HandleReader");
    BindLoopCommon<Reader, Control::HandleRecord>(c);
    c.def(py::init(&Open), py::arg("port"), py::arg("rate_hz"), py::arg("fault_timeout"),
          py::arg("max_faults"))
        .def("info", [](const Reader& r) { return InfoTuple(r.Info()); })
        .def("latest",
             [](const Reader& r) {
                 const Control::HandleStatus s = r.Latest();
                 const auto& q = s.quaternion;
                 return py::make_tuple(
                     s.count, s.time, s.deviceId, py::make_tuple(q[0], q[1], q[2], q[3]),
                     s.errorFlag, s.hallEffectSensorLevel,
                     py::bytes(reinterpret_cast<const char*>(s.userData.data()), s.userDataLength));
             })
        .def("events",
             [](Reader& r) {
                 Control::HandleEvent events[Reader::EventCapacity];
                 std::size_t count;
                 {
                     py::gil_scoped_release released;
                     count = r.DrainEvents(events, Reader::EventCapacity);
                 }
                 py::list out;
                 for (std::size_t i = 0; i < count; ++i) {
                     const auto& e = events[i];
                     if (e.kind == Control::HandleEvent::Kind::Info)
                         out.append(py::make_tuple("info", e.time, InfoTuple(e.info)));
                     else
                         out.append(
                             py::make_tuple("error", e.time,
                                            py::make_tuple(e.error.device_id, e.error.error_code)));
                 }
                 return out;
             })
        .def(
            "send_user_data",
            [](Reader& r, const py::bytes& data) {
                const std::string bytes = data;
                return Translated([&] {
                    py::gil_scoped_release released;  // waits while the queue is full
                    return r.SendUserData(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                          bytes.size());
                });
            },
            py::arg("data"))
        .def("stats", [](const Reader& r) { return FieldsOf(r.Stats()); });
    m.attr("HANDLE_READER_STATS_FIELDS") = FieldTypes(Control::HandleReaderStats{});
}

}  // namespace TamroNative
