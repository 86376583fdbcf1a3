// Dual windows ("make_dual") and the designer's third outlet.

#include "dual_windows.h"

#include <cmath>
#include <new>

#include <fftw3.h>

#include "qbank_t.h"
#include "work_bounds.h"

// Host call (declared in the host's internal header): the first connection
// of outlet nout, null when it has none.
extern "C" t_outconnect *obj_starttraverseoutlet(const t_object *x, t_outlet **op, int nout);

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
    fftw_plan forward = nullptr;
    fftw_plan backward = nullptr;

    ~Grid()
    {
        if (forward) fftw_destroy_plan(forward);
        if (backward) fftw_destroy_plan(backward);
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
        forward = fftw_plan_dft_1d(m, time, freq, FFTW_FORWARD, FFTW_ESTIMATE);
        backward = fftw_plan_dft_1d(m, freq, time, FFTW_BACKWARD, FFTW_ESTIMATE);
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
        fftw_execute(forward);
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
        for (std::int32_t f = 0; f < M; f++)
            g.D[f] += s * (g.freq[f][0] * g.freq[f][0] + g.freq[f][1] * g.freq[f][1]);
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
        fftw_execute(g.backward);
        for (std::int32_t k = 0; k < N; k++) {
            g_r[q][k] = k < L ? (paf_type)g.time[k][0] : 0.0f;
            g_i[q][k] = k < L ? (paf_type)g.time[k][1] : 0.0f;
        }
        info->iBands++;
    }
    return DUAL_OK;
}

// ================================================================ designer

// The published dual record and the tables it points to.
struct sQbank_Dual {
    sQbank_Param sParam;
    std::int32_t iBands;             // slots in sParam.paf_r / paf_i
    std::uint32_t uSourceGeneration;  // designer's stamp the duals were made at
    std::uint32_t uSourceChanges;     // and its count of complex-window changes
};

namespace {

void dual_free(sQbank_Dual *d)
{
    if (!d) return;
    qavex_t_record_remove(&d->sParam);
    for (std::int32_t q = 0; q < d->iBands; q++) {
        if (d->sParam.paf_r) qavex_t_free(d->sParam.paf_r[q]);
        if (d->sParam.paf_i) qavex_t_free(d->sParam.paf_i[q]);
    }
    qavex_t_free(d->sParam.paf_r);
    qavex_t_free(d->sParam.paf_i);
    qavex_t_free(d);
}

bool dual_fresh(const sQbank_t *psW)
{
    const sQbank_Dual *d = psW->sDual.psDual;
    return d && d->uSourceGeneration == psW->sParam.iGeneration && d->uSourceChanges == psW->sDual.uChanges;
}

// Third outlet, every block: the dual record when it is current, else an
// empty block and, once per change, the reason on the console (only for a
// designer whose third outlet is connected or that was asked for duals).
t_int *qbank_t_dual_perform(t_int *w)
{
    sQbank_t *psW = (sQbank_t *)w[1];
    t_sample *out = (t_sample *)w[2];
    int n = (int)w[3];
    sQbank_DualState &s = psW->sDual;
    if (dual_fresh(psW)) {
        sQbank_Dual *d = s.psDual;
        // The record follows every other field of the designer's record.
        paf_type **r = d->sParam.paf_r, **i = d->sParam.paf_i;
        std::uint32_t gen = d->sParam.iGeneration;
        d->sParam = psW->sParam;
        d->sParam.paf_r = r;
        d->sParam.paf_i = i;
        d->sParam.iGeneration = gen;
        // Readers trust the record only while it is current: its copied
        // hop and map tables are the designer's and go with a rebuild.
        qavex_t_record_add(&d->sParam, eQavexRecord::PARAM);
        qavex_t_write_param_block(out, &d->sParam);
        return w + 4;
    }
    if (s.psDual) qavex_t_record_remove(&s.psDual->sParam);
    for (int k = 0; k < n; k++) out[k] = 0;
    if ((s.bConnected || s.bRequested) &&
        (!s.bTold || s.uToldGeneration != psW->sParam.iGeneration || s.uToldChanges != s.uChanges)) {
        s.bTold = true;
        s.uToldGeneration = psW->sParam.iGeneration;
        s.uToldChanges = s.uChanges;
        post("qbank: dual windows out of date, send make_dual");
    }
    return w + 4;
}

t_int *qbank_t_dual_perform_empty(t_int *w)
{
    t_sample *out = (t_sample *)w[1];
    int n = (int)w[2];
    for (int k = 0; k < n; k++) out[k] = 0;
    return w + 3;
}

}  // namespace

void qbank_t_dual_new(sQbank_t *psW)
{
    psW->sDual = sQbank_DualState{};
    psW->sDual.x_outD = outlet_new(&psW->x_obj, &s_signal);
}

void qbank_t_dual_delete(sQbank_t *psW)
{
    if (psW->sDual.x_outD) outlet_free(psW->sDual.x_outD);
    psW->sDual.x_outD = nullptr;
    dual_free(psW->sDual.psDual);
    psW->sDual.psDual = nullptr;
}

void qbank_t_dual_windows_changed(sQbank_t *psW) { psW->sDual.uChanges++; }

void qbank_t_dual_dsp(sQbank_t *psW, t_signal *sp)
{
    t_outlet *o = nullptr;
    psW->sDual.bConnected = obj_starttraverseoutlet(&psW->x_obj, &o, 2) != nullptr;
    if (sp->s_n < QAVEX_WORD_PARAM + 2) {
        dsp_add(qbank_t_dual_perform_empty, 2, (t_int)sp->s_vec, (t_int)sp->s_n);
        return;
    }
    dsp_add(qbank_t_dual_perform, 3, (t_int)psW, (t_int)sp->s_vec, (t_int)sp->s_n);
}

// "make_dual": computes the duals of the current float windows and hops.
static void qbank_t_make_dual(sQbank_t *psW, t_symbol *, int, t_atom *)
{
    sQbank_DualState &s = psW->sDual;
    const sQbank_Param &p = psW->sParam;
    s.bRequested = true;
    if (!qbank_dual_within_bound(psW)) return;  // refused: everything stays as it was
    // A failed attempt leaves no duals: the third outlet stays empty.
    dual_free(s.psDual);
    s.psDual = nullptr;

    std::int32_t n = p.iq_compute_sup;
    if (n <= 0 || !p.paf_r || !p.paf_i || !p.aiDq) {
        pd_error(nullptr, "qbank: make_dual: no float windows (send make and copy_pac2paf first)");
        return;
    }
    sQbank_Dual *d = (sQbank_Dual *)qavex_t_malloc0(sizeof(sQbank_Dual));
    paf_type **r = (paf_type **)qavex_t_malloc0((std::size_t)n * sizeof(paf_type *));
    paf_type **i = (paf_type **)qavex_t_malloc0((std::size_t)n * sizeof(paf_type *));
    sQavex_DualInfo info;
    eQavexDual e = DUAL_NO_MEMORY;
    if (d && r && i) e = qavex_dual_windows(n, p.paf_r, p.paf_i, p.aiDq, r, i, &info);
    if (e != DUAL_OK) {
        qavex_t_free(d);
        qavex_t_free(r);
        qavex_t_free(i);
        switch (e) {
        case DUAL_NO_WINDOWS:
            pd_error(nullptr, "qbank: make_dual: no float windows (send make and copy_pac2paf first)");
            break;
        case DUAL_NOT_FINITE:
            pd_error(nullptr, "qbank: make_dual: window %i holds values that are not finite", (int)info.iBand);
            break;
        case DUAL_TOO_LONG:
            pd_error(nullptr, "qbank: make_dual: windows too long");
            break;
        case DUAL_SINGULAR:
            pd_error(nullptr, "qbank: make_dual: the windows pass no frequency");
            break;
        default:
            pd_error(nullptr, "qbank: make_dual: Out of memory");
            break;
        }
        return;
    }
    new (d) sQbank_Dual{};
    d->sParam = p;
    d->sParam.paf_r = r;
    d->sParam.paf_i = i;
    d->sParam.iGeneration = qavex_t_next_generation();
    d->iBands = n;
    d->uSourceGeneration = p.iGeneration;
    d->uSourceChanges = s.uChanges;
    s.psDual = d;
    post("qbank: make_dual: %i bands, own-window response %g .. %g (lowest at %.0f Hz)", (int)info.iBands,
         info.dResponseMin, info.dResponseMax, info.dMinHz);
}

void qbank_t_dual_setup(t_class *c)
{
    class_addmethod(c, (t_method)qbank_t_make_dual, gensym("make_dual"), A_GIMME, A_NULL);
}
