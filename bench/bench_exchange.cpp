// One arm exchange (13 bytes out, 1 + 24 bytes back) over a pseudo-terminal, two ways:
// a raw loop making the write/read/poll calls by hand, and Velkin3::end_effector_force on a
// SerialStream. Rounds of the two alternate, so a change in the machine's load falls on
// both alike. Prints one JSON object.
//
//   bench-exchange [--exchanges N] [--rounds R] [--warmup W] [--only raw|library|both]
//                  [--path PTY]   (a running bench-peer's pty instead of a peer thread)
#include "BenchSupport.hpp"

#include <Tamro/HardwareAPI/Devices/Velkin3.hpp>
#include <Tamro/HardwareAPI/IO/SerialStream.hpp>

#include <memory>
#include <optional>

using namespace TamroBench;
using Tamro::HardwareAPI::Devices::Velkin3;
using Tamro::HardwareAPI::IO::SerialStream;

namespace {

// The library's timed read without its clock: read at once, then sleep in poll until
// readable, until count bytes are in.
bool RawRead(int fd, std::uint8_t* destination, std::size_t count) {
    std::size_t got = 0;
    for (;;) {
        const ssize_t n = ::read(fd, destination + got, count - got);
        if (n < 0) return false;
        got += static_cast<std::size_t>(n);
        if (got >= count) return true;
        if (n > 0) continue;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 1000) <= 0) return false;
    }
}

struct State {
    float position[3];
    float velocity[3];
};

bool RawExchange(int fd, const float* force, State& state) {
    std::uint8_t request[RequestLength];
    request[0] = ForceRequest;
    std::memcpy(request + 1, force, 12);
    if (::write(fd, request, sizeof request) != static_cast<ssize_t>(sizeof request)) return false;
    std::uint8_t reply[ReplyLength];
    if (!RawRead(fd, reply, 1) || reply[0] != EndEffectorState) return false;
    if (!RawRead(fd, reply + 1, ReplyLength - 1)) return false;
    std::memcpy(state.position, reply + 1, 12);
    std::memcpy(state.velocity, reply + 13, 12);
    return true;
}

bool Answered(const float* force, const float* position, const float* velocity) {
    for (int k = 0; k < 3; ++k) {
        if (position[k] != force[k] || velocity[k] != -force[k]) return false;
    }
    return true;
}

struct Runner {
    virtual ~Runner() = default;
    // Times one exchange in microseconds; false when the answer was wrong or missing.
    virtual bool Exchange(const float* force, double& micros) = 0;
};

struct RawRunner : Runner {
    int fd;
    explicit RawRunner(const std::string& path) {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            std::perror(path.c_str());
            std::exit(2);
        }
        ConfigureLikeLibrary(fd);
    }
    ~RawRunner() override { ::close(fd); }
    bool Exchange(const float* force, double& micros) override {
        State state{};
        const auto start = Clock::now();
        const bool ok = RawExchange(fd, force, state);
        micros = Microseconds(Clock::now() - start);
        return ok && Answered(force, state.position, state.velocity);
    }
};

struct LibraryRunner : Runner {
    SerialStream stream;
    Velkin3 arm;
    explicit LibraryRunner(const std::string& path) : stream(path.c_str(), true), arm(&stream) {
        if (!stream.IsOpen()) std::exit(2);
    }
    bool Exchange(const float* force, double& micros) override {
        const auto start = Clock::now();
        const auto state = arm.end_effector_force(force);
        micros = Microseconds(Clock::now() - start);
        return Answered(force, state.position.data(), state.velocity.data());
    }
};

// Runs count exchanges, appending their times; the number that failed.
long Run(Runner& runner, long count, long& sequence, std::vector<double>* samples) {
    long failures = 0;
    for (long i = 0; i < count; ++i) {
        const float force[3] = {static_cast<float>(++sequence), 0.5f, -2.0f};
        double micros = 0;
        if (!runner.Exchange(force, micros)) ++failures;
        if (samples) samples->push_back(micros);
    }
    return failures;
}

double Mean(const std::vector<double>& v, std::size_t from) {
    double total = 0;
    for (std::size_t i = from; i < v.size(); ++i) total += v[i];
    return v.size() > from ? total / static_cast<double>(v.size() - from) : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    const Args args(argc, argv);
    if (!args.Check({"--exchanges", "--rounds", "--warmup", "--only", "--path"})) return 2;
    const long exchanges = args.Integer("--exchanges", 2000);
    const long rounds = args.Integer("--rounds", 10);
    const long warmup = args.Integer("--warmup", 500);
    const std::string only = args.String("--only", "both");
    std::string path = args.String("--path", "");

    std::optional<PeerThread> peer;
    if (path.empty()) {
        peer.emplace(Mode::Arm);
        path = peer->Path();
    }

    std::unique_ptr<Runner> raw, library;
    if (only != "library") raw = std::make_unique<RawRunner>(path);
    if (only != "raw") library = std::make_unique<LibraryRunner>(path);

    long sequence = 0;
    long failures = 0;
    if (raw) failures += Run(*raw, warmup, sequence, nullptr);
    if (library) failures += Run(*library, warmup, sequence, nullptr);

    std::vector<double> rawSamples, librarySamples, roundRatios;
    for (long r = 0; r < rounds; ++r) {
        const std::size_t rawFrom = rawSamples.size(), libraryFrom = librarySamples.size();
        Runner* first = (r % 2 == 0) ? raw.get() : library.get();
        Runner* second = (r % 2 == 0) ? library.get() : raw.get();
        for (Runner* runner : {first, second}) {
            if (!runner) continue;
            failures += Run(*runner, exchanges, sequence,
                            runner == raw.get() ? &rawSamples : &librarySamples);
        }
        if (raw && library) {
            roundRatios.push_back(Mean(librarySamples, libraryFrom) / Mean(rawSamples, rawFrom));
        }
    }

    Json json;
    json.Text("peer", peer ? "thread" : "process").Number("failures", static_cast<double>(failures));
    Summary rawSummary, librarySummary;
    if (raw) json.Stats("raw", rawSummary = Summarise(rawSamples));
    if (library) json.Stats("library", librarySummary = Summarise(librarySamples));
    if (raw && library) {
        json.Number("ratio_mean", librarySummary.mean / rawSummary.mean)
            .Number("ratio_p50", librarySummary.p50 / rawSummary.p50)
            .Number("ratio_round_median", Summarise(roundRatios).p50);
    }
    if (peer) json.Number("peer_served", static_cast<double>(peer->Stop()));
    json.Print();
    return failures == 0 ? 0 : 1;
}
