// Fake devices that answer by themselves, for the control layer's tests: a thread on the device
// side of a pseudo-terminal parses what the host writes and answers as an arm or a handle
// would, with replies the test chooses, and keeps what it was sent.
#pragma once

#include "PtyPair.hpp"

#include <Tamro/HardwareAPI/Devices/Messages.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
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
    return Concat(
        {Messages::EndEffectorState},
        FloatBytes({position[0], position[1], position[2], velocity[0], velocity[1], velocity[2]}));
}

inline Bytes DeviceInfoReply(std::uint8_t model = Messages::Velkin3ModelNumber) {
    Bytes reply{Messages::DeviceInfo, 0x34, 0x12, model, 2, 7};
    for (std::uint8_t i = 0; i < 16; ++i) reply.push_back(i);
    return reply;
}

// The handle's messages, device id 0x1234.
inline Bytes HandleInfoMessage() { return {Messages::HandleInfo, 0x34, 0x12, 9, 2, 5, 6}; }
inline Bytes HandleErrorMessage(std::uint8_t code) {
    return {Messages::HandleError, 0x34, 0x12, code};
}
inline Bytes HandleStatusMessage(std::uint8_t hall, float w, const Bytes& userData) {
    Bytes message{Messages::HandleStatus, 0x34, 0x12, 0, hall};
    message = Concat(message, FloatBytes({w, 0, 0, 1 - w}));
    message.push_back(static_cast<std::uint8_t>(userData.size()));
    return Concat(message, userData);
}

// The device side of a pty, served by a thread: Answer takes whole requests off the front of
// what the host wrote and returns how many bytes it used (0: wait for more), and answers with
// Send. With a lateness set, the n-th answer (from 0) goes out that late, and answers still
// go out in order, as a device's would.
class ServedPty {
public:
    using Lateness = std::function<std::chrono::microseconds(std::size_t n)>;

    explicit ServedPty(Lateness late = nullptr) : late_(std::move(late)) { opened_ = pty_.Open(); }
    virtual ~ServedPty() { StopServing(); }
    ServedPty(const ServedPty&) = delete;
    ServedPty& operator=(const ServedPty&) = delete;

    bool Opened() const { return opened_; }
    const std::string& Path() const { return pty_.Path(); }
    PtyPair& Pty() { return pty_; }

    // The device goes away: it stops answering and the host's reads and writes fail.
    void HangUp() {
        StopServing();  // first: the serving thread reads the side being closed
        pty_.HangUp();
    }

    // Serves on the calling thread until stopped, for a device played by a child process:
    // construct the fake with background false, fork, and call this in the child.
    void ServeHere() { Serve(); }

    // Waits until ready() holds (checked whenever the device took a request), or timeout.
    bool WaitFor(const std::function<bool()>& ready,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return arrived_.wait_for(lock, timeout, ready);
    }

protected:
    // Called by the derived class's constructor, once its members are ready.
    void StartServing() {
        thread_ = std::thread([this] { Serve(); });
    }
    // Called by the derived class's destructor, before its members go.
    void StopServing() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    virtual std::size_t Answer(const Bytes& pending, std::size_t from) = 0;

    // Answers the request being served (on the serving thread): now, or as late as set.
    void Send(const Bytes& bytes) {
        const auto delay = late_ ? late_(answers_) : std::chrono::microseconds(0);
        ++answers_;
        if (delay.count() <= 0 && due_.empty()) {
            pty_.Feed(bytes);
            return;
        }
        auto at = std::chrono::steady_clock::now() + delay;
        if (!due_.empty()) at = std::max(at, due_.back().first);
        due_.emplace_back(at, bytes);
    }

    // Taken by Answer while it notes what came, and by WaitFor.
    std::mutex mutex_;
    std::condition_variable arrived_;

private:
    // Sends the answers whose time has come; how long until the next one (10 ms at most).
    int SendDue() {
        const auto now = std::chrono::steady_clock::now();
        while (!due_.empty() && due_.front().first <= now) {
            pty_.Feed(due_.front().second);
            due_.pop_front();
        }
        if (due_.empty()) return 10;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(due_.front().first - now);
        return static_cast<int>(std::clamp<long long>(left.count(), 0, 10));
    }

    void Serve() {
        Bytes pending;
        while (!stop_) {
            pollfd pfd{pty_.MasterFd(), POLLIN, 0};
            if (::poll(&pfd, 1, SendDue()) <= 0) continue;
            std::uint8_t chunk[512];
            const ssize_t n = ::read(pty_.MasterFd(), chunk, sizeof chunk);
            if (n <= 0) continue;
            pending.insert(pending.end(), chunk, chunk + n);
            std::size_t used = 0;
            while (used < pending.size()) {
                const std::size_t taken = Answer(pending, used);
                if (taken == 0) break;
                used += taken;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
            arrived_.notify_all();
        }
    }

    PtyPair pty_;
    Lateness late_;
    std::size_t answers_ = 0;
    std::deque<std::pair<std::chrono::steady_clock::time_point, Bytes>> due_;
    bool opened_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class FakeArm : public ServedPty {
public:
    // Given the number of the request (from 0) and its force, the bytes to send back; none
    // keeps the arm silent for that request.
    using Policy = std::function<std::optional<Bytes>(std::size_t, const Force&)>;

    // Position (n, -n, 0.5) mm-scaled and velocity (n / 100, 0, 0) for request n: every reply
    // tells which request it answers.
    // Request n is answered with position (n, -n, 50 000) micrometres and velocity (n / 100, 0,
    // 0) mm/s: every reply tells which request it answers, and stays a state an arm can have
    // (within its workspace, slow) for the first 100 000 requests.
    static std::array<float, 3> CountingPosition(std::size_t n) {
        const auto k = static_cast<float>(n);
        return {1e-6f * k, -1e-6f * k, 0.05f};
    }
    static std::array<float, 3> CountingVelocity(std::size_t n) {
        return {1e-5f * static_cast<float>(n), 0, 0};
    }
    // Which request a counting reply answered, from the x of its position.
    static long CountingRequest(double x) {
        return std::lround(x / static_cast<double>(CountingPosition(1)[0]));
    }
    static std::optional<Bytes> Counting(std::size_t n, const Force&) {
        return StateReply(CountingPosition(n), CountingVelocity(n));
    }

    explicit FakeArm(Policy policy = Counting, bool answerWakeUp = true, bool background = true,
                     Lateness late = nullptr, Bytes info = DeviceInfoReply())
        : ServedPty(std::move(late)),
          policy_(std::move(policy)),
          answerWakeUp_(answerWakeUp),
          info_(std::move(info)) {
        if (background) StartServing();
    }
    ~FakeArm() override { StopServing(); }

    std::vector<Force> Forces() {
        std::lock_guard<std::mutex> lock(mutex_);
        return forces_;
    }

    bool WaitForForces(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        return WaitFor([&] { return forces_.size() >= count; }, timeout);
    }

    // Whether the last force it took is zero, within timeout: a loop that lost the pairing
    // writes its last zero-force request without waiting for the arm to take it.
    bool WaitForZeroForceLast(std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        return WaitFor(
            [&] {
                return !forces_.empty() && forces_.back()[0] == 0 && forces_.back()[1] == 0 &&
                       forces_.back()[2] == 0;
            },
            timeout);
    }

    // True when no request arrives within window.
    bool Quiet(std::chrono::milliseconds window) {
        const std::size_t before = Forces().size();
        return !WaitFor([&] { return forces_.size() > before; }, window);
    }

protected:
    std::size_t Answer(const Bytes& pending, std::size_t from) override {
        const std::uint8_t code = pending[from];
        if (code == Messages::DeviceWakeup) {
            if (answerWakeUp_) Send(info_);
            return 1;
        }
        if (code != Messages::ForceRequest) return 1;  // not an arm request: ignored
        if (pending.size() - from < Messages::RequestLength) return 0;
        Force force;
        std::memcpy(force.data(), pending.data() + from + 1, sizeof force);
        std::size_t index;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            index = forces_.size();
            forces_.push_back(force);
        }
        if (auto reply = policy_(index, force)) Send(*reply);
        return Messages::RequestLength;
    }

private:
    Policy policy_;
    bool answerWakeUp_;
    Bytes info_;
    std::vector<Force> forces_;
};

class FakeHandle : public ServedPty {
public:
    // Given the number of the status request (from 0), the bytes to send back.
    using Policy = std::function<std::optional<Bytes>(std::size_t)>;

    // Status n: Hall level n % 256, quaternion (n / 1000, 0, 0, 1 - n / 1000), no user data.
    static std::optional<Bytes> Counting(std::size_t n) {
        return HandleStatusMessage(static_cast<std::uint8_t>(n), static_cast<float>(n) / 1000, {});
    }

    explicit FakeHandle(Policy policy = Counting, bool answerWakeUp = true, bool background = true,
                        Lateness late = nullptr)
        : ServedPty(std::move(late)), policy_(std::move(policy)), answerWakeUp_(answerWakeUp) {
        if (background) StartServing();
    }
    ~FakeHandle() override { StopServing(); }

    // The host's messages as they came, one entry per message.
    std::vector<Bytes> Received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }
    std::size_t StatusRequests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return statusRequests_;
    }
    bool WaitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
        return WaitFor([&] { return statusRequests_ >= count; }, timeout);
    }

protected:
    std::size_t Answer(const Bytes& pending, std::size_t from) override {
        const std::uint8_t code = pending[from];
        std::size_t length = 1;
        if (code == Messages::HandleState) {
            if (pending.size() - from < 4 || pending.size() - from < 4u + pending[from + 3])
                return 0;
            length = 4u + pending[from + 3];
        }
        std::optional<Bytes> reply;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.emplace_back(pending.begin() + static_cast<std::ptrdiff_t>(from),
                                   pending.begin() + static_cast<std::ptrdiff_t>(from + length));
            if (code == Messages::HandleStatus) reply = policy_(statusRequests_++);
        }
        if (code == Messages::DeviceWakeup && answerWakeUp_) Send(HandleInfoMessage());
        if (reply) Send(*reply);
        return length;
    }

private:
    Policy policy_;
    bool answerWakeUp_;
    std::vector<Bytes> received_;
    std::size_t statusRequests_ = 0;
};

}  // namespace TamroTest
