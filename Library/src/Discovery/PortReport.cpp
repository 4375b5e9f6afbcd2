#include <Tamro/HardwareAPI/PortReport.hpp>

#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <istream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace Tamro::HardwareAPI {

namespace {

using Clock = std::chrono::steady_clock;

// Both files are a few hundred bytes; a bound keeps a strange /proc from costing more.
constexpr std::size_t ProcFileLimit = std::size_t{64} * 1024;

// A small file read whole (at most limit bytes), or nothing when it cannot be read.
std::optional<std::string> ReadSmallFile(const char* path, std::size_t limit) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    std::string text(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const ssize_t n = ::read(fd, text.data() + got, limit - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    text.resize(got);
    return text;
}

// Whether a serial or a pseudo-terminal (slave) driver serves the device, by the kernel's list
// of terminal drivers: "name node major minors type" a line, minors "a" or "a-b". Every other
// type (the console, /dev/tty, the pseudo-terminal master side) is no port to probe.
std::optional<bool> ServedBySerialDriver(dev_t device) {
    const auto drivers = ReadSmallFile("/proc/tty/drivers", ProcFileLimit);
    if (!drivers) return std::nullopt;
    std::istringstream lines(*drivers);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::vector<std::string> words;
        for (std::string word; fields >> word;) words.push_back(word);
        if (words.size() < 4) continue;
        const std::string& type = words[words.size() - 1];
        if (type != "serial" && type != "pty:slave") continue;
        unsigned driverMajor = 0, first = 0, last = 0;
        if (std::sscanf(words[words.size() - 3].c_str(), "%u", &driverMajor) != 1) continue;
        const int matched = std::sscanf(words[words.size() - 2].c_str(), "%u-%u", &first, &last);
        if (matched < 1) continue;
        if (matched == 1) last = first;
        if (driverMajor == major(device) && first <= minor(device) && minor(device) <= last) {
            return true;
        }
    }
    return false;
}

// This process's controlling terminal, from field 7 of /proc/self/stat (0: none). The name
// in field 2 may hold spaces and parentheses, so the fields are counted from its last ')'.
std::optional<dev_t> ControllingTerminal() {
    const auto stat = ReadSmallFile("/proc/self/stat", ProcFileLimit);
    if (!stat) return std::nullopt;
    const std::size_t nameEnd = stat->rfind(')');
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream fields(stat->substr(nameEnd + 1));
    std::string state;
    long long parent = 0, group = 0, session = 0, terminal = 0;
    if (!(fields >> state >> parent >> group >> session >> terminal)) return std::nullopt;
    const auto encoded = static_cast<unsigned long long>(terminal);
    if (encoded == 0) return dev_t{0};
    return ::makedev((encoded >> 8) & 0xfff, (encoded & 0xff) | ((encoded >> 12) & 0xfff00));
}

// What a path leads to, looked at (links followed) before anything opens it.
PortRefusal Judge(const struct stat& seen) {
    if (S_ISREG(seen.st_mode)) return PortRefusal::RegularFile;
    if (S_ISDIR(seen.st_mode)) return PortRefusal::Directory;
    if (S_ISFIFO(seen.st_mode)) return PortRefusal::Fifo;
    if (S_ISSOCK(seen.st_mode)) return PortRefusal::Socket;
    if (S_ISBLK(seen.st_mode)) return PortRefusal::BlockDevice;
    if (!S_ISCHR(seen.st_mode)) return PortRefusal::OtherDevice;
    const auto serial = ServedBySerialDriver(seen.st_rdev);
    const auto terminal = ControllingTerminal();
    if (!serial || !terminal) return PortRefusal::CannotTell;
    if (!*serial) return PortRefusal::OtherDevice;
    if (*terminal == seen.st_rdev) return PortRefusal::ControllingTerminal;
    return PortRefusal::None;
}

// A descriptor of the report's own on the port, opened before the port's stream and closed
// after it: the stream opens the very device this one looked at (through /proc/self/fd, so
// a name changed meanwhile cannot send it elsewhere), and the terminal settings and modem
// lines found on opening are put back when this goes.
class PortKeeper {
public:
    PortKeeper() = default;
    ~PortKeeper() {
        if (fd_ < 0) return;
        if (haveSettings_) ::tcsetattr(fd_, TCSANOW, &settings_);
        if (haveLines_) ::ioctl(fd_, TIOCMSET, &lines_);
        ::close(fd_);
    }
    PortKeeper(const PortKeeper&) = delete;
    PortKeeper& operator=(const PortKeeper&) = delete;

    // 0, or the errno of the open; refusal is set when the device opened is no terminal or
    // not the one that was looked at.
    int Open(const std::string& path, const struct stat& seen, PortRefusal& refusal) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return errno;
        struct stat opened {};
        if (::fstat(fd_, &opened) != 0 || !S_ISCHR(opened.st_mode) ||
            opened.st_rdev != seen.st_rdev) {
            refusal = PortRefusal::Changed;
            return 0;
        }
        pid_t session = 0;
        if (::ioctl(fd_, TIOCGSID, &session) == 0) {
            // Only this process's own controlling terminal tells its session.
            refusal = PortRefusal::ControllingTerminal;
            return 0;
        }
        haveSettings_ = ::tcgetattr(fd_, &settings_) == 0;
        if (!haveSettings_) {
            refusal = PortRefusal::NoTerminalSettings;
            return 0;
        }
        haveLines_ = ::ioctl(fd_, TIOCMGET, &lines_) == 0;  // a pseudo-terminal has none
        return 0;
    }

    std::string StreamPath() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_ = -1;
    termios settings_{};
    bool haveSettings_ = false;
    int lines_ = 0;
    bool haveLines_ = false;
};

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
    struct stat seen {};
    if (::stat(path.c_str(), &seen) != 0) {
        report.openError = errno;
        return report;
    }
    report.refusal = Judge(seen);
    if (report.refusal != PortRefusal::None) {
        report.answer = PortAnswer::NotSerial;
        return report;
    }
    // Destroyed after the stream: the port is closed first, then its settings are put back.
    PortKeeper keeper;
    report.openError = keeper.Open(path, seen, report.refusal);
    if (report.openError != 0) return report;
    if (report.refusal != PortRefusal::None) {
        report.answer = PortAnswer::NotSerial;
        return report;
    }
    IO::SerialStream stream(keeper.StreamPath().c_str(), false, options.readTimeout);
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
