#include "fast_analysis.h"
#include "fft_plan_lock.h"

#include <fftw3.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "m_pd.h"
#include "platform.h"
#include "records.h"
#include "window_words.h"

namespace {

constexpr int PART = QAVEX_BLOCK;  // partition length
constexpr int NFFT = 2 * PART;     // transform length (overlap-save)
constexpr double COEFF_SCALE = QAVEX_SR;

typedef double v4d __attribute__((vector_size(32)));

struct FastBand {
    std::int32_t kind;  // -1 none, 0 dot product, 1 partitioned FFT
    std::int32_t L;
    std::int32_t P;     // partitions (FFT)
    double *h;          // FFT: P spectra, each NFFT real parts then NFFT imaginary parts
    double *wr, *wi;    // dot product: the window as doubles
    std::int64_t y_serial;  // block whose output sits in y (FFT)
    double *y;          // FFT: output of the block, NFFT real then NFFT imaginary
};

}  // namespace

struct sQavexFast {
    const sQbank_Param *p;
    std::uint32_t gen;
    bool failed;
    std::int32_t S;
    FastBand *bands;
    std::int32_t Pmax;      // spectra kept of past input frames
    double *fdl;            // Pmax spectra (real NFFT, imaginary NFFT), newest at head
    std::int32_t head;
    double *frame;          // NFFT input samples
    fftw_complex *half;     // NFFT / 2 + 1 bins of the input transform
    fftw_complex *acc;      // NFFT bins of a band's output spectrum
    fftw_complex *out;      // NFFT output samples
    fftw_plan forward;      // frame -> half
    fftw_plan backward;     // acc -> out
    fftw_plan window;       // out -> acc (window partitions, at build)
    sQavexRingClock clock;  // ring block the input spectra reach to
    bool synced;
    std::int64_t last_nonzero;  // absolute index of the newest non-zero sample seen (or very old)
};

static void destroy(sQavexFast *f)
{
    if (f->bands) {
        for (std::int32_t q = 0; q < f->S; q++) {
            qavex_t_free(f->bands[q].h);
            qavex_t_free(f->bands[q].wr);
            qavex_t_free(f->bands[q].wi);
            qavex_t_free(f->bands[q].y);
        }
        qavex_t_free(f->bands);
    }
    {
        QAVEX_FFT_PLAN_GUARD;
        if (f->forward) fftw_destroy_plan(f->forward);
        if (f->backward) fftw_destroy_plan(f->backward);
        if (f->window) fftw_destroy_plan(f->window);
    }
    qavex_t_free(f->fdl);
    qavex_t_free(f->frame);
    qavex_t_free(f->half);
    qavex_t_free(f->acc);
    qavex_t_free(f->out);
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
// folded in.
static bool build_fft_band(sQavexFast *f, FastBand &b, const paf_type *r, const paf_type *i)
{
    b.kind = 1;
    b.h = (double *)qavex_t_malloc0((std::size_t)b.P * 2 * NFFT * sizeof(double));
    b.y = (double *)qavex_t_malloc0(2 * NFFT * sizeof(double));
    if (!b.h || !b.y) return false;
    b.y_serial = INT64_MIN;
    const double scale = 1.0 / (COEFF_SCALE * NFFT);
    for (std::int32_t part = 0; part < b.P; part++) {
        for (int n = 0; n < NFFT; n++) {
            const std::int64_t m = (std::int64_t)part * PART + n;
            const bool in = n < PART && m < b.L;
            f->out[n][0] = in ? (double)r[b.L - 1 - m] * scale : 0.0;
            f->out[n][1] = in ? -(double)i[b.L - 1 - m] * scale : 0.0;
        }
        fftw_execute(f->window);
        double *hr = b.h + (std::size_t)part * 2 * NFFT, *hi = hr + NFFT;
        for (int k = 0; k < NFFT; k++) {
            hr[k] = f->acc[k][0];
            hi[k] = f->acc[k][1];
        }
    }
    return true;
}

// Band b by dot product: the window as doubles.
static bool build_dot_band(FastBand &b, const paf_type *r, const paf_type *i)
{
    b.kind = 0;
    b.wr = (double *)qavex_t_malloc0((std::size_t)b.L * sizeof(double));
    b.wi = (double *)qavex_t_malloc0((std::size_t)b.L * sizeof(double));
    if (!b.wr || !b.wi) return false;
    for (std::int32_t k = 0; k < b.L; k++) {
        b.wr[k] = (double)r[k];
        b.wi[k] = (double)i[k];
    }
    return true;
}

static bool build(sQavexFast *f, const sQbank_Param *p)
{
    const std::int32_t S = p->iq_compute_sup;
    f->p = p;
    f->gen = p->iGeneration;
    f->S = S;
    f->bands = (FastBand *)qavex_t_malloc0((std::size_t)S * sizeof(FastBand));
    // The band pointers are cleared first: a failure below frees them.
    for (std::int32_t q = 0; f->bands && q < S; q++) {
        FastBand &b = f->bands[q];
        b.kind = -1;
        b.h = b.wr = b.wi = b.y = nullptr;
    }
    f->frame = (double *)qavex_t_malloc0(NFFT * sizeof(double));
    f->half = (fftw_complex *)qavex_t_malloc0((NFFT / 2 + 1) * sizeof(fftw_complex));
    f->acc = (fftw_complex *)qavex_t_malloc0(NFFT * sizeof(fftw_complex));
    f->out = (fftw_complex *)qavex_t_malloc0(NFFT * sizeof(fftw_complex));
    if (!f->bands || !f->frame || !f->half || !f->acc || !f->out) return false;
    {
        QAVEX_FFT_PLAN_GUARD;
        f->forward = fftw_plan_dft_r2c_1d(NFFT, f->frame, f->half, FFTW_ESTIMATE);
        f->backward = fftw_plan_dft_1d(NFFT, f->acc, f->out, FFTW_BACKWARD, FFTW_ESTIMATE);
        f->window = fftw_plan_dft_1d(NFFT, f->out, f->acc, FFTW_FORWARD, FFTW_ESTIMATE);
    }
    if (!f->forward || !f->backward || !f->window) return false;
    f->Pmax = 0;
    for (std::int32_t q = 0; q < S; q++) {
        FastBand &b = f->bands[q];
        const paf_type *r = p->paf_r[q], *i = p->paf_i[q];
        const std::int32_t d = p->aiDq[q];
        if (!r || !i || d < 1) continue;
        b.L = qavex_t_window_length(r);
        if (b.L < 1) continue;
        b.P = (b.L + PART - 1) / PART;
        const double fft_cost = 8.0 * b.P, direct_cost = 2.0 * b.L / d;
        if (fft_cost < direct_cost) {
            if (!build_fft_band(f, b, r, i)) return false;
            if (b.P > f->Pmax) f->Pmax = b.P;
        } else if (!build_dot_band(b, r, i)) {
            return false;
        }
    }
    if (f->Pmax > 0) {
        f->fdl = (double *)qavex_t_malloc0((std::size_t)f->Pmax * 2 * NFFT * sizeof(double));
        if (!f->fdl) return false;
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
        if (f->Pmax > 0) {
            f->head = (f->head + 1) % f->Pmax;
            frame_spectrum(f, ring, 0, f->head);
        }
    } else {
        // Out of step (first block, a skipped block, a cleared ring): from
        // the ring itself. Samples before the scanned span count as sound.
        std::int64_t reach = (std::int64_t)f->Pmax * PART + 2 * PART;
        for (std::int32_t q = 0; q < f->S; q++)
            if (f->bands[q].kind >= 0 && f->bands[q].L + 2 * PART > reach) reach = f->bands[q].L + 2 * PART;
        if (reach > ring.length) reach = ring.length;
        f->last_nonzero = base + PART - 1 - reach;
        for (std::int64_t j = PART - 1; j > PART - 1 - reach; j--)
            if (sample(ring, j) != 0.0) {
                f->last_nonzero = base + j;
                break;
            }
        // The spectrum of age a sits in slot (head - a) mod Pmax.
        for (std::int32_t a = 0; a < f->Pmax; a++) frame_spectrum(f, ring, a, f->Pmax - 1 - a);
        f->head = f->Pmax > 0 ? f->Pmax - 1 : 0;
    }
    f->clock = clock;
    f->synced = true;
}

// Output of an FFT band for the current block: sum over partitions of
// input spectrum times window spectrum, back to the time domain.
static void fft_output(sQavexFast *f, FastBand &b)
{
    v4d ar[NFFT / 4], ai[NFFT / 4];
    for (int k = 0; k < NFFT / 4; k++) ar[k] = ai[k] = v4d{0, 0, 0, 0};
    for (std::int32_t part = 0; part < b.P; part++) {
        std::int32_t s = f->head - part;
        if (s < 0) s += f->Pmax;
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
        b.y[n] = f->out[n][0];
        b.y[NFFT + n] = f->out[n][1];
    }
}

// Dot product over ascending samples and window elements, in lanes of four.
static void dot(const t_sample *x, const double *wr, const double *wi, std::int32_t n, double &sr, double &si)
{
    v4d ar0 = {0, 0, 0, 0}, ai0 = ar0, ar1 = ar0, ai1 = ar0;
    std::int32_t k = 0;
    for (; k + 8 <= n; k += 8) {
        const v4d x0 = {(double)x[k], (double)x[k + 1], (double)x[k + 2], (double)x[k + 3]};
        const v4d x1 = {(double)x[k + 4], (double)x[k + 5], (double)x[k + 6], (double)x[k + 7]};
        v4d r0, i0, r1, i1;
        std::memcpy(&r0, wr + k, sizeof r0);
        std::memcpy(&i0, wi + k, sizeof i0);
        std::memcpy(&r1, wr + k + 4, sizeof r1);
        std::memcpy(&i1, wi + k + 4, sizeof i1);
        ar0 += x0 * r0;
        ai0 += x0 * i0;
        ar1 += x1 * r1;
        ai1 += x1 * i1;
    }
    const v4d ar = ar0 + ar1, ai = ai0 + ai1;
    double r = (ar[0] + ar[1]) + (ar[2] + ar[3]), i = (ai[0] + ai[1]) + (ai[2] + ai[3]);
    for (; k < n; k++) {
        r += (double)x[k] * wr[k];
        i += (double)x[k] * wi[k];
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
    if (!f || f->failed || !f->bands || q < 0 || q >= f->S) return -1;
    return f->bands[q].kind;
}

QAVEX_CLONES_FLAT void qavex_fast_band(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring,
                                       std::int32_t q, std::int32_t p0, std::int32_t d, std::int32_t K,
                                       sQavex_Coeff *const *e)
{
    FastBand &b = f->bands[q];
    if (b.kind < 0) {
        for (std::int32_t k = 0; k < K; k++)
            qavex_exact_single(ring, p->paf_r[q], p->paf_i[q], qavex_t_window_length(p->paf_r[q]), e[k]);
        return;
    }
    const std::int64_t base = f->clock.serial * PART;
    if (b.kind == 1) {
        if (b.y_serial != f->clock.serial) {
            fft_output(f, b);
            b.y_serial = f->clock.serial;
        }
        for (std::int32_t k = 0; k < K; k++) {
            const std::int32_t j = p0 + k * d;
            // A window over silence only gives exact zeros.
            if (base + j - b.L + 1 > f->last_nonzero) {
                e[k]->val_r = e[k]->val_i = 0.0;
            } else {
                e[k]->val_r = b.y[PART + j];
                e[k]->val_i = b.y[NFFT + PART + j];
            }
        }
        return;
    }
    for (std::int32_t k = 0; k < K; k++) {
        const std::int32_t j = p0 + k * d;
        // Oldest sample first: ring index of position j - L + 1.
        std::int64_t idx = ((std::int64_t)ring.newest + j - b.L + 1) % ring.length;
        if (idx < 0) idx += ring.length;
        double sr = 0.0, si = 0.0;
        std::int32_t first = (std::int32_t)(ring.length - idx);
        if (first > b.L) first = b.L;
        dot(ring.samples + idx, b.wr, b.wi, first, sr, si);
        if (first < b.L) dot(ring.samples, b.wr + first, b.wi + first, b.L - first, sr, si);
        e[k]->val_r = sr / COEFF_SCALE;
        e[k]->val_i = -si / COEFF_SCALE;
    }
}
