// A single-producer, single-consumer queue of variable-sized records in one byte ring
// allocated once: the producer never waits (a record that does not fit is refused), the
// consumer copies out whole records. Records are multiples of 8 bytes and start with a
// SampleHead; one that would not fit before the ring's end starts again at its front, behind
// a head that marks the skip (or no head, when fewer bytes than a head are left).
#pragma once

#include <Tamro/HardwareAPI/Network/Capture.hpp>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

namespace Tamro::HardwareAPI::Network::Detail {

class SampleQueue {
public:
    static constexpr std::size_t Align = 8;
    static constexpr std::uint32_t Skip = std::numeric_limits<std::uint32_t>::max();

    static constexpr std::size_t RecordSize(std::size_t dataSize) noexcept {
        return sizeof(SampleHead) + (dataSize + Align - 1) / Align * Align;
    }

    // bytes is rounded up to a power of two.
    explicit SampleQueue(std::size_t bytes) : capacity_(RoundUp(bytes)) {
        ring_ = std::make_unique<std::uint8_t[]>(capacity_);
    }

    std::size_t Capacity() const noexcept { return capacity_; }

    // Producer: writes head and the size bytes fill(out) puts at out; false when it does not
    // fit (nothing is written then).
    template <typename Fill>
    bool Push(SampleHead head, Fill&& fill) noexcept {
        const std::size_t need = RecordSize(head.size);
        std::uint64_t at = write_.load(std::memory_order_relaxed);
        const std::uint64_t read = read_.load(std::memory_order_acquire);
        const std::size_t offset = at & (capacity_ - 1);
        const std::size_t toEnd = capacity_ - offset;
        const std::size_t skip = toEnd < need ? toEnd : 0;
        if (at + skip + need - read > capacity_) return false;
        if (skip >= sizeof(SampleHead)) {
            const SampleHead mark{Skip, 0, 0, 0};
            std::memcpy(ring_.get() + offset, &mark, sizeof mark);
        }
        at += skip;
        std::uint8_t* place = ring_.get() + (at & (capacity_ - 1));
        std::memcpy(place, &head, sizeof head);
        fill(place + sizeof head);
        const std::size_t tail = need - sizeof head - head.size;
        std::memset(place + sizeof head + head.size, 0, tail);
        write_.store(at + need, std::memory_order_release);  // the skip and the record at once
        return true;
    }

    // Consumer: copies whole records into out while they fit; returns the bytes used.
    std::size_t Take(std::uint8_t* out, std::size_t room) noexcept {
        std::uint64_t at = read_.load(std::memory_order_relaxed);
        const std::uint64_t end = write_.load(std::memory_order_acquire);
        std::size_t used = 0;
        while (at < end) {
            const std::size_t offset = at & (capacity_ - 1);
            const std::size_t toEnd = capacity_ - offset;
            SampleHead head;
            if (toEnd < sizeof head) {
                at += toEnd;
                continue;
            }
            std::memcpy(&head, ring_.get() + offset, sizeof head);
            if (head.topic == Skip) {
                at += toEnd;
                continue;
            }
            const std::size_t size = RecordSize(head.size);
            if (used + size > room) break;
            std::memcpy(out + used, ring_.get() + offset, size);
            used += size;
            at += size;
        }
        read_.store(at, std::memory_order_release);
        return used;
    }

private:
    static std::size_t RoundUp(std::size_t bytes) noexcept {
        std::size_t c = 4096;
        while (c < bytes) c <<= 1;
        return c;
    }

    const std::size_t capacity_;
    std::unique_ptr<std::uint8_t[]> ring_;
    alignas(64) std::atomic<std::uint64_t> write_{0};
    alignas(64) std::atomic<std::uint64_t> read_{0};
};

}  // namespace Tamro::HardwareAPI::Network::Detail
