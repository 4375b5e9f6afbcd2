#include "HandleModel.hpp"

#include <cmath>

namespace TamroSimulator {

namespace {

constexpr double Pi = 3.14159265358979323846;

}  // namespace

std::array<float, 4> HandleModel::Orientation(double t) {
    // Axis (1, 1, 1) / sqrt(3): every component moves.
    const double half = 0.5 * TurnRate * t;
    const double s = std::sin(half) / std::sqrt(3.0);
    return {static_cast<float>(std::cos(half)), static_cast<float>(s), static_cast<float>(s),
            static_cast<float>(s)};
}

std::uint8_t HandleModel::HallEffectLevel(double t) {
    return static_cast<std::uint8_t>(
        std::lround(128.0 + 100.0 * std::sin(2.0 * Pi * SqueezeRate * t)));
}

}  // namespace TamroSimulator
