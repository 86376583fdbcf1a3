#include "exact_analysis.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "allocator.h"
#include "bank_snapshot.h"
#include "m_pd.h"
#include "platform.h"
#include "records.h"
#include "window_words.h"

namespace {

constexpr long double COEFF_SCALE = QAVEX_SR;
// Bands with a smaller hop can fall due more than once per block; their
// copies put four positions side by side.
constexpr std::int32_t GROUP_HOP = QAVEX_BLOCK;
constexpr int LANES = 4;
// Jobs summed side by side: enough independent sums to keep the
// multiply-add units busy while each sum waits for its previous step.
constexpr int ACTIVE4 = 4;
constexpr int ACTIVE2 = 8;

typedef double v4d __attribute__((vector_size(32)));
typedef double v2d __attribute__((vector_size(16)));

enum Layout : std::int32_t { NONE = 0, GROUPED = 1, PAIRED = 2 };

// Double copy of one band's window. GROUPED (hop below a block): element i
// holds w_r[i - k d] in doubles 0..3 and w_i[i - k d] in doubles 4..7 for
// lanes k = 0..3 (zero before the window's start), so four positions d
// apart read one vector each. PAIRED: element i holds w_r[i], w_i[i].
struct BandCopy {
    const paf_type *r, *i;
    std::int32_t L, d;
    Layout layout;
    double *w;
};

// Up to four coefficients of one band at positions p0 + k d (GROUPED), or
// one coefficient (PAIRED). Lane k first sums m < k d alone (head), then all
// lanes run together over S = L - (G - 1) d steps (body), then lane k sums
// the rest alone (tail): each lane keeps the order m = 0, 1, ..., L - 1.
struct Job {
    const t_sample *x;  // body: current sample, older ones below
    const double *w;    // body: current window element, earlier ones below
    std::int32_t run;   // samples left before the ring's start
    std::int32_t rem;   // body steps left
    double ar[LANES], ai[LANES];
    sQavex_Coeff *e[LANES];
    const paf_type *wr, *wi;
    std::int32_t G, p0, d, L;
};

// The sums of one job while its body runs, and one body step of them.
// Grouped: one sample broadcast into four lanes times four window elements,
// for the real and the imaginary sums (8 doubles per window element).
// Paired: the real and imaginary sums of one coefficient (2 doubles).
// Sums pass by reference: a 32-byte vector by value would change the calling
// convention between the two builds of the kernel.
struct Grouped {
    static constexpr int STRIDE = 8;
    struct Sums {
        v4d r, i;
    };
    static void load(Sums &s, const Job &j)
    {
        std::memcpy(&s.r, j.ar, sizeof(v4d));
        std::memcpy(&s.i, j.ai, sizeof(v4d));
    }
    static void step(Sums &s, double v, const double *wp)
    {
        const v4d xb = {v, v, v, v};
        v4d wr, wi;
        std::memcpy(&wr, wp, sizeof wr);
        std::memcpy(&wi, wp + 4, sizeof wi);
        s.r += xb * wr;
        s.i += xb * wi;
    }
    static void save(Job &j, const Sums &s)
    {
        std::memcpy(j.ar, &s.r, sizeof(v4d));
        std::memcpy(j.ai, &s.i, sizeof(v4d));
    }
};

struct Paired {
    static constexpr int STRIDE = 2;
    struct Sums {
        v2d a;
    };
    static void load(Sums &s, const Job &j) { s.a = v2d{j.ar[0], j.ai[0]}; }
    static void step(Sums &s, double v, const double *wp)
    {
        v2d wc;
        std::memcpy(&wc, wp, sizeof wc);
        s.a += v2d{v, v} * wc;
    }
    static void save(Job &j, const Sums &s)
    {
        j.ar[0] = s.a[0];
        j.ai[0] = s.a[1];
    }
};

}  // namespace

// The double copies of a bank's windows, derived from its snapshot and
// shared by every analysis reading it (or, for an unstamped record, built
// by one analysis for one block), with the job counts a block can need.
struct ExactCopies {
    std::int32_t S;
    BandCopy *bands;
    double *data;
    std::int64_t n4, n2;
    std::int32_t band_cap;
    std::size_t data_cap;
};

struct sQavexExact {
    const sQbank_Param *p;
    std::uint32_t gen;
    std::int32_t S;
    bool failed;
    sBankSnapshotBand *view;  // the record's bands as last seen (its own windows)
    std::int32_t view_cap;
    const sBankSnapshot *snap;  // stamped record: shared, one reference held
    const ExactCopies *copies;  // shared with snap, or own
    ExactCopies *own;           // unstamped record
    Job *jobs4, *jobs2;
    std::int32_t cap4, cap2, n4, n2;
};

// Sum over m in [m0, m1) for the coefficient at block position pos.
static inline void partial(const sQavexRing &ring, std::int32_t pos, std::int32_t m0, std::int32_t m1,
                           const paf_type *wr, const paf_type *wi, std::int32_t L, double &ar, double &ai)
{
    std::int32_t idx = ring.newest + pos - m0;
    while (idx < 0) idx += ring.length;
    double r = ar, i = ai;
    for (std::int32_t m = m0; m < m1; m++) {
        const double v = (double)ring.samples[idx];
        r += v * (double)wr[L - 1 - m];
        i += v * (double)wi[L - 1 - m];
        if (--idx < 0) idx = ring.length - 1;
    }
    ar = r;
    ai = i;
}

static inline void store(sQavex_Coeff *e, double ar, double ai)
{
    e->val_r = (double)((long double)ar / COEFF_SCALE);
    e->val_i = (double)((long double)(-ai) / COEFF_SCALE);
}

// Starts a job: heads, then the body's pointers. False when the window is
// too short for a body; the job is then finished alone.
static inline bool job_begin(Job &j, const sQavexRing &ring, const double *w, std::int32_t stride)
{
    const std::int32_t S = j.L - (j.G - 1) * j.d;
    for (int k = 0; k < LANES; k++) j.ar[k] = j.ai[k] = 0.0;
    if (S <= 0) {
        for (int k = 0; k < j.G; k++) {
            partial(ring, j.p0 + k * j.d, 0, j.L, j.wr, j.wi, j.L, j.ar[k], j.ai[k]);
            store(j.e[k], j.ar[k], j.ai[k]);
        }
        return false;
    }
    for (int k = 1; k < j.G; k++) partial(ring, j.p0 + k * j.d, 0, k * j.d, j.wr, j.wi, j.L, j.ar[k], j.ai[k]);
    const std::int32_t idx = ring.newest + j.p0;
    j.x = ring.samples + idx;
    j.run = S < idx + 1 ? S : idx + 1;
    j.rem = S;
    j.w = w + (std::size_t)(j.L - 1) * stride;
    return true;
}

static inline void job_end(Job &j, const sQavexRing &ring)
{
    const std::int32_t S = j.L - (j.G - 1) * j.d;
    for (int k = 0; k < j.G; k++) {
        partial(ring, j.p0 + k * j.d, k * j.d + S, j.L, j.wr, j.wi, j.L, j.ar[k], j.ai[k]);
        store(j.e[k], j.ar[k], j.ai[k]);
    }
}

static inline void job_advance(Job &j, std::int32_t n, std::int32_t stride, const sQavexRing &ring)
{
    j.x -= n;
    j.w -= (std::size_t)n * stride;
    j.run -= n;
    j.rem -= n;
    if (j.run == 0 && j.rem > 0) {
        j.x = ring.samples + ring.length - 1;
        j.run = j.rem < ring.length ? j.rem : ring.length;
    }
}

// n body steps of J jobs of one kind side by side.
template <class Kind, int J>
static inline void steps(Job *const *jb, std::int32_t n)
{
    typename Kind::Sums sums[J];
    const t_sample *x[J];
    const double *w[J];
#pragma GCC unroll 8
    for (int j = 0; j < J; j++) {
        Kind::load(sums[j], *jb[j]);
        x[j] = jb[j]->x;
        w[j] = jb[j]->w;
    }
    for (std::int32_t t = 0; t < n; t++) {
#pragma GCC unroll 8
        for (int j = 0; j < J; j++) Kind::step(sums[j], (double)x[j][-t], w[j] - Kind::STRIDE * (std::ptrdiff_t)t);
    }
#pragma GCC unroll 8
    for (int j = 0; j < J; j++) Kind::save(*jb[j], sums[j]);
}

// steps<Kind, active> for 1 <= active <= J; more than J run as J.
template <class Kind, int J>
static inline void steps_of(int active, Job *const *jb, std::int32_t n)
{
    if constexpr (J > 1) {
        if (active < J) return steps_of<Kind, J - 1>(active, jb, n);
    }
    steps<Kind, J>(jb, n);
}

// Runs the jobs, up to MAXJ side by side: each step goes as far as the
// nearest end of a job's body or of the ring's span, then finished jobs
// make room for the next ones.
template <class Kind, int MAXJ>
static inline void run_jobs(Job *jobs, std::int32_t count, const sQavexRing &ring)
{
    Job *act[MAXJ];
    int active = 0;
    std::int32_t next = 0;
    auto refill = [&](Job *&slot) {
        while (next < count) {
            Job *j = &jobs[next++];
            if (job_begin(*j, ring, j->w, Kind::STRIDE)) {
                slot = j;
                return true;
            }
        }
        return false;
    };
    while (active < MAXJ && refill(act[active])) active++;
    while (active > 0) {
        std::int32_t n = act[0]->run < act[0]->rem ? act[0]->run : act[0]->rem;
        for (int k = 1; k < active; k++) {
            const std::int32_t r = act[k]->run < act[k]->rem ? act[k]->run : act[k]->rem;
            if (r < n) n = r;
        }
        steps_of<Kind, MAXJ>(active, act, n);
        // Downward, so that a job moved into a freed place has been seen.
        for (int k = active - 1; k >= 0; k--) {
            job_advance(*act[k], n, Kind::STRIDE, ring);
            if (act[k]->rem > 0) continue;
            job_end(*act[k], ring);
            if (!refill(act[k])) act[k] = act[--active];
        }
    }
}

static void free_copies(void *v)
{
    ExactCopies *x = (ExactCopies *)v;
    if (!x) return;
    qavex_t_free(x->bands);
    qavex_t_free(x->data);
    qavex_t_free(x);
}

static void release(sQavexExact *c)
{
    bank_snapshot_release(c->snap);
    free_copies(c->own);
    qavex_t_free(c->jobs4);
    qavex_t_free(c->jobs2);
    c->snap = nullptr;
    c->copies = c->own = nullptr;
    c->jobs4 = c->jobs2 = nullptr;
    c->cap4 = c->cap2 = 0;
}

// Copies the window of band b to at in its layout (see BandCopy); returns
// the end of the copy.
static double *copy_window(BandCopy &b, double *at)
{
    b.w = at;
    if (b.d < GROUP_HOP) {
        b.layout = GROUPED;
        for (std::int32_t i = 0; i < b.L; i++) {
            for (std::int32_t k = 0; k < LANES; k++) {
                const std::int64_t s = (std::int64_t)i - (std::int64_t)k * b.d;
                at[8 * (std::size_t)i + k] = s >= 0 ? (double)b.r[s] : 0.0;
                at[8 * (std::size_t)i + 4 + k] = s >= 0 ? (double)b.i[s] : 0.0;
            }
        }
        return at + (std::size_t)b.L * 8;
    }
    b.layout = PAIRED;
    for (std::int32_t i = 0; i < b.L; i++) {
        at[2 * (std::size_t)i] = (double)b.r[i];
        at[2 * (std::size_t)i + 1] = (double)b.i[i];
    }
    return at + (std::size_t)b.L * 2;
}

// Copies the windows of bands[0..S-1] into *px, reusing its room when it
// is large enough; false (and *px null) when memory is short.
static bool fill_copies(ExactCopies **px, const sBankSnapshotBand *bands, std::int32_t S)
{
    std::size_t doubles = 0;
    std::int64_t n4 = 0, n2 = 0;
    for (std::int32_t q = 0; q < S; q++) {
        const sBankSnapshotBand &w = bands[q];
        if (!w.r || !w.i || w.d < 1 || w.Lr < 1) continue;
        if (w.d < GROUP_HOP) {
            doubles += (std::size_t)w.Lr * 8;
            n4 += ((QAVEX_BLOCK + w.d - 1) / w.d + LANES - 1) / LANES;
        } else {
            doubles += (std::size_t)w.Lr * 2;
            n2 += 1;
        }
    }
    ExactCopies *x = *px;
    if (!x || S > x->band_cap || doubles > x->data_cap) {
        free_copies(x);
        *px = x = (ExactCopies *)qavex_t_malloc0(sizeof(ExactCopies));
        if (!x) return false;
        x->bands = (BandCopy *)qavex_t_malloc0((std::size_t)(S > 0 ? S : 1) * sizeof(BandCopy));
        x->data = (double *)qavex_t_malloc0((doubles > 0 ? doubles : 1) * sizeof(double));
        x->band_cap = S;
        x->data_cap = doubles;
        if (!x->bands || !x->data) {
            free_copies(x);
            *px = nullptr;
            return false;
        }
    }
    x->S = S;
    x->n4 = n4;
    x->n2 = n2;
    double *at = x->data;
    for (std::int32_t q = 0; q < S; q++) {
        BandCopy &b = x->bands[q];
        b.r = bands[q].r;
        b.i = bands[q].i;
        b.d = bands[q].d;
        b.L = bands[q].Lr;
        b.layout = NONE;
        b.w = nullptr;
        if (!b.r || !b.i || b.d < 1 || b.L < 1) continue;
        at = copy_window(b, at);
    }
    return true;
}

static void *build_shared(const sBankSnapshot *s)
{
    ExactCopies *x = nullptr;
    return fill_copies(&x, s->bands, s->S) ? x : nullptr;
}

// The record's bands as the kernel reads them, into c->view.
static bool see(sQavexExact *c, const sQbank_Param *p)
{
    const std::int32_t S = p->iq_compute_sup;
    if (S > c->view_cap) {
        qavex_t_free(c->view);
        c->view = (sBankSnapshotBand *)qavex_t_malloc0((std::size_t)S * sizeof(sBankSnapshotBand));
        c->view_cap = c->view ? S : 0;
        if (!c->view) return false;
    }
    for (std::int32_t q = 0; q < S; q++) {
        sBankSnapshotBand &b = c->view[q];
        b.r = p->paf_r[q];
        b.i = p->paf_i[q];
        b.d = p->aiDq[q];
        b.Lr = b.r ? qavex_t_window_length(b.r) : 0;
        b.Li = 0;
    }
    return true;
}

// Copies (shared for a stamped record, own room reused for an unstamped
// one) and job room; false when memory is short.
static bool build(sQavexExact *c, const sQbank_Param *p)
{
    const sBankSnapshot *old = c->snap;
    c->snap = nullptr;
    c->copies = nullptr;
    bool ok = see(c, p);
    if (ok && p->iGeneration != 0) {
        // The new snapshot first: a record stamped anew with the same
        // windows finds the old one by its contents.
        c->snap = bank_snapshot_acquire(p);
        c->copies = c->snap ? (const ExactCopies *)bank_snapshot_derived(c->snap, eBankDerived::EXACT_ANALYSIS,
                                                                         build_shared, free_copies)
                            : nullptr;
        free_copies(c->own);
        c->own = nullptr;
    } else if (ok) {
        c->copies = fill_copies(&c->own, c->view, p->iq_compute_sup) ? c->own : nullptr;
    }
    bank_snapshot_release(old);
    if (!c->copies) return false;
    const std::int64_t n4 = c->copies->n4, n2 = c->copies->n2;
    if (n4 > c->cap4 || n2 > c->cap2 || !c->jobs4 || !c->jobs2) {
        qavex_t_free(c->jobs4);
        qavex_t_free(c->jobs2);
        c->jobs4 = (Job *)qavex_t_malloc0((std::size_t)(n4 > 0 ? n4 : 1) * sizeof(Job));
        c->jobs2 = (Job *)qavex_t_malloc0((std::size_t)(n2 > 0 ? n2 : 1) * sizeof(Job));
        c->cap4 = c->jobs4 ? (std::int32_t)n4 : 0;
        c->cap2 = c->jobs2 ? (std::int32_t)n2 : 0;
        if (!c->jobs4 || !c->jobs2) return false;
    }
    return true;
}

static bool still_valid(const sQavexExact *c, const sQbank_Param *p)
{
    if (c->failed || c->p != p || c->gen != p->iGeneration || p->iGeneration == 0 || c->S != p->iq_compute_sup)
        return false;
    for (std::int32_t q = 0; q < c->S; q++) {
        const sBankSnapshotBand &b = c->view[q];
        if (b.r != p->paf_r[q] || b.i != p->paf_i[q] || b.d != p->aiDq[q]) return false;
        if (b.r && b.Lr != qavex_t_window_length(b.r)) return false;
    }
    return true;
}

sQavexExact *qavex_exact_prepare(sQavexExact *c, const sQbank_Param *p)
{
    if (!c) {
        c = (sQavexExact *)qavex_t_malloc0(sizeof(sQavexExact));
        if (!c) return nullptr;
        std::memset((void *)c, 0, sizeof *c);
    }
    c->n4 = c->n2 = 0;
    if (still_valid(c, p)) return c;
    // A failed build is tried again only for another bank.
    if (c->failed && c->p == p && c->gen == p->iGeneration && c->S == p->iq_compute_sup) return c;
    const bool was_failed = c->failed;
    c->p = p;
    c->gen = p->iGeneration;
    c->S = p->iq_compute_sup;
    c->failed = !build(c, p);
    if (c->failed && !was_failed)
        pd_error(nullptr, "qavex_tilde: no memory for the window copies; summing from the float windows");
    return c;
}

void qavex_exact_share(const sBankSnapshot *s)
{
    if (s) bank_snapshot_derived(s, eBankDerived::EXACT_ANALYSIS, build_shared, free_copies);
}

void qavex_exact_free(sQavexExact *c)
{
    if (!c) return;
    release(c);
    qavex_t_free(c->view);
    qavex_t_free(c);
}

void qavex_exact_single(const sQavexRing &ring, const paf_type *wr, const paf_type *wi, std::int32_t L, sQavex_Coeff *e)
{
    double ar = 0.0, ai = 0.0;
    partial(ring, e->start, 0, L, wr, wi, L, ar, ai);
    store(e, ar, ai);
}

// One job: G coefficients of band b at positions p0, p0 + d, ...
static inline void queue_job(Job &j, const BandCopy &b, std::int32_t G, sQavex_Coeff *const *e, std::int32_t p0,
                             std::int32_t d)
{
    j.G = G;
    for (int g = 0; g < G; g++) j.e[g] = e[g];
    j.p0 = p0;
    j.d = d;
    j.L = b.L;
    j.wr = b.r;
    j.wi = b.i;
    j.w = b.w;
}

void qavex_exact_band(sQavexExact *c, const sQbank_Param *p, const sQavexRing &ring, std::int32_t q, std::int32_t p0,
                      std::int32_t d, std::int32_t K, sQavex_Coeff *const *e)
{
    const BandCopy *b = (c && !c->failed) ? &c->copies->bands[q] : nullptr;
    const std::int32_t L = qavex_t_window_length(p->paf_r[q]);
    std::int32_t k = 0;
    if (b && b->layout == GROUPED) {
        for (; k < K && c->n4 < c->cap4; k += LANES)
            queue_job(c->jobs4[c->n4++], *b, K - k < LANES ? K - k : LANES, e + k, p0 + k * d, d);
    } else if (b && b->layout == PAIRED) {
        for (; k < K && c->n2 < c->cap2; k++) queue_job(c->jobs2[c->n2++], *b, 1, e + k, p0 + k * d, d);
    }
    // Without a copy: the plain loop.
    for (; k < K; k++) qavex_exact_single(ring, p->paf_r[q], p->paf_i[q], L, e[k]);
}

// Built for processors with AVX2 and FMA and for the base instruction set,
// one chosen at load time; both give the same results (every product of two
// floats is exact in double, so a fused multiply-add rounds exactly as the
// separate addition does).
static void run_all(Job *jobs4, std::int32_t n4, Job *jobs2, std::int32_t n2, const sQavexRing &ring)
{
    run_jobs<Grouped, ACTIVE4>(jobs4, n4, ring);
    run_jobs<Paired, ACTIVE2>(jobs2, n2, ring);
}

#if QAVEX_TWO_BUILDS
static QAVEX_AVX2_BUILD void run_all_avx2(Job *jobs4, std::int32_t n4, Job *jobs2, std::int32_t n2,
                                          const sQavexRing &ring)
{
    run_all(jobs4, n4, jobs2, n2, ring);
}
#endif

static QAVEX_BASE_BUILD void run_all_base(Job *jobs4, std::int32_t n4, Job *jobs2, std::int32_t n2,
                                          const sQavexRing &ring)
{
    run_all(jobs4, n4, jobs2, n2, ring);
}

static void (*const run_all_built)(Job *, std::int32_t, Job *, std::int32_t,
                                   const sQavexRing &) = QAVEX_PICK_BUILD(run_all_avx2, run_all_base);

void qavex_exact_run(sQavexExact *c, const sQavexRing &ring)
{
    if (!c || c->failed) return;
    run_all_built(c->jobs4, c->n4, c->jobs2, c->n2, ring);
    c->n4 = c->n2 = 0;
}
