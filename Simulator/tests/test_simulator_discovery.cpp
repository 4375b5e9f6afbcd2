// Discovery finds the simulator's devices through the links it makes in a folder, and the
// simulator removes them when it stops.
#include <Tamro/HardwareAPI/Discovery.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
namespace api = Tamro::HardwareAPI;

namespace {

// The simulator as a child process: stdout read up to "ready", stdin held open so it exits
// on its own should this test die first.
class SimulatorProcess {
public:
    explicit SimulatorProcess(std::vector<std::string> arguments) {
        int out[2], in[2];
        if (::pipe(out) != 0 || ::pipe(in) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        arguments.insert(arguments.begin(), {TAMRO_SIMULATOR_PATH, "--exit-with-stdin"});
        std::vector<char*> argv;
        argv.reserve(arguments.size() + 1);
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, TAMRO_SIMULATOR_PATH, &actions, nullptr, argv.data(), environ) !=
            0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(in[0]);
        stdout_ = out[0];
        stdin_ = in[1];
    }

    ~SimulatorProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(stdout_);
        ::close(stdin_);
    }

    // The device lines printed before "ready"; empty when it does not come within 10 s.
    std::vector<std::string> DeviceLines() {
        std::string text;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (text.find("ready\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd p{stdout_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return {};
            char chunk[256];
            const ssize_t n = ::read(stdout_, chunk, sizeof chunk);
            if (n <= 0) return {};
            text.append(chunk, static_cast<std::size_t>(n));
        }
        std::vector<std::string> lines;
        for (std::size_t at = 0, next; (next = text.find('\n', at)) != std::string::npos;
             at = next + 1)
            if (text.compare(at, next - at, "ready") != 0)
                lines.push_back(text.substr(at, next - at));
        return lines;
    }

    // Sends SIGTERM and returns the exit status (-1 if it did not exit normally within 10 s).
    int Terminate() {
        ::kill(pid_, SIGTERM);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) return -1;
            pollfd none{-1, 0, 0};
            ::poll(&none, 0, 10);  // waiting on a child has no descriptor to poll
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    bool Started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    int stdout_ = -1;
    int stdin_ = -1;
};

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "tamro-sim-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& Path() const { return path_; }

private:
    fs::path path_;
};

std::vector<std::string> Sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

TEST(SimulatorDiscovery, DetectionFindsTheLinkedDevicesAndTheLinksGoAtExit) {
    TemporaryFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    SimulatorProcess simulator(
        {"--arms", "2", "--handles", "1", "--link-dir", folder.Path().string()});
    ASSERT_TRUE(simulator.Started());
    std::vector<std::string> arms, handles;
    for (const std::string& line : simulator.DeviceLines()) {
        const auto space = line.find(' ');
        ASSERT_NE(space, std::string::npos) << line;
        (line.compare(0, space, "arm") == 0 ? arms : handles).push_back(line.substr(space + 1));
    }
    ASSERT_EQ(arms.size(), 2u);
    ASSERT_EQ(handles.size(), 1u);
    for (const char* name : {"ttyACM0", "ttyACM1", "ttyUSB0"})
        EXPECT_TRUE(fs::is_symlink(folder.Path() / name)) << name;

    // The listing order is the file system's: compare as sets.
    EXPECT_EQ(Sorted(api::detect_velkin3s(folder.Path())), Sorted(arms));
    EXPECT_EQ(api::detect_wired_handles(folder.Path()), handles);
    EXPECT_EQ(api::detect_handles(folder.Path()), handles);
    EXPECT_TRUE(api::detect_wireless_handles(folder.Path()).empty());
    // Probing closed the ports; the simulator still answers the next one.
    EXPECT_EQ(Sorted(api::detect_velkin3s(folder.Path())), Sorted(arms));

    EXPECT_EQ(simulator.Terminate(), 0);
    EXPECT_TRUE(fs::is_empty(folder.Path()));
}

TEST(SimulatorDiscovery, ArmsOfAnotherModelAreNotFound) {
    TemporaryFolder folder;
    SimulatorProcess simulator(
        {"--arms", "1", "--handles", "0", "--model", "3", "--link-dir", folder.Path().string()});
    ASSERT_EQ(simulator.DeviceLines().size(), 1u);
    EXPECT_TRUE(api::detect_velkin3s(folder.Path()).empty());
    EXPECT_EQ(simulator.Terminate(), 0);
}
