// Rules of the spectral effects that need no host: how an array element
// becomes a gain factor.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "qgain_t.h"

TEST(GainFactor, ElementsBecomeFactors)
{
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float v;
        bool db;
        double want;
    } cases[] = {
        {0, true, 1.0},     {-20, true, 0.1},  {6, true, 1.9952623149688795},
        {-inf, true, 0.0},  {inf, true, 1e6},  {500, true, 1e6},
        {nan, true, 1.0},   {nan, false, 1.0}, {0.25f, false, 0.25},
        {-2, false, -2.0},  {inf, false, 1e6}, {-inf, false, -1e6},
    };
    for (const Case &c : cases) EXPECT_NEAR(qgain_t_factor(c.v, c.db), c.want, 1e-12) << c.v << " " << c.db;
}
