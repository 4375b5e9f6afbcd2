// Delay compensation. A force made from the arm's state acts later, while the arm moves on: the
// state is `age` old when the force is sent, and the force is then held for a period. A
// compensating loop renders its effects at the position the arm will have, on average, while the
// force acts: the reply's position moved on by the reply's velocity over age + hold / 2. That
// gives back the stiffness the delay takes (docs/servo-loop.md), at the price of turning noise in
// the velocity into noise in the position, scaled by the horizon.
#pragma once

#include <Tamro/HardwareAPI/Control/ServoLoop.hpp>
#include <Tamro/HardwareAPI/Control/Vector.hpp>

#include <cstddef>

namespace Tamro::HardwareAPI::Control::Detail {

// A state much older than a hold (after a stall or failed exchanges) is predicted no further
// than this many holds: the velocity of long ago says little about where the arm went since.
// A loop that keeps requests in flight makes its states a hold older per request beyond the
// first, and predicts that much further.
constexpr double MaxPredictedHolds = ServoLoop::MaxPredictedHolds;

// How far ahead to predict, in seconds, for a state `age` old and a force held `hold`, in a loop
// that keeps up to `inFlight` requests on the line.
double PredictionHorizon(double age, double hold, std::size_t inFlight = 1) noexcept;

// Where the arm will be `horizon` seconds after the state (position, velocity).
Vec3 PredictedPosition(const Vec3& position, const Vec3& velocity, double horizon) noexcept;

}  // namespace Tamro::HardwareAPI::Control::Detail
