#include "qavex_t.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "bus_words.h"
#include "conversions.h"
#include "exact_analysis.h"
#include "fast_analysis.h"
#include "fast_switch.h"
#include "m_pd.h"
#include "platform.h"
#include "records.h"
#include "reports.h"
#include "rings.h"
#include "rounding.h"
#include "safety.h"

static t_class *pcQavex_t = nullptr;
std::int32_t qavex_t_bang_count = 0;

constexpr std::int32_t START_BANDS = 2000;
constexpr std::int32_t START_LONGEST_FRAME = 80000;
constexpr std::int32_t START_RING_BLOCKS = 3000;
constexpr std::int32_t START_SLICES = 4;
constexpr std::int32_t ANALYSE_SUP_AT_INIT = 98765;
// Largest factor for "set_soundbuffer_length_factor" whose length in
// samples still fits the 32-bit field.
constexpr std::int32_t MAX_RING_FACTOR = INT32_MAX / QAVEX_BLOCK;

static void free_slices(sQavex_t *psW)
{
    for (auto &s : psW->pawp) {
        qavex_t_free(s);
        s = nullptr;
    }
}

static void free_lists(sQavex_t *psW)
{
    if (!psW->pawc) return;
    for (int i = 0; i < QAVEX_T_MAX_SLICES; i++) qavex_t_free(psW->pawc[i]);
    qavex_t_record_remove(psW->pawc);
    qavex_t_free(psW->pawc);
    psW->pawc = nullptr;
    for (auto &c : psW->aiListCapacity) c = 0;
}

static void free_sound(sQavex_t *psW) { psW->sSound.ring.release(); }

// Every buffer the block routine computes into exists.
static bool buffers_ready(const sQavex_t *psW)
{
    if (!psW->pawc || !psW->sSound.ring.pA) return false;
    for (int i = 0; i < psW->num_threads; i++)
        if (!psW->pawp[i]) return false;
    return true;
}

static void post_alloc_failure(const sQavex_t *psW, const char *what)
{
    pd_error(psW, "qavex_tilde: no memory for the %s; empty blocks until \"initialize\" succeeds", what);
}

// ---------------------------------------------------------------- layout
static void qavex_t_slice_bounds(std::int32_t i, std::int32_t n, std::int32_t *iMin, std::int32_t *iSup)
{
    *iMin = (QAVEX_BLOCK * i) / n;
    *iSup = i == n - 1 ? QAVEX_BLOCK : (QAVEX_BLOCK * (i + 1)) / n;
}

static void qavex_t_initialize_slices(sQavex_t *psW)
{
    free_slices(psW);
    const std::int32_t n = psW->num_threads;
    for (std::int32_t i = 0; i < QAVEX_T_MAX_SLICES; i++) {
        auto *s = (sthread_qavex_param *)qavex_t_malloc0(sizeof(sthread_qavex_param));
        if (!s) {
            post_alloc_failure(psW, "slice records");
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
static void qavex_t_initialize_pawc(sQavex_t *psW)
{
    if (psW->pawc) {
        for (int i = 0; i < QAVEX_T_MAX_SLICES; i++) {
            qavex_t_free(psW->pawc[i]);
            psW->pawc[i] = nullptr;
        }
    } else {
        psW->pawc = (sQavex_Coeff **)qavex_t_malloc0(QAVEX_T_MAX_SLICES * sizeof(sQavex_Coeff *));
        if (!psW->pawc) {
            post_alloc_failure(psW, "coefficient lists");
            return;
        }
        for (int i = 0; i < QAVEX_T_MAX_SLICES; i++) psW->pawc[i] = nullptr;
        qavex_t_record_add(psW->pawc, eQavexRecord::LISTS, QAVEX_T_MAX_SLICES);
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
            post_alloc_failure(psW, "coefficient lists");
            return;
        }
        list[0].numCoeff = 0;
        psW->pawc[i] = list;
        psW->aiListCapacity[i] = (std::int32_t)cap;
    }
}

static void qavex_t_initialize_sound(sQavex_t *psW)
{
    std::int64_t len = psW->sSound.iLength;
    if (psW->iLongestFrame != 0) {
        std::int64_t need = ((std::int64_t)psW->iLongestFrame / QAVEX_BLOCK + 1) * QAVEX_BLOCK;
        if (len < need) len = need;
    }
    free_sound(psW);
    if (len > INT32_MAX - (INT32_MAX % QAVEX_BLOCK)) {
        // Longer than the length field can describe: no ring.
        pd_error(psW, "qavex_tilde: sound buffer of %lld samples is too long", (long long)len);
        post_alloc_failure(psW, "sound buffer");
        return;
    }
    psW->sSound.iLength = (std::int32_t)len;
    if (!psW->sSound.ring.build(psW->sSound.iLength)) {
        post_alloc_failure(psW, "sound buffer");
        return;
    }
    psW->iRingEpoch++;
}

// ---------------------------------------------------------------- slices
// Where the entries of one block go: the slice of every position, the index
// in its slice's list of the next entry at that position, and the entries
// that fall due in every slice.
namespace {
struct sQavexBlockLayout {
    std::int32_t slice_of[QAVEX_BLOCK];
    std::int32_t offset[QAVEX_BLOCK];
    std::int32_t total[QAVEX_T_MAX_SLICES];
};
}  // namespace

// Samples since the counter's origin at position 0, including that sample;
// band q falls due where this plus the position is a multiple of its hop.
// The counter wraps like an unsigned 32-bit number.
static inline std::int64_t qavex_t_due_base(const sQavex_t *psW) { return (std::int64_t)psW->sSound.counter + 1; }

// First block position at which a band of hop d falls due.
static inline std::int32_t qavex_t_first_due(std::int64_t base, std::int32_t d)
{
    std::int64_t r = base % d;
    if (r < 0) r += d;
    return (std::int32_t)(r == 0 ? 0 : d - r);
}

// A band the block computes: both windows present and a hop of at least 1.
static inline bool qavex_t_band_computed(const sQbank_Param *p, std::int32_t q)
{
    return p->paf_r[q] && p->paf_i[q] && p->aiDq[q] >= 1;
}

// How many coefficients fall due at each position; each position's entries
// start where the earlier positions of its slice end.
static void qavex_t_lay_out_block(const sQavex_t *psW, std::int32_t qmin, std::int32_t qsup, sQavexBlockLayout &lay)
{
    const sQbank_Param *p = psW->psParam;
    const std::int64_t base = qavex_t_due_base(psW);
    for (std::int32_t i = 0; i < psW->num_threads; i++)
        for (std::int32_t j = psW->pawp[i]->iMin; j < psW->pawp[i]->iSup; j++) lay.slice_of[j] = i;
    std::fill(lay.offset, lay.offset + QAVEX_BLOCK, 0);
    std::fill(lay.total, lay.total + QAVEX_T_MAX_SLICES, 0);
    for (std::int32_t q = qmin; q < qsup; q++) {
        if (!qavex_t_band_computed(p, q)) continue;
        const std::int32_t d = p->aiDq[q];
        for (std::int32_t j = qavex_t_first_due(base, d); j < QAVEX_BLOCK; j += d) lay.offset[j]++;
    }
    for (std::int32_t j = 0; j < QAVEX_BLOCK; j++) {
        const std::int32_t c = lay.offset[j];
        lay.offset[j] = lay.total[lay.slice_of[j]];
        lay.total[lay.slice_of[j]] += c;
    }
}

// The K coefficients of band q at positions p0, p0 + d, ... to the engine.
static inline void qavex_t_sum_band(sQavex_t *psW, bool fast, const sQavexRing &ring, std::int32_t q, std::int32_t p0,
                                    std::int32_t d, std::int32_t K, sQavex_Coeff *const *e)
{
    if (fast) qavex_fast_band(psW->pFast, psW->psParam, ring, q, p0, d, K, e);
    else qavex_exact_band(psW->pExact, psW->psParam, ring, q, p0, d, K, e);
}

// Places band q's entries of the block in the lists of their slices and
// hands them to the engine, consecutive positions together.
static void qavex_t_place_band(sQavex_t *psW, bool fast, const sQavexRing &ring, std::int32_t q, sQavexBlockLayout &lay)
{
    const std::int32_t d = psW->psParam->aiDq[q];
    sQavex_Coeff *mine[QAVEX_BLOCK];
    std::int32_t c = 0, p0 = -1;
    for (std::int32_t j = qavex_t_first_due(qavex_t_due_base(psW), d); j < QAVEX_BLOCK; j += d) {
        const std::int32_t s = lay.slice_of[j];
        const std::int32_t n = lay.offset[j]++;
        if (n >= psW->aiListCapacity[s]) continue;
        sQavex_Coeff *e = &psW->pawc[s][n];
        e->start = j;
        e->band = q;
        e->numCoeff = 0;
        if (c > 0 && j != p0 + c * d) {
            // A gap (a full list): what is gathered so far goes alone.
            qavex_t_sum_band(psW, fast, ring, q, p0, d, c, mine);
            c = 0;
        }
        if (c == 0) p0 = j;
        mine[c++] = e;
    }
    if (c > 0) qavex_t_sum_band(psW, fast, ring, q, p0, d, c, mine);
}

// Fast mode in this block: an engine built off the audio thread after
// "set_fast 1" is taken over here; while it is being built the block is
// computed exactly.
static bool qavex_t_fast_ready(sQavex_t *psW, const sQbank_Param *p, const sQavexRing &ring)
{
    void *e = nullptr;
    qavex_switch_follow(psW->pSwitch, p);
    const eQavexSwitch st = qavex_switch_poll(psW->pSwitch, p, &e);
    if (st == SWITCH_WAIT) return false;
    if (st == SWITCH_READY) {
        if (psW->pFast && !qavex_switch_discard(psW->pSwitch, psW->pFast)) qavex_fast_free(psW->pFast);
        psW->pFast = (sQavexFast *)e;
        qavex_fast_adopt(psW->pFast, p);
    } else if (void *next = qavex_switch_offered(psW->pSwitch, p)) {
        qavex_fast_follow((sQavexFast *)next, ring, {psW->lRingSerial, psW->iRingEpoch});
    }
    if (!psW->pFast && p == psW->pNoFastAt && p->iGeneration == psW->uNoFastGen) return false;
    const bool ready = qavex_fast_prepare(&psW->pFast, p, ring, {psW->lRingSerial, psW->iRingEpoch});
    if (!psW->pFast && p->iGeneration != 0) {
        psW->pNoFastAt = p;
        psW->uNoFastGen = p->iGeneration;
        pd_error(psW, "qavex_tilde: no memory for the fast mode; computing exactly");
    }
    return ready;
}

// The exact engine for this block's bank; null (the plain loop) when its
// record cannot be had, asked for again once the bank has changed.
static sQavexExact *qavex_t_exact_ready(sQavex_t *psW, const sQbank_Param *p)
{
    if (!psW->pExact && p == psW->pNoExactAt && p->iGeneration == psW->uNoExactGen) return nullptr;
    sQavexExact *c = qavex_exact_prepare(psW->pExact, p);
    if (!c) {
        psW->pNoExactAt = p;
        psW->uNoExactGen = p->iGeneration;
    }
    return c;
}

// The whole block at once: every band's coefficients are placed in the
// lists of their slices (by increasing position, then band), then summed
// by the kernel, which puts several positions of one band side by side.
static void qavex_t_compute_block(sQavex_t *psW)
{
    const sQbank_Param *p = psW->psParam;
    const std::int32_t qmin = psW->iq_analyse_min > 0 ? psW->iq_analyse_min : 0;
    const std::int32_t qsup = psW->iq_analyse_sup;
    sQavexBlockLayout lay;
    qavex_t_lay_out_block(psW, qmin, qsup, lay);

    const sQavexRing ring{psW->sSound.ring.pA, psW->sSound.iLength, (std::int32_t)psW->sSound.ring.offset()};
    const bool fast = psW->iFast && qavex_t_fast_ready(psW, p, ring);
    if (!fast) psW->pExact = qavex_t_exact_ready(psW, p);
    for (std::int32_t q = qmin; q < qsup; q++)
        if (qavex_t_band_computed(p, q)) qavex_t_place_band(psW, fast, ring, q, lay);
    if (!fast) qavex_exact_run(psW->pExact, ring);
    for (std::int32_t i = 0; i < psW->num_threads; i++) {
        const std::int32_t cap = psW->aiListCapacity[i];
        psW->pawc[i][0].numCoeff = lay.total[i] < cap ? lay.total[i] : cap;
    }
}

// ---------------------------------------------------------------- block
// Appends the input block to the ring. Infinite or NaN samples would poison
// every window they pass through: they are analysed as 0.
static void qavex_t_record_input(sQavex_t *psW, const t_sample *in)
{
    if (!psW->sSound.ring.pA) return;
    psW->sSound.ring.advance();
    std::memcpy(psW->sSound.ring.pC, in, QAVEX_BLOCK * sizeof(t_sample));
    qavex_t_warn_episode(&psW->iNonFiniteWarned, qavex_t_clean_samples(psW->sSound.ring.pC, QAVEX_BLOCK),
                         "qavex_tilde: warning: non-finite input samples are analysed as 0");
    psW->lRingSerial++;
}

// The record of the parameter block when this block can be computed from
// it, after lists and ring have followed its band count and longest frame;
// null otherwise.
static sQbank_Param *qavex_t_accept_record(sQavex_t *psW, const sQavex_ParamIn &pin)
{
    sQbank_Param *p = pin.p;
    if (!p || pin.tag != QAVC_TAG) return nullptr;
    const std::int32_t Lm = p->iLongestFrame_paf;
    const std::int32_t S = p->iq_compute_sup;
    // Besides a zero longest frame or band count and a missing window
    // table, tables the slices read but cannot do without are refused.
    if (!(Lm > 0 && S > 0 && p->paf_r && p->paf_i && p->aiDq)) return nullptr;
    if (S != psW->q_sup) {
        psW->q_sup = S;
        qavex_t_initialize_pawc(psW);
    }
    if (psW->iq_analyse_sup > S) psW->iq_analyse_sup = S;
    if (psW->iLongestFrame < Lm) {
        psW->iLongestFrame = Lm;
        qavex_t_initialize_sound(psW);
    }
    return buffers_ready(psW) ? p : nullptr;
}

// Every slice of the block, counted in and out of iThreadCount.
static void qavex_t_run_slices(sQavex_t *psW)
{
    const std::int32_t nt = psW->num_threads;
    for (std::int32_t i = 1; i <= nt; i++) {
        sthread_qavex_param *s = psW->pawp[i % nt];
        s->iCounter = psW->sSound.counter;
        psW->iThreadCount = psW->iThreadCount + 1;
    }
    qavex_t_compute_block(psW);
    psW->iThreadCount = psW->iThreadCount - nt;
}

static t_int *qavex_t_perform(t_int *w)
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
    qavex_t_record_input(psW, in);
    sQbank_Param *p = qavex_t_accept_record(psW, qavex_t_read_param_block(inC));
    psW->psParam = p;
    psW->bComputeTypeKnown = p ? 1 : 0;
    if (!p) {
        qavex_t_write_empty_block(outG);
        qavex_t_write_empty_block(outC);
        return w + 7;
    }
    psW->iComputeTypeSeen = p->iComputeType;

    if (psW->iComputeCoefficients == 1) qavex_t_run_slices(psW);
    psW->sSound.counter = (std::int32_t)((std::uint32_t)psW->sSound.counter + QAVEX_BLOCK);

    if (psW->iComputeCoefficients == 1) {
        qavex_t_write_coeff_block(outG, psW->pawc, psW->num_threads);
    } else {
        qavex_t_write_empty_block(outG);
    }
    qavex_t_write_empty_block(outC);
    qavex_t_write_param_block(outC, p);

    while (psW->iThreadCount > 0) qavex_yield_processor();
    return w + 7;
}

static void qavex_t_dsp(sQavex_t *psW, t_signal **sp)
{
    if (sp[0]->s_n != QAVEX_BLOCK) pd_error(psW, "Fehler in qavex_t_perform - Blocksize falsch");
    dsp_add(qavex_t_perform, 6, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, (t_int)sp[0]->s_n);
}

// ---------------------------------------------------------------- messages
static void qavex_t_bang(sQavex_t *psW)
{
    if (qavex_t_bang_count < INT32_MAX) qavex_t_bang_count++;
    qavex_t_post_bang_remark(qavex_t_bang_count);
    post("\n-----------------Qavex--------------:");
    if (psW->bComputeTypeKnown) post("ComputeType: \t%i", (int)psW->iComputeTypeSeen);
    qavex_t_post_buildtime();
    post("Multithreading: 1 thread");
    post("Var= \t%f", (double)psW->var);
    post("Fast: %i", (int)psW->iFast);
}

static void *qavex_t_fast_build(const sQbank_Param *p) { return qavex_fast_build(p); }
static void qavex_t_fast_destroy(void *e) { qavex_fast_free((sQavexFast *)e); }
static const sQavexEngineKind QAVEX_T_FAST_KIND = {qavex_t_fast_build, qavex_t_fast_destroy};

// "set_fast f": 1 computes with the fast engine, 0 exactly (at once). The
// engine for the bank of the latest block is built on the object's worker
// thread and taken over in the first block after it is complete; without a
// live bank yet it is built in the first block that has one, as on every
// bank change by messages (a "rebuild" prepares it on the worker).
static void qavex_t_set_fast(sQavex_t *psW, t_floatarg f)
{
    psW->iFast = (f < 0 || f > 0) ? 1 : 0;  // NaN counts as 0
    // The exact engine first, while the fast engine still holds the shared
    // copies its build made: the next blocks are computed exactly at once.
    const sQbank_Param *live = psW->psParam;
    if (psW->pFast && live && qavex_t_record_find(live, eQavexRecord::PARAM))
        psW->pExact = qavex_t_exact_ready(psW, live);
    qavex_fast_free(psW->pFast);
    psW->pFast = nullptr;
    psW->pNoFastAt = nullptr;
    qavex_switch_cancel(psW->pSwitch);
    if (!psW->iFast) return;
    // Also for the banks a later "rebuild" offers.
    if (!psW->pSwitch) psW->pSwitch = qavex_switch_new(&QAVEX_T_FAST_KIND);
    const sQbank_Param *p = psW->psParam;
    if (p && qavex_t_record_find(p, eQavexRecord::PARAM)) qavex_switch_begin(psW->pSwitch, p);
}

static void qavex_t_set_compute_coefficients(sQavex_t *psW, t_floatarg f)
{
    psW->iComputeCoefficients = (f < 0 || f > 0) ? 1 : 0;  // NaN counts as 0
}

static void qavex_t_set_soundbuffer_length_factor(sQavex_t *psW, t_floatarg f)
{
    psW->sSound.iLengthTemp = qavex_t_ring_length(f, {START_RING_BLOCKS, MAX_RING_FACTOR, false});
}

static void qavex_t_set_q_analyse_min(sQavex_t *psW, t_floatarg f)
{
    psW->iq_analyse_min = qavex_t_to_int32(f, {.lo = 0, .hi = std::max(psW->iq_analyse_sup - 1, 0)});
}

static void qavex_t_set_q_analyse_sup(sQavex_t *psW, t_floatarg f)
{
    const double d = f;
    std::int32_t v;
    if (!(d > 0.0)) {  // NaN counts as 0
        v = 0;
    } else if (d <= (double)psW->iq_analyse_min) {
        v = psW->iq_analyse_min < INT32_MAX ? psW->iq_analyse_min + 1 : INT32_MAX;
    } else {
        v = qavex_t_to_int32(d, {.hi = psW->q_sup});
    }
    psW->iq_analyse_sup = v;
}

static void qavex_t_set_var(sQavex_t *psW, t_floatarg f) { psW->var = std::isnan(f) ? 0.0f : f; }

static void qavex_t_set_num_threads(sQavex_t *psW, t_floatarg f)
{
    psW->num_threads = qavex_t_to_int32(f, {.if_nan = 1, .lo = 1, .hi = QAVEX_T_MAX_SLICES});
    qavex_t_initialize_slices(psW);
    // List sizes follow the slice layout.
    qavex_t_initialize_pawc(psW);
}

static void qavex_t_round_up_to_multiple_of_small_primes(sQavex_t *psW, t_floatarg n, t_floatarg maxprime)
{
    qavex_t_round_message(n, maxprime, psW);
}

static void qavex_t_initialize(sQavex_t *psW, t_floatarg)
{
    // Ring and lists as this call would build them. Later growth in the
    // block routine stays far below the bound: a designer's band count and
    // longest window are limited by its own bounds.
    std::int64_t ring = psW->sSound.iLengthTemp;
    if (psW->iLongestFrame != 0)
        ring = std::max<std::int64_t>(ring, ((std::int64_t)psW->iLongestFrame / QAVEX_BLOCK + 1) * QAVEX_BLOCK);
    const long double bytes = (long double)ring * sizeof(t_sample) +
                              (long double)QAVEX_BLOCK * std::max(psW->q_sup, 1) * sizeof(sQavex_Coeff);
    if (!qavex_t_fits_bound(psW, "qavex_tilde initialize", bytes, QAVEX_MEMORY_BOUND)) return;
    psW->sSound.iLength = psW->sSound.iLengthTemp;
    qavex_t_initialize_slices(psW);
    qavex_t_initialize_pawc(psW);
    qavex_t_initialize_sound(psW);
    psW->var = 1.0f;
    psW->iq_analyse_min = 0;
    psW->iq_analyse_sup = ANALYSE_SUP_AT_INIT;
    t_float sr = sys_getsr();
    if ((double)sr != QAVEX_SR) pd_error(psW, "Samplerate=%f falsch.", (double)sr);
}

// ---------------------------------------------------------------- life
static void qavex_t_set_pointers_to_NULL(sQavex_t *psW)
{
    psW->x_inC = nullptr;
    psW->x_outG = psW->x_outC = psW->x_outM = nullptr;
    psW->pawc = nullptr;
    psW->psParam = nullptr;
    psW->sSound.ring.pA = psW->sSound.ring.pC = psW->sSound.ring.pE = nullptr;
    for (auto &s : psW->pawp) s = nullptr;
    psW->pExact = nullptr;
    psW->pFast = nullptr;
    psW->pSwitch = nullptr;
    psW->pNoFastAt = psW->pNoExactAt = nullptr;
    psW->uNoFastGen = psW->uNoExactGen = 0;
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

static void *qavex_t_new(t_floatarg)
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

static void qavex_t_delete(sQavex_t *psW)
{
    free_lists(psW);
    free_sound(psW);
    free_slices(psW);
    qavex_exact_free(psW->pExact);
    qavex_switch_free(psW->pSwitch);
    qavex_fast_free(psW->pFast);
    psW->pExact = nullptr;
    psW->pFast = nullptr;
    psW->pSwitch = nullptr;
    inlet_free(psW->x_inC);
    outlet_free(psW->x_outG);
    outlet_free(psW->x_outC);
    outlet_free(psW->x_outM);
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
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_soundbuffer_length_factor, gensym("set_soundbuffer_length_factor"),
                    A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_q_analyse_min, gensym("set_q_analyse_min"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_q_analyse_sup, gensym("set_q_analyse_sup"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_initialize, gensym("initialize"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_var, gensym("set_var"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_num_threads, gensym("set_num_threads"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_set_fast, gensym("set_fast"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQavex_t, (t_method)qavex_t_round_up_to_multiple_of_small_primes,
                    gensym("round_up_to_multiple_of_small_primes"), A_DEFFLOAT, A_DEFFLOAT, A_NULL);
    post("qavex_t external loaded!");
}
