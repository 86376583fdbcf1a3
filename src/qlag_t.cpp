#include "qlag_t.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "allocator.h"
#include "conversions.h"
#include "m_pd.h"
#include "records.h"
#include "rings.h"
#include "safety.h"

constexpr std::int32_t QLAG_START_LENGTH = 576000;
constexpr float QLAG_DEFAULT_FACTOR = 3000.0f;
constexpr std::int32_t QLAG_NO_FAILURE = -1;

static t_class *pcQlag_t = nullptr;

// ---------------------------------------------------------------- ring

static bool qlag_t_initialize_ring(sQlag_t *psT) { return psT->sSound.ring.build(psT->sSound.iLength); }

// Sets iLength to 64 x factor (factor <= 1 counts as 3000, limited to
// QLAG_MAX_FACTOR) and rebuilds the ring silent. False on a failed allocation.
static bool qlag_t_set_length(sQlag_t *psT, t_floatarg f)
{
    bool limited = false;
    psT->sSound.iLength = qavex_t_ring_length(f, {(std::int32_t)QLAG_DEFAULT_FACTOR, QLAG_MAX_FACTOR, true}, &limited);
    if (limited) pd_error(psT, "qlag_tilde: soundbuffer length factor %g too large, using %i", f, (int)QLAG_MAX_FACTOR);
    return qlag_t_initialize_ring(psT);
}

// ---------------------------------------------------------------- block

// The delay inlet's value as a whole number of samples. Negative values and
// NaN become 0, values above QLAG_MAX_DELAY that limit (with an error); the
// inlet is set to what is used.
static std::int32_t qlag_t_delay(sQlag_t *psT)
{
    const t_float f = psT->fDelay;
    if (!(f > -1.0f)) {  // negative (after truncation) or not a number
        psT->fDelay = 0.0f;
        return 0;
    }
    if (f > (t_float)QLAG_MAX_DELAY) {
        pd_error(psT, "qlag_tilde: delay %g too long, using %i", f, (int)QLAG_MAX_DELAY);
        psT->fDelay = (t_float)QLAG_MAX_DELAY;
        return QLAG_MAX_DELAY;
    }
    return (std::int32_t)f;
}

// Records the input block. The block read D samples back must not overlap
// the block just recorded, so the ring holds at least D + 64 samples: it
// grows for a longer delay, or is retried after a failed allocation once a
// different delay arrives. False when there is no ring for D.
static bool qlag_t_record(sQlag_t *psT, const t_sample *in, std::int32_t D)
{
    sQlag_Sound &s = psT->sSound;
    const bool too_short = (std::int64_t)D > (std::int64_t)s.iLength - QAVEX_BLOCK;
    if (s.ring.pA && !too_short) {
        s.ring.advance();
        std::memcpy(s.ring.pC, in, QAVEX_BLOCK * sizeof(t_sample));
    } else if (D != psT->iFailedDelay) {
        bool ok;
        if (too_short) ok = qlag_t_set_length(psT, (t_float)((double)D / QAVEX_BLOCK + 500.0));
        else ok = qlag_t_initialize_ring(psT);
        psT->iFailedDelay = ok ? QLAG_NO_FAILURE : D;
        // The fresh ring is silent; it starts with the block just received.
        if (ok) std::memcpy(s.ring.pC, in, QAVEX_BLOCK * sizeof(t_sample));
    }
    return s.ring.pA && (std::int64_t)D <= (std::int64_t)s.iLength - QAVEX_BLOCK;
}

// Output sample k is the input D samples before input sample k.
static void qlag_t_read(const sQlag_Sound &s, std::int32_t D, t_sample *out)
{
    const std::int64_t R = s.iLength;
    const std::int64_t r = qavex_t_ring_wrap(s.ring.offset() - D, R);
    const std::int64_t n1 = std::min<std::int64_t>(QAVEX_BLOCK, R - r);
    std::memcpy(out, s.ring.pA + r, (std::size_t)n1 * sizeof(t_sample));
    if (n1 < QAVEX_BLOCK) std::memcpy(out + n1, s.ring.pA, (std::size_t)(QAVEX_BLOCK - n1) * sizeof(t_sample));
}

static t_int *qlag_t_perform(t_int *w)
{
    auto *psT = (sQlag_t *)w[1];
    const t_sample *in = (const t_sample *)w[2];
    t_sample *out = (t_sample *)w[3];
    const int n = (int)w[4];
    const std::int32_t D = n == QAVEX_BLOCK ? qlag_t_delay(psT) : 0;
    // Input first: the host may hand the inlet's vector to the outlet.
    if (n == QAVEX_BLOCK && qlag_t_record(psT, in, D)) qlag_t_read(psT->sSound, D, out);
    else qavex_t_write_empty_vector(out, n);
    return w + 5;
}

static void qlag_t_dsp(sQlag_t *psT, t_signal **sp)
{
    if (sp[0]->s_n != QAVEX_BLOCK)
        pd_error(psT, "qlag_tilde: block size %i not supported (needs 64), output is silent", (int)sp[0]->s_n);
    dsp_add(qlag_t_perform, 4, psT, sp[0]->s_vec, sp[1]->s_vec, (t_int)sp[0]->s_n);
}

// ---------------------------------------------------------------- messages

static void qlag_t_bang(sQlag_t *psT) { post("Qlag: Delay=%i", (int)qavex_t_to_int32(psT->fDelay)); }

static void qlag_t_set_soundbuffer_length_factor(sQlag_t *psT, t_floatarg f)
{
    qlag_t_set_length(psT, f);
    psT->iFailedDelay = QLAG_NO_FAILURE;
}

// ---------------------------------------------------------------- lifecycle

static void *qlag_t_new(t_floatarg)
{
    auto *psT = (sQlag_t *)pd_new(pcQlag_t);
    psT->fConstSignal = 0.0f;
    psT->x_in = nullptr;
    psT->x_inf = floatinlet_new(&psT->x_obj, &psT->fDelay);
    psT->x_out = outlet_new(&psT->x_obj, &s_signal);
    psT->fDelay = 0.0f;
    psT->sSound.ring.pA = psT->sSound.ring.pC = psT->sSound.ring.pE = nullptr;
    psT->sSound.iLength = QLAG_START_LENGTH;
    psT->iFailedDelay = QLAG_NO_FAILURE;
    qlag_t_initialize_ring(psT);
    return psT;
}

static void qlag_t_delete(sQlag_t *psT)
{
    if (psT->x_out) outlet_free(psT->x_out);
    if (psT->x_inf) inlet_free(psT->x_inf);
    psT->sSound.ring.release();
    psT->sSound.ring.pA = psT->sSound.ring.pC = psT->sSound.ring.pE = nullptr;
}

void qlag_t_setup()
{
    pcQlag_t = class_new(gensym("qlag_tilde"), (t_newmethod)(t_method)qlag_t_new, (t_method)qlag_t_delete,
                         sizeof(sQlag_t), CLASS_DEFAULT, A_DEFFLOAT, A_NULL);
    class_domainsignalin(pcQlag_t, (int)offsetof(sQlag_t, fConstSignal));
    class_addmethod(pcQlag_t, (t_method)qlag_t_dsp, gensym("dsp"), A_CANT, A_NULL);
    class_addbang(pcQlag_t, (t_method)qlag_t_bang);
    class_addmethod(pcQlag_t, (t_method)qlag_t_set_soundbuffer_length_factor, gensym("set_soundbuffer_length_factor"),
                    A_DEFFLOAT, A_NULL);
}
