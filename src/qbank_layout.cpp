// Band layout of the designer: start values, map choice and the derivation of lengths, band count and hops.
#include "qbank_layout.h"

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "allocator.h"
#include "console_capture.h"
#include "conversions.h"
#include "m_pd.h"
#include "qavex_t_theta_functions.h"
#include "qbank_map_files.h"
#include "records.h"
#include "sample_rate.h"
#include "work_bounds.h"

void qbank_t_set_pointers_to_NULL(sQbank_t *psW)
{
    psW->x_in = nullptr;
    psW->x_outC = nullptr;
    psW->x_outM = nullptr;
    psW->pac = nullptr;
    sQbank_Param *p = &psW->sParam;
    p->Theta = p->Theta_inv = p->d_Theta_infimum = nullptr;
    p->thetadata = nullptr;
    p->aldDq_real = p->aldDq = nullptr;
    p->aiDq = nullptr;
    p->paf_r = p->paf_i = nullptr;
}

// The three functions of every warping map type.
struct sQbank_Map {
    _eThetaType type;
    thetafunction Theta, Theta_inv, d_Theta_infimum;
};
static const sQbank_Map QBANK_MAPS[] = {
    {BSPLINE, qavex_t_Theta_bspline, qavex_t_Theta_inv_bspline, qavex_t_d_Theta_inf_bspline},
    {EXP_C1_NYQU, qavex_t_Theta_exp_c1_nyqu, qavex_t_Theta_inv_exp_c1_nyqu, qavex_t_d_Theta_inf_exp_c1_nyqu},
    {ID, qavex_t_Theta_id, qavex_t_Theta_inv_id, qavex_t_d_Theta_inf_id},
    {LIN, qavex_t_Theta_lin, qavex_t_Theta_inv_lin, qavex_t_d_Theta_inf_lin},
    {SQUARE, qavex_t_Theta_square, qavex_t_Theta_inv_square, qavex_t_d_Theta_inf_square},
};

static const sQbank_Map *qbank_t_find_map(std::int32_t type)
{
    for (const sQbank_Map &m : QBANK_MAPS)
        if ((std::int32_t)m.type == type) return &m;
    return nullptr;
}

// Map functions of eThetaType; an unknown type is reported and replaced by
// the exponential map.
static void qbank_t_select_map(const sQbank_t *psW, sQbank_Param *p)
{
    const sQbank_Map *m = qbank_t_find_map(p->eThetaType);
    if (!m) {
        qavex_t_error(psW, "qavex_t: Wrong Theta chosen");
        qavex_t_error(psW, "qavex_t: Change to EXP_C1_NYQU");
        p->eThetaType = EXP_C1_NYQU;
        m = qbank_t_find_map(EXP_C1_NYQU);
    }
    p->Theta = m->Theta;
    p->Theta_inv = m->Theta_inv;
    p->d_Theta_infimum = m->d_Theta_infimum;
}

void qbank_t_set_start_values(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    p->C_T_c = 3.0;
    p->C_b = 2.0;
    p->C_d = 2.0;
    p->C_q = 0.0;
    p->C_SR = 1;
    p->C_cut = 100000.0;
    p->T_max = 10.0;
    p->eWindowType = WIN_SQRT_GAUSS;
    p->eThetaType = EXP_C1_NYQU;
    qbank_t_select_map(psW, p);
    qavex_t_free(p->thetadata);
    p->thetadata = qbank_t_new_thetadata(4, 12.0, 36.0);
    p->_K = 1.0;
    p->iq_compute_sup = 0;
    p->iComputeType = 0;
    p->_R = -1.0;
    p->dWinlength_window = -INFINITY;
    p->dWinlength_compute = -INFINITY;
    p->_a = -INFINITY;
    p->_b = -INFINITY;
    p->iLongestFrame_paf = -1;
    psW->var = 1.0f;
    qbank_sample_rate_start(&psW->sRate);
}

static std::int32_t qbank_t_get_q_compute_sup(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    if (!p->Theta_inv || !p->thetadata) return 0;
    long double inner =
        (long double)p->Theta_inv((double)(qbank_sample_rate(psW->sRate) / 2), p->thetadata) / (long double)p->_b;
    if (std::isnan(inner)) return INT32_MIN;
    if (std::fabs(inner) > 1e12L) return inner > 0 ? INT32_MAX : INT32_MIN;
    return qavex_t_to_int32(std::trunc(inner) + (long double)p->C_q + 1.0L, QAVEX_NAN_LOWEST);
}

void qbank_t_free_pac_windows(sQbank_t *psW)
{
    if (!psW->pac) return;
    for (std::int32_t q = 0; q < psW->sParam.iq_compute_sup; q++) {
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = nullptr;
    }
}

void qbank_t_free_paf_windows(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    p->iGeneration = qavex_t_next_generation();
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        if (p->paf_r) {
            qavex_t_free(p->paf_r[q]);
            p->paf_r[q] = nullptr;
        }
        if (p->paf_i) {
            qavex_t_free(p->paf_i[q]);
            p->paf_i[q] = nullptr;
        }
    }
}

// Every window, the slot tables and the hop arrays; iq_compute_sup still
// names the size the tables were made for.
void qbank_t_free_layout(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    p->iGeneration = qavex_t_next_generation();
    qbank_t_free_pac_windows(psW);
    qbank_t_free_paf_windows(psW);
    qavex_t_free(psW->pac);
    psW->pac = nullptr;
    qavex_t_free(p->paf_r);
    qavex_t_free(p->paf_i);
    p->paf_r = p->paf_i = nullptr;
    qavex_t_free(p->aldDq_real);
    qavex_t_free(p->aldDq);
    qavex_t_free(p->aiDq);
    p->aldDq_real = p->aldDq = nullptr;
    p->aiDq = nullptr;
}

static std::int32_t qbank_t_initialize_diverse_vectors(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    std::int32_t n = p->iq_compute_sup;
    qavex_t_free(p->aldDq_real);
    qavex_t_free(p->aldDq);
    qavex_t_free(p->aiDq);
    p->aldDq_real = p->aldDq = nullptr;
    p->aiDq = nullptr;
    if (n <= 0) return 0;
    p->aldDq_real = (double *)qavex_t_malloc0((std::size_t)n * sizeof(double));
    p->aldDq = (double *)qavex_t_malloc0((std::size_t)n * sizeof(double));
    p->aiDq = (std::int32_t *)qavex_t_malloc0((std::size_t)n * sizeof(std::int32_t));
    if (p->aldDq_real && p->aldDq && p->aiDq) return 0;
    qavex_t_free(p->aldDq_real);
    qavex_t_free(p->aldDq);
    qavex_t_free(p->aiDq);
    p->aldDq_real = p->aldDq = nullptr;
    p->aiDq = nullptr;
    return 1;
}

static std::int32_t qbank_t_initialize_pac(sQbank_t *psW)
{
    std::int32_t n = psW->sParam.iq_compute_sup;
    if (n <= 0) return 0;
    if (psW->pac) {
        qbank_t_free_pac_windows(psW);
        return 0;
    }
    psW->pac = (pac_type **)qavex_t_malloc0((std::size_t)n * sizeof(pac_type *));
    if (!psW->pac) return 1;
    for (std::int32_t q = 0; q < n; q++) psW->pac[q] = nullptr;
    return 0;
}

static std::int32_t qbank_t_initialize_paf(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    std::int32_t n = p->iq_compute_sup;
    if (n <= 0) return 0;
    if (p->paf_r) {
        qbank_t_free_paf_windows(psW);
        return 0;
    }
    p->paf_r = (paf_type **)qavex_t_malloc0((std::size_t)n * sizeof(paf_type *));
    p->paf_i = (paf_type **)qavex_t_malloc0((std::size_t)n * sizeof(paf_type *));
    if (!p->paf_r || !p->paf_i) {
        qavex_t_free(p->paf_r);
        qavex_t_free(p->paf_i);
        p->paf_r = p->paf_i = nullptr;
        return 1;
    }
    for (std::int32_t q = 0; q < n; q++) p->paf_r[q] = p->paf_i[q] = nullptr;
    return 0;
}

static std::int32_t qbank_t_test_param(sQbank_t *psW, std::int32_t iPrintOutput)
{
    sQbank_Param *p = &psW->sParam;
    if (iPrintOutput != 0) qavex_t_error(psW, "Ueberpruefe Parameter von Qavex:");
    t_float sr = sys_getsr();
    if (sr != qbank_sample_rate(psW->sRate)) qavex_t_error(psW, "Samplerate=%f falsch.", (double)sr);
    if (p->iq_compute_sup <= 0) qavex_t_error(psW, "q_sup<0");
    if (p->thetadata && p->thetadata[0] <= 0) qavex_t_error(psW, "ThetaF0 <= 0");
    if (p->C_SR <= 0) qavex_t_error(psW, "C_SR < 1");
    if (p->aiDq && p->aldDq_real) {
        for (std::int32_t q = 0; q < p->iq_compute_sup; q++)
            if (p->aiDq[q] <= 0)
                qavex_t_error(psW, "d_q < 1 sample bei Band: \t%i\t, d_%i=\t%f", (int)q, (int)q, p->aldDq_real[q]);
        for (std::int32_t q = 1; q < p->iq_compute_sup; q++)
            if ((long long)p->aiDq[q - 1] < (long long)p->aiDq[q] - 1)
                qavex_t_error(psW, "d[%i]=\t%i\t > d[%i]=\t%i", (int)(q - 1), (int)p->aiDq[q - 1], (int)q,
                              (int)p->aiDq[q]);
    }
    return 0;
}

// ---------------------------------------------------------------- derivation

// Leaves a bank of 0 bands after an allocation failure.
static void qbank_t_initialize_failed(sQbank_t *psW)
{
    qbank_t_free_layout(psW);
    psW->sParam.iq_compute_sup = 0;
    qavex_t_error(psW, "qbank_t_initialize: Out of Memory, the bank has 0 bands");
}

enum { MAP_READY, MAP_FAILED, MAP_REFUSED };

// Fresh warping data (keeping f0 and k) and the map functions of the
// chosen type; a B-spline map whose files cannot be used falls back to the
// exponential map. MAP_FAILED (a bank of 0 bands) when memory ran out,
// MAP_REFUSED when the map file asks for more than its bound.
static int qbank_t_prepare_map(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    for (;;) {
        double f0 = p->thetadata ? p->thetadata[0] : 12.0;
        double k = p->thetadata ? p->thetadata[1] : 36.0;
        double *d = qbank_t_new_thetadata(4, f0, k);
        if (!d) {
            qbank_t_initialize_failed(psW);
            return MAP_FAILED;
        }
        qavex_t_free(p->thetadata);
        p->thetadata = d;
        qbank_t_select_map(psW, p);
        if (p->eThetaType == BSPLINE) {
            int r = qbank_t_load_bspline(psW);
            if (r == LOAD_NO_MEMORY) {
                qbank_t_initialize_failed(psW);
                return MAP_FAILED;
            }
            if (r == LOAD_REFUSED) return MAP_REFUSED;
            if (r != LOAD_OK) {
                p->eThetaType = EXP_C1_NYQU;
                continue;
            }
        }
        return MAP_READY;
    }
}

// Window lengths and the band spacing from f0, K, C_b, C_T_c and the map's
// smallest slope.
static void qbank_t_derive_scales(sQbank_Param *p)
{
    long double f0 = p->thetadata[0];
    long double s = p->d_Theta_infimum(0, p->thetadata);
    long double K = p->_K, R, Tw, Tc, a, b;
    if (p->eWindowType == WIN_COS_NOT_WARPED) {
        R = K;
        Tw = R / (2 * f0);
        Tc = Tw;
        a = 1 / (2 * f0);
        b = 2 * f0 / (R * (long double)p->C_b);
    } else {
        long double threshold = p->eWindowType == WIN_COS ? 0.01L : 1.0L / 3.0L;
        R = K;
        Tw = R / 2 / f0;
        if (std::fabs(s) < threshold) Tc = Tw * 3 * (long double)p->C_T_c;
        else Tc = Tw / s * (long double)p->C_T_c;
        a = Tw / R;
        b = 1 / (a * R * (long double)p->C_b);
    }
    p->_R = (double)R;
    p->dWinlength_window = (double)Tw;
    p->dWinlength_compute = (double)Tc;
    p->_a = (double)a;
    p->_b = (double)b;
}

// Every band's hop: exact (aldDq_real), in whole samples (aiDq, at least 1)
// and back in seconds (aldDq).
static void qbank_t_derive_hops(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    long double b = p->_b, K = p->_K;
    const long double sr = qbank_sample_rate(psW->sRate);
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        double d1 = p->Theta((double)(q * b + K * b / 2), p->thetadata);
        double d2 = p->Theta((double)(q * b - K * b / 2), p->thetadata);
        double Bq = d1 - d2;
        p->aldDq_real[q] = (double)std::fabs(1.0L / (long double)Bq / (long double)p->C_d);
        p->aiDq[q] = qavex_t_to_int32((long double)p->aldDq_real[q] * sr, QAVEX_NAN_LOWEST);
        if (p->aiDq[q] >= 2) {
            p->aldDq[q] = (double)((long double)p->aiDq[q] / sr);
        } else if (p->aiDq[q] == 1) {
            qavex_t_post("qavex_t: Probably window with to high bandwidth: d_q < 2 sample at frequency bin %i", (int)q);
            p->aldDq[q] = 1.0 / (double)sr;
        } else {
            qavex_t_error(psW, "qavex_t: Window with too high bandwidth: d_q < 1 sample at frequency bin %i", (int)q);
            p->aiDq[q] = 1;
            p->aldDq[q] = p->aldDq_real[q];
        }
    }
}

std::int32_t qbank_t_derived_hop(const sQbank_t *psW, std::int32_t q)
{
    const std::int32_t d =
        qavex_t_to_int32((long double)psW->sParam.aldDq_real[q] * qbank_sample_rate(psW->sRate), QAVEX_NAN_LOWEST);
    return d >= 1 ? d : 1;
}

// "initialize": derives the band layout and discards every window; a
// non-zero fOverride keeps the lengths and spacing set by messages.
void qbank_t_initialize(sQbank_t *psW, t_floatarg fOverride)
{
    sQbank_Param *p = &psW->sParam;
    // A map file that asks for more than its bounds leaves the old bank.
    sQbank_Undo undo;
    if (!qbank_undo_begin(psW, &undo)) {
        qbank_t_initialize_failed(psW);
        return;
    }
    p->iGeneration = qavex_t_next_generation();
    qbank_sample_rate_resolve(&psW->sRate);
    const int map = qbank_t_prepare_map(psW);
    if (map == MAP_FAILED) qbank_undo_commit(&undo);
    if (map != MAP_READY) {
        if (map == MAP_REFUSED) qbank_undo_restore(psW, &undo);
        return;
    }

    if (fOverride == 0) qbank_t_derive_scales(p);
    std::int32_t n = qbank_t_get_q_compute_sup(psW);
    if (p->eThetaType == BSPLINE && !qbank_map_bank_within_bound(psW, n)) {
        qbank_undo_restore(psW, &undo);
        return;
    }
    qbank_undo_commit(&undo);
    qbank_t_free_layout(psW);
    psW->var = 1.0f;

    if (n > QBANK_MAX_BANDS) {
        qavex_t_error(psW, "qbank_t_initialize: more than %i bands requested, the bank has 0 bands",
                      (int)QBANK_MAX_BANDS);
        n = 0;
    }
    p->iq_compute_sup = n < 0 ? 0 : n;

    if (qbank_t_initialize_diverse_vectors(psW) || qbank_t_initialize_pac(psW) || qbank_t_initialize_paf(psW)) {
        qbank_t_initialize_failed(psW);
        return;
    }
    qbank_t_derive_hops(psW);
    qbank_t_test_param(psW, 0);
}
