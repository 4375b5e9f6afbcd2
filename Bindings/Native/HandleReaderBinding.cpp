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
    Control::HandleReaderOptions options;
    if (rateHz && !(*rateHz > 0))
        throw py::value_error("rate_hz must be above 0, or None to ask as fast as it answers");
    options.rateHz = rateHz.value_or(0.0);
    if (!std::isfinite(faultTimeout))
        throw py::value_error("fault_timeout must be from 0.001 to 10 seconds");
    options.faultTimeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(faultTimeout));
    options.maxFaults = maxFaults;
    try {
        py::gil_scoped_release released;  // opening and waking take up to a second
        return std::make_unique<Control::HandleReader>(port, options);
    } catch (const std::system_error& e) {
        RaiseOpenError(e, port);
    }
}

py::tuple InfoTuple(const Tamro::HardwareAPI::Devices::HandleInfo& i) {
    return py::make_tuple(i.tool_data_remaining, i.device_id, i.device_model_number,
                          i.hardware_version, i.firmware_version);
}

}  // namespace

void RegisterHandleReader(py::module_& m) {
    using Reader = Control::HandleReader;
    py::class_<Reader>(m, "HandleReader")
        .def(py::init(&Open), py::arg("port"), py::arg("rate_hz"), py::arg("fault_timeout"),
             py::arg("max_faults"))
        .def_property_readonly("port", &Reader::Port)
        .def_property_readonly("rate_hz",
                               [](const Reader& r) -> std::optional<double> {
                                   const double rate = r.Options().rateHz;
                                   return rate > 0 ? std::optional(rate) : std::nullopt;
                               })
        .def("info", [](const Reader& r) { return InfoTuple(r.Info()); })
        .def("close", &Reader::Close, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("running", &Reader::Running)
        .def("fault",
             [](const Reader& r) -> std::optional<py::tuple> {
                 const auto fault = r.LatchedFault();
                 if (!fault) return std::nullopt;
                 return py::make_tuple(fault->error, fault->message);
             })
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
                py::gil_scoped_release released;  // waits while the queue is full
                return r.SendUserData(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                      bytes.size());
            },
            py::arg("data"))
        .def("stats",
             [](const Reader& r) {
                 const Control::HandleReaderStats s = r.Stats();
                 py::dict d;
                 d["messages"] = s.messages;
                 d["rate_hz"] = s.rateHz;
                 d["latency_p50_us"] = s.latencyP50Us;
                 d["latency_p99_us"] = s.latencyP99Us;
                 d["failed_requests"] = s.failedRequests;
                 d["unknown_codes"] = s.unknownCodes;
                 d["dropped_events"] = s.droppedEvents;
                 return d;
             })
        .def("record", &Reader::Record, py::arg("capacity"),
             py::call_guard<py::gil_scoped_release>())
        .def("pending", &Reader::Pending)
        .def(
            "drain_into",
            [](Reader& r, py::buffer buffer) {
                const py::buffer_info info = buffer.request(/*writable=*/true);
                if (info.itemsize != static_cast<py::ssize_t>(sizeof(Control::HandleRecord)) ||
                    info.ndim != 1 || info.strides[0] != info.itemsize)
                    throw py::value_error("drain_into needs a contiguous array of records");
                auto* out = static_cast<Control::HandleRecord*>(info.ptr);
                const auto size = static_cast<std::size_t>(info.shape[0]);
                py::gil_scoped_release released;
                return r.Drain(out, size);
            },
            py::arg("buffer"));
}

}  // namespace TamroNative
