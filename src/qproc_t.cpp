// Coefficient processor "qproc~". One object performs one operation on the
// coefficient channels of the signal bus:
//   add        merges two channels into one fresh list-address array,
//   filter     zeroes the coefficients of a band range, in place,
//   threshold  zeroes coefficient parts smaller than a threshold, in place,
//   shift      moves coefficients to other bands (optionally of another
//              bank), with optional time alignment and phase correction.
#include "qproc_t.h"
#include "allocator.h"
#include "bus_words.h"
#include "conversions.h"
#include "m_pd.h"
#include "records.h"
#include "safety.h"
#include "window_words.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

static t_class *pcQproc_t = nullptr;

// A coefficient block that carries the tag and a usable list array.
static bool qproc_t_coeff_block_valid(const sQavex_CoeffIn &in) { return in.tag == QAVG_TAG && in.lists != nullptr; }

// Number of lists a coefficient block offers: 0 unless it is valid and has
// a positive count.
static std::int32_t qproc_t_usable_lists(const sQavex_CoeffIn &in)
{
    if (!qproc_t_coeff_block_valid(in) || in.n <= 0) return 0;
    return in.n;
}

// Calls fn(coefficient) for every valid entry of every list of the block.
template <typename F>
static void qproc_t_for_each_coeff(sQavex_Coeff **lists, std::int32_t n, F fn)
{
    for (std::int32_t k = 0; k < n; k++) {
        sQavex_Coeff *list = lists[k];
        if (list == nullptr) continue;
        std::int32_t count = list[0].numCoeff;
        for (std::int32_t j = 0; j < count; j++) fn(list[j]);
    }
}

// The float window of band q of a bank, or null when the bank has no float
// windows, q is outside its bands or the band has no window.
static const paf_type *qproc_t_band_window(const sQbank_Param *p, long long q)
{
    if (p->paf_r == nullptr || q < 0 || q >= p->iq_compute_sup) return nullptr;
    return p->paf_r[q];
}

// Period of a band's centre frequency: 1 / Theta(q * b).
static long double qproc_t_band_period(const sQbank_Param *p, std::int32_t q)
{
    double centre = (double)((long double)q * (long double)p->_b);
    return 1.0L / (long double)p->Theta(centre, p->thetadata);
}

// Position of tc within the current period of a band: tc - floor(tc/λ)·λ,
// 0 for a band centred at 0 Hz (infinite period).
static long double qproc_t_phase_position(long double tc, long double lambda)
{
    if (lambda > (long double)DBL_MAX) return 0.0L;
    return tc - floorl(tc / lambda) * lambda;
}

// Moves one coefficient from its band of bank p1 to band q1 + s of bank p2.
// A coefficient whose source or target band has no float window is left
// unchanged, as is the phase when either bank has no map to evaluate.
static void qproc_t_shift_coeff(sQavex_Coeff &c, std::int32_t s, bool align, bool phase, std::int32_t clock,
                                const sQbank_Param *p1, const sQbank_Param *p2)
{
    const std::int32_t q1 = c.band;
    const std::int32_t Q2 = p2->iq_compute_sup;
    const paf_type *w1 = qproc_t_band_window(p1, q1);
    if (w1 == nullptr || Q2 <= 0) return;
    long long target = (long long)q1 + s;
    if (target < 0) target = 0;
    if (target > Q2 - 1) target = Q2 - 1;
    const std::int32_t q2 = (std::int32_t)target;
    const paf_type *w2 = qproc_t_band_window(p2, q2);
    if (w2 == nullptr) return;
    const std::int32_t wl1 = qavex_t_window_length(w1);
    const std::int32_t wl2 = qavex_t_window_length(w2);

    std::int32_t start = c.start;
    if (align) start = qavex_t_to_int32((double)((long long)start - ((long long)wl1 - wl2) / 2));

    double val_r = c.val_r, val_i = c.val_i;
    if (phase) {
        if (p1->Theta == nullptr || p2->Theta == nullptr) return;
        const long double t0 = (long double)clock + start;
        const long double tc1 = t0 + wl1 / 2.0L;
        const long double tc2 = t0 + wl2 / 2.0L;
        const long double lambda1 = qproc_t_band_period(p1, q1);
        const long double lambda2 = qproc_t_band_period(p2, q2);
        const long double tbar1 = qproc_t_phase_position(tc1, lambda1);
        const long double tbar2 = qproc_t_phase_position(tc2, lambda2);
        long double dtheta = 0.0L;
        if (!(lambda2 > (long double)DBL_MAX)) dtheta = (tbar1 - tbar2) / lambda2 * 2.0L * QAVEX_PI;
        // A map that yields NaN or an infinite period gives no usable phase;
        // the values then keep their phase rather than turning into NaN.
        if (std::isfinite(dtheta)) {
            const long double r = hypotl((long double)val_r, (long double)val_i);
            const long double phi = atan2l((long double)val_i, (long double)val_r);
            val_r = (double)(r * cosl(phi - dtheta));
            val_i = (double)(r * sinl(phi - dtheta));
        }
    }
    c.start = start;
    c.val_r = val_r;
    c.val_i = val_i;
    c.band = q2;
}

static t_int *qproc_t_next(t_int *w, const sQproc_t *psW) { return w + psW->dsp_num_pointers + 1; }

// ---------------------------------------------------------------- block routines

t_int *qproc_t_perform_add(t_int *w)
{
    sQproc_t *psW = (sQproc_t *)w[1];
    const t_sample *in1 = (const t_sample *)w[2];
    const t_sample *in2 = (const t_sample *)w[3];
    t_sample *out = (t_sample *)w[4];

    const sQavex_CoeffIn a = qavex_t_read_coeff_block(in1);
    const sQavex_CoeffIn b = qavex_t_read_coeff_block(in2);
    const std::int32_t c1 = qproc_t_usable_lists(a);
    const std::int32_t c2 = qproc_t_usable_lists(b);
    const long long total = (long long)c1 + c2;
    if (total == 0 || total > std::numeric_limits<std::int32_t>::max()) {
        qavex_t_write_empty_block(out);
        return qproc_t_next(w, psW);
    }
    // The merged array is kept between ticks and only replaced when it is
    // too small, so a steady stream allocates nothing in the audio path.
    if (total > psW->pawc_capacity) {
        qavex_t_record_remove(psW->pawc);
        qavex_t_free(psW->pawc);
        psW->pawc_capacity = 0;
        psW->pawc = (sQavex_Coeff **)qavex_t_malloc0((std::size_t)total * sizeof(sQavex_Coeff *));
        if (psW->pawc == nullptr) {
            qavex_t_write_empty_block(out);
            return qproc_t_next(w, psW);
        }
        psW->pawc_capacity = (std::int32_t)total;
        qavex_t_record_add(psW->pawc, eQavexRecord::LISTS, psW->pawc_capacity);
    }
    if (c1 > 0) std::memcpy(psW->pawc, a.lists, (std::size_t)c1 * sizeof(sQavex_Coeff *));
    if (c2 > 0) std::memcpy(psW->pawc + c1, b.lists, (std::size_t)c2 * sizeof(sQavex_Coeff *));
    qavex_t_write_coeff_block(out, psW->pawc, (std::int32_t)total);
    return qproc_t_next(w, psW);
}

// The frame of the in-place operations: a valid coefficient block gets op
// applied to every coefficient and is passed on; anything else leaves an
// empty block.
template <typename Op>
static t_int *qproc_t_perform_in_place(t_int *w, Op op)
{
    sQproc_t *psW = (sQproc_t *)w[1];
    const sQavex_CoeffIn c = qavex_t_read_coeff_block((const t_sample *)w[2]);
    t_sample *out = (t_sample *)w[3];
    if (!qproc_t_coeff_block_valid(c)) {
        qavex_t_write_empty_block(out);
    } else {
        op(psW, c);
        qavex_t_write_coeff_block(out, c.lists, c.n);
    }
    return qproc_t_next(w, psW);
}

t_int *qproc_t_perform_filter(t_int *w)
{
    return qproc_t_perform_in_place(w, [](const sQproc_t *psW, const sQavex_CoeffIn &c) {
        const std::int32_t lower = qavex_t_to_int32(psW->float_param[0]);
        const std::int32_t upper = qavex_t_to_int32(psW->float_param[1]);
        if (lower >= upper) return;
        qproc_t_for_each_coeff(c.lists, c.n, [&](sQavex_Coeff &k) {
            if (lower <= k.band && k.band < upper) k.val_r = k.val_i = 0.0;
        });
    });
}

t_int *qproc_t_perform_threshold(t_int *w)
{
    return qproc_t_perform_in_place(w, [](const sQproc_t *psW, const sQavex_CoeffIn &c) {
        const double t = psW->float_param[0];
        qproc_t_for_each_coeff(c.lists, c.n, [&](sQavex_Coeff &k) {
            if (std::fabs(k.val_r) < t) k.val_r = 0.0;
            if (std::fabs(k.val_i) < t) k.val_i = 0.0;
        });
    });
}

t_int *qproc_t_perform_shift(t_int *w)
{
    sQproc_t *psW = (sQproc_t *)w[1];
    const t_sample *coeff_in = (const t_sample *)w[2];
    const t_sample *src_in = (const t_sample *)w[3];
    const t_sample *dst_in = (const t_sample *)w[4];
    t_sample *out = (t_sample *)w[5];

    const sQavex_CoeffIn c = qavex_t_read_coeff_block(coeff_in);
    const sQavex_ParamIn p1 = qavex_t_read_param_block(src_in);
    const sQavex_ParamIn p2 = qavex_t_read_param_block(dst_in);
    if (c.tag != QAVG_TAG || p1.tag != QAVC_TAG || p2.tag != QAVC_TAG || p1.p == nullptr || p2.p == nullptr ||
        c.lists == nullptr) {
        qavex_t_write_empty_block(out);
        return qproc_t_next(w, psW);
    }
    const std::int32_t s = qavex_t_to_int32(psW->float_param[0]);
    const bool align = psW->float_param[1] > 0;
    const bool phase = psW->float_param[2] > 0;
    const std::int32_t clock = psW->int_param[0];
    // A non-finite value gets no phase correction, whose extended-precision
    // arithmetic it would stall; it keeps its value and moves band as usual.
    bool nonfinite = false;
    qproc_t_for_each_coeff(c.lists, c.n, [&](sQavex_Coeff &k) {
        const bool finite = qavex_t_finite(k.val_r) && qavex_t_finite(k.val_i);
        nonfinite |= !finite;
        if (phase && finite) {  // subnormal parts would slow the correction
            k.val_r = qavex_t_flush_subnormal(k.val_r);
            k.val_i = qavex_t_flush_subnormal(k.val_i);
        }
        qproc_t_shift_coeff(k, s, align, phase && finite, clock, p1.p, p2.p);
    });
    qavex_t_warn_episode(&psW->iNonFiniteWarned, nonfinite,
                         "qproc~ shift: warning: coefficients with non-finite values are not phase corrected");
    qavex_t_write_coeff_block(out, c.lists, c.n);
    // Wraps instead of overflowing after about 13 hours at 44100 Hz.
    psW->int_param[0] = (std::int32_t)((std::uint32_t)clock + (std::uint32_t)QAVEX_BLOCK);
    return qproc_t_next(w, psW);
}

static t_int *qproc_t_perform_silent(t_int *w)
{
    sQproc_t *psW = (sQproc_t *)w[1];
    t_sample *out = (t_sample *)w[2];
    const int n = (int)w[3];
    if (n > 0) std::memset(out, 0, (std::size_t)n * sizeof(t_sample));
    return qproc_t_next(w, psW);
}

// ---------------------------------------------------------------- methods

static void qproc_t_dsp(sQproc_t *psW, t_signal **sp)
{
    int out;
    switch (psW->type) {
    case eQPROC_ADD: out = 2; break;
    case eQPROC_FILTER:
    case eQPROC_THRESHOLD: out = 1; break;
    case eQPROC_SHIFT:
        out = 3;
        psW->int_param[0] = 0;
        break;
    default: return;  // inert object: no routine
    }
    const int n = sp[0]->s_n;
    if (n != QAVEX_BLOCK) {
        pd_error(psW, "qproc~: block size %i not supported, needs %i; output stays empty", n, QAVEX_BLOCK);
        psW->dsp_num_pointers = 3;
        dsp_add(qproc_t_perform_silent, 3, psW, sp[out]->s_vec, (t_int)n);
        return;
    }
    switch (psW->type) {
    case eQPROC_ADD:
        psW->dsp_num_pointers = 4;
        dsp_add(qproc_t_perform_add, 4, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec);
        break;
    case eQPROC_FILTER:
        psW->dsp_num_pointers = 3;
        dsp_add(qproc_t_perform_filter, 3, psW, sp[0]->s_vec, sp[1]->s_vec);
        break;
    case eQPROC_THRESHOLD:
        psW->dsp_num_pointers = 3;
        dsp_add(qproc_t_perform_threshold, 3, psW, sp[0]->s_vec, sp[1]->s_vec);
        break;
    case eQPROC_SHIFT:
        psW->dsp_num_pointers = 5;
        dsp_add(qproc_t_perform_shift, 5, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec);
        break;
    default: break;
    }
}

static void qproc_t_bang(sQproc_t *psW)
{
    post("Qproc Buum Chzakk");
    post("Type: %i", (int)psW->type);
    for (int i = 0; i < QPROC_NUM_PARAM; i++) post("float_param[%i]=\t%f", i, (double)psW->float_param[i]);
    for (int i = 0; i < QPROC_NUM_PARAM; i++) post("int_param[%i]=\t%i", i, (int)psW->int_param[i]);
}

static void qproc_t_set_float_param(sQproc_t *psW, t_floatarg index, t_floatarg value)
{
    if (!(index >= 0 && index < QPROC_NUM_PARAM)) return;
    psW->float_param[(int)index] = value;
}

static void qproc_t_set_int_param(sQproc_t *psW, t_floatarg index, t_floatarg value)
{
    if (!(index >= 0 && index < QPROC_NUM_PARAM)) return;
    psW->int_param[(int)index] = qavex_t_to_int32(value);
}

// ---------------------------------------------------------------- creation

static _eQprocType qproc_t_type_of(const t_symbol *s)
{
    if (s == nullptr) return eQPROC_NONE;
    if (!std::strcmp(s->s_name, "add")) return eQPROC_ADD;
    if (!std::strcmp(s->s_name, "filter")) return eQPROC_FILTER;
    if (!std::strcmp(s->s_name, "threshold")) return eQPROC_THRESHOLD;
    if (!std::strcmp(s->s_name, "shift")) return eQPROC_SHIFT;
    return eQPROC_NONE;
}

// The state of an object without inlet and outlet tables or merged array.
static void qproc_t_clear(sQproc_t *psW)
{
    psW->a_in = nullptr;
    psW->a_out = nullptr;
    psW->num_inlet = 1;
    psW->num_outlet = 0;
    psW->pawc = nullptr;
    psW->pawc_capacity = 0;
}

static t_inlet *qproc_t_signal_inlet(sQproc_t *psW)
{
    return inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
}
static t_inlet *qproc_t_float_inlet(sQproc_t *psW, int i) { return floatinlet_new(&psW->x_obj, &psW->float_param[i]); }

static void *qproc_t_new(t_symbol *s, t_floatarg val0, t_floatarg val1, t_floatarg val2)
{
    sQproc_t *psW = (sQproc_t *)pd_new(pcQproc_t);
    psW->type = qproc_t_type_of(s);
    qproc_t_clear(psW);
    if (psW->type == eQPROC_NONE) {
        post("Qproc Usage: See Help Patch");
        return psW;
    }

    static const std::int32_t inlets_of_type[] = {4, 3, 2, 7};
    const std::int32_t ni = inlets_of_type[psW->type];
    psW->a_in = (t_inlet **)qavex_t_malloc0((std::size_t)ni * sizeof(t_inlet *));
    psW->a_out = (t_outlet **)qavex_t_malloc0(2 * sizeof(t_outlet *));
    if (psW->a_in == nullptr || psW->a_out == nullptr) {
        pd_error(psW, "qproc~: out of memory");
        qavex_t_free(psW->a_in);
        qavex_t_free(psW->a_out);
        qproc_t_clear(psW);
        pd_free(&psW->x_obj.ob_pd);
        return nullptr;
    }
    for (std::int32_t i = 0; i < ni; i++) psW->a_in[i] = nullptr;
    psW->num_inlet = ni;

    switch (psW->type) {
    case eQPROC_ADD:
        psW->a_in[1] = qproc_t_float_inlet(psW, 0);
        psW->a_in[2] = qproc_t_signal_inlet(psW);
        psW->a_in[3] = qproc_t_float_inlet(psW, 1);
        break;
    case eQPROC_FILTER:
        psW->a_in[1] = qproc_t_float_inlet(psW, 0);
        psW->a_in[2] = qproc_t_float_inlet(psW, 1);
        psW->float_param[0] = val0;
        psW->float_param[1] = val1;
        break;
    case eQPROC_THRESHOLD:
        psW->a_in[1] = qproc_t_float_inlet(psW, 0);
        psW->float_param[0] = val0;
        break;
    case eQPROC_SHIFT:
        psW->a_in[1] = qproc_t_signal_inlet(psW);
        psW->a_in[2] = qproc_t_float_inlet(psW, 0);
        psW->a_in[3] = qproc_t_signal_inlet(psW);
        psW->a_in[4] = qproc_t_float_inlet(psW, 0);
        psW->a_in[5] = qproc_t_float_inlet(psW, 1);
        psW->a_in[6] = qproc_t_float_inlet(psW, 2);
        psW->float_param[0] = val0;
        psW->float_param[1] = val1;
        psW->float_param[2] = val2;
        break;
    default: break;
    }
    psW->a_out[0] = outlet_new(&psW->x_obj, &s_signal);
    psW->a_out[1] = outlet_new(&psW->x_obj, &s_float);
    psW->num_outlet = 2;
    return psW;
}

static void qproc_t_delete(sQproc_t *psW)
{
    if (psW->a_in != nullptr) {
        for (std::int32_t i = 1; i < psW->num_inlet; i++)
            if (psW->a_in[i] != nullptr) inlet_free(psW->a_in[i]);
        qavex_t_free(psW->a_in);
    }
    if (psW->a_out != nullptr) {
        for (std::int32_t i = 0; i < psW->num_outlet; i++)
            if (psW->a_out[i] != nullptr) outlet_free(psW->a_out[i]);
        qavex_t_free(psW->a_out);
    }
    qavex_t_record_remove(psW->pawc);
    qavex_t_free(psW->pawc);
    qproc_t_clear(psW);
}

void qproc_t_setup()
{
    pcQproc_t = class_new(gensym("qproc~"), (t_newmethod)(void (*)(void))qproc_t_new, (t_method)qproc_t_delete,
                          sizeof(sQproc_t), CLASS_DEFAULT, A_DEFSYM, A_DEFFLOAT, A_DEFFLOAT, A_DEFFLOAT, A_NULL);
    CLASS_MAINSIGNALIN(pcQproc_t, sQproc_t, const_sig);
    class_addmethod(pcQproc_t, (t_method)qproc_t_dsp, gensym("dsp"), A_CANT, A_NULL);
    class_addbang(pcQproc_t, (t_method)qproc_t_bang);
    class_addmethod(pcQproc_t, (t_method)qproc_t_set_float_param, gensym("set_float_param"), A_DEFFLOAT, A_DEFFLOAT,
                    A_NULL);
    class_addmethod(pcQproc_t, (t_method)qproc_t_set_int_param, gensym("set_int_param"), A_DEFFLOAT, A_DEFFLOAT,
                    A_NULL);
}
