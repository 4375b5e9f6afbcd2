#include <Tamro/HardwareAPI/PortReport.hpp>

#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <algorithm>
#include <cmath>
#include <istream>

namespace Tamro::HardwareAPI {

namespace {

using Clock = std::chrono::steady_clock;

// Keeps the records of whichever message the handle sent.
class RecordingHandle : public Devices::Handle {
public:
    using Handle::Handle;

    Devices::HandleInfo info;
    Devices::HandleStatusMessage status;
    Devices::HandleErrorResponse error;

    void OnReceiveHandleInfoRecord(const Devices::HandleInfo& record) override { info = record; }
    void OnReceiveHandleStatusRecord(const Devices::HandleStatusMessage& record) override {
        status = record;
    }
    void OnReceiveHandleErrorRecord(const Devices::HandleErrorResponse& record) override {
        error = record;
    }
};

// The nearest-rank percentile of sorted, non-empty times.
std::chrono::nanoseconds Percentile(const std::vector<std::chrono::nanoseconds>& sorted,
                                    double fraction) {
    const auto rank =
        static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

RoundTrips TimeExchanges(Devices::Velkin3& arm, int count) {
    RoundTrips trips;
    trips.requested = count;
    const float zero[3] = {0.0f, 0.0f, 0.0f};
    Devices::StateVectors state;
    std::vector<std::chrono::nanoseconds> times;
    times.reserve(static_cast<std::size_t>(std::max(count, 0)));
    for (int i = 0; i < count; ++i) {
        const Clock::time_point start = Clock::now();
        const Devices::Reply reply = arm.ExchangeForce(zero, state);
        if (reply != Devices::Reply::Complete) {
            trips.ended = reply;
            break;
        }
        times.push_back(Clock::now() - start);
    }
    trips.completed = static_cast<int>(times.size());
    if (!times.empty()) {
        std::sort(times.begin(), times.end());
        trips.p50 = Percentile(times, 0.50);
        trips.p99 = Percentile(times, 0.99);
    }
    return trips;
}

// Judges the message whose header code waits, peeked, at the head of the stream; each
// message is read by the device class that knows its layout.
void ReadAnswer(IO::SerialStream& stream, std::uint8_t code, const PortReportOptions& options,
                PortReport& report) {
    namespace Messages = Devices::Messages;
    switch (code) {
        case Messages::DeviceInfo: {
            Devices::Velkin3 arm(&stream);
            arm.ReceiveDeviceInfo(report.deviceInfo);
            if (!stream.good()) break;
            if (report.deviceInfo.device_model_number != Messages::Velkin3ModelNumber) {
                report.answer = PortAnswer::OtherModel;
                return;
            }
            report.answer = PortAnswer::Velkin3;
            report.roundTrips = TimeExchanges(arm, options.exchanges);
            return;
        }
        case Messages::HandleInfo:
        case Messages::HandleStatus:
        case Messages::HandleError: {
            RecordingHandle handle(&stream);
            handle.Receive();
            if (!stream.good()) break;
            report.handleInfo = handle.info;
            report.handleStatus = handle.status;
            report.handleError = handle.error;
            report.answer = code == Messages::HandleInfo     ? PortAnswer::HandleInfo
                            : code == Messages::HandleStatus ? PortAnswer::HandleStatus
                                                             : PortAnswer::HandleError;
            return;
        }
        default: {
            report.answer = PortAnswer::Other;
            report.rawBytes.resize(std::max<std::size_t>(options.rawBytes, 1));
            stream.read(reinterpret_cast<char*>(report.rawBytes.data()),
                        static_cast<std::streamsize>(report.rawBytes.size()));
            report.rawBytes.resize(static_cast<std::size_t>(stream.gcount()));
            return;
        }
    }
    report.answer = PortAnswer::Truncated;
    report.rawBytes = {code};
}

}  // namespace

PortReport ReportPort(const std::string& path, const PortReportOptions& options) {
    PortReport report;
    report.path = path;
    IO::SerialStream stream(path.c_str(), false, options.readTimeout);
    report.openError = stream.OpenPortQuietly();
    if (report.openError != 0) return report;

    // Arm and handle share the wake-up request, so one request tells either kind.
    Devices::Velkin3(&stream).SendDeviceWakeup();
    if (stream.bad()) {
        report.answer = PortAnswer::WriteFailed;
        return report;
    }
    const auto first = stream.peek();
    if (first == std::istream::traits_type::eof()) {
        report.answer = PortAnswer::Silence;
    } else {
        ReadAnswer(stream, static_cast<std::uint8_t>(first), options, report);
    }
    stream.ClosePort();
    return report;
}

}  // namespace Tamro::HardwareAPI
