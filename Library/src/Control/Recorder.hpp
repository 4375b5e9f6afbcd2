// A loop's recording: every cycle's record pushed into a preallocated single-producer ring,
// drained by other threads. A full ring drops the record and counts it; the loop never waits
// and never allocates. Starting a new recording while the loop runs swaps in a new ring; the
// old one is freed only once the loop has ended the cycle that may still have been writing to
// it, and what it held is kept for the next drain.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Tamro::HardwareAPI::Control::Detail {

template <typename T>
class Ring {
public:
    explicit Ring(std::size_t capacity)
        : slots_(std::make_unique<T[]>(capacity)), capacity_(capacity) {}

    // Producer only.
    bool Push(const T& value) noexcept {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        if (head - tail_.load(std::memory_order_acquire) == capacity_) return false;
        slots_[head % capacity_] = value;
        head_.store(head + 1, std::memory_order_release);
        return true;
    }

    // Consumer only.
    std::size_t Pop(T* out, std::size_t max) noexcept {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t n = std::min(max, head_.load(std::memory_order_acquire) - tail);
        for (std::size_t i = 0; i < n; ++i) out[i] = slots_[(tail + i) % capacity_];
        tail_.store(tail + n, std::memory_order_release);
        return n;
    }

    std::size_t Size() const noexcept {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire);
    }

private:
    std::unique_ptr<T[]> slots_;
    const std::size_t capacity_;
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
};

template <typename T>
class Recorder {
public:
    // --- the loop thread ---

    // Around the loop's run: while it is away, a swap need not wait for it.
    void ProducerStarted() noexcept { producing_.store(true, std::memory_order_seq_cst); }
    void ProducerStopped() noexcept { producing_.store(false, std::memory_order_seq_cst); }

    void Push(const T& value) noexcept {
        Ring<T>* ring = active_.load(std::memory_order_seq_cst);
        if (ring != nullptr && !ring->Push(value)) dropped_.fetch_add(1, std::memory_order_relaxed);
    }

    // Once per cycle, after its Push: the ring the cycle used is no longer touched.
    void EndCycle() noexcept { cycles_.fetch_add(1, std::memory_order_seq_cst); }

    // --- any other thread ---

    // A new recording into a ring of capacity records (0: stop recording). Records the old ring
    // still held are kept for the next Drain.
    void Start(std::size_t capacity) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::unique_ptr<Ring<T>> fresh =
            capacity > 0 ? std::make_unique<Ring<T>>(capacity) : nullptr;
        active_.store(fresh.get(), std::memory_order_seq_cst);
        // A cycle that loaded the old ring before the store ends with EndCycle; wait for one.
        const std::uint64_t seen = cycles_.load(std::memory_order_seq_cst);
        while (producing_.load(std::memory_order_seq_cst) &&
               cycles_.load(std::memory_order_seq_cst) == seen)
            std::this_thread::sleep_for(std::chrono::microseconds(20));
        if (owned_) {
            const std::size_t had = carry_.size();
            carry_.resize(had + owned_->Size());
            carry_.resize(had + owned_->Pop(carry_.data() + had, carry_.size() - had));
        }
        owned_ = std::move(fresh);
    }

    // Moves up to max records, oldest first, into out; returns how many.
    std::size_t Drain(T* out, std::size_t max) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::size_t fromCarry = std::min(max, carry_.size());
        std::copy_n(carry_.begin(), fromCarry, out);
        carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(fromCarry));
        const std::size_t fromRing = owned_ ? owned_->Pop(out + fromCarry, max - fromCarry) : 0;
        return fromCarry + fromRing;
    }

    // Records waiting to be drained (more may arrive at once).
    std::size_t Pending() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return carry_.size() + (owned_ ? owned_->Size() : 0);
    }

    std::uint64_t Dropped() const noexcept { return dropped_.load(std::memory_order_relaxed); }
    void ResetDropped() noexcept { dropped_.store(0, std::memory_order_relaxed); }

private:
    // The loop reads only these atomics.
    std::atomic<Ring<T>*> active_{nullptr};
    std::atomic<std::uint64_t> cycles_{0};
    std::atomic<bool> producing_{false};
    std::atomic<std::uint64_t> dropped_{0};

    // Never touched by the loop.
    mutable std::mutex mutex_;
    std::unique_ptr<Ring<T>> owned_;
    std::vector<T> carry_;
};

}  // namespace Tamro::HardwareAPI::Control::Detail
