// What waiting costs: the CPU time (user + system, this thread only) of an arm exchange on a
// port that never answers, which sends its request and then waits out the one-second read
// time-out. Beside it, for scale, the same second spent the old way: a read every 100
// microseconds with a blind sleep in between. Prints one JSON object.
//
//   bench-silent-wait [--waits N] [--blind 0|1]
#include "BenchSupport.hpp"

#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

using namespace TamroBench;
using Tamro::HardwareAPI::Devices::Velkin3;
using Tamro::HardwareAPI::IO::SerialStream;

int main(int argc, char** argv) {
    const Args args(argc, argv);
    if (!args.Check({"--waits", "--blind"})) return 2;
    const long waits = args.Integer("--waits", 3);
    const bool blind = args.Integer("--blind", 1) != 0;

    PeerThread peer(Mode::Silent);
    std::vector<double> cpu, wall;
    long failures = 0;
    for (long i = 0; i < waits; ++i) {
        // A fresh stream each time: after a time-out the stream stays failed and answers at once.
        SerialStream stream(peer.Path().c_str(), true);
        Velkin3 arm(&stream);
        const float force[3] = {1.0f, 2.0f, 3.0f};
        const double cpuStart = ThreadCpuMs();
        const auto start = Clock::now();
        const auto state = arm.end_effector_force(force);
        wall.push_back(Microseconds(Clock::now() - start) / 1e3);
        cpu.push_back(ThreadCpuMs() - cpuStart);
        // A silent arm leaves zeros; anything else means the wait did not happen.
        if (state.position[0] != 0.0f || wall.back() < 900.0) ++failures;
    }

    double blindCpu = 0;
    if (blind) {
        const int fd = RawOpen(peer.Path());
        if (fd < 0) return 2;
        std::uint8_t byte = 0;
        const double cpuStart = ThreadCpuMs();
        const auto end = Clock::now() + std::chrono::seconds(1);
        while (Clock::now() < end && ::read(fd, &byte, 1) == 0) ::usleep(100);
        blindCpu = ThreadCpuMs() - cpuStart;
        ::close(fd);
    }
    const double requests = static_cast<double>(peer.Stop());

    // The first wait of a process also pays for cold code (page faults, lazy binding).
    double warm = 0;
    for (std::size_t i = 1; i < cpu.size(); ++i) warm += cpu[i];
    if (cpu.size() > 1) warm /= static_cast<double>(cpu.size() - 1);
    Json json;
    json.List("cpu_ms", cpu);
    const Summary cpuSummary = Summarise(cpu), wallSummary = Summarise(wall);
    if (blind) json.Number("blind_sleep_cpu_ms", blindCpu);
    json.Number("waits", static_cast<double>(waits))
        .Number("failures", static_cast<double>(failures) +
                                (requests == static_cast<double>(waits) ? 0.0 : 1.0))
        .Number("cpu_ms_first", cpu.empty() ? 0.0 : cpu.front())
        .Number("cpu_ms_warm_mean", warm)
        .Number("cpu_ms_max", cpuSummary.max)
        .Number("wall_ms_mean", wallSummary.mean)
        .Print();
    return failures == 0 ? 0 : 1;
}
