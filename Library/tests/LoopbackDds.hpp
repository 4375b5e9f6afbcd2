// What every network test shares: DDS on the shipped loopback-only configuration, in a domain
// of the run's own, and Cyclone's threads outside ThreadSanitizer's judgement. Include it in
// one file per test program.
#pragma once

#include <cstdlib>
#include <memory>
#include <random>

#if defined(__SANITIZE_THREAD__)
// Cyclone DDS's own threads hand buffers to each other with synchronisation ThreadSanitizer
// cannot see (the library is not instrumented): what happens inside it is not ours to judge.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libddsc.so.0debian\n";
}
#endif

namespace TamroTest {

// Loopback only, in a domain of this run's own.
inline int LoopbackDomain() {
    ::setenv("CYCLONEDDS_URI", "file://" TAMRO_LOOPBACK_CONFIG, 1);
    return std::uniform_int_distribution<int>(100, 230)(*std::make_unique<std::random_device>());
}

}  // namespace TamroTest
