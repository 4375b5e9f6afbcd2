// The peer as a process of its own, for benchmarks that must not share a process (or an
// interpreter lock) with it: creates a pseudo-terminal, prints its path on one line, serves
// it until its standard input closes, then prints how many requests or messages it served.
//
//   bench-peer arm|silent|flood|status [USER_DATA_LENGTH]
#include "BenchPeer.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>

using namespace TamroBench;

int main(int argc, char** argv) {
    Mode mode;
    if (argc < 2 || argc > 3 || !ParseMode(argv[1], mode)) {
        std::fprintf(stderr, "usage: bench-peer arm|silent|flood|status [USER_DATA_LENGTH]\n");
        return 2;
    }
    const long userData = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 3;
    if (userData < 0 || userData > 255) {
        std::fprintf(stderr, "bench-peer: user data length is 0 to 255\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    Pty pty;
    if (!pty.Open()) {
        std::perror("bench-peer: pty");
        return 1;
    }
    std::printf("%s\n", pty.Path().c_str());
    std::fflush(stdout);

    const std::uint64_t served =
        Serve(pty.Master(), STDIN_FILENO, mode, static_cast<std::uint8_t>(userData));
    std::printf("served %llu\n", static_cast<unsigned long long>(served));
    return 0;
}
