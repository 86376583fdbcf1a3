// Operations on one complex window array (pac array), taken by its slot.
//
// Reading and in-place functions touch only the elements. Rebuilding
// functions allocate a fresh block, fill it, free the old block, store the
// new address in the slot, write the length word and the old side word and
// (all except the plain DFT) zero the guard elements. When an allocation
// fails the slot and the old array stay as they were.
//
// Arithmetic: sums run in double, rounded after every addition; complex
// products and quotients run in long double (with the runtime's recovery
// rules for infinite and NaN operands) and are rounded when stored.

#include "qavex_t_array_functions.h"
#include "console_capture.h"
#include "fft_plans.h"

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fftw3.h>

#include "allocator.h"
#include "m_pd.h"
#include "records.h"
#include "window_words.h"

namespace {

typedef std::complex<long double> ext_type;

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Moving averages up to this many additions sum every output on its own,
// in index order; longer ones slide, summing afresh every RESUM outputs.
constexpr std::int64_t FLOATING_AVERAGE_DIRECT_WORK = (std::int64_t)1 << 24;
constexpr std::int32_t FLOATING_AVERAGE_RESUM = 256;

// Longest array prolong makes: 2^24 elements (256 MiB, over six minutes of
// samples), far beyond any window the designer builds.
constexpr std::int64_t PROLONG_MAX_ELEMENTS = (std::int64_t)1 << 24;

inline ext_type ext(pac_type x) { return ext_type(x.real(), x.imag()); }
inline pac_type to_pac(ext_type x) { return pac_type((double)x.real(), (double)x.imag()); }

inline double mag(pac_type x) { return std::hypot(x.real(), x.imag()); }

// Both parts scaled by a real factor, in extended precision.
inline pac_type scale(pac_type x, long double f) { return pac_type((double)(x.real() * f), (double)(x.imag() * f)); }
inline pac_type divide(pac_type x, long double d) { return pac_type((double)(x.real() / d), (double)(x.imag() / d)); }

// Fresh block for a rebuild: n elements, length word n, the old side word.
pac_type *rebuild_begin(pac_type **pp, std::int32_t n) { return qavex_t_new_pac(n, qavex_t_pac_side(*pp)); }

// Frees the old block, stores the new one and zeroes its guards.
void rebuild_finish(pac_type **pp, pac_type *fresh)
{
    qavex_t_free(*pp);
    *pp = fresh;
    qavex_t_pac_zero_guards(fresh);
}

// Largest magnitude, starting from 0; a NaN magnitude never wins.
double max_magnitude(const pac_type *a, std::int32_t n)
{
    double m = 0.0;
    for (std::int32_t i = 0; i < n; i++) {
        double v = mag(a[i]);
        if (v > m) m = v;
    }
    return m;
}

double abs_sum(const pac_type *a, std::int32_t n)
{
    double s = 0.0;
    for (std::int32_t i = 0; i < n; i++) s += mag(a[i]);
    return s;
}

// Magnitude-weighted mean index, counted from 0; +inf for a zero sum.
double abs_mu(const pac_type *a, std::int32_t n)
{
    double s = abs_sum(a, n);
    if (s == 0.0) return INF;
    double w = 0.0;
    for (std::int32_t i = 0; i < n; i++) w += (double)((long double)mag(a[i]) * (long double)(i + 1));
    return (double)((long double)w / s - 1.0L);
}

// Sets every element whose real part passes the test to 0; the count.
template <typename Test>
std::int32_t zero_where(pac_type *a, Test test)
{
    std::int32_t n = qavex_t_window_length(a);
    std::int32_t changed = 0;
    for (std::int32_t i = 0; i < n; i++)
        if (test(a[i].real())) {
            a[i] = pac_type(0.0, 0.0);
            changed++;
        }
    return changed;
}

}  // namespace

// ---------------------------------------------------------------- DFT

void qavex_t_simplefft_array(pac_type **ppcIn, pac_type **ppcOut, std::int32_t FFTW_FLAG)
{
    if (!ppcIn || !*ppcIn || !ppcOut) {
        qavex_t_error(nullptr, "qavex_t_simpleftt_array: call with NULL-Pointer");
        return;
    }
    if (FFTW_FLAG != FFTW_FORWARD && FFTW_FLAG != FFTW_BACKWARD) {
        // FFTW accepts only these two signs and aborts on any other.
        qavex_t_error(nullptr, "qavex_t_simplefft_array: sign %i is neither -1 nor 1", (int)FFTW_FLAG);
        return;
    }
    pac_type *in = *ppcIn;
    std::int32_t n = qavex_t_window_length(in);
    if (n == 0) return;  // nothing to transform, and no block of size 0
    pac_type side = qavex_t_pac_side(in);

    pac_type *work = (pac_type *)qavex_t_malloc0((std::size_t)n * sizeof(pac_type));
    if (!work) return;
    pac_type *out = qavex_t_new_pac(n, side);
    if (!out) {
        qavex_t_free(work);
        return;
    }
    // FFTW_ESTIMATE does not touch the arrays, so the plan can be made
    // before the data is copied in.
    fftw_complex *from = reinterpret_cast<fftw_complex *>(work), *to = reinterpret_cast<fftw_complex *>(out);
    const sFftPlan *plan = fft_plan_acquire(FFTW_FLAG == FFTW_FORWARD ? eFft::FORWARD : eFft::BACKWARD, n, from, to);
    if (!plan) {
        qavex_t_free(out);
        qavex_t_free(work);
        return;
    }
    std::memcpy(work, in, (std::size_t)n * sizeof(pac_type));
    fft_execute(plan, from, to);

    qavex_t_free(*ppcOut);  // the input itself when transforming in place
    *ppcOut = out;
    qavex_t_pac_set_header(out, n, side);

    fft_plan_release(plan);
    qavex_t_free(work);
}

void qavex_t_fft_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *old = *ppcIn;
    if (qavex_t_window_length(old) == 0) return;
    qavex_t_simplefft_array(ppcIn, ppcIn, FFTW_FORWARD);
    // Only a rebuilt array gets fresh guards; the old block is still live
    // during the transform, so a new block never has its address.
    if (*ppcIn != old) qavex_t_pac_zero_guards(*ppcIn);
}

// ---------------------------------------------------------------- queries

std::int32_t qavex_t_get_first_zero_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return -1;
    const pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    if (n == 0 || a[0].real() < 0.0) return -1;
    for (std::int32_t i = 0; i < n; i++)
        if (a[i].real() < 0.0) return i;
    return n - 1;
}

std::int32_t qavex_t_get_window_length_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return 0;
    return qavex_t_window_length(*ppcIn);
}

pac_type qavex_t_first_value_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn || qavex_t_window_length(*ppcIn) == 0) return pac_type(0.0, 0.0);
    return (*ppcIn)[0];
}

pac_type qavex_t_last_value_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return pac_type(0.0, 0.0);
    std::int32_t n = qavex_t_window_length(*ppcIn);
    if (n == 0) return pac_type(0.0, 0.0);
    return (*ppcIn)[n - 1];
}

pac_type qavex_t_maximum_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return pac_type(0.0, 0.0);
    return pac_type(max_magnitude(*ppcIn, qavex_t_window_length(*ppcIn)), 0.0);
}

std::int32_t qavex_t_get_first_small_value_array(pac_type **ppcIn, pac_type_real ldSmallVal)
{
    if (!ppcIn || !*ppcIn) return 0;
    const pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    std::int32_t i = 0;
    while (i < n && mag(a[i]) < ldSmallVal) i++;
    return i;
}

std::int32_t qavex_t_get_last_small_value_array(pac_type **ppcIn, pac_type_real ldSmallVal)
{
    if (!ppcIn || !*ppcIn) return 0;
    const pac_type *a = *ppcIn;
    std::int32_t i = qavex_t_window_length(a) - 1;
    while (i >= 0 && mag(a[i]) < ldSmallVal) i--;
    return i;
}

pac_type qavex_t_abs_sum_coarse_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return pac_type(NaN, 0.0);
    return pac_type(abs_sum(*ppcIn, qavex_t_window_length(*ppcIn)), 0.0);
}

pac_type qavex_t_abs_mu_coarse_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return pac_type(NaN, 0.0);
    return pac_type(abs_mu(*ppcIn, qavex_t_window_length(*ppcIn)), 0.0);
}

pac_type qavex_t_abs_sigma_coarse_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return pac_type(NaN, 0.0);
    const pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    double s = abs_sum(a, n);
    if (s == 0.0) return pac_type(INF, 0.0);
    long double mu = abs_mu(a, n);
    double v = 0.0;
    for (std::int32_t i = 0; i < n; i++) {
        long double d = (long double)i - mu;
        v += (double)((long double)mag(a[i]) * d * d);
    }
    return pac_type((double)std::sqrt((long double)v / s), 0.0);
}

pac_type qavex_t_inner_product_array(pac_type **ppcIn1, pac_type **ppcIn2)
{
    if (!ppcIn1 || !*ppcIn1 || !ppcIn2 || !*ppcIn2) return pac_type(NaN, NaN);
    const pac_type *a = *ppcIn1;
    const pac_type *b = *ppcIn2;
    std::int32_t n = qavex_t_window_length(a);
    if (n != qavex_t_window_length(b)) return pac_type(NaN, NaN);
    pac_type sum(0.0, 0.0);
    for (std::int32_t i = 0; i < n; i++) {
        ext_type p = ext(a[i]) * std::conj(ext(b[i]));
        sum = to_pac(ext(sum) + p);
    }
    return sum;
}

pac_type_real qavex_t_length_of_vector_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return NaN;
    pac_type v = qavex_t_inner_product_array(ppcIn, ppcIn);
    pac_type r = to_pac(std::sqrt(ext(v)));
    if (!(r.imag() == 0.0)) qavex_t_post("length_of_vector: Fehler in Berechnung.");
    return r.real();
}

pac_type qavex_t_make_dc_offset_array(pac_type **ppcIn, std::int32_t iChangeOffset, pac_type cNewMean)
{
    if (!ppcIn || !*ppcIn) return pac_type(NaN, NaN);
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    double sr = 0.0, si = 0.0;
    for (std::int32_t i = 0; i < n; i++) {
        sr += a[i].real();
        si += a[i].imag();
    }
    // 0/0 gives the NaN mean of an array without elements.
    pac_type m((double)((long double)sr / n), (double)((long double)si / n));
    if (iChangeOffset != 0)
        for (std::int32_t i = 0; i < n; i++) a[i] = (a[i] - m) + cNewMean;
    return m;
}

// ---------------------------------------------------------------- element maps

void qavex_t_abs_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    for (std::int32_t i = 0; i < n; i++) a[i] = pac_type(mag(a[i]), 0.0);
}

void qavex_t_componentabs_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    for (std::int32_t i = 0; i < n; i++) a[i] = pac_type(std::fabs(a[i].real()), std::fabs(a[i].imag()));
}

void qavex_t_ln_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    for (std::int32_t i = 0; i < n; i++) a[i] = to_pac(std::log(ext(a[i])));
}

void qavex_t_imag_plus_real_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    for (std::int32_t i = 0; i < n; i++) {
        double re = a[i].real(), im = a[i].imag();
        a[i] = pac_type(re + im, im - re);
    }
}

void qavex_t_set_nan_to_zero_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    std::int32_t changed = zero_where(*ppcIn, [](double re) { return std::isnan(re); });
    if (changed) qavex_t_post("Anzahl Nans: %i", (int)changed);
}

void qavex_t_set_inf_to_zero_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    std::int32_t changed = zero_where(*ppcIn, [](double re) { return std::isinf(re); });
    if (changed) qavex_t_post("*%p, Anzahl Infs: %i", (void *)*ppcIn, (int)changed);
}

void qavex_t_normalize_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    double m = max_magnitude(a, n);
    if (m == 0.0) return;
    for (std::int32_t i = 0; i < n; i++) a[i] = divide(a[i], m);
}

void qavex_t_integrate_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    if (n == 0) return;
    for (std::int32_t i = 1; i < n; i++) a[i] += a[i - 1];
    double sr = 0.0, si = 0.0;
    for (std::int32_t i = 0; i < n; i++) {
        sr += a[i].real();
        si += a[i].imag();
    }
    pac_type m((double)((long double)sr / n), (double)((long double)si / n));
    for (std::int32_t i = 0; i < n; i++) a[i] -= m;
}

void qavex_t_mult_array(pac_type **ppcIn, _eMultType eType, pac_type cVal)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    switch (eType) {
    case TIMES_VAL: {
        ext_type v = ext(cVal);
        for (std::int32_t i = 0; i < n; i++) a[i] = to_pac(ext(a[i]) * v);
        break;
    }
    case TIMES_CONJ:
        for (std::int32_t i = 0; i < n; i++) {
            ext_type x = ext(a[i]);
            a[i] = to_pac(x * std::conj(x));
        }
        break;
    case TIMES_N:
        for (std::int32_t i = 0; i < n; i++) a[i] = scale(a[i], n);
        break;
    case DIV_N:
        for (std::int32_t i = 0; i < n; i++) a[i] = divide(a[i], n);
        break;
    case RECIPROCAL:
        for (std::int32_t i = 0; i < n; i++) a[i] = to_pac(ext_type(1.0L, 0.0L) / ext(a[i]));
        break;
    case CONJUGATE:
        for (std::int32_t i = 0; i < n; i++) a[i] = std::conj(a[i]);
        break;
    case NORMALIZE:
        for (std::int32_t i = 0; i < n; i++) {
            double m = mag(a[i]);
            a[i] = (m == 0.0) ? pac_type(1.0, 0.0) : divide(a[i], m);
        }
        break;
    default: break;
    }
}

void qavex_t_cut_array(pac_type **ppcIn, pac_type_real dCutLow, pac_type_real dCutHigh, pac_type cSetValueLow,
                       pac_type cSetValueHigh)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    // Unit phasor times the set value; an exact zero has no phasor and
    // gives NaN + NaN i.
    auto phased = [](pac_type x, double m, pac_type v) {
        ext_type u((long double)x.real() / m, (long double)x.imag() / m);
        return to_pac(u * ext(v));
    };
    for (std::int32_t i = 0; i < n; i++) {
        pac_type x = a[i];
        double m = mag(x);
        if (m <= dCutLow) {
            x = phased(x, m, cSetValueLow);
            m = mag(x);
        }
        if (m >= dCutHigh) x = phased(x, m, cSetValueHigh);
        a[i] = x;
    }
}

void qavex_t_badfilter_array(pac_type **ppcIn, std::int32_t iBin0, std::int32_t iBin1)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    if (n == 0) return;
    if (iBin0 < 0) iBin0 = 0;
    if (iBin0 > n - 1) iBin0 = n - 1;
    if (iBin1 < 0) iBin1 = 0;
    if (iBin1 > n - 1) iBin1 = n - 1;
    if (iBin0 == iBin1) return;
    std::int32_t lo = iBin0 < iBin1 ? iBin0 : iBin1;
    std::int32_t hi = iBin0 < iBin1 ? iBin1 : iBin0;
    long double span = (long double)iBin1 - (long double)iBin0;
    for (std::int32_t i = lo; i < hi; i++) {
        double arg = (double)(QAVEX_PI * ((long double)i - (long double)iBin0) / span);
        double w = 0.5 - 0.5 * std::cos(arg);
        a[i] = scale(a[i], w);
    }
}

// ---------------------------------------------------------------- rebuilding

void qavex_t_cycle_array(pac_type **ppcIn, std::int32_t iBins)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *old = *ppcIn;
    std::int32_t n = qavex_t_window_length(old);
    if (n == 0) return;
    // Into 0..N-1, as repeated adding or subtracting of N would bring it.
    std::int64_t k = (std::int64_t)iBins % n;
    if (k < 0) k += n;
    if (k == 0) return;
    pac_type *fresh = rebuild_begin(ppcIn, n);
    if (!fresh) {
        qavex_t_error(nullptr, "qavex_t_cycle_array: Out of Memory");
        return;
    }
    std::size_t shift = (std::size_t)k;
    std::size_t rest = (std::size_t)n - shift;
    std::memcpy(fresh + shift, old, rest * sizeof(pac_type));
    std::memcpy(fresh, old + rest, shift * sizeof(pac_type));
    rebuild_finish(ppcIn, fresh);
}

void qavex_t_floating_average_array(pac_type **ppcIn, std::int32_t iWL)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *old = *ppcIn;
    std::int32_t n = qavex_t_window_length(old);
    if (n == 0) return;
    if (iWL > n) iWL = n;
    // Lengths below 2 leave the array alone; checked before the decrement,
    // which would overflow for the lowest integer (a length of 2^31 from a
    // message truncates to it) and turn it into the largest.
    if (iWL <= 1) return;
    if (iWL % 2 == 0) iWL--;
    if (iWL <= 1) return;
    std::int32_t m = iWL / 2;
    pac_type *fresh = rebuild_begin(ppcIn, n);
    if (!fresh) {
        qavex_t_error(nullptr, "qavex_t_floating_average_array: Out of Memory");
        return;
    }
    long double inv = 1.0L / (long double)iWL;
    if ((std::int64_t)n * iWL <= FLOATING_AVERAGE_DIRECT_WORK) {
        for (std::int32_t i = 0; i < n; i++) {
            // Start at (i - m) mod N and walk L elements circularly.
            std::int64_t k = ((std::int64_t)i - m) % n;
            if (k < 0) k += n;
            double sr = 0.0, si = 0.0;
            for (std::int32_t j = 0; j < iWL; j++) {
                sr += old[k].real();
                si += old[k].imag();
                if (++k == n) k = 0;
            }
            fresh[i] = scale(pac_type(sr, si), inv);
        }
    } else {
        // Long windows: a sliding sum in extended precision, summed afresh
        // every few hundred outputs so that rounding cannot build up. The
        // direct sums would cost N*L additions and stall the host.
        auto at = [&](std::int64_t k) -> const pac_type & {
            k %= n;
            return old[k < 0 ? k + n : k];
        };
        long double sr = 0.0L, si = 0.0L;
        for (std::int32_t i = 0; i < n; i++) {
            if (i % FLOATING_AVERAGE_RESUM == 0) {
                sr = si = 0.0L;
                for (std::int64_t j = (std::int64_t)i - m; j <= (std::int64_t)i + m; j++) {
                    sr += at(j).real();
                    si += at(j).imag();
                }
            } else {
                const pac_type &in = at((std::int64_t)i + m), &out = at((std::int64_t)i - m - 1);
                sr += (long double)in.real() - (long double)out.real();
                si += (long double)in.imag() - (long double)out.imag();
            }
            fresh[i] = pac_type((double)(sr * inv), (double)(si * inv));
        }
    }
    rebuild_finish(ppcIn, fresh);
}

void qavex_t_differentiate_array(pac_type **ppcIn)
{
    if (!ppcIn || !*ppcIn) return;
    pac_type *old = *ppcIn;
    std::int32_t n = qavex_t_window_length(old);
    if (n == 0) return;
    pac_type *fresh = rebuild_begin(ppcIn, n);
    if (!fresh) {
        qavex_t_error(nullptr, "qavex_t_differntiate_array: Out of Memory");
        return;
    }
    fresh[0] = old[0] - old[n - 1];
    for (std::int32_t i = 1; i < n; i++) fresh[i] = old[i] - old[i - 1];
    rebuild_finish(ppcIn, fresh);
}

void qavex_t_prolong_array(pac_type **ppcIn, std::int32_t _iN, std::int32_t iWhere, std::int32_t iRandom)
{
    if (_iN <= 0 || !ppcIn || !*ppcIn) return;
    pac_type *old = *ppcIn;
    std::int32_t n = qavex_t_window_length(old);
    if (n == 0) return;
    std::int32_t add = _iN;
    if (iRandom == 1) add = (std::int32_t)(std::rand() % _iN) + 1;
    std::size_t head;  // old elements in front of the inserted zeros
    switch (iWhere) {
    case PROLONG_START: head = 0; break;
    case PROLONG_MIDDLE: head = (std::size_t)(n / 2); break;
    case PROLONG_END: head = (std::size_t)n; break;
    default:
        qavex_t_post("qavex_t_prolong_array: Falscher Aufruf: fWhere=0: am Anfang, 1: in der Mitte, 2: am Ende");
        return;
    }
    std::int64_t total = (std::int64_t)n + add;
    if (total > PROLONG_MAX_ELEMENTS) {
        // The allocator fills every byte of a block: a mistyped count would
        // stall the host for minutes or exhaust the machine's memory.
        qavex_t_error(nullptr, "qavex_t_prolong_array: %i + %i elements are too many (at most %i)", (int)n, (int)add,
                      (int)PROLONG_MAX_ELEMENTS);
        return;
    }
    pac_type *fresh = rebuild_begin(ppcIn, (std::int32_t)total);
    if (!fresh) return;
    std::memcpy(fresh, old, head * sizeof(pac_type));
    for (std::int32_t i = 0; i < add; i++) fresh[head + i] = pac_type(0.0, 0.0);
    std::memcpy(fresh + head + add, old + head, ((std::size_t)n - head) * sizeof(pac_type));
    rebuild_finish(ppcIn, fresh);
}

// ---------------------------------------------------------------- report

void qavex_t_array_synopsis_array(pac_type **ppcIn)
{
    static const char *const RULE = "-----------------------------------------------";
    qavex_t_post("qavex_t_array_synopsis:");
    if (!ppcIn || !*ppcIn) {
        qavex_t_post("Leeres Array");
        qavex_t_post("%s", RULE);
        return;
    }
    const pac_type *a = *ppcIn;
    std::int32_t n = qavex_t_window_length(a);
    qavex_t_post("Laenge: %i", (int)n);
    qavex_t_post("Adresse: %p", (const void *)a);

    double rmin = 0.0, imin = 0.0, rmax = 0.0, imax = 0.0;
    if (n > 0) {
        rmin = a[0].real();
        imin = a[0].imag();
    }
    std::int32_t nans = 0, infs = 0;
    for (std::int32_t i = 0; i < n; i++) {
        double re = a[i].real(), im = a[i].imag();
        if (re < rmin) rmin = re;
        if (im < imin) imin = im;
        if (re > rmax) rmax = re;
        if (im > imax) imax = im;
        nans += std::isnan(re) + std::isnan(im);
        infs += std::isinf(re) + std::isinf(im);
    }
    // The last step compares the first trailing guard with the last element.
    pac_type step(0.0, 0.0);
    double stepmag = 0.0;
    for (std::int32_t j = 1; j <= n; j++) {
        pac_type d = a[j] - a[j - 1];
        double m = mag(d);
        if (m > stepmag) {
            step = d;
            stepmag = m;
        }
    }
    qavex_t_post("Real Min: %f, Max: %f", rmin, rmax);
    qavex_t_post("Imag Min: %f, Max: %f", imin, imax);
    if (!(imax == 0.0)) qavex_t_post("Max diff: %f + I* %f", step.real(), step.imag());
    else qavex_t_post("Max diff: %f ", step.real());
    if (nans) qavex_t_post("Anzahl Nan: %i", (int)nans);
    if (infs) qavex_t_post("Anzahl Inf: %i", (int)infs);

    int bad = 0;
    for (int g = 1; g <= 4; g++)
        if (!(a[-g].real() == 0.0 && a[-g].imag() == 0.0)) bad++;
    for (int g = 0; g < 4; g++)
        if (!(a[n + g].real() == 0.0 && a[n + g].imag() == 0.0)) bad++;
    if (bad) {
        qavex_t_post("Anfangs und Endnullen falsch:");
        qavex_t_post("(%f,%f)(%f,%f)(%f,%f)(%f,%f)[daten](%f,%f)(%f,%f)(%f,%f)(%f,%f)", a[-1].real(), a[-1].imag(),
                     a[-2].real(), a[-2].imag(), a[-3].real(), a[-3].imag(), a[-4].real(), a[-4].imag(), a[n].real(),
                     a[n].imag(), a[n + 1].real(), a[n + 1].imag(), a[n + 2].real(), a[n + 2].imag(), a[n + 3].real(),
                     a[n + 3].imag());
    }
    qavex_t_post("%s", RULE);
}
