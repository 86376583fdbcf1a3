// Latency bound of the designer ("set_max_latency"): windows cut to the
// bound with a taper, hops that follow the cut windows' spectra.
#include "latency_bound.h"

#include <cmath>
#include <cstring>
#include <numbers>

#include <fftw3.h>

#include "allocator.h"
#include "console_capture.h"
#include "fft_plans.h"
#include "m_pd.h"
#include "qbank_bands.h"
#include "qbank_layout.h"
#include "qbank_record.h"
#include "records.h"
#include "sample_rate.h"
#include "window_words.h"

namespace {

// A cut band's hop shrinks until at most this fraction of its window's
// energy lies outside the band of width 1/hop (cycles per sample) centred
// on the spectrum's peak: the part the hops fold back, 80 dB down.
constexpr double HOP_ALIAS_LIMIT = 1e-8;

double energy(const pac_type *w, std::int32_t n)
{
    double e = 0.0;
    for (std::int32_t k = 0; k < n; k++) e += std::norm(w[k]);
    return e;
}

// Index of the element of largest magnitude (the first of equals).
std::int32_t peak_of(const pac_type *w, std::int32_t n)
{
    std::int32_t p = 0;
    double m = -1.0;
    for (std::int32_t k = 0; k < n; k++)
        if (std::norm(w[k]) > m) {
            m = std::norm(w[k]);
            p = k;
        }
    return p;
}

// Largest hop, at most hop, whose band of width 1/hop around the spectral
// peak of w holds all but HOP_ALIAS_LIMIT of its energy; -1 when the
// transform memory is not there.
std::int32_t hop_for(const pac_type *w, std::int32_t n, std::int32_t hop)
{
    if (hop <= 1) return hop;
    std::int64_t F = 64;
    while (F < 4 * (std::int64_t)n) F *= 2;
    // Transform in place, then the cumulative power over two periods so any
    // cyclic range of bins is one difference.
    auto *a = (fftw_complex *)qavex_t_malloc0((std::size_t)F * sizeof(fftw_complex));
    // Three periods: the widest range starts up to 5F/4 and ends below 11F/4.
    auto *cum = (double *)qavex_t_malloc0((std::size_t)(3 * F + 1) * sizeof(double));
    if (!a || !cum) {
        qavex_t_free(a);
        qavex_t_free(cum);
        return -1;
    }
    const sFftPlan *plan = fft_plan_acquire(eFft::FORWARD, (int)F, a, a);
    if (!plan) {
        qavex_t_free(a);
        qavex_t_free(cum);
        return -1;
    }
    for (std::int64_t k = 0; k < F; k++) a[k][0] = a[k][1] = 0.0;  // the allocator does not clear
    for (std::int32_t k = 0; k < n; k++) {
        a[k][0] = w[k].real();
        a[k][1] = w[k].imag();
    }
    fft_execute(plan, a, a);
    fft_plan_release(plan);
    std::int64_t pk = 0;
    double best = -1.0;
    cum[0] = 0.0;
    for (std::int64_t k = 0; k < 3 * F; k++) {
        const double v = a[k % F][0] * a[k % F][0] + a[k % F][1] * a[k % F][1];
        cum[k + 1] = cum[k] + v;
        if (k < F && v > best) {
            best = v;
            pk = k;
        }
    }
    const double total = cum[F];
    for (; hop > 1 && total > 0.0; hop--) {
        const std::int64_t width = F / hop, lo = pk - width / 2 + F;
        const double inside = cum[lo + width] - cum[lo];
        if (total - inside <= HOP_ALIAS_LIMIT * total) break;
    }
    qavex_t_free(a);
    qavex_t_free(cum);
    return hop;
}

void qbank_latency_set(sQbank_t *psW, t_floatarg f)
{
    psW->sLatency.dMaxMs = f > 0 && std::isfinite(f) ? (double)f : 0.0;
}

}  // namespace

std::int32_t qbank_latency_max_length(const sQbank_t *psW)
{
    const double ms = psW->sLatency.dMaxMs;
    if (!(ms > 0)) return 0;
    // Whole samples, never above the bound.
    const long double n = std::floor((long double)ms * qbank_sample_rate(psW->sRate) / 1000.0L);
    return n >= (long double)INT32_MAX - 1 ? INT32_MAX : (std::int32_t)n + 1;
}

bool qbank_latency_cut_band(sQbank_t *psW, std::int32_t q, std::int32_t L, bool taper, bool follow_hop)
{
    sQbank_Param *p = &psW->sParam;
    pac_type *w = psW->pac ? psW->pac[q] : nullptr;
    if (!w || L < 1) return false;
    const std::int32_t N = qavex_t_window_length(w);
    if (N <= L) return true;
    // The L samples around the peak, inside the window.
    std::int32_t s = peak_of(w, N) - (L - 1) / 2;
    if (s < 0) s = 0;
    if (s > N - L) s = N - L;
    pac_type *nw = qavex_t_new_pac(L, qavex_t_pac_side(w));
    if (!nw) {
        qavex_t_error(psW, "qbank: max latency: Out of memory for q=%i", (int)q);
        return false;
    }
    for (std::int32_t k = 0; k < L; k++) {
        // Hann taper over the kept samples: 0 just outside both ends.
        const double t = taper ? 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * (k + 0.5) / L) : 1.0;
        nw[k] = w[s + k] * t;
    }
    qavex_t_pac_zero_guards(nw);
    const std::int32_t d0 = p->aiDq && p->aiDq[q] >= 1 ? p->aiDq[q] : 1;
    std::int32_t d1 = follow_hop ? hop_for(nw, L, d0) : d0;
    if (d1 < 0) {
        qavex_t_free(nw);
        qavex_t_error(psW, "qbank: max latency: Out of memory for q=%i", (int)q);
        return false;
    }
    // The band keeps its energy per hop, so the own-window round trip keeps
    // its level.
    const double e0 = energy(w, N), e1 = energy(nw, L);
    if (e1 > 0.0) {
        const double g = std::sqrt(e0 / d0 / (e1 / d1));
        for (std::int32_t k = 0; k < L; k++) nw[k] *= g;
    }
    qavex_t_free(w);
    psW->pac[q] = nw;
    if (p->aiDq && d1 != p->aiDq[q]) {
        p->aiDq[q] = d1;
        p->iGeneration = qavex_t_next_generation();
    }
    return true;
}

void qbank_latency_shorten(sQbank_t *psW, std::int32_t iAN)
{
    const std::int32_t L = qbank_latency_max_length(psW);
    if (L < 1 || !psW->pac) return;
    const sQbank_Bands sel = qbank_t_select_bands(psW, iAN, QBANK_BANDS_WINDOWS);
    std::int32_t cut = 0;
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        const pac_type *w = psW->pac[q];
        if (w && qavex_t_window_length(w) > L && qbank_latency_cut_band(psW, q, L, true, true)) cut++;
    }
    if (cut > 0)
        qavex_t_post("qbank: max latency %g ms: %i windows cut to %i samples", psW->sLatency.dMaxMs, (int)cut, (int)L);
}

void qbank_latency_make(sQbank_t *psW, std::int32_t iAN)
{
    sQbank_Param *p = &psW->sParam;
    if (!p->aiDq || !p->aldDq_real) return;
    const sQbank_Bands sel = qbank_t_select_bands(psW, iAN, QBANK_BANDS_WINDOWS);
    bool changed = false;
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        const std::int32_t d = qbank_t_derived_hop(psW, q);
        changed = changed || d != p->aiDq[q];
        p->aiDq[q] = d;
    }
    if (changed) p->iGeneration = qavex_t_next_generation();
}

void qbank_latency_setup(t_class *c)
{
    class_addmethod(c, (t_method)qbank_latency_set, gensym("set_max_latency"), A_DEFFLOAT, A_NULL);
}
