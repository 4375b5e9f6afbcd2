#include <Tamro/HardwareAPI/Discovery.hpp>

#include <Tamro/HardwareAPI/IO/SerialStream.hpp>
#include <Tamro/HardwareAPI/Probes.hpp>

#include "Deadline.hpp"

#include <cstdio>
#include <exception>
#include <future>
#include <initializer_list>
#include <iostream>
#include <optional>

namespace Tamro::HardwareAPI {

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds ArmProbeDeadline{3};
constexpr std::chrono::seconds HandleProbeDeadline{5};

std::optional<PortKind> KindOf(const std::string& fileName) {
    if (fileName.find("ttyACM") != std::string::npos) return PortKind::ACM;
    if (fileName.find("ttyUSB") != std::string::npos) return PortKind::USB;
    if (fileName.find("rfcomm") != std::string::npos) return PortKind::RFCOMM;
    return std::nullopt;
}

std::vector<std::string> Detect(const fs::path& deviceDirectory,
                                std::initializer_list<PortKind> kinds, Probe probe,
                                std::chrono::milliseconds deadline) {
    std::vector<std::string> found;
    for (const PortCandidate& candidate : ScanSerialPorts(deviceDirectory)) {
        bool wanted = false;
        for (PortKind kind : kinds) wanted = wanted || kind == candidate.kind;
        if (wanted && ProbeWithDeadline(probe, candidate.path, deadline)) {
            found.push_back(candidate.path);
        }
    }
    return found;
}

}  // namespace

std::vector<PortCandidate> ScanSerialPorts(const fs::path& deviceDirectory) {
    std::vector<PortCandidate> candidates;
    if (!fs::exists(deviceDirectory)) return candidates;
    for (const fs::directory_entry& entry : fs::directory_iterator(deviceDirectory)) {
        const std::string name = entry.path().filename().string();
        if (const auto kind = KindOf(name)) {
            candidates.push_back({fs::canonical(deviceDirectory / name).string(), *kind});
        }
    }
    return candidates;
}

int ProbeVelkin3(const char* path) {
    try {
        IO::SerialStream stream(path, false);
        if (stream.OpenPort() != 1) return 0;
        const bool found = JudgeVelkin3(stream).isVelkin3;
        stream.ClosePort();
        return found ? 1 : 0;
    } catch (const std::exception& e) {
        std::printf("exception: %s\n", e.what());
        std::fflush(stdout);
        return 0;
    }
}

int ProbeHandle(const char* path) {
    try {
        IO::SerialStream stream(path, false);
        if (stream.OpenPort() != 1) return 0;
        const bool found = JudgeHandle(stream);
        stream.ClosePort();
        return found ? 1 : 0;
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 0;
    }
}

bool ProbeWithDeadline(Probe probe, const std::string& path, std::chrono::milliseconds deadline) {
    std::future<int> task =
        std::async(std::launch::async, [probe, path] { return probe(path.c_str()); });
    const Detail::Deadline until(deadline);
    if (task.wait_until(until.When()) == std::future_status::ready) {
        try {
            return task.get() != 0;
        } catch (const std::exception& e) {
            std::cerr << e.what() << '\n';
            return false;
        }
    }
    task.get();  // wait for the late probe to end; an error it ended with is not ours to hide
    return false;
}

std::vector<std::string> detect_velkin3s(const fs::path& deviceDirectory) {
    return Detect(deviceDirectory, {PortKind::ACM}, ProbeVelkin3, ArmProbeDeadline);
}

std::vector<std::string> detect_handles(const fs::path& deviceDirectory) {
    return Detect(deviceDirectory, {PortKind::USB, PortKind::RFCOMM}, ProbeHandle,
                  HandleProbeDeadline);
}

std::vector<std::string> detect_wired_handles(const fs::path& deviceDirectory) {
    return Detect(deviceDirectory, {PortKind::USB}, ProbeHandle, HandleProbeDeadline);
}

std::vector<std::string> detect_wireless_handles(const fs::path& deviceDirectory) {
    return Detect(deviceDirectory, {PortKind::RFCOMM}, ProbeHandle, HandleProbeDeadline);
}

}  // namespace Tamro::HardwareAPI
