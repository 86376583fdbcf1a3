#include "fast_analysis.h"
#include "fft_plans.h"

#include <fftw3.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "bank_snapshot.h"
#include "fast_analysis_layout.h"
#include "m_pd.h"
#include "platform.h"
#include "records.h"
#include "window_words.h"

namespace {
// An FFT band's output of its 64-tap partitions for one block, kept by
// each analysis.
struct FastOutput {
    std::int64_t serial;  // block whose output sits in y
    double *y;            // NFFT real then NFFT imaginary
};

// A size's progress in one analysis: the segment being worked on and the
// tasks done for it (0: its spectrum, 1 + b: band b's output).
struct SizeState {
    double *fdl;       // depth spectra (real F, imaginary F)
    std::int64_t end;  // block in which the segment ends
    std::int32_t done;
};

inline std::int64_t floor_mod(std::int64_t a, std::int64_t m)
{
    const std::int64_t r = a % m;
    return r < 0 ? r + m : r;
}

inline std::int64_t floor_div(std::int64_t a, std::int64_t m) { return (a - floor_mod(a, m)) / m; }

}  // namespace

struct sQavexFast {
    const sQbank_Param *p;
    std::uint32_t gen;
    bool failed;
    std::int32_t S;
    const sBankSnapshot *snap;  // shared, one reference held
    const FastDerived *der;     // shared, lives with snap
    FastOutput *outs;           // der->nfft outputs
    double *ys;                 // their buffers
    double *fdl;                // Pmax spectra (real NFFT, imaginary NFFT), newest at head
    std::int32_t head;
    double *rings;  // every FFT band's output ring (real, imaginary pairs)
    SizeState sizes[LEVELS];
    double *frame;          // maxF input samples
    fftw_complex *half;     // maxF / 2 + 1 bins of an input transform
    fftw_complex *acc;      // maxF bins of a band's output spectrum
    fftw_complex *out;      // maxF output samples
    sQavexRingClock clock;  // ring block the input spectra reach to
    bool synced;
    std::int64_t last_nonzero;  // absolute index of the newest non-zero sample seen (or very old)
};

static void destroy(sQavexFast *f)
{
    qavex_t_free(f->outs);
    qavex_t_free(f->ys);
    qavex_t_free(f->fdl);
    qavex_t_free(f->rings);
    for (SizeState &z : f->sizes) qavex_t_free(z.fdl);
    fft_buffer_free(f->frame);
    fft_buffer_free(f->half);
    fft_buffer_free(f->acc);
    fft_buffer_free(f->out);
    bank_snapshot_release(f->snap);
    std::memset((void *)f, 0, sizeof *f);
}

// Sample at block position j of the current block (j may be negative:
// earlier blocks), stepping back through the ring.
static inline double sample(const sQavexRing &ring, std::int64_t j)
{
    std::int64_t idx = ((std::int64_t)ring.newest + j) % ring.length;
    if (idx < 0) idx += ring.length;
    return (double)ring.samples[idx];
}

// Spectrum of the F samples from block position `first` on, the whole
// complex spectrum into re[0..F), im[0..F).
static void frame_spectrum(sQavexFast *f, const sQavexRing &ring, std::int64_t first, const SizePlan &pl, double *re,
                           double *im)
{
    const std::int32_t F = pl.F;
    for (std::int32_t n = 0; n < F; n++) f->frame[n] = sample(ring, first + n);
    fft_execute(pl.forward, f->frame, f->half);
    for (std::int32_t k = 0; k <= F / 2; k++) {
        re[k] = f->half[k][0];
        im[k] = f->half[k][1];
    }
    // A real frame: the upper bins mirror the lower ones.
    for (std::int32_t k = F / 2 + 1; k < F; k++) {
        re[k] = re[F - k];
        im[k] = -im[F - k];
    }
}

// This analysis's own state for the shared form of the bank: the input
// spectra, the FFT bands' outputs and output rings, the transform buffers.
static bool build(sQavexFast *f, const sQbank_Param *p)
{
    f->p = p;
    f->gen = p->iGeneration;
    f->S = p->iq_compute_sup;
    f->snap = bank_snapshot_acquire(p);
    if (!f->snap) return false;
    f->der = (const FastDerived *)bank_snapshot_derived(f->snap, eBankDerived::FAST_ANALYSIS,
                                                        fast_analysis_build_derived, fast_analysis_free_derived);
    if (!f->der) return false;
    // The exact mode's window copies of the same bank as well: switching
    // fast mode off then computes exactly from the next block on, without
    // a block that copies every window.
    qavex_exact_share(f->snap);
    const FastDerived *d = f->der;
    if (d->nfft == 0) {
        f->synced = false;
        return true;
    }
    f->outs = (FastOutput *)qavex_t_malloc0((std::size_t)d->nfft * sizeof(FastOutput));
    f->ys = (double *)qavex_t_malloc0((std::size_t)d->nfft * 2 * NFFT * sizeof(double));
    f->fdl = (double *)qavex_t_malloc0((std::size_t)d->Pmax * 2 * NFFT * sizeof(double));
    if (!f->outs || !f->ys || !f->fdl) return false;
    for (std::int32_t k = 0; k < d->nfft; k++) f->outs[k] = FastOutput{INT64_MIN, f->ys + (std::size_t)k * 2 * NFFT};
    if (d->rings > 0) {
        f->rings = (double *)qavex_t_malloc0((std::size_t)d->rings * 2 * sizeof(double));
        if (!f->rings) return false;
    }
    for (int i = 1; i < LEVELS; i++) {
        if (d->sizes[i].nb == 0) continue;
        f->sizes[i].fdl =
            (double *)qavex_t_malloc0((std::size_t)d->sizes[i].depth * 2 * d->plans[i].F * sizeof(double));
        if (!f->sizes[i].fdl) return false;
    }
    f->frame = fft_real_buffer((std::size_t)d->maxF);
    f->half = fft_complex_buffer((std::size_t)(d->maxF / 2 + 1));
    f->acc = fft_complex_buffer((std::size_t)d->maxF);
    f->out = fft_complex_buffer((std::size_t)d->maxF);
    if (!f->frame || !f->half || !f->acc || !f->out) return false;
    f->synced = false;
    return true;
}

// acc = sum over c partitions of input spectrum times window spectrum (F
// bins, split real and imaginary parts); xs(c) gives the input spectrum of
// partition c.
template <class Spectra>
static inline void products(fftw_complex *acc, std::int32_t F, std::int32_t c, const double *h, Spectra xs)
{
    for (std::int32_t k0 = 0; k0 < F; k0 += NFFT) {
        v4d ar[NFFT / 4], ai[NFFT / 4];
        for (int k = 0; k < NFFT / 4; k++) ar[k] = ai[k] = v4d{0, 0, 0, 0};
        for (std::int32_t part = 0; part < c; part++) {
            const double *xr = xs(part) + k0, *xi = xr + F;
            const double *hr = h + (std::size_t)part * 2 * F + k0, *hi = hr + F;
            for (int k = 0; k < NFFT / 4; k++) {
                v4d a, bb, cc, dd;
                std::memcpy(&a, xr + 4 * k, sizeof a);
                std::memcpy(&bb, xi + 4 * k, sizeof bb);
                std::memcpy(&cc, hr + 4 * k, sizeof cc);
                std::memcpy(&dd, hi + 4 * k, sizeof dd);
                ar[k] += a * cc - bb * dd;
                ai[k] += a * dd + bb * cc;
            }
        }
        for (int k = 0; k < NFFT / 4; k++)
            for (int l = 0; l < 4; l++) {
                acc[k0 + 4 * k + l][0] = ar[k][l];
                acc[k0 + 4 * k + l][1] = ai[k][l];
            }
    }
}

// Output of an FFT band's 64-tap partitions for the current block.
static void first_output(sQavexFast *f, const FastShape &b, double *y)
{
    const std::int32_t Pmax = f->der->Pmax, head = f->head;
    const double *fdl = f->fdl;
    products(f->acc, NFFT, b.P, b.h, [=](std::int32_t part) {
        std::int32_t s = head - part;
        if (s < 0) s += Pmax;
        return fdl + (std::size_t)s * 2 * NFFT;
    });
    fft_execute(f->der->plans[0].backward, f->acc, f->out);
    for (int n = 0; n < NFFT; n++) {
        y[n] = f->out[n][0];
        y[NFFT + n] = f->out[n][1];
    }
}

// Slot of the spectrum of the size-i segment that ends in block `end`.
static inline double *segment_spectrum(sQavexFast *f, int i, std::int64_t end)
{
    const SizeShape &z = f->der->sizes[i];
    const std::int64_t n = floor_div(end + z.phase + 1, (std::int64_t)1 << i);
    return f->sizes[i].fdl + (std::size_t)floor_mod(n, z.depth) * 2 * f->der->plans[i].F;
}

// The spectrum of the size-i segment ending in block `end` (the 2 N samples
// that end with that block), with the ring at block `now`.
static void segment_transform(sQavexFast *f, const sQavexRing &ring, int i, std::int64_t end, std::int64_t now)
{
    const SizePlan &pl = f->der->plans[i];
    double *re = segment_spectrum(f, i, end);
    frame_spectrum(f, ring, (end + 1 - now) * PART - pl.F, pl, re, re + pl.F);
}

// Band q's output of its size-i partitions for the segment ending in block
// `end`, added into its output ring where it is at or after block `now`.
static void segment_output(sQavexFast *f, std::int32_t q, int i, std::int64_t end, std::int64_t now)
{
    const FastShape &b = f->der->bands[q];
    const LevelShape &lv = b.lev[i];
    const SizePlan &pl = f->der->plans[i];
    const std::int32_t F = pl.F, N = F / 2, B = 1 << i;
    products(f->acc, F, lv.c, lv.h,
             [=](std::int32_t part) { return segment_spectrum(f, i, end - (std::int64_t)part * B); });
    fft_execute(pl.backward, f->acc, f->out);
    // Output n of the transform (n >= N) is tap sum at absolute sample t0 + n.
    const std::int64_t t0 = (end + 1) * PART - F + lv.O, lo = now * PART, hi = lo + b.R;
    double *ring = f->rings + (std::size_t)b.ring_at * 2;
    for (std::int32_t n = N; n < F; n++) {
        const std::int64_t t = t0 + n;
        if (t < lo || t >= hi) continue;
        double *e = ring + (std::size_t)(t & (b.R - 1)) * 2;
        e[0] += f->out[n][0];
        e[1] += f->out[n][1];
    }
}

// The tasks of size i that fall in block k: the segment ending in block
// k - j, j = (k + phase + 1) % B, has its remaining tasks spread evenly over
// the blocks up to its B-th.
static void size_tasks(sQavexFast *f, const sQavexRing &ring, int i, std::int64_t k)
{
    const SizeShape &z = f->der->sizes[i];
    SizeState &st = f->sizes[i];
    const std::int64_t B = (std::int64_t)1 << i;
    const std::int64_t j = floor_mod(k + z.phase + 1, B);
    if (st.end != k - j) {
        st.end = k - j;
        st.done = 0;
    }
    const std::int32_t T = 1 + z.nb;
    const std::int32_t left = T - st.done;
    const std::int32_t target = st.done + (std::int32_t)((left + (B - j) - 1) / (B - j));
    for (; st.done < target; st.done++) {
        if (st.done == 0) segment_transform(f, ring, i, st.end, k);
        else segment_output(f, z.band[st.done - 1], i, st.end, k);
    }
}

// After a resync at block k: the spectra of the segments still needed and
// the outputs of every completed earlier segment still due, into the
// cleared rings; the current segment's tasks then follow their schedule.
static void size_resync(sQavexFast *f, const sQavexRing &ring, int i, std::int64_t k)
{
    const SizeShape &z = f->der->sizes[i];
    SizeState &st = f->sizes[i];
    const std::int64_t B = (std::int64_t)1 << i;
    const std::int64_t cur = k - floor_mod(k + z.phase + 1, B);
    for (std::int32_t a = z.depth - 1; a >= 0; a--) segment_transform(f, ring, i, cur - a * B, k);
    for (std::int32_t n = 0; n < z.nb; n++) {
        const std::int32_t q = z.band[n];
        const LevelShape &lv = f->der->bands[q].lev[i];
        for (std::int64_t m = 1; m + lv.c <= z.depth; m++) {
            const std::int64_t end = cur - m * B;
            if ((end + 1) * PART + lv.O <= k * PART) break;  // all of it before this block
            segment_output(f, q, i, end, k);
        }
    }
    st.end = cur;
    st.done = 1;
}

// Input spectra, output rings, the sizes' scheduled tasks and the silence
// mark up to the ring's newest block.
static void follow_ring_here(sQavexFast *f, const sQavexRing &ring, sQavexRingClock clock)
{
    const FastDerived *d = f->der;
    const bool next = f->synced && clock.epoch == f->clock.epoch && clock.serial == f->clock.serial + 1;
    const std::int64_t k = clock.serial;
    const std::int64_t base = k * PART;  // absolute index of position 0
    if (next) {
        for (int j = 0; j < PART; j++)
            if (sample(ring, j) != 0.0) f->last_nonzero = base + j;
        if (d->Pmax > 0) {
            f->head = (f->head + 1) % d->Pmax;
            frame_spectrum(f, ring, -PART, d->plans[0], f->fdl + (std::size_t)f->head * 2 * NFFT,
                           f->fdl + (std::size_t)f->head * 2 * NFFT + NFFT);
        }
        // The previous block's place in the output rings is free again.
        for (std::int32_t q = 0; q < d->S; q++) {
            const FastShape &b = d->bands[q];
            if (b.R == 0) continue;
            double *r = f->rings + (std::size_t)b.ring_at * 2 + (std::size_t)((base - PART) & (b.R - 1)) * 2;
            std::memset(r, 0, 2 * PART * sizeof(double));
        }
    } else {
        // Out of step (first block, a skipped block, a cleared ring): from
        // the ring itself. Samples before the scanned span count as sound.
        const std::int32_t Pmax = d->Pmax;
        std::int64_t reach = d->reach;
        if (reach > ring.length) reach = ring.length;
        f->last_nonzero = base + PART - 1 - reach;
        for (std::int64_t j = PART - 1; j > PART - 1 - reach; j--)
            if (sample(ring, j) != 0.0) {
                f->last_nonzero = base + j;
                break;
            }
        // The spectrum of age a sits in slot (head - a) mod Pmax.
        for (std::int32_t a = 0; a < Pmax; a++) {
            double *re = f->fdl + (std::size_t)(Pmax - 1 - a) * 2 * NFFT;
            frame_spectrum(f, ring, -PART - (std::int64_t)PART * a, d->plans[0], re, re + NFFT);
        }
        f->head = Pmax > 0 ? Pmax - 1 : 0;
        if (d->rings > 0) std::memset(f->rings, 0, (std::size_t)d->rings * 2 * sizeof(double));
        for (int i = 1; i < LEVELS; i++)
            if (d->sizes[i].nb > 0) size_resync(f, ring, i, k);
    }
    for (int i = 1; i < LEVELS; i++)
        if (d->sizes[i].nb > 0) size_tasks(f, ring, i, k);
    f->clock = clock;
    f->synced = true;
}

// Built for processors with AVX2 and FMA and for the base instruction set,
// one chosen at load time.
#if QAVEX_TWO_BUILDS
static QAVEX_AVX2_BUILD void follow_ring_avx2(sQavexFast *f, const sQavexRing &ring, sQavexRingClock clock)
{
    follow_ring_here(f, ring, clock);
}
#endif

static QAVEX_BASE_BUILD void follow_ring_base(sQavexFast *f, const sQavexRing &ring, sQavexRingClock clock)
{
    follow_ring_here(f, ring, clock);
}

static void (*const follow_ring)(sQavexFast *, const sQavexRing &,
                                 sQavexRingClock) = QAVEX_PICK_BUILD(follow_ring_avx2, follow_ring_base);

// Four floats widened to doubles (a macro: a function returning a 32-byte
// vector would change its calling convention between the two builds).
#define FA_LOAD4(dst, p)                          \
    do {                                          \
        v4f f_;                                   \
        std::memcpy(&f_, (p), sizeof f_);         \
        (dst) = __builtin_convertvector(f_, v4d); \
    } while (0)

// Dot product over ascending samples and window elements, in lanes of four;
// the float window elements are widened exactly.
static void dot(const t_sample *x, const paf_type *wr, const paf_type *wi, std::int32_t n, double &sr, double &si)
{
    v4d ar0 = {0, 0, 0, 0}, ai0 = ar0, ar1 = ar0, ai1 = ar0;
    std::int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const v4d x0 = {(double)x[k], (double)x[k + 1], (double)x[k + 2], (double)x[k + 3]};
        const v4d x1 = {(double)x[k + 4], (double)x[k + 5], (double)x[k + 6], (double)x[k + 7]};
        v4d r0, i0, r1, i1;
        FA_LOAD4(r0, wr + k);
        FA_LOAD4(i0, wi + k);
        FA_LOAD4(r1, wr + k + 4);
        FA_LOAD4(i1, wi + k + 4);
        ar0 += x0 * r0;
        ai0 += x0 * i0;
        ar1 += x1 * r1;
        ai1 += x1 * i1;
    }
    const v4d ar = ar0 + ar1, ai = ai0 + ai1;
    double r = (ar[0] + ar[1]) + (ar[2] + ar[3]), i = (ai[0] + ai[1]) + (ai[2] + ai[3]);
    for (; k < n; k++) {
        r += (double)x[k] * (double)wr[k];
        i += (double)x[k] * (double)wi[k];
    }
    sr += r;
    si += i;
}

bool qavex_fast_prepare(sQavexFast **pf, const sQbank_Param *p, const sQavexRing &ring, sQavexRingClock clock)
{
    if (p->iGeneration == 0) return false;
    sQavexFast *f = *pf;
    if (!f) {
        f = (sQavexFast *)qavex_t_malloc0(sizeof(sQavexFast));
        if (!f) return false;
        std::memset((void *)f, 0, sizeof *f);
        *pf = f;
    }
    if (f->p != p || f->gen != p->iGeneration || (f->S != p->iq_compute_sup && !f->failed)) {
        destroy(f);
        if (!build(f, p)) {
            destroy(f);
            f->p = p;
            f->gen = p->iGeneration;
            f->failed = true;
            pd_error(nullptr, "qavex_tilde: no memory for the fast mode; computing exactly");
        }
    }
    if (f->failed) return false;
    follow_ring(f, ring, clock);
    return true;
}

sQavexFast *qavex_fast_build(const sQbank_Param *p)
{
    auto *f = (sQavexFast *)qavex_t_malloc0(sizeof(sQavexFast));
    if (!f) return nullptr;
    std::memset((void *)f, 0, sizeof *f);
    if (!build(f, p)) {
        qavex_fast_free(f);
        return nullptr;
    }
    return f;
}

void qavex_fast_adopt(sQavexFast *f, const sQbank_Param *p) { f->p = p; }

void qavex_fast_follow(sQavexFast *f, const sQavexRing &ring, sQavexRingClock clock)
{
    if (f && !f->failed && f->der) follow_ring(f, ring, clock);
}

void qavex_fast_free(sQavexFast *f)
{
    if (!f) return;
    destroy(f);
    qavex_t_free(f);
}

int qavex_fast_band_kind(const sQavexFast *f, std::int32_t q)
{
    if (!f || f->failed || !f->der || q < 0 || q >= f->der->S) return -1;
    return f->der->bands[q].kind;
}

bool qavex_fast_band_partitions(const sQavexFast *f, std::int32_t q, std::int32_t count[LEVELS],
                                std::int32_t first[LEVELS])
{
    if (qavex_fast_band_kind(f, q) != 1) return false;
    const FastShape &b = f->der->bands[q];
    count[0] = b.P;
    first[0] = 0;
    for (int i = 1; i < LEVELS; i++) {
        count[i] = b.lev[i].c;
        first[i] = b.lev[i].O;
    }
    return true;
}

static void fast_band(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring, std::int32_t q, std::int32_t p0,
                      std::int32_t d, std::int32_t K, sQavex_Coeff *const *e)
{
    const FastShape &b = f->der->bands[q];
    if (b.kind < 0) {
        for (std::int32_t k = 0; k < K; k++)
            qavex_exact_single(ring, p->paf_r[q], p->paf_i[q], qavex_t_window_length(p->paf_r[q]), e[k]);
        return;
    }
    const std::int64_t base = f->clock.serial * PART;
    if (b.kind == 1) {
        FastOutput &o = f->outs[b.slot];
        if (o.serial != f->clock.serial) {
            first_output(f, b, o.y);
            o.serial = f->clock.serial;
        }
        const double *ring_b = b.R ? f->rings + (std::size_t)b.ring_at * 2 : nullptr;
        for (std::int32_t k = 0; k < K; k++) {
            const std::int32_t j = p0 + k * d;
            // A window over silence only gives exact zeros.
            if (base + j - b.L + 1 > f->last_nonzero) {
                e[k]->val_r = e[k]->val_i = 0.0;
            } else {
                double re = o.y[PART + j], im = o.y[NFFT + PART + j];
                if (ring_b) {
                    // The larger partitions' part, added into the ring beforehand.
                    const double *r = ring_b + (std::size_t)((base + j) & (b.R - 1)) * 2;
                    re += r[0];
                    im += r[1];
                }
                e[k]->val_r = re;
                e[k]->val_i = im;
            }
        }
        return;
    }
    const paf_type *wr = f->snap->bands[q].r, *wi = f->snap->bands[q].i;
    for (std::int32_t k = 0; k < K; k++) {
        const std::int32_t j = p0 + k * d;
        // Oldest sample first: ring index of position j - L + 1.
        std::int64_t idx = ((std::int64_t)ring.newest + j - b.L + 1) % ring.length;
        if (idx < 0) idx += ring.length;
        double sr = 0.0, si = 0.0;
        std::int32_t first = (std::int32_t)(ring.length - idx);
        if (first > b.L) first = b.L;
        dot(ring.samples + idx, wr, wi, first, sr, si);
        if (first < b.L) dot(ring.samples, wr + first, wi + first, b.L - first, sr, si);
        e[k]->val_r = sr / COEFF_SCALE;
        e[k]->val_i = -si / COEFF_SCALE;
    }
}

// Built for processors with AVX2 and FMA and for the base instruction set,
// one chosen at load time.
#if QAVEX_TWO_BUILDS
static QAVEX_AVX2_BUILD void fast_band_avx2(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring,
                                            std::int32_t q, std::int32_t p0, std::int32_t d, std::int32_t K,
                                            sQavex_Coeff *const *e)
{
    fast_band(f, p, ring, q, p0, d, K, e);
}
#endif

static QAVEX_BASE_BUILD void fast_band_base(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring,
                                            std::int32_t q, std::int32_t p0, std::int32_t d, std::int32_t K,
                                            sQavex_Coeff *const *e)
{
    fast_band(f, p, ring, q, p0, d, K, e);
}

static void (*const fast_band_built)(sQavexFast *, const sQbank_Param *, const sQavexRing &, std::int32_t, std::int32_t,
                                     std::int32_t, std::int32_t,
                                     sQavex_Coeff *const *) = QAVEX_PICK_BUILD(fast_band_avx2, fast_band_base);

void qavex_fast_band(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring, std::int32_t q, std::int32_t p0,
                     std::int32_t d, std::int32_t K, sQavex_Coeff *const *e)
{
    fast_band_built(f, p, ring, q, p0, d, K, e);
}
