// Encodings of the wire: little-endian 16-bit integers and binary32 floats, packed.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

namespace TamroSimulator {

using Bytes = std::vector<std::uint8_t>;

inline void PutU16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void PutFloat(Bytes& out, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(bits >> shift));
}

inline float GetFloat(const std::uint8_t* in) {
    const std::uint32_t bits = std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 |
                               std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::uint16_t GetU16(const std::uint8_t* in) {
    return static_cast<std::uint16_t>(in[0] | in[1] << 8);
}

}  // namespace TamroSimulator
