// Rules of the spectral effects that need no host: how an array element
// becomes a gain factor, and the helpers of the transposition.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <vector>

#include "qgain_t.h"
#include "qtranspose_t.h"

TEST(GainFactor, ElementsBecomeFactors)
{
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float v;
        bool db;
        double want;
    } cases[] = {
        {0, true, 1.0},    {-20, true, 0.1},  {6, true, 1.9952623149688795},
        {-inf, true, 0.0}, {inf, true, 1e6},  {500, true, 1e6},
        {nan, true, 1.0},  {nan, false, 1.0}, {0.25f, false, 0.25},
        {-2, false, -2.0}, {inf, false, 1e6}, {-inf, false, -1e6},
    };
    for (const Case &c : cases) EXPECT_NEAR(qgain_t_factor(c.v, c.db), c.want, 1e-12) << c.v << " " << c.db;
}

// The helpers of qtranspose~ on values whose answer is known: wrapping into
// [-pi, pi), interpolation that is exact for a Gaussian band response, and
// the centre of a symmetric window.
TEST(TransposeHelpers, WrapInterpolateAndCentre)
{
    for (double phi : {0.0, 3.0, -3.0, 7.0, -7.0, 100.0, 1e6}) {
        const double w = qtranspose_t_wrap(phi);
        EXPECT_GE(w, -M_PI);
        EXPECT_LT(w, M_PI);
        EXPECT_NEAR(std::remainder(phi - w, 2 * M_PI), 0.0, 1e-9) << phi;
    }
    EXPECT_EQ(qtranspose_t_wrap(NAN), 0.0);
    // A Gaussian of width 1.7 bands centred at 4.3, sampled at the bands.
    std::vector<double> v(10);
    for (int i = 0; i < 10; i++) v[i] = 0.5 * std::exp(-(i - 4.3) * (i - 4.3) / (2 * 1.7 * 1.7));
    for (double x : {0.0, 2.5, 4.3, 4.9, 7.2, 9.0})
        EXPECT_NEAR(qtranspose_t_interpolate(v.data(), 10, x), 0.5 * std::exp(-(x - 4.3) * (x - 4.3) / (2 * 1.7 * 1.7)),
                    1e-9)
            << x;
    EXPECT_EQ(qtranspose_t_interpolate(v.data(), 10, -0.5), 0.0);
    EXPECT_EQ(qtranspose_t_interpolate(v.data(), 10, 9.5), 0.0);
    // Symmetric windows of even and odd length, centred between or on an element.
    for (int L : {8, 9, 200, 201}) {
        std::vector<paf_type> re(L), im(L);
        const double c = (L - 1) / 2.0;
        for (int k = 0; k < L; k++) {
            const double g = std::exp(-(k - c) * (k - c) / (2.0 * L));
            re[k] = (paf_type)(g * std::cos(0.3 * (k - c)));
            im[k] = (paf_type)(g * std::sin(0.3 * (k - c)));
        }
        EXPECT_NEAR(qtranspose_t_window_centre(re.data(), im.data(), L), c, 0.05) << L;
    }
}
