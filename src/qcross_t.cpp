#include "qcross_t.h"
#include "bus_tools.h"
#include "safety.h"

#include <cmath>

static t_class *pcQcross_t = nullptr;

// Per-band state: the two smoothed magnitudes, the entries of the band in
// this block on each channel, then the modulator's entries of the block
// (magnitude and position) for pairing.
enum {
    QCROSS_ENV_C = 0,
    QCROSS_ENV_M = 1,
    QCROSS_N_C = 2,
    QCROSS_N_M = 3,
    QCROSS_MAG = 4,                         // QAVEX_BLOCK arrays
    QCROSS_POS = QCROSS_MAG + QAVEX_BLOCK,  // QAVEX_BLOCK arrays
    QCROSS_NSTATE = QCROSS_POS + QAVEX_BLOCK
};

// Stores the modulator's entries per band; false when they cannot pair
// with any carrier (band outside the bank, more entries than positions).
static bool qcross_t_take_modulator(sQcross_t *psW, const sQavex_CoeffIn &m)
{
    const std::int32_t S = psW->sOut.bands;
    double *nm = qeffect_state(psW->sOut, QCROSS_N_M);
    bool ok = true;
    qeffect_for_each(m, [&](const sQavex_Coeff &c) {
        if (!ok) return;
        if (c.band < 0 || c.band >= S || nm[c.band] >= QAVEX_BLOCK) {
            ok = false;
            return;
        }
        const std::int32_t q = c.band, i = (std::int32_t)nm[q];
        qeffect_state(psW->sOut, QCROSS_MAG + i)[q] = std::hypot(c.val_r, c.val_i);
        qeffect_state(psW->sOut, QCROSS_POS + i)[q] = c.start;
        nm[q] = i + 1;
    });
    return ok;
}

// Scales the own copy of the carrier; false when an entry finds no
// modulator entry of the same band and position, or entries are left over.
static bool qcross_t_stamp(sQcross_t *psW, const std::int32_t *hops)
{
    const std::int32_t S = psW->sOut.bands;
    double *envc = qeffect_state(psW->sOut, QCROSS_ENV_C), *envm = qeffect_state(psW->sOut, QCROSS_ENV_M);
    double *nc = qeffect_state(psW->sOut, QCROSS_N_C), *nm = qeffect_state(psW->sOut, QCROSS_N_M);
    sQavex_Coeff *list = psW->sOut.pawc[0];
    bool ok = true;
    for (std::int32_t k = 0; k < list[0].numCoeff; k++) {
        sQavex_Coeff &c = list[k];
        if (c.band < 0 || c.band >= S) {
            ok = false;
            continue;
        }
        const std::int32_t q = c.band, i = (std::int32_t)nc[q];
        nc[q] = i + 1;
        if (i >= nm[q] || qeffect_state(psW->sOut, QCROSS_POS + i)[q] != c.start) {
            ok = false;
            continue;
        }
        const double pole = qeffect_pole(psW->fSmooth, hops[q] > 0 ? hops[q] : 1);
        const double mc = std::hypot(c.val_r, c.val_i), mm = qeffect_state(psW->sOut, QCROSS_MAG + i)[q];
        if (std::isfinite(mc)) qeffect_smooth(envc[q], mc, pole);
        if (std::isfinite(mm)) qeffect_smooth(envm[q], mm, pole);
        double g = envc[q] > 0 ? envm[q] / envc[q] : 0.0;
        if (!(g <= QCROSS_MAX_GAIN)) g = envc[q] > 0 ? QCROSS_MAX_GAIN : 0.0;
        c.val_r *= g;
        c.val_i *= g;
    }
    for (std::int32_t k = 0; k < list[0].numCoeff; k++) {
        const std::int32_t q = list[k].band;
        if (q < 0 || q >= S) continue;
        if (nc[q] != nm[q]) ok = false;
        nc[q] = nm[q] = 0;
    }
    return ok;
}

// Clears the modulator's per-band entry counts after a block.
static void qcross_t_forget_modulator(sQcross_t *psW, const sQavex_CoeffIn &m)
{
    const std::int32_t S = psW->sOut.bands;
    double *nm = qeffect_state(psW->sOut, QCROSS_N_M), *nc = qeffect_state(psW->sOut, QCROSS_N_C);
    qeffect_for_each(m, [&](const sQavex_Coeff &c) {
        if (c.band >= 0 && c.band < S) {
            if (nm[c.band] != 0) nc[c.band] = -1;  // a modulator entry without carrier
            nm[c.band] = 0;
        }
    });
}

t_int *qcross_t_perform(t_int *w)
{
    sQcross_t *psW = (sQcross_t *)w[1];
    t_sample *outG = (t_sample *)w[5], *outC = (t_sample *)w[6];
    const int n = (int)w[7];
    if (n != QAVEX_BLOCK) {
        qavex_t_write_empty_vector(outG, n);
        qavex_t_write_empty_vector(outC, n);
        return w + 8;
    }
    sQavex_CoeffIn m = qavex_t_read_coeff_block((const t_sample *)w[4]);
    const bool have_m = m.tag == QAVG_TAG && m.lists != nullptr && m.n >= 0;
    bool ok, rebuilt;
    const sQeffect_Bus b = qeffect_read((const t_sample *)w[2], (const t_sample *)w[3], outG, outC, &ok);
    if (!ok) {
        qavex_t_write_empty_block(outG);
        return w + 8;
    }
    // Without a modulator the carrier passes as it is.
    if (!have_m || b.p == nullptr || b.p->aiDq == nullptr ||
        !qeffect_fit(psW->sOut, b.p, QCROSS_NSTATE, qeffect_count(b.cin), &rebuilt)) {
        qeffect_pass(b.cin, outG);
        return w + 8;
    }
    bool paired = qcross_t_take_modulator(psW, m);
    qeffect_copy_in(psW->sOut, b.cin);
    paired = qcross_t_stamp(psW, b.p->aiDq) && paired;
    qcross_t_forget_modulator(psW, m);
    // Modulator entries of bands the carrier lacks in this block.
    double *nc = qeffect_state(psW->sOut, QCROSS_N_C);
    qeffect_for_each(m, [&](const sQavex_Coeff &c) {
        if (c.band >= 0 && c.band < psW->sOut.bands && nc[c.band] != 0) {
            paired = false;
            nc[c.band] = 0;
        }
    });
    qeffect_error_episode(psW, &psW->iMismatchWarned, !paired, "qcross~", "carrier and modulator",
                          "coefficients do not pair up (different banks or analyses), passing the carrier");
    if (paired) qeffect_publish(psW->sOut, outG);
    else qeffect_pass(b.cin, outG);
    return w + 8;
}

static void qcross_t_dsp(sQcross_t *psW, t_signal **sp)
{
    // sp: carrier in, parameter in, modulator in, coefficient out, parameter out.
    if (sp[0]->s_n != QAVEX_BLOCK)
        pd_error(psW, "qcross~: block size %i not supported (needs 64), output stays empty", (int)sp[0]->s_n);
    dsp_add(qcross_t_perform, 7, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, sp[4]->s_vec,
            (t_int)sp[0]->s_n);
}

static void qcross_t_bang(sQcross_t *psW)
{
    post("qcross~: smoothing %g ms, %i bands", (double)psW->fSmooth, (int)psW->sOut.bands);
}

static void qcross_t_set_smooth(sQcross_t *psW, t_floatarg f)
{
    psW->fSmooth = std::isfinite(f) ? f : QCROSS_START_SMOOTH;
}

static void *qcross_t_new(t_floatarg smooth)
{
    sQcross_t *psW = (sQcross_t *)pd_new(pcQcross_t);
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->x_inM = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->x_outG = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outC = outlet_new(&psW->x_obj, &s_signal);
    psW->fSmooth = smooth > 0 ? smooth : QCROSS_START_SMOOTH;
    psW->sOut = sQeffect_Out{};
    return psW;
}

static void qcross_t_delete(sQcross_t *psW)
{
    inlet_free(psW->x_inC);
    inlet_free(psW->x_inM);
    outlet_free(psW->x_outG);
    outlet_free(psW->x_outC);
    qeffect_release(psW->sOut);
}

void qcross_t_setup()
{
    pcQcross_t = qavex_t_tool_class("qcross~", (t_newmethod)(t_method)qcross_t_new, (t_method)qcross_t_delete,
                                    sizeof(sQcross_t), A_DEFFLOAT, (int)offsetof(sQcross_t, fConstSignal),
                                    (t_method)qcross_t_dsp, (t_method)qcross_t_bang);
    class_addmethod(pcQcross_t, (t_method)qcross_t_set_smooth, gensym("set_smooth"), A_DEFFLOAT, A_NULL);
}
