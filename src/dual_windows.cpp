// Dual windows of a bank of float windows: the bank's round-trip response and its inverse.

#include "dual_windows.h"
#include "fft_plans.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>

#include <fftw3.h>

#include "allocator.h"
#include "bus_words.h"
#include "m_pd.h"
#include "records.h"
#include "rounding.h"
#include "window_words.h"

namespace {

// Longest window the transform grid takes: the grid is about twice as long
// and needs 40 bytes per point, 700 MB at this limit (190 s of windows).
constexpr std::int64_t DUAL_MAX_LENGTH = (std::int64_t)1 << 23;
// Response values near zero are not inverted in full: 1/D becomes
// D/(D^2 + (floor*Dmax)^2), which equals 1/D to a relative 1e-6 wherever D
// is above a thousandth of Dmax, and stays bounded where the bank passes
// nothing.
constexpr double DUAL_FLOOR = 1e-6;

struct Grid {
    std::int32_t M = 0;
    fftw_complex *time = nullptr;
    fftw_complex *freq = nullptr;
    double *D = nullptr;
    const sFftPlan *forward = nullptr;
    const sFftPlan *backward = nullptr;

    ~Grid()
    {
        fft_plan_release(forward);
        fft_plan_release(backward);
        qavex_t_free(time);
        qavex_t_free(freq);
        qavex_t_free(D);
    }
    bool make(std::int32_t m)
    {
        M = m;
        time = (fftw_complex *)qavex_t_malloc0((std::size_t)m * sizeof(fftw_complex));
        freq = (fftw_complex *)qavex_t_malloc0((std::size_t)m * sizeof(fftw_complex));
        D = (double *)qavex_t_malloc0((std::size_t)m * sizeof(double));
        if (!time || !freq || !D) return false;
        forward = fft_plan_acquire(eFft::FORWARD, m, time, freq);
        backward = fft_plan_acquire(eFft::BACKWARD, m, freq, time);
        return forward && backward;
    }
    // Spectrum W[f] = sum_k w[k] e^(-2 pi i f k / M) of a window placed at
    // grid indexes 0..L-1.
    void spectrum(const paf_type *w_r, const paf_type *w_i, std::int32_t L)
    {
        for (std::int32_t k = 0; k < M; k++) {
            time[k][0] = k < L ? (double)w_r[k] : 0.0;
            time[k][1] = k < L ? (double)w_i[k] : 0.0;
        }
        fft_execute(forward, time, freq);
    }
};

void free_slots(std::int32_t n, paf_type **g_r, paf_type **g_i)
{
    for (std::int32_t q = 0; q < n; q++) {
        qavex_t_free(g_r[q]);
        qavex_t_free(g_i[q]);
        g_r[q] = g_i[q] = nullptr;
    }
}

// Usable length of band q: the shorter of its two float windows.
std::int32_t band_length(paf_type *const *w_r, paf_type *const *w_i, std::int32_t q)
{
    const std::int32_t a = w_r[q] ? qavex_t_window_length(w_r[q]) : 0;
    const std::int32_t b = w_i[q] ? qavex_t_window_length(w_i[q]) : 0;
    return a < b ? a : b;
}

// Longest usable window into *Lmax; DUAL_NOT_FINITE (band in info) for a
// window holding NaN or infinite values, DUAL_NO_WINDOWS without any.
eQavexDual check_windows(std::int32_t n, paf_type *const *w_r, paf_type *const *w_i, sQavex_DualInfo *info,
                         std::int64_t *Lmax)
{
    std::int32_t bands = 0;
    *Lmax = 0;
    for (std::int32_t q = 0; q < n; q++) {
        std::int32_t L = band_length(w_r, w_i, q);
        if (L < 1) continue;
        for (std::int32_t k = 0; k < L; k++)
            if (!std::isfinite(w_r[q][k]) || !std::isfinite(w_i[q][k])) {
                info->iBand = q;
                return DUAL_NOT_FINITE;
            }
        bands++;
        if (L > *Lmax) *Lmax = L;
    }
    return bands == 0 ? DUAL_NO_WINDOWS : DUAL_OK;
}

// The bank's own round trip D on the grid (g.D): first as
// sum_q |W_q(w)|^2 / (2*44100*d_q), then folded with its mirror.
void bank_response(Grid &g, std::int32_t n, paf_type *const *w_r, paf_type *const *w_i, const std::int32_t *hops)
{
    const std::int32_t M = g.M;
    for (std::int32_t f = 0; f < M; f++) g.D[f] = 0.0;
    for (std::int32_t q = 0; q < n; q++) {
        std::int32_t L = band_length(w_r, w_i, q);
        if (L < 1) continue;
        g.spectrum(w_r[q], w_i[q], L);
        double s = 1.0 / (2.0 * QAVEX_SR * (double)(hops[q] >= 1 ? hops[q] : 1));
        for (std::int32_t f = 0; f < M; f++) g.D[f] += s * (g.freq[f][0] * g.freq[f][0] + g.freq[f][1] * g.freq[f][1]);
    }
    g.D[0] *= 2.0;
    for (std::int32_t f = 1; f <= M / 2; f++) {
        if (f == M - f) {
            g.D[f] *= 2.0;
            break;
        }
        double s = g.D[f] + g.D[M - f];
        g.D[f] = g.D[M - f] = s;
    }
}

// Lowest and highest response over 0..M/2 and where the lowest lies, into
// info; false when the windows pass nothing (or the response is not finite).
bool response_range(const Grid &g, sQavex_DualInfo *info)
{
    const std::int32_t M = g.M;
    double Dmin = g.D[0], Dmax = g.D[0];
    std::int32_t fmin = 0;
    for (std::int32_t f = 0; f <= M / 2; f++) {
        if (g.D[f] < Dmin) {
            Dmin = g.D[f];
            fmin = f;
        }
        if (g.D[f] > Dmax) Dmax = g.D[f];
    }
    info->dResponseMin = Dmin;
    info->dResponseMax = Dmax;
    info->dMinHz = (double)fmin * QAVEX_SR / (double)M;
    return Dmax > 0.0 && std::isfinite(Dmax);
}

}  // namespace

// The system the duals are made for.
//
// Analysis: band q falls due every d_q samples; at a due sample n it takes
//   c_q(n) = (1/44100) sum_{k=0}^{L_q-1} x(n-L_q+1+k) conj(w_q[k])
// (the newest sample meets the last window element and the imaginary part
// is negated: the input is correlated with w_q, i.e. filtered by the
// conjugate, reversed window).
// Synthesis: the coefficient adds Re(c_q(n) g_q[k]) at sample
// n-L_q+1+k+(Lm-1). Lm-1 is one delay for all bands and is dropped here.
//
// With tau = n-L_q+1 the start of the window, one band's complex part
//   u_q(t) = sum_tau c_q(tau) g_q[t-tau]
// is x filtered by the filter with transfer function G_q(w) conj(W_q(w))/44100
// (W, G the DTFTs sum_k w[k] e^(-iwk)), taken on a lattice of step d_q. When
// W_q and G_q are narrower than 2 pi/d_q the lattice only scales by 1/d_q:
//   U_q(w) = X(w) G_q(w) conj(W_q(w)) / (44100 d_q).
// Re(u) = (u + conj u)/2, and for real x conj u has the DTFT
// conj(U(-w)) = X(w) conj(G_q(-w)) W_q(-w) / (44100 d_q). The bank's response is
//   H(w) = 1/(2*44100) sum_q (1/d_q) [G_q(w) conj W_q(w) + conj G_q(-w) W_q(-w)].
// With G = W it is the real, even diagonal
//   D(w) = 1/(2*44100) sum_q (1/d_q) (|W_q(w)|^2 + |W_q(-w)|^2),
// the round trip with the windows themselves; G_q = W_q / D gives H = 1
// because D(-w) = D(w). Bands above 22050 Hz need no case of their own: the
// DTFT of a sampled window is 2 pi-periodic, so their folded parts are
// counted where the synthesis puts them. The same rule applied to the duals
// gives D_G = 1/D and returns the windows.
//
// On the grid: every window is placed at indexes 0..L-1 of an M-point DFT,
// M >= 2 Lmax, which samples its DTFT exactly; G_q = W_q / D is brought
// back by the inverse DFT and its indexes 0..L-1 are kept, so each dual
// lines up with its window and has its length (the latency stays Lm-1).
// What lies beyond the window's ends is dropped.
eQavexDual qavex_dual_windows(std::int32_t n, paf_type *const *w_r, paf_type *const *w_i, const std::int32_t *hops,
                              paf_type **g_r, paf_type **g_i, sQavex_DualInfo *info)
{
    *info = sQavex_DualInfo{0, -1, 0, 0.0, 0.0, 0.0};
    if (n <= 0) return DUAL_NO_WINDOWS;
    for (std::int32_t q = 0; q < n; q++) g_r[q] = g_i[q] = nullptr;
    if (!w_r || !w_i || !hops) return DUAL_NO_WINDOWS;

    std::int64_t Lmax;
    const eQavexDual found = check_windows(n, w_r, w_i, info, &Lmax);
    if (found != DUAL_OK) return found;
    if (Lmax > DUAL_MAX_LENGTH) return DUAL_TOO_LONG;

    Grid g;
    std::int32_t want = (std::int32_t)(2 * Lmax < 64 ? 64 : 2 * Lmax);
    if (!g.make(round_up_to_multiple_of_small_primes(want, 7))) return DUAL_NO_MEMORY;
    const std::int32_t M = g.M;
    info->iGrid = M;

    bank_response(g, n, w_r, w_i, hops);
    if (!response_range(g, info)) return DUAL_SINGULAR;
    const double Dmax = info->dResponseMax;

    // 1/D (regularised far below the bank's range) with the inverse DFT's 1/M.
    const double eps = DUAL_FLOOR * Dmax;
    for (std::int32_t f = 0; f < M; f++) g.D[f] = g.D[f] / (g.D[f] * g.D[f] + eps * eps) / (double)M;

    for (std::int32_t q = 0; q < n; q++) {
        std::int32_t L = band_length(w_r, w_i, q);
        if (L < 1) continue;
        std::int32_t N = qavex_t_window_length(w_r[q]);
        g_r[q] = qavex_t_new_paf(N, qavex_t_paf_side(w_r[q]));
        g_i[q] = qavex_t_new_paf(N, qavex_t_paf_side(w_i[q]));
        if (!g_r[q] || !g_i[q]) {
            free_slots(n, g_r, g_i);
            return DUAL_NO_MEMORY;
        }
        g.spectrum(w_r[q], w_i[q], L);
        for (std::int32_t f = 0; f < M; f++) {
            g.freq[f][0] *= g.D[f];
            g.freq[f][1] *= g.D[f];
        }
        fft_execute(g.backward, g.freq, g.time);
        for (std::int32_t k = 0; k < N; k++) {
            g_r[q][k] = k < L ? (paf_type)g.time[k][0] : 0.0f;
            g_i[q][k] = k < L ? (paf_type)g.time[k][1] : 0.0f;
        }
        info->iBands++;
    }
    return DUAL_OK;
}
