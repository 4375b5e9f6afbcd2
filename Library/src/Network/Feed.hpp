// A publishing thread and the stamps it gives: see Feed.
#pragma once

#include <Tamro/HardwareAPI/Control/Outlet.hpp>

#include "Control/Realtime.hpp"
#include "Wire.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace Tamro::HardwareAPI::Network::Detail {

// Wall-clock stamps for times on the monotonic clock: the offset between the two clocks,
// taken afresh for every batch so that a step of the wall clock shows in the next one.
class Stamper {
public:
    void Sample() noexcept {
        const auto wall = std::chrono::system_clock::now().time_since_epoch();
        const auto mono = std::chrono::steady_clock::now().time_since_epoch();
        offsetNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(wall - mono).count();
    }
    Wire::Time Stamp(double monotonicSeconds) const noexcept {
        const auto ns = static_cast<std::int64_t>(std::llround(monotonicSeconds * 1e9)) + offsetNs_;
        return {static_cast<std::int32_t>(ns / 1000000000),
                static_cast<std::uint32_t>(ns % 1000000000)};
    }

private:
    std::int64_t offsetNs_ = 0;
};

// A publishing thread: waits on a loop's outlet, takes what it holds, and hands each record
// (every one, or those due at the chosen rate on the loop's own times) to write.
template <typename T>
class Feed {
public:
    using Writer = std::function<void(const T&, const Wire::Time&)>;

    // priority: SCHED_FIFO priority for the thread (0: normal scheduling). A real-time loop's
    // records would otherwise wait behind every other thread of the machine to be written.
    Feed(Control::Outlet<T>& outlet, double rateHz, int priority, Writer write)
        : outlet_(outlet),
          period_(rateHz > 0 ? 1.0 / rateHz : 0),
          priority_(priority),
          write_(std::move(write)),
          stop_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (stop_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
        if (!outlet_.Claim()) {
            ::close(stop_);
            throw std::runtime_error("the device is published already (by another node)");
        }
        thread_ = std::thread([this] { Run(); });
    }
    Feed(const Feed&) = delete;
    Feed& operator=(const Feed&) = delete;
    ~Feed() {
        Stop();
        ::close(stop_);
    }

    void Stop() noexcept {
        if (!thread_.joinable()) return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(stop_, &one, sizeof one);
        thread_.join();
        finalDropped_ = outlet_.Dropped();
        outlet_.Release();
        released_ = true;
    }

    std::uint64_t Dropped() const noexcept { return released_ ? finalDropped_ : outlet_.Dropped(); }

private:
    void Run() noexcept {
        if (priority_ > 0) Control::Detail::MakeThisThreadRealtime(priority_, {});  // best effort
        pollfd waits[2] = {{outlet_.Descriptor(), POLLIN, 0}, {stop_, POLLIN, 0}};
        Stamper stamper;
        double next = 0;
        for (;;) {
            if (::poll(waits, 2, -1) < 0 && errno != EINTR) return;
            if (waits[1].revents != 0) return;
            stamper.Sample();
            std::size_t n;
            while ((n = outlet_.Take(batch_, Batch)) > 0) {
                for (std::size_t i = 0; i < n; ++i) {
                    const double at = batch_[i].time;
                    if (period_ > 0) {
                        // Due on a grid of the loop's own times, with a tenth of a period to
                        // spare for its jitter; a gap restarts the grid rather than bursting.
                        if (at < next - 0.1 * period_) continue;
                        next = at > next + period_ ? at + period_ : next + period_;
                    }
                    write_(batch_[i], stamper.Stamp(at));
                }
            }
        }
    }

    static constexpr std::size_t Batch = 32;
    Control::Outlet<T>& outlet_;
    const double period_;
    const int priority_;
    const Writer write_;
    const int stop_;
    T batch_[Batch];
    std::uint64_t finalDropped_ = 0;
    std::atomic<bool> released_{false};
    std::thread thread_;
};

}  // namespace Tamro::HardwareAPI::Network::Detail
