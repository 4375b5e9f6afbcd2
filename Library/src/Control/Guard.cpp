#include "Guard.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <new>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace Tamro::HardwareAPI::Control::Detail {

namespace {

namespace Messages = Devices::Messages;

// Where the guard keeps what it holds; every other descriptor is closed.
constexpr int PortSlot = 3;
constexpr int PipeSlot = 4;

// How long a clean release waits for the guard to leave before it is killed.
constexpr auto LeaveTimeout = std::chrono::seconds(1);

// --- the guard's process: async-signal-safe calls only from here to RunGuard's end ---

std::int64_t MonotonicNs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The whole request, whatever the port's non-blocking mode makes of it, in a bounded number of
// tries; a tty never interleaves it with the owner's own writes.
void WriteZeroForce(int port) noexcept {
    std::uint8_t request[Messages::RequestLength] = {Messages::ForceRequest};  // 0.0f: all zero
    std::size_t done = 0;
    for (int tries = 0; done < sizeof request && tries < 20; ++tries) {
        const ssize_t n = ::write(port, request + done, sizeof request - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;  // the port is gone
        pollfd out{port, POLLOUT, 0};
        ::poll(&out, 1, 5);
    }
}

// The port and the pipe moved to their slots; standard streams and everything else closed, so
// the guard holds nothing of its owner's (another loop's pipe above all) but the port.
void KeepOnly(int port, int pipe) noexcept {
    if (pipe == PortSlot) pipe = ::fcntl(pipe, F_DUPFD, PipeSlot + 1);
    if (port != PortSlot) ::dup2(port, PortSlot);
    if (pipe != PipeSlot) ::dup2(pipe, PipeSlot);
    ::close_range(0, PortSlot - 1, 0);
    if (::close_range(PipeSlot + 1, ~0U, 0) != 0)
        for (int fd = PipeSlot + 1; fd < 65536; ++fd) ::close(fd);
}

timespec Until(std::int64_t nowNs, std::int64_t thenNs) noexcept {
    const std::int64_t left = thenNs > nowNs ? thenNs - nowNs : 0;
    return timespec{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
}

[[noreturn]] void RunGuard(int port, int pipe, GuardBlock* block, std::int64_t boundNs) noexcept {
    // Signals meant for the owner's terminal or the owner itself are not the guard's: only
    // SIGKILL ends it otherwise, and its own group keeps Ctrl-C and Ctrl-Z away.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU})
        ::sigaction(signal, &ignore, nullptr);
    ::setpgid(0, 0);
    // Named apart, so that killing the owner by its name (killall python3) spares the guard.
    ::prctl(PR_SET_NAME, "tamro-guard", 0, 0, 0);
    KeepOnly(port, pipe);

    SilenceWatch watch(boundNs);
    std::int64_t next = MonotonicNs();
    for (;;) {
        pollfd hang{PipeSlot, POLLIN, 0};
        const timespec wait = Until(MonotonicNs(), next);
        if (::ppoll(&hang, 1, &wait, nullptr) > 0 && (hang.revents & POLLIN) != 0) {
            char ignored[16];  // nobody writes; whatever does is not a hang-up
            [[maybe_unused]] const ssize_t n = ::read(PipeSlot, ignored, sizeof ignored);
        }
        SilenceWatch::Seen seen;
        seen.ownerGone = (hang.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        seen.released = block->released.load(std::memory_order_acquire);
        seen.armed = block->armed.load(std::memory_order_acquire);
        seen.beatNs = block->beatNs.load(std::memory_order_relaxed);
        const SilenceWatch::Verdict verdict = watch.Look(MonotonicNs(), seen);
        switch (verdict.act) {
            case SilenceWatch::Act::Wait: break;
            case SilenceWatch::Act::Zero:
                WriteZeroForce(PortSlot);
                // Counted once written: a loop that sees the count knows its reply is on the line.
                block->fired.fetch_add(1, std::memory_order_acq_rel);
                break;
            case SilenceWatch::Act::ZeroAndExit: WriteZeroForce(PortSlot); ::_exit(0);
            case SilenceWatch::Act::Exit: ::_exit(0);
        }
        next = verdict.nextLookNs;
    }
}

// --- the owner's side ---

[[noreturn]] void Refuse(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

SilenceWatch::Verdict SilenceWatch::Look(std::int64_t nowNs, const Seen& seen) noexcept {
    if (seen.released) return Next(Act::Exit, nowNs);
    if (seen.ownerGone) return Next(Act::ZeroAndExit, nowNs);
    if (nowNs - dueNs_ > lateNs_) awakeSinceNs_ = nowNs;
    if (!seen.armed) {
        // Arming is seen within a bound: soon enough, as the silence runs from a beat anyway.
        fired_ = false;
        return Next(Act::Wait, nowNs + boundNs_);
    }
    if (fired_ && seen.beatNs != firedAtBeat_) fired_ = false;  // it resumed
    // After a zero, looks come often enough to see a resumed loop fall silent again in time.
    const std::int64_t afterZero = nowNs + boundNs_ / 5;
    if (fired_) return Next(Act::Wait, afterZero);
    if (nowNs - seen.beatNs > boundNs_) {
        if (nowNs - awakeSinceNs_ < graceNs_) return Next(Act::Wait, awakeSinceNs_ + graceNs_);
        fired_ = true;
        firedAtBeat_ = seen.beatNs;
        return Next(Act::Zero, afterZero);
    }
    return Next(Act::Wait, seen.beatNs + boundNs_ + 1);  // the moment this beat grows too old
}

SilenceWatch::Verdict SilenceWatch::Next(Act act, std::int64_t atNs) noexcept {
    dueNs_ = atNs;
    return {act, atNs};
}

void GuardSignals::Arm(Clock::time_point now) noexcept {
    if (block_ == nullptr) return;
    Beat(now);  // before armed: the guard never sees an armed loop with an old beat
    block_->armed.store(true, std::memory_order_release);
}

void GuardSignals::Disarm() noexcept {
    if (block_ != nullptr) block_->armed.store(false, std::memory_order_release);
}

bool GuardSignals::FiredSinceLastLook() noexcept {
    if (block_ == nullptr) return false;
    const std::uint64_t fired = block_->fired.load(std::memory_order_acquire);
    if (fired == seen_) return false;
    seen_ = fired;
    return true;
}

Guard::Guard(int portDescriptor, std::chrono::nanoseconds bound) : owner_(::getpid()) {
    void* memory = ::mmap(nullptr, sizeof(GuardBlock), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) Refuse(errno, "the guard's shared memory");
    block_ = new (memory) GuardBlock();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        const int error = errno;
        ::munmap(block_, sizeof(GuardBlock));
        Refuse(error, "the guard's pipe");
    }
    pid_ = ::fork();
    if (pid_ == 0) RunGuard(portDescriptor, ends[0], block_, bound.count());
    const int error = errno;
    ::close(ends[0]);
    if (pid_ < 0) {
        ::close(ends[1]);
        ::munmap(block_, sizeof(GuardBlock));
        Refuse(error, "the guard's process");
    }
    hangUp_ = ends[1];
}

Guard::~Guard() {
    Release();
    block_->~GuardBlock();
    ::munmap(block_, sizeof(GuardBlock));
}

void Guard::Release() noexcept {
    if (pid_ <= 0 || ::getpid() != owner_) return;
    block_->released.store(true, std::memory_order_release);
    ::close(hangUp_);  // wakes it at once
    hangUp_ = -1;
    const auto deadline = Clock::now() + LeaveTimeout;
    for (;;) {
        const pid_t reaped = ::waitpid(pid_, nullptr, WNOHANG);
        if (reaped == pid_) break;
        if (reaped < 0 && errno != EINTR) break;  // reaped by someone else (SIGCHLD ignored)
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    pid_ = -1;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
