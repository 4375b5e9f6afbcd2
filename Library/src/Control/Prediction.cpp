#include "Prediction.hpp"

#include <algorithm>

namespace Tamro::HardwareAPI::Control::Detail {

double PredictionHorizon(double age, double hold) noexcept {
    return std::clamp(age + 0.5 * hold, 0.0, MaxPredictedHolds * hold);
}

Vec3 PredictedPosition(const Vec3& position, const Vec3& velocity, double horizon) noexcept {
    return position + horizon * velocity;
}

}  // namespace Tamro::HardwareAPI::Control::Detail
