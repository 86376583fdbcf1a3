#include "fast_analysis.h"
#include "fft_plans.h"

#include <fftw3.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "bank_snapshot.h"
#include "m_pd.h"
#include "platform.h"
#include "records.h"
#include "window_words.h"

namespace {

constexpr int PART = QAVEX_BLOCK;  // block and first partition length
constexpr int NFFT = 2 * PART;     // first partitions' transform length (overlap-save)
constexpr double COEFF_SCALE = QAVEX_SR;
// Partition sizes 64 << i for i = 0 .. MAX_LEVEL.
constexpr int MAX_LEVEL = 6;
constexpr int LEVELS = MAX_LEVEL + 1;
// Longest run of partitions of one size the layout search tries (besides
// one that reaches the window's end).
constexpr std::int32_t MAX_RUN = 64;

typedef double v4d __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));

// Cost model, in multiply-adds per output sample: a complex product per
// transform bin (4 per bin, 2 N bins per N samples: 8 per partition), an
// inverse complex transform of F points (about 2.5 F log2 F per N
// samples), and 2 L / d for a dot product over the window every d samples.
constexpr double COST_PRODUCT = 8.0;
constexpr double COST_TRANSFORM = 2.5;
constexpr double COST_DOT = 2.0;

// One band's partitions of one size beyond the first: c partitions of N
// taps from tap O on, all on the input spectra of the size's segments.
struct LevelShape {
    std::int32_t c;
    std::int32_t O;
    const double *h;  // c spectra, each F real parts then F imaginary parts
};

// How band q is computed, derived from the bank alone and shared by every
// analysis reading it (see bank_snapshot.h).
struct FastShape {
    std::int32_t kind;  // -1 none, 0 dot product, 1 partitioned FFT
    std::int32_t L;
    std::int32_t P;          // FFT: partitions of 64 taps from tap 0 on
    std::int32_t slot;       // FFT: index of the band's outputs
    const double *h;         // FFT: P spectra, each NFFT real parts then NFFT imaginary parts
    LevelShape lev[LEVELS];  // lev[i], i >= 1: partitions of 64 << i taps
    std::int32_t R;          // length of the band's output ring (a power of two; 0: none)
    std::int64_t ring_at;    // its place among the analysis's output rings
};

// The segments of one partition size N = 64 << i (i >= 1), shared by every
// band that uses it: a segment of N samples ends in block k when
// (k + phase) % B == B - 1, B = N / 64. Its spectrum (transform of the 2 N
// samples that end with it) and then each band's products and inverse
// transform are spread over the B blocks from that block on; the band's
// output for it is due from block k + B on (its first partition of that size
// starts at tap 2 N - 64 or later), so nothing comes late. The phases give
// the sizes' segment ends in different blocks.
struct SizeShape {
    std::int32_t nb;     // bands using the size
    std::int32_t *band;  // their band indices
    std::int32_t depth;  // segment spectra kept
    std::int32_t phase;
};

// Plans of one transform size, for buffers laid out as each analysis's
// own (src/fft_plans.h): real input to half spectrum, and the inverse
// complex transform.
struct SizePlan {
    std::int32_t F;
    const sFftPlan *forward;
    const sFftPlan *backward;
    const sFftPlan *spectrum;  // forward complex, for the window spectra
};

struct FastDerived {
    std::int32_t S;
    std::int32_t Pmax;   // longest run of 64-tap partitions
    std::int32_t nfft;   // bands on the FFT
    std::int64_t reach;  // samples a resync scans back for sound
    std::int64_t rings;  // output ring entries of all FFT bands
    std::int32_t maxF;   // largest transform
    FastShape *bands;
    double *spectra;  // all FFT bands' spectra, band after band
    SizeShape sizes[LEVELS];
    std::int32_t *size_bands;
    SizePlan plans[LEVELS];  // plans[i]: transforms of 2 (64 << i) points
};

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

static void free_derived(void *v)
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
static void *build_derived(const sBankSnapshot *s)
{
    FastDerived *d = (FastDerived *)qavex_t_malloc0(sizeof(FastDerived));
    if (!d) return nullptr;
    std::memset((void *)d, 0, sizeof *d);
    d->S = s->S;
    d->bands = (FastShape *)qavex_t_malloc0((std::size_t)(s->S > 0 ? s->S : 1) * sizeof(FastShape));
    d->size_bands = (std::int32_t *)qavex_t_malloc0((std::size_t)(s->S > 0 ? s->S : 1) * LEVELS * sizeof(std::int32_t));
    if (!d->bands || !d->size_bands) {
        free_derived(d);
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
            free_derived(d);
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
        free_derived(d);
        return nullptr;
    }
    return d;
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
    f->der =
        (const FastDerived *)bank_snapshot_derived(f->snap, eBankDerived::FAST_ANALYSIS, build_derived, free_derived);
    if (!f->der) return false;
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

void qavex_fast_adopt(sQavexFast *f, const sQbank_Param *p)
{
    f->p = p;
    f->synced = false;
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
