// The native loops as a small C library for bench/run.py (ctypes), so the raw loop and the
// library from C++ run in the Python benchmark's own process and alternate with the Python
// rows block by block against the same peer.
#include "BenchRunners.hpp"

using namespace TamroBench;

namespace {

template <typename T>
T* Opened(T* runner) {
    if (runner->Ok()) return runner;
    delete runner;
    return nullptr;
}

}  // namespace

extern "C" {

// An arm port: raw (library 0) or through Velkin3 (library 1); echo 0 for a flooding peer.
// Null when it cannot be opened.
__attribute__((visibility("default"))) void* tamro_bench_arm_open(const char* path, int library,
                                                                  int echo) {
    ArmRunner* arm =
        library ? Opened<ArmRunner>(new LibraryArm(path)) : Opened<ArmRunner>(new RawArm(path));
    if (arm) arm->ExpectEcho(echo != 0);
    return arm;
}

// count exchanges, forces starting at first; times in microseconds into samples. Returns the
// number answered wrong.
__attribute__((visibility("default"))) long tamro_bench_arm_run(void* arm, long count, double first,
                                                                double* samples) {
    return static_cast<ArmRunner*>(arm)->Run(count, first, samples);
}

__attribute__((visibility("default"))) void tamro_bench_arm_close(void* arm) {
    delete static_cast<ArmRunner*>(arm);
}

// A status stream reader: raw (library 0) or a Handle subclass (library 1).
__attribute__((visibility("default"))) void* tamro_bench_status_open(const char* path, int library,
                                                                     int user_data) {
    if (library) {
        return Opened<StatusReader>(
            new LibraryStatusReader(path, static_cast<std::uint8_t>(user_data)));
    }
    return Opened<StatusReader>(new RawStatusReader(path));
}

// Receives count messages; their time in seconds. *failures grows by the short or
// out-of-order ones.
__attribute__((visibility("default"))) double tamro_bench_status_run(void* reader, long count,
                                                                     long* failures) {
    return static_cast<StatusReader*>(reader)->Run(count, *failures);
}

__attribute__((visibility("default"))) void tamro_bench_status_close(void* reader) {
    delete static_cast<StatusReader*>(reader);
}

}  // extern "C"
