// Array commands of the designer: messages that apply the array toolkit to its complex windows.
#include "qbank_array_commands.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "conversions.h"
#include "m_pd.h"
#include "qavex_t_array_functions.h"
#include "qbank_bands.h"
#include "qbank_dual.h"
#include "qbank_windows.h"
#include "records.h"
#include "rounding.h"
#include "safety.h"
#include "window_words.h"
#include "work_bounds.h"

// Messages that apply the array toolkit to the designer's complex windows.
// They change only the pac arrays; the analysis and synthesis objects see
// a change after the next "copy_pac2paf".

static void qbank_ac_send_pair(sQbank_t *psW, pac_type c)
{
    t_atom av[2];
    SETFLOAT(&av[0], (t_float)c.real());
    SETFLOAT(&av[1], (t_float)c.imag());
    outlet_list(psW->x_outM, &s_list, 2, av);
}

// Band number of "mult" and "cycle"; a refused one is reported.
static sQbank_Bands qbank_ac_atom_bands(const sQbank_t *psW, const t_atom *a)
{
    const sQbank_Bands sel = qbank_t_select_bands(psW, atom_getfloat(a), QBANK_BANDS_ATOMS);
    if (!sel.ok) post("cycle: Array Index zu klein/gross");
    return sel;
}

// Applies a one-argument toolkit function to every selected band.
static void qbank_ac_each(sQbank_t *psW, t_floatarg fAN, void (*f)(pac_type **))
{
    sQbank_Bands sel = qbank_t_select_bands(psW, fAN, QBANK_BANDS_ARRAY);
    if (sel.first < sel.last) qbank_t_dual_windows_changed(psW);
    for (std::int32_t q = sel.first; q < sel.last; q++) f(&psW->pac[q]);
}

static void qbank_t_abs(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_abs_array); }
static void qbank_t_componentabs(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_componentabs_array); }
static void qbank_t_ln(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_ln_array); }
static void qbank_t_set_nan_to_zero(sQbank_t *psW, t_floatarg fAN)
{
    qbank_ac_each(psW, fAN, qavex_t_set_nan_to_zero_array);
}
static void qbank_t_set_inf_to_zero(sQbank_t *psW, t_floatarg fAN)
{
    qbank_ac_each(psW, fAN, qavex_t_set_inf_to_zero_array);
}
static void qbank_t_normalize(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_normalize_array); }
static void qbank_t_fft(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_fft_array); }
static void qbank_t_differentiate(sQbank_t *psW, t_floatarg fAN)
{
    qbank_ac_each(psW, fAN, qavex_t_differentiate_array);
}
static void qbank_t_integrate(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_integrate_array); }
static void qbank_t_imag_plus_real(sQbank_t *psW, t_floatarg fAN)
{
    qbank_ac_each(psW, fAN, qavex_t_imag_plus_real_array);
}

// Values an array command writes into the windows must be finite: an
// infinite or NaN one is refused before any window changes.
static bool qbank_t_values_finite(sQbank_t *psW, const char *selector, std::initializer_list<double> values)
{
    for (double v : values)
        if (!qavex_t_finite(v)) {
            pd_error(psW, "qbank_tilde %s: value %g is not finite; windows unchanged", selector, v);
            return false;
        }
    return true;
}

// Magnitudes at or below fCutLow become fCutLow, at or above fCutHigh
// become fCutHigh; the phase is kept.
static void qbank_t_cut(sQbank_t *psW, t_floatarg fAN, t_floatarg fCutLow, t_floatarg fCutHigh)
{
    if (!qbank_t_values_finite(psW, "cut", {fCutLow, fCutHigh})) return;
    sQbank_Bands sel = qbank_t_select_bands(psW, fAN, QBANK_BANDS_ARRAY);
    if (sel.first < sel.last) qbank_t_dual_windows_changed(psW);
    for (std::int32_t q = sel.first; q < sel.last; q++)
        qavex_t_cut_array(&psW->pac[q], fCutLow, fCutHigh, pac_type(fCutLow, 0.0), pac_type(fCutHigh, 0.0));
}

// Moving average whose length follows each window's first negative real
// part: unchanged for one band, divided by fFactor and limited by fMax for
// all bands.
static void qbank_t_floating_average(sQbank_t *psW, t_floatarg fAN, t_floatarg fFactor, t_floatarg fMax)
{
    // A factor whose integer part is 0 would divide by zero; it acts as 1.
    // A NaN factor has no integer part either.
    if (!(fFactor <= -1.0f || fFactor >= 1.0f)) fFactor = 1.0f;
    if (fMax < 0) post("Falsche Parameter bei qbank_t_floating_average");
    sQbank_Bands sel = qbank_t_select_bands(psW, fAN, QBANK_BANDS_ARRAY);
    if (sel.first < sel.last) qbank_t_dual_windows_changed(psW);
    if (!sel.all) {
        for (std::int32_t q = sel.first; q < sel.last; q++)
            qavex_t_floating_average_array(&psW->pac[q], qavex_t_get_first_zero_array(&psW->pac[q]));
        return;
    }
    std::int32_t divisor = qavex_t_to_int32(fFactor);  // |divisor| >= 1 here
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        std::int32_t iWL = qavex_t_get_first_zero_array(&psW->pac[q]);
        post("First Zero: %i", (int)iWL);
        iWL = (std::int32_t)((std::int64_t)iWL / divisor);
        if (fFactor < 0) iWL = qavex_t_to_int32(-(double)fFactor);
        if (fMax != 0 && fMax < (t_floatarg)iWL) iWL = qavex_t_to_int32(fMax);
        post("Averaging mit Laenge iWL %i", (int)iWL);
        qavex_t_floating_average_array(&psW->pac[q], iWL);
    }
}

// Reports (fChangeOffset exactly 0) or replaces (|fChangeOffset| >= 1) the
// mean of each band; a single band also sends the old mean as a list.
static void qbank_t_make_dc_offset(sQbank_t *psW, t_floatarg fAN, t_floatarg fChangeOffset, t_floatarg fDCOffset_real,
                                   t_floatarg fDCOffset_imag)
{
    if (!qbank_t_values_finite(psW, "make_dc_offset", {fDCOffset_real, fDCOffset_imag})) return;
    sQbank_Bands sel = qbank_t_select_bands(psW, fAN, QBANK_BANDS_ARRAY);
    // A NaN argument is not 0, so it changes the mean like any other.
    std::int32_t iChange = std::isnan(fChangeOffset) ? 1 : qavex_t_to_int32(fChangeOffset);
    pac_type cNewMean(fDCOffset_real, fDCOffset_imag);
    pac_type m(0.0, 0.0);
    if (iChange != 0 && sel.first < sel.last) qbank_t_dual_windows_changed(psW);
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        m = qavex_t_make_dc_offset_array(&psW->pac[q], iChange, cNewMean);
        if (fChangeOffset == 0) post("Offset[%i]:%f+I*%f", (int)q, m.real(), m.imag());
    }
    if (!sel.all && sel.last > sel.first) qbank_ac_send_pair(psW, m);
}

// Inner products normalised by both lengths: 1 for a window with itself.
static void qbank_t_inner_product(sQbank_t *psW, t_floatarg fAN1, t_floatarg fAN2)
{
    post("inner_product");
    sQbank_Bands s1 = qbank_t_select_bands(psW, fAN1, QBANK_BANDS_ARRAY);
    sQbank_Bands s2 = qbank_t_select_bands(psW, fAN2, QBANK_BANDS_ARRAY);
    bool wide = s1.all && s2.all;
    pac_type c(0.0, 0.0);
    for (std::int32_t q1 = s1.first; q1 < s1.last; q1++)
        for (std::int32_t q2 = s2.first; q2 < s2.last; q2++) {
            pac_type ip = qavex_t_inner_product_array(&psW->pac[q1], &psW->pac[q2]);
            long double l1 = qavex_t_length_of_vector_array(&psW->pac[q1]);
            long double l2 = qavex_t_length_of_vector_array(&psW->pac[q2]);
            c = pac_type((double)((long double)ip.real() / l1 / l2), (double)((long double)ip.imag() / l1 / l2));
            if (wide) post("[%i]*[%i]/L=\t%+8e+\tI*%+8e", (int)q1, (int)q2, c.real(), c.imag());
            else post("[%i]*[%i]/L=\t%e+\tI*%e", (int)q1, (int)q2, c.real(), c.imag());
        }
    if (!s1.all && !s2.all && s1.last > s1.first) qbank_ac_send_pair(psW, c);
}

static void qbank_t_length_of_vector(sQbank_t *psW, t_floatarg fAN)
{
    sQbank_Bands sel = qbank_t_select_bands(psW, fAN, QBANK_BANDS_ARRAY);
    for (std::int32_t q = sel.first; q < sel.last; q++)
        post("Length(%i)=%f", (int)q, qavex_t_length_of_vector_array(&psW->pac[q]));
}

static void qbank_t_prolong(sQbank_t *psW, t_floatarg fAN, t_floatarg fN, t_floatarg fWhere, t_floatarg fRandom)
{
    sQbank_Bands sel = qbank_t_select_bands(psW, fAN, QBANK_BANDS_ARRAY);
    std::int32_t iN = qavex_t_to_int32(fN), iWhere = qavex_t_to_int32(fWhere), iRandom = qavex_t_to_int32(fRandom);
    if (iN > 0 && iWhere >= PROLONG_START && iWhere <= PROLONG_END && psW->pac) {
        // Counted with the largest insertion a random count can draw.
        long double add = 0, largest = 0;
        for (std::int32_t q = sel.first; q < sel.last; q++)
            if (psW->pac[q]) {
                add += (long double)iN * sizeof(pac_type);
                largest = std::max(largest, ((long double)qavex_t_window_length(psW->pac[q]) + iN) * sizeof(pac_type));
            }
        if (!qbank_t_windows_fit(psW, "qbank_tilde prolong", 0, 0, false, false, add, largest)) return;
    }
    if (sel.first < sel.last) qbank_t_dual_windows_changed(psW);
    for (std::int32_t q = sel.first; q < sel.last; q++) qavex_t_prolong_array(&psW->pac[q], iN, iWhere, iRandom);
}

// mult band kind real imag [random]
static void qbank_t_mult(sQbank_t *psW, t_symbol *, int argc, t_atom *argv)
{
    if (argc < 4) {
        post("Aufruf mult: Arraynummer welche_Art Wert_Real Wert_Complex [Random]");
        return;
    }
    const sQbank_Bands sel = qbank_ac_atom_bands(psW, &argv[0]);
    if (!sel.ok) return;
    static const struct {
        const char *name;
        std::int32_t kind;
    } kinds[] = {{"TIMES_VAL", TIMES_VAL}, {"TIMES_CONJ", TIMES_CONJ}, {"SQUARE", 12},
                 {"TIMES_N", TIMES_N},     {"DIV_N", DIV_N},           {"RECIPROCAL", RECIPROCAL},
                 {"CONJUGATE", CONJUGATE}, {"NORMALIZE", NORMALIZE}};
    char text[256];
    atom_string(&argv[1], text, sizeof text);
    std::int32_t kind = TIMES_VAL;
    if (argv[1].a_type == A_SYMBOL)
        for (const auto &k : kinds)
            if (std::strcmp(text, k.name) == 0) kind = k.kind;
    pac_type cVal(atom_getfloat(&argv[2]), atom_getfloat(&argv[3]));
    t_float fRandom = argc >= 5 ? atom_getfloat(&argv[4]) : 0;
    if (!qbank_t_values_finite(psW, "mult", {cVal.real(), cVal.imag()})) return;
    if (sel.first < sel.last) qbank_t_dual_windows_changed(psW);

    if (!sel.all) {
        for (std::int32_t q = sel.first; q < sel.last; q++) qavex_t_mult_array(&psW->pac[q], (_eMultType)kind, cVal);
        return;
    }
    long double magnitude = std::hypot(cVal.real(), cVal.imag());
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        pac_type factor = cVal;
        if (fRandom != 0) {
            // Same magnitude, random phase in [0, pi/2].
            int r1 = std::rand();
            int r2 = std::rand();
            long double w = std::hypot((double)r2, (double)r1);
            if (w == 0) factor = pac_type((double)magnitude, 0.0);  // both draws 0: no phase to take
            else factor = pac_type((double)(r2 * (magnitude / w)), (double)(r1 * (magnitude / w)));
        }
        qavex_t_mult_array(&psW->pac[q], (_eMultType)kind, factor);
    }
}

// cycle band shift: shift is a number of elements or N/d, +N/d, -N/d (each
// window turned by its length divided by d).
static void qbank_t_cycle(sQbank_t *psW, t_symbol *, int argc, t_atom *argv)
{
    if (!psW->pac) return;
    if (argc < 2) {
        post("cycle: Falscher Aufruf der Funktion");
        return;
    }
    const sQbank_Bands sel = qbank_ac_atom_bands(psW, &argv[0]);
    if (!sel.ok) return;
    // A fixed shift is reduced per band modulo its length, which is what the
    // circular shift does anyway; the float may exceed the int32 range.
    double fixed = std::trunc((double)atom_getfloat(&argv[1]));
    if (std::isnan(fixed)) fixed = 0;
    std::int32_t divisor = 0;
    if (fixed == 0) {
        char text[8];
        atom_string(&argv[1], text, sizeof text);
        const char *p = text;
        int sign = 1;
        if (*p == '+' || *p == '-') sign = (*p++ == '-') ? -1 : 1;
        if (p[0] == 'N' && p[1] == '/' && p[2] >= '1' && p[2] <= '9') divisor = sign * (p[2] - '0');
    }
    if (sel.first < sel.last) qbank_t_dual_windows_changed(psW);
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        pac_type **slot = &psW->pac[q];
        std::int32_t n = qavex_t_get_window_length_array(slot);
        if (!*slot && !sel.all) return;
        if (n == 0) continue;
        std::int32_t shift = divisor ? n / divisor : (std::int32_t)std::fmod(fixed, (double)n);
        if (shift != 0) qavex_t_cycle_array(slot, shift);
    }
}

// array_synopsis band | array_synopsis first end
static void qbank_t_array_synopsis(sQbank_t *psW, t_symbol *s, int argc, t_atom *argv)
{
    if (argc < 1) {
        post("Falscher Aufruf der Funktion array_synopsis, %s", s->s_name);
        return;
    }
    const std::int32_t n = psW->sParam.iq_compute_sup > 0 ? psW->sParam.iq_compute_sup : 0;
    pac_type *none = nullptr;
    auto slot = [&](std::int32_t q) { return psW->pac ? &psW->pac[q] : &none; };
    if (argc == 1) {
        const sQbank_Bands sel = qbank_t_select_bands(psW, atom_getfloat(&argv[0]), QBANK_BANDS_ATOMS);
        if (!sel.ok) {
            post("Falscher Aufruf der Funktion array_synopsis, %s", s->s_name);
            return;
        }
        if (!sel.all) {
            qavex_t_array_synopsis_array(slot(sel.first));
            return;
        }
        for (std::int32_t q = sel.first; q < sel.last; q++)
            if (psW->pac[q]) {
                post("Array pac[%i]", (int)q);
                qavex_t_array_synopsis_array(&psW->pac[q]);
            }
        return;
    }
    std::int32_t a = qavex_t_to_int32(atom_getfloat(&argv[0]));
    std::int32_t b = qavex_t_to_int32(atom_getfloat(&argv[1]));
    if (a < 0) a = 0;
    if (b > n) b = n;
    for (std::int32_t q = a; q < b; q++) qavex_t_array_synopsis_array(slot(q));
}

static void qbank_t_round_up_to_multiple_of_small_primes(sQbank_t *psW, t_floatarg n, t_floatarg maxprime)
{
    qavex_t_round_message(n, maxprime, psW);
}

void qbank_t_setup_array_commands(t_class *c)
{
    class_addmethod(c, (t_method)qbank_t_abs, gensym("abs"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_componentabs, gensym("componentabs"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_ln, gensym("ln"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_mult, gensym("mult"), A_GIMME, A_NULL);
    class_addmethod(c, (t_method)qbank_t_cut, gensym("cut"), A_DEFFLOAT, A_DEFFLOAT, A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_nan_to_zero, gensym("set_nan_to_zero"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_set_inf_to_zero, gensym("set_inf_to_zero"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_normalize, gensym("normalize"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_cycle, gensym("cycle"), A_GIMME, A_NULL);
    class_addmethod(c, (t_method)qbank_t_fft, gensym("fft"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_floating_average, gensym("floating_average"), A_DEFFLOAT, A_DEFFLOAT,
                    A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_differentiate, gensym("differentiate"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_integrate, gensym("integrate"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_imag_plus_real, gensym("imag_plus_real"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_make_dc_offset, gensym("make_dc_offset"), A_DEFFLOAT, A_DEFFLOAT, A_DEFFLOAT,
                    A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_inner_product, gensym("inner_product"), A_DEFFLOAT, A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_length_of_vector, gensym("length_of_vector"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_prolong, gensym("prolong"), A_DEFFLOAT, A_DEFFLOAT, A_DEFFLOAT, A_DEFFLOAT,
                    A_NULL);
    class_addmethod(c, (t_method)qbank_t_array_synopsis, gensym("array_synopsis"), A_GIMME, A_NULL);
    class_addmethod(c, (t_method)qbank_t_round_up_to_multiple_of_small_primes,
                    gensym("round_up_to_multiple_of_small_primes"), A_DEFFLOAT, A_DEFFLOAT, A_NULL);
}
