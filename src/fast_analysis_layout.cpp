#include "fast_analysis_layout.h"

#include <fftw3.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "bank_snapshot.h"
#include "m_pd.h"
#include "window_words.h"

void fast_analysis_free_derived(void *v)
{
    FastDerived *d = (FastDerived *)v;
    for (SizePlan &pl : d->plans) {
        fft_plan_release(pl.forward);
        fft_plan_release(pl.backward);
        fft_plan_release(pl.spectrum);
    }
    qavex_t_free(d->bands);
    qavex_t_free(d->spectra);
    qavex_t_free(d->size_bands);
    qavex_t_free(d);
}

// Partitions of band b, taps from O on in c pieces of N, each padded to F =
// 2 N and transformed: h[m] = conj(w[L-1-m]) / 44100 with 1/F of the
// inverse transform folded in. in and out are F-point buffers of the plan.
static void partition_spectra(const FastShape &b, std::int32_t O, std::int32_t c, std::int32_t N, double *h,
                              const paf_type *r, const paf_type *i, fftw_complex *in, fftw_complex *out,
                              const sFftPlan *plan)
{
    const std::int32_t F = 2 * N;
    const double scale = 1.0 / (COEFF_SCALE * F);
    for (std::int32_t part = 0; part < c; part++) {
        for (std::int32_t n = 0; n < F; n++) {
            const std::int64_t m = (std::int64_t)O + (std::int64_t)part * N + n;
            const bool inside = n < N && m < b.L;
            in[n][0] = inside ? (double)r[b.L - 1 - m] * scale : 0.0;
            in[n][1] = inside ? -(double)i[b.L - 1 - m] * scale : 0.0;
        }
        fft_execute(plan, in, out);
        double *hr = h + (std::size_t)part * 2 * F, *hi = hr + F;
        for (std::int32_t k = 0; k < F; k++) {
            hr[k] = out[k][0];
            hi[k] = out[k][1];
        }
    }
}

// Per output sample: P partitions of 64 taps with their inverse transform.
static double first_cost(std::int32_t P) { return COST_PRODUCT * P + COST_TRANSFORM * NFFT * 7.0 / PART; }

// Per output sample: c partitions of size 64 << i with their inverse transform.
static double level_cost(std::int32_t i, std::int32_t c)
{
    const double F = 2.0 * (PART << i);
    return COST_PRODUCT * c + COST_TRANSFORM * F * std::log2(F) / (PART << i);
}

// The cheapest partitions of a window of L taps: P of 64 taps from tap 0
// on, then for each larger size N in turn c >= 0 of them, contiguous, a
// size's first partition at tap 2 N - 64 or later (its work is spread over
// a segment's length). Fills P and c[], O[]; returns the cost (negative:
// no memory for the search).
static double best_layout(std::int32_t L, std::int32_t &P, std::int32_t *c, std::int32_t *O)
{
    const std::int32_t U = (L + PART - 1) / PART;  // taps in units of 64
    // cost[i][u]: covering units u..U with sizes i and up (i >= 1).
    const std::size_t W = (std::size_t)U + 1;
    double *cost = (double *)qavex_t_malloc0((std::size_t)(LEVELS + 1) * W * sizeof(double));
    std::int32_t *pick = (std::int32_t *)qavex_t_malloc0((std::size_t)(LEVELS + 1) * W * sizeof(std::int32_t));
    const double INF = 1e300;
    double best = INF;
    P = U;
    for (int i = 0; i < LEVELS; i++) c[i] = 0, O[i] = 0;
    if (!cost || !pick) {
        qavex_t_free(cost);
        qavex_t_free(pick);
        return -1.0;
    }
    for (std::int32_t u = 0; u <= U; u++) cost[(std::size_t)LEVELS * W + u] = u == U ? 0.0 : INF;
    for (int i = MAX_LEVEL; i >= 1; i--) {
        const std::int32_t B = 1 << i;  // size in units
        for (std::int32_t u = 0; u <= U; u++) {
            double v = cost[(std::size_t)(i + 1) * W + u];
            std::int32_t k = 0;
            // Up to MAX_RUN partitions of a size, or as many as reach the
            // window's end (the only choice for the largest size): a longer
            // run costs more than moving on to the next size.
            if (u < U && u >= 2 * B - 1) {
                const std::int32_t all = (U - u + B - 1) / B;
                for (std::int32_t n = i == MAX_LEVEL ? all : 1;; n = n < MAX_RUN ? n + 1 : all) {
                    const std::int32_t to = n == all ? U : u + n * B;
                    const double w = level_cost(i, n) + cost[(std::size_t)(i + 1) * W + to];
                    if (w < v) v = w, k = n;
                    if (n == all) break;
                }
            }
            cost[(std::size_t)i * W + u] = v;
            pick[(std::size_t)i * W + u] = k;
        }
    }
    for (std::int32_t p0 = 1;; p0 = p0 < MAX_RUN ? p0 + 1 : U) {
        const double v = first_cost(p0) + cost[(std::size_t)1 * W + p0];
        if (v < best) best = v, P = p0;
        if (p0 == U) break;
    }
    std::int32_t u = P;
    for (int i = 1; i <= MAX_LEVEL && u < U; i++) {
        const std::int32_t k = pick[(std::size_t)i * W + u];
        if (k == 0) continue;
        c[i] = k;
        O[i] = u * PART;
        u += k << i;
    }
    qavex_t_free(cost);
    qavex_t_free(pick);
    return best;
}

// Every band's form (the cost model above) and the FFT bands' spectra and
// plans, from the snapshot alone.
void *fast_analysis_build_derived(const sBankSnapshot *s)
{
    FastDerived *d = (FastDerived *)qavex_t_malloc0(sizeof(FastDerived));
    if (!d) return nullptr;
    std::memset((void *)d, 0, sizeof *d);
    d->S = s->S;
    d->bands = (FastShape *)qavex_t_malloc0((std::size_t)(s->S > 0 ? s->S : 1) * sizeof(FastShape));
    d->size_bands = (std::int32_t *)qavex_t_malloc0((std::size_t)(s->S > 0 ? s->S : 1) * LEVELS * sizeof(std::int32_t));
    if (!d->bands || !d->size_bands) {
        fast_analysis_free_derived(d);
        return nullptr;
    }
    std::size_t doubles = 0;
    d->reach = 2 * PART;
    for (std::int32_t q = 0; q < s->S; q++) {
        FastShape &b = d->bands[q];
        std::memset((void *)&b, 0, sizeof b);
        b.kind = -1;
        b.slot = -1;
        const sBankSnapshotBand &w = s->bands[q];
        if (!w.r || !w.i || w.d < 1 || w.Lr < 1) continue;
        b.L = w.Lr;
        std::int32_t c[LEVELS], O[LEVELS];
        const double fft = best_layout(b.L, b.P, c, O);
        if (fft < 0) {
            fast_analysis_free_derived(d);
            return nullptr;
        }
        b.kind = fft < COST_DOT * b.L / w.d ? 1 : 0;
        if (b.L + 2 * PART > d->reach) d->reach = b.L + 2 * PART;
        if (b.kind != 1) continue;
        b.slot = d->nfft++;
        doubles += (std::size_t)b.P * 2 * NFFT;
        if (b.P > d->Pmax) d->Pmax = b.P;
        std::int32_t last = 0;
        for (int i = 1; i < LEVELS; i++) {
            b.lev[i] = LevelShape{c[i], O[i], nullptr};
            if (c[i] == 0) continue;
            doubles += (std::size_t)c[i] * 2 * (2 * (PART << i));
            last = O[i];
            SizeShape &z = d->sizes[i];
            const std::int32_t B = 1 << i;
            // Spectra for the c partitions and, after a resync, for the
            // older segments whose outputs are still due.
            const std::int32_t depth = c[i] + (O[i] / PART + 2) / B + 1;
            if (depth > z.depth) z.depth = depth;
            z.nb++;
        }
        if (last > 0) {
            std::int32_t R = PART;
            while (R < last + 3 * PART) R *= 2;
            b.R = R;
            b.ring_at = d->rings;
            d->rings += R;
        }
    }
    if ((std::int64_t)d->Pmax * PART + 2 * PART > d->reach) d->reach = (std::int64_t)d->Pmax * PART + 2 * PART;
    if (d->nfft == 0) return d;
    // Bands per size, in band order (the order of their tasks).
    std::int32_t *at = d->size_bands;
    for (int i = 1; i < LEVELS; i++) {
        SizeShape &z = d->sizes[i];
        z.band = at;
        z.nb = 0;
        for (std::int32_t q = 0; q < s->S; q++)
            if (d->bands[q].kind == 1 && d->bands[q].lev[i].c > 0) z.band[z.nb++] = q;
        at += z.nb;
        z.phase = (1 << i) / 2 - 1;
    }
    d->maxF = NFFT;
    for (int i = 1; i < LEVELS; i++)
        if (d->sizes[i].nb > 0) d->maxF = 2 * (PART << i);
    d->spectra = (double *)qavex_t_malloc0(doubles * sizeof(double));
    fftw_complex *in = fft_complex_buffer((std::size_t)d->maxF);
    fftw_complex *out = fft_complex_buffer((std::size_t)d->maxF);
    double *real = fft_real_buffer((std::size_t)d->maxF);
    bool ok = d->spectra && in && out && real;
    for (int i = 0; i < LEVELS && ok; i++) {
        if (i > 0 && d->sizes[i].nb == 0) continue;
        SizePlan &pl = d->plans[i];
        pl.F = 2 * (PART << i);
        pl.forward = fft_plan_acquire(eFft::REAL_TO_HALF, pl.F, real, in);
        pl.backward = fft_plan_acquire(eFft::BACKWARD, pl.F, in, out);
        pl.spectrum = fft_plan_acquire(eFft::FORWARD, pl.F, in, out);
        ok = pl.forward && pl.backward && pl.spectrum;
    }
    if (ok) {
        double *h = d->spectra;
        for (std::int32_t q = 0; q < s->S; q++) {
            FastShape &b = d->bands[q];
            if (b.kind != 1) continue;
            const paf_type *r = s->bands[q].r, *im = s->bands[q].i;
            b.h = h;
            partition_spectra(b, 0, b.P, PART, h, r, im, in, out, d->plans[0].spectrum);
            h += (std::size_t)b.P * 2 * NFFT;
            for (int i = 1; i < LEVELS; i++) {
                LevelShape &lv = b.lev[i];
                if (lv.c == 0) continue;
                lv.h = h;
                partition_spectra(b, lv.O, lv.c, PART << i, h, r, im, in, out, d->plans[i].spectrum);
                h += (std::size_t)lv.c * 2 * (2 * (PART << i));
            }
        }
    }
    fft_buffer_free(in);
    fft_buffer_free(out);
    fft_buffer_free(real);
    if (!ok) {
        fast_analysis_free_derived(d);
        return nullptr;
    }
    return d;
}
