// Prototype window shapes: cosine window, its spectrum, square-root Gaussian.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pd_stub.h"
#include "qavex_t_window_functions.h"

namespace {

const long double PI = 3.141592653589793238462643383279502884L;

// Closed form of the cosine spectrum, evaluated independently and rewritten
// around |x| = pi (d = |x| - pi) so that it stays accurate there:
// cos(x/2) / (pi^2 - x^2) = sin(d/2) / (d (2 pi + d)).
long double closed_form(long double f, long double h, long double wl)
{
    long double d = std::fabs(2.0L * PI * f * wl) - PI;
    if (d == 0.0L) return 0.5L * wl * h;
    return 2.0L * PI * wl * h * std::sin(d / 2.0L) / (d * (2.0L * PI + d));
}

// Fourier integral of the time-domain window at frequency f (composite
// Simpson over the window's support).
long double fourier_integral(double f, double h, double wl)
{
    const int n = 20000;
    const long double a = -wl / 2.0L, step = (long double)wl / n;
    long double s = 0.0L;
    for (int i = 0; i <= n; i++) {
        long double t = a + i * step;
        long double w = (i == 0 || i == n) ? 1.0L : (i % 2 ? 4.0L : 2.0L);
        // The window is continuous and zero at both edges; sample the
        // closed-interval shape so the upper edge contributes its 0.
        long double v = (i == n) ? 0.0L : qavex_t_wf_win_cos((double)t, h, wl, 0.0).real();
        s += w * v * std::cos(2.0L * PI * f * t);
    }
    return s * step / 3.0L;
}

}  // namespace

TEST(CosWindow, TimeDomain)
{
    const double h = 1.5, wl = 0.02;
    EXPECT_NEAR(qavex_t_wf_win_cos(-wl / 2, h, wl, 0).real(), 0.0, 1e-15);
    EXPECT_EQ(qavex_t_wf_win_cos(wl / 2, h, wl, 0).real(), 0.0);
    EXPECT_EQ(qavex_t_wf_win_cos(0.0, 2.0, 1.0, 0.0).real(), 2.0);
    EXPECT_NEAR(qavex_t_wf_win_cos(wl / 6, h, wl, 0).real(), h * std::cos(M_PI / 6), 1e-15);
    EXPECT_EQ(qavex_t_wf_win_cos(0.011, h, wl, 0).real(), 0.0);
    EXPECT_EQ(qavex_t_wf_win_cos(-0.011, h, wl, 0).real(), 0.0);
    // wl = 0: no t lies inside.
    EXPECT_EQ(qavex_t_wf_win_cos(0.0, h, 0.0, 0).real(), 0.0);
    for (double t = -0.012; t < 0.012; t += 0.0007) {
        pac_type v = qavex_t_wf_win_cos(t, h, wl, 0);
        EXPECT_EQ(v.imag(), 0.0);
        EXPECT_EQ(v.real(), qavex_t_wf_win_cos(-t, h, wl, 0).real()) << t;
        EXPECT_GE(v.real(), 0.0);
    }
}

TEST(CosSpectrum, StatedValues)
{
    stub::clear();
    EXPECT_NEAR(qavex_t_wf_WIN_COS(0.0, 1.0, 1.0, 0.0).real(), 2.0 / M_PI, 1e-15);
    EXPECT_NEAR(qavex_t_wf_WIN_COS(0.0, 1.0, 1.0, 0.0).real(), 0.63662, 1e-5);
    // Exact singular points: 0.5 * wl * h.
    EXPECT_EQ(qavex_t_wf_WIN_COS(0.5, 1.0, 1.0, 0.0).real(), 0.5);
    EXPECT_EQ(qavex_t_wf_WIN_COS(-0.5, 1.0, 1.0, 0.0).real(), 0.5);
    EXPECT_EQ(qavex_t_wf_WIN_COS(0.25, 3.0, 2.0, 0.0).real(), 3.0);
    // Zeros at f * wl = 3/2, 5/2.
    EXPECT_NEAR(qavex_t_wf_WIN_COS(1.5, 1.0, 1.0, 0.0).real(), 0.0, 1e-15);
    EXPECT_NEAR(qavex_t_wf_WIN_COS(2.5, 1.0, 1.0, 0.0).real(), 0.0, 1e-15);
    EXPECT_NEAR(qavex_t_wf_WIN_COS(0.75, 2.0, 2.0, 0.0).real(), 0.0, 1e-15);
    // Magnitude h * 2 wl / pi at f = 0.
    EXPECT_NEAR(qavex_t_wf_WIN_COS(0.0, 3.0, 0.04, 0.0).real(), 3.0 * 2.0 * 0.04 / M_PI, 1e-15);
    // wl = 0 degenerates to 0 without complaint.
    EXPECT_EQ(qavex_t_wf_WIN_COS(0.3, 1.0, 0.0, 0.0).real(), 0.0);
    EXPECT_TRUE(stub::console().empty());
}

TEST(CosSpectrum, PolynomialBandJoinsTheClosedForm)
{
    const double h = 1.7;
    for (double wl : {1.0, 0.037, 2.5}) {
        // Offsets in x = 2 pi f wl from +pi and -pi, inside the band and just
        // outside it.
        for (double dx : {-1.2e-3, -0.99e-3, -5e-4, -1e-5, -1e-9, 1e-9, 1e-5, 5e-4, 0.99e-3, 1.2e-3}) {
            for (int side : {1, -1}) {
                long double x = side * PI + dx;
                double f = (double)(x / (2.0L * PI * wl));
                double v = qavex_t_wf_WIN_COS(f, h, wl, 0.0).real();
                long double ref = closed_form(f, h, wl);
                EXPECT_NEAR(v, (double)ref, 1e-12 * std::fabs((double)ref)) << wl << " " << side << " " << dx;
                EXPECT_EQ(qavex_t_wf_WIN_COS(f, h, wl, 0.0).imag(), 0.0);
            }
        }
        // Even in f right across the band.
        for (double df = -3e-4; df <= 3e-4; df += 1.7e-5) {
            double f = 0.5 / wl + df / wl;
            EXPECT_EQ(qavex_t_wf_WIN_COS(f, h, wl, 0.0).real(), qavex_t_wf_WIN_COS(-f, h, wl, 0.0).real()) << f;
        }
    }
}

TEST(CosSpectrum, IsTheFourierTransformOfTheTimeWindow)
{
    const double h = 1.3, wl = 0.8;
    for (double f : {0.0, 0.3, 0.625, 0.9, 1.7, 3.1}) {
        double v = qavex_t_wf_WIN_COS(f, h, wl, 0.0).real();
        double ref = (double)fourier_integral(f, h, wl);
        EXPECT_NEAR(v, ref, 1e-12) << f;
    }
}

TEST(SqrtGauss, Values)
{
    EXPECT_EQ((long double)qavex_t_wf_WIN_SQRT_GAUSS(0.0, 1.0, 1.0, 0.0).real(), (long double)(double)QAVEX_G);
    EXPECT_NEAR(qavex_t_wf_WIN_SQRT_GAUSS(0.0, 1.0, 1.0, 0.0).real(), 1.26325, 1e-5);
    EXPECT_NEAR(qavex_t_wf_WIN_SQRT_GAUSS(1.0, 1.0, 1.0, 0.0).real(), 0.46472, 1e-5);
    EXPECT_NEAR(qavex_t_wf_WIN_SQRT_GAUSS(0.25, 2.0, 4.0, 0.0).real(), (double)(4.0L * 2.0L * QAVEX_G / std::exp(1.0L)),
                1e-14);
    EXPECT_NEAR(qavex_t_wf_WIN_SQRT_GAUSS(-0.25, 2.0, 4.0, 0.0).real(),
                qavex_t_wf_WIN_SQRT_GAUSS(0.25, 2.0, 4.0, 0.0).real(), 0.0);
    EXPECT_EQ(qavex_t_wf_WIN_SQRT_GAUSS(0.3, 1.0, 0.0, 0.0).real(), 0.0);
    // Its square has standard deviation 1 / (2 wl): value at f = 1/(2 wl)
    // squared is e^(-1/2) of the peak squared.
    const double wl = 0.3;
    double p = qavex_t_wf_WIN_SQRT_GAUSS(0.0, 1.0, wl, 0.0).real();
    double s = qavex_t_wf_WIN_SQRT_GAUSS(1.0 / (2 * wl), 1.0, wl, 0.0).real();
    EXPECT_NEAR(s * s / (p * p), std::exp(-0.5), 1e-15);
    for (double f = -5.0; f <= 5.0; f += 0.37) EXPECT_EQ(qavex_t_wf_WIN_SQRT_GAUSS(f, 1.1, 0.7, 0.0).imag(), 0.0);
}
