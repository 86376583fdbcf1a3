#include "qemit_t.h"
#include "allocator.h"
#include "bus_tools.h"
#include "bus_words.h"
#include "conversions.h"
#include "m_pd.h"
#include "records.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

static t_class *pcQemit_t = nullptr;

static void qemit_t_emit(sQemit_t *psW, t_floatarg fTime, t_floatarg Val_real, t_floatarg Val_imag, t_floatarg fBand)
{
    if (!psW->pawc_intern) {
        pd_error(psW, "qemit: no event list (out of memory), event dropped");
        return;
    }
    if (psW->num_coeff > QEMIT_MAX_EVENTS - 1 || psW->num_coeff < 0) return;
    std::int32_t time = qavex_t_to_int32(fTime, {.lo = 0, .hi = QAVEX_BLOCK - 1});
    // No upper bound here: the band count is known only when a parameter
    // block arrives, and bands outside it are dropped at publication.
    std::int32_t band = qavex_t_to_int32(fBand, {.lo = 0});
    sQavex_Coeff &c = psW->pawc_intern[psW->num_coeff];
    c.val_i = (double)Val_imag;
    c.val_r = (double)Val_real;
    c.start = time;
    c.band = band;
    psW->num_coeff++;
    if (psW->num_coeff == QEMIT_MAX_EVENTS) post("qemit: Maximum number of events for qemit reached.");
}

static t_int *qemit_t_perform(t_int *w)
{
    sQemit_t *psW = (sQemit_t *)w[1];
    t_sample *inC = (t_sample *)w[2];
    t_sample *outG = (t_sample *)w[3];
    t_sample *outC = (t_sample *)w[4];
    int n = (int)w[5];

    if (n != QAVEX_BLOCK) {
        // The bus needs 64-sample blocks: publish nothing, keep the events.
        for (int i = 0; i < n; i++) outG[i] = outC[i] = 0;
        return w + 6;
    }
    // Everything needed from the input first: an outlet may share its vector.
    sQavex_ParamIn in = qavex_t_read_param_block(inC);

    qavex_t_write_empty_block(outG);
    qavex_t_write_empty_block(outC);
    // A tag without a record is not a parameter block; it would also be the
    // one thing the pointer accessor refuses.
    if (in.tag != QAVC_TAG || !in.p) return w + 6;
    qavex_t_write_param_block(outC, in.p);

    if (psW->num_coeff < 0 || psW->num_coeff > QEMIT_MAX_EVENTS) {
        pd_error(psW, "qemit: Fatal Error.");
        psW->num_coeff = 0;  // start afresh rather than fail every block
        return w + 6;
    }
    sQavex_Coeff *pub = psW->pawc[0];
    if (!pub || !psW->pawc_intern) return w + 6;

    // Events whose band the record does not have would make every reader
    // index outside its per-band arrays; they never reach the stream.
    std::int32_t kept = 0;
    std::int32_t bands = psW->num_coeff > 0 ? in.p->iq_compute_sup : 0;
    for (std::int32_t i = 0; i < psW->num_coeff; i++) {
        const sQavex_Coeff &e = psW->pawc_intern[i];
        if (e.band >= bands) continue;
        sQavex_Coeff &d = pub[kept++];
        d.val_r = e.val_r;
        d.val_i = e.val_i;
        d.start = e.start;
        d.band = e.band;
    }
    pub[0].numCoeff = kept;
    qavex_t_write_coeff_block(outG, psW->pawc, 1);
    psW->num_coeff = 0;
    return w + 6;
}

static void qemit_t_dsp(sQemit_t *psW, t_signal **sp)
{
    // sp: main inlet, parameter inlet, coefficient outlet, parameter outlet.
    if (sp[1]->s_n != QAVEX_BLOCK)
        pd_error(psW, "qemit: block size %i not supported (needs 64), nothing is published", (int)sp[1]->s_n);
    dsp_add(qemit_t_perform, 5, psW, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, (t_int)sp[1]->s_n);
}

static void qemit_t_bang(sQemit_t *) { post("Qemit Bang Bang Boing"); }

static void *qemit_t_new(t_floatarg)
{
    sQemit_t *psW = (sQemit_t *)pd_new(pcQemit_t);
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->x_in = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_list, gensym("emit"));
    psW->x_outG = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outC = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outM = outlet_new(&psW->x_obj, &s_float);

    // Without its lists the object stays usable: it forwards the parameter
    // channel, publishes nothing and refuses events with an error.
    const std::size_t bytes = QEMIT_LIST_RECORDS * sizeof(sQavex_Coeff);
    psW->pawc[0] = (sQavex_Coeff *)qavex_t_malloc0(bytes);
    psW->pawc_intern = (sQavex_Coeff *)qavex_t_malloc0(bytes);
    if (!psW->pawc[0] || !psW->pawc_intern) {
        qavex_t_free(psW->pawc[0]);
        qavex_t_free(psW->pawc_intern);
        psW->pawc[0] = nullptr;
        psW->pawc_intern = nullptr;
        pd_error(psW, "qemit: out of memory, the object publishes nothing");
    } else {
        psW->pawc[0][0].numCoeff = 0;
        psW->pawc_intern[0].numCoeff = 0;
    }
    psW->num_coeff = 0;
    qavex_t_record_add(psW->pawc, eQavexRecord::LISTS, 1);
    return psW;
}

static void qemit_t_delete(sQemit_t *psW)
{
    qavex_t_record_remove(psW->pawc);
    for (t_inlet *i : {psW->x_inC, psW->x_in}) inlet_free(i);
    for (t_outlet *o : {psW->x_outM, psW->x_outG, psW->x_outC}) outlet_free(o);
    qavex_t_free(psW->pawc_intern);
    qavex_t_free(psW->pawc[0]);
    psW->pawc_intern = nullptr;
    psW->pawc[0] = nullptr;
}

void qemit_t_setup()
{
    pcQemit_t = qavex_t_tool_class("qemit_tilde", (t_newmethod)(t_method)qemit_t_new, (t_method)qemit_t_delete,
                                   sizeof(sQemit_t), A_DEFFLOAT, (int)offsetof(sQemit_t, fConstSignal),
                                   (t_method)qemit_t_dsp, (t_method)qemit_t_bang);
    class_addmethod(pcQemit_t, (t_method)qemit_t_emit, gensym("emit"), A_DEFFLOAT, A_DEFFLOAT, A_DEFFLOAT, A_DEFFLOAT,
                    A_NULL);
}
