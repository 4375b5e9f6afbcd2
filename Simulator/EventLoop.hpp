// Serves every simulated device from one thread: one poll over all pty masters, replies
// written the moment a request is complete (or after the configured delay).
#pragma once

#include "SimulatedDevice.hpp"

#include <chrono>
#include <deque>
#include <memory>
#include <random>
#include <vector>

namespace TamroSimulator {

struct ReplyDelay {
    std::chrono::microseconds fixed{0};
    std::chrono::microseconds jitter{0};  // uniform, added to fixed
};

class EventLoop {
public:
    using Clock = SimulatedDevice::Clock;

    explicit EventLoop(ReplyDelay delay);

    // masterFd must be non-blocking and outlive the loop.
    void Add(int masterFd, std::unique_ptr<SimulatedDevice> device);

    // Serves until stopFd (a signalfd) is readable, or until watchFd (if not -1) reaches its
    // end. Throws std::system_error when polling fails.
    void Run(int stopFd, int watchFd);

private:
    struct Endpoint {
        int fd;
        std::unique_ptr<SimulatedDevice> device;
        Bytes input;                                          // an incomplete request
        std::deque<std::pair<Clock::time_point, Bytes>> due;  // delayed replies, in order
        Bytes outbox;                                         // replies the pty did not take yet
        bool broken = false;
    };

    void Receive(Endpoint& endpoint, Clock::time_point now);
    void Schedule(Endpoint& endpoint, Bytes replies, Clock::time_point now);
    void Release(Endpoint& endpoint, Clock::time_point now);
    static void Flush(Endpoint& endpoint);
    Clock::time_point NextDue() const;

    ReplyDelay delay_;
    std::minstd_rand random_;
    std::vector<Endpoint> endpoints_;
};

}  // namespace TamroSimulator
