// ReportPort against fake devices on pseudo-terminals: what each kind of answer is reported
// as, the timed exchanges of an arm, and a failed open that prints nothing.
#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>
#include <Tamro/HardwareAPI/PortReport.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace Tamro::HardwareAPI;
namespace Messages = Tamro::HardwareAPI::Devices::Messages;
using Tamro::HardwareAPI::Devices::Reply;
using TamroTest::Bytes;
using TamroTest::Concat;
using TamroTest::FloatBytes;
using TamroTest::PtyPair;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

constexpr auto ShortTimeout = std::chrono::milliseconds(150);

PortReportOptions Options(int exchanges = 100) {
    PortReportOptions options;
    options.readTimeout = ShortTimeout;
    options.exchanges = exchanges;
    return options;
}

Bytes ArmInfo(std::uint8_t model) {
    Bytes reply = {Messages::DeviceInfo, 0x34, 0x12, model, 0x02, 0x07};
    for (std::uint8_t i = 0; i < 16; ++i) reply.push_back(static_cast<std::uint8_t>(0xA0 + i));
    return reply;
}

Bytes State(float x) {
    return Concat({Messages::EndEffectorState}, FloatBytes({x, 0, 0, 0, 0, 0}));
}

// Plays an arm: answers the wake-up with its info, then `answered` force requests with a
// state; the requests after those get no answer.
std::thread PlayArm(PtyPair& pty, int answered) {
    return std::thread([&pty, answered] {
        if (pty.Take(1) != Bytes{Messages::DeviceWakeup}) return;
        pty.Feed(ArmInfo(Messages::Velkin3ModelNumber));
        for (int i = 0; i < answered; ++i) {
            const Bytes request = pty.Take(Messages::RequestLength);
            if (request.size() != Messages::RequestLength) return;
            pty.Feed(State(static_cast<float>(i)));
        }
    });
}

}  // namespace

TEST(PortReport, ArmIsIdentifiedAndItsExchangesTimed) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    std::thread arm = PlayArm(pty, 100);
    const PortReport report = ReportPort(pty.Path(), Options());
    arm.join();

    EXPECT_EQ(report.path, pty.Path());
    ASSERT_EQ(report.answer, PortAnswer::Velkin3);
    EXPECT_EQ(report.deviceInfo.device_id, 0x1234);
    EXPECT_EQ(report.deviceInfo.device_model_number, Messages::Velkin3ModelNumber);
    EXPECT_EQ(report.deviceInfo.hardware_version, 2);
    EXPECT_EQ(report.deviceInfo.firmware_version, 7);
    EXPECT_EQ(report.deviceInfo.uuid.data[0], 0xA0);
    EXPECT_EQ(report.deviceInfo.uuid.data[15], 0xAF);
    EXPECT_EQ(report.roundTrips.requested, 100);
    EXPECT_EQ(report.roundTrips.completed, 100);
    EXPECT_EQ(report.roundTrips.ended, Reply::Complete);
    EXPECT_GT(report.roundTrips.p50.count(), 0);
    EXPECT_LE(report.roundTrips.p50, report.roundTrips.p99);
    // The exchanges asked for no force: every request carried three zeros.
    EXPECT_TRUE(pty.Silent());
}

TEST(PortReport, ExchangesStopAtTheFirstMissingReply) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    std::thread arm = PlayArm(pty, 7);
    const PortReport report = ReportPort(pty.Path(), Options(20));
    arm.join();

    ASSERT_EQ(report.answer, PortAnswer::Velkin3);
    EXPECT_EQ(report.roundTrips.requested, 20);
    EXPECT_EQ(report.roundTrips.completed, 7);
    EXPECT_EQ(report.roundTrips.ended, Reply::Missing);
    // The eighth request went out and nothing after it.
    EXPECT_EQ(pty.Take(Messages::RequestLength, std::chrono::milliseconds(500)).size(),
              Messages::RequestLength);
    EXPECT_TRUE(pty.Silent());
}

TEST(PortReport, EachKindOfAnswer) {
    const Bytes status = Concat(Concat({Messages::HandleStatus, 0x02, 0x00, 0x01, 0x09},
                                       FloatBytes({1.0f, 0.0f, 0.5f, 0.0f})),
                                {3, 0x61, 0x62, 0x63});
    const Bytes modem = {'\r', '\n', 'O', 'K', '\r', '\n'};
    struct Case {
        const char* name;
        Bytes reply;
        PortAnswer answer;
        Bytes rawBytes;
    };
    const Case cases[] = {
        {"silent", {}, PortAnswer::Silence, {}},
        {"another arm model", ArmInfo(3), PortAnswer::OtherModel, {}},
        {"handle information",
         {Messages::HandleInfo, 0x02, 0x00, 90, 2, 1, 3},
         PortAnswer::HandleInfo,
         {}},
        {"handle status", status, PortAnswer::HandleStatus, {}},
        {"handle error", {Messages::HandleError, 0x02, 0x00, 0x05}, PortAnswer::HandleError, {}},
        {"device info cut short",
         {Messages::DeviceInfo, 0x34, 0x12, 4},
         PortAnswer::Truncated,
         {Messages::DeviceInfo}},
        {"handle status cut short",
         {Messages::HandleStatus, 0x02},
         PortAnswer::Truncated,
         {Messages::HandleStatus}},
        {"a modem", modem, PortAnswer::Other, modem},
        {"a flood", Bytes(64, 0x55), PortAnswer::Other, Bytes(16, 0x55)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PtyPair pty;
        ASSERT_TRUE(pty.Open());
        auto request = pty.AnswerAfter(1, c.reply);
        const PortReport report = ReportPort(pty.Path(), Options());
        EXPECT_EQ(request.get(), Bytes{Messages::DeviceWakeup});
        EXPECT_EQ(report.answer, c.answer);
        EXPECT_EQ(report.rawBytes, c.rawBytes);
        EXPECT_EQ(report.openError, 0);
        EXPECT_EQ(report.roundTrips.requested, 0);
        EXPECT_TRUE(pty.Silent());  // no exchange follows anything but a Velkin3
        switch (c.answer) {
            case PortAnswer::OtherModel:
                EXPECT_EQ(report.deviceInfo.device_model_number, 3);
                EXPECT_EQ(report.deviceInfo.device_id, 0x1234);
                break;
            case PortAnswer::HandleInfo:
                EXPECT_EQ(report.handleInfo.device_id, 2);
                EXPECT_EQ(report.handleInfo.tool_data_remaining, 90);
                EXPECT_EQ(report.handleInfo.device_model_number, 2);
                EXPECT_EQ(report.handleInfo.firmware_version, 3);
                break;
            case PortAnswer::HandleStatus:
                EXPECT_EQ(report.handleStatus.device_id, 2);
                EXPECT_EQ(report.handleStatus.hall_effect_sensor_level, 9);
                EXPECT_EQ(report.handleStatus.quaternion[2], 0.5f);
                EXPECT_EQ(report.handleStatus.user_data_length, 3);
                EXPECT_EQ(report.handleStatus.user_data[2], 0x63);
                break;
            case PortAnswer::HandleError:
                EXPECT_EQ(report.handleError.device_id, 2);
                EXPECT_EQ(report.handleError.error_code, 5);
                break;
            default: break;
        }
    }
}

TEST(PortReport, FailedOpenGivesItsErrnoAndPrintsNothing) {
    CaptureStderr();
    const PortReport missing = ReportPort("/nonexistent/ttyACM9", Options());
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(missing.answer, PortAnswer::NotOpened);
    EXPECT_EQ(missing.openError, ENOENT);
}

namespace {

// A folder of its own for the files a test makes, removed with it.
class Scratch {
public:
    Scratch() {
        std::string name =
            (std::filesystem::temp_directory_path() / "tamro-report-XXXXXX").string();
        if (::mkdtemp(name.data()) != nullptr) folder_ = name;
    }
    ~Scratch() {
        std::error_code ignored;
        if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::filesystem::path operator/(const std::string& name) const { return folder_ / name; }

private:
    std::filesystem::path folder_;
};

std::string Contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool SameSettings(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && ::cfgetispeed(&a) == ::cfgetispeed(&b) &&
           ::cfgetospeed(&a) == ::cfgetospeed(&b) && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc);
}

// A terminal as a shell leaves it: cooked, echoing, 9600 baud.
termios Cooked(int fd) {
    termios settings{};
    ::tcgetattr(fd, &settings);
    settings.c_lflag |= ICANON | ECHO | ISIG;
    settings.c_oflag |= OPOST;
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    ::tcsetattr(fd, TCSANOW, &settings);
    ::tcgetattr(fd, &settings);
    return settings;
}

}  // namespace

TEST(PortReport, OpensNothingButASerialPort) {
    Scratch scratch;
    const auto file = scratch / "ttyACM0";
    std::ofstream(file) << "keep me";
    const auto fifo = scratch / "ttyUSB0";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // Both ends of the FIFO of our own: an empty one then reads as EAGAIN, not end of file.
    const int fifoReader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const int fifoWriter = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fifoReader, 0);
    ASSERT_GE(fifoWriter, 0);
    const auto link = scratch / "ttyACM1";
    std::filesystem::create_symlink(file, link);

    struct Case {
        std::string path;
        PortRefusal refusal;
    };
    const Case cases[] = {
        {file.string(), PortRefusal::RegularFile}, {link.string(), PortRefusal::RegularFile},
        {fifo.string(), PortRefusal::Fifo},        {"/", PortRefusal::Directory},
        {"/dev/null", PortRefusal::OtherDevice},  // a character device, but no terminal
        {"/dev/tty", PortRefusal::OtherDevice},   // whichever terminal controls the caller
        {"/dev/ptmx", PortRefusal::OtherDevice},  // opening it would make a pseudo-terminal
    };
    CaptureStderr();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const PortReport report = ReportPort(c.path, Options());
        EXPECT_EQ(report.answer, PortAnswer::NotSerial);
        EXPECT_EQ(report.refusal, c.refusal);
        EXPECT_EQ(report.openError, 0);
    }
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(Contents(file), "keep me");
    char byte = 0;
    EXPECT_EQ(::read(fifoReader, &byte, 1), -1);  // empty: no wake-up went in
    ::close(fifoReader);
    ::close(fifoWriter);
}

TEST(PortReport, PutsTheSettingsBackAsItFoundThem) {
    for (const bool armAnswers : {true, false}) {  // an arm, and a silent port
        SCOPED_TRACE(armAnswers);
        PtyPair pty;
        ASSERT_TRUE(pty.Open());
        const int side = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(side, 0);
        const termios before = Cooked(side);
        std::thread arm;
        if (armAnswers) arm = PlayArm(pty, 5);
        const PortReport report = ReportPort(pty.Path(), Options(5));
        if (arm.joinable()) arm.join();
        EXPECT_EQ(report.answer, armAnswers ? PortAnswer::Velkin3 : PortAnswer::Silence);
        termios after{};
        ASSERT_EQ(::tcgetattr(side, &after), 0);
        EXPECT_TRUE(SameSettings(before, after));
        ::close(side);
    }
}

TEST(PortReport, NeverTheControllingTerminal) {
    // A child in a session of its own whose controlling terminal is a pseudo-terminal of the
    // test's: the report must neither write to it nor change its settings, by any name.
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    Scratch scratch;
    const auto link = scratch / "ttyACM0";
    std::filesystem::create_symlink(pty.Path(), link);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setsid() < 0) ::_exit(10);
        const int terminal = ::open(pty.Path().c_str(), O_RDWR);  // becomes the controlling one
        if (terminal < 0 || ::ioctl(terminal, TIOCSCTTY, 0) != 0) ::_exit(11);
        const termios before = Cooked(terminal);
        const std::string paths[] = {pty.Path(), link.string(), "/dev/tty"};
        const PortRefusal expected[] = {PortRefusal::ControllingTerminal,
                                        PortRefusal::ControllingTerminal, PortRefusal::OtherDevice};
        for (int i = 0; i < 3; ++i) {
            const PortReport report = ReportPort(paths[i], Options());
            if (report.answer != PortAnswer::NotSerial) ::_exit(20 + i);
            if (report.refusal != expected[i]) ::_exit(30 + i);
        }
        termios after{};
        if (::tcgetattr(terminal, &after) != 0 || !SameSettings(before, after)) ::_exit(40);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(pty.Silent());  // no wake-up reached the terminal
}

TEST(PortReport, ReadTimeoutBoundsASilentPort) {
    PtyPair pty;
    ASSERT_TRUE(pty.Open());
    PortReportOptions options;
    options.readTimeout = std::chrono::milliseconds(300);
    const auto start = std::chrono::steady_clock::now();
    const PortReport report = ReportPort(pty.Path(), options);
    const double seconds = TamroTest::SecondsSince(start);
    EXPECT_EQ(report.answer, PortAnswer::Silence);
    EXPECT_GE(seconds, 0.25);
    EXPECT_LT(seconds, 0.9);  // one read time-out, not the streams' default second
}
