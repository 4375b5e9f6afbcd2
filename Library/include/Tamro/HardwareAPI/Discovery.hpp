#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace Tamro::HardwareAPI {

// Which name pattern a serial node matched, tested in this order.
enum class PortKind : int {
    ACM = 1,     // "ttyACM": arms
    USB = 2,     // "ttyUSB": wired handles
    RFCOMM = 3,  // "rfcomm": wireless handles
};

struct PortCandidate {
    std::string path;  // canonical: links resolved
    PortKind kind;
};

using Probe = int (*)(const char* path);

// Lists serial nodes in deviceDirectory, in listing order. A missing directory gives none;
// a listing error or a node that cannot be made canonical throws std::filesystem::filesystem_error.
std::vector<PortCandidate> ScanSerialPorts(const std::filesystem::path& deviceDirectory = "/dev");

// Each opens the port, judges it with JudgeVelkin3 or JudgeHandle (Probes.hpp) and closes
// the port: 1 when the requested device answered, else 0.
int ProbeVelkin3(const char* path);
int ProbeHandle(const char* path);

// Runs probe(path) on a thread of its own and waits for it until deadline; a late probe is
// still waited for, and counts as not found.
bool ProbeWithDeadline(Probe probe, const std::string& path, std::chrono::milliseconds deadline);

// Paths of the ports that answered, in listing order. Probes run one after another:
// about one second per silent port.
std::vector<std::string> detect_velkin3s(const std::filesystem::path& deviceDirectory = "/dev");
std::vector<std::string> detect_handles(const std::filesystem::path& deviceDirectory = "/dev");
std::vector<std::string> detect_wired_handles(
    const std::filesystem::path& deviceDirectory = "/dev");
std::vector<std::string> detect_wireless_handles(
    const std::filesystem::path& deviceDirectory = "/dev");

}  // namespace Tamro::HardwareAPI
