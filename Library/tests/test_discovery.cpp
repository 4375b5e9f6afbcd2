// Discovery against a temporary device folder whose entries are symbolic links, named like
// serial nodes, to pseudo-terminals played by fake devices on threads of their own.
#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/Devices/Handle.hpp>
#include <Tamro/HardwareAPI/Discovery.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>
#include <Tamro/HardwareAPI/Probes.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;
using namespace Tamro::HardwareAPI;
using TamroTest::Bytes;
using TamroTest::Concat;
using TamroTest::FloatBytes;
using TamroTest::OpenDescriptors;
using TamroTest::PtyPair;
using TamroTest::SecondsSince;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;
using Clock = std::chrono::steady_clock;
using Paths = std::vector<std::string>;

namespace {

// An arm's answer to the wake-up request: device info with the given model number.
Bytes ArmInfo(std::uint8_t model) {
    Bytes reply = {0x0B, 0x34, 0x12, model, 0x02, 0x07};
    for (std::uint8_t i = 0; i < 16; ++i) reply.push_back(i);
    return reply;
}

Bytes HandleStatus(std::uint8_t userDataLength) {
    Bytes message = Concat({0xDA, 0x34, 0x12, 0x00, 0x10}, FloatBytes({1, 0, 0, 0}));
    message.push_back(userDataLength);
    return Concat(message, Bytes(userDataLength, 0x5A));
}

const Bytes HandleInformation = {0xD0, 0x34, 0x12, 0x09, 0x04, 0x05, 0x06};
const Bytes HandleError = {0xDF, 0x34, 0x12, 0x07};

// Answers every wake-up request with the same reply (nothing, for a silent device) and
// counts the requests.
class FakeDevice {
public:
    explicit FakeDevice(Bytes reply) : reply_(std::move(reply)) {
        EXPECT_TRUE(pty_.Open());
        EXPECT_EQ(::pipe(stop_), 0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeDevice() {
        const char c = 0;
        EXPECT_EQ(::write(stop_[1], &c, 1), 1);
        thread_.join();
        ::close(stop_[0]);
        ::close(stop_[1]);
    }

    const std::string& Path() const { return pty_.Path(); }
    PtyPair& Pty() { return pty_; }

    int WakeUps() {
        std::lock_guard<std::mutex> lock(mutex_);
        return wakeUps_;
    }
    // Waits until count wake-up requests have come in.
    bool WakeUpsReach(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(3), [&] { return wakeUps_ >= count; });
    }

private:
    void Serve() {
        for (;;) {
            pollfd fds[2] = {{pty_.MasterFd(), POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            std::uint8_t bytes[256];
            const ssize_t n = ::read(pty_.MasterFd(), bytes, sizeof bytes);
            if (n <= 0) return;
            for (ssize_t i = 0; i < n; ++i) {
                if (bytes[i] != 0x0A) continue;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++wakeUps_;
                }
                changed_.notify_all();
                pty_.Feed(reply_);
            }
        }
    }

    Bytes reply_;
    PtyPair pty_;
    int stop_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable changed_;
    int wakeUps_ = 0;
    std::thread thread_;
};

// A private device folder, removed with everything in it.
class DeviceFolder {
public:
    DeviceFolder() {
        char name[] = "/tmp/tamro-dev-XXXXXX";
        EXPECT_NE(::mkdtemp(name), nullptr);
        path_ = name;
    }
    ~DeviceFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    void Link(const std::string& name, const std::string& target) {
        fs::create_symlink(target, path_ / name);
    }
    const fs::path& Path() const { return path_; }

    // The entry names in the order the folder lists them.
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    // For the given names, their devices' paths in listing order.
    Paths InListingOrder(const std::map<std::string, std::string>& pathByName) const {
        Paths paths;
        for (const std::string& name : Listing()) {
            const auto found = pathByName.find(name);
            if (found != pathByName.end()) paths.push_back(found->second);
        }
        return paths;
    }

private:
    fs::path path_;
};

}  // namespace

TEST(Discovery, KindsDecideWhichFunctionProbesWhichPort) {
    FakeDevice arm(ArmInfo(4)), armOnBothNames(ArmInfo(4)), handleOnAcm(HandleStatus(0));
    FakeDevice wired(HandleInformation), wireless(HandleStatus(10));
    FakeDevice otherName(ArmInfo(4)), upperCase(ArmInfo(4));
    DeviceFolder dev;
    dev.Link("ttyACM0", arm.Path());
    dev.Link("ttyUSB0-ttyACM1", armOnBothNames.Path());  // both patterns: ACM comes first
    dev.Link("ttyACM5", handleOnAcm.Path());
    dev.Link("ttyUSB0", wired.Path());
    dev.Link("rfcomm0", wireless.Path());
    dev.Link("ttyS0", otherName.Path());
    dev.Link("TTYACM0", upperCase.Path());  // the match is case-sensitive

    const std::map<std::string, PortKind> kindByName = {{"ttyACM0", PortKind::ACM},
                                                        {"ttyUSB0-ttyACM1", PortKind::ACM},
                                                        {"ttyACM5", PortKind::ACM},
                                                        {"ttyUSB0", PortKind::USB},
                                                        {"rfcomm0", PortKind::RFCOMM}};
    const std::map<std::string, std::string> pathByName = {
        {"ttyACM0", arm.Path()},
        {"ttyUSB0-ttyACM1", armOnBothNames.Path()},
        {"ttyACM5", handleOnAcm.Path()},
        {"ttyUSB0", wired.Path()},
        {"rfcomm0", wireless.Path()}};
    std::vector<std::pair<std::string, PortKind>> expected;
    for (const std::string& name : dev.Listing()) {
        if (kindByName.count(name)) expected.emplace_back(pathByName.at(name), kindByName.at(name));
    }
    std::vector<std::pair<std::string, PortKind>> scanned;
    for (const PortCandidate& c : ScanSerialPorts(dev.Path())) scanned.emplace_back(c.path, c.kind);
    EXPECT_EQ(scanned, expected);

    EXPECT_EQ(
        detect_velkin3s(dev.Path()),
        dev.InListingOrder({{"ttyACM0", arm.Path()}, {"ttyUSB0-ttyACM1", armOnBothNames.Path()}}));
    EXPECT_EQ(detect_handles(dev.Path()),
              dev.InListingOrder({{"ttyUSB0", wired.Path()}, {"rfcomm0", wireless.Path()}}));
    EXPECT_EQ(detect_wired_handles(dev.Path()), Paths{wired.Path()});
    EXPECT_EQ(detect_wireless_handles(dev.Path()), Paths{wireless.Path()});

    // Each port was probed only by the functions for its kind, once per call.
    EXPECT_EQ(arm.WakeUps(), 1);
    EXPECT_EQ(armOnBothNames.WakeUps(), 1);
    EXPECT_EQ(handleOnAcm.WakeUps(), 1);
    EXPECT_EQ(wired.WakeUps(), 2);
    EXPECT_EQ(wireless.WakeUps(), 2);
    EXPECT_EQ(otherName.WakeUps(), 0);
    EXPECT_EQ(upperCase.WakeUps(), 0);
    for (FakeDevice* d : {&arm, &armOnBothNames, &handleOnAcm, &wired, &wireless}) {
        EXPECT_EQ(OpenDescriptors(d->Path()), 1) << d->Path();  // every probe closed its port
        EXPECT_EQ(d->Pty().PendingInput(), 0) << d->Path();
    }
}

TEST(Discovery, ArmIsFoundOnlyWithModelNumberFour) {
    FakeDevice model4(ArmInfo(4)), model3(ArmInfo(3));
    DeviceFolder dev;
    dev.Link("ttyACM0", model4.Path());
    dev.Link("ttyACM1", model3.Path());
    CaptureStderr();
    EXPECT_EQ(detect_velkin3s(dev.Path()), Paths{model4.Path()});
    EXPECT_EQ(ProbeVelkin3(model4.Path().c_str()), 1);
    EXPECT_EQ(ProbeVelkin3(model3.Path().c_str()), 0);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(model4.WakeUps(), 2);
    EXPECT_EQ(model3.WakeUps(), 2);
    EXPECT_EQ(model3.Pty().PendingInput(), 0);  // the whole reply was read
}

TEST(Discovery, HandleIsFoundByAStatusOrInformationMessage) {
    FakeDevice status(HandleStatus(10)), information(HandleInformation), error(HandleError);
    FakeDevice codeOnly({0xDA}), arm(ArmInfo(4));
    DeviceFolder dev;
    dev.Link("ttyUSB0", status.Path());
    dev.Link("ttyUSB1", information.Path());
    dev.Link("ttyUSB2", error.Path());
    dev.Link("rfcomm0", codeOnly.Path());  // 218 then nothing: the code alone decides
    dev.Link("rfcomm1", arm.Path());
    EXPECT_EQ(detect_handles(dev.Path()), dev.InListingOrder({{"ttyUSB0", status.Path()},
                                                              {"ttyUSB1", information.Path()},
                                                              {"rfcomm0", codeOnly.Path()}}));
    for (FakeDevice* d : {&status, &information, &error, &codeOnly, &arm}) {
        EXPECT_EQ(d->WakeUps(), 1) << d->Path();
    }
    EXPECT_EQ(status.Pty().PendingInput(), 0);  // all 31 payload bytes were read
    EXPECT_EQ(error.Pty().PendingInput(), 0);
}

TEST(Discovery, SilentPortsAreNotFoundAndAreFreeAtOnceAfterwards) {
    FakeDevice silentArm({}), silentHandle({});
    DeviceFolder dev;
    dev.Link("ttyACM0", silentArm.Path());
    dev.Link("ttyUSB0", silentHandle.Path());
    CaptureStderr();
    auto start = Clock::now();
    EXPECT_EQ(detect_velkin3s(dev.Path()), Paths{});
    EXPECT_GE(SecondsSince(start), 0.9);
    start = Clock::now();
    EXPECT_EQ(detect_handles(dev.Path()), Paths{});
    EXPECT_GE(SecondsSince(start), 0.9);
    EXPECT_EQ(GetCapturedStderr(), "");

    for (FakeDevice* d : {&silentArm, &silentHandle}) {
        EXPECT_TRUE(d->WakeUpsReach(1));
        EXPECT_EQ(OpenDescriptors(d->Path()), 1);
        CaptureStderr();
        IO::SerialStream again(d->Path().c_str(), true);
        EXPECT_EQ(GetCapturedStderr(), "");
        Devices::Handle handle(&again);
        handle.SendDeviceWakeup();
        EXPECT_TRUE(d->WakeUpsReach(2));
    }
}

TEST(Discovery, LinkAndItsTargetAreBothProbedAndListed) {
    FakeDevice arm(ArmInfo(4));
    DeviceFolder dev;
    dev.Link("ttyACM0", arm.Path());
    dev.Link("ttyACM_arm", "ttyACM0");  // a link to the link: the same device node
    const std::vector<PortCandidate> scanned = ScanSerialPorts(dev.Path());
    ASSERT_EQ(scanned.size(), 2u);
    EXPECT_EQ(scanned[0].path, arm.Path());
    EXPECT_EQ(scanned[1].path, arm.Path());
    EXPECT_EQ(detect_velkin3s(dev.Path()), (Paths{arm.Path(), arm.Path()}));
    EXPECT_EQ(arm.WakeUps(), 2);
}

TEST(Discovery, DanglingLinkNamedLikeASerialNodeFailsEveryDetection) {
    FakeDevice arm(ArmInfo(4));
    DeviceFolder dev;
    dev.Link("ttyACM0", arm.Path());
    dev.Link("rfcomm9", "/nonexistent-tamro-dir/rfcomm9");
    EXPECT_THROW(ScanSerialPorts(dev.Path()), fs::filesystem_error);
    EXPECT_THROW(detect_velkin3s(dev.Path()), fs::filesystem_error);
    EXPECT_THROW(detect_handles(dev.Path()), fs::filesystem_error);
    EXPECT_THROW(detect_wired_handles(dev.Path()), fs::filesystem_error);
    EXPECT_THROW(detect_wireless_handles(dev.Path()), fs::filesystem_error);
    EXPECT_EQ(arm.WakeUps(), 0);  // the scan fails before any probe

    // A dangling link that no pattern matches is not looked at.
    DeviceFolder other;
    other.Link("ttyS9", "/nonexistent-tamro-dir/ttyS9");
    EXPECT_TRUE(ScanSerialPorts(other.Path()).empty());
}

TEST(Discovery, MissingDirectoryGivesNothing) {
    const fs::path missing = "/nonexistent-tamro-dir/dev";
    EXPECT_TRUE(ScanSerialPorts(missing).empty());
    EXPECT_EQ(detect_velkin3s(missing), Paths{});
    EXPECT_EQ(detect_handles(missing), Paths{});
    EXPECT_EQ(detect_wired_handles(missing), Paths{});
    EXPECT_EQ(detect_wireless_handles(missing), Paths{});
}

TEST(Discovery, ProbeOfAPortThatCannotOpenReportsOnlyThePort) {
    const std::string line =
        "[err] Library/src/SerialStream:39> unable to open port '/nonexistent-tamro-dir/ttyACM0': "
        "[2] No such file or directory\n";
    CaptureStderr();
    EXPECT_EQ(ProbeVelkin3("/nonexistent-tamro-dir/ttyACM0"), 0);
    EXPECT_EQ(GetCapturedStderr(), line);
    CaptureStderr();
    EXPECT_EQ(ProbeHandle("/nonexistent-tamro-dir/ttyACM0"), 0);
    EXPECT_EQ(GetCapturedStderr(), line);
}

namespace {

// Probes for ProbeWithDeadline: plain functions, so their state lives here.
std::string seenPath;
std::thread::id seenThread;

int Answer(int result, const char* path) {
    seenPath = path;
    seenThread = std::this_thread::get_id();
    return result;
}
int AnswerZero(const char* path) { return Answer(0, path); }
int AnswerOne(const char* path) { return Answer(1, path); }
int AnswerSeven(const char* path) { return Answer(7, path); }
int Broken(const char*) { throw std::runtime_error("probe broke"); }

// A probe stuck until released, long after its deadline.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool released = false;
    Clock::time_point startedAt;
    std::atomic<bool> finished{false};
} gate;

int Stuck(const char*) {
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.started = true;
    gate.startedAt = Clock::now();
    gate.changed.notify_all();
    gate.changed.wait(lock, [] { return gate.released; });
    gate.finished = true;
    return 1;  // found, but too late to count
}
int StuckThenBroken(const char* path) {
    Stuck(path);
    throw std::runtime_error("late failure");
}

// Releases the stuck probe once the deadline is well past.
std::thread ReleaseAfter(std::chrono::milliseconds wait) {
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.started = gate.released = false;
        gate.finished = false;
    }
    return std::thread([wait] {
        std::unique_lock<std::mutex> lock(gate.mutex);
        gate.changed.wait(lock, [] { return gate.started; });
        const auto until = gate.startedAt + wait;
        lock.unlock();
        std::this_thread::sleep_until(until);
        lock.lock();
        gate.released = true;
        gate.changed.notify_all();
    });
}

}  // namespace

TEST(ProbeWithDeadline, ProbeInTimeGivesItsAnswerFromAThreadOfItsOwn) {
    const struct {
        Probe probe;
        bool found;
    } cases[] = {{AnswerZero, false}, {AnswerOne, true}, {AnswerSeven, true}};
    for (const auto& c : cases) {
        seenPath.clear();
        EXPECT_EQ(ProbeWithDeadline(c.probe, "/dev/ttyACM3", std::chrono::seconds(3)), c.found);
        EXPECT_EQ(seenPath, "/dev/ttyACM3");
        EXPECT_NE(seenThread, std::this_thread::get_id());
    }
    CaptureStderr();
    EXPECT_FALSE(ProbeWithDeadline(Broken, "/dev/ttyACM3", std::chrono::seconds(3)));
    EXPECT_EQ(GetCapturedStderr(), "probe broke\n");
}

TEST(ProbeWithDeadline, LateProbeCountsAsNotFoundOnlyAfterItEnded) {
    const std::chrono::milliseconds deadline(20);
    std::thread releaser = ReleaseAfter(deadline * 10);
    const bool found = ProbeWithDeadline(Stuck, "/dev/ttyUSB3", deadline);
    const bool finishedFirst = gate.finished;
    releaser.join();
    EXPECT_FALSE(found);
    EXPECT_TRUE(finishedFirst);
}

TEST(ProbeWithDeadline, LateProbeErrorReachesTheCaller) {
    const std::chrono::milliseconds deadline(20);
    std::thread releaser = ReleaseAfter(deadline * 10);
    EXPECT_THROW(ProbeWithDeadline(StuckThenBroken, "/dev/ttyUSB3", deadline), std::runtime_error);
    releaser.join();
    EXPECT_TRUE(gate.finished);
}

// The probes' judgement on a stream already open: what each sends, its verdict on a first
// reply, and the arm's decoded info.
TEST(Probes, JudgeTheFirstReplyAfterTheWakeUp) {
    struct Case {
        const char* name;
        Bytes reply;
        bool arm;
        std::uint8_t armModel;  // in the verdict's info
        bool handle;
    };
    Bytes cut = ArmInfo(4);
    cut.pop_back();
    const std::vector<Case> cases = {
        {"arm", ArmInfo(4), true, 4, false},
        {"arm of an earlier model", ArmInfo(3), false, 3, false},
        {"arm of a later model", ArmInfo(5), false, 5, false},
        {"arm reply cut short", cut, false, 0, false},
        {"handle status", HandleStatus(2), false, 0, true},
        {"handle information", HandleInformation, false, 0, true},
        {"handle status code alone", {0xDA}, false, 0, true},
        {"handle error response", HandleError, false, 0, false},
        {"silence", {}, false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TamroTest::ScriptedBuffer armBuffer(c.reply);
        std::iostream armStream(&armBuffer);
        const ArmVerdict verdict = JudgeVelkin3(armStream);
        EXPECT_EQ(armBuffer.written, Bytes{0x0A});
        EXPECT_EQ(verdict.isVelkin3, c.arm);
        EXPECT_EQ(verdict.info.device_model_number, c.armModel);
        if (c.armModel != 0) {
            EXPECT_EQ(verdict.info.device_id, 0x1234);
            EXPECT_EQ(verdict.info.hardware_version, 2);
            EXPECT_EQ(verdict.info.firmware_version, 7);
            EXPECT_EQ(verdict.info.uuid.data[15], 15);
        }

        TamroTest::ScriptedBuffer handleBuffer(c.reply);
        std::iostream handleStream(&handleBuffer);
        EXPECT_EQ(JudgeHandle(handleStream), c.handle);
        EXPECT_EQ(handleBuffer.written, Bytes{0x0A});
    }
}
