// Delay compensation: how far ahead the loop predicts, and where that puts the arm.
#include "Control/Prediction.hpp"

#include <gtest/gtest.h>

using namespace Tamro::HardwareAPI::Control;
using namespace Tamro::HardwareAPI::Control::Detail;

TEST(Prediction, TheHorizonIsTheStatesAgeAndHalfTheHoldUpToThreeHoldsBeyondThePipeline) {
    struct Case {
        double age, hold, horizon;
        std::size_t inFlight = 1;
    };
    const Case cases[] = {
        {1e-3, 1e-3, 1.5e-3},  // every exchange answered: a period old, held a period
        {0.4e-3, 1e-3, 0.9e-3},
        {2e-3, 1e-3, 2.5e-3},  // one failed exchange in between
        {1.0, 1e-3, 3e-3},     // a stall: no further than three holds
        {0.0, 0.0, 0.0},
        // Three requests in flight over a 2 ms link: three periods old is their way, not a
        // stall; a stall is three holds beyond that.
        {3e-3, 1e-3, 3.5e-3, 3},
        {1.0, 1e-3, 5e-3, 3},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(PredictionHorizon(c.age, c.hold, c.inFlight), c.horizon) << c.age;
    const Vec3 p = PredictedPosition({0.01, 0, -0.02}, {0.5, 0, -1}, 2e-3);
    EXPECT_DOUBLE_EQ(p[0], 0.011);
    EXPECT_DOUBLE_EQ(p[1], 0.0);
    EXPECT_DOUBLE_EQ(p[2], -0.022);
}
