// The filter-bank designer qbank_tilde: the object, its selector table and its reports.
#include "qbank_t.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "allocator.h"
#include "bank_rebuild.h"
#include "bus_words.h"
#include "conversions.h"
#include "latency_bound.h"
#include "m_pd.h"
#include "patch_paths.h"
#include "qavex_t_array_functions.h"
#include "qbank_array_commands.h"
#include "qbank_bands.h"
#include "qbank_dual.h"
#include "qbank_layout.h"
#include "qbank_windows.h"
#include "records.h"
#include "reports.h"
#include "safety.h"
#include "sample_rate.h"
#include "window_words.h"

static t_class *pcQbank_t = nullptr;

static std::int32_t s_iBangCounter = 0;  // shared by all designers, never reset

static void qbank_t_make(sQbank_t *psW, t_floatarg f)
{
    qbank_t_dual_windows_changed(psW);
    qbank_latency_make(psW, qavex_t_to_int32(f, QAVEX_NAN_LOWEST));
    qbank_t_make_windows(psW, qavex_t_to_int32(f, QAVEX_NAN_LOWEST));
}
static void qbank_t_shorten(sQbank_t *psW, t_floatarg f)
{
    qbank_t_dual_windows_changed(psW);
    qbank_t_shorten_windows(psW, qavex_t_to_int32(f, QAVEX_NAN_LOWEST));
    qbank_latency_shorten(psW, qavex_t_to_int32(f, QAVEX_NAN_LOWEST));
}
static void qbank_t_test(sQbank_t *psW, t_floatarg f)
{
    qbank_t_test_windows(psW, qavex_t_to_int32(f, QAVEX_NAN_LOWEST));
}

static t_int *qbank_t_perform(t_int *w)
{
    sQbank_t *psW = (sQbank_t *)w[1];
    t_sample *out = (t_sample *)w[2];
    qbank_rebuild_perform(psW);
    qavex_t_write_param_block(out, &psW->sParam);
    return w + 3;
}

static t_int *qbank_t_perform_empty(t_int *w)
{
    t_sample *out = (t_sample *)w[1];
    int n = (int)w[2];
    for (int i = 0; i < n; i++) out[i] = 0;
    return w + 3;
}

static void qbank_t_dsp(sQbank_t *psW, t_signal **sp)
{
    // The parameter block needs words 0..13; a smaller block cannot hold it.
    if (sp[0]->s_n < QAVEX_WORD_PARAM + 2) {
        pd_error(psW, "qbank_tilde: block size %i too small for the parameter channel", (int)sp[0]->s_n);
        dsp_add(qbank_t_perform_empty, 2, (t_int)sp[0]->s_vec, (t_int)sp[0]->s_n);
        qbank_t_dual_dsp(psW, sp[1]);
        return;
    }
    dsp_add(qbank_t_perform, 2, (t_int)psW, (t_int)sp[0]->s_vec);
    qbank_t_dual_dsp(psW, sp[1]);
}

static void qbank_t_bang(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    s_iBangCounter++;
    qavex_t_post_bang_remark(s_iBangCounter);
    double f0 = p->thetadata ? p->thetadata[0] : NAN, k = p->thetadata ? p->thetadata[1] : NAN;
    post("\n-----------------Qavex--------------:");
    post("WinType: \t%i", (int)p->eWindowType);
    post("ThetaType: \t%i", (int)p->eThetaType);
    post("ThetaPath: \t%s", p->thetapath);
    post("qsup: \t%i", (int)p->iq_compute_sup);
    post("Essential Bandwidth: \t%f Hz", p->_K);
    post("R: \t %f", p->_R);
    post("T_window: \t%f\ts", p->dWinlength_window);
    post("T_compute: \t%f\ts, C_T_c:  \t%f \ts, \t, T_h/T_c:\t %f \t", p->dWinlength_compute, p->C_T_c,
         p->dWinlength_window / p->dWinlength_compute);
    post("T_max: \t%f\ts", p->T_max);
    post("Longest Frame paf: \t%i smp=\t%f\ts", (int)p->iLongestFrame_paf,
         p->iLongestFrame_paf / (double)qbank_sample_rate(psW->sRate));
    post("a: \t%f[s]=%f\tsmp, b: \t%f\tHz, C_b: \t%f", p->_a, p->_a * (double)qbank_sample_rate(psW->sRate), p->_b,
         p->C_b);
    post("f0: \t%f\tHz, k: \t%f", f0, k);
    post("C_d: \t%f", p->C_d);
    post("C_cut: \t%f", p->C_cut);
    post("ComputeType: \t%i", (int)p->iComputeType);

    float S1 = 0, S2 = 0;
    bool complete = true;
    for (std::int32_t q = 0; q < p->iq_compute_sup && complete; q++) {
        if (!p->paf_r || !p->paf_r[q] || !p->aiDq) {
            complete = false;
            break;
        }
        float Nq = (float)qavex_t_window_length(p->paf_r[q]);
        S1 += Nq / (float)p->aiDq[q];
        S2 += Nq;
    }
    if (complete) {
        post("4 Sum_q T_q/d_q: \t%f", (double)(4 * S1));
        post("4 Sum_q T_q: \t%f\t smp", (double)(4 * S2));
        post("1/N_q Sum_q T_q: \t%f\t smp", (double)(S2 / (float)p->iq_compute_sup));
    }
    qavex_t_post_buildtime();
    post("Var= \t%f", (double)psW->var);
}

static void qbank_t_list(sQbank_t *, t_symbol *, int, t_atom *) { post("test"); }

static void qbank_t_paf2list(sQbank_t *psW, t_symbol *, int argc, t_atom *argv)
{
    sQbank_Param *p = &psW->sParam;
    if (argc < 1) {
        pd_error(psW, "Falscher Aufruf der Runktion paf2list");
        return;
    }
    std::int32_t n = qavex_t_to_int32(atom_getfloat(argv), QAVEX_NAN_LOWEST);
    if (n < 0 || n >= p->iq_compute_sup || !p->paf_r || !p->paf_r[n]) return;
    std::int32_t N = qavex_t_window_length(p->paf_r[n]);
    int extra = argc >= 2 ? 1 : 0;
    std::size_t count = (std::size_t)N + extra;
    if (count == 0) return;
    t_atom *atoms = (t_atom *)qavex_t_malloc0(count * sizeof(t_atom));
    if (!atoms) return;
    if (extra) SETFLOAT(&atoms[0], atom_getfloat(argv + 1));
    for (std::int32_t i = 0; i < N; i++) SETFLOAT(&atoms[extra + i], p->paf_r[n][i]);
    outlet_list(psW->x_outM, &s_list, (int)count, atoms);
    qavex_t_free(atoms);
}

static void qbank_t_send_windows(sQbank_t *psW, t_symbol *, int, t_atom *)
{
    t_atom a[3];
    SETFLOAT(&a[0], (t_float)QAVC_TAG);
    SETFLOAT(&a[1], (t_float)QAVC_TAG);
    SETFLOAT(&a[2], (t_float)(std::uintptr_t)psW);
    outlet_list(psW->x_outM, &s_list, 3, a);
}

static void qbank_t_set_theta_type(sQbank_t *psW, t_symbol *, int argc, t_atom *argv)
{
    sQbank_Param *p = &psW->sParam;
    if (argc < 1) {
        post("set_theta_type: needs at least 1 parameter");
        return;
    }
    std::int32_t type = qavex_t_to_int32(atom_getfloat(argv), QAVEX_NAN_LOWEST);
    if (argc >= 2) qavex_atom_file_name(argv + 1, p->thetapath, sizeof p->thetapath);
    else p->thetapath[0] = 0;
    p->thetapath[sizeof p->thetapath - 1] = 0;
    p->eThetaType = (_eThetaType)type;
}

// Setting messages. A value that fails its range test (NaN included) is
// replaced by the default.
static void qbank_t_set_window_type(sQbank_t *psW, t_floatarg f)
{
    psW->sParam.eWindowType = (_eWindowType)qavex_t_to_int32(f, QAVEX_NAN_LOWEST);
}
static void qbank_t_set_C_b(sQbank_t *psW, t_floatarg f) { psW->sParam.C_b = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_C_T_c(sQbank_t *psW, t_floatarg f) { psW->sParam.C_T_c = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_T_max(sQbank_t *psW, t_floatarg f) { psW->sParam.T_max = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_C_d(sQbank_t *psW, t_floatarg f) { psW->sParam.C_d = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_C_q(sQbank_t *psW, t_floatarg f) { psW->sParam.C_q = f >= 0 ? (double)f : 0.0; }
static void qbank_t_set_C_SR(sQbank_t *psW, t_floatarg f)
{
    psW->sParam.C_SR = qavex_t_to_int32(f > 0 ? (long double)f : 1.0L, QAVEX_NAN_LOWEST);
}
static void qbank_t_set_K(sQbank_t *psW, t_floatarg f) { psW->sParam._K = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_compute_type(sQbank_t *psW, t_floatarg f) { psW->sParam.iComputeType = f == 0 ? 0 : 1; }
static void qbank_t_set_thetaf0(sQbank_t *psW, t_floatarg f)
{
    if (psW->sParam.thetadata) psW->sParam.thetadata[0] = f > 0 ? (double)f : 10.0;
}
static void qbank_t_set_thetak(sQbank_t *psW, t_floatarg f)
{
    if (psW->sParam.thetadata) psW->sParam.thetadata[1] = f > 1 ? (double)f : 12.0;
}
static void qbank_t_set_C_cut(sQbank_t *psW, t_floatarg f) { psW->sParam.C_cut = f >= 0 ? (double)f : 1.0; }
static void qbank_t_initialize_msg(sQbank_t *psW, t_floatarg f) { qbank_t_initialize(psW, f); }
static void qbank_t_set_samplerate(sQbank_t *psW, t_floatarg f) { qbank_sample_rate_request(&psW->sRate, f); }
static void qbank_t_set_var(sQbank_t *psW, t_floatarg f) { psW->var = f; }
static void qbank_t_set_winlength_window(sQbank_t *psW, t_floatarg f) { psW->sParam.dWinlength_window = f; }
static void qbank_t_set_winlength_compute(sQbank_t *psW, t_floatarg f) { psW->sParam.dWinlength_compute = f; }
static void qbank_t_set_a(sQbank_t *psW, t_floatarg f) { psW->sParam._a = psW->sParam._aTemp = f; }
static void qbank_t_set_b(sQbank_t *psW, t_floatarg f) { psW->sParam._b = psW->sParam._bTemp = f; }

static void qbank_t_get_first_zero_paf(sQbank_t *psW, t_floatarg f)
{
    sQbank_Param *p = &psW->sParam;
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_ONE);
    const std::int32_t n = sel.first;
    if (n >= sel.last || !p->paf_r || !p->paf_r[n] || !psW->pac) return;
    float r = (float)qavex_t_get_first_zero_array(&psW->pac[n]);
    outlet_float(psW->x_outM, r);
    post("First Real Negative Value at:");
    post("paf[%f]: %f", (double)f, (double)r);
}

static void qbank_t_get_window_length_paf(sQbank_t *psW, t_floatarg f)
{
    sQbank_Param *p = &psW->sParam;
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_ONE);
    const std::int32_t n = sel.first;
    if (n >= sel.last || !p->paf_r || !p->paf_r[n]) return;
    outlet_float(psW->x_outM, (t_float)qavex_t_window_length(p->paf_r[n]));
}

static void qbank_t_get_window_length_pac(sQbank_t *psW, t_floatarg f)
{
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_ONE);
    const std::int32_t n = sel.first;
    if (n >= sel.last) return;
    float len = psW->pac ? (float)qavex_t_get_window_length_array(&psW->pac[n]) : 0.0f;
    outlet_float(psW->x_outM, len);
}

static void qbank_t_first_last(sQbank_t *psW, std::int32_t q, pac_type &first, pac_type &last, std::int32_t &len)
{
    first = last = pac_type(0.0, 0.0);
    len = 0;
    if (!psW->pac) return;
    first = qavex_t_first_value_array(&psW->pac[q]);
    last = qavex_t_last_value_array(&psW->pac[q]);
    len = qavex_t_get_window_length_array(&psW->pac[q]);
}

static void qbank_t_print_first_and_last_value(sQbank_t *psW, t_floatarg f)
{
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_EVERY);
    pac_type first, last;
    std::int32_t len;
    if (!sel.all) {
        const std::int32_t n = sel.first;
        qbank_t_first_last(psW, n, first, last, len);
        post("pac[%i][0] = \t %f+I*%f, \tpac[%i][%i] = \t %f+I*%f,", (int)n, first.real(), first.imag(), (int)n,
             (int)len, last.real(), last.imag());
        return;
    }
    post("Ausgabe der letzten Werte aller Arrays.");
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        qbank_t_first_last(psW, q, first, last, len);
        post("pac[%i][0] = \t %f+I*%f, \tpac[%i][%i] = \t %f+I*%f", (int)q, first.real(), first.imag(), (int)q,
             (int)len, last.real(), last.imag());
    }
    post("-------------");
}

static void qbank_t_print_band(sQbank_t *psW, t_floatarg f)
{
    sQbank_Param *p = &psW->sParam;
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_PRINT);
    post("normalized Overlap: 4.59615*sigma/d_q, This gives the usual values for a raised cosine window");
    post("Band: \t \t, Centerfrq.:\t  \t \t[Hz], \tBW: \t \t[Hz], d = \t= \t[smp], Variance = \t[s], Overlap = \t[1] ");
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        double centre = (p->Theta && p->thetadata) ? p->Theta((double)(q * (long double)p->_b), p->thetadata) : NAN;
        double bw = p->aldDq_real ? 1.0 / p->aldDq_real[q] : NAN;
        std::int32_t d = p->aiDq ? p->aiDq[q] : -1;
        double length = (p->paf_r && p->paf_r[q]) ? (double)qavex_t_window_length(p->paf_r[q]) : NAN;
        double sigma = psW->pac ? qavex_t_abs_sigma_coarse_array(&psW->pac[q]).real() : NAN;
        post("Band \t%3i\t: Centerfrq.:\t%8.2f\t[Hz], \tBW: \t%8.2f\t[Hz], d = \t%4i\t[smp], Length = \t%6.2f [smp], "
             "sigma = \t%6.2f [smp], norm. Overlap = \t%6.2f [1]",
             (int)q, centre, bw, (int)d, length, sigma, sigma * 4.59615 / d);
    }
    post("---------------");
}

static void *qbank_t_new(t_floatarg)
{
    sQbank_t *psW = (sQbank_t *)pd_new(pcQbank_t);
    qbank_t_set_pointers_to_NULL(psW);
    psW->sPatchDir = qavex_current_patch_dir();
    psW->x_outC = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outM = outlet_new(&psW->x_obj, nullptr);
    qbank_t_dual_new(psW);
    qbank_t_set_start_values(psW);
    qbank_t_initialize(psW, 0);
    qavex_t_record_add(&psW->sParam, eQavexRecord::PARAM);
    return psW;
}

static void qbank_t_delete(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    qbank_rebuild_free(psW);
    qavex_t_record_remove(p);
    outlet_free(psW->x_outC);
    outlet_free(psW->x_outM);
    psW->x_outC = psW->x_outM = nullptr;
    qbank_t_dual_delete(psW);
    qbank_t_free_layout(psW);
    qavex_t_free(p->thetadata);
    p->thetadata = nullptr;
}

static std::int32_t qbank_t_test_compileparam() { return qavex_test_compileparam(); }

void qbank_t_setup()
{
    if (qbank_t_test_compileparam() != 0) {
        post("External Qavex: Plugin Compiled with wrong parameters.");
        return;
    }
    t_class *c = class_new(gensym("qbank_tilde"), (t_newmethod)(t_method)qbank_t_new, (t_method)qbank_t_delete,
                           sizeof(sQbank_t), CLASS_DEFAULT, A_DEFFLOAT, A_NULL);
    pcQbank_t = c;
    class_addmethod(c, (t_method)qbank_t_dsp, gensym("dsp"), A_CANT, A_NULL);
    class_addbang(c, (t_method)qbank_t_bang);
    class_addlist(c, (t_method)qbank_t_list);
    class_addmethod(c, (t_method)qbank_t_make, gensym("make"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_shorten, gensym("shorten"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_test, gensym("test"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_copy_pac2paf, gensym("copy_pac2paf"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_copy_paf2pac, gensym("copy_paf2pac"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_paf2list, gensym("paf2list"), A_GIMME, A_NULL);
    class_addmethod(c, (t_method)qbank_t_send_windows, gensym("send_windows"), A_GIMME, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_window_type, gensym("set_window_type"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_theta_type, gensym("set_theta_type"), A_GIMME, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_C_b, gensym("set_C_b"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_C_T_c, gensym("set_C_T_c"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_T_max, gensym("set_T_max"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_C_d, gensym("set_C_d"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_C_q, gensym("set_C_q"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_C_SR, gensym("set_C_SR"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_K, gensym("set_K"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_compute_type, gensym("set_compute_type"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_thetaf0, gensym("set_thetaf0"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_thetak, gensym("set_thetak"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_C_cut, gensym("set_C_cut"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_samplerate, gensym("set_samplerate"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_initialize_msg, gensym("initialize"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_var, gensym("set_var"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_winlength_window, gensym("set_winlength_window"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_winlength_compute, gensym("set_winlength_compute"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_a, gensym("set_a"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_b, gensym("set_b"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_get_first_zero_paf, gensym("get_first_zero_paf"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_get_window_length_paf, gensym("get_window_length_paf"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_get_window_length_pac, gensym("get_window_length_pac"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_print_first_and_last_value, gensym("print_first_and_last_value"), A_DEFFLOAT,
                    A_NULL);
    class_addmethod(c, (t_method)qbank_t_print_band, gensym("print_band"), A_DEFFLOAT, A_NULL);
    qbank_t_setup_array_commands(c);
    qbank_t_dual_setup(c);
    qbank_rebuild_setup(c);
    qbank_latency_setup(c);
}
