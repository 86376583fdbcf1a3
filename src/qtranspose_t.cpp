#include "qtranspose_t.h"
#include "bus_tools.h"
#include "bus_words.h"
#include "m_pd.h"
#include "records.h"
#include "safety.h"
#include "window_words.h"

#include <algorithm>
#include <cmath>

static t_class *pcQtranspose_t = nullptr;

// Per-band state. Input side: the latest coefficient of the band and what
// it tells (magnitude and frequency smoothed); output side: the transposed
// phase of the partial the band holds. Bank side: the band's centre, its
// delay and gain, and the source position of its output.
enum {
    QT_MAG = 0,     // input magnitude over the band gain, smoothed
    QT_PHI = 1,     // its phase
    QT_TIME = 2,    // its time (samples since "dsp")
    QT_OMEGA = 3,   // measured frequency (radians per sample), smoothed
    QT_PSI = 4,     // transposed signal phase at QT_TIME
    QT_HAVE = 5,    // 1 once the band had a coefficient
    QT_CENTRE = 6,  // centre frequency (radians per sample)
    QT_DELAY = 7,   // samples from the window's centre to its newest sample
    QT_GAIN = 8,    // band gain: square root of the hop
    QT_SOURCE = 9,  // source position of the band's output; -1: none
    QT_NSTATE = 10
};

static constexpr double QT_TWO_PI = 6.283185307179586476925286766559;

double qtranspose_t_wrap(double phi)
{
    if (!std::isfinite(phi)) return 0.0;
    return phi - QT_TWO_PI * std::floor(phi / QT_TWO_PI + 0.5);
}

double qtranspose_t_interpolate(const double *v, std::int32_t n, double x)
{
    if (n <= 0 || !(x >= 0.0) || x > n - 1) return 0.0;
    if (n < 3) {
        const std::int32_t i = (std::int32_t)x;
        const double f = x - i;
        return i + 1 < n ? v[i] * (1 - f) + v[i + 1] * f : v[i];
    }
    std::int32_t i = (std::int32_t)std::floor(x + 0.5);
    if (i < 1) i = 1;
    if (i > n - 2) i = n - 2;
    const double t = x - i;  // -1.5 .. 1.5 at the ends, else -0.5 .. 0.5
    const double a = std::log(v[i - 1] + 1e-300), b = std::log(v[i] + 1e-300), c = std::log(v[i + 1] + 1e-300);
    if (c - 2 * b + a > 0) {
        // Not a peak but a dip: a parabola would bulge; between the two
        // nearest values on the logarithmic scale instead.
        const std::int32_t j = (std::int32_t)std::floor(x) < n - 1 ? (std::int32_t)std::floor(x) : n - 2;
        const double f = x - j;
        return std::exp((1 - f) * std::log(v[j] + 1e-300) + f * std::log(v[j + 1] + 1e-300));
    }
    return std::exp(b + 0.5 * t * (c - a) + 0.5 * t * t * (c - 2 * b + a));
}

double qtranspose_t_window_centre(const paf_type *re, const paf_type *im, std::int32_t L)
{
    if (L < 3) return 0.5 * (L - 1);
    auto mag = [&](std::int32_t k) { return (double)re[k] * re[k] + (double)im[k] * im[k]; };
    std::int32_t best = L / 2;
    for (std::int32_t k = std::max(1, L / 2 - 2); k <= std::min(L - 2, L / 2 + 2); k++)
        if (mag(k) > mag(best)) best = k;
    if (best < 1 || best > L - 2) return best;
    const double a = std::sqrt(mag(best - 1)), b = std::sqrt(mag(best)), c = std::sqrt(mag(best + 1));
    const double den = a - 2 * b + c;
    return den < 0 ? best + 0.5 * (a - c) / den : best;
}

// The bank can be transposed: an exponential map with every table at hand.
static bool qtranspose_t_bank_ok(const sQbank_Param *p)
{
    return p->eThetaType == EXP_C1_NYQU && p->Theta != nullptr && p->Theta_inv != nullptr && p->thetadata != nullptr &&
           p->aiDq != nullptr && p->paf_r != nullptr && p->paf_i != nullptr && p->_b > 0;
}

// Band centres, delays and gains after a bank change.
static void qtranspose_t_describe_bank(sQtranspose_t *psW, const sQbank_Param *p)
{
    const std::int32_t S = psW->sOut.bands;
    double *centre = qeffect_state(psW->sOut, QT_CENTRE), *delay = qeffect_state(psW->sOut, QT_DELAY);
    double *gain = qeffect_state(psW->sOut, QT_GAIN), *have = qeffect_state(psW->sOut, QT_HAVE);
    for (std::int32_t q = 0; q < S; q++) {
        centre[q] = QT_TWO_PI * p->Theta(q * p->_b, p->thetadata) / QAVEX_SR;
        if (!std::isfinite(centre[q])) centre[q] = 0.0;
        const paf_type *re = p->paf_r[q], *im = p->paf_i[q];
        const std::int32_t L = re != nullptr && im != nullptr ? qavex_t_window_length(re) : 0;
        delay[q] = L > 0 ? (L - 1) - qtranspose_t_window_centre(re, im, L) : 0.0;
        gain[q] = std::sqrt((double)(p->aiDq[q] > 0 ? p->aiDq[q] : 1));
        have[q] = 0.0;
    }
    psW->dTableCents = NAN;
}

// Source position of every output band for the transposition in use: the
// warped position of its centre frequency divided by the ratio.
static void qtranspose_t_make_sources(sQtranspose_t *psW, const sQbank_Param *p)
{
    const std::int32_t S = psW->sOut.bands;
    double *source = qeffect_state(psW->sOut, QT_SOURCE);
    const double ratio = std::exp2(psW->dCents / 1200.0);
    for (std::int32_t q = 0; q < S; q++) {
        const double f = p->Theta(q * p->_b, p->thetadata) / ratio;
        const double x = p->Theta_inv(f, p->thetadata) / p->_b;
        source[q] = std::isfinite(x) && x >= 0 && x <= S - 1 ? x : -1.0;
    }
    psW->dTableCents = psW->dCents;
}

// Takes one input coefficient at time t into its band's state.
static void qtranspose_t_take(sQtranspose_t *psW, const sQavex_Coeff &c, double t, double ratio)
{
    const std::int32_t q = c.band;
    double &mag = qeffect_state(psW->sOut, QT_MAG)[q], &phi = qeffect_state(psW->sOut, QT_PHI)[q];
    double &time = qeffect_state(psW->sOut, QT_TIME)[q], &omega = qeffect_state(psW->sOut, QT_OMEGA)[q];
    double &psi = qeffect_state(psW->sOut, QT_PSI)[q], &have = qeffect_state(psW->sOut, QT_HAVE)[q];
    const double centre = qeffect_state(psW->sOut, QT_CENTRE)[q];
    const double delay = qeffect_state(psW->sOut, QT_DELAY)[q];
    double re = c.val_r, im = c.val_i;
    if (!qavex_t_finite(re) || !qavex_t_finite(im)) re = im = 0.0;
    const double now = std::atan2(im, re);
    const double m = std::hypot(re, im) / qeffect_state(psW->sOut, QT_GAIN)[q];
    const double dt = t - time;
    if (have != 0.0 && dt > 0) {
        // The phase-vocoder rule: the advance beyond the centre's, wrapped,
        // gives the frequency. Where partials share bands, their beating
        // ripples the measured frequency and magnitude at the rate of their
        // distance; both are smoothed (set_smooth) so that a steady partial
        // comes out as one steady partial instead of carrying that ripple,
        // scaled by the ratio, as sidebands. The output phase advances at
        // the ratio times the smoothed frequency.
        const double raw = centre + qtranspose_t_wrap(now - phi - centre * dt) / dt;
        const double k = qeffect_pole(psW->fSmooth, (std::int32_t)std::min(dt, 1e9));
        qeffect_smooth(omega, raw, k);
        qeffect_smooth(mag, m, k);
        psi = qtranspose_t_wrap(psi + ratio * omega * dt);
    } else {
        omega = centre;
        mag = m;
        psi = qtranspose_t_wrap(now + centre * delay);  // the signal phase at t
    }
    phi = now;
    time = t;
    have = 1.0;
}

// A peak of the input magnitudes: a partial. The logarithms of the band
// and its two neighbours lie on a parabola (the band responses are
// Gaussian on the warped axis), which gives the partial's magnitude at any
// source position.
struct sQtPeak {
    std::int32_t p;  // band
    double a, b, c;  // log magnitudes at p-1, p, p+1
};

static bool qtranspose_t_peak(const double *mag, std::int32_t S, std::int32_t p, sQtPeak &k)
{
    if (p < 1 || p > S - 2 || !(mag[p] > 0) || mag[p] < mag[p - 1] || mag[p] <= mag[p + 1]) return false;
    k.p = p;
    k.a = std::log(mag[p - 1] + 1e-300);
    k.b = std::log(mag[p]);
    k.c = std::log(mag[p + 1] + 1e-300);
    return k.c - 2 * k.b + k.a < 0;
}

// Magnitude of the partial of peak k at source position x.
static double qtranspose_t_peak_at(const sQtPeak &k, double x)
{
    const double t = x - k.p;
    const double y = k.b + 0.5 * t * (k.c - k.a) + 0.5 * t * t * (k.c - 2 * k.b + k.a);
    return y < -690 ? 0.0 : std::exp(y);
}

// The output coefficient of band q at time t, in place of c: the sum of the
// partials of the nearest peak at or below the source position and the
// nearest above it, each with its magnitude there and its transposed phase
// (phase locking: every band near a partial turns with that partial), plus
// what the interpolated input magnitude holds beyond them.
static void qtranspose_t_make(sQtranspose_t *psW, sQavex_Coeff &c, double t, double ratio)
{
    const std::int32_t S = psW->sOut.bands, q = c.band;
    const double x = qeffect_state(psW->sOut, QT_SOURCE)[q];
    c.val_r = c.val_i = 0.0;
    if (x < 0) return;
    const double *mag = qeffect_state(psW->sOut, QT_MAG), *have = qeffect_state(psW->sOut, QT_HAVE);
    const double gain = qeffect_state(psW->sOut, QT_GAIN)[q], delay = qeffect_state(psW->sOut, QT_DELAY)[q];
    sQtPeak found[2];
    int n = 0;
    const std::int32_t below = (std::int32_t)std::floor(x);
    for (std::int32_t p = below; p >= 0 && p > below - QTRANSPOSE_REACH; p--)
        if (qtranspose_t_peak(mag, S, p, found[n])) {
            n++;
            break;
        }
    for (std::int32_t p = below + 1; p < S && p <= below + QTRANSPOSE_REACH; p++)
        if (qtranspose_t_peak(mag, S, p, found[n])) {
            n++;
            break;
        }
    double re = 0, im = 0;
    for (int i = 0; i < n; i++) {
        const std::int32_t p = found[i].p;
        if (have[p] == 0.0) continue;
        const double m = qtranspose_t_peak_at(found[i], x) * gain;
        const double omega = qeffect_state(psW->sOut, QT_OMEGA)[p] * ratio;
        const double psi = qeffect_state(psW->sOut, QT_PSI)[p] + omega * (t - qeffect_state(psW->sOut, QT_TIME)[p]);
        const double theta = psi - omega * delay;
        re += m * std::cos(theta);
        im += m * std::sin(theta);
    }
    // What the peaks do not explain (noise, breath, partials too weak to
    // make a peak): the interpolated magnitude beyond the peaks' sum, with
    // the phase the nearest band measured itself.
    double sum = 0;
    for (int i = 0; i < n; i++) sum += qtranspose_t_peak_at(found[i], x) * gain;
    const std::int32_t p = (std::int32_t)std::floor(x + 0.5);
    const double m = qtranspose_t_interpolate(mag, S, x) * gain - sum;
    if (m > 0 && have[p] != 0.0) {
        const double omega = qeffect_state(psW->sOut, QT_OMEGA)[p] * ratio;
        const double psi = qeffect_state(psW->sOut, QT_PSI)[p] + omega * (t - qeffect_state(psW->sOut, QT_TIME)[p]);
        re += m * std::cos(psi - omega * delay);
        im += m * std::sin(psi - omega * delay);
    }
    c.val_r = re;
    c.val_i = im;
}

t_int *qtranspose_t_perform(t_int *w)
{
    sQtranspose_t *psW = (sQtranspose_t *)w[1];
    t_sample *outG = (t_sample *)w[4], *outC = (t_sample *)w[5];
    const int n = (int)w[6];
    if (n != QAVEX_BLOCK) {
        qavex_t_write_empty_vector(outG, n);
        qavex_t_write_empty_vector(outC, n);
        return w + 7;
    }
    bool ok, rebuilt;
    const sQeffect_Bus b = qeffect_read((const t_sample *)w[2], (const t_sample *)w[3], outG, outC, &ok);
    const double clock = psW->dClock;
    psW->dClock += QAVEX_BLOCK;
    if (!ok) {
        qavex_t_write_empty_block(outG);
        return w + 7;
    }
    if (b.p == nullptr) {
        qeffect_pass(b.cin, outG);
        return w + 7;
    }
    const bool usable = qtranspose_t_bank_ok(b.p);
    qeffect_error_episode(psW, &psW->iBadBankWarned, !usable, "qtranspose~", "bank",
                          "needs an exponential warping map (set_theta_type 4) with windows made and copied; "
                          "passing through");
    if (!usable || !qeffect_fit(psW->sOut, b.p, QT_NSTATE, qeffect_count(b.cin), &rebuilt)) {
        qeffect_pass(b.cin, outG);
        return w + 7;
    }
    if (rebuilt) qtranspose_t_describe_bank(psW, b.p);
    // The transposition glides toward the one asked for, block by block.
    const double target = psW->fCents;
    qeffect_smooth(psW->dCents, target, qeffect_pole(psW->fGlide, QAVEX_BLOCK));
    if (std::fabs(psW->dCents - target) < 1e-3) psW->dCents = target;
    if (!(psW->dCents == psW->dTableCents)) qtranspose_t_make_sources(psW, b.p);
    const double ratio = std::exp2(psW->dCents / 1200.0);

    // Entries come in time order: each coefficient first updates its band's
    // state, then becomes the output of that band at the same time.
    qeffect_copy_in(psW->sOut, b.cin);
    sQavex_Coeff *list = psW->sOut.pawc[0];
    const std::int32_t S = psW->sOut.bands;
    for (std::int32_t i = 0; i < list[0].numCoeff; i++) {
        sQavex_Coeff &c = list[i];
        if (c.band < 0 || c.band >= S) {
            c.val_r = c.val_i = 0.0;
            continue;
        }
        const double t = clock + c.start;
        qtranspose_t_take(psW, c, t, ratio);
        qtranspose_t_make(psW, c, t, ratio);
    }
    qeffect_publish(psW->sOut, outG);
    return w + 7;
}

static void qtranspose_t_dsp(sQtranspose_t *psW, t_signal **sp)
{
    psW->dClock = 0;
    if (psW->sOut.state != nullptr) {
        double *have = qeffect_state(psW->sOut, QT_HAVE);
        for (std::int32_t q = 0; q < psW->sOut.bands; q++) have[q] = 0.0;
    }
    if (sp[0]->s_n != QAVEX_BLOCK)
        pd_error(psW, "qtranspose~: block size %i not supported (needs 64), output stays empty", (int)sp[0]->s_n);
    dsp_add(qtranspose_t_perform, 6, psW, sp[0]->s_vec, sp[1]->s_vec, sp[2]->s_vec, sp[3]->s_vec, (t_int)sp[0]->s_n);
}

static void qtranspose_t_bang(sQtranspose_t *psW)
{
    post("qtranspose~: %g cents (now %g), glide %g ms, smoothing %g ms, %i bands", (double)psW->fCents, psW->dCents,
         (double)psW->fGlide, (double)psW->fSmooth, (int)psW->sOut.bands);
}

static t_float qtranspose_t_cents(t_floatarg f)
{
    if (!std::isfinite(f)) return 0;
    if (f > QTRANSPOSE_MAX_CENTS) return (t_float)QTRANSPOSE_MAX_CENTS;
    if (f < -QTRANSPOSE_MAX_CENTS) return (t_float)-QTRANSPOSE_MAX_CENTS;
    return f;
}

static void qtranspose_t_set_cents(sQtranspose_t *psW, t_floatarg f) { psW->fCents = qtranspose_t_cents(f); }
static void qtranspose_t_set_smooth(sQtranspose_t *psW, t_floatarg f)
{
    psW->fSmooth = std::isfinite(f) && f > 0 ? f : 0;
}
static void qtranspose_t_set_glide(sQtranspose_t *psW, t_floatarg f)
{
    psW->fGlide = std::isfinite(f) ? f : QTRANSPOSE_START_GLIDE;
}

static void *qtranspose_t_new(t_floatarg cents)
{
    sQtranspose_t *psW = (sQtranspose_t *)pd_new(pcQtranspose_t);
    psW->x_inC = inlet_new(&psW->x_obj, &psW->x_obj.ob_pd, &s_signal, &s_signal);
    psW->x_outG = outlet_new(&psW->x_obj, &s_signal);
    psW->x_outC = outlet_new(&psW->x_obj, &s_signal);
    psW->fCents = qtranspose_t_cents(cents);
    psW->dCents = psW->fCents;  // the creation value applies at once
    psW->dTableCents = NAN;
    psW->fGlide = QTRANSPOSE_START_GLIDE;
    psW->fSmooth = QTRANSPOSE_START_SMOOTH;
    psW->sOut = sQeffect_Out{};
    return psW;
}

static void qtranspose_t_delete(sQtranspose_t *psW)
{
    inlet_free(psW->x_inC);
    outlet_free(psW->x_outG);
    outlet_free(psW->x_outC);
    qeffect_release(psW->sOut);
}

void qtranspose_t_setup()
{
    pcQtranspose_t =
        qavex_t_tool_class("qtranspose~", (t_newmethod)(t_method)qtranspose_t_new, (t_method)qtranspose_t_delete,
                           sizeof(sQtranspose_t), A_DEFFLOAT, (int)offsetof(sQtranspose_t, fConstSignal),
                           (t_method)qtranspose_t_dsp, (t_method)qtranspose_t_bang);
    class_addmethod(pcQtranspose_t, (t_method)qtranspose_t_set_cents, gensym("set_cents"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQtranspose_t, (t_method)qtranspose_t_set_smooth, gensym("set_smooth"), A_DEFFLOAT, A_NULL);
    class_addmethod(pcQtranspose_t, (t_method)qtranspose_t_set_glide, gensym("set_glide"), A_DEFFLOAT, A_NULL);
}
