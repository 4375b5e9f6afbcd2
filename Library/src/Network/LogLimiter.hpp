// A chatty source's lines, at most one per kind of line per window, each passed one naming how
// many of its kind were held back since the last. Cyclone DDS writes one line per failed packet
// when an interface goes down (thousands a second); this keeps the first of each kind and a
// count. A line's kind is its text with every run of digits masked, so "write to
// udp/10.0.0.2:7410 failed" and the same to :7412 are one kind. Fixed buffers allocated with
// the limiter; not thread safe (its owner serialises the writers).
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Tamro::HardwareAPI::Network::Detail {

class LogLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds Window{5};
    static constexpr std::size_t Kinds = 32;      // remembered; the least recently seen makes room
    static constexpr std::size_t KeyLength = 96;  // of a line's masked text, its kind
    static constexpr std::size_t LineLength = 400;  // the longest line passed (the rest is cut)

    // The line to write for message (without its end of line; control characters escaped,
    // with the count of its kind held back, if any), or an empty view when it is held back.
    // The view stays valid until the next call.
    std::string_view Offer(std::string_view message, Clock::time_point now) noexcept;

    // Lines held back since construction.
    std::uint64_t Suppressed() const noexcept { return suppressed_; }

private:
    struct Kind {
        std::array<char, KeyLength> key{};
        std::size_t keySize = 0;
        bool used = false;
        Clock::time_point passed{};  // when the newest line of this kind was passed
        Clock::time_point seen{};    // when one was last offered
        std::uint64_t held = 0;      // held back since it was passed
    };

    Kind& KindOf(std::string_view key, Clock::time_point now) noexcept;

    std::array<Kind, Kinds> kinds_{};
    std::array<char, LineLength> line_{};
    std::uint64_t suppressed_ = 0;
};

}  // namespace Tamro::HardwareAPI::Network::Detail
