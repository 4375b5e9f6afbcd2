// tamro._native.probe_port: the library's PortReport as a dictionary, for tamro.doctor. The
// probe runs without the interpreter lock, so Python threads probe ports side by side.
#include "NativeCommon.hpp"

#include <pybind11/stl.h>

#include <Tamro/HardwareAPI/PortReport.hpp>

#include <cerrno>
#include <chrono>
#include <string>

namespace TamroNative {

namespace {

namespace api = Tamro::HardwareAPI;
using api::Devices::Reply;

const char* AnswerName(api::PortAnswer answer) {
    switch (answer) {
        case api::PortAnswer::NotOpened: return "not-opened";
        case api::PortAnswer::WriteFailed: return "write-failed";
        case api::PortAnswer::Silence: return "silence";
        case api::PortAnswer::Velkin3: return "velkin3";
        case api::PortAnswer::OtherModel: return "other-model";
        case api::PortAnswer::HandleInfo: return "handle-info";
        case api::PortAnswer::HandleStatus: return "handle-status";
        case api::PortAnswer::HandleError: return "handle-error";
        case api::PortAnswer::Truncated: return "truncated";
        case api::PortAnswer::Other: return "other";
    }
    return "other";
}

const char* ReplyName(Reply reply) {
    switch (reply) {
        case Reply::Complete: return "complete";
        case Reply::Missing: return "missing";
        case Reply::WrongCode: return "wrong-code";
        case Reply::Short: return "short";
    }
    return "missing";
}

double Microseconds(std::chrono::nanoseconds time) {
    return std::chrono::duration<double, std::micro>(time).count();
}

py::bytes Bytes(const std::uint8_t* data, std::size_t size) {
    return py::bytes(reinterpret_cast<const char*>(data), size);
}

py::dict DeviceInfo(const api::Devices::DeviceInfo& info) {
    py::dict d;
    d["device_id"] = info.device_id;
    d["device_model_number"] = info.device_model_number;
    d["hardware_version"] = info.hardware_version;
    d["firmware_version"] = info.firmware_version;
    d["uuid"] = Bytes(info.uuid.data.data(), info.uuid.data.size());
    return d;
}

py::dict HandleInfo(const api::Devices::HandleInfo& info) {
    py::dict d;
    d["device_id"] = info.device_id;
    d["tool_data_remaining"] = info.tool_data_remaining;
    d["device_model_number"] = info.device_model_number;
    d["hardware_version"] = info.hardware_version;
    d["firmware_version"] = info.firmware_version;
    return d;
}

py::dict HandleStatus(const api::Devices::HandleStatusMessage& status) {
    py::dict d;
    d["device_id"] = status.device_id;
    d["quaternion"] = py::make_tuple(status.quaternion[0], status.quaternion[1],
                                     status.quaternion[2], status.quaternion[3]);
    d["error_flag"] = status.error_flag;
    d["hall_effect_sensor_level"] = status.hall_effect_sensor_level;
    d["user_data"] = Bytes(status.user_data.data(), status.user_data_length);
    return d;
}

py::dict HandleError(const api::Devices::HandleErrorResponse& error) {
    py::dict d;
    d["device_id"] = error.device_id;
    d["error_code"] = error.error_code;
    return d;
}

py::dict RoundTrips(const api::RoundTrips& trips) {
    py::dict d;
    d["requested"] = trips.requested;
    d["completed"] = trips.completed;
    d["ended"] = ReplyName(trips.ended);
    d["p50_us"] = Microseconds(trips.p50);
    d["p99_us"] = Microseconds(trips.p99);
    return d;
}

py::dict ProbePort(const std::string& path, double timeout, int exchanges) {
    if (!(timeout > 0.0 && timeout <= 60.0)) {
        throw py::value_error("timeout must be more than 0 and at most 60 seconds");
    }
    if (exchanges < 0) throw py::value_error("exchanges must not be negative");
    api::PortReportOptions options;
    options.readTimeout = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(timeout));
    options.exchanges = exchanges;

    api::PortReport report;
    {
        py::gil_scoped_release released;
        report = api::ReportPort(path, options);
    }
    if (report.answer == api::PortAnswer::NotOpened) {
        RaiseOSError(report.openError, std::generic_category().message(report.openError), path);
    }

    py::dict d;
    d["path"] = report.path;
    d["answer"] = AnswerName(report.answer);
    const bool arm =
        report.answer == api::PortAnswer::Velkin3 || report.answer == api::PortAnswer::OtherModel;
    d["device_info"] = arm ? py::object(DeviceInfo(report.deviceInfo)) : py::none();
    d["handle_info"] = report.answer == api::PortAnswer::HandleInfo
                           ? py::object(HandleInfo(report.handleInfo))
                           : py::none();
    d["handle_status"] = report.answer == api::PortAnswer::HandleStatus
                             ? py::object(HandleStatus(report.handleStatus))
                             : py::none();
    d["handle_error"] = report.answer == api::PortAnswer::HandleError
                            ? py::object(HandleError(report.handleError))
                            : py::none();
    d["raw_bytes"] = Bytes(report.rawBytes.data(), report.rawBytes.size());
    d["round_trips"] = report.answer == api::PortAnswer::Velkin3
                           ? py::object(RoundTrips(report.roundTrips))
                           : py::none();
    return d;
}

}  // namespace

void RegisterPortReport(py::module_& m) {
    m.def("probe_port", &ProbePort, py::arg("path"), py::kw_only(), py::arg("timeout") = 0.5,
          py::arg("exchanges") = 100,
          "Opens the port, sends the wake-up request and reports what answered (a dict); for a\n"
          "Velkin3 also the round trips of `exchanges` zero-force exchanges. `timeout` bounds\n"
          "each read, in seconds. Raises OSError when the port cannot be opened.");
}

}  // namespace TamroNative
