// Shared pieces of the fuzz harnesses: an in-memory stream over the fuzz input, a reference
// reader that says what the library should have read from it, and a check that makes
// libFuzzer report a broken expectation as a crash.
#pragma once

#include <Tamro/HardwareAPI/Devices/Device.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <streambuf>
#include <vector>

namespace TamroFuzz {

// A failed expectation is a finding: print it and trap so libFuzzer saves the input.
#define FUZZ_CHECK(condition)                                                             \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                       \
            __builtin_trap();                                                             \
        }                                                                                 \
    } while (0)

// Serves the fuzz input in place (no copy, so AddressSanitizer sees any read past its end)
// and keeps every byte written to it, or refuses every write like a port that is gone. Like a
// serial port it never seeks; unlike one it never waits: the end of the input is what a
// time-out is on a port, a short read.
class InputBuffer : public std::streambuf {
public:
    InputBuffer(const std::uint8_t* data, std::size_t size, bool refuseWrites = false)
        : refuseWrites_(refuseWrites) {
        char* begin = const_cast<char*>(reinterpret_cast<const char*>(data));
        setg(begin, begin, begin + size);  // read-only: nothing is put back into it
    }

    std::size_t Consumed() const { return static_cast<std::size_t>(gptr() - eback()); }

    std::vector<std::uint8_t> written;

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (refuseWrites_) return 0;
        written.insert(written.end(), s, s + n);
        return n;
    }
    int_type overflow(int_type c) override {
        if (refuseWrites_ || traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::eof();
        }
        written.push_back(static_cast<std::uint8_t>(traits_type::to_char_type(c)));
        return c;
    }
    int_type pbackfail(int_type) override { return traits_type::eof(); }

private:
    bool refuseWrites_;
};

// What the device layer should see on a std::iostream over the same bytes: a read either
// gets all it asks for or fails, and after the first failure every read fails and takes
// nothing (the library never clears a stream's state).
class Reference {
public:
    Reference(const std::uint8_t* data, std::size_t size, bool refuseWrites = false)
        : data_(data), size_(size), refuseWrites_(refuseWrites) {}

    // Takes count bytes; false (and the rest of the input consumed) when fewer are left.
    bool Take(std::size_t count, const std::uint8_t** bytes = nullptr) {
        if (failed_) return false;
        if (size_ - position_ < count) {
            position_ = size_;
            failed_ = true;
            return false;
        }
        if (bytes != nullptr) *bytes = data_ + position_;
        position_ += count;
        return true;
    }

    // The header code as Device::ReadHeaderCode returns it: 0 when nothing could be read.
    std::uint8_t Code() {
        const std::uint8_t* byte = nullptr;
        return Take(1, &byte) ? *byte : 0;
    }

    // The arm's reply pattern: expected code, then length bytes, else a discard of a whole
    // device buffer.
    // Returns the payload of a complete reply, or null.
    const std::uint8_t* Reply(std::uint8_t expectedCode, std::size_t length) {
        if (Code() != expectedCode) {
            Take(Tamro::HardwareAPI::Devices::Device::BufferSize);
            return nullptr;
        }
        const std::uint8_t* payload = nullptr;
        return Take(length, &payload) ? payload : nullptr;
    }

    // A write reaches the stream only while nothing has failed; a refused one fails the stream
    // (badbit), after which reads fail too and take nothing.
    void Write(std::vector<std::uint8_t>& expected, std::initializer_list<std::uint8_t> head,
               const void* tail = nullptr, std::size_t tailSize = 0) {
        if (failed_) return;
        if (refuseWrites_) {
            failed_ = true;
            return;
        }
        expected.insert(expected.end(), head);
        const auto* bytes = static_cast<const std::uint8_t*>(tail);
        if (tailSize > 0) expected.insert(expected.end(), bytes, bytes + tailSize);
    }

    bool Failed() const { return failed_; }
    std::size_t Position() const { return position_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    bool refuseWrites_;
    bool failed_ = false;
};

// Bitwise equality, so NaN payloads compare as the bytes they are.
template <typename T>
bool SameBytes(const T* a, const T* b, std::size_t count) {
    return std::memcmp(a, b, sizeof(T) * count) == 0;
}

// Whether count floats are exactly the binary32 values at wire, bit for bit.
inline bool FloatsAre(const float* values, const std::uint8_t* wire, std::size_t count) {
    return std::memcmp(reinterpret_cast<const std::uint8_t*>(values), wire,
                       sizeof(float) * count) == 0;
}

}  // namespace TamroFuzz
