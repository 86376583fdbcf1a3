// Frequency warping maps and the B-spline / Lambert W machinery behind them.
// Every formula runs in long double; results are returned as doubles.
#include "qavex_t_theta_functions.h"

#include <cfloat>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>

#include "console_capture.h"
#include "conversions.h"
#include "m_pd.h"

namespace {

constexpr long double LN2 = 0.693147180559945309417232121458176568L;
constexpr long double EULER = 2.718281828459045235360287471352662498L;
constexpr double DNAN = std::numeric_limits<double>::quiet_NaN();

// Beyond this magnitude a table position has no fractional part left and
// its integer neighbours no longer fit the index arithmetic.
constexpr double MAX_TABLE_POSITION = 1e15;

// The bisection bracket grows by one unit per step; after this many steps
// the value counts as unreachable.
constexpr long MAX_WIDENING_STEPS = 1L << 20;

// Odd maps evaluate on |x| and restore the sign; NaN counts as positive.
inline long double sign_of(double x) { return x < 0.0 ? -1.0L : 1.0L; }

// Integer stored as a double in the warping data, truncated toward zero;
// what lies outside (-2^31, 2^31) reads as 0 (an empty table).
constexpr sQavex_IntRule STORED_INT{.lo = INT32_MIN + 1, .outside_as_nan = true};

// Table of the B-spline warping data that begins at entry `first`; its
// start and size stand six and five places in front of it.
struct Table {
    std::int32_t start;
    std::int32_t size;
    double *values;
};
inline Table table_at(double *data, std::int32_t first)
{
    return {qavex_t_to_int32(data[first - 6], STORED_INT), qavex_t_to_int32(data[first - 5], STORED_INT), data + first};
}
constexpr std::int32_t INVERSE_TABLE_FIRST = 11;
inline Table inverse_table(double *data) { return table_at(data, INVERSE_TABLE_FIRST); }
inline Table forward_table(double *data)
{
    std::int32_t si = inverse_table(data).size;
    if (si < 0) si = 0;
    return table_at(data, INVERSE_TABLE_FIRST + si + 7);
}

// Table entry a with the continuations of the interpolators: `below` is the
// value for a < 0 (supplied by the caller), above the end the line through
// the last two entries continues (a flat line for a one-entry table).
inline long double continued_above(const double *p, std::int32_t length, long long a)
{
    long double last = p[length - 1];
    long double step = length >= 2 ? (long double)p[length - 1] - p[length - 2] : 0.0L;
    return last + (long double)(a - length + 1) * step;
}
inline long double linear_below(const double *p, std::int32_t length, long long a)
{
    long double step = length >= 2 ? (long double)p[1] - p[0] : 0.0L;
    return (long double)p[0] + (long double)a * step;
}

// Junction of the exponential map with its linear Nyquist tail.
struct ExpMap {
    long double f0, k, fny, wny, fin, fout, wout;
};

// Last junction computed. The window construction evaluates the map at
// every bin with the same parameters; reusing z, fout and wout saves two
// exponentials per call. LambertW1 is still called each time (one
// comparison while its remembered pair holds z), so its reports and
// results are exactly those of a fresh computation.
struct JunctionCache {
    bool valid = false;
    double f0, k, fny, wny;
    double z, w;
    long double fout, wout;
};
JunctionCache g_junction;

ExpMap exp_map(const double *data)
{
    ExpMap m;
    m.f0 = data[0];
    m.k = data[1];
    m.fny = data[2];
    m.wny = data[3];
    m.fin = m.k / LN2;
    if (m.fny > m.wny) {
        m.fout = m.wout = std::numeric_limits<long double>::infinity();
        return m;
    }
    JunctionCache &c = g_junction;
    if (c.valid && c.f0 == data[0] && c.k == data[1] && c.fny == data[2] && c.wny == data[3]) {
        double w = LambertW1(c.z);
        if (w == c.w || (std::isnan(w) && std::isnan(c.w))) {
            m.fout = c.fout;
            m.wout = c.wout;
            return m;
        }
    }
    long double z = -(m.wny / 2.0L) * std::exp2(1.0L - m.fny / m.k) / (m.f0 * EULER);
    double w = LambertW1((double)z);
    m.fout = (m.k + m.fny * LN2 + m.k * w) / LN2;
    m.wout = m.f0 * std::exp2(m.fout / m.k);
    c = {true, data[0], data[1], data[2], data[3], (double)z, w, m.fout, m.wout};
    return m;
}
long double tail_slope(const ExpMap &m)
{
    long double kout = (m.wny - m.wout) / (m.fny - m.fout);
    if (kout < 0.0L) qavex_t_error(nullptr, "qavex_t: Theta called with bad parameters.");
    return kout;
}

// Table `select` of the B-spline data in *t. Without data the maps post and
// give 0, with an empty table NaN: false, and *result holds that value.
bool bspline_table(double *data, Table (*select)(double *), Table *t, double *result)
{
    if (!data) {
        qavex_t_post("Error qavex_t_Theta_inv_bspline");
        *result = 0.0;
        return false;
    }
    *t = select(data);
    if (t->size > 0) return true;
    *result = DNAN;
    return false;
}

// Odd map through a table: interpolated at |v|, sign restored.
double odd_table_map(double v, const Table &t)
{
    return (double)(sign_of(v) * bspline_inter(std::fabs(v) - t.start, t.values, t.size, 2));
}

// Pieces of the centred B-splines of degrees 4 to 6 at x = |argument| >= 0
// (x2 = x * x); 0 outside the support.
double basis_4(long double x, long double x2)
{
    if (x < 0.5L) return (double)(115.0L / 192.0L + x2 * (-5.0L / 8.0L + x2 / 4.0L));
    if (x < 1.5L) return (double)((55.0L + x * (20.0L + x * (-120.0L + x * (80.0L - 16.0L * x)))) / 96.0L);
    if (x < 2.5L) {
        long double u = 5.0L - 2.0L * x;
        long double u2 = u * u;
        return (double)(u2 * u2 / 384.0L);
    }
    return 0.0;
}

double basis_5(long double x, long double x2)
{
    if (x < 1.0L) return (double)(11.0L / 20.0L + x2 * (-1.0L / 2.0L + x2 * (1.0L / 4.0L - x / 12.0L)));
    if (x < 2.0L)
        return (double)(17.0L / 40.0L +
                        x * (5.0L / 8.0L + x * (-7.0L / 4.0L + x * (5.0L / 4.0L + x * (-3.0L / 8.0L + x / 24.0L)))));
    if (x < 3.0L) {
        long double u = 3.0L - x;
        long double u2 = u * u;
        return (double)(u2 * u2 * u / 120.0L);
    }
    return 0.0;
}

double basis_6(long double x, long double x2)
{
    if (x < 0.5L) return (double)(5887.0L / 11520.0L + x2 * (-77.0L / 192.0L + x2 * (7.0L / 48.0L - x2 / 36.0L)));
    if (x < 1.5L)
        return (double)(7861.0L / 15360.0L +
                        x * (-7.0L / 768.0L +
                             x * (-91.0L / 256.0L +
                                  x * (-35.0L / 288.0L + x * (21.0L / 64.0L + x * (-7.0L / 48.0L + x / 48.0L))))));
    if (x < 2.5L)
        return (double)(1379.0L / 7680.0L +
                        x * (1267.0L / 960.0L +
                             x * (-329.0L / 128.0L +
                                  x * (133.0L / 72.0L + x * (-21.0L / 32.0L + x * (7.0L / 60.0L - x / 120.0L))))));
    if (x < 3.5L) {
        long double u = 7.0L - 2.0L * x;
        long double u3 = u * u * u;
        return (double)(u3 * u3 / 46080.0L);
    }
    return 0.0;
}
}  // namespace

// ---------------------------------------------------------------- B-spline map

double qavex_t_Theta_bspline(double x, double *data)
{
    Table t;
    double result;
    if (!bspline_table(data, forward_table, &t, &result)) return result;
    return odd_table_map(x, t);
}

double qavex_t_Theta_inv_bspline(double nu, double *data)
{
    Table t;
    double result;
    if (!bspline_table(data, inverse_table, &t, &result)) return result;
    return odd_table_map(nu, t);
}

double qavex_t_d_Theta_inf_bspline(double, double *data)
{
    Table t;
    double result;
    if (!bspline_table(data, inverse_table, &t, &result)) return result;
    // The inverse table is sampled at unit frequency steps: its steepest
    // step is the reciprocal of the smallest slope of the forward map.
    long double largest = 0.0L;
    for (std::int32_t i = 1; i < t.size; i++) {
        long double d = (long double)t.values[i] - t.values[i - 1];
        if (d < 0.0L) qavex_t_post("Warping map not monotone increasing at datapoint %i", (int)i);
        if (d > largest) largest = d;
    }
    return (double)(1.0L / largest);
}

// ---------------------------------------------------------------- exponential map

double qavex_t_Theta_exp_c1_nyqu(double x, double *data)
{
    ExpMap m = exp_map(data);
    long double s = sign_of(x);
    long double a = std::fabs((long double)x);
    if (a <= m.fin) return (double)(s * a * EULER * m.f0 * LN2 / m.k);
    if (a <= m.fout) return (double)(s * m.f0 * std::exp2(a / m.k));
    long double kout = tail_slope(m);
    return (double)(s * (m.wout + kout * (a - m.fout)));
}

double qavex_t_Theta_inv_exp_c1_nyqu(double nu, double *data)
{
    ExpMap m = exp_map(data);
    long double s = sign_of(nu);
    long double a = std::fabs((long double)nu);
    long double win = m.f0 * EULER;
    if (a <= win) return (double)(s * a * m.k / (m.f0 * EULER * LN2));
    if (a <= m.wout) return (double)(s * m.k * std::log(a / m.f0) / LN2);
    long double kout = tail_slope(m);
    return (double)(s * (m.fout + (a - m.wout) / kout));
}

double qavex_t_d_Theta_inf_exp_c1_nyqu(double, double *data)
{
    return (double)((long double)data[0] * EULER * LN2 / data[1]);
}

// ---------------------------------------------------------------- closed forms

double qavex_t_Theta_id(double x, double *) { return x; }
double qavex_t_Theta_inv_id(double nu, double *) { return nu; }
double qavex_t_d_Theta_inf_id(double, double *) { return 1.0; }

double qavex_t_Theta_lin(double x, double *data) { return (double)((long double)data[1] * x); }
double qavex_t_Theta_inv_lin(double nu, double *data) { return (double)((long double)nu / data[1]); }
double qavex_t_d_Theta_inf_lin(double, double *data) { return data[1]; }

double qavex_t_Theta_square(double x, double *data)
{
    long double f0 = data[0], k = data[1];
    long double a = std::fabs((long double)x);
    return (double)(sign_of(x) * a * (a + f0 * k) / k);
}

double qavex_t_Theta_inv_square(double nu, double *data)
{
    long double f0 = data[0], k = data[1];
    long double a = std::fabs((long double)nu);
    return (double)(sign_of(nu) * (std::sqrt(k) * std::sqrt(k * f0 * f0 + 4.0L * a) - k * f0) / 2.0L);
}

double qavex_t_d_Theta_inf_square(double, double *data) { return data[0]; }

// ---------------------------------------------------------------- B-splines

double qavex_t_bspline_basis(std::int32_t n, double xd)
{
    const long double x = std::fabs((long double)xd);
    const long double x2 = x * x;
    switch (n) {
    case 0: return x < 0.5L ? 1.0 : 0.0;
    case 1: return x < 1.0L ? (double)(1.0L - x) : 0.0;
    case 2:
        if (x < 0.5L) return (double)(0.75L - x2);
        if (x < 1.5L) {
            long double u = x - 1.5L;
            return (double)(u * u / 2.0L);
        }
        return 0.0;
    case 3:
        if (x < 1.0L) return (double)(2.0L / 3.0L - x2 + x2 * x / 2.0L);
        if (x < 2.0L) {
            long double u = 2.0L - x;
            return (double)(u * u * u / 6.0L);
        }
        return 0.0;
    case 4: return basis_4(x, x2);
    case 5: return basis_5(x, x2);
    case 6: return basis_6(x, x2);
    default: qavex_t_post("Error. Non implemented B-Spline chosen"); return DNAN;
    }
}

namespace {
// Shared guard of the interpolators: a degree without basis posts once
// (instead of once per term) and the sum is NaN; positions that are not
// finite or too large for index arithmetic give NaN.
bool usable_spline(double t, std::int32_t order)
{
    if (order < 0 || order > 6) {
        qavex_t_bspline_basis(order, 0.0);
        return false;
    }
    return std::fabs(t) < MAX_TABLE_POSITION;
}
}  // namespace

double bspline_inter(double t, double *py, std::int32_t length, std::int32_t order)
{
    if (!py || length <= 0) return DNAN;
    if (!usable_spline(t, order)) return DNAN;
    // Every integer a with t - a inside the support |t - a| < (order+1)/2.
    // floor (not truncation) keeps the terms left of 0 for 0 < t < order/2.
    long long low = (long long)std::floor((long double)t - order / 2.0L);
    long long up = (long long)((long double)t + (order + 1) / 2.0L);
    long double sum = 0.0L;
    for (long long a = low; a <= up; a++) {
        long double w = qavex_t_bspline_basis(order, (double)((long double)t - a));
        if (w == 0.0L) continue;
        long double y;
        if (a < 0) y = py[0];
        else if (a < length) y = py[a];
        else y = continued_above(py, length, a);
        sum += w * y;
    }
    return (double)sum;
}

std::complex<double> bspline_inter2(double t, double *px, double *py, std::int32_t length, std::int32_t order)
{
    if (!px || !py || length <= 0) return {DNAN, 0.0};
    if (!usable_spline(t, order)) return {DNAN, 0.0};
    long long low = (long long)((long double)t - order / 2.0L);
    if ((long double)t - order < 0.0L) low--;
    long long up = (long long)((long double)t + (order + 1) / 2.0L);
    long double sx = 0.0L, sy = 0.0L;
    for (long long a = low; a <= up; a++) {
        long double w = qavex_t_bspline_basis(order, (double)((long double)t - a));
        if (w == 0.0L) continue;
        long double xa, ya;
        if (a < 0) {
            xa = linear_below(px, length, a);
            ya = linear_below(py, length, a);
        } else if (a < length) {
            xa = px[a];
            ya = py[a];
        } else {
            xa = continued_above(px, length, a);
            ya = continued_above(py, length, a);
        }
        sx += w * xa;
        sy += w * ya;
    }
    return {(double)sx, (double)sy};
}

double bspline_inter2_first(double t, double *px, double *py, std::int32_t length, std::int32_t n)
{
    return bspline_inter2(t, px, py, length, n).real();
}

double bspline_inter2_second(double t, double *px, double *py, std::int32_t length, std::int32_t n)
{
    return bspline_inter2(t, px, py, length, n).imag();
}

double bspline_inter_inv(bspline_curve_function func, double val, double *px, double *py, std::int32_t length,
                         std::int32_t n, double left, double right, double accuracy)
{
    const long double v = val;
    auto g = [&](double t) -> long double { return func(t, px, py, length, n); };
    // v strictly above both values or strictly below both: not bracketed.
    auto outside = [&](long double a, long double b) { return (v > a && v > b) || (v < a && v < b); };

    // A bound outside the double range (or NaN) has no curve value.
    if (!std::isfinite(left) || !std::isfinite(right)) return DNAN;
    if (left == right) {
        right = right + 1.0;
        left = left - 1.0;
    }
    if (left > right) std::swap(left, right);

    long double gl = g(left), gr = g(right);
    if (std::fabs(gl - v) < accuracy) return left;
    if (std::fabs(gr - v) < accuracy) return right;

    for (long steps = 0; outside(gl, gr); steps++) {
        if (steps >= MAX_WIDENING_STEPS) return DNAN;
        left = left - 1.0;
        right = right + 1.0;
        if (left < -DBL_MAX || right > DBL_MAX) return DNAN;
        gl = g(left);
        gr = g(right);
    }

    long double l = gl;
    for (int i = 0; i < 100; i++) {
        double half = (double)(((long double)left + right) / 2.0L);
        long double h = g(half);
        long double diff = std::fabs(h - v);
        if (diff <= accuracy || std::isnan(diff)) return half;
        if (outside(h, l)) {
            left = half;
            l = h;
        } else {
            right = half;
        }
    }
    qavex_t_post("bspline_inter_inv: no convergence");
    return DNAN;
}

// ---------------------------------------------------------------- Lambert W

namespace {
double g_lambert_arg = -0.367879441171442;
double g_lambert_result = -1.0;
}  // namespace

double LambertW1(double z)
{
    if (z == g_lambert_arg) return g_lambert_result;
    g_lambert_arg = z;
    if (z < -0.36787944117144233 || z >= 0.0 || std::isinf(z) || std::isnan(z)) {
        qavex_t_post("LambertW1: bad argument %g, return 0", z);
        g_lambert_result = 0.0;
        return 0.0;
    }
    const long double zl = z;
    long double w, p;
    if (zl < -1e-6L) {
        // Series at the branch point. The double nearest -1/e lies just
        // below -1/e, so e*z + 1 can come out a hair negative: clamp it.
        long double r = EULER * zl + 1.0L;
        if (r < 0.0L) r = 0.0L;
        p = -std::sqrt(2.0L * r);
        w = -1.0L + p * (1.0L + p * (-1.0L / 3.0L + p * 11.0L / 72.0L));
    } else {
        long double l1 = std::log(-zl);
        long double l2 = std::log(-l1);
        w = l1 - l2 + l2 / l1;
        p = 1.0L;
    }
    if (std::fabs(p) < 0.0001L) {
        g_lambert_result = (double)w;
        return g_lambert_result;
    }
    for (int i = 0; i < 10; i++) {
        long double ew = std::exp(w);
        long double t = w * ew - zl;
        p = w + 1.0L;
        t = t / (ew * p - (p + 1.0L) * t / (2.0L * p));
        w = w - t;
        if (std::fabs(t) < 4e-16L * (1.0L + std::fabs(w))) {
            g_lambert_result = (double)w;
            return g_lambert_result;
        }
    }
    qavex_t_post("LambertW1: No convergence at z=%g, return 0", z);
    g_lambert_result = 0.0;
    return 0.0;
}
