// How data crosses between a loop thread and the threads that steer and watch it, without the
// loop ever waiting. Settings go to the loop through a triple buffer: a writer fills the spare
// slot and swaps it in with one atomic exchange; the loop takes the newest slot with another,
// so it always sees a whole set, never a half-written one, and neither side blocks. State
// comes out through a seqlock: the loop (the only writer) bumps a sequence number around each
// write, and readers copy and retry if the number moved; the loop never waits for a reader.
// Every word of the seqlock's value is an atomic, so a racing copy is defined behaviour, and
// no fence is needed (ThreadSanitizer cannot follow fences).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

namespace Tamro::HardwareAPI::Control::Detail {

// One writer at a time (callers serialise writers), one reader: the loop.
template <typename T>
class TripleBuffer {
public:
    // The writer's spare slot: fill it completely, then Publish.
    T& Spare() noexcept { return slots_[spare_]; }
    void Publish() noexcept {
        spare_ =
            middle_.exchange(static_cast<std::uint8_t>(spare_ | Fresh), std::memory_order_acq_rel) &
            Index;
    }

    // The newest published value; the reference stays valid until the next call.
    const T& Latest() noexcept {
        if (middle_.load(std::memory_order_relaxed) & Fresh)
            front_ = middle_.exchange(front_, std::memory_order_acq_rel) & Index;
        return slots_[front_];
    }

private:
    static constexpr std::uint8_t Index = 3;
    static constexpr std::uint8_t Fresh = 4;

    std::array<T, 3> slots_{};
    std::uint8_t spare_ = 0;               // the writer's
    std::atomic<std::uint8_t> middle_{1};  // shared: the slot in between, and whether it is new
    std::uint8_t front_ = 2;               // the reader's
};

// One writer (the loop), any number of readers.
template <typename T>
class SeqLock {
    static_assert(std::is_trivially_copyable_v<T>);
    static constexpr std::size_t Words = (sizeof(T) + 7) / 8;

public:
    void Write(const T& value) noexcept {
        std::uint64_t words[Words] = {};
        std::memcpy(words, &value, sizeof(T));
        const std::uint64_t s = sequence_.load(std::memory_order_relaxed);
        sequence_.store(s + 1, std::memory_order_relaxed);
        // Release on each word: a reader that sees a new word sees the odd sequence too.
        for (std::size_t i = 0; i < Words; ++i)
            words_[i].store(words[i], std::memory_order_release);
        sequence_.store(s + 2, std::memory_order_release);
    }

    T Read() const noexcept {
        std::uint64_t words[Words];
        for (;;) {
            const std::uint64_t before = sequence_.load(std::memory_order_acquire);
            if (before & 1) {
                std::this_thread::yield();  // the loop is mid-write: a matter of nanoseconds
                continue;
            }
            for (std::size_t i = 0; i < Words; ++i)
                words[i] = words_[i].load(std::memory_order_acquire);
            if (sequence_.load(std::memory_order_relaxed) == before) break;
        }
        T value;
        std::memcpy(&value, words, sizeof(T));
        return value;
    }

private:
    std::atomic<std::uint64_t> sequence_{0};
    std::array<std::atomic<std::uint64_t>, Words> words_{};
};

}  // namespace Tamro::HardwareAPI::Control::Detail
