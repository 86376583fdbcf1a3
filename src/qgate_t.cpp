#include "qgate_t.h"
#include "bus_tools.h"
#include "bus_words.h"
#include "effect_arrays.h"
#include "m_pd.h"
#include "records.h"
#include "safety.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

static t_class *pcQgate_t = nullptr;

// Per-band state.
enum {
    QGATE_GAIN = 0,    // smoothed gain
    QGATE_SUM = 1,     // power summed while learning
    QGATE_COUNT = 2,   // coefficients summed
    QGATE_LAST = 3,    // mask element last read (dB)
    QGATE_MASK = 4,    // mask as power
    QGATE_LEARNT = 5,  // learned mask (dB), for the clock
    QGATE_LEVEL = 6,   // smoothed power that opens and closes the band
    QGATE_OPEN = 7,    // 1 while the band is open
    QGATE_NSTATE = 8
};

static void qgate_t_forget_mask(sQgate_t *psW)
{
    if (psW->sOut.state == nullptr) return;
    double *last = qeffect_state(psW->sOut, QGATE_LAST);
    for (std::int32_t q = 0; q < psW->sOut.bands; q++) last[q] = NAN;
}

// Learning: sums each band's power; when the time is over, the mean power
// in dB goes to the clock, which writes it into the array.
static void qgate_t_learn(sQgate_t *psW, const sQavex_CoeffIn &in)
{
    const std::int32_t S = psW->sOut.bands;
    double *sum = qeffect_state(psW->sOut, QGATE_SUM), *count = qeffect_state(psW->sOut, QGATE_COUNT);
    if (psW->iLearnStart) {
        for (std::int32_t q = 0; q < S; q++) sum[q] = count[q] = 0.0;
        psW->iLearnStart = 0;
    }
    qeffect_for_each(in, [&](const sQavex_Coeff &c) {
        if (c.band < 0 || c.band >= S) return;
        const double p = c.val_r * c.val_r + c.val_i * c.val_i;
        if (!std::isfinite(p)) return;
        sum[c.band] += p;
        count[c.band] += 1.0;
    });
    psW->dLearnLeft -= QAVEX_BLOCK;
    if (psW->dLearnLeft > 0) return;
    psW->dLearnLeft = 0;
    double *learnt = qeffect_state(psW->sOut, QGATE_LEARNT);
    for (std::int32_t q = 0; q < S; q++) {
        const double mean = count[q] > 0 ? sum[q] / count[q] : 0.0;
        learnt[q] = mean > 0 ? 10.0 * std::log10(mean) : QGATE_FLOOR_DB;
        if (learnt[q] < QGATE_FLOOR_DB) learnt[q] = QGATE_FLOOR_DB;
    }
    psW->iLearned = 1;
    clock_delay(psW->clock, 0);
}

t_int *qgate_t_perform(t_int *w)
{
    sQgate_t *psW = (sQgate_t *)w[1];
    t_sample *outG = (t_sample *)w[4], *outC = (t_sample *)w[5];
    const int n = (int)w[6];
    if (n != QAVEX_BLOCK) {
        qavex_t_write_empty_vector(outG, n);
        qavex_t_write_empty_vector(outC, n);
        return w + 7;
    }
    bool ok, rebuilt;
    const sQeffect_Bus b = qeffect_read((const t_sample *)w[2], (const t_sample *)w[3], outG, outC, &ok);
    if (!ok) {
        qavex_t_write_empty_block(outG);
        return w + 7;
    }
    if (b.p == nullptr || b.p->aiDq == nullptr ||
        !qeffect_fit(psW->sOut, b.p, QGATE_NSTATE, qeffect_count(b.cin), &rebuilt)) {
        qeffect_pass(b.cin, outG);
        return w + 7;
    }
    const std::int32_t S = psW->sOut.bands;
    double *gain = qeffect_state(psW->sOut, QGATE_GAIN);
    if (rebuilt) {
        for (std::int32_t q = 0; q < S; q++) gain[q] = 1.0;
        qgate_t_forget_mask(psW);
        if (psW->dLearnLeft > 0) psW->iLearnStart = 1;  // the sums were lost with the old bank
    }
    if (psW->dLearnLeft > 0) qgate_t_learn(psW, b.cin);

    int size = 0;
    t_word *vec = nullptr;
    if (!qeffect_array(psW, psW->array_name, &psW->iMissingWarned, "qgate~", &vec, &size)) {
        qeffect_pass(b.cin, outG);
        return w + 7;
    }
    // The mask as power; bands beyond the array's end have none and stay open.
    double *last = qeffect_state(psW->sOut, QGATE_LAST), *mask = qeffect_state(psW->sOut, QGATE_MASK);
    qeffect_follow_array(vec, size, S, last, mask, false, 0.0,
                         [](double v) { return std::isnan(v) ? 0.0 : std::pow(10.0, (v > 300.0 ? 300.0 : v) / 10.0); });
    const double thr = std::pow(10.0, (double)psW->fThreshold / 10.0);
    const double depth = std::pow(10.0, (double)(psW->fDepth > 0 ? 0 : psW->fDepth) / 20.0);
    const double atk = psW->fAttack, rel = psW->fRelease;
    double *level = qeffect_state(psW->sOut, QGATE_LEVEL), *open = qeffect_state(psW->sOut, QGATE_OPEN);
    qeffect_copy_in(psW->sOut, b.cin);
    sQavex_Coeff *list = psW->sOut.pawc[0];
    const std::int32_t *hops = b.p->aiDq;
    for (std::int32_t i = 0; i < list[0].numCoeff; i++) {
        sQavex_Coeff &c = list[i];
        if (c.band < 0 || c.band >= S) continue;
        const std::int32_t q = c.band;
        const std::int32_t hop = hops[q] > 0 ? hops[q] : 1;
        // The power of single coefficients of noise scatters widely; the
        // decision takes it smoothed over QGATE_LEVEL_MS (at least two
        // hops), with 3 dB between opening and closing.
        const double p = c.val_r * c.val_r + c.val_i * c.val_i;
        if (std::isfinite(p))
            qeffect_smooth(level[q], p, qeffect_pole(std::max(QGATE_LEVEL_MS, 2.0 * hop / (0.001 * QAVEX_SR)), hop));
        if (level[q] > mask[q] * thr) open[q] = 1.0;
        else if (level[q] < 0.5 * mask[q] * thr) open[q] = 0.0;
        const double target = open[q] != 0.0 ? 1.0 : depth;
        qeffect_smooth(gain[q], target, qeffect_pole(target > gain[q] ? atk : rel, hop));
        c.val_r *= gain[q];
        c.val_i *= gain[q];
    }
    qeffect_publish(psW->sOut, outG);
    return w + 7;
}

void qgate_t_tick(sQgate_t *psW)
{
    if (!psW->iLearned || psW->sOut.state == nullptr) return;
    psW->iLearned = 0;
    const std::int32_t S = psW->sOut.bands;
    t_garray *a = (t_garray *)pd_findbyclass(psW->array_name, garray_class);
    int size = 0;
    t_word *vec = nullptr;
    if (a == nullptr || !garray_getfloatwords(a, &size, &vec)) {
        pd_error(psW, "qgate~: %s: no such float array, the learned mask is lost", psW->array_name->s_name);
        return;
    }
    if (size != S) {
        garray_resize_long(a, S);
        if (!garray_getfloatwords(a, &size, &vec) || size != S) return;
    }
    const double *learnt = qeffect_state(psW->sOut, QGATE_LEARNT);
    for (std::int32_t q = 0; q < S; q++) vec[q].w_float = (t_float)learnt[q];
    garray_redraw(a);
    psW->iLearnCount++;
    post("qgate~: mask of %i bands learned into %s", (int)S, psW->array_name->s_name);
}

static void qgate_t_dsp(sQgate_t *psW, t_signal **sp)
{
    if (sp[0]->s_n != QAVEX_BLOCK)
        pd_error(psW, "qgate~: block size %i not supported (needs 64), output stays empty", (int)sp[0]->s_n);
    dsp_add(qgate_t_perform, 6, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, (t_int)sp[0]->s_n);
}

static void qgate_t_bang(sQgate_t *psW)
{
    post("qgate~: mask %s, threshold %g dB, depth %g dB, attack %g ms, release %g ms, %i bands%s",
         psW->array_name->s_name, (double)psW->fThreshold, (double)psW->fDepth, (double)psW->fAttack,
         (double)psW->fRelease, (int)psW->sOut.bands, psW->dLearnLeft > 0 ? ", learning" : "");
}

static t_float qgate_t_finite(t_floatarg f, t_float otherwise) { return std::isfinite(f) ? f : otherwise; }

static void qgate_t_learn_message(sQgate_t *psW, t_floatarg ms)
{
    // At least one block; NaN and values below it learn for one block.
    double samples = std::isfinite(ms) ? (double)ms * 0.001 * QAVEX_SR : 0.0;
    if (samples > 1e12) samples = 1e12;
    psW->dLearnLeft = samples > QAVEX_BLOCK ? samples : QAVEX_BLOCK;
    psW->iLearnStart = 1;
}
static void qgate_t_set_threshold(sQgate_t *psW, t_floatarg f)
{
    psW->fThreshold = qgate_t_finite(f, QGATE_START_THRESHOLD);
}
static void qgate_t_set_depth(sQgate_t *psW, t_floatarg f) { psW->fDepth = qgate_t_finite(f, QGATE_START_DEPTH); }
static void qgate_t_set_attack(sQgate_t *psW, t_floatarg f) { psW->fAttack = qgate_t_finite(f, QGATE_START_ATTACK); }
static void qgate_t_set_release(sQgate_t *psW, t_floatarg f) { psW->fRelease = qgate_t_finite(f, QGATE_START_RELEASE); }
static void qgate_t_set_array(sQgate_t *psW, t_symbol *s)
{
    psW->array_name = s;
    psW->iMissingWarned = 0;
    qgate_t_forget_mask(psW);
}

static void *qgate_t_new(t_symbol *name)
{
    sQgate_t *psW = (sQgate_t *)pd_new(pcQgate_t);
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->x_outG = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outC = outlet_new(&psW->x_obj, &s_signal);
    psW->array_name = name;
    psW->clock = clock_new(psW, (t_method)qgate_t_tick);
    psW->fThreshold = QGATE_START_THRESHOLD;
    psW->fDepth = QGATE_START_DEPTH;
    psW->fAttack = QGATE_START_ATTACK;
    psW->fRelease = QGATE_START_RELEASE;
    psW->sOut = sQeffect_Out{};
    return psW;
}

static void qgate_t_delete(sQgate_t *psW)
{
    clock_free(psW->clock);
    inlet_free(psW->x_inC);
    outlet_free(psW->x_outG);
    outlet_free(psW->x_outC);
    qeffect_release(psW->sOut);
}

void qgate_t_setup()
{
    pcQgate_t = qavex_t_tool_class("qgate~", (t_newmethod)(t_method)qgate_t_new, (t_method)qgate_t_delete,
                                   sizeof(sQgate_t), A_DEFSYMBOL, (int)offsetof(sQgate_t, fConstSignal),
                                   (t_method)qgate_t_dsp, (t_method)qgate_t_bang);
    class_addmethod(pcQgate_t, (t_method)qgate_t_learn_message, gensym("learn"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQgate_t, (t_method)qgate_t_set_threshold, gensym("set_threshold"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQgate_t, (t_method)qgate_t_set_depth, gensym("set_depth"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQgate_t, (t_method)qgate_t_set_attack, gensym("set_attack"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQgate_t, (t_method)qgate_t_set_release, gensym("set_release"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQgate_t, (t_method)qgate_t_set_array, gensym("set_array"), A_DEFSYMBOL, A_NULL);
}
