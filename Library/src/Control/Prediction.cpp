#include "Prediction.hpp"

#include <algorithm>

namespace Tamro::HardwareAPI::Control::Detail {

double PredictionHorizon(double age, double hold, std::size_t inFlight) noexcept {
    const double furthest = (MaxPredictedHolds + static_cast<double>(inFlight) - 1.0) * hold;
    return std::clamp(age + 0.5 * hold, 0.0, furthest);
}

Vec3 PredictedPosition(const Vec3& position, const Vec3& velocity, double horizon) noexcept {
    return position + horizon * velocity;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
