#include <Tamro/HardwareAPI/Control/Coupling.hpp>
#include <Tamro/HardwareAPI/Control/HandleReader.hpp>
#include <Tamro/HardwareAPI/Control/Outlet.hpp>
#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>

#include "Recorder.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <system_error>

#include <sys/eventfd.h>
#include <unistd.h>

namespace Tamro::HardwareAPI::Control {

template <typename T>
struct Outlet<T>::State {
    explicit State(std::size_t capacity)
        : ring(capacity), event(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
        if (event < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~State() { ::close(event); }

    Detail::Ring<T> ring;
    const int event;
    std::atomic<bool> claimed{false};
    std::atomic<bool> open{false};
    std::atomic<std::uint64_t> dropped{0};
};

template <typename T>
Outlet<T>::Outlet(std::size_t capacity) : state_(std::make_unique<State>(capacity)) {}

template <typename T>
Outlet<T>::~Outlet() = default;

template <typename T>
void Outlet<T>::Push(const T& record) noexcept {
    State& s = *state_;
    if (!s.open.load(std::memory_order_acquire)) return;
    if (!s.ring.Push(record)) {
        s.dropped.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    // A non-blocking eventfd write: never waits; the counter cannot overflow at loop rates.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(s.event, &one, sizeof one);
}

template <typename T>
bool Outlet<T>::Claim() noexcept {
    State& s = *state_;
    bool expected = false;
    if (!s.claimed.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return false;
    // What an earlier consumer left is not this one's.
    T scratch[16];
    while (s.ring.Pop(scratch, 16) > 0) {
    }
    s.dropped.store(0, std::memory_order_relaxed);
    s.open.store(true, std::memory_order_release);
    return true;
}

template <typename T>
void Outlet<T>::Release() noexcept {
    state_->open.store(false, std::memory_order_release);
    state_->claimed.store(false, std::memory_order_release);
}

template <typename T>
int Outlet<T>::Descriptor() const noexcept {
    return state_->event;
}

template <typename T>
std::size_t Outlet<T>::Take(T* out, std::size_t max) noexcept {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(state_->event, &count, sizeof count);
    return state_->ring.Pop(out, max);
}

template <typename T>
std::uint64_t Outlet<T>::Dropped() const noexcept {
    return state_->dropped.load(std::memory_order_relaxed);
}

template class Outlet<CycleState>;
template class Outlet<HandleStatus>;
template class Outlet<CouplingRecord>;

}  // namespace Tamro::HardwareAPI::Control
