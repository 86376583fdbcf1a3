// The designer's dual windows: "make_dual", the dual record and the third outlet that publishes it.
#include "qbank_dual.h"

#include <cstddef>
#include <cstdint>

#include "allocator.h"
#include "bus_words.h"
#include "console_capture.h"
#include "dual_windows.h"
#include "m_pd.h"
#include "qbank_record.h"
#include "records.h"
#include "window_words.h"
#include "work_bounds.h"

// Host call (declared in the host's internal header): the first connection
// of outlet nout, null when it has none.
extern "C" t_outconnect *obj_starttraverseoutlet(const t_object *x, t_outlet **op, int nout);

// The published dual record and the tables it points to.
struct sQbank_Dual {
    sQbank_Param sParam;
    std::int32_t iBands;              // slots in sParam.paf_r / paf_i
    std::uint32_t uSourceGeneration;  // designer's stamp the duals were made at
    std::uint32_t uSourceChanges;     // and its count of complex-window changes
};

namespace {

void dual_free(sQbank_Dual *d)
{
    if (!d) return;
    qavex_t_record_remove(&d->sParam);
    for (std::int32_t q = 0; q < d->iBands; q++) {
        if (d->sParam.paf_r) qavex_t_free(d->sParam.paf_r[q]);
        if (d->sParam.paf_i) qavex_t_free(d->sParam.paf_i[q]);
    }
    qavex_t_free(d->sParam.paf_r);
    qavex_t_free(d->sParam.paf_i);
    qavex_t_free(d);
}

bool dual_fresh(const sQbank_t *psW)
{
    const sQbank_Dual *d = psW->sDual.psDual;
    return d && d->uSourceGeneration == psW->sParam.iGeneration && d->uSourceChanges == psW->sDual.uChanges;
}

// Third outlet, every block: the dual record when it is current, else an
// empty block and, once per change, the reason on the console (only for a
// designer whose third outlet is connected or that was asked for duals).
t_int *qbank_t_dual_perform(t_int *w)
{
    sQbank_t *psW = (sQbank_t *)w[1];
    t_sample *out = (t_sample *)w[2];
    int n = (int)w[3];
    sQbank_DualState &s = psW->sDual;
    if (dual_fresh(psW)) {
        sQbank_Dual *d = s.psDual;
        // The record follows every other field of the designer's record.
        paf_type **r = d->sParam.paf_r, **i = d->sParam.paf_i;
        std::uint32_t gen = d->sParam.iGeneration;
        d->sParam = psW->sParam;
        d->sParam.paf_r = r;
        d->sParam.paf_i = i;
        d->sParam.iGeneration = gen;
        // A rebuilt bank waiting for its swap offers its own dual record.
        d->sParam.pNext = s.pNextDual;
        d->sParam.piPreparing = d->sParam.pNext ? psW->sParam.piPreparing : nullptr;
        // Readers trust the record only while it is current: its copied
        // hop and map tables are the designer's and go with a rebuild.
        qavex_t_record_add(&d->sParam, eQavexRecord::PARAM);
        qavex_t_write_param_block(out, &d->sParam);
        return w + 4;
    }
    if (s.psDual) qavex_t_record_remove(&s.psDual->sParam);
    for (int k = 0; k < n; k++) out[k] = 0;
    if ((s.bConnected || s.bRequested) &&
        (!s.bTold || s.uToldGeneration != psW->sParam.iGeneration || s.uToldChanges != s.uChanges)) {
        s.bTold = true;
        s.uToldGeneration = psW->sParam.iGeneration;
        s.uToldChanges = s.uChanges;
        qavex_t_post("qbank: dual windows out of date, send make_dual");
    }
    return w + 4;
}

t_int *qbank_t_dual_perform_empty(t_int *w)
{
    t_sample *out = (t_sample *)w[1];
    int n = (int)w[2];
    for (int k = 0; k < n; k++) out[k] = 0;
    return w + 3;
}

}  // namespace

void qbank_t_dual_new(sQbank_t *psW)
{
    psW->sDual = sQbank_DualState{};
    psW->sDual.x_outD = outlet_new(&psW->x_obj, &s_signal);
}

void qbank_t_dual_delete(sQbank_t *psW)
{
    if (psW->sDual.x_outD) outlet_free(psW->sDual.x_outD);
    psW->sDual.x_outD = nullptr;
    dual_free(psW->sDual.psDual);
    psW->sDual.psDual = nullptr;
}

void qbank_t_dual_windows_changed(sQbank_t *psW) { psW->sDual.uChanges++; }

void qbank_t_dual_dsp(sQbank_t *psW, t_signal *sp)
{
    t_outlet *o = nullptr;
    psW->sDual.bConnected = obj_starttraverseoutlet(&psW->x_obj, &o, 2) != nullptr;
    if (sp->s_n < QAVEX_WORD_PARAM + 2) {
        dsp_add(qbank_t_dual_perform_empty, 2, (t_int)sp->s_vec, (t_int)sp->s_n);
        return;
    }
    dsp_add(qbank_t_dual_perform, 3, (t_int)psW, (t_int)sp->s_vec, (t_int)sp->s_n);
}

// "make_dual": computes the duals of the current float windows and hops.
static void qbank_t_make_dual(sQbank_t *psW, t_symbol *, int, t_atom *)
{
    sQbank_DualState &s = psW->sDual;
    const sQbank_Param &p = psW->sParam;
    s.bRequested = true;
    if (!qbank_dual_within_bound(psW)) return;  // refused: everything stays as it was
    // A failed attempt leaves no duals: the third outlet stays empty.
    dual_free(s.psDual);
    s.psDual = nullptr;

    std::int32_t n = p.iq_compute_sup;
    if (n <= 0 || !p.paf_r || !p.paf_i || !p.aiDq) {
        qavex_t_error(psW, "qbank: make_dual: no float windows (send make and copy_pac2paf first)");
        return;
    }
    sQbank_Dual *d = (sQbank_Dual *)qavex_t_malloc0(sizeof(sQbank_Dual));
    paf_type **r = (paf_type **)qavex_t_malloc0((std::size_t)n * sizeof(paf_type *));
    paf_type **i = (paf_type **)qavex_t_malloc0((std::size_t)n * sizeof(paf_type *));
    sQavex_DualInfo info;
    eQavexDual e = DUAL_NO_MEMORY;
    if (d && r && i) e = qavex_dual_windows(n, p.paf_r, p.paf_i, p.aiDq, r, i, &info);
    if (e != DUAL_OK) {
        qavex_t_free(d);
        qavex_t_free(r);
        qavex_t_free(i);
        switch (e) {
        case DUAL_NO_WINDOWS:
            qavex_t_error(psW, "qbank: make_dual: no float windows (send make and copy_pac2paf first)");
            break;
        case DUAL_NOT_FINITE:
            qavex_t_error(psW, "qbank: make_dual: window %i holds values that are not finite", (int)info.iBand);
            break;
        case DUAL_TOO_LONG: qavex_t_error(psW, "qbank: make_dual: windows too long"); break;
        case DUAL_SINGULAR: qavex_t_error(psW, "qbank: make_dual: the windows pass no frequency"); break;
        default: qavex_t_error(psW, "qbank: make_dual: Out of memory"); break;
        }
        return;
    }
    new (d) sQbank_Dual{};
    d->sParam = p;
    d->sParam.paf_r = r;
    d->sParam.paf_i = i;
    d->sParam.iGeneration = qavex_t_next_generation();
    d->iBands = n;
    d->uSourceGeneration = p.iGeneration;
    d->uSourceChanges = s.uChanges;
    s.psDual = d;
    qavex_t_post("qbank: make_dual: %i bands, own-window response %g .. %g (lowest at %.0f Hz)", (int)info.iBands,
                 info.dResponseMin, info.dResponseMax, info.dMinHz);
}

void qbank_t_dual_make(sQbank_t *psW) { qbank_t_make_dual(psW, nullptr, 0, nullptr); }

const sQbank_Param *qbank_t_dual_record(const sQbank_t *psW)
{
    return psW->sDual.psDual ? &psW->sDual.psDual->sParam : nullptr;
}

void qbank_t_dual_setup(t_class *c)
{
    class_addmethod(c, (t_method)qbank_t_make_dual, gensym("make_dual"), A_GIMME, A_NULL);
}
