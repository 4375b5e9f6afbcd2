// tamro._native's detection and port probe: the library's detection functions, and its
// PortReport as a dictionary, for tamro.detection. Both run without the interpreter lock, so
// Python threads go on meanwhile (and probe ports side by side).
#include "NativeCommon.hpp"

#include <pybind11/stl.h>

#include <Tamro/HardwareAPI/Discovery.hpp>
#include <Tamro/HardwareAPI/PortReport.hpp>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace TamroNative {

namespace {

namespace api = Tamro::HardwareAPI;
using api::Devices::Reply;

const char* AnswerName(api::PortAnswer answer) {
    switch (answer) {
        case api::PortAnswer::NotOpened: return "not-opened";
        case api::PortAnswer::NotSerial: return "not-serial";
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

// What a path that is no serial port leads to, as tamro says it.
const char* RefusalText(api::PortRefusal refusal) {
    switch (refusal) {
        case api::PortRefusal::None: return "";
        case api::PortRefusal::RegularFile: return "a regular file";
        case api::PortRefusal::Directory: return "a folder";
        case api::PortRefusal::Fifo: return "a FIFO";
        case api::PortRefusal::Socket: return "a socket";
        case api::PortRefusal::BlockDevice: return "a block device";
        case api::PortRefusal::OtherDevice:
            return "a character device that no serial driver serves";
        case api::PortRefusal::ControllingTerminal:
            return "the controlling terminal of this process";
        case api::PortRefusal::CannotTell:
            return "a character device whose driver could not be told (/proc unreadable)";
        case api::PortRefusal::Changed: return "another device once opened than when looked at";
        case api::PortRefusal::NoTerminalSettings: return "a device without terminal settings";
    }
    return "";
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
    d["refusal"] = RefusalText(report.refusal);
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

using Detector = std::vector<std::string> (*)(const std::filesystem::path&);

// One of the library's detection functions, without the interpreter lock; a folder that
// cannot be listed or a serial node's link that leads nowhere as OSError.
std::vector<std::string> Detect(Detector detect, const std::string& deviceDirectory) {
    try {
        py::gil_scoped_release released;
        return detect(deviceDirectory);
    } catch (const std::filesystem::filesystem_error& e) {
        RaiseOSError(e.code().value(), e.code().message(), e.path1().string());
    }
}

template <Detector detect>
void BindDetector(py::module_& m, const char* name, const char* doc) {
    m.def(
        name, [](const std::string& directory) { return Detect(detect, directory); },
        py::arg("device_directory") = "/dev", doc);
}

}  // namespace

void RegisterPortReport(py::module_& m) {
    BindDetector<api::detect_velkin3s>(m, "detect_arms",
                                       "Paths of the ttyACM nodes where an arm answered");
    BindDetector<api::detect_handles>(
        m, "detect_handles", "Paths of the ttyUSB and rfcomm nodes where a handle answered");
    BindDetector<api::detect_wired_handles>(m, "detect_wired_handles",
                                            "Paths of the ttyUSB nodes where a handle answered");
    BindDetector<api::detect_wireless_handles>(m, "detect_wireless_handles",
                                               "Paths of the rfcomm nodes where a handle answered");
    m.def("probe_port", &ProbePort, py::arg("path"), py::kw_only(), py::arg("timeout") = 0.5,
          py::arg("exchanges") = 100,
          "Opens the port, sends the wake-up request and reports what answered (a dict); for a\n"
          "Velkin3 also the round trips of `exchanges` zero-force exchanges. `timeout` bounds\n"
          "each read, in seconds. Raises OSError when the port cannot be opened; a path that\n"
          "is no serial port is never opened (answer 'not-serial', `refusal` says what it is).");
}

}  // namespace TamroNative
