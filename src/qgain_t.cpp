#include "qgain_t.h"
#include "bus_tools.h"
#include "bus_words.h"
#include "effect_arrays.h"
#include "m_pd.h"
#include "records.h"
#include "safety.h"

#include <cmath>
#include <cstdint>

static t_class *pcQgain_t = nullptr;

// Per-band state: the element last read and the factor made from it.
enum { QGAIN_LAST = 0, QGAIN_FACTOR = 1, QGAIN_NSTATE = 2 };

double qgain_t_factor(t_float v, bool db)
{
    if (std::isnan(v)) return 1.0;
    if (db) return v >= 120.0f ? 1e6 : std::pow(10.0, (double)v / 20.0);
    if (v > 1e6f) return 1e6;
    if (v < -1e6f) return -1e6;
    return (double)v;
}

t_int *qgain_t_perform(t_int *w)
{
    sQgain_t *psW = (sQgain_t *)w[1];
    t_sample *outG = (t_sample *)w[4], *outC = (t_sample *)w[5];
    const int n = (int)w[6];
    if (n != QAVEX_BLOCK) {
        qavex_t_write_empty_vector(outG, n);
        qavex_t_write_empty_vector(outC, n);
        return w + 7;
    }
    bool ok;
    const sQeffect_Bus b = qeffect_read((const t_sample *)w[2], (const t_sample *)w[3], outG, outC, &ok);
    if (!ok) {
        qavex_t_write_empty_block(outG);
        return w + 7;
    }
    int size = 0;
    t_word *vec = nullptr;
    const bool have = qeffect_array(psW, psW->array_name, &psW->iMissingWarned, "qgain~", &vec, &size);
    bool rebuilt;
    if (!have || b.p == nullptr || !qeffect_fit(psW->sOut, b.p, QGAIN_NSTATE, qeffect_count(b.cin), &rebuilt)) {
        qeffect_pass(b.cin, outG);
        return w + 7;
    }
    const std::int32_t S = psW->sOut.bands;
    double *last = qeffect_state(psW->sOut, QGAIN_LAST), *factor = qeffect_state(psW->sOut, QGAIN_FACTOR);
    const bool db = psW->iDb != 0;
    // Factors are made again only for elements that changed since the last
    // block, or all of them after a rebuild or a change of unit.
    qeffect_follow_array(vec, size, S, last, factor, rebuilt, 1.0,
                         [db](double v) { return qgain_t_factor((t_float)v, db); });
    qeffect_copy_in(psW->sOut, b.cin);
    sQavex_Coeff *list = psW->sOut.pawc[0];
    for (std::int32_t i = 0; i < list[0].numCoeff; i++) {
        sQavex_Coeff &c = list[i];
        if (c.band < 0 || c.band >= S) continue;
        c.val_r *= factor[c.band];
        c.val_i *= factor[c.band];
    }
    qeffect_publish(psW->sOut, outG);
    return w + 7;
}

static void qgain_t_dsp(sQgain_t *psW, t_signal **sp)
{
    // sp: coefficient in, parameter in, coefficient out, parameter out.
    if (sp[0]->s_n != QAVEX_BLOCK)
        pd_error(psW, "qgain~: block size %i not supported (needs 64), output stays empty", (int)sp[0]->s_n);
    dsp_add(qgain_t_perform, 6, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, (t_int)sp[0]->s_n);
}

static void qgain_t_bang(sQgain_t *psW)
{
    post("qgain~: array %s, %s, %i bands", psW->array_name->s_name, psW->iDb ? "dB" : "linear", (int)psW->sOut.bands);
}

static void qgain_t_set_db(sQgain_t *psW, t_floatarg f)
{
    const std::int32_t db = f != 0 ? 1 : 0;
    if (db != psW->iDb && psW->sOut.state != nullptr) {
        double *last = qeffect_state(psW->sOut, QGAIN_LAST);
        for (std::int32_t q = 0; q < psW->sOut.bands; q++) last[q] = NAN;  // remake every factor
    }
    psW->iDb = db;
}

static void qgain_t_set_array(sQgain_t *psW, t_symbol *s)
{
    psW->array_name = s;
    psW->iMissingWarned = 0;
    if (psW->sOut.state != nullptr) {
        double *last = qeffect_state(psW->sOut, QGAIN_LAST);
        for (std::int32_t q = 0; q < psW->sOut.bands; q++) last[q] = NAN;
    }
}

static void *qgain_t_new(t_symbol *name)
{
    sQgain_t *psW = (sQgain_t *)pd_new(pcQgain_t);
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->x_outG = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outC = outlet_new(&psW->x_obj, &s_signal);
    psW->array_name = name;
    psW->iDb = 1;
    psW->sOut = sQeffect_Out{};
    return psW;
}

static void qgain_t_delete(sQgain_t *psW)
{
    inlet_free(psW->x_inC);
    outlet_free(psW->x_outG);
    outlet_free(psW->x_outC);
    qeffect_release(psW->sOut);
}

void qgain_t_setup()
{
    pcQgain_t = qavex_t_tool_class("qgain~", (t_newmethod)(t_method)qgain_t_new, (t_method)qgain_t_delete,
                                   sizeof(sQgain_t), A_DEFSYMBOL, (int)offsetof(sQgain_t, fConstSignal),
                                   (t_method)qgain_t_dsp, (t_method)qgain_t_bang);
    class_addmethod(pcQgain_t, (t_method)qgain_t_set_db, gensym("set_db"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQgain_t, (t_method)qgain_t_set_array, gensym("set_array"), A_DEFSYMBOL, A_NULL);
}
