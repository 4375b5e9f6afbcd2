// A running servo loop allocates nothing: every call to the allocator from a thread other
// than the test's own is counted while the loop runs thousands of cycles, with effects being
// changed and state, figures and records being read meanwhile. The fake arm is a child
// process here, so that its allocations are not ours.
#include "FakeArm.hpp"

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAMRO_SANITIZED 1  // the sanitizers own the allocator; nothing to interpose
#else
#define TAMRO_SANITIZED 0
#endif

using namespace Tamro::HardwareAPI::Control;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
thread_local bool testThread = false;

void Note() {
    if (counting.load(std::memory_order_relaxed) && !testThread)
        allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if !TAMRO_SANITIZED
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);

void* malloc(std::size_t n) {
    Note();
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
    Note();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
    Note();
    return __libc_realloc(p, n);
}
void* memalign(std::size_t alignment, std::size_t n) {
    Note();
    return __libc_memalign(alignment, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) { return memalign(alignment, n); }
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    *out = memalign(alignment, n);
    return *out != nullptr ? 0 : ENOMEM;
}
}
#endif

namespace {

// The fake arm's device side, served by a child process until it is killed.
[[noreturn]] void ServeArm(int master) {
    TamroTest::Bytes pending;
    std::size_t n = 0;
    for (;;) {
        std::uint8_t chunk[256];
        const ssize_t got = ::read(master, chunk, sizeof chunk);
        if (got <= 0) {
            ::usleep(100);
            continue;
        }
        pending.insert(pending.end(), chunk, chunk + got);
        std::size_t used = 0;
        while (used < pending.size()) {
            TamroTest::Bytes reply;
            if (pending[used] == TamroTest::Messages::DeviceWakeup) {
                reply = TamroTest::DeviceInfoReply();
                used += 1;
            } else if (pending[used] == TamroTest::Messages::ForceRequest) {
                if (pending.size() - used < TamroTest::Messages::RequestLength) break;
                reply = *TamroTest::FakeArm::Counting(n++, {});
                used += TamroTest::Messages::RequestLength;
            } else {
                used += 1;
            }
            if (!reply.empty() && ::write(master, reply.data(), reply.size()) < 0) std::_Exit(1);
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
    }
}

}  // namespace

TEST(ServoLoop, RunsWithoutAllocating) {
    if (TAMRO_SANITIZED) GTEST_SKIP() << "the sanitizers replace the allocator";
    testThread = true;
    TamroTest::PtyPair pty;
    ASSERT_TRUE(pty.Open());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ServeArm(pty.MasterFd());

    {
        ServoOptions options;
        options.rateHz = 0;  // free-running: as many cycles as the line allows
        ServoLoop loop(pty.Path(), options);
        const std::vector<Effect> effects = {Spring{{0.01, 0, 0}, 200, 2},
                                             Plane{{0, 0, -0.02}, {0, 0, 1}, 2000, 5}};
        loop.SetEffects(effects);
        loop.Record(100000);
        ASSERT_TRUE(loop.Start());
        while (loop.State().cycle < 200 && loop.Running()) std::this_thread::sleep_for(1ms);

        counting = true;
        const std::uint64_t from = loop.State().cycle;
        std::vector<CycleState> drained(100000);
        while (loop.State().cycle < from + 3000 && loop.Running()) {
            // Steering and reading meanwhile (their own allocations are not counted).
            loop.SetEffects(effects);
            (void)loop.Stats();
            loop.Drain(drained.data(), drained.size());
            std::this_thread::sleep_for(1ms);
        }
        counting = false;
        EXPECT_GE(loop.State().cycle, from + 3000);
        loop.Stop();
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(allocations.load(), 0) << "allocations by the loop thread while it ran";
}
