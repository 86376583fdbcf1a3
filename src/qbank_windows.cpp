// Windows of the designer: construction, shortening, test, and the complex/float conversions.
#include "qbank_windows.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "console_capture.h"
#include "conversions.h"
#include "m_pd.h"
#include "qavex_t_array_functions.h"
#include "qavex_t_theta_functions.h"
#include "qavex_t_window_functions.h"
#include "qbank_bands.h"
#include "qbank_dual.h"
#include "qbank_layout.h"
#include "records.h"
#include "rounding.h"
#include "safety.h"
#include "sample_rate.h"
#include "window_words.h"
#include "work_bounds.h"

static constexpr long double QBANK_SQRT2 = 1.4142135623730951L;

// Longest (sign 1) or shortest (sign -1) length over the bands' windows,
// starting from band 0's; 0 when the table or band 0's window is missing.
template <typename T>
static std::int32_t qbank_t_extreme_length(T **table, std::int32_t n, int sign)
{
    if (!table || n <= 0 || !table[0]) return 0;
    std::int32_t m = qavex_t_window_length(table[0]);
    for (std::int32_t q = 1; q < n; q++)
        if (table[q] && sign * (qavex_t_window_length(table[q]) - m) > 0) m = qavex_t_window_length(table[q]);
    return m;
}

static std::int32_t qbank_t_find_longest_frame_paf(sQbank_t *psW)
{
    return qbank_t_extreme_length(psW->sParam.paf_r, psW->sParam.iq_compute_sup, 1);
}

std::int32_t qbank_t_find_shortest_frame_paf(sQbank_t *psW)
{
    return qbank_t_extreme_length(psW->sParam.paf_r, psW->sParam.iq_compute_sup, -1);
}

std::int32_t qbank_t_find_longest_frame_pac(sQbank_t *psW)
{
    return qbank_t_extreme_length(psW->pac, psW->sParam.iq_compute_sup, 1);
}

std::int32_t qbank_t_find_shortest_frame_pac(sQbank_t *psW)
{
    return qbank_t_extreme_length(psW->pac, psW->sParam.iq_compute_sup, -1);
}

std::int32_t rounddown_x(std::int32_t iNumber, std::int32_t iMultiple)
{
    if (iMultiple == 0 || iMultiple == -1) return iNumber;
    std::int32_t r = iNumber % iMultiple;
    return r == 0 ? iNumber : iNumber - r;
}

// Release every band's complex window after a failed allocation.
static void qbank_t_make_out_of_memory(sQbank_t *psW)
{
    qavex_t_error(psW, "qbank_t_make: Out of memory");
    qbank_t_free_pac_windows(psW);
}

static void qbank_t_make_zero(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup)
{
    for (std::int32_t q = qmin; q < qsup; q++) {
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = qavex_t_new_pac(64);
        if (!psW->pac[q]) {
            qbank_t_make_out_of_memory(psW);
            return;
        }
        for (int i = 0; i < 64; i++) psW->pac[q][i] = pac_type(0.0, 0.0);
    }
}

// What every band of one warped "make" shares.
struct sQbank_Warped {
    bool gauss;          // square-root Gaussian (else cosine) spectrum
    std::int32_t Nout;   // samples of a finished window
    std::int32_t N;      // samples computed: Nout * C_SR
    long double sr, dF;  // sample rate, bin spacing in Hz
    long double b, a;
    double H, L;  // shape height and length
    pac_type (*shape)(double, double, double, double);
    bool limit;  // clear bins zlo..zhi before the transform
    std::int32_t zlo, zhi;
};

// Window lengths and the shared constants of a warped "make" of bands
// qmin..qsup-1 (rounds dWinlength_compute to whole samples). False, with
// the reason reported, when no window can be made.
static bool qbank_t_warped_sizes(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup, sQbank_Warped *m)
{
    sQbank_Param *p = &psW->sParam;
    m->gauss = p->eWindowType == WIN_SQRT_GAUSS;
    if (!p->aldDq || !p->thetadata || !p->Theta_inv) return false;
    if (p->C_SR < 1) {
        qavex_t_error(psW, "qbank_t_make: C_SR < 1, no windows made");
        return false;
    }
    m->sr = qbank_sample_rate(psW->sRate);
    long double lNout = std::trunc((long double)p->dWinlength_compute * m->sr + 0.5L);
    if (!(lNout >= 1)) {
        qavex_t_error(psW, "qbank_t_make: computation length %f s is below half a sample, no windows made",
                      p->dWinlength_compute);
        return false;
    }
    if (lNout * p->C_SR * 16 > QBANK_MEMORY_LIMIT) {
        qavex_t_post("Windows need too much memory");
        return false;
    }
    m->Nout = round_up_to_multiple_of_small_primes((std::int32_t)lNout, m->gauss ? 31 : 5);
    p->dWinlength_compute = (double)((long double)m->Nout / m->sr);
    std::int64_t N64 = (std::int64_t)m->Nout * p->C_SR;
    if ((long double)N64 * qsup * 16 > QBANK_MEMORY_LIMIT ||
        !qbank_t_windows_fit(psW, "qbank_tilde make", qmin, qsup, true, false, (long double)N64 * 16 * (qsup - qmin),
                             (long double)N64 * 16)) {
        qavex_t_post("Windows need too much memory");
        return false;
    }
    m->N = (std::int32_t)N64;
    m->dF = 1.0L / (long double)p->dWinlength_compute;
    m->b = p->_b;
    m->a = p->_a;
    const long double R = p->_R;
    m->H = (double)(m->gauss ? std::sqrt(m->b / 2 / R) : std::sqrt(2 * m->b / R));
    m->L = p->dWinlength_window;
    m->shape = m->gauss ? qavex_t_wf_WIN_SQRT_GAUSS : qavex_t_wf_WIN_COS;
    // With oversampling and no periodisation, the band response above the
    // base-rate Nyquist frequency is removed so the decimation cannot fold it
    // back: only the bins an Nout-point transform has are kept.
    m->limit = p->C_SR > 1 && p->iComputeType == 0;
    m->zlo = m->Nout / 2 + 1;
    m->zhi = m->N - (m->Nout - m->Nout / 2);
    return true;
}

// Band q's spectrum, scaled by g, sampled through the inverse map at the
// N bins of w (periodised over one sample rate with compute type 1).
static void qbank_t_warped_spectrum(const sQbank_Param *p, const sQbank_Warped &m, std::int32_t q, long double g,
                                    pac_type *w)
{
    const std::int32_t N = m.N, nbands = p->iq_compute_sup;
    const long double qb = q * m.b, sr = m.sr, dF = m.dF;
    const double H = m.H, L = m.L;
    const bool gain = p->iComputeType == 1 ? (q > 0 && q < nbands - 1) : q > 0;
    for (std::int32_t i = 0; i < N; i++) {
        long double nu = (i <= N / 2 ? (long double)i : (long double)i - N) * dF;
        pac_type v = m.shape((double)((long double)p->Theta_inv((double)nu, p->thetadata) - qb), H, L, 0);
        long double re = v.real(), im = v.imag();
        if (p->iComputeType == 1) {
            pac_type vm = m.shape((double)((long double)p->Theta_inv((double)(nu - sr), p->thetadata) - qb), H, L, 0);
            pac_type vp = m.shape((double)((long double)p->Theta_inv((double)(nu + sr), p->thetadata) - qb), H, L, 0);
            re += (long double)vm.real() + vp.real();
            im += (long double)vm.imag() + vp.imag();
        }
        re *= g;
        im *= g;
        if (gain) {
            re *= QBANK_SQRT2;
            im *= QBANK_SQRT2;
        }
        w[i] = pac_type((double)re, (double)im);
    }
    if (m.gauss)
        for (std::int32_t i = 0; i < N; i++)
            if (!std::isfinite(w[i].real()) || !std::isfinite(w[i].imag())) qavex_t_post("Value in make_window wrong.");
    if (m.limit)
        for (std::int32_t i = m.zlo; i <= m.zhi; i++) w[i] = pac_type(0.0, 0.0);
    qavex_t_pac_set_header(w, N, pac_type(0.0, 0.0));
}

// Band q's spectrum to the time domain: inverse transform, centred, scaled
// by the bin spacing and the rate's window gain. False (all complex windows
// released) when memory ran out.
static bool qbank_t_warped_to_time(sQbank_t *psW, const sQbank_Warped &m, std::int32_t q)
{
    const std::int32_t N = m.N;
    pac_type *before = psW->pac[q];
    qavex_t_simplefft_array(&psW->pac[q], &psW->pac[q], 1);
    if (psW->pac[q] == before) {
        qbank_t_make_out_of_memory(psW);
        return false;
    }
    if (N / 2 != 0) {
        before = psW->pac[q];
        qavex_t_cycle_array(&psW->pac[q], -(N / 2));
        if (psW->pac[q] == before) {
            qbank_t_make_out_of_memory(psW);
            return false;
        }
    }
    pac_type *w = psW->pac[q];
    const long double amp = m.dF * qbank_sample_rate_window_gain(psW->sRate);
    for (std::int32_t i = 0; i < N; i++) w[i] = pac_type((double)(w[i].real() * amp), (double)(w[i].imag() * amp));
    return true;
}

// Keeps every C_SR-th sample of an oversampled window: Nout samples remain.
static void qbank_t_warped_decimate(const sQbank_Param *p, const sQbank_Warped &m, pac_type *w)
{
    if (p->C_SR == 1) return;
    const std::int32_t Nout = m.Nout;
    for (std::int32_t i = 0; i < Nout; i++) w[i] = w[(std::int64_t)i * p->C_SR];
    qavex_t_pac_set_header(w, Nout, qavex_t_pac_side(w));
    for (std::int32_t i = 0; i < 4; i++) w[Nout + i] = pac_type(0.0, 0.0);
}

static void qbank_t_make_warped(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup)
{
    sQbank_Param *p = &psW->sParam;
    sQbank_Warped m;
    if (!qbank_t_warped_sizes(psW, qmin, qsup, &m)) return;
    const std::int32_t nbands = p->iq_compute_sup;
    for (std::int32_t q = qmin; q < qsup; q++) {
        long double g = std::sqrt(std::fabs((long double)p->aldDq[q] / m.a));
        if (m.gauss) {
            p->thetadata[2] = (double)(((long double)nbands - (long double)p->C_q) * m.b);
            p->thetadata[3] = (double)(m.sr / 2);
        }
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = qavex_t_new_pac(m.N);
        if (!psW->pac[q]) {
            qbank_t_make_out_of_memory(psW);
            return;
        }
        qbank_t_warped_spectrum(p, m, q, g, psW->pac[q]);
        if (!qbank_t_warped_to_time(psW, m, q)) return;
        qbank_t_warped_decimate(p, m, psW->pac[q]);
    }
}

static void qbank_t_make_cos_not_warped(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup)
{
    sQbank_Param *p = &psW->sParam;
    if (!p->aldDq) return;
    const long double T = p->dWinlength_window;
    const long double D = T * qbank_sample_rate(psW->sRate) * p->C_SR;
    if (D >= 2147483647.0L) {
        qavex_t_post("Windows need too much memory");
        return;
    }
    const std::int32_t N = qavex_t_to_int32(D, QAVEX_NAN_LOWEST);
    if ((long double)N != D) qavex_t_post("Fensterlaenge dN=%f nicht ganzzahlig", (double)D);
    if (N < 1) {
        qavex_t_error(psW, "qbank_t_make: window length of %i samples, no windows made", (int)N);
        return;
    }
    const long double b = p->_b, R = p->_R;
    const double H = (double)std::sqrt(2 * b / R);
    const long double g =
        std::sqrt((long double)p->aldDq[0] / (long double)p->_a) * qbank_sample_rate_window_gain(psW->sRate);
    if ((long double)N * qsup * 16 > QBANK_MEMORY_LIMIT ||
        !qbank_t_windows_fit(psW, "qbank_tilde make", qmin, qsup, true, false, (long double)N * 16 * (qsup - qmin),
                             (long double)N * 16)) {
        qavex_t_post("Windows need too much memory");
        return;
    }
    for (std::int32_t q = qmin; q < qsup; q++) {
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = qavex_t_new_pac(N);
        if (!psW->pac[q]) {
            qbank_t_make_out_of_memory(psW);
            return;
        }
        pac_type *w = psW->pac[q];
        const long double nu = qavex_t_Theta_lin((double)(q * b), p->thetadata);
        for (std::int32_t i = 0; i < N; i++) {
            long double t = i * T / D - T / 2;
            long double ph = 2 * QAVEX_PI * nu * t;
            long double c = qavex_t_wf_win_cos((double)t, H, (double)T, 0).real();
            long double re = g * std::cos(ph) * c, im = g * std::sin(ph) * c;
            if (q > 0) {
                re *= QBANK_SQRT2;
                im *= QBANK_SQRT2;
            }
            w[i] = pac_type((double)re, (double)im);
        }
        qavex_t_pac_set_header(w, N, pac_type(0.0, 0.0));
    }
}

void qbank_t_make_windows(sQbank_t *psW, std::int32_t iAN)
{
    const sQbank_Bands sel = qbank_t_select_bands(psW, iAN, QBANK_BANDS_WINDOWS);
    if (sel.first >= sel.last) return;
    const std::int32_t qmin = sel.first, qsup = sel.last;
    switch ((std::int32_t)psW->sParam.eWindowType) {
    case WIN_SQRT_GAUSS:
    case WIN_COS: qbank_t_make_warped(psW, qmin, qsup); break;
    case WIN_COS_NOT_WARPED: qbank_t_make_cos_not_warped(psW, qmin, qsup); break;
    case WIN_ZERO: qbank_t_make_zero(psW, qmin, qsup); break;
    default:
        qavex_t_error(psW, "Keine zulaessiges Fenster gewaehlt. Setze Fenster auf 0");
        qbank_t_make_zero(psW, qmin, qsup);
        break;
    }
}

void qbank_t_shorten_windows(sQbank_t *psW, std::int32_t iAN)
{
    sQbank_Param *p = &psW->sParam;
    if (p->eWindowType != WIN_COS && p->eWindowType != WIN_SQRT_GAUSS) return;
    const sQbank_Bands sel = qbank_t_select_bands(psW, iAN, QBANK_BANDS_WINDOWS);
    if (sel.first >= sel.last || !p->aiDq) return;
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        pac_type *w = psW->pac[q];
        if (!w) break;
        std::int32_t Nold = qavex_t_window_length(w);
        pac_type side = qavex_t_pac_side(w);
        long double s = (long double)qavex_t_maximum_array(&psW->pac[q]).real() / (long double)p->C_cut;
        std::int32_t N0 = qavex_t_get_first_small_value_array(&psW->pac[q], (pac_type_real)s);
        std::int32_t Nmax = qavex_t_to_int32((long double)p->T_max * qbank_sample_rate(psW->sRate), QAVEX_NAN_LOWEST);
        if ((long long)Nold - 2LL * N0 > Nmax) {
            qavex_t_post("Fenster laenger als Tmax fuer q=%i", (int)q);
            N0 = (std::int32_t)(((long long)Nold - Nmax) / 2);
        }
        N0 = rounddown_x(N0, p->aiDq[q]);
        if ((long long)Nold - N0 <= N0) {
            qavex_t_post("Fenster nicht stutzbar fuer q=%i", (int)q);
            continue;
        }
        std::int32_t Nnew = Nold - 2 * N0;
        if (Nnew >= Nold) {
            qavex_t_post("T_c zu klein fuer q=%i", (int)q);
            continue;
        }
        pac_type *nw = qavex_t_new_pac(Nnew, side);
        if (!nw) {
            qavex_t_error(psW, "qbank_t_shorten_windows Out of memory for q=%i", (int)q);
            continue;
        }
        std::memcpy(nw, w + N0, (std::size_t)Nnew * sizeof(pac_type));
        qavex_t_free(w);
        psW->pac[q] = nw;
    }
}

std::int32_t qbank_t_test_windows(sQbank_t *psW, std::int32_t iPrintOutput)
{
    sQbank_Param *p = &psW->sParam;
    std::int32_t count = 0;
    if (iPrintOutput != 0) qavex_t_error(psW, "Ueberpruefe Fenster");
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        pac_type *w = psW->pac ? psW->pac[q] : nullptr;
        if (!w) {
            count++;
            qavex_t_error(psW, "Fenster %i: nicht vorhanden", (int)q);
            break;
        }
        std::int32_t N = qavex_t_window_length(w);
        std::int32_t dq = p->aiDq ? p->aiDq[q] : 0;
        if (dq > N) {
            count++;
            qavex_t_error(psW, "Fenster %i, Laenge = %i < (t_int)dq = %i", (int)q, (int)N, (int)dq);
        }
        if (dq == 0) {
            count++;
            if (iPrintOutput != 0) qavex_t_error(psW, "(t_int)d_%i = 0", (int)q);
        }
        std::int32_t nans = 0, infs = 0;
        for (std::int32_t i = 0; i < N; i++) {
            nans += std::isnan(w[i].real()) + std::isnan(w[i].imag());
            infs += std::isinf(w[i].real()) + std::isinf(w[i].imag());
        }
        count += nans + infs;
        if (nans > 0) qavex_t_error(psW, "Fenster %i: Anzahl Nans: %i", (int)q, (int)nans);
        if (infs > 0) qavex_t_error(psW, "Fenster %i: Anzahl Nans: %i", (int)q, (int)infs);
    }
    if (count > 0) qavex_t_error(psW, "Es gibt Fehler");
    else if (iPrintOutput != 0) qavex_t_error(psW, "Keine Fehler");
    return count;
}

// Readers must never see an infinite or NaN window value: a band whose
// complex window has one (or a part beyond the float range) stops the
// conversion before any float window is touched.
static bool qbank_t_pac_publishable(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup)
{
    for (std::int32_t q = qmin; q < qsup; q++) {
        const pac_type *w = psW->pac[q];
        if (w && !qavex_t_publishable(w, qavex_t_window_length(w))) {
            qavex_t_error(psW,
                          "qbank_tilde copy_pac2paf: window %i holds values that are not finite floats; "
                          "float windows unchanged",
                          (int)q);
            return false;
        }
    }
    return true;
}

void qbank_t_copy_pac2paf(sQbank_t *psW, t_floatarg f)
{
    sQbank_Param *p = &psW->sParam;
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_WINDOWS);
    const std::int32_t qmin = sel.first, qsup = sel.last;
    if (qmin >= qsup || !p->paf_r || !p->paf_i) return;
    if (!qbank_t_pac_publishable(psW, qmin, qsup)) return;
    // New float windows replace the old ones band by band.
    long double add = 0;
    for (std::int32_t q = qmin; q < qsup; q++)
        if (psW->pac[q]) {
            add += (long double)qavex_t_window_length(psW->pac[q]) * 2 * sizeof(paf_type);
            for (paf_type **t : {p->paf_r, p->paf_i})
                if (t[q]) add -= (long double)qavex_t_window_length(t[q]) * sizeof(paf_type);
        }
    if (!qbank_t_windows_fit(psW, "qbank_tilde copy_pac2paf", 0, 0, false, false, add, 0)) return;
    for (std::int32_t q = qmin; q < qsup; q++) {
        pac_type *w = psW->pac[q];
        if (!w) continue;
        std::int32_t N = qavex_t_window_length(w);
        if (N <= 0) continue;  // nothing to convert
        qavex_t_free(p->paf_r[q]);
        qavex_t_free(p->paf_i[q]);
        pac_type side = qavex_t_pac_side(w);
        p->paf_r[q] = qavex_t_new_paf(N, (paf_type)side.real());
        p->paf_i[q] = qavex_t_new_paf(N, (paf_type)side.imag());
        if (!p->paf_r[q] || !p->paf_i[q]) {
            qavex_t_error(psW, "qbank_t_copy_pac2paf: Out of Memory");
            qbank_t_free_paf_windows(psW);
            return;
        }
        // Parts below the float range become 0 rather than subnormal floats.
        for (std::int32_t i = 0; i < N; i++) {
            p->paf_r[q][i] = qavex_t_flush_subnormal((paf_type)w[i].real());
            p->paf_i[q][i] = qavex_t_flush_subnormal((paf_type)w[i].imag());
        }
    }
    p->iLongestFrame_paf = qbank_t_find_longest_frame_paf(psW);
    p->iGeneration = qavex_t_next_generation();
}

void qbank_t_copy_paf2pac(sQbank_t *psW, t_floatarg f)
{
    sQbank_Param *p = &psW->sParam;
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_WINDOWS);
    const std::int32_t qmin = sel.first, qsup = sel.last;
    if (qmin >= qsup || !p->paf_r || !p->paf_i) return;
    // New complex windows replace the old ones band by band.
    long double add = 0, largest = 0;
    for (std::int32_t q = qmin; q < qsup; q++)
        if (p->paf_r[q] && p->paf_i[q]) {
            const long double b = (long double)qavex_t_window_length(p->paf_r[q]) * sizeof(pac_type);
            add += b - (psW->pac[q] ? (long double)qavex_t_window_length(psW->pac[q]) * sizeof(pac_type) : 0);
            if (b > largest) largest = b;
        }
    if (!qbank_t_windows_fit(psW, "qbank_tilde copy_paf2pac", 0, 0, false, false, add, largest)) return;
    qbank_t_dual_windows_changed(psW);
    for (std::int32_t q = qmin; q < qsup; q++) {
        if (!p->paf_r[q] || !p->paf_i[q]) continue;
        std::int32_t N = qavex_t_window_length(p->paf_r[q]);
        if (N <= 0) continue;
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = qavex_t_new_pac(N, pac_type(qavex_t_paf_side(p->paf_r[q]), qavex_t_paf_side(p->paf_i[q])));
        if (!psW->pac[q]) {
            qavex_t_error(psW, "qbank_t_copy_paf2pac: Out of Memory");
            qbank_t_free_pac_windows(psW);
            return;
        }
        for (std::int32_t i = 0; i < N; i++) psW->pac[q][i] = pac_type(p->paf_r[q][i], p->paf_i[q][i]);
    }
}
