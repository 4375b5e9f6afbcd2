// One arm exchange (13 bytes out, 1 + 24 bytes back) over a pseudo-terminal against a peer
// thread that answers at once, two ways: a raw loop making the write/read/poll calls by
// hand, and Velkin3::end_effector_force on a SerialStream. The two alternate in small
// blocks, so a change in the machine's load falls on both alike. Prints one JSON object.
//
//   bench-exchange [--exchanges N] [--block B] [--warmup W] [--peer arm|flood] [--path PTY]
//
// --exchanges: per way (default 20000); --block: exchanges per block (default 100);
// --peer flood: the replies are already waiting, so the figures are the cost of the calls
// alone, without the wake-ups; --path: a running bench-peer's pty instead of a peer thread.
#include "BenchSupport.hpp"

#include <optional>

using namespace TamroBench;

int main(int argc, char** argv) {
    const Args args(argc, argv);
    if (!args.Check({"--exchanges", "--block", "--warmup", "--peer", "--path"})) return 2;
    const long exchanges = args.Integer("--exchanges", 20000);
    const long block = std::max(1L, args.Integer("--block", 100));
    const long warmup = args.Integer("--warmup", 500);
    std::string path = args.String("--path", "");
    Mode mode;
    if (!ParseMode(args.String("--peer", "arm").c_str(), mode) ||
        (mode != Mode::Arm && mode != Mode::Flood)) {
        std::fprintf(stderr, "--peer is arm or flood\n");
        return 2;
    }

    std::optional<PeerThread> peer;
    if (path.empty()) {
        peer.emplace(mode);
        path = peer->Path();
    }

    RawArm raw(path);
    LibraryArm library(path);
    if (!raw.Ok() || !library.Ok()) return 2;
    raw.ExpectEcho(mode == Mode::Arm);
    library.ExpectEcho(mode == Mode::Arm);

    double sequence = 1;
    long failures = raw.Run(warmup, sequence, nullptr);
    failures += library.Run(warmup, sequence += static_cast<double>(warmup), nullptr);
    sequence += static_cast<double>(warmup);

    std::vector<double> rawSamples(static_cast<std::size_t>(exchanges));
    std::vector<double> librarySamples(static_cast<std::size_t>(exchanges));
    for (long done = 0, b = 0; done < exchanges; done += block, ++b) {
        const long n = std::min(block, exchanges - done);
        // Which goes first alternates too.
        ArmRunner* order[2] = {&raw, &library};
        if (b % 2) std::swap(order[0], order[1]);
        for (ArmRunner* runner : order) {
            // On a flooded line, let the peer fill it again, so no read of the block waits.
            if (mode == Mode::Flood) ::usleep(1000);
            double* samples = (runner == &raw ? rawSamples : librarySamples).data() + done;
            failures += runner->Run(n, sequence, samples);
            sequence += static_cast<double>(n);
        }
    }

    const Summary rawSummary = Summarise(rawSamples);
    const Summary librarySummary = Summarise(librarySamples);
    Json json;
    json.Text("peer", peer ? "thread" : "process")
        .Number("failures", static_cast<double>(failures))
        .Stats("raw", rawSummary)
        .Stats("library", librarySummary)
        .Number("ratio_mean", librarySummary.mean / rawSummary.mean)
        .Number("ratio_p50", librarySummary.p50 / rawSummary.p50);
    if (peer) json.Number("peer_served", static_cast<double>(peer->Stop()));
    json.Print();
    return failures == 0 ? 0 : 1;
}
