// Handle status messages streamed by a peer thread as fast as the line takes them, received
// by a plain C++ Handle subclass through Receive and by a raw loop making the same three
// reads (header, fixed part, user data) by hand, alternating in blocks. Messages per second;
// prints one JSON object.
//
//   bench-handle-receive [--messages N] [--block B] [--user-data N] [--path PTY]
//
// --messages: per way (default 200000); --block: messages per block (default 2000);
// --path: a running `bench-peer status`'s pty instead of a peer thread.
#include "BenchSupport.hpp"

#include <optional>

using namespace TamroBench;

int main(int argc, char** argv) {
    const Args args(argc, argv);
    if (!args.Check({"--messages", "--block", "--user-data", "--path"})) return 2;
    const long messages = args.Integer("--messages", 200000);
    const long block = std::max(1L, args.Integer("--block", 2000));
    const auto userData = static_cast<std::uint8_t>(args.Integer("--user-data", 3));
    std::string path = args.String("--path", "");

    std::optional<PeerThread> peer;
    if (path.empty()) {
        peer.emplace(Mode::Status, userData);
        path = peer->Path();
    }

    // Both readers stay open; only one reads at a time, and each stops on a message boundary,
    // so the other goes on where it stopped.
    RawStatusReader raw(path);
    LibraryStatusReader library(path, userData);
    if (!raw.Ok() || !library.Ok()) return 2;

    long failures = 0;
    raw.Run(block, failures);
    library.Run(block, failures);
    double rawTime = 0, libraryTime = 0;
    for (long done = 0, b = 0; done < messages; done += block, ++b) {
        const long n = std::min(block, messages - done);
        if (b % 2 == 0) {
            rawTime += raw.Run(n, failures);
            libraryTime += library.Run(n, failures);
        } else {
            libraryTime += library.Run(n, failures);
            rawTime += raw.Run(n, failures);
        }
    }

    const double rawRate = static_cast<double>(messages) / rawTime;
    const double libraryRate = static_cast<double>(messages) / libraryTime;
    Json()
        .Text("peer", peer ? "thread" : "process")
        .Number("user_data", userData)
        .Number("failures", static_cast<double>(failures))
        .Number("raw_messages_per_s", rawRate)
        .Number("library_messages_per_s", libraryRate)
        .Number("ratio", libraryRate / rawRate)
        .Print();
    return failures == 0 ? 0 : 1;
}
