#include "qavex_t.h"
#include "safety.h"

#include <cmath>
#include <cstring>
#include <thread>

t_class *pcQavex_t = nullptr;
std::int32_t qavex_t_bang_count = 0;

namespace {

constexpr std::int32_t START_BANDS = 2000;
constexpr std::int32_t START_LONGEST_FRAME = 80000;
constexpr std::int32_t START_RING_BLOCKS = 3000;
constexpr std::int32_t START_SLICES = 4;
constexpr std::int32_t ANALYSE_SUP_AT_INIT = 98765;
constexpr long double COEFF_SCALE = 44100.0L;
// Largest factor for "set_soundbuffer_length_factor" whose length in
// samples still fits the 32-bit field.
constexpr double MAX_RING_FACTOR = 2147483647.0 / QAVEX_BLOCK;

// A float argument as the messages read it: NaN counts as a missing one.
inline double arg_value(t_floatarg f)
{
    double d = (double)f;
    return std::isnan(d) ? 0.0 : d;
}

// Length word of a paf array, truncated toward zero; a length word that is
// not a positive number in range gives an empty window.
inline std::int32_t window_length(const paf_type *a)
{
    float f = a[-5];
    if (!(f >= 1.0f)) return 0;
    if (f >= 2147483520.0f) return 2147483520;
    return (std::int32_t)f;
}

void free_slices(sQavex_t *psW)
{
    for (auto &s : psW->pawp) {
        qavex_t_free(s);
        s = nullptr;
    }
}

void free_lists(sQavex_t *psW)
{
    if (!psW->pawc) return;
    for (int i = 0; i < QAVEX_T_MAX_SLICES; i++) qavex_t_free(psW->pawc[i]);
    qavex_t_free(psW->pawc);
    psW->pawc = nullptr;
    for (auto &c : psW->aiListCapacity) c = 0;
}

void free_sound(sQavex_t *psW)
{
    qavex_t_free(psW->sSound.pA);
    psW->sSound.pA = psW->sSound.pC = psW->sSound.pE = nullptr;
}

// Every buffer the block routine computes into exists.
bool buffers_ready(const sQavex_t *psW)
{
    if (!psW->pawc || !psW->sSound.pA) return false;
    for (int i = 0; i < psW->num_threads; i++)
        if (!psW->pawp[i]) return false;
    return true;
}

// The input ring as the slices read it: x(0) of block position j is
// samples[newest + j]; older samples step back through the ring, from its
// first sample to its last.
struct Ring {
    const t_sample *samples;
    std::int32_t length;
    std::int32_t newest;
};

// One coefficient in progress: sum_r += x(m) w_r[L-1-m] and
// sum_i += x(m) w_i[L-1-m] for m = 0 .. L-1, in that order. The walk is cut
// into contiguous runs (one, or two when the window reaches past the ring's
// start), so the inner loops carry no wrap test. Each product of two floats
// is exact in double, so a double multiply and add give the same sums as an
// extended product added to a double accumulator.
struct Walk {
    const t_sample *x;   // current sample; older ones lie below
    const paf_type *wr;  // current window elements; earlier ones lie below
    const paf_type *wi;
    std::int32_t run;    // samples left before the ring's start
    std::int32_t rem;    // samples left in the window
    double ar, ai;
    sQavex_Coeff *e;
};

inline void walk_begin(Walk &w, sQavex_Coeff *e, const Ring &ring, paf_type *const *paf_r,
                       paf_type *const *paf_i)
{
    const paf_type *wr = paf_r[e->band];
    const std::int32_t L = window_length(wr);
    const std::int32_t idx = ring.newest + e->start;
    w.x = ring.samples + idx;
    w.wr = wr + L - 1;
    w.wi = paf_i[e->band] + L - 1;
    w.rem = L;
    w.run = L < idx + 1 ? L : idx + 1;
    w.ar = w.ai = 0.0;
    w.e = e;
}

inline void walk_advance(Walk &w, std::int32_t n, const Ring &ring)
{
    w.x -= n;
    w.wr -= n;
    w.wi -= n;
    w.run -= n;
    w.rem -= n;
    if (w.run == 0 && w.rem > 0) {
        w.x = ring.samples + ring.length - 1;
        w.run = w.rem < ring.length ? w.rem : ring.length;
    }
}

inline void walk_store(const Walk &w)
{
    w.e->val_r = (double)((long double)w.ar / COEFF_SCALE);
    w.e->val_i = (double)((long double)(-w.ai) / COEFF_SCALE);
}

// Finishes one walk alone.
void walk_rest(Walk &w, const Ring &ring)
{
    while (w.rem > 0) {
        const std::int32_t n = w.run;
        const t_sample *x = w.x;
        const paf_type *wr = w.wr, *wi = w.wi;
        double ar = w.ar, ai = w.ai;
        for (std::int32_t t = 0; t < n; t++) {
            const double v = (double)x[-t];
            ar += v * (double)wr[-t];
            ai += v * (double)wi[-t];
        }
        w.ar = ar;
        w.ai = ai;
        walk_advance(w, n, ring);
    }
    walk_store(w);
}

// Two doubles handled together where the processor can (element-wise
// arithmetic, so every lane is rounded exactly as a lone double would be).
typedef double v2d __attribute__((vector_size(16)));

// K coefficients of one band at different positions: the walks read the
// window in step (one load of each window element serves all of them);
// each walk passes the ring's start at its own place.
template <int K>
void band_group(const Ring &ring, sQavex_Coeff *const *e, const paf_type *wr, const paf_type *wi,
                std::int32_t L)
{
    const t_sample *x[K];
    std::int32_t run[K];
    double ar[K], ai[K];
#pragma GCC unroll 4
    for (int k = 0; k < K; k++) {
        const std::int32_t idx = ring.newest + e[k]->start;
        x[k] = ring.samples + idx;
        run[k] = L < idx + 1 ? L : idx + 1;
        ar[k] = ai[k] = 0.0;
    }
    const paf_type *pr = wr + L - 1;
    const paf_type *pi = wi + L - 1;
    std::int32_t rem = L;
    while (rem > 0) {
        std::int32_t n = run[0];
#pragma GCC unroll 4
        for (int k = 1; k < K; k++)
            if (run[k] < n) n = run[k];
        // The real and imaginary sums of a walk travel as one pair.
        v2d acc[K];
#pragma GCC unroll 4
        for (int k = 0; k < K; k++) acc[k] = v2d{ar[k], ai[k]};
        for (std::int32_t t = 0; t < n; t++) {
            const v2d w = {(double)pr[-t], (double)pi[-t]};
#pragma GCC unroll 4
            for (int k = 0; k < K; k++) {
                const double v = (double)x[k][-t];
                acc[k] += v2d{v, v} * w;
            }
        }
#pragma GCC unroll 4
        for (int k = 0; k < K; k++) {
            ar[k] = acc[k][0];
            ai[k] = acc[k][1];
        }
        pr -= n;
        pi -= n;
        rem -= n;
#pragma GCC unroll 4
        for (int k = 0; k < K; k++) {
            x[k] -= n;
            run[k] -= n;
            if (run[k] == 0 && rem > 0) {
                x[k] = ring.samples + ring.length - 1;
                run[k] = rem < ring.length ? rem : ring.length;
            }
        }
    }
#pragma GCC unroll 4
    for (int k = 0; k < K; k++) {
        e[k]->val_r = (double)((long double)ar[k] / COEFF_SCALE);
        e[k]->val_i = (double)((long double)(-ai[k]) / COEFF_SCALE);
    }
}

constexpr int WALKS = 4;

// Computes entries 0 .. total-1 of a list (start and band set), four walks
// side by side for as long as there are four.
void compute_entries(const Ring &ring, sQavex_Coeff *list, std::int32_t total, paf_type *const *paf_r,
                     paf_type *const *paf_i)
{
    Walk w[WALKS];
    std::int32_t next = 0;
    auto refill = [&](Walk &s) {
        while (next < total) {
            sQavex_Coeff *e = &list[next++];
            if (e->numCoeff == 1) {
                e->numCoeff = 0;
                continue;
            }
            walk_begin(s, e, ring, paf_r, paf_i);
            if (s.rem > 0) return true;
            walk_store(s);  // empty window
        }
        return false;
    };
    int active = 0;
    while (active < WALKS && refill(w[active])) active++;
    while (active == WALKS) {
        std::int32_t n = w[0].run;
        for (int k = 1; k < WALKS; k++)
            if (w[k].run < n) n = w[k].run;
        {
            const t_sample *x0 = w[0].x, *x1 = w[1].x, *x2 = w[2].x, *x3 = w[3].x;
            const paf_type *r0 = w[0].wr, *r1 = w[1].wr, *r2 = w[2].wr, *r3 = w[3].wr;
            const paf_type *i0 = w[0].wi, *i1 = w[1].wi, *i2 = w[2].wi, *i3 = w[3].wi;
            double ar0 = w[0].ar, ar1 = w[1].ar, ar2 = w[2].ar, ar3 = w[3].ar;
            double ai0 = w[0].ai, ai1 = w[1].ai, ai2 = w[2].ai, ai3 = w[3].ai;
            if (x0 == x1 && x1 == x2 && x2 == x3) {
                // Bands due at the same position read the same samples.
                for (std::int32_t t = 0; t < n; t++) {
                    const double v = (double)x0[-t];
                    ar0 += v * (double)r0[-t];
                    ai0 += v * (double)i0[-t];
                    ar1 += v * (double)r1[-t];
                    ai1 += v * (double)i1[-t];
                    ar2 += v * (double)r2[-t];
                    ai2 += v * (double)i2[-t];
                    ar3 += v * (double)r3[-t];
                    ai3 += v * (double)i3[-t];
                }
            } else for (std::int32_t t = 0; t < n; t++) {
                const double v0 = (double)x0[-t], v1 = (double)x1[-t];
                const double v2 = (double)x2[-t], v3 = (double)x3[-t];
                ar0 += v0 * (double)r0[-t];
                ai0 += v0 * (double)i0[-t];
                ar1 += v1 * (double)r1[-t];
                ai1 += v1 * (double)i1[-t];
                ar2 += v2 * (double)r2[-t];
                ai2 += v2 * (double)i2[-t];
                ar3 += v3 * (double)r3[-t];
                ai3 += v3 * (double)i3[-t];
            }
            w[0].ar = ar0, w[1].ar = ar1, w[2].ar = ar2, w[3].ar = ar3;
            w[0].ai = ai0, w[1].ai = ai1, w[2].ai = ai2, w[3].ai = ai3;
        }
        // Downward, so that a walk moved into a freed place has been seen.
        for (int k = WALKS - 1; k >= 0; k--) {
            walk_advance(w[k], n, ring);
            if (w[k].rem > 0) continue;
            walk_store(w[k]);
            if (!refill(w[k])) w[k] = w[--active];
        }
    }
    for (int k = 0; k < active; k++) walk_rest(w[k], ring);
}

void post_alloc_failure(const char *what)
{
    pd_error(nullptr, "qavex_tilde: no memory for the %s; empty blocks until \"initialize\" succeeds", what);
}

}  // namespace

// ---------------------------------------------------------------- layout
void qavex_t_slice_bounds(std::int32_t i, std::int32_t n, std::int32_t *iMin, std::int32_t *iSup)
{
    *iMin = (QAVEX_BLOCK * i) / n;
    *iSup = i == n - 1 ? QAVEX_BLOCK : (QAVEX_BLOCK * (i + 1)) / n;
}

void qavex_t_initialize_slices(sQavex_t *psW)
{
    free_slices(psW);
    const std::int32_t n = psW->num_threads;
    for (std::int32_t i = 0; i < QAVEX_T_MAX_SLICES; i++) {
        auto *s = (sthread_qavex_param *)qavex_t_malloc0(sizeof(sthread_qavex_param));
        if (!s) {
            post_alloc_failure("slice records");
            continue;
        }
        s->iCounter = 0;
        s->itcBin = i;
        s->psW = psW;
        if (i < n) {
            qavex_t_slice_bounds(i, n, &s->iMin, &s->iSup);
        } else {
            s->iMin = s->iSup = 0;
        }
        psW->pawp[i] = s;
    }
}

// Each published list (index below the slice count) holds what its slice
// can receive: its positions times the band count. The others are never
// published and keep a single empty entry.
void qavex_t_initialize_pawc(sQavex_t *psW)
{
    if (psW->pawc) {
        for (int i = 0; i < QAVEX_T_MAX_SLICES; i++) {
            qavex_t_free(psW->pawc[i]);
            psW->pawc[i] = nullptr;
        }
    } else {
        psW->pawc = (sQavex_Coeff **)qavex_t_malloc0(QAVEX_T_MAX_SLICES * sizeof(sQavex_Coeff *));
        if (!psW->pawc) {
            post_alloc_failure("coefficient lists");
            return;
        }
        for (int i = 0; i < QAVEX_T_MAX_SLICES; i++) psW->pawc[i] = nullptr;
    }
    for (std::int32_t i = 0; i < QAVEX_T_MAX_SLICES; i++) {
        std::int64_t cap = 1;
        if (i < psW->num_threads) {
            std::int32_t lo, hi;
            qavex_t_slice_bounds(i, psW->num_threads, &lo, &hi);
            cap = (std::int64_t)(hi - lo) * (psW->q_sup > 0 ? psW->q_sup : 1);
        }
        sQavex_Coeff *list = nullptr;
        if (cap <= INT32_MAX) list = (sQavex_Coeff *)qavex_t_malloc0((std::size_t)cap * sizeof(sQavex_Coeff));
        if (!list) {
            free_lists(psW);
            post_alloc_failure("coefficient lists");
            return;
        }
        list[0].numCoeff = 0;
        psW->pawc[i] = list;
        psW->aiListCapacity[i] = (std::int32_t)cap;
    }
}

void qavex_t_initialize_sound(sQavex_t *psW)
{
    std::int64_t len = psW->sSound.iLength;
    if (psW->iLongestFrame != 0) {
        std::int64_t need = ((std::int64_t)psW->iLongestFrame / QAVEX_BLOCK + 1) * QAVEX_BLOCK;
        if (len < need) len = need;
    }
    free_sound(psW);
    if (len > INT32_MAX - (INT32_MAX % QAVEX_BLOCK)) {
        // Longer than the length field can describe: no ring.
        pd_error(nullptr, "qavex_tilde: sound buffer of %lld samples is too long", (long long)len);
        post_alloc_failure("sound buffer");
        return;
    }
    psW->sSound.iLength = (std::int32_t)len;
    if (len <= 0) {
        post_alloc_failure("sound buffer");
        return;
    }
    auto *a = (t_sample *)qavex_t_malloc0((std::size_t)len * sizeof(t_sample));
    if (!a) {
        post_alloc_failure("sound buffer");
        return;
    }
    std::memset(a, 0, (std::size_t)len * sizeof(t_sample));
    psW->sSound.pA = psW->sSound.pC = a;
    psW->sSound.pE = a + len;
}

// ---------------------------------------------------------------- slices
// The slice is built twice where the compiler can: for processors with
// AVX2 and FMA, chosen at load time, and for the base instruction set. Both
// give the same results (every product of two floats is exact in double,
// so a fused multiply-add rounds exactly as the separate addition does).
#if defined(__x86_64__) && defined(__GNUC__) && defined(__has_attribute)
#if __has_attribute(target_clones) && !defined(QAVEX_NO_CLONES)
#define QAVEX_SLICE_CLONES __attribute__((target_clones("arch=x86-64-v3", "default"), flatten))
#endif
#endif
#ifndef QAVEX_SLICE_CLONES
#define QAVEX_SLICE_CLONES
#endif

static QAVEX_SLICE_CLONES void compute_slice(sthread_qavex_param *psT)
{
    sQavex_t *psW = psT->psW;
    const sQbank_Param *p = psW->psParam;
    sQavex_Coeff *list = psW->pawc[psT->itcBin];
    const std::int32_t jmin = psT->iMin;
    const std::int32_t npos = psT->iSup - psT->iMin;
    const std::int32_t qmin = psW->iq_analyse_min > 0 ? psW->iq_analyse_min : 0;
    const std::int32_t qsup = psW->iq_analyse_sup;
    paf_type *const *paf_r = p->paf_r;
    paf_type *const *paf_i = p->paf_i;
    const std::int32_t *aiDq = p->aiDq;

    // Samples since the counter's origin at the slice's first position,
    // including that sample; band q falls due where this is a multiple of
    // its hop. The counter wraps like an unsigned 32-bit number.
    const std::int64_t base = (std::int64_t)psT->iCounter + jmin + 1;

    // Pass 1: how many coefficients fall due at each position, so that the
    // list can be laid out by increasing position and, within a position,
    // increasing band, while every band is visited once.
    std::int32_t offset[QAVEX_BLOCK + 1] = {};
    for (std::int32_t q = qmin; q < qsup; q++) {
        if (!paf_r[q] || !paf_i[q]) continue;
        const std::int32_t d = aiDq[q];
        if (d < 1) continue;
        std::int64_t r = base % d;
        if (r < 0) r += d;
        for (std::int64_t k = r == 0 ? 0 : d - r; k < npos; k += d) offset[k + 1]++;
    }
    for (std::int32_t k = 0; k < npos; k++) offset[k + 1] += offset[k];
    std::int32_t total = offset[npos];
    const std::int32_t cap = psW->aiListCapacity[psT->itcBin];

    // Pass 2: place the entries. A band due at two or more positions of the
    // slice has its coefficients computed here, side by side over its one
    // window; entries of bands due once are left pending (numCoeff 0) for
    // pass 3. numCoeff 1 marks an entry as done.
    const Ring ring{psW->sSound.pA, psW->sSound.iLength, (std::int32_t)(psW->sSound.pC - psW->sSound.pA)};
    for (std::int32_t q = qmin; q < qsup; q++) {
        if (!paf_r[q] || !paf_i[q]) continue;
        const std::int32_t d = aiDq[q];
        if (d < 1) continue;
        std::int64_t r = base % d;
        if (r < 0) r += d;
        sQavex_Coeff *mine[QAVEX_BLOCK];
        int c = 0;
        for (std::int64_t k = r == 0 ? 0 : d - r; k < npos; k += d) {
            std::int32_t n = offset[k]++;
            if (n >= cap) continue;
            sQavex_Coeff *e = &list[n];
            e->start = jmin + (std::int32_t)k;
            e->band = q;
            e->numCoeff = 0;
            mine[c++] = e;
        }
        if (c < 2) continue;
        const std::int32_t L = window_length(paf_r[q]);
        for (int g = 0; g < c; g += 4) {
            switch (c - g < 4 ? c - g : 4) {
            case 1: band_group<1>(ring, mine + g, paf_r[q], paf_i[q], L); break;
            case 2: band_group<2>(ring, mine + g, paf_r[q], paf_i[q], L); break;
            case 3: band_group<3>(ring, mine + g, paf_r[q], paf_i[q], L); break;
            default: band_group<4>(ring, mine + g, paf_r[q], paf_i[q], L); break;
            }
        }
        for (int g = 0; g < c; g++) mine[g]->numCoeff = 1;
    }
    if (total > cap) total = cap;

    // Pass 3: the pending inner products, four at a time.
    compute_entries(ring, list, total, paf_r, paf_i);
    list[0].numCoeff = total;
    psW->iThreadCount = psW->iThreadCount - 1;
}

void qavex_t_compute_slice(sthread_qavex_param *psT) { compute_slice(psT); }

// ---------------------------------------------------------------- block
t_int *qavex_t_perform(t_int *w)
{
    auto *psW = (sQavex_t *)w[1];
    const t_sample *in = (const t_sample *)w[2];
    const t_sample *inC = (const t_sample *)w[3];
    t_sample *outG = (t_sample *)w[4];
    t_sample *outC = (t_sample *)w[5];
    const int n = (int)w[6];

    if (n != QAVEX_BLOCK) {
        // Reported once at DSP start; readers downstream get empty blocks
        // instead of whatever the vectors held.
        qavex_t_write_empty_vector(outG, n);
        qavex_t_write_empty_vector(outC, n);
        return w + 7;
    }

    // The input first: its vector may be one of the outlets' vectors.
    if (psW->sSound.pA) {
        psW->sSound.pC += QAVEX_BLOCK;
        if (psW->sSound.pC >= psW->sSound.pE) psW->sSound.pC = psW->sSound.pA;
        std::memcpy(psW->sSound.pC, in, QAVEX_BLOCK * sizeof(t_sample));
    }

    const sQavex_ParamIn pin = qavex_t_read_param_block(inC);
    sQbank_Param *p = pin.p;
    bool valid = p != nullptr && pin.tag == QAVC_TAG;
    std::int32_t Lm = 0, S = 0;
    if (valid) {
        Lm = p->iLongestFrame_paf;
        S = p->iq_compute_sup;
        // Besides a zero longest frame or band count and a missing window
        // table, tables the slices read but cannot do without are refused.
        valid = Lm > 0 && S > 0 && p->paf_r && p->paf_i && p->aiDq;
    }
    if (valid) {
        if (S != psW->q_sup) {
            psW->q_sup = S;
            qavex_t_initialize_pawc(psW);
        }
        if (psW->iq_analyse_sup > S) psW->iq_analyse_sup = S;
        if (psW->iLongestFrame < Lm) {
            psW->iLongestFrame = Lm;
            qavex_t_initialize_sound(psW);
        }
        valid = buffers_ready(psW);
    }
    if (!valid) {
        psW->bComputeTypeKnown = 0;
        psW->psParam = nullptr;
        qavex_t_write_empty_block(outG);
        qavex_t_write_empty_block(outC);
        return w + 7;
    }

    psW->psParam = p;
    psW->iComputeTypeSeen = p->iComputeType;
    psW->bComputeTypeKnown = 1;

    if (psW->iComputeCoefficients == 1) {
        const std::int32_t nt = psW->num_threads;
        for (std::int32_t i = 1; i <= nt; i++) {
            sthread_qavex_param *s = psW->pawp[i % nt];
            s->iCounter = psW->sSound.counter;
            psW->iThreadCount = psW->iThreadCount + 1;
            qavex_t_compute_slice(s);
        }
    }
    psW->sSound.counter = (std::int32_t)((std::uint32_t)psW->sSound.counter + QAVEX_BLOCK);

    if (psW->iComputeCoefficients == 1) {
        qavex_t_write_coeff_block(outG, psW->pawc, psW->num_threads);
    } else {
        qavex_t_write_empty_block(outG);
    }
    qavex_t_write_empty_block(outC);
    qavex_t_write_param_block(outC, p);

    while (psW->iThreadCount > 0) std::this_thread::yield();
    return w + 7;
}

void qavex_t_dsp(sQavex_t *psW, t_signal **sp)
{
    if (sp[0]->s_n != QAVEX_BLOCK) pd_error(psW, "Fehler in qavex_t_perform - Blocksize falsch");
    dsp_add(qavex_t_perform, 6, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec,
            (t_int)sp[0]->s_n);
}

// ---------------------------------------------------------------- messages
void qavex_t_bang(sQavex_t *psW)
{
    if (qavex_t_bang_count < INT32_MAX) qavex_t_bang_count++;
    qavex_t_post_bang_remark(qavex_t_bang_count);
    post("\n-----------------Qavex--------------:");
    if (psW->bComputeTypeKnown) post("ComputeType: \t%i", (int)psW->iComputeTypeSeen);
    qavex_t_post_buildtime();
    post("Multithreading: 1 thread");
    post("Var= \t%f", (double)psW->var);
}

static void qavex_t_set_compute_coefficients(sQavex_t *psW, t_floatarg f)
{
    psW->iComputeCoefficients = arg_value(f) != 0.0 ? 1 : 0;
}

static void qavex_t_set_soundbuffer_length_factor(sQavex_t *psW, t_floatarg f)
{
    double d = arg_value(f);
    if (d < 1.0) d = START_RING_BLOCKS;
    if (d > MAX_RING_FACTOR) d = MAX_RING_FACTOR;
    psW->sSound.iLengthTemp = QAVEX_BLOCK * (std::int32_t)d;
}

static void qavex_t_set_q_analyse_min(sQavex_t *psW, t_floatarg f)
{
    double d = arg_value(f);
    std::int32_t v;
    if (d < 0.0) {
        v = 0;
    } else if (d >= (double)psW->iq_analyse_sup) {
        v = psW->iq_analyse_sup - 1;
        if (v < 0) v = 0;
    } else {
        v = (std::int32_t)d;
    }
    psW->iq_analyse_min = v;
}

static void qavex_t_set_q_analyse_sup(sQavex_t *psW, t_floatarg f)
{
    double d = arg_value(f);
    std::int32_t v;
    if (d <= 0.0) {
        v = 0;
    } else if (d <= (double)psW->iq_analyse_min) {
        v = psW->iq_analyse_min < INT32_MAX ? psW->iq_analyse_min + 1 : INT32_MAX;
    } else if (d >= (double)psW->q_sup) {
        v = psW->q_sup;
    } else {
        v = (std::int32_t)d;
    }
    psW->iq_analyse_sup = v;
}

static void qavex_t_set_var(sQavex_t *psW, t_floatarg f) { psW->var = (t_float)arg_value(f); }

static void qavex_t_set_num_threads(sQavex_t *psW, t_floatarg f)
{
    double d = arg_value(f);
    if (d < 1.0) d = 1.0;
    if (d > QAVEX_T_MAX_SLICES) d = QAVEX_T_MAX_SLICES;
    psW->num_threads = (std::int32_t)d;
    qavex_t_initialize_slices(psW);
    // List sizes follow the slice layout.
    qavex_t_initialize_pawc(psW);
}

static void qavex_t_round_up_to_multiple_of_small_primes(sQavex_t *, t_floatarg n, t_floatarg maxprime)
{
    qavex_t_round_message(n, maxprime);
}

void qavex_t_initialize(sQavex_t *psW, t_floatarg)
{
    psW->sSound.iLength = psW->sSound.iLengthTemp;
    qavex_t_initialize_slices(psW);
    qavex_t_initialize_pawc(psW);
    qavex_t_initialize_sound(psW);
    psW->var = 1.0f;
    psW->iq_analyse_min = 0;
    psW->iq_analyse_sup = ANALYSE_SUP_AT_INIT;
    t_float sr = sys_getsr();
    if (sr != 44100.0f) pd_error(psW, "Samplerate=%f falsch.", (double)sr);
}

// ---------------------------------------------------------------- life
static void qavex_t_set_pointers_to_NULL(sQavex_t *psW)
{
    psW->x_inC = nullptr;
    psW->x_outG = psW->x_outC = psW->x_outM = nullptr;
    psW->pawc = nullptr;
    psW->psParam = nullptr;
    psW->sSound.pA = psW->sSound.pC = psW->sSound.pE = nullptr;
    for (auto &s : psW->pawp) s = nullptr;
}

static void qavex_t_set_start_values(sQavex_t *psW)
{
    psW->fConstSignal = 0.5f;
    psW->iq_analyse_min = 0;
    psW->iq_analyse_sup = START_BANDS;
    psW->iLongestFrame = START_LONGEST_FRAME;
    psW->q_sup = START_BANDS;
    psW->var = 1.0f;
    psW->sSound.iLength = psW->sSound.iLengthTemp = START_RING_BLOCKS * QAVEX_BLOCK;
    psW->iComputeCoefficients = 1;
    psW->bComputeTypeKnown = 0;
    psW->iComputeTypeSeen = 0;
}

void *qavex_t_new(t_floatarg)
{
    auto *psW = (sQavex_t *)pd_new(pcQavex_t);
    qavex_t_set_pointers_to_NULL(psW);
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->x_outG = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outC = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outM = outlet_new(&psW->x_obj, &s_anything);
    psW->num_threads = START_SLICES;
    psW->iThreadCount = 0;
    qavex_t_set_start_values(psW);
    qavex_t_initialize(psW, 0);
    psW->sSound.counter = 0;
    return psW;
}

void qavex_t_delete(sQavex_t *psW)
{
    inlet_free(psW->x_inC);
    outlet_free(psW->x_outG);
    outlet_free(psW->x_outC);
    outlet_free(psW->x_outM);
    psW->x_inC = nullptr;
    psW->x_outG = psW->x_outC = psW->x_outM = nullptr;
    free_lists(psW);
    free_sound(psW);
    free_slices(psW);
}

void qavex_t_setup()
{
    pcQavex_t = class_new(gensym("qavex_tilde"), (t_newmethod)(void (*)(void))qavex_t_new, (t_method)qavex_t_delete,
                          sizeof(sQavex_t), CLASS_DEFAULT, A_DEFFLOAT, A_NULL);
    CLASS_MAINSIGNALIN(pcQavex_t, sQavex_t, fConstSignal);
    class_addmethod(pcQavex_t, (t_method)qavex_t_dsp, gensym("dsp"), A_CANT, A_NULL);
    class_addbang(pcQavex_t, (t_method)qavex_t_bang);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_compute_coefficients, gensym("set_compute_coefficients"),
                    A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_soundbuffer_length_factor,
                    gensym("set_soundbuffer_length_factor"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_q_analyse_min, gensym("set_q_analyse_min"), A_DEFFLOAT,
                    A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_q_analyse_sup, gensym("set_q_analyse_sup"), A_DEFFLOAT,
                    A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_initialize, gensym("initialize"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_var, gensym("set_var"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_num_threads, gensym("set_num_threads"), A_DEFFLOAT,
                    A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_round_up_to_multiple_of_small_primes,
                    gensym("round_up_to_multiple_of_small_primes"), A_DEFFLOAT, A_DEFFLOAT, A_NULL);
    post("qavex_t external loaded!");
}
