#include "invqavex_t.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "bus_words.h"
#include "conversions.h"
#include "fast_switch.h"
#include "fast_synthesis.h"
#include "m_pd.h"
#include "platform.h"
#include "records.h"
#include "rings.h"
#include "safety.h"
#include "window_words.h"

// Ring length at creation, and the factor used for "set_soundbuffer_length_factor"
// arguments of 1 or less.
constexpr std::int32_t INVQAVEX_START_LENGTH = 320000;
constexpr float INVQAVEX_DEFAULT_FACTOR = 5000.0f;

static t_class *pcinvQavex_t = nullptr;

// ---------------------------------------------------------------- rings

// The first output ring as the fast engine sees it.
static sQavexSynthRing invqavex_t_ring_view(const sinvQavex_t *psW)
{
    const sQavex_Ring<double> &r = psW->sSound.aRing[0];
    return {r.pA, psW->sSound.iLength, r.offset(), psW->iReady != 0};
}

static void invqavex_t_release_rings(sinvQavex_t *psW)
{
    for (int k = 0; k < INVQAVEX_MAX_SLICES; k++) {
        psW->sSound.aRing[k].release();
        qavex_t_free(psW->painvwp[k]);
        psW->painvwp[k] = nullptr;
    }
    psW->iReady = 0;
    fast_synthesis_rings_rebuilt(psW->psFast);
    // The silent rings drop what the replaced engine still owed.
    fast_synthesis_free(psW->psDraining);
    psW->psDraining = nullptr;
}

// Rebuilds rings and slice records for num_threads slices of iLength
// elements, all silent. Returns false (and leaves nothing allocated) on a
// failed allocation.
static bool invqavex_t_initialize_rings(sinvQavex_t *psW)
{
    invqavex_t_release_rings(psW);
    const std::int32_t T = psW->num_threads;
    const std::int32_t R = psW->sSound.iLength;
    if (T < 1 || T > INVQAVEX_MAX_SLICES || R < QAVEX_BLOCK) return false;
    for (int k = 0; k < T; k++) {
        if (!psW->sSound.aRing[k].build(R)) {
            invqavex_t_release_rings(psW);
            return false;
        }
    }
    for (int k = 0; k < T; k++) {
        auto *p = (sthread_invqavex_param *)qavex_t_malloc0(sizeof(sthread_invqavex_param));
        if (!p) {
            invqavex_t_release_rings(psW);
            return false;
        }
        *p = sthread_invqavex_param{};
        p->sA = p->sC = psW->sSound.aRing[k].pA;
        p->sE = psW->sSound.aRing[k].pE;
        p->psW = psW;
        p->piNonFiniteSeen = &psW->iNonFiniteSeen;
        p->piThreadCount = &psW->iThreadCount;
        psW->painvwp[k] = p;
    }
    psW->iReady = 1;
    return true;
}

std::int64_t invqavex_t_grown_length(std::int32_t Lm)
{
    const std::int64_t need = ((std::int64_t)Lm + 2 * QAVEX_BLOCK - 1) / QAVEX_BLOCK * QAVEX_BLOCK;
    std::int64_t len = 4 * (std::int64_t)Lm / QAVEX_BLOCK * QAVEX_BLOCK;
    len = std::min<std::int64_t>(len, (std::int64_t)INVQAVEX_MAX_FACTOR * QAVEX_BLOCK);
    len = std::max(len, need);
    return len > INT32_MAX ? -1 : len;
}

// Bytes of rings and slice records for T slices of R elements each.
static long double invqavex_t_ring_bytes(std::int32_t T, long double R)
{
    return (long double)T * (R * sizeof(double) + sizeof(sthread_invqavex_param));
}

// A grown ring length cut to what fits QAVEX_MEMORY_BOUND, but never below
// Lm + 64 rounded up to blocks; 0 (with an error) when even that does not fit.
static std::int64_t invqavex_t_bounded_length(sinvQavex_t *psW, std::int32_t Lm, std::int64_t len)
{
    const std::int32_t T = psW->num_threads;
    if (len <= 0 || invqavex_t_ring_bytes(T, len) <= QAVEX_MEMORY_BOUND) return len;
    const std::int64_t need = ((std::int64_t)Lm + 2 * QAVEX_BLOCK - 1) / QAVEX_BLOCK * QAVEX_BLOCK;
    const std::int64_t cap =
        (std::int64_t)((QAVEX_MEMORY_BOUND / T - sizeof(sthread_invqavex_param)) / sizeof(double)) / QAVEX_BLOCK *
        QAVEX_BLOCK;
    if (cap >= need) return cap;
    qavex_t_fits_bound(psW, "invqavex_tilde rings for the longest frame", invqavex_t_ring_bytes(T, need),
                       QAVEX_MEMORY_BOUND);
    return 0;
}

// ---------------------------------------------------------------- slices

// y += Re(c * w) over n elements, each sum formed in extended precision and
// stored as a double. The three forms give the results of the full
// expression for their case without its dead terms.
static void invqavex_t_add_real(double *y, const paf_type *wr, std::int64_t n, long double vr)
{
    for (std::int64_t m = 0; m < n; m++) y[m] = (double)((long double)y[m] + vr * (long double)wr[m]);
}

static void invqavex_t_add_imag(double *y, const paf_type *wi, std::int64_t n, long double vi)
{
    for (std::int64_t m = 0; m < n; m++) y[m] = (double)((long double)y[m] - vi * (long double)wi[m]);
}

static void invqavex_t_add_complex(double *y, const paf_type *wr, const paf_type *wi, std::int64_t n, long double vr,
                                   long double vi)
{
    for (std::int64_t m = 0; m < n; m++)
        y[m] = (double)(((long double)y[m] + vr * (long double)wr[m]) - vi * (long double)wi[m]);
}

static inline void invqavex_t_add(double *y, const paf_type *wr, const paf_type *wi, std::int64_t n, double vr,
                                  double vi)
{
    if (vi == 0.0) invqavex_t_add_real(y, wr, n, vr);
    else if (vr == 0.0) invqavex_t_add_imag(y, wi, n, vi);
    else invqavex_t_add_complex(y, wr, wi, n, vr, vi);
}

// Overlap-adds the coefficients of the slice's bands into its ring.
static void invqavex_t_thread(sthread_invqavex_param *psP)
{
    const std::int64_t R = psP->sE - psP->sA;
    const std::int64_t c = psP->sC - psP->sA;
    const std::int32_t Lm = psP->Lm;
    auto usable = [psP](std::int32_t q) { return psP->paf_r[q] != nullptr; };
    invqavex_t_each_coeff(psP, psP->qMin, psP->qSup, usable, [&](const sQavex_Coeff &co, double vr, double vi) {
        // A window longer than Lm or a start outside the block would reach
        // before the block being output or past the ring.
        const paf_type *wr = psP->paf_r[co.band];
        const std::int32_t L = qavex_t_window_length(wr);
        if (L < 1 || L > Lm || co.start < 0 || co.start >= QAVEX_BLOCK) return;
        const paf_type *wi = psP->paf_i[co.band];
        if (vi != 0.0 && (!wi || qavex_t_window_length(wi) < L)) return;

        const std::int64_t p0 = qavex_t_ring_wrap(c + Lm + co.start - L, R);
        const std::int64_t n1 = std::min<std::int64_t>(L, R - p0);
        invqavex_t_add(psP->sA + p0, wr, wi, n1, vr, vi);
        if (n1 < L) invqavex_t_add(psP->sA, wr + n1, wi ? wi + n1 : nullptr, L - n1, vr, vi);
    });
    *psP->piThreadCount = *psP->piThreadCount - 1;
}

// ---------------------------------------------------------------- block

// Rings long enough for longest frame Lm: the latest element of a block's
// windows lands Lm + 62 elements after the block being output, so a ring
// shorter than Lm + 64 would fold it back into that block. After a failed
// rebuild, waits for a different longest frame before trying again. True
// when the rings can take this block.
static bool invqavex_t_fit_rings(sinvQavex_t *psW, std::int32_t Lm)
{
    const bool short_ring = (std::int64_t)psW->sSound.iLength < (std::int64_t)Lm + QAVEX_BLOCK;
    if (short_ring && Lm != psW->iFailedLm) {
        const std::int64_t len = invqavex_t_bounded_length(psW, Lm, invqavex_t_grown_length(Lm));
        post("inv_qavex: Neues laengstes Frame");
        bool ok = false;
        if (len > 0) {
            psW->sSound.iLength = (std::int32_t)len;
            ok = invqavex_t_initialize_rings(psW);
        } else {
            invqavex_t_release_rings(psW);
            if (len < 0) pd_error(psW, "inv_qavex: longest frame %i too long", (int)Lm);
        }
        psW->iFailedLm = ok ? -1 : Lm;
    } else if (!psW->iReady && Lm != psW->iFailedLm) {
        psW->iFailedLm = invqavex_t_initialize_rings(psW) ? -1 : Lm;
    }
    return psW->iReady && (std::int64_t)psW->sSound.iLength >= (std::int64_t)Lm + QAVEX_BLOCK;
}

// Every slice with its share of the bands, the block's record and lists.
static void invqavex_t_run_slices(sinvQavex_t *psW, const sQbank_Param *P, const sQavex_CoeffIn &ci, std::int32_t Lm,
                                  std::int32_t S, bool fast)
{
    qavex_fast_synthesis *const f = psW->psFast;
    auto slice = [fast, f](sthread_invqavex_param *s) { fast ? fast_synthesis_thread(f, s) : invqavex_t_thread(s); };
    const std::int32_t T = psW->num_threads;
    for (std::int32_t i = 0; i < T; i++) {
        sthread_invqavex_param *s = psW->painvwp[i];
        s->sC = psW->sSound.aRing[i].pC;
        s->Lm = Lm;
        s->paf_r = P->paf_r;
        s->paf_i = P->paf_i;
        s->patc = ci.lists;
        s->qMin = (std::int32_t)((std::int64_t)i * S / T);
        s->qSup = (std::int32_t)((std::int64_t)(i + 1) * S / T);
        s->num_blocks = ci.n;
    }
    for (std::int32_t i = 1; i < T; i++) {
        psW->iThreadCount = psW->iThreadCount + 1;
        slice(psW->painvwp[i]);
    }
    psW->iThreadCount = psW->iThreadCount + 1;
    slice(psW->painvwp[0]);
    while (psW->iThreadCount > 0) qavex_yield_processor();
}

// The block being output is the sum of the slices' rings there; it is then
// cleared and every ring moves on by one block.
static void invqavex_t_emit(sinvQavex_t *psW, t_sample *out)
{
    const std::int32_t T = psW->num_threads;
    for (int j = 0; j < QAVEX_BLOCK; j++) {
        double sum = psW->sSound.aRing[0].pC[j];
        for (std::int32_t k = 1; k < T; k++) sum += psW->sSound.aRing[k].pC[j];
        out[j] = (t_sample)sum;
    }
    for (std::int32_t k = 0; k < T; k++) {
        sQavex_Ring<double> &r = psW->sSound.aRing[k];
        std::fill(r.pC, r.pC + QAVEX_BLOCK, 0.0);
        r.advance();
    }
}

static bool invqavex_t_fast_ready(sinvQavex_t *psW, const sQbank_Param *P);

// The replaced engine's share of this block; freed off the audio thread
// once it owes nothing more.
static void invqavex_t_drain(sinvQavex_t *psW)
{
    qavex_fast_synthesis *d = psW->psDraining;
    if (!d || fast_synthesis_drain(d, invqavex_t_ring_view(psW))) return;
    if (!qavex_switch_discard(psW->psSwitch, d)) fast_synthesis_free(d);
    psW->psDraining = nullptr;
}

// Everything the replaced engine still owes, into the ring at once.
static void invqavex_t_stop_draining(sinvQavex_t *psW)
{
    qavex_fast_synthesis *d = psW->psDraining;
    if (!d) return;
    fast_synthesis_flush(d, invqavex_t_ring_view(psW));
    if (!qavex_switch_discard(psW->psSwitch, d)) fast_synthesis_free(d);
    psW->psDraining = nullptr;
}

static t_int *invqavex_t_perform(t_int *w)
{
    auto *psW = (sinvQavex_t *)w[1];
    const t_sample *inG = (const t_sample *)w[2];
    const t_sample *inC = (const t_sample *)w[3];
    t_sample *out = (t_sample *)w[4];
    if ((int)w[5] != QAVEX_BLOCK) {
        qavex_t_write_empty_vector(out, (int)w[5]);
        return w + 6;
    }
    // Every input word is taken before the outlet is written: the host may
    // hand the coefficient inlet's vector to the outlet.
    const sQavex_CoeffIn ci = qavex_t_read_coeff_block(inG);
    const sQavex_ParamIn pi = qavex_t_read_param_block(inC);
    const sQbank_Param *P = pi.p;
    bool valid = psW->iComputeSynthesis && ci.lists && P && pi.tag == QAVC_TAG && ci.tag == QAVG_TAG;
    const std::int32_t Lm = valid ? P->iLongestFrame_paf : 0;
    const std::int32_t S = valid ? P->iq_compute_sup : 0;
    valid = valid && Lm > 0 && S > 0 && P->paf_r && P->paf_i && invqavex_t_fit_rings(psW, Lm);
    if (!valid) {
        qavex_t_write_empty_block(out);
        return w + 6;
    }

    psW->psLastParam = P;
    const bool fast = psW->iFast && invqavex_t_fast_ready(psW, P) &&
                      fast_synthesis_prepare(psW->psFast, P, Lm, S, invqavex_t_ring_view(psW), psW);
    invqavex_t_run_slices(psW, P, ci, Lm, S, fast);
    if (fast) fast_synthesis_finish(psW->psFast);
    invqavex_t_drain(psW);
    qavex_t_warn_episode(&psW->iNonFiniteWarned, psW->iNonFiniteSeen,
                         "invqavex_tilde: warning: coefficients with non-finite values are skipped");
    psW->iNonFiniteSeen = 0;
    invqavex_t_emit(psW, out);
    outlet_float(psW->x_outM, (t_float)(Lm - 1));
    return w + 6;
}

static void invqavex_t_dsp(sinvQavex_t *psW, t_signal **sp)
{
    if (sp[0]->s_n != QAVEX_BLOCK)
        pd_error(psW, "invqavex_tilde: block size %i not supported (needs 64), output is silent", (int)sp[0]->s_n);
    dsp_add(invqavex_t_perform, 5, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, (t_int)sp[0]->s_n);
}

// ---------------------------------------------------------------- messages

static void invqavex_t_bang(sinvQavex_t *psW)
{
    post("---------------------\ninvQavex:");
    post("fConstSignal: %f", psW->fConstSignal);
    post("iLength: %i", (int)psW->sSound.iLength);
    post("fMinValforCount: %f", psW->fMinValforCount);
    if (psW->num_threads == 1) post("Multithreading: 1 thread");
    else post("Multithreading: \t%i threads", (int)psW->num_threads);
    post("Compute Synthesis: %i", (int)psW->iComputeSynthesis);
    post("Fast: %i", (int)psW->iFast);
}

static void invqavex_t_set_soundbuffer_length_factor(sinvQavex_t *psW, t_floatarg f)
{
    bool limited = false;
    const std::int32_t len =
        qavex_t_ring_length(f, {(std::int32_t)INVQAVEX_DEFAULT_FACTOR, INVQAVEX_MAX_FACTOR, true}, &limited);
    if (limited)
        pd_error(psW, "invqavex_tilde: soundbuffer length factor %g too large, using %i", f, (int)INVQAVEX_MAX_FACTOR);
    if (!qavex_t_fits_bound(psW, "invqavex_tilde set_soundbuffer_length_factor",
                            invqavex_t_ring_bytes(psW->num_threads, (long double)len), QAVEX_MEMORY_BOUND))
        return;
    psW->sSound.iLength = len;
    invqavex_t_initialize_rings(psW);
    psW->iFailedLm = -1;
}

static void invqavex_t_set_num_threads(sinvQavex_t *psW, t_floatarg f)
{
    const std::int32_t t = qavex_t_to_int32(f, {.if_nan = 1, .lo = 1, .hi = INVQAVEX_MAX_SLICES});
    if (!qavex_t_fits_bound(psW, "invqavex_tilde set_num_threads", invqavex_t_ring_bytes(t, psW->sSound.iLength),
                            QAVEX_MEMORY_BOUND))
        return;
    psW->num_threads = t;
    invqavex_t_initialize_rings(psW);
    psW->iFailedLm = -1;
}

static void invqavex_t_set_compute_synthesis(sinvQavex_t *psW, t_floatarg f)
{
    psW->iComputeSynthesis = f != 0.0f ? 1 : 0;
}

// ---------------------------------------------------------------- live switch
// With the audio running, "set_fast 1" builds the engine on the object's
// worker from a copy of the bank of the latest block (src/fast_switch.h); a
// bank that "rebuild" offers is prepared there too. The block routine takes
// the engine over once it is complete and runs exactly until then.
static void *invqavex_t_fast_build(const sQbank_Param *P) { return fast_synthesis_build(P); }
static void invqavex_t_fast_destroy(void *e) { fast_synthesis_free((qavex_fast_synthesis *)e); }
static const sQavexEngineKind INVQAVEX_T_FAST_KIND = {invqavex_t_fast_build, invqavex_t_fast_destroy};

// The fast synthesis's record could not be had at bank P (null: none
// known yet); one error, and no new attempt before the bank changes.
static void invqavex_t_no_fast(sinvQavex_t *psW, const sQbank_Param *P)
{
    psW->psNoFastAt = P;
    psW->uNoFastGen = P ? P->iGeneration : 0;
    pd_error(psW, "invqavex_tilde: no memory for the fast synthesis; using the exact synthesis");
}

// False while the engine for this block's bank is being built.
static bool invqavex_t_fast_ready(sinvQavex_t *psW, const sQbank_Param *P)
{
    void *e = nullptr;
    qavex_switch_follow(psW->psSwitch, P);
    const eQavexSwitch st = qavex_switch_poll(psW->psSwitch, P, &e);
    if (st == SWITCH_WAIT) return false;
    if (st == SWITCH_READY) {
        // What the old bank still owes goes to the ring over the next
        // blocks, each partition in the block it is due in (an engine let
        // go before, when fast mode was switched off, drains on).
        if (psW->psFast) {
            invqavex_t_stop_draining(psW);
            psW->psDraining = psW->psFast;
        }
        psW->psFast = (qavex_fast_synthesis *)e;
        fast_synthesis_adopt(psW->psFast, P);
    }
    if (!psW->psFast && (P != psW->psNoFastAt || P->iGeneration != psW->uNoFastGen)) {
        psW->psFast = fast_synthesis_new();
        if (!psW->psFast) invqavex_t_no_fast(psW, P);
    }
    return true;
}

static bool invqavex_t_fast_switch(sinvQavex_t *psW)
{
    const sQbank_Param *P = psW->psLastParam;
    if (!P || !qavex_t_record_find(P, eQavexRecord::PARAM)) return false;
    if (P->iLongestFrame_paf < 1 || P->iq_compute_sup < 1) return false;
    return qavex_switch_begin(psW->psSwitch, P);
}

// "set_fast": 1 runs the fast synthesis. With the audio running its engine
// is built off the audio thread (above); otherwise it is made here and its
// bands in the next block, where the bank is known. 0 switches to the exact
// mode at once; the fast engine goes on adding what its FFT bands still owe,
// block by block, so the output continues without a gap.
static void invqavex_t_set_fast(sinvQavex_t *psW, t_floatarg v)
{
    const std::int32_t on = v != 0.0f ? 1 : 0;
    qavex_fast_synthesis *f = psW->psFast;
    if (!on) invqavex_t_stop_draining(psW);
    if (!on && f) {
        psW->psDraining = f;
        psW->psFast = nullptr;
    }
    if (!on) qavex_switch_cancel(psW->psSwitch);
    // Also for the banks a later "rebuild" offers.
    if (on && !psW->psSwitch) psW->psSwitch = qavex_switch_new(&INVQAVEX_T_FAST_KIND);
    if (on && !f && invqavex_t_fast_switch(psW)) {
        psW->iFast = on;
        return;
    }
    if (on && !f) {
        f = fast_synthesis_new();
        const sQbank_Param *P = psW->psLastParam;
        if (!f) invqavex_t_no_fast(psW, P && qavex_t_record_find(P, eQavexRecord::PARAM) ? P : nullptr);
        psW->psFast = f;
    }
    psW->iFast = on;
}

// ---------------------------------------------------------------- lifecycle

static void invqavex_t_set_pointers_to_NULL(sinvQavex_t *psW)
{
    psW->x_inC = psW->x_inf = nullptr;
    psW->x_outS = psW->x_outM = nullptr;
    psW->paf = nullptr;
    psW->psFast = nullptr;
    psW->psDraining = nullptr;
    psW->psSwitch = nullptr;
    psW->psLastParam = nullptr;
    psW->psNoFastAt = nullptr;
    psW->uNoFastGen = 0;
    for (int k = 0; k < INVQAVEX_MAX_SLICES; k++) {
        psW->sSound.aRing[k].pA = psW->sSound.aRing[k].pC = psW->sSound.aRing[k].pE = nullptr;
        psW->painvwp[k] = nullptr;
    }
}

static void invqavex_t_set_start_values(sinvQavex_t *psW)
{
    psW->fConstSignal = 0.0f;
    psW->sSound.iLength = INVQAVEX_START_LENGTH;
    psW->fMinValforCount = 600.0f;
    psW->iComputeSynthesis = 1;
    psW->num_threads = 4;
    psW->iThreadCount = 0;
    psW->iReady = 0;
    psW->iFailedLm = -1;
    psW->iFast = 0;
}

static void *invqavex_t_new(t_floatarg)
{
    auto *psW = (sinvQavex_t *)pd_new(pcinvQavex_t);
    invqavex_t_set_pointers_to_NULL(psW);
    invqavex_t_set_start_values(psW);
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->x_inf = floatinlet_new(&psW->x_obj, &psW->fMinValforCount);
    psW->x_outS = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outM = outlet_new(&psW->x_obj, &s_float);
    invqavex_t_initialize_rings(psW);
    return psW;
}

static void invqavex_t_delete(sinvQavex_t *psW)
{
    if (psW->x_inC) inlet_free(psW->x_inC);
    if (psW->x_inf) inlet_free(psW->x_inf);
    if (psW->x_outS) outlet_free(psW->x_outS);
    if (psW->x_outM) outlet_free(psW->x_outM);
    invqavex_t_release_rings(psW);
    qavex_switch_free(psW->psSwitch);
    psW->psSwitch = nullptr;
    fast_synthesis_free(psW->psFast);
    psW->psFast = nullptr;
    fast_synthesis_free(psW->psDraining);
    psW->psDraining = nullptr;
}

void invqavex_t_setup()
{
    pcinvQavex_t = class_new(gensym("invqavex_tilde"), (t_newmethod)(t_method)invqavex_t_new,
                             (t_method)invqavex_t_delete, sizeof(sinvQavex_t), CLASS_DEFAULT, A_DEFFLOAT, A_NULL);
    class_domainsignalin(pcinvQavex_t, (int)offsetof(sinvQavex_t, fConstSignal));
    class_addmethod(pcinvQavex_t, (t_method)invqavex_t_dsp, gensym("dsp"), A_CANT, A_NULL);
    class_addbang(pcinvQavex_t, (t_method)invqavex_t_bang);
    class_addmethod(pcinvQavex_t, (t_method)invqavex_t_set_soundbuffer_length_factor,
                    gensym("set_soundbuffer_length_factor"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcinvQavex_t, (t_method)invqavex_t_set_num_threads, gensym("set_num_threads"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcinvQavex_t, (t_method)invqavex_t_set_compute_synthesis, gensym("set_compute_synthesis"),
                    A_DEFFLOAT, A_NULL);
    class_addmethod(pcinvQavex_t, (t_method)invqavex_t_set_fast, gensym("set_fast"), A_DEFFLOAT, A_NULL);
}
