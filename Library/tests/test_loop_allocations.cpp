// A running servo loop or handle reader allocates nothing: every call to the allocator from a
// thread other than the test's own is counted while the loop runs thousands of cycles, being
// steered and read meanwhile. The fake device is a child process here.
#include "BoxMesh.hpp"
#include "FakeDevices.hpp"

#include <Tamro/HardwareAPI/Control/HandleReader.hpp>
#include <Tamro/HardwareAPI/Control/Mesh.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
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

[[maybe_unused]] void Note() {
    if (counting.load(std::memory_order_relaxed) && !testThread)
        allocations.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

#if !TAMRO_SANITIZED
// glibc's own allocator, under its own names: the functions below stand in front of it.
// NOLINTBEGIN(bugprone-reserved-identifier)
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
// NOLINTEND(bugprone-reserved-identifier)
#endif

namespace {

// Plays device in a child process until the end of the test, so that its allocations are
// not ours; the child's pid.
pid_t InChild(TamroTest::ServedPty& device) {
    const pid_t child = ::fork();
    if (child == 0) {
        device.ServeHere();
        std::_Exit(0);
    }
    return child;
}

void Finish(pid_t child) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

}  // namespace

TEST(ServoLoop, RunsWithoutAllocating) {
    if (TAMRO_SANITIZED) GTEST_SKIP() << "the sanitizers replace the allocator";
    testThread = true;
    for (const int inFlight : {1, 3}) {  // one request at a time, and a pipeline
        TamroTest::FakeArm arm(TamroTest::FakeArm::Counting, true, /*background=*/false);
        ASSERT_TRUE(arm.Opened());
        const pid_t child = InChild(arm);
        ASSERT_GE(child, 0);
        allocations = 0;
        {
            ServoOptions options;
            options.rateHz = 0;         // free-running: as many cycles as the line allows
            options.faultTimeout = 1s;  // a loaded machine's stall is no fault here
            options.inFlight = inFlight;
            ServoLoop loop(arm.Path(), options);
            Mesh mesh;  // a closed box about the arm, its proxy stepped every cycle
            mesh.tree = TamroTest::BoxMesh({-0.05, -0.05, -0.05}, {0.05, 0.05, 0.05});
            mesh.stiffness = 1000;
            mesh.staticFriction = 0.5;
            const std::vector<Effect> effects = {Spring{{0.01, 0, 0}, 200, 2},
                                                 Plane{{0, 0, -0.02}, {0, 0, 1}, 2000, 5}, mesh};
            loop.SetEffects(effects);
            loop.Record(100000);
            // A publisher's outlet and streamed commands, as a network node uses them.
            ASSERT_TRUE(loop.CycleOutlet().Claim());
            loop.Commands().Accept({});
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
                loop.CycleOutlet().Take(drained.data(), drained.size());
                const auto stamp = std::chrono::system_clock::now().time_since_epoch();
                loop.Commands().Target({0.01, 0, 0}, stamp);
                loop.Commands().Force({0, 0, 0.1}, stamp);
                std::this_thread::sleep_for(1ms);
            }
            counting = false;
            EXPECT_GE(loop.State().cycle, from + 3000) << inFlight << " in flight";
            loop.Stop();
        }
        Finish(child);
        EXPECT_EQ(allocations.load(), 0)
            << "allocations by the loop thread while it ran, " << inFlight << " in flight";
    }
}

TEST(HandleReader, RunsWithoutAllocating) {
    if (TAMRO_SANITIZED) GTEST_SKIP() << "the sanitizers replace the allocator";
    testThread = true;
    TamroTest::FakeHandle handle(TamroTest::FakeHandle::Counting, true, /*background=*/false);
    ASSERT_TRUE(handle.Opened());
    const pid_t child = InChild(handle);
    ASSERT_GE(child, 0);
    allocations = 0;
    {
        HandleReaderOptions options;
        options.rateHz = 0;
        options.faultTimeout = 1s;
        HandleReader reader(handle.Path(), options);
        reader.Record(100000);
        ASSERT_TRUE(reader.StatusOutlet().Claim());
        std::vector<HandleStatus> published(64);
        while (reader.Latest().count < 200 && reader.Running()) std::this_thread::sleep_for(1ms);

        counting = true;
        const std::uint64_t from = reader.Latest().count;
        std::vector<HandleRecord> drained(100000);
        HandleEvent events[16];
        const std::uint8_t data[3] = {1, 2, 3};
        while (reader.Latest().count < from + 3000 && reader.Running()) {
            reader.SendUserData(data, sizeof data);
            (void)reader.Stats();
            reader.Drain(drained.data(), drained.size());
            reader.DrainEvents(events, 16);
            reader.StatusOutlet().Take(published.data(), published.size());
            std::this_thread::sleep_for(1ms);
        }
        counting = false;
        EXPECT_GE(reader.Latest().count, from + 3000);
    }
    Finish(child);
    EXPECT_EQ(allocations.load(), 0) << "allocations by the reader thread while it ran";
}

TEST(MeshProxy, StepsWithoutAllocating) {
    if (TAMRO_SANITIZED) GTEST_SKIP() << "the sanitizers replace the allocator";
    testThread = true;
    // A closed box, touched through faces, edges, a corner and with friction, on a thread of
    // its own as the loop would.
    const auto tree = TamroTest::BoxMesh({-0.05, -0.05, -0.05}, {0.05, 0.05, 0.05});
    MeshProxy proxy(tree);
    MeshProxy::Parameters p;
    p.stiffness = 1000;
    p.staticFriction = 0.5;
    p.dynamicFriction = 0.3;
    std::atomic<bool> go{false}, done{false};
    double sink = 0;
    std::thread loop([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 20000; ++i) {
            const double s = i * 1e-3;
            const Vec3 x{0.07 * std::cos(s), 0.07 * std::sin(1.3 * s), 0.06 * std::cos(0.7 * s)};
            sink += proxy.Step(p, x, {}, 1e-3)[0];
        }
        done = true;
    });
    allocations = 0;
    counting = true;
    go = true;
    while (!done.load()) std::this_thread::sleep_for(1ms);
    counting = false;
    loop.join();
    EXPECT_TRUE(std::isfinite(sink));
    EXPECT_EQ(allocations.load(), 0) << "allocations by the mesh proxy while it stepped";
}
