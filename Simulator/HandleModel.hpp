// What the simulated handle reports: an orientation turning slowly about a tilted axis, a
// Hall-effect level rising and falling, and the user data the host last sent it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace TamroSimulator {

class HandleModel {
public:
    static constexpr double TurnRate = 0.5;     // rad/s
    static constexpr double SqueezeRate = 0.2;  // Hz, of the Hall-effect level

    // Unit quaternion (w, x, y, z) after t seconds.
    static std::array<float, 4> Orientation(double t);
    // 28 to 228, after t seconds.
    static std::uint8_t HallEffectLevel(double t);

    void SetUserData(const std::uint8_t* data, std::size_t length) {
        userData_.assign(data, data + length);
    }
    const std::vector<std::uint8_t>& UserData() const { return userData_; }

private:
    std::vector<std::uint8_t> userData_;
};

}  // namespace TamroSimulator
