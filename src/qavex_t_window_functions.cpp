// Prototype window shapes. All arithmetic in long double; every shape is
// real and even, so the imaginary part is always 0.
#include "qavex_t_window_functions.h"

#include <cmath>

#include "records.h"

namespace {

// Near x = ±pi the closed form of the cosine spectrum is a quotient of two
// vanishing terms; there it is replaced by A * P(x).
constexpr long double WIN_COS_A = -1.306217815240946978089826e-16L;
constexpr long double WIN_COS_P[11] = {
    -4873764530791584.78515625L,   // x^0
    890682886.6014673218014650L,   // x^1
    115403559438020.6919784546L,   // x^2
    1336824385.932056980556808L,   // x^3
    -999969556207.6554830670357L,  // x^4
    370983117.1359132982033771L,   // x^5
    4418848345.455752659589052L,   // x^6
    25624930.11536048764173756L,   // x^7
    -16593705.34035539648357371L,  // x^8
    375175.5695890276238912975L,   // x^9
    5656.166841445318521408581L,   // x^10
};
constexpr long double NEAR_SINGULAR = 0.001L;

// A * P(x) for x = w * wl close to +pi. The powers of w and of wl are built
// by repeated multiplication and kept as doubles, then multiplied term by
// term; the sum runs in long double because its terms reach 1e15.
long double win_cos_near_pi(long double w, long double wl)
{
    double pw[11], pwl[11];
    pw[0] = 1.0;
    pwl[0] = 1.0;
    for (int n = 1; n <= 10; n++) {
        pw[n] = (double)(pw[n - 1] * w);
        pwl[n] = (double)(pwl[n - 1] * wl);
    }
    long double sum = 0.0L;
    for (int n = 0; n <= 10; n++) sum += WIN_COS_P[n] * ((long double)pw[n] * pwl[n]);
    return WIN_COS_A * sum;
}

}  // namespace

pac_type qavex_t_wf_win_cos(double t, double h, double wl, double)
{
    long double tl = t, wll = wl;
    if (tl >= -wll / 2.0L && tl < wll / 2.0L) return {(double)(h * std::cos(QAVEX_PI * tl / wll)), 0.0};
    return {0.0, 0.0};
}

pac_type qavex_t_wf_WIN_COS(double f, double h, double wl, double)
{
    const long double wll = wl, hl = h;
    const long double w = 2.0L * QAVEX_PI * f;
    const long double x = w * wll;
    if (w == QAVEX_PI / wll || w == -QAVEX_PI / wll) return {(double)(0.5L * wll * hl), 0.0};
    if (std::fabs(QAVEX_PI - x) < NEAR_SINGULAR || std::fabs(x + QAVEX_PI) < NEAR_SINGULAR) {
        // The spectrum is even: near -pi evaluate at the mirrored point
        // (the polynomial itself is fitted around +pi only).
        long double ws = x < 0.0L ? -w : w;
        return {(double)(wll * hl * win_cos_near_pi(ws, wll)), 0.0};
    }
    long double v = 2.0L * QAVEX_PI * wll * hl * std::cos(x / 2.0L) / (QAVEX_PI * QAVEX_PI - x * x);
    return {(double)v, 0.0};
}

pac_type qavex_t_wf_WIN_SQRT_GAUSS(double f, double h, double wl, double)
{
    const long double fl = f, wll = wl;
    return {(double)(wll * h * QAVEX_G * std::exp(-fl * fl * wll * wll)), 0.0};
}
