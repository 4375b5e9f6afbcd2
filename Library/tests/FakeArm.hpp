// A fake arm on a pseudo-terminal for the control layer's tests: a thread answers the wake-up
// with a device-info reply and each force request with a state reply chosen by the test, and
// keeps every force it was sent.
#pragma once

#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace TamroTest {

namespace Messages = Tamro::HardwareAPI::Devices::Messages;

using Force = std::array<float, 3>;

// A state reply: the end-effector state code, then position and velocity.
inline Bytes StateReply(const Force& position, const Force& velocity) {
    Bytes reply{Messages::EndEffectorState};
    const Bytes payload = FloatBytes({position[0], position[1], position[2], velocity[0],
                                      velocity[1], velocity[2]});
    reply.insert(reply.end(), payload.begin(), payload.end());
    return reply;
}

inline Bytes DeviceInfoReply() {
    Bytes reply{Messages::DeviceInfo, 0x34, 0x12, Messages::Velkin3ModelNumber, 2, 7};
    for (std::uint8_t i = 0; i < 16; ++i) reply.push_back(i);
    return reply;
}

class FakeArm {
public:
    // Given the number of the request (from 0) and its force, the bytes to send back; none
    // keeps the arm silent for that request.
    using Policy = std::function<std::optional<Bytes>(std::size_t, const Force&)>;

    // Position (n, -n, 0.5) mm-scaled and velocity (n / 100, 0, 0) for request n: every reply
    // tells which request it answers.
    static std::optional<Bytes> Counting(std::size_t n, const Force&) {
        const auto k = static_cast<float>(n);
        return StateReply({0.001f * k, -0.001f * k, 0.5f}, {0.01f * k, 0, 0});
    }

    explicit FakeArm(Policy policy = Counting, bool answerWakeUp = true)
        : policy_(std::move(policy)), answerWakeUp_(answerWakeUp) {
        opened_ = pty_.Open();
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeArm() {
        stop_ = true;
        thread_.join();
    }
    FakeArm(const FakeArm&) = delete;
    FakeArm& operator=(const FakeArm&) = delete;

    bool Opened() const { return opened_; }
    const std::string& Path() const { return pty_.Path(); }
    PtyPair& Pty() { return pty_; }

    std::vector<Force> Forces() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return forces_;
    }

    // Waits until at least count force requests have come, or timeout passed.
    bool WaitForForces(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, timeout, [&] { return forces_.size() >= count; });
    }

    // True when no request arrives within window.
    bool Quiet(std::chrono::milliseconds window) {
        const std::size_t before = Forces().size();
        std::unique_lock<std::mutex> lock(mutex_);
        return !arrived_.wait_for(lock, window, [&] { return forces_.size() > before; });
    }

private:
    void Serve() {
        Bytes pending;
        while (!stop_) {
            pollfd pfd{pty_.MasterFd(), POLLIN, 0};
            if (::poll(&pfd, 1, 10) <= 0) continue;
            std::uint8_t chunk[256];
            const ssize_t n = ::read(pty_.MasterFd(), chunk, sizeof chunk);
            if (n <= 0) continue;
            pending.insert(pending.end(), chunk, chunk + n);
            std::size_t used = 0;
            while (used < pending.size()) {
                const std::uint8_t code = pending[used];
                if (code == Messages::DeviceWakeup) {
                    if (answerWakeUp_) pty_.Feed(DeviceInfoReply());
                    used += 1;
                } else if (code == Messages::ForceRequest) {
                    if (pending.size() - used < Messages::RequestLength) break;
                    Force force;
                    std::memcpy(force.data(), pending.data() + used + 1, sizeof force);
                    used += Messages::RequestLength;
                    std::size_t index;
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        index = forces_.size();
                        forces_.push_back(force);
                    }
                    if (auto reply = policy_(index, force)) pty_.Feed(*reply);
                    arrived_.notify_all();
                } else {
                    used += 1;  // not an arm request: ignored
                }
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
        }
    }

    PtyPair pty_;
    bool opened_ = false;
    Policy policy_;
    bool answerWakeUp_;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Force> forces_;
    std::thread thread_;
};

}  // namespace TamroTest
