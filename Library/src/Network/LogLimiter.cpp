#include "LogLimiter.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace Tamro::HardwareAPI::Network::Detail {

namespace {

// The text without its end of line.
std::string_view Trimmed(std::string_view text) noexcept {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Appends to a fixed buffer, cutting what does not fit.
class Writer {
public:
    Writer(char* out, std::size_t room) noexcept : out_(out), room_(room) {}
    void Put(char c) noexcept {
        if (size_ < room_) out_[size_++] = c;
    }
    void Put(std::string_view text) noexcept {
        for (const char c : text) Put(c);
    }
    std::size_t Size() const noexcept { return size_; }

private:
    char* out_;
    std::size_t room_;
    std::size_t size_ = 0;
};

}  // namespace

LogLimiter::Kind& LogLimiter::KindOf(std::string_view key, Clock::time_point now) noexcept {
    Kind* room = &kinds_[0];
    for (Kind& k : kinds_) {
        if (k.used && std::string_view(k.key.data(), k.keySize) == key) return k;
        if (!room->used) continue;
        if (!k.used || k.seen < room->seen) room = &k;
    }
    *room = Kind{};
    room->used = true;
    room->keySize = key.size();
    std::memcpy(room->key.data(), key.data(), key.size());
    room->passed = now - Window;  // due at once
    return *room;
}

std::string_view LogLimiter::Offer(std::string_view message, Clock::time_point now) noexcept {
    message = Trimmed(message);
    std::array<char, KeyLength> key{};
    Writer masked(key.data(), key.size());
    for (std::size_t i = 0; i < message.size(); ++i) {
        const bool digit = std::isdigit(static_cast<unsigned char>(message[i])) != 0;
        if (!digit)
            masked.Put(message[i]);
        else if (i == 0 || std::isdigit(static_cast<unsigned char>(message[i - 1])) == 0)
            masked.Put('#');
    }
    Kind& kind = KindOf(std::string_view(key.data(), masked.Size()), now);
    kind.seen = now;
    if (now - kind.passed < Window) {
        ++kind.held;
        ++suppressed_;
        return {};
    }
    kind.passed = now;
    Writer line(line_.data(), line_.size());
    for (const char c : message) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7f) {
            line.Put(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            line.Put(escaped);
        }
    }
    if (kind.held > 0) {
        char count[64];
        std::snprintf(count, sizeof count, " (%llu more like it held back)",
                      static_cast<unsigned long long>(kind.held));
        line.Put(count);
        kind.held = 0;
    }
    return {line_.data(), line.Size()};
}

}  // namespace Tamro::HardwareAPI::Network::Detail
