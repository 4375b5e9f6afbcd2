#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace Tamro::HardwareAPI::Control {

// A loop's hand-over to one consumer on another thread (a network publisher, say): while a
// consumer holds it, the loop pushes every record into a ring allocated once, with the
// capacity given at construction, and makes a descriptor readable. A full ring drops the
// record and counts it; the loop never waits and never allocates. With no consumer, a push
// costs one atomic load.
template <typename T>
class Outlet {
public:
    static constexpr std::size_t DefaultCapacity = 1024;

    // Throws std::system_error when no event descriptor can be made.
    explicit Outlet(std::size_t capacity = DefaultCapacity);
    ~Outlet();

    Outlet(const Outlet&) = delete;
    Outlet& operator=(const Outlet&) = delete;

    // The loop thread.
    void Push(const T& record) noexcept;

    // The consumer. Claim takes the outlet (false when another consumer holds it) and starts
    // with an empty ring and no drops; Release lets it go and the loop stops pushing.
    bool Claim() noexcept;
    void Release() noexcept;
    // Readable while records wait (poll it); Take clears it before it looks at the ring, so
    // a record pushed meanwhile makes it readable again.
    int Descriptor() const noexcept;
    // Moves up to max records, oldest first, into out; returns how many.
    std::size_t Take(T* out, std::size_t max) noexcept;
    std::uint64_t Dropped() const noexcept;  // since the last Claim

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Tamro::HardwareAPI::Control
