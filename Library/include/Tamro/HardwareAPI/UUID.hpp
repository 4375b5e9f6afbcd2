#pragma once

#include <array>
#include <cstdint>

namespace Tamro::HardwareAPI {

// A device's 16-byte unique identifier, byte 0 first. Zero when default-constructed.
struct UUID {
    std::array<std::uint8_t, 16> data{};

    std::array<std::uint8_t, 16> bytes() const noexcept { return data; }
};

static_assert(sizeof(UUID) == 16 && alignof(UUID) == 1, "UUID is 16 packed bytes");

}  // namespace Tamro::HardwareAPI
