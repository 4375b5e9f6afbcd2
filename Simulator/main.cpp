// tamro-simulator: Velkin3 arms and handles on pseudo-terminals, for developing and testing
// programs without the hardware. See Options.cpp for the command line.
#include "EventLoop.hpp"
#include "Options.hpp"
#include "Pty.hpp"
#include "SimulatedArm.hpp"
#include "SimulatedHandle.hpp"
#include "SymbolicLink.hpp"

#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include <sys/prctl.h>
#include <sys/signalfd.h>

using namespace TamroSimulator;

namespace {

// What the simulated handles report about themselves.
constexpr std::uint8_t HandleModelNumber = 2;
constexpr std::uint8_t HardwareVersion = 1;
constexpr std::uint8_t FirmwareVersion = 3;

Identity IdentityOf(const Options& options, int index, std::uint8_t model) {
    Identity identity;
    identity.deviceId = static_cast<std::uint16_t>(options.deviceId + index);
    identity.modelNumber = model;
    identity.hardwareVersion = HardwareVersion;
    identity.firmwareVersion = FirmwareVersion;
    identity.uuid = options.uuid;
    // Count up from the given identifier, as a 128-bit big-endian number.
    unsigned carry = static_cast<unsigned>(index);
    for (int i = 15; i >= 0 && carry != 0; --i) {
        carry += identity.uuid[i];
        identity.uuid[i] = static_cast<std::uint8_t>(carry & 0xFF);
        carry >>= 8;
    }
    return identity;
}

int Serve(const Options& options, int stopFd) {
    const auto start = SimulatedDevice::Clock::now();
    EventLoop loop(ReplyDelay{std::chrono::microseconds(options.delayMicroseconds),
                              std::chrono::microseconds(options.jitterMicroseconds)});
    std::vector<std::unique_ptr<Pty>> ptys;
    std::vector<std::unique_ptr<SymbolicLink>> links;  // declared after the ptys: removed first
    if (!options.linkDirectory.empty()) {
        // Left in place on exit: only the links are ours to remove.
        std::error_code error;
        std::filesystem::create_directories(options.linkDirectory, error);
        if (error)
            throw std::runtime_error("cannot create the link folder " + options.linkDirectory +
                                     ": " + error.message());
    }

    const auto add = [&](const char* kind, const char* linkPrefix, int number,
                         std::unique_ptr<SimulatedDevice> device) {
        auto& pty = ptys.emplace_back(std::make_unique<Pty>());
        if (!options.linkDirectory.empty())
            links.push_back(
                std::make_unique<SymbolicLink>(std::filesystem::path(options.linkDirectory) /
                                                   (linkPrefix + std::to_string(number)),
                                               pty->Path()));
        loop.Add(pty->Master(), std::move(device));
        std::printf("%s %s\n", kind, pty->Path().c_str());
    };
    for (int i = 0; i < options.arms; ++i)
        add("arm", "ttyACM", i,
            std::make_unique<SimulatedArm>(IdentityOf(options, i, options.model), options.rateHz,
                                           start));
    for (int i = 0; i < options.handles; ++i)
        add("handle", "ttyUSB", i,
            std::make_unique<SimulatedHandle>(
                IdentityOf(options, options.arms + i, HandleModelNumber), start));
    std::printf("ready\n");
    std::fflush(stdout);

    loop.Run(stopFd, options.exitWithStdin ? 0 : -1);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    try {
        options = ParseOptions(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "tamro-simulator: %s (see --help)\n", e.what());
        return 2;
    }
    if (options.help) {
        std::fputs(Usage, stdout);
        return 0;
    }

    // The stop signals arrive through a descriptor in the poll, so the loop ends cleanly and
    // the destructors close the ptys and remove the links.
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, signal);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int stopFd = ::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK);
    if (stopFd < 0) {
        std::perror("tamro-simulator: signalfd");
        return 1;
    }

    // Delayed replies leave on time, not up to the default 50 us of timer slack late.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    try {
        return Serve(options, stopFd);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tamro-simulator: %s\n", e.what());
        return 1;
    }
}
