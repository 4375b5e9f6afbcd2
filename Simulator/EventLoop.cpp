#include "EventLoop.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include <poll.h>
#include <unistd.h>

namespace TamroSimulator {

namespace {

// A host that stops reading does not make the simulator grow without bound: beyond this,
// new replies are dropped, as a device's full transmit queue would drop them.
constexpr std::size_t OutboxLimit = std::size_t{64} * 1024;

bool Readable(const pollfd& p) { return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0; }

}  // namespace

EventLoop::EventLoop(ReplyDelay delay) : delay_(delay), random_(std::random_device{}()) {}

void EventLoop::Add(int masterFd, std::unique_ptr<SimulatedDevice> device) {
    endpoints_.push_back(Endpoint{masterFd, std::move(device), {}, {}, {}});
}

void EventLoop::Run(int stopFd, int watchFd) {
    std::vector<pollfd> polled;
    for (;;) {
        polled.clear();
        polled.push_back({stopFd, POLLIN, 0});
        polled.push_back({watchFd, POLLIN, 0});  // poll ignores a negative fd
        for (const Endpoint& e : endpoints_) {
            const short events =
                e.broken ? short{0} : static_cast<short>(POLLIN | (e.outbox.empty() ? 0 : POLLOUT));
            polled.push_back({e.broken ? -1 : e.fd, events, 0});
        }

        timespec timeout{};
        timespec* wait = nullptr;  // nothing delayed: sleep until something happens
        const Clock::time_point next = NextDue();
        if (next != Clock::time_point::max()) {
            const auto left = std::max(Clock::duration::zero(), next - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            wait = &timeout;
        }
        if (::ppoll(polled.data(), polled.size(), wait, nullptr) < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "ppoll");
        }

        if (Readable(polled[0])) return;
        if (Readable(polled[1])) {
            char scratch[256];
            const ssize_t n = ::read(watchFd, scratch, sizeof scratch);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        }

        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < endpoints_.size(); ++i) {
            Endpoint& e = endpoints_[i];
            if (Readable(polled[i + 2])) Receive(e, now);
            Release(e, now);
            Flush(e);
        }
    }
}

void EventLoop::Receive(Endpoint& e, Clock::time_point now) {
    std::uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = ::read(e.fd, chunk, sizeof chunk);
        if (n > 0) {
            e.input.insert(e.input.end(), chunk, chunk + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        // The pty itself failed: this device goes quiet, the others carry on.
        if (n == 0) errno = EIO;
        std::perror("tamro-simulator: read");
        e.broken = true;
        return;
    }
    Bytes replies;
    const std::size_t used = e.device->Serve(e.input.data(), e.input.size(), now, replies);
    e.input.erase(e.input.begin(), e.input.begin() + static_cast<std::ptrdiff_t>(used));
    if (!replies.empty()) Schedule(e, std::move(replies), now);
}

void EventLoop::Schedule(Endpoint& e, Bytes replies, Clock::time_point now) {
    if (delay_.fixed.count() == 0 && delay_.jitter.count() == 0) {
        if (e.outbox.size() < OutboxLimit)
            e.outbox.insert(e.outbox.end(), replies.begin(), replies.end());
        return;
    }
    std::uniform_int_distribution<long> jitter(0, static_cast<long>(delay_.jitter.count()));
    Clock::time_point at = now + delay_.fixed + std::chrono::microseconds(jitter(random_));
    // A serial link keeps its order whatever the jitter.
    if (!e.due.empty()) at = std::max(at, e.due.back().first);
    e.due.emplace_back(at, std::move(replies));
}

void EventLoop::Release(Endpoint& e, Clock::time_point now) {
    while (!e.due.empty() && e.due.front().first <= now) {
        const Bytes& replies = e.due.front().second;
        if (e.outbox.size() < OutboxLimit)
            e.outbox.insert(e.outbox.end(), replies.begin(), replies.end());
        e.due.pop_front();
    }
}

void EventLoop::Flush(Endpoint& e) {
    while (!e.outbox.empty() && !e.broken) {
        const ssize_t n = ::write(e.fd, e.outbox.data(), e.outbox.size());
        if (n > 0) {
            e.outbox.erase(e.outbox.begin(), e.outbox.begin() + n);
            continue;
        }
        if (n == 0 || errno == EAGAIN || errno == EINTR) return;  // poll tells when there is room
        std::perror("tamro-simulator: write");
        e.broken = true;
    }
}

EventLoop::Clock::time_point EventLoop::NextDue() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Endpoint& e : endpoints_)
        if (!e.due.empty()) next = std::min(next, e.due.front().first);
    return next;
}

}  // namespace TamroSimulator
