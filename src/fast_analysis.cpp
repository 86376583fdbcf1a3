#include "fast_analysis.h"
#include "fft_plan_lock.h"

#include <fftw3.h>

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

constexpr int PART = QAVEX_BLOCK;  // partition length
constexpr int NFFT = 2 * PART;     // transform length (overlap-save)
constexpr double COEFF_SCALE = QAVEX_SR;

typedef double v4d __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));

// How band q is computed, derived from the bank alone and shared by every
// analysis reading it (see bank_snapshot.h).
struct FastShape {
    std::int32_t kind;  // -1 none, 0 dot product, 1 partitioned FFT
    std::int32_t L;
    std::int32_t P;     // partitions (FFT)
    std::int32_t slot;  // FFT: index of the band's output buffer
    const double *h;    // FFT: P spectra, each NFFT real parts then NFFT imaginary parts
};

struct FastDerived {
    std::int32_t S;
    std::int32_t Pmax;   // longest partition count
    std::int32_t nfft;   // bands on the FFT
    std::int64_t reach;  // samples a resync scans back for sound
    FastShape *bands;
    double *spectra;     // all FFT bands' spectra, band after band
};

// An FFT band's output for one block, kept by each analysis.
struct FastOutput {
    std::int64_t serial;  // block whose output sits in y
    double *y;            // NFFT real then NFFT imaginary
};

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
    double *fdl;            // Pmax spectra (real NFFT, imaginary NFFT), newest at head
    std::int32_t head;
    double *frame;          // NFFT input samples
    fftw_complex *half;     // NFFT / 2 + 1 bins of the input transform
    fftw_complex *acc;      // NFFT bins of a band's output spectrum
    fftw_complex *out;      // NFFT output samples
    fftw_plan forward;      // frame -> half
    fftw_plan backward;     // acc -> out
    sQavexRingClock clock;  // ring block the input spectra reach to
    bool synced;
    std::int64_t last_nonzero;  // absolute index of the newest non-zero sample seen (or very old)
};

static void destroy(sQavexFast *f)
{
    {
        QAVEX_FFT_PLAN_GUARD;
        if (f->forward) fftw_destroy_plan(f->forward);
        if (f->backward) fftw_destroy_plan(f->backward);
    }
    qavex_t_free(f->outs);
    qavex_t_free(f->ys);
    qavex_t_free(f->fdl);
    qavex_t_free(f->frame);
    qavex_t_free(f->half);
    qavex_t_free(f->acc);
    qavex_t_free(f->out);
    bank_snapshot_release(f->snap);
    std::memset((void *)f, 0, sizeof *f);
}

static void free_derived(void *v)
{
    FastDerived *d = (FastDerived *)v;
    qavex_t_free(d->bands);
    qavex_t_free(d->spectra);
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

// Spectrum of the frame that ends `age` blocks before the current block's
// end (128 samples: that block and the one before), into fdl slot s.
static void frame_spectrum(sQavexFast *f, const sQavexRing &ring, std::int64_t age, std::int32_t s)
{
    const std::int64_t first = -PART - (std::int64_t)PART * age;
    for (int n = 0; n < NFFT; n++) f->frame[n] = sample(ring, first + n);
    fftw_execute(f->forward);
    double *re = f->fdl + (std::size_t)s * 2 * NFFT, *im = re + NFFT;
    for (int k = 0; k <= NFFT / 2; k++) {
        re[k] = f->half[k][0];
        im[k] = f->half[k][1];
    }
    // A real frame: the upper bins mirror the lower ones.
    for (int k = NFFT / 2 + 1; k < NFFT; k++) {
        re[k] = re[NFFT - k];
        im[k] = -im[NFFT - k];
    }
}

// Band b on the partitioned FFT: h[m] = conj(w[L-1-m]) / 44100, partitions
// of 64 taps padded to 128, transformed; 1/128 of the inverse transform
// folded in. in and out are NFFT-point buffers of plan.
static void fft_band_spectra(FastShape &b, double *h, const paf_type *r, const paf_type *i, fftw_complex *in,
                             fftw_complex *out, fftw_plan plan)
{
    b.h = h;
    const double scale = 1.0 / (COEFF_SCALE * NFFT);
    for (std::int32_t part = 0; part < b.P; part++) {
        for (int n = 0; n < NFFT; n++) {
            const std::int64_t m = (std::int64_t)part * PART + n;
            const bool inside = n < PART && m < b.L;
            in[n][0] = inside ? (double)r[b.L - 1 - m] * scale : 0.0;
            in[n][1] = inside ? -(double)i[b.L - 1 - m] * scale : 0.0;
        }
        fftw_execute(plan);
        double *hr = h + (std::size_t)part * 2 * NFFT, *hi = hr + NFFT;
        for (int k = 0; k < NFFT; k++) {
            hr[k] = out[k][0];
            hi[k] = out[k][1];
        }
    }
}

// Every band's form (the cost model: about 8 ceil(L / 64) multiply-adds
// per sample on the FFT against 2 L / d directly) and the FFT bands'
// spectra, from the snapshot alone.
static void *build_derived(const sBankSnapshot *s)
{
    FastDerived *d = (FastDerived *)qavex_t_malloc0(sizeof(FastDerived));
    if (!d) return nullptr;
    std::memset((void *)d, 0, sizeof *d);
    d->S = s->S;
    d->bands = (FastShape *)qavex_t_malloc0((std::size_t)(s->S > 0 ? s->S : 1) * sizeof(FastShape));
    if (!d->bands) {
        free_derived(d);
        return nullptr;
    }
    std::size_t doubles = 0;
    d->reach = 2 * PART;
    for (std::int32_t q = 0; q < s->S; q++) {
        FastShape &b = d->bands[q];
        b = FastShape{-1, 0, 0, -1, nullptr};
        const sBankSnapshotBand &w = s->bands[q];
        if (!w.r || !w.i || w.d < 1 || w.Lr < 1) continue;
        b.L = w.Lr;
        b.P = (b.L + PART - 1) / PART;
        b.kind = 8.0 * b.P < 2.0 * b.L / w.d ? 1 : 0;
        if (b.kind == 1) {
            b.slot = d->nfft++;
            doubles += (std::size_t)b.P * 2 * NFFT;
            if (b.P > d->Pmax) d->Pmax = b.P;
        }
        if (b.L + 2 * PART > d->reach) d->reach = b.L + 2 * PART;
    }
    if ((std::int64_t)d->Pmax * PART + 2 * PART > d->reach) d->reach = (std::int64_t)d->Pmax * PART + 2 * PART;
    if (d->nfft == 0) return d;
    d->spectra = (double *)qavex_t_malloc0(doubles * sizeof(double));
    fftw_complex *in = (fftw_complex *)qavex_t_malloc0(NFFT * sizeof(fftw_complex));
    fftw_complex *out = (fftw_complex *)qavex_t_malloc0(NFFT * sizeof(fftw_complex));
    fftw_plan plan = nullptr;
    if (d->spectra && in && out) {
        QAVEX_FFT_PLAN_GUARD;
        plan = fftw_plan_dft_1d(NFFT, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
    }
    if (plan) {
        double *h = d->spectra;
        for (std::int32_t q = 0; q < s->S; q++) {
            FastShape &b = d->bands[q];
            if (b.kind != 1) continue;
            fft_band_spectra(b, h, s->bands[q].r, s->bands[q].i, in, out, plan);
            h += (std::size_t)b.P * 2 * NFFT;
        }
        QAVEX_FFT_PLAN_GUARD;
        fftw_destroy_plan(plan);
    }
    qavex_t_free(in);
    qavex_t_free(out);
    if (!plan) {
        free_derived(d);
        return nullptr;
    }
    return d;
}

// This analysis's own state for the shared form of the bank: the input
// spectra, one output per FFT band, the transform buffers and plans.
static bool build(sQavexFast *f, const sQbank_Param *p)
{
    f->p = p;
    f->gen = p->iGeneration;
    f->S = p->iq_compute_sup;
    f->snap = bank_snapshot_acquire(p);
    if (!f->snap) return false;
    f->der = (const FastDerived *)bank_snapshot_derived(f->snap, eBankDerived::FAST_ANALYSIS, build_derived,
                                                         free_derived);
    if (!f->der) return false;
    const FastDerived *d = f->der;
    f->frame = (double *)qavex_t_malloc0(NFFT * sizeof(double));
    f->half = (fftw_complex *)qavex_t_malloc0((NFFT / 2 + 1) * sizeof(fftw_complex));
    f->acc = (fftw_complex *)qavex_t_malloc0(NFFT * sizeof(fftw_complex));
    f->out = (fftw_complex *)qavex_t_malloc0(NFFT * sizeof(fftw_complex));
    if (!f->frame || !f->half || !f->acc || !f->out) return false;
    {
        QAVEX_FFT_PLAN_GUARD;
        f->forward = fftw_plan_dft_r2c_1d(NFFT, f->frame, f->half, FFTW_ESTIMATE);
        f->backward = fftw_plan_dft_1d(NFFT, f->acc, f->out, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    if (!f->forward || !f->backward) return false;
    if (d->nfft > 0) {
        f->outs = (FastOutput *)qavex_t_malloc0((std::size_t)d->nfft * sizeof(FastOutput));
        f->ys = (double *)qavex_t_malloc0((std::size_t)d->nfft * 2 * NFFT * sizeof(double));
        f->fdl = (double *)qavex_t_malloc0((std::size_t)d->Pmax * 2 * NFFT * sizeof(double));
        if (!f->outs || !f->ys || !f->fdl) return false;
        for (std::int32_t k = 0; k < d->nfft; k++) f->outs[k] = FastOutput{INT64_MIN, f->ys + (std::size_t)k * 2 * NFFT};
    }
    f->synced = false;
    return true;
}

// Input spectra and the silence mark up to the ring's newest block.
static void follow_ring(sQavexFast *f, const sQavexRing &ring, sQavexRingClock clock)
{
    const bool next = f->synced && clock.epoch == f->clock.epoch && clock.serial == f->clock.serial + 1;
    const std::int64_t base = clock.serial * PART;  // absolute index of position 0
    if (next) {
        for (int j = 0; j < PART; j++)
            if (sample(ring, j) != 0.0) f->last_nonzero = base + j;
        if (f->der->Pmax > 0) {
            f->head = (f->head + 1) % f->der->Pmax;
            frame_spectrum(f, ring, 0, f->head);
        }
    } else {
        // Out of step (first block, a skipped block, a cleared ring): from
        // the ring itself. Samples before the scanned span count as sound.
        const std::int32_t Pmax = f->der->Pmax;
        std::int64_t reach = f->der->reach;
        if (reach > ring.length) reach = ring.length;
        f->last_nonzero = base + PART - 1 - reach;
        for (std::int64_t j = PART - 1; j > PART - 1 - reach; j--)
            if (sample(ring, j) != 0.0) {
                f->last_nonzero = base + j;
                break;
            }
        // The spectrum of age a sits in slot (head - a) mod Pmax.
        for (std::int32_t a = 0; a < Pmax; a++) frame_spectrum(f, ring, a, Pmax - 1 - a);
        f->head = Pmax > 0 ? Pmax - 1 : 0;
    }
    f->clock = clock;
    f->synced = true;
}

// Output of an FFT band for the current block: sum over partitions of
// input spectrum times window spectrum, back to the time domain.
static void fft_output(sQavexFast *f, const FastShape &b, double *y)
{
    v4d ar[NFFT / 4], ai[NFFT / 4];
    for (int k = 0; k < NFFT / 4; k++) ar[k] = ai[k] = v4d{0, 0, 0, 0};
    for (std::int32_t part = 0; part < b.P; part++) {
        std::int32_t s = f->head - part;
        if (s < 0) s += f->der->Pmax;
        const double *xr = f->fdl + (std::size_t)s * 2 * NFFT, *xi = xr + NFFT;
        const double *hr = b.h + (std::size_t)part * 2 * NFFT, *hi = hr + NFFT;
        for (int k = 0; k < NFFT / 4; k++) {
            v4d a, bb, c, d;
            std::memcpy(&a, xr + 4 * k, sizeof a);
            std::memcpy(&bb, xi + 4 * k, sizeof bb);
            std::memcpy(&c, hr + 4 * k, sizeof c);
            std::memcpy(&d, hi + 4 * k, sizeof d);
            ar[k] += a * c - bb * d;
            ai[k] += a * d + bb * c;
        }
    }
    for (int k = 0; k < NFFT / 4; k++)
        for (int l = 0; l < 4; l++) {
            f->acc[4 * k + l][0] = ar[k][l];
            f->acc[4 * k + l][1] = ai[k][l];
        }
    fftw_execute(f->backward);
    for (int n = 0; n < NFFT; n++) {
        y[n] = f->out[n][0];
        y[NFFT + n] = f->out[n][1];
    }
}

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

static void fast_band(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring, std::int32_t q,
                      std::int32_t p0, std::int32_t d, std::int32_t K, sQavex_Coeff *const *e)
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
            fft_output(f, b, o.y);
            o.serial = f->clock.serial;
        }
        for (std::int32_t k = 0; k < K; k++) {
            const std::int32_t j = p0 + k * d;
            // A window over silence only gives exact zeros.
            if (base + j - b.L + 1 > f->last_nonzero) {
                e[k]->val_r = e[k]->val_i = 0.0;
            } else {
                e[k]->val_r = o.y[PART + j];
                e[k]->val_i = o.y[NFFT + PART + j];
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

static void (*const fast_band_built)(sQavexFast *, const sQbank_Param *, const sQavexRing &, std::int32_t,
                                     std::int32_t, std::int32_t, std::int32_t, sQavex_Coeff *const *) =
    QAVEX_PICK_BUILD(fast_band_avx2, fast_band_base);

void qavex_fast_band(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring, std::int32_t q,
                     std::int32_t p0, std::int32_t d, std::int32_t K, sQavex_Coeff *const *e)
{
    fast_band_built(f, p, ring, q, p0, d, K, e);
}
