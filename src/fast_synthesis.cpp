#include "fast_synthesis.h"
#include "fft_plans.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "m_pd.h"
#include "bank_snapshot.h"
#include "platform.h"
#include "records.h"
#include "rounding.h"
#include "safety.h"
#include "window_words.h"

// ---------------------------------------------------------------- state
//
// Every band's window element m of a coefficient c with position `start` in
// block k lands at ring position (block k's start) + D + start + m, D = Lm - L.
// Seen per band, the block's coefficients form an impulse stream x (complex,
// one sample per block position) and the band's output is Re(x * w) shifted
// by D. A band on the FFT path keeps the recent impulse stream and splits its
// window into partitions of 64, 128, 256, ... samples, partition i starting at
// window element N_i - 64; the first partitions are added directly where that
// costs less at the band's hop than their transforms. Partition i is convolved with whole segments of N_i
// impulse samples once a segment is complete; the earliest sample it produces
// then falls on the block being computed, so nothing comes late and no
// latency is added. Segment boundaries of each partition are staggered per
// band so that the large transforms do not all fall into one block.

namespace {

using cplx = std::complex<double>;
typedef double v4d __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));

constexpr int FS_MAX_PLANS = 64;
// Largest segment of a partition; longer windows stay on the direct path.
constexpr std::int64_t FS_MAX_SEGMENT = std::int64_t(1) << 24;
// Spectra and impulse histories of all FFT bands together stay below this;
// bands beyond it stay on the direct path.
constexpr std::int64_t FS_MAX_BYTES = std::int64_t(256) << 20;

struct Level {
    std::int32_t N;      // segment length, 64 * 2^i
    std::int32_t O;      // first window element of the partition, N - 64
    std::int32_t Lp;     // partition length
    std::int32_t F;      // transform size, at least N + Lp - 1
    std::int32_t B;      // blocks per segment
    std::int32_t phase;  // a segment ends in block k when (k + phase) % B == B - 1
    std::int32_t plan;   // index into the plan table
    cplx *H;             // spectrum of the partition, times 0.5 / F
};

enum : std::int32_t { FS_NONE = 0, FS_DIRECT = 1, FS_FFT = 2 };

// How band q is synthesised, derived from the bank alone and shared by
// every synthesis reading it (see bank_snapshot.h).
struct Band {
    std::int32_t mode;
    std::int32_t L;
    std::int32_t D;  // Lm - L
    const paf_type *wr;
    const paf_type *wi;  // null when it cannot serve complex coefficients
    std::int32_t head;   // window elements 0..head-1 are added directly
    std::int32_t nlev;
    Level *lev;       // partitions from the first one at element head on
    std::int32_t Hb;  // blocks of impulse stream kept
};

// A band's own part in one synthesis: the recent impulse stream.
struct BandState {
    cplx *hist;            // Hb blocks, indexed by sample mod 64 Hb
    std::int64_t last_nz;  // last block with a non-zero impulse
};

struct Plan {
    std::int32_t F;
    const sFftPlan *fwd;  // complex forward, buf in place
    const sFftPlan *inv;  // complex-to-real, buf -> rbuf
};

// Everything derived from one bank: band forms, partitions with their
// spectra, the transform sizes they use.
struct Derived {
    std::int32_t S, Lm;
    Band *bands;
    std::int32_t nsizes;
    std::int32_t sizes[FS_MAX_PLANS];
    std::int32_t maxF;
    std::int64_t hist_len;  // impulse samples of all FFT bands together
};

constexpr std::int64_t FS_LONG_AGO = INT64_MIN / 4;

}  // namespace

struct qavex_fast_synthesis {
    // The bank the state was built for (der null: nothing built).
    const sQbank_Param *P;
    std::uint32_t gen;
    std::int32_t Lm, S;
    paf_type *const *paf_r;
    paf_type *const *paf_i;
    const sBankSnapshot *snap;  // shared, one reference held
    const Derived *der;         // shared, lives with snap
    BandState *st;
    cplx *hists;
    std::int64_t k;            // fast blocks since the state was built
    Plan plans[FS_MAX_PLANS];  // one per size of der
    std::int32_t nplans;
    fftw_complex *buf;
    double *rbuf;
    // The bank at which building failed; not retried until it changes.
    const sQbank_Param *failP;
    std::uint32_t failGen;
    std::int32_t failLm, failS;
};

// Transform size for a segment of N and a partition of Lp: even, at least
// N + Lp - 1, with no prime factor above 5.
static std::int32_t transform_size(std::int64_t N, std::int64_t Lp)
{
    const std::int64_t half = (N + Lp) / 2;
    return 2 * round_up_to_multiple_of_small_primes((std::int32_t)half, 5);
}

// Partitions i >= first cover window elements from 64 (2^first - 1) on.
static std::int32_t level_count(std::int32_t L, std::int32_t first)
{
    std::int32_t n = 0;
    for (std::int64_t N = (std::int64_t)QAVEX_BLOCK << first; N - QAVEX_BLOCK < L; N *= 2) n++;
    return n;
}

// Cost per output sample of partition i of a window of length L, in
// multiply-adds: a complex transform of F and a real inverse (about
// 2.5 F log2 F together) and the spectral products (4 F), over N samples.
static double level_cost(std::int32_t L, std::int32_t i)
{
    const std::int64_t N = (std::int64_t)QAVEX_BLOCK << i;
    const std::int64_t Lp = std::min<std::int64_t>(N, L - (N - QAVEX_BLOCK));
    const double F = transform_size(N, Lp);
    return (2.5 * F * std::log2(F) + 4.0 * F) / (double)N;
}

// Cost estimates in multiply-adds per output sample for one band of window
// length L fed every d samples: direct form, and doubling partitions by FFT
// after a head that is added directly.
static double fast_synthesis_direct_cost(std::int32_t L, std::int32_t d) { return d < 1 ? 0.0 : 2.0 * L / d; }

// The first partition computed by FFT for a band fed every d samples: the
// elements before it are cheaper to add directly.
static std::int32_t first_level(std::int32_t L, std::int32_t d)
{
    std::int32_t i = 0;
    while (((std::int64_t)QAVEX_BLOCK << (i + 1)) - QAVEX_BLOCK < L &&
           fast_synthesis_direct_cost(QAVEX_BLOCK << i, d) < level_cost(L, i))
        i++;
    return i;
}

static double fast_synthesis_fft_cost(std::int32_t L, std::int32_t d)
{
    const std::int32_t first = first_level(L, d);
    double c = fast_synthesis_direct_cost((QAVEX_BLOCK << first) - QAVEX_BLOCK, d);
    for (std::int32_t i = first; ((std::int64_t)QAVEX_BLOCK << i) - QAVEX_BLOCK < L; i++) c += level_cost(L, i);
    return c;
}

// ---------------------------------------------------------------- direct adds
// y[m] += Re(c * w[m]) in double precision, four elements at a time; built for
// AVX2 processors and the base instruction set, one chosen at load time.
// Four floats widened to doubles (a macro: a function returning a 32-byte
// vector would change its calling convention between the two builds).
#define FS_LOAD4(dst, p)                          \
    do {                                          \
        v4f f_;                                   \
        std::memcpy(&f_, (p), sizeof f_);         \
        (dst) = __builtin_convertvector(f_, v4d); \
    } while (0)

static inline void add_real(double *y, const paf_type *w, std::int64_t n, double v)
{
    std::int64_t m = 0;
    for (; m + 4 <= n; m += 4) {
        v4d a, b;
        std::memcpy(&a, y + m, sizeof a);
        FS_LOAD4(b, w + m);
        a += v * b;
        std::memcpy(y + m, &a, sizeof a);
    }
    for (; m < n; m++) y[m] += v * (double)w[m];
}

static inline void add_complex(double *y, const paf_type *wr, const paf_type *wi, std::int64_t n, double vr, double vi)
{
    std::int64_t m = 0;
    for (; m + 4 <= n; m += 4) {
        v4d a, br, bi;
        std::memcpy(&a, y + m, sizeof a);
        FS_LOAD4(br, wr + m);
        FS_LOAD4(bi, wi + m);
        a += vr * br - vi * bi;
        std::memcpy(y + m, &a, sizeof a);
    }
    for (; m < n; m++) y[m] += vr * (double)wr[m] - vi * (double)wi[m];
}

static inline void add_either(double *y, const paf_type *wr, const paf_type *wi, std::int64_t n, double vr, double vi)
{
    if (vi == 0.0) add_real(y, wr, n, vr);
    else if (vr == 0.0) add_real(y, wi, n, -vi);
    else add_complex(y, wr, wi, n, vr, vi);
}

#if QAVEX_TWO_BUILDS
static QAVEX_AVX2_BUILD void add_direct_avx2(double *y, const paf_type *wr, const paf_type *wi, std::int64_t n,
                                             double vr, double vi)
{
    add_either(y, wr, wi, n, vr, vi);
}
#endif

static QAVEX_BASE_BUILD void add_direct_base(double *y, const paf_type *wr, const paf_type *wi, std::int64_t n,
                                             double vr, double vi)
{
    add_either(y, wr, wi, n, vr, vi);
}

static void (*const add_direct)(double *, const paf_type *, const paf_type *, std::int64_t, double,
                                double) = QAVEX_PICK_BUILD(add_direct_avx2, add_direct_base);

// Adds src[0..n) to the ring A[0..R) from index p (0 <= p < R) on, wrapping.
static void add_to_ring(double *A, std::int64_t R, std::int64_t p, const double *src, std::int64_t n)
{
    const std::int64_t n1 = std::min(n, R - p);
    for (std::int64_t i = 0; i < n1; i++) A[p + i] += src[i];
    for (std::int64_t i = n1; i < n; i++) A[i - n1] += src[i];
}

static inline std::int64_t wrap(std::int64_t p, std::int64_t R)
{
    p %= R;
    return p < 0 ? p + R : p;
}

// Convolves partition lv with the n impulse samples that end before sample
// seg_end and adds Re() of the result to the ring from index pos on.
static void convolve_level(qavex_fast_synthesis *f, const Band &b, const BandState &st, const Level &lv,
                           std::int64_t seg_end, std::int32_t n, double *A, std::int64_t R, std::int64_t pos)
{
    const std::int32_t F = lv.F;
    const Plan &pl = f->plans[lv.plan];
    cplx *x = reinterpret_cast<cplx *>(f->buf);
    const std::int64_t Hn = (std::int64_t)b.Hb * QAVEX_BLOCK;
    const std::int64_t s0 = wrap(seg_end - n, Hn);
    const std::int64_t n1 = std::min<std::int64_t>(n, Hn - s0);
    std::copy(st.hist + s0, st.hist + s0 + n1, x);
    std::copy(st.hist, st.hist + (n - n1), x + n1);
    std::fill(x + n, x + F, cplx(0.0, 0.0));
    fft_execute(pl.fwd, f->buf, f->buf);
    // Spectrum of Re(x * h): (Y(f) + conj(Y(-f))) / 2 with Y = X H, on the
    // half spectrum the real inverse reads. Index F - i >= F / 2 >= i, so
    // writing bin i never overwrites a bin still to be read.
    const cplx *H = lv.H;
    for (std::int32_t i = 0; i <= F / 2; i++) {
        const std::int32_t r = i ? F - i : 0;
        const double ar = x[i].real(), ai = x[i].imag(), hr = H[i].real(), hi = H[i].imag();
        const double br = x[r].real(), bi = x[r].imag(), gr = H[r].real(), gi = H[r].imag();
        const double y1r = ar * hr - ai * hi, y1i = ar * hi + ai * hr;
        const double y2r = br * gr - bi * gi, y2i = br * gi + bi * gr;
        x[i] = cplx(y1r + y2r, y1i - y2i);
    }
    fft_execute(pl.inv, f->buf, f->rbuf);
    add_to_ring(A, R, pos, f->rbuf, (std::int64_t)n + lv.Lp - 1);
}

// ---------------------------------------------------------------- building
static void free_derived(void *v)
{
    Derived *d = (Derived *)v;
    if (d->bands) {
        for (std::int32_t q = 0; q < d->S; q++) {
            Band &b = d->bands[q];
            if (b.lev)
                for (std::int32_t i = 0; i < b.nlev; i++) qavex_t_free(b.lev[i].H);
            qavex_t_free(b.lev);
        }
        qavex_t_free(d->bands);
    }
    qavex_t_free(d);
}

static void release_bands(qavex_fast_synthesis *f)
{
    qavex_t_free(f->st);
    qavex_t_free(f->hists);
    f->st = nullptr;
    f->hists = nullptr;
    for (std::int32_t i = 0; i < f->nplans; i++) {
        fft_plan_release(f->plans[i].fwd);
        fft_plan_release(f->plans[i].inv);
    }
    f->nplans = 0;
    fft_buffer_free(f->buf);
    fft_buffer_free(f->rbuf);
    f->buf = nullptr;
    f->rbuf = nullptr;
    bank_snapshot_release(f->snap);
    f->snap = nullptr;
    f->der = nullptr;
    f->P = nullptr;
}

// Index of transform size F in the table, a new entry or -1 when the table
// is full.
static std::int32_t size_slot(Derived *d, std::int32_t F)
{
    for (std::int32_t i = 0; i < d->nsizes; i++)
        if (d->sizes[i] == F) return i;
    if (d->nsizes == FS_MAX_PLANS) return -1;
    d->sizes[d->nsizes] = F;
    return d->nsizes++;
}

// Partitions of an FFT band; false when the size table is full.
static bool lay_out_levels(Derived *d, Band &b, std::int32_t q, std::int32_t first)
{
    for (std::int32_t i = 0; i < b.nlev; i++) {
        Level &lv = b.lev[i];
        lv.N = QAVEX_BLOCK << (first + i);
        lv.O = lv.N - QAVEX_BLOCK;
        lv.Lp = std::min(lv.N, b.L - lv.O);
        lv.F = transform_size(lv.N, lv.Lp);
        lv.B = lv.N / QAVEX_BLOCK;
        lv.phase = (std::int32_t)(((std::uint32_t)q * 40503u + (std::uint32_t)i * 9973u) % (std::uint32_t)lv.B);
        lv.plan = size_slot(d, lv.F);
        lv.H = nullptr;
        if (lv.plan < 0) return false;
    }
    return true;
}

// Puts band q (window b.L, fed every d samples) on the FFT path: its
// partitions and impulse history length. It stays direct when the size
// table is full or its buffers would take *fft_bytes past FS_MAX_BYTES.
// False on a failed allocation.
static bool make_fft_band(Derived *dv, Band &b, std::int32_t q, std::int32_t d, std::int64_t *fft_bytes)
{
    const std::int32_t first = first_level(b.L, d);
    b.head = (QAVEX_BLOCK << first) - QAVEX_BLOCK;
    b.nlev = level_count(b.L, first);
    b.lev = (Level *)qavex_t_malloc0((std::size_t)b.nlev * sizeof(Level));
    if (!b.lev) return false;
    std::fill(b.lev, b.lev + b.nlev, Level{});
    const std::int32_t nsizes = dv->nsizes;
    const bool laid_out = lay_out_levels(dv, b, q, first);
    std::int64_t bytes = (std::int64_t)b.lev[b.nlev - 1].B * QAVEX_BLOCK;
    for (std::int32_t i = 0; i < b.nlev; i++) bytes += b.lev[i].F;
    bytes *= (std::int64_t)sizeof(cplx);
    if (!laid_out || *fft_bytes + bytes > FS_MAX_BYTES) {
        // Sizes this band added stay unused; the table keeps them.
        (void)nsizes;
        qavex_t_free(b.lev);
        b.lev = nullptr;
        b.nlev = 0;
        b.head = 0;
        return true;
    }
    *fft_bytes += bytes;
    b.mode = FS_FFT;
    b.Hb = b.lev[b.nlev - 1].B;
    dv->hist_len += (std::int64_t)b.Hb * QAVEX_BLOCK;
    return true;
}

// Spectra of the partitions, scaled so that the real inverse of
// X H(f) + conj(X H(-f)) gives Re(x * h) directly; computed with plans of
// its own on a buffer of its own.
static bool make_spectra(Derived *d)
{
    if (d->maxF == 0) return true;
    fftw_complex *buf = fft_complex_buffer((std::size_t)d->maxF);
    if (!buf) return false;
    cplx *x = reinterpret_cast<cplx *>(buf);
    bool ok = true;
    for (std::int32_t z = 0; z < d->nsizes && ok; z++) {
        const std::int32_t F = d->sizes[z];
        const sFftPlan *fwd = fft_plan_acquire(eFft::FORWARD, F, buf, buf);
        if (!fwd) {
            ok = false;
            break;
        }
        for (std::int32_t q = 0; q < d->S && ok; q++) {
            Band &b = d->bands[q];
            if (b.mode != FS_FFT) continue;
            for (std::int32_t i = 0; i < b.nlev; i++) {
                Level &lv = b.lev[i];
                if (lv.plan != z) continue;
                lv.H = (cplx *)qavex_t_malloc0((std::size_t)lv.F * sizeof(cplx));
                if (!lv.H) {
                    ok = false;
                    break;
                }
                for (std::int32_t m = 0; m < lv.Lp; m++) x[m] = cplx(b.wr[lv.O + m], b.wi[lv.O + m]);
                std::fill(x + lv.Lp, x + lv.F, cplx(0.0, 0.0));
                fft_execute(fwd, buf, buf);
                const double sc = 0.5 / lv.F;
                for (std::int32_t m = 0; m < lv.F; m++) lv.H[m] = x[m] * sc;
            }
        }
        fft_plan_release(fwd);
    }
    fft_buffer_free(buf);
    return ok;
}

// Every band of the bank: skipped (no usable window), direct, or on the
// FFT path where that costs less; from the snapshot alone.
static void *build_derived(const sBankSnapshot *s)
{
    Derived *dv = (Derived *)qavex_t_malloc0(sizeof(Derived));
    if (!dv) return nullptr;
    std::memset((void *)dv, 0, sizeof *dv);
    const std::int32_t S = s->S, Lm = s->Lm;
    dv->S = S;
    dv->Lm = Lm;
    dv->bands = (Band *)qavex_t_malloc0((std::size_t)(S > 0 ? S : 1) * sizeof(Band));
    if (!dv->bands) {
        free_derived(dv);
        return nullptr;
    }
    for (std::int32_t q = 0; q < S; q++) dv->bands[q] = Band{FS_NONE, 0, 0, nullptr, nullptr, 0, 0, nullptr, 0};
    std::int64_t fft_bytes = 0;
    bool ok = true;
    for (std::int32_t q = 0; q < S && ok; q++) {
        Band &b = dv->bands[q];
        const sBankSnapshotBand &w = s->bands[q];
        if (!w.r) continue;
        const std::int32_t L = w.Lr;
        if (L < 1 || L > Lm) continue;
        const paf_type *wi = w.i && w.Li >= L ? w.i : nullptr;
        b = Band{FS_DIRECT, L, Lm - L, w.r, wi, 0, 0, nullptr, 0};
        const std::int32_t d = w.d;
        if (!wi || d < 1 || (std::int64_t)2 * L > FS_MAX_SEGMENT) continue;
        if (fast_synthesis_fft_cost(L, d) >= fast_synthesis_direct_cost(L, d)) continue;
        ok = make_fft_band(dv, b, q, d, &fft_bytes);
        for (std::int32_t i = 0; ok && i < b.nlev; i++) dv->maxF = std::max(dv->maxF, b.lev[i].F);
    }
    if (!ok || !make_spectra(dv)) {
        free_derived(dv);
        return nullptr;
    }
    return dv;
}

// This synthesis's own part for the shared bands: impulse streams, the
// transform buffers and plans.
static bool build(qavex_fast_synthesis *f, const sQbank_Param *P, std::int32_t Lm, std::int32_t S)
{
    f->snap = bank_snapshot_acquire(P);
    if (!f->snap || f->snap->S != S || f->snap->Lm != Lm) return false;
    f->der = (const Derived *)bank_snapshot_derived(f->snap, eBankDerived::FAST_SYNTHESIS, build_derived, free_derived);
    if (!f->der) return false;
    const Derived *d = f->der;
    f->S = S;
    f->st = (BandState *)qavex_t_malloc0((std::size_t)(S > 0 ? S : 1) * sizeof(BandState));
    if (!f->st) return false;
    if (d->hist_len > 0) {
        f->hists = (cplx *)qavex_t_malloc0((std::size_t)d->hist_len * sizeof(cplx));
        if (!f->hists) return false;
        std::fill(f->hists, f->hists + d->hist_len, cplx(0.0, 0.0));
    }
    cplx *at = f->hists;
    for (std::int32_t q = 0; q < S; q++) {
        const Band &b = d->bands[q];
        f->st[q] = BandState{b.mode == FS_FFT ? at : nullptr, FS_LONG_AGO};
        if (b.mode == FS_FFT) at += (std::size_t)b.Hb * QAVEX_BLOCK;
    }
    if (d->maxF == 0) return true;
    f->buf = fft_complex_buffer((std::size_t)d->maxF);
    f->rbuf = fft_real_buffer((std::size_t)d->maxF);
    if (!f->buf || !f->rbuf) return false;
    for (std::int32_t i = 0; i < d->nsizes; i++) {
        Plan &pl = f->plans[i];
        pl.F = d->sizes[i];
        pl.fwd = fft_plan_acquire(eFft::FORWARD, pl.F, f->buf, f->buf);
        pl.inv = fft_plan_acquire(eFft::HALF_TO_REAL, pl.F, f->buf, f->rbuf);
        f->nplans = i + 1;
        if (!pl.fwd || !pl.inv) return false;
    }
    return true;
}

// Adds to the ring what the FFT bands still owe for impulses already
// received: every partition's incomplete segment, as if the stream ended
// now. c is the ring index of the block about to be output.
static void flush(qavex_fast_synthesis *f, double *A, std::int64_t R, std::int64_t c)
{
    if (!f->der) return;
    const std::int64_t k = f->k;
    for (std::int32_t q = 0; q < f->S; q++) {
        const Band &b = f->der->bands[q];
        const BandState &st = f->st[q];
        if (b.mode != FS_FFT) continue;
        for (std::int32_t i = 0; i < b.nlev; i++) {
            const Level &lv = b.lev[i];
            const std::int32_t m = (std::int32_t)((k + lv.phase) % lv.B);
            if (m == 0 || st.last_nz < k - m) continue;
            const std::int32_t n = m * QAVEX_BLOCK;
            convolve_level(f, b, st, lv, k * QAVEX_BLOCK, n, A, R, wrap(c + b.D + lv.O - n, R));
        }
    }
}

static void clear_pending(qavex_fast_synthesis *f)
{
    if (!f->der) return;
    for (std::int32_t q = 0; q < f->S; q++) f->st[q].last_nz = FS_LONG_AGO;
    if (f->hists) std::fill(f->hists, f->hists + f->der->hist_len, cplx(0.0, 0.0));
}

// ---------------------------------------------------------------- detached builds
// State f, built from a copy of P (or from a rebuilt bank before its swap)
// at P's generation, now serves P; its windows are the snapshot's, which
// hold the same values.
static void adopt(qavex_fast_synthesis *f, const sQbank_Param *P)
{
    f->P = P;
    f->gen = P->iGeneration;
    f->Lm = P->iLongestFrame_paf;
    f->paf_r = P->paf_r;
    f->paf_i = P->paf_i;
    f->k = 0;
    f->failP = nullptr;
}

// ---------------------------------------------------------------- interface
qavex_fast_synthesis *fast_synthesis_new()
{
    auto *f = (qavex_fast_synthesis *)qavex_t_malloc0(sizeof(qavex_fast_synthesis));
    if (f) std::memset((void *)f, 0, sizeof *f);
    return f;
}

qavex_fast_synthesis *fast_synthesis_build(const sQbank_Param *P)
{
    qavex_fast_synthesis *f = fast_synthesis_new();
    if (!f) return nullptr;
    if (!build(f, P, P->iLongestFrame_paf, P->iq_compute_sup)) {
        fast_synthesis_free(f);
        return nullptr;
    }
    return f;
}

void fast_synthesis_adopt(qavex_fast_synthesis *f, const sQbank_Param *P) { adopt(f, P); }

void fast_synthesis_flush(qavex_fast_synthesis *f, const sQavexSynthRing &ring)
{
    if (f->der && ring.ready && ring.length >= (std::int64_t)f->Lm + QAVEX_BLOCK) flush(f, ring.A, ring.length, ring.c);
}

bool fast_synthesis_drain(qavex_fast_synthesis *f, const sQavexSynthRing &ring)
{
    if (!f->der || !ring.ready || ring.length < (std::int64_t)f->Lm + QAVEX_BLOCK) return false;
    const std::int64_t k = f->k, R = ring.length;
    bool owed = false;
    for (std::int32_t q = 0; q < f->S; q++) {
        const Band &b = f->der->bands[q];
        BandState &st = f->st[q];
        if (b.mode != FS_FFT || st.last_nz < k + 1 - b.Hb) continue;
        cplx *slot = st.hist + (k % b.Hb) * QAVEX_BLOCK;
        std::fill(slot, slot + QAVEX_BLOCK, cplx(0.0, 0.0));
        for (std::int32_t i = 0; i < b.nlev; i++) {
            const Level &lv = b.lev[i];
            if ((k + lv.phase) % lv.B != lv.B - 1 || st.last_nz < k - lv.B + 1) continue;
            convolve_level(f, b, st, lv, (k + 1) * QAVEX_BLOCK, lv.N, ring.A, R, wrap(ring.c + b.D, R));
        }
        // A later segment of the longest partition still holds an impulse.
        owed = owed || st.last_nz >= k + 2 - b.Hb;
    }
    f->k++;
    return owed;
}

bool fast_synthesis_prepare(qavex_fast_synthesis *f, const sQbank_Param *P, std::int32_t Lm, std::int32_t S,
                            const sQavexSynthRing &ring, const void *owner)
{
    if (!f) return false;
    if (f->der && (P != f->P || P->iGeneration != f->gen || Lm != f->Lm || S != f->S || P->paf_r != f->paf_r ||
                   P->paf_i != f->paf_i)) {
        flush(f, ring.A, ring.length, ring.c);
        release_bands(f);
    }
    if (f->der) return true;
    if (P == f->failP && P->iGeneration == f->failGen && Lm == f->failLm && S == f->failS) return false;
    if (!build(f, P, Lm, S)) {
        release_bands(f);
        f->failP = P;
        f->failGen = P->iGeneration;
        f->failLm = Lm;
        f->failS = S;
        pd_error(owner, "invqavex_tilde: no memory for the fast synthesis; using the exact synthesis");
        return false;
    }
    f->P = P;
    f->gen = P->iGeneration;
    f->Lm = Lm;
    f->paf_r = P->paf_r;
    f->paf_i = P->paf_i;
    f->k = 0;
    f->failP = nullptr;
    return true;
}

void fast_synthesis_thread(qavex_fast_synthesis *f, sthread_invqavex_param *psP)
{
    double *A = psP->sA;
    const std::int64_t R = psP->sE - psP->sA;
    const std::int64_t c = psP->sC - psP->sA;
    const std::int64_t k = f->k;
    const std::int32_t qMin = std::max(psP->qMin, 0), qSup = std::min(psP->qSup, f->S);
    const Band *bands = f->der->bands;
    BandState *st = f->st;

    for (std::int32_t q = qMin; q < qSup; q++) {
        const Band &b = bands[q];
        if (b.mode == FS_FFT) {
            cplx *slot = st[q].hist + (k % b.Hb) * QAVEX_BLOCK;
            std::fill(slot, slot + QAVEX_BLOCK, cplx(0.0, 0.0));
        }
    }
    auto usable = [bands](std::int32_t q) { return bands[q].mode != FS_NONE; };
    invqavex_t_each_coeff(psP, qMin, qSup, usable, [&](const sQavex_Coeff &co, double vr, double vi) {
        const Band &b = bands[co.band];
        if (co.start < 0 || co.start >= QAVEX_BLOCK) return;
        if (vi != 0.0 && !b.wi) return;
        // Huge values take the direct path: what overflows there spoils
        // only the samples their own window covers, as in the exact mode.
        const bool fft = b.mode == FS_FFT && std::fabs(vr) < 1e150 && std::fabs(vi) < 1e150;
        if (fft) {
            st[co.band].hist[(k % b.Hb) * QAVEX_BLOCK + co.start] += cplx(vr, vi);
            st[co.band].last_nz = k;
        }
        const std::int32_t len = fft ? b.head : b.L;
        const std::int64_t p0 = wrap(c + b.D + co.start, R);
        const std::int64_t n1 = std::min<std::int64_t>(len, R - p0);
        add_direct(A + p0, b.wr, b.wi, n1, vr, vi);
        if (n1 < len) add_direct(A, b.wr + n1, b.wi ? b.wi + n1 : nullptr, len - n1, vr, vi);
    });
    for (std::int32_t q = qMin; q < qSup; q++) {
        const Band &b = bands[q];
        if (b.mode != FS_FFT) continue;
        for (std::int32_t i = 0; i < b.nlev; i++) {
            const Level &lv = b.lev[i];
            if ((k + lv.phase) % lv.B != lv.B - 1 || st[q].last_nz < k - lv.B + 1) continue;
            convolve_level(f, b, st[q], lv, (k + 1) * QAVEX_BLOCK, lv.N, A, R, wrap(c + b.D, R));
        }
    }
    *psP->piThreadCount = *psP->piThreadCount - 1;
}

void fast_synthesis_finish(qavex_fast_synthesis *f)
{
    if (f) f->k++;
}

void fast_synthesis_rings_rebuilt(qavex_fast_synthesis *f)
{
    if (f) clear_pending(f);
}

void fast_synthesis_free(qavex_fast_synthesis *f)
{
    if (!f) return;
    release_bands(f);
    qavex_t_free(f);
}

int fast_synthesis_band_mode(const qavex_fast_synthesis *f, std::int32_t q)
{
    if (!f || !f->der || q < 0 || q >= f->S) return -1;
    return f->der->bands[q].mode;
}
