#include "qview_t.h"
#include "allocator.h"
#include "bus_tools.h"
#include "bus_words.h"
#include "conversions.h"
#include "m_pd.h"
#include "records.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

static t_class *pcQview_t = nullptr;

double qview_t_db(double mag, double floor_db)
{
    if (!(mag > 0.0)) return floor_db;
    double db = 20.0 * std::log10(mag);
    return db > floor_db ? db : floor_db;
}

// Magnitude table for n bands, all 0 (the floor). Runs in the block routine
// only when the bank's band count changes.
static void qview_t_resize(sQview_t *psW, std::int32_t n)
{
    qavex_t_free(psW->mag);
    psW->mag = nullptr;
    psW->bands = 0;
    if (n <= 0) return;
    psW->mag = (double *)qavex_t_malloc0((std::size_t)n * sizeof(double));
    if (!psW->mag) return;
    for (std::int32_t q = 0; q < n; q++) psW->mag[q] = 0.0;
    psW->bands = n;
}

static t_int *qview_t_perform(t_int *w)
{
    sQview_t *psW = (sQview_t *)w[1];
    sQavex_ParamIn pin;
    sQavex_CoeffIn cin;
    if (!qavex_t_read_bus_args(w, pin, cin)) return w + 5;
    std::int32_t S = pin.p->iq_compute_sup;
    if (S <= 0) return w + 5;
    if (S != psW->bands) qview_t_resize(psW, S);
    if (!psW->mag) return w + 5;

    // Lists and their entries come in time order, so the last one seen for a
    // band is its latest.
    for (std::int32_t k = 0; k < cin.n; k++) {
        const sQavex_Coeff *list = cin.lists[k];
        if (!list) continue;
        for (std::int32_t i = 0; i < list[0].numCoeff; i++) {
            const sQavex_Coeff &c = list[i];
            if (c.band < 0 || c.band >= psW->bands) continue;
            psW->mag[c.band] = std::hypot(c.val_r, c.val_i);
        }
    }
    if (++psW->blocks >= psW->interval) {
        psW->blocks = 0;
        clock_delay(psW->clock, 0);
    }
    return w + 5;
}

void qview_t_tick(sQview_t *psW)
{
    if (psW->bands <= 0) return;
    t_garray *a = (t_garray *)pd_findbyclass(psW->array_name, garray_class);
    if (!a) {
        if (!psW->warned) pd_error(psW, "qview~: %s: no such array", psW->array_name->s_name);
        psW->warned = true;
        return;
    }
    int size = 0;
    t_word *vec = nullptr;
    if (!garray_getfloatwords(a, &size, &vec)) {
        if (!psW->warned) pd_error(psW, "qview~: %s: bad template for array", psW->array_name->s_name);
        psW->warned = true;
        return;
    }
    if (size != psW->bands) {
        garray_resize_long(a, psW->bands);
        if (!garray_getfloatwords(a, &size, &vec) || size != psW->bands) return;
    }
    for (std::int32_t q = 0; q < psW->bands; q++) vec[q].w_float = (t_float)qview_t_db(psW->mag[q], psW->floor_db);
    garray_redraw(a);
    psW->updates++;
}

static void qview_t_dsp(sQview_t *psW, t_signal **sp)
{
    if (sp[0]->s_n != QAVEX_BLOCK)
        pd_error(psW, "qview~: block size %i not supported (needs 64), nothing is shown", (int)sp[0]->s_n);
    dsp_add(qview_t_perform, 4, psW, sp[0]->s_vec, sp[1]->s_vec, (t_int)sp[0]->s_n);
}

static void qview_t_bang(sQview_t *psW)
{
    post("qview~: array %s, every %i blocks, floor %f dB", psW->array_name->s_name, (int)psW->interval,
         (double)psW->floor_db);
    post("qview~: %i bands, %i updates", (int)psW->bands, (int)psW->updates);
    if (psW->bands <= 0) return;
    std::int32_t best = 0;
    for (std::int32_t q = 1; q < psW->bands; q++)
        if (psW->mag[q] > psW->mag[best]) best = q;
    post("qview~: loudest band %i at %f dB", (int)best, qview_t_db(psW->mag[best], psW->floor_db));
}

void qview_t_set_interval(sQview_t *psW, t_floatarg f)
{
    // Truncated; below 1 (also NaN) means every block.
    psW->interval = qavex_t_to_int32(f, {.if_nan = 1, .lo = 1});
    psW->blocks = 0;
}

void qview_t_set_floor(sQview_t *psW, t_floatarg f) { psW->floor_db = std::isfinite(f) ? f : QVIEW_START_FLOOR; }

void qview_t_set_array(sQview_t *psW, t_symbol *s)
{
    psW->array_name = s;
    psW->warned = false;
}

static void *qview_t_new(t_symbol *name)
{
    sQview_t *psW = (sQview_t *)pd_new(pcQview_t);
    psW->fConstSignal = 0;
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->array_name = name;
    psW->clock = clock_new(psW, (t_method)qview_t_tick);
    psW->interval = QVIEW_START_INTERVAL;
    psW->floor_db = QVIEW_START_FLOOR;
    psW->blocks = psW->bands = psW->updates = 0;
    psW->mag = nullptr;
    psW->warned = false;
    return psW;
}

static void qview_t_delete(sQview_t *psW)
{
    clock_free(psW->clock);
    inlet_free(psW->x_inC);
    qavex_t_free(psW->mag);
    psW->mag = nullptr;
}

void qview_t_setup()
{
    pcQview_t = qavex_t_tool_class("qview~", (t_newmethod)(t_method)qview_t_new, (t_method)qview_t_delete,
                                   sizeof(sQview_t), A_DEFSYMBOL, (int)offsetof(sQview_t, fConstSignal),
                                   (t_method)qview_t_dsp, (t_method)qview_t_bang);
    class_addmethod(pcQview_t, (t_method)qview_t_set_interval, gensym("set_interval"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQview_t, (t_method)qview_t_set_floor, gensym("set_floor"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQview_t, (t_method)qview_t_set_array, gensym("set_array"), A_DEFSYMBOL, A_NULL);
}
