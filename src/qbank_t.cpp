// The filter-bank designer qbank_tilde.
#include "qbank_t.h"
#include "sample_rate.h"
#include "patch_paths.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qavex_t_array_functions.h"
#include "qavex_t_theta_functions.h"
#include "qavex_t_window_functions.h"
#include "safety.h"

static t_class *pcQbank_t = nullptr;

static std::int32_t s_iBangCounter = 0;  // shared by all designers, never reset

static constexpr long double QBANK_SQRT2 = 1.4142135623730951L;
// Limits of the thetadata files: rows of a source file and entries of one
// table. A file beyond them is treated as corrupt.
static constexpr std::int32_t QBANK_MAX_ROWS = 1000000;
static constexpr std::int32_t QBANK_MAX_TABLE = 1000000;
static constexpr double QBANK_MAX_TABLE_VALUE = 1e10;

// ---------------------------------------------------------------- band numbers
// A band number f names band n = trunc(f) when 0 <= n < band count; what
// any other number selects is the message's rule.
enum eQbankPick : std::int32_t { PICK_ONE, PICK_NONE, PICK_ALL, PICK_REFUSED };
struct sQbank_BandRule {
    eQbankPick below;      // n < -1, or f not a number
    eQbankPick minus_one;  // n == -1
    eQbankPick above;      // n >= band count
    bool untruncated;      // "above" tests f itself: -1 < f < 0 names band 0 even without bands
    bool table;            // without a window table nothing is touched (the range is empty)
};
// "make", "shorten", "copy_pac2paf", "copy_paf2pac"
static constexpr sQbank_BandRule QBANK_BANDS_WINDOWS{PICK_ALL, PICK_ALL, PICK_NONE, false, true};
// "print_band"
static constexpr sQbank_BandRule QBANK_BANDS_PRINT{PICK_ALL, PICK_ALL, PICK_NONE, false, false};
// "get_first_zero_paf", "get_window_length_paf", "get_window_length_pac"
static constexpr sQbank_BandRule QBANK_BANDS_ONE{PICK_NONE, PICK_NONE, PICK_NONE, false, false};
// "print_first_and_last_value"
static constexpr sQbank_BandRule QBANK_BANDS_EVERY{PICK_ALL, PICK_ALL, PICK_ALL, true, false};
// Array commands taking a float band number.
static constexpr sQbank_BandRule QBANK_BANDS_ARRAY{PICK_ALL, PICK_ALL, PICK_ALL, true, true};
// Array commands taking atoms ("mult", "cycle", "array_synopsis" with one).
static constexpr sQbank_BandRule QBANK_BANDS_ATOMS{PICK_REFUSED, PICK_ALL, PICK_REFUSED, false, true};

// Selected bands first..last-1; all: every band was asked for; ok: false
// when the number is refused.
struct sQbank_Bands {
    std::int32_t first;
    std::int32_t last;
    bool all;
    bool ok;
};

static sQbank_Bands qbank_t_select_bands(const sQbank_t *psW, double f, const sQbank_BandRule &rule)
{
    const std::int32_t sup = psW->sParam.iq_compute_sup > 0 ? psW->sParam.iq_compute_sup : 0;
    const std::int32_t n = qavex_t_to_int32(f, QAVEX_NAN_LOWEST);
    const bool above = rule.untruncated ? !(f < (double)sup) : n >= sup;
    const eQbankPick pick = n < -1 ? rule.below : n == -1 ? rule.minus_one : above ? rule.above : PICK_ONE;
    sQbank_Bands sel{0, 0, false, true};
    if (pick == PICK_REFUSED) sel.ok = false;
    else if (pick == PICK_ALL) sel = {0, sup, true, true};
    else if (pick == PICK_ONE) sel = {n, n + 1, false, true};
    if (rule.table && !psW->pac) sel.last = sel.first;
    return sel;
}

// ================================================================ layout

static void qbank_t_set_pointers_to_NULL(sQbank_t *psW)
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
static void qbank_t_select_map(sQbank_Param *p)
{
    const sQbank_Map *m = qbank_t_find_map(p->eThetaType);
    if (!m) {
        pd_error(nullptr, "qavex_t: Wrong Theta chosen");
        pd_error(nullptr, "qavex_t: Change to EXP_C1_NYQU");
        p->eThetaType = EXP_C1_NYQU;
        m = qbank_t_find_map(EXP_C1_NYQU);
    }
    p->Theta = m->Theta;
    p->Theta_inv = m->Theta_inv;
    p->d_Theta_infimum = m->d_Theta_infimum;
}

static double *qbank_t_new_thetadata(std::size_t n, double f0, double k)
{
    double *d = (double *)qavex_t_malloc0(n * sizeof(double));
    if (!d) return nullptr;
    for (std::size_t i = 0; i < n; i++) d[i] = 0.0;
    d[0] = f0;
    d[1] = k;
    d[2] = 176400.0;
    d[3] = 132300.0;
    return d;
}

static void qbank_t_set_start_values(sQbank_t *psW)
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
    qbank_t_select_map(p);
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
    qbank_sample_rate_start(psW);
}

static std::int32_t qbank_t_get_q_compute_sup(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    if (!p->Theta_inv || !p->thetadata) return 0;
    long double inner = (long double)p->Theta_inv((double)(qbank_sample_rate(psW) / 2), p->thetadata) / (long double)p->_b;
    if (std::isnan(inner)) return INT32_MIN;
    if (std::fabs(inner) > 1e12L) return inner > 0 ? INT32_MAX : INT32_MIN;
    return qavex_t_to_int32(std::trunc(inner) + (long double)p->C_q + 1.0L, QAVEX_NAN_LOWEST);
}

static void qbank_t_free_pac_windows(sQbank_t *psW)
{
    if (!psW->pac) return;
    for (std::int32_t q = 0; q < psW->sParam.iq_compute_sup; q++) {
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = nullptr;
    }
}

static void qbank_t_free_paf_windows(sQbank_t *psW)
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
static void qbank_t_free_layout(sQbank_t *psW)
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

// Longest (sign 1) or shortest (sign -1) length over the bands' windows,
// starting from band 0's; 0 when the table or band 0's window is missing.
template <typename T>
static std::int32_t qbank_t_extreme_length(T **table, std::int32_t n, int sign)
{
    if (!table || n <= 0 || !table[0]) return 0;
    std::int32_t m = qavex_t_window_length(table[0]);
    for (std::int32_t q = 1; q < n; q++)
        if (table[q] && sign * (qavex_t_window_length(table[q]) - m) > 0) m = qavex_t_window_length(table[q]);
    return m;
}

static std::int32_t qbank_t_find_longest_frame_paf(sQbank_t *psW)
{
    return qbank_t_extreme_length(psW->sParam.paf_r, psW->sParam.iq_compute_sup, 1);
}

std::int32_t qbank_t_find_shortest_frame_paf(sQbank_t *psW)
{
    return qbank_t_extreme_length(psW->sParam.paf_r, psW->sParam.iq_compute_sup, -1);
}

std::int32_t qbank_t_find_longest_frame_pac(sQbank_t *psW)
{
    return qbank_t_extreme_length(psW->pac, psW->sParam.iq_compute_sup, 1);
}

std::int32_t qbank_t_find_shortest_frame_pac(sQbank_t *psW)
{
    return qbank_t_extreme_length(psW->pac, psW->sParam.iq_compute_sup, -1);
}

static std::int32_t qbank_t_test_param(sQbank_t *psW, std::int32_t iPrintOutput)
{
    sQbank_Param *p = &psW->sParam;
    if (iPrintOutput != 0) pd_error(nullptr, "Ueberpruefe Parameter von Qavex:");
    t_float sr = sys_getsr();
    if (sr != qbank_sample_rate(psW)) pd_error(nullptr, "Samplerate=%f falsch.", (double)sr);
    if (p->iq_compute_sup <= 0) pd_error(nullptr, "q_sup<0");
    if (p->thetadata && p->thetadata[0] <= 0) pd_error(nullptr, "ThetaF0 <= 0");
    if (p->C_SR <= 0) pd_error(nullptr, "C_SR < 1");
    if (p->aiDq && p->aldDq_real) {
        for (std::int32_t q = 0; q < p->iq_compute_sup; q++)
            if (p->aiDq[q] <= 0)
                pd_error(nullptr, "d_q < 1 sample bei Band: \t%i\t, d_%i=\t%f", (int)q, (int)q, p->aldDq_real[q]);
        for (std::int32_t q = 1; q < p->iq_compute_sup; q++)
            if ((long long)p->aiDq[q - 1] < (long long)p->aiDq[q] - 1)
                pd_error(nullptr, "d[%i]=\t%i\t > d[%i]=\t%i", (int)(q - 1), (int)p->aiDq[q - 1], (int)q,
                         (int)p->aiDq[q]);
    }
    return 0;
}

// ---------------------------------------------------------------- B-spline tables

enum { LOAD_OK = 0, LOAD_FALLBACK = 1, LOAD_NO_MEMORY = 2, LOAD_CORRUPT = 3 };

static void qbank_t_cut_path(char *path, std::size_t n)
{
    if (std::strlen(path) > n) path[n] = 0;
}

// Builds the B-spline form of thetadata from the two tables' starts and sizes.
static double *qbank_t_new_bspline_data(std::int32_t Si, std::int32_t si, std::int32_t Sf, std::int32_t sf, double f0,
                                        double k)
{
    double *d = qbank_t_new_thetadata((std::size_t)Si + (std::size_t)Sf + 18, f0, k);
    if (!d) return nullptr;
    d[5] = si;
    d[6] = Si;
    d[(std::size_t)Si + 12] = sf;
    d[(std::size_t)Si + 13] = Sf;
    return d;
}

static bool qbank_t_table_fits(std::int32_t size, std::int32_t start)
{
    return size >= 2 && size <= QBANK_MAX_TABLE && start > -1000000000 && start < 1000000000;
}

static int qbank_t_read_processed(FILE *f, double f0, double k, double **out)
{
    int Si, si, Sf, sf;
    if (std::fscanf(f, "%d %d %d %d", &Si, &si, &Sf, &sf) != 4) return LOAD_CORRUPT;
    if (!qbank_t_table_fits(Si, si) || !qbank_t_table_fits(Sf, sf)) return LOAD_CORRUPT;
    double *d = qbank_t_new_bspline_data(Si, si, Sf, sf, f0, k);
    if (!d) return LOAD_NO_MEMORY;
    double *inv = d + 11, *fwd = d + Si + 18;
    for (int i = 0; i < Si; i++)
        if (std::fscanf(f, "%lf", &inv[i]) != 1) {
            qavex_t_free(d);
            return LOAD_CORRUPT;
        }
    for (int i = 0; i < Sf; i++)
        if (std::fscanf(f, "%lf", &fwd[i]) != 1) {
            qavex_t_free(d);
            return LOAD_CORRUPT;
        }
    // Tables built from a source file stay within its coordinates (at most
    // 1e9 in magnitude); other values, non-finite or subnormal ones, would
    // make every window NaN or infinite.
    for (int i = 0; i < Si + Sf; i++) {
        const double v = i < Si ? inv[i] : fwd[i - Si];
        if (!(std::fabs(v) <= QBANK_MAX_TABLE_VALUE) || qavex_t_flush_subnormal(v) != v) {
            qavex_t_free(d);
            return LOAD_CORRUPT;
        }
    }
    *out = d;
    return LOAD_OK;
}

// True when the target values from..to can be reached by the curve through
// the values v[0..n-1] with its linear continuation at both ends.
static bool qbank_t_targets_reachable(const double *v, std::int32_t n, long double from, long double to)
{
    if (from < v[0] && !(v[1] > v[0])) return false;
    if (to > v[n - 1] && !(v[n - 1] > v[n - 2])) return false;
    return true;
}

// Reads a source file: rows "frequency warped-coordinate", then computes
// the inverse and forward tables on integer grids.
static int qbank_t_read_source(FILE *f, double f0, double k, double **out)
{
    int N;
    if (std::fscanf(f, "%d", &N) != 1) return LOAD_CORRUPT;
    if (N <= 0) return LOAD_FALLBACK;
    if (N < 2 || N > QBANK_MAX_ROWS) return LOAD_CORRUPT;
    double *X = (double *)qavex_t_malloc0((std::size_t)N * sizeof(double));
    double *Y = (double *)qavex_t_malloc0((std::size_t)N * sizeof(double));
    if (!X || !Y) {
        qavex_t_free(X);
        qavex_t_free(Y);
        return LOAD_NO_MEMORY;
    }
    int result = LOAD_OK;
    for (int i = 0; i < N; i++) {
        if (std::fscanf(f, "%lf %lf", &Y[i], &X[i]) != 2 || !std::isfinite(X[i]) || !std::isfinite(Y[i])) {
            result = LOAD_CORRUPT;
            break;
        }
        if (i == 0) {
            if (X[0] > 0 || Y[0] > 0) post("Thetadata file is wrong. Data does not start with negative values.");
        } else if (X[i] < X[i - 1] || Y[i] < Y[i - 1]) {
            post("Thetadata file is wrong. Data not monotone increasing.");
        }
    }
    double *d = nullptr;
    if (result == LOAD_OK) {
        long double lsf = std::trunc((long double)X[0]), lsi = std::trunc((long double)Y[0]);
        long double lef = std::trunc((long double)X[N - 1] + 1), lei = std::trunc((long double)Y[N - 1] + 1);
        if (std::fabs(lsf) > 1e9L || std::fabs(lsi) > 1e9L || std::fabs(lef) > 1e9L || std::fabs(lei) > 1e9L) {
            result = LOAD_CORRUPT;
        } else {
            std::int32_t sf = (std::int32_t)lsf, si = (std::int32_t)lsi;
            std::int32_t Sf = (std::int32_t)lef - sf, Si = (std::int32_t)lei - si;
            if (!qbank_t_table_fits(Si, si) || !qbank_t_table_fits(Sf, sf) ||
                !qbank_t_targets_reachable(Y, N, si, si + Si - 1) || !qbank_t_targets_reachable(X, N, sf, sf + Sf - 1)) {
                result = LOAD_CORRUPT;
            } else if (!(d = qbank_t_new_bspline_data(Si, si, Sf, sf, f0, k))) {
                result = LOAD_NO_MEMORY;
            } else {
                double *inv = d + 11, *fwd = d + Si + 18;
                double t = 0;
                for (std::int32_t v = 0; v < Si && result == LOAD_OK; v++) {
                    double tn = bspline_inter_inv(bspline_inter2_second, (double)(si + v), X, Y, N, 2, t, t + 1, 1e-9);
                    if (std::isnan(tn)) result = LOAD_CORRUPT;
                    inv[v] = bspline_inter2_first(tn, X, Y, N, 2);
                    t = tn;
                }
                t = 0;
                for (std::int32_t u = 0; u < Sf && result == LOAD_OK; u++) {
                    double tn = bspline_inter_inv(bspline_inter2_first, (double)(sf + u), X, Y, N, 2, t, t + 1, 1e-9);
                    if (std::isnan(tn)) result = LOAD_CORRUPT;
                    fwd[u] = bspline_inter2_second(tn, X, Y, N, 2);
                    t = tn;
                }
                if (result != LOAD_OK) {
                    qavex_t_free(d);
                    d = nullptr;
                }
            }
        }
    }
    qavex_t_free(X);
    qavex_t_free(Y);
    *out = d;
    return result;
}

static void qbank_t_write_processed(const char *name, const double *d)
{
    FILE *f = std::fopen(name, "w");
    if (!f) {
        pd_error(nullptr, "Could not write the processed thetadata file %s: %s", name, std::strerror(errno));
        return;
    }
    std::int32_t si = (std::int32_t)d[5], Si = (std::int32_t)d[6];
    std::int32_t sf = (std::int32_t)d[Si + 12], Sf = (std::int32_t)d[Si + 13];
    std::fprintf(f, "%d \n%d\n", (int)Si, (int)si);
    std::fprintf(f, "%d \n%d\n", (int)Sf, (int)sf);
    for (std::int32_t i = 0; i < Si; i++) std::fprintf(f, "%.17g\n", d[11 + i]);
    for (std::int32_t i = 0; i < Sf; i++) std::fprintf(f, "%.17g\n", d[Si + 18 + i]);
    if (std::fclose(f) != 0) pd_error(nullptr, "Could not write the processed thetadata file %s", name);
}

// Loads the B-spline tables named by thetapath into thetadata: the processed
// file when there is a usable one, else the source file (and writes the
// processed file). LOAD_FALLBACK asks the derivation to use the exponential map.
static int qbank_t_load_bspline(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    p->thetapath[sizeof p->thetapath - 1] = 0;
    double f0 = p->thetadata[0], k = p->thetadata[1];
    std::size_t len = std::strlen(p->thetapath);
    // Relative names are read and written beside the patch.
    const std::string path = qavex_patch_path(psW->sPatchDir, p->thetapath);
    const std::string processed = path + ".processed";
    bool usable_name = len <= 488;
    if (usable_name) {
        FILE *f = std::fopen(processed.c_str(), "r");
        if (f) {
            double *d = nullptr;
            int r = qbank_t_read_processed(f, f0, k, &d);
            std::fclose(f);
            if (r == LOAD_NO_MEMORY) return r;
            if (r == LOAD_OK) {
                qavex_t_free(p->thetadata);
                p->thetadata = d;
                return LOAD_OK;
            }
            pd_error(nullptr, "Thetadata file %s is corrupt, reading %s instead.", processed.c_str(), path.c_str());
        }
    }
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f) {
        qbank_t_cut_path(p->thetapath, 480);
        std::strcat(p->thetapath, "File not found.");
        post("File not found. Change to EXP_C1_NYQU.");
        return LOAD_FALLBACK;
    }
    double *d = nullptr;
    int r = qbank_t_read_source(f, f0, k, &d);
    std::fclose(f);
    if (r == LOAD_NO_MEMORY) return r;
    if (r == LOAD_FALLBACK) {
        qbank_t_cut_path(p->thetapath, 480);
        post("Thetadata file is wrong. Size entry in first row nonpositive.");
        return r;
    }
    if (r == LOAD_CORRUPT) {
        // A corrupt source file is handled as a missing one.
        pd_error(nullptr, "Thetadata file %s is corrupt (unreadable, too few or unusable numbers).", p->thetapath);
        qbank_t_cut_path(p->thetapath, 480);
        std::strcat(p->thetapath, "File not found.");
        post("File not found. Change to EXP_C1_NYQU.");
        return LOAD_FALLBACK;
    }
    qavex_t_free(p->thetadata);
    p->thetadata = d;
    if (usable_name) qbank_t_write_processed(processed.c_str(), d);
    return LOAD_OK;
}

// ---------------------------------------------------------------- derivation

// Leaves a bank of 0 bands after an allocation failure.
static void qbank_t_initialize_failed(sQbank_t *psW)
{
    qbank_t_free_layout(psW);
    psW->sParam.iq_compute_sup = 0;
    pd_error(nullptr, "qbank_t_initialize: Out of Memory, the bank has 0 bands");
}

// Fresh warping data (keeping f0 and k) and the map functions of the
// chosen type; a B-spline map whose files cannot be used falls back to the
// exponential map. False (a bank of 0 bands) when memory ran out.
static bool qbank_t_prepare_map(sQbank_t *psW)
{
    sQbank_Param *p = &psW->sParam;
    for (;;) {
        double f0 = p->thetadata ? p->thetadata[0] : 12.0;
        double k = p->thetadata ? p->thetadata[1] : 36.0;
        double *d = qbank_t_new_thetadata(4, f0, k);
        if (!d) {
            qbank_t_initialize_failed(psW);
            return false;
        }
        qavex_t_free(p->thetadata);
        p->thetadata = d;
        qbank_t_select_map(p);
        if (p->eThetaType == BSPLINE) {
            int r = qbank_t_load_bspline(psW);
            if (r == LOAD_NO_MEMORY) {
                qbank_t_initialize_failed(psW);
                return false;
            }
            if (r != LOAD_OK) {
                p->eThetaType = EXP_C1_NYQU;
                continue;
            }
        }
        return true;
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
    const long double sr = qbank_sample_rate(psW);
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        double d1 = p->Theta((double)(q * b + K * b / 2), p->thetadata);
        double d2 = p->Theta((double)(q * b - K * b / 2), p->thetadata);
        double Bq = d1 - d2;
        p->aldDq_real[q] = (double)std::fabs(1.0L / (long double)Bq / (long double)p->C_d);
        p->aiDq[q] = qavex_t_to_int32((long double)p->aldDq_real[q] * sr, QAVEX_NAN_LOWEST);
        if (p->aiDq[q] >= 2) {
            p->aldDq[q] = (double)((long double)p->aiDq[q] / sr);
        } else if (p->aiDq[q] == 1) {
            post("qavex_t: Probably window with to high bandwidth: d_q < 2 sample at frequency bin %i", (int)q);
            p->aldDq[q] = 1.0 / (double)sr;
        } else {
            pd_error(nullptr, "qavex_t: Window with too high bandwidth: d_q < 1 sample at frequency bin %i", (int)q);
            p->aiDq[q] = 1;
            p->aldDq[q] = p->aldDq_real[q];
        }
    }
}

// "initialize": derives the band layout and discards every window; a
// non-zero fOverride keeps the lengths and spacing set by messages.
static void qbank_t_initialize(sQbank_t *psW, t_floatarg fOverride)
{
    sQbank_Param *p = &psW->sParam;
    p->iGeneration = qavex_t_next_generation();
    qbank_sample_rate_resolve(psW);
    if (!qbank_t_prepare_map(psW)) return;

    qbank_t_free_layout(psW);
    psW->var = 1.0f;
    if (fOverride == 0) qbank_t_derive_scales(p);

    std::int32_t n = qbank_t_get_q_compute_sup(psW);
    if (n > QBANK_MAX_BANDS) {
        pd_error(nullptr, "qbank_t_initialize: more than %i bands requested, the bank has 0 bands",
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

// ================================================================ windows

std::int32_t rounddown_x(std::int32_t iNumber, std::int32_t iMultiple)
{
    if (iMultiple == 0 || iMultiple == -1) return iNumber;
    std::int32_t r = iNumber % iMultiple;
    return r == 0 ? iNumber : iNumber - r;
}

// Release every band's complex window after a failed allocation.
static void qbank_t_make_out_of_memory(sQbank_t *psW)
{
    pd_error(nullptr, "qbank_t_make: Out of memory");
    qbank_t_free_pac_windows(psW);
}

static void qbank_t_make_zero(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup)
{
    for (std::int32_t q = qmin; q < qsup; q++) {
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = qavex_t_new_pac(64);
        if (!psW->pac[q]) {
            qbank_t_make_out_of_memory(psW);
            return;
        }
        for (int i = 0; i < 64; i++) psW->pac[q][i] = pac_type(0.0, 0.0);
    }
}

// What every band of one warped "make" shares.
struct sQbank_Warped {
    bool gauss;           // square-root Gaussian (else cosine) spectrum
    std::int32_t Nout;    // samples of a finished window
    std::int32_t N;       // samples computed: Nout * C_SR
    long double sr, dF;   // sample rate, bin spacing in Hz
    long double b, a;
    double H, L;          // shape height and length
    pac_type (*shape)(double, double, double, double);
    bool limit;           // clear bins zlo..zhi before the transform
    std::int32_t zlo, zhi;
};

// Window lengths and the shared constants of a warped "make" of bands
// qmin..qsup-1 (rounds dWinlength_compute to whole samples). False, with
// the reason reported, when no window can be made.
static bool qbank_t_warped_sizes(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup, sQbank_Warped *m)
{
    sQbank_Param *p = &psW->sParam;
    m->gauss = p->eWindowType == WIN_SQRT_GAUSS;
    if (!p->aldDq || !p->thetadata || !p->Theta_inv) return false;
    if (p->C_SR < 1) {
        pd_error(nullptr, "qbank_t_make: C_SR < 1, no windows made");
        return false;
    }
    m->sr = qbank_sample_rate(psW);
    long double lNout = std::trunc((long double)p->dWinlength_compute * m->sr + 0.5L);
    if (!(lNout >= 1)) {
        pd_error(nullptr, "qbank_t_make: computation length %f s is below half a sample, no windows made",
                 p->dWinlength_compute);
        return false;
    }
    if (lNout * p->C_SR * 16 > QBANK_MEMORY_LIMIT) {
        post("Windows need too much memory");
        return false;
    }
    m->Nout = round_up_to_multiple_of_small_primes((std::int32_t)lNout, m->gauss ? 31 : 5);
    p->dWinlength_compute = (double)((long double)m->Nout / m->sr);
    std::int64_t N64 = (std::int64_t)m->Nout * p->C_SR;
    if ((long double)N64 * qsup * 16 > QBANK_MEMORY_LIMIT ||
        !qbank_t_windows_fit(psW, "qbank_tilde make", qmin, qsup, true, false, (long double)N64 * 16 * (qsup - qmin),
                             (long double)N64 * 16)) {
        post("Windows need too much memory");
        return false;
    }
    m->N = (std::int32_t)N64;
    m->dF = 1.0L / (long double)p->dWinlength_compute;
    m->b = p->_b;
    m->a = p->_a;
    const long double R = p->_R;
    m->H = (double)(m->gauss ? std::sqrt(m->b / 2 / R) : std::sqrt(2 * m->b / R));
    m->L = p->dWinlength_window;
    m->shape = m->gauss ? qavex_t_wf_WIN_SQRT_GAUSS : qavex_t_wf_WIN_COS;
    // With oversampling and no periodisation, the band response above the
    // base-rate Nyquist frequency is removed so the decimation cannot fold it
    // back: only the bins an Nout-point transform has are kept.
    m->limit = p->C_SR > 1 && p->iComputeType == 0;
    m->zlo = m->Nout / 2 + 1;
    m->zhi = m->N - (m->Nout - m->Nout / 2);
    return true;
}

// Band q's spectrum, scaled by g, sampled through the inverse map at the
// N bins of w (periodised over one sample rate with compute type 1).
static void qbank_t_warped_spectrum(const sQbank_Param *p, const sQbank_Warped &m, std::int32_t q, long double g,
                                    pac_type *w)
{
    const std::int32_t N = m.N, nbands = p->iq_compute_sup;
    const long double qb = q * m.b, sr = m.sr, dF = m.dF;
    const double H = m.H, L = m.L;
    const bool gain = p->iComputeType == 1 ? (q > 0 && q < nbands - 1) : q > 0;
    for (std::int32_t i = 0; i < N; i++) {
        long double nu = (i <= N / 2 ? (long double)i : (long double)i - N) * dF;
        pac_type v = m.shape((double)((long double)p->Theta_inv((double)nu, p->thetadata) - qb), H, L, 0);
        long double re = v.real(), im = v.imag();
        if (p->iComputeType == 1) {
            pac_type vm = m.shape((double)((long double)p->Theta_inv((double)(nu - sr), p->thetadata) - qb), H, L, 0);
            pac_type vp = m.shape((double)((long double)p->Theta_inv((double)(nu + sr), p->thetadata) - qb), H, L, 0);
            re += (long double)vm.real() + vp.real();
            im += (long double)vm.imag() + vp.imag();
        }
        re *= g;
        im *= g;
        if (gain) {
            re *= QBANK_SQRT2;
            im *= QBANK_SQRT2;
        }
        w[i] = pac_type((double)re, (double)im);
    }
    if (m.gauss)
        for (std::int32_t i = 0; i < N; i++)
            if (!std::isfinite(w[i].real()) || !std::isfinite(w[i].imag())) post("Value in make_window wrong.");
    if (m.limit)
        for (std::int32_t i = m.zlo; i <= m.zhi; i++) w[i] = pac_type(0.0, 0.0);
    qavex_t_pac_set_header(w, N, pac_type(0.0, 0.0));
}

// Band q's spectrum to the time domain: inverse transform, centred, scaled
// by the bin spacing and the rate's window gain. False (all complex windows
// released) when memory ran out.
static bool qbank_t_warped_to_time(sQbank_t *psW, const sQbank_Warped &m, std::int32_t q)
{
    const std::int32_t N = m.N;
    pac_type *before = psW->pac[q];
    qavex_t_simplefft_array(&psW->pac[q], &psW->pac[q], 1);
    if (psW->pac[q] == before) {
        qbank_t_make_out_of_memory(psW);
        return false;
    }
    if (N / 2 != 0) {
        before = psW->pac[q];
        qavex_t_cycle_array(&psW->pac[q], -(N / 2));
        if (psW->pac[q] == before) {
            qbank_t_make_out_of_memory(psW);
            return false;
        }
    }
    pac_type *w = psW->pac[q];
    const long double amp = m.dF * qbank_sample_rate_window_gain(psW);
    for (std::int32_t i = 0; i < N; i++)
        w[i] = pac_type((double)(w[i].real() * amp), (double)(w[i].imag() * amp));
    return true;
}

// Keeps every C_SR-th sample of an oversampled window: Nout samples remain.
static void qbank_t_warped_decimate(const sQbank_Param *p, const sQbank_Warped &m, pac_type *w)
{
    if (p->C_SR == 1) return;
    const std::int32_t Nout = m.Nout;
    for (std::int32_t i = 0; i < Nout; i++) w[i] = w[(std::int64_t)i * p->C_SR];
    qavex_t_pac_set_header(w, Nout, qavex_t_pac_side(w));
    for (std::int32_t i = 0; i < 4; i++) w[Nout + i] = pac_type(0.0, 0.0);
}

static void qbank_t_make_warped(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup)
{
    sQbank_Param *p = &psW->sParam;
    sQbank_Warped m;
    if (!qbank_t_warped_sizes(psW, qmin, qsup, &m)) return;
    const std::int32_t nbands = p->iq_compute_sup;
    for (std::int32_t q = qmin; q < qsup; q++) {
        long double g = std::sqrt(std::fabs((long double)p->aldDq[q] / m.a));
        if (m.gauss) {
            p->thetadata[2] = (double)(((long double)nbands - (long double)p->C_q) * m.b);
            p->thetadata[3] = (double)(m.sr / 2);
        }
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = qavex_t_new_pac(m.N);
        if (!psW->pac[q]) {
            qbank_t_make_out_of_memory(psW);
            return;
        }
        qbank_t_warped_spectrum(p, m, q, g, psW->pac[q]);
        if (!qbank_t_warped_to_time(psW, m, q)) return;
        qbank_t_warped_decimate(p, m, psW->pac[q]);
    }
}

static void qbank_t_make_cos_not_warped(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup)
{
    sQbank_Param *p = &psW->sParam;
    if (!p->aldDq) return;
    const long double T = p->dWinlength_window;
    const long double D = T * qbank_sample_rate(psW) * p->C_SR;
    if (D >= 2147483647.0L) {
        post("Windows need too much memory");
        return;
    }
    const std::int32_t N = qavex_t_to_int32(D, QAVEX_NAN_LOWEST);
    if ((long double)N != D) post("Fensterlaenge dN=%f nicht ganzzahlig", (double)D);
    if (N < 1) {
        pd_error(nullptr, "qbank_t_make: window length of %i samples, no windows made", (int)N);
        return;
    }
    const long double b = p->_b, R = p->_R;
    const double H = (double)std::sqrt(2 * b / R);
    const long double g = std::sqrt((long double)p->aldDq[0] / (long double)p->_a) * qbank_sample_rate_window_gain(psW);
    if ((long double)N * qsup * 16 > QBANK_MEMORY_LIMIT ||
        !qbank_t_windows_fit(psW, "qbank_tilde make", qmin, qsup, true, false, (long double)N * 16 * (qsup - qmin),
                             (long double)N * 16)) {
        post("Windows need too much memory");
        return;
    }
    for (std::int32_t q = qmin; q < qsup; q++) {
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = qavex_t_new_pac(N);
        if (!psW->pac[q]) {
            qbank_t_make_out_of_memory(psW);
            return;
        }
        pac_type *w = psW->pac[q];
        const long double nu = qavex_t_Theta_lin((double)(q * b), p->thetadata);
        for (std::int32_t i = 0; i < N; i++) {
            long double t = i * T / D - T / 2;
            long double ph = 2 * QAVEX_PI * nu * t;
            long double c = qavex_t_wf_win_cos((double)t, H, (double)T, 0).real();
            long double re = g * std::cos(ph) * c, im = g * std::sin(ph) * c;
            if (q > 0) {
                re *= QBANK_SQRT2;
                im *= QBANK_SQRT2;
            }
            w[i] = pac_type((double)re, (double)im);
        }
        qavex_t_pac_set_header(w, N, pac_type(0.0, 0.0));
    }
}

static void qbank_t_make_windows(sQbank_t *psW, std::int32_t iAN)
{
    const sQbank_Bands sel = qbank_t_select_bands(psW, iAN, QBANK_BANDS_WINDOWS);
    if (sel.first >= sel.last) return;
    const std::int32_t qmin = sel.first, qsup = sel.last;
    switch ((std::int32_t)psW->sParam.eWindowType) {
    case WIN_SQRT_GAUSS:
    case WIN_COS:
        qbank_t_make_warped(psW, qmin, qsup);
        break;
    case WIN_COS_NOT_WARPED:
        qbank_t_make_cos_not_warped(psW, qmin, qsup);
        break;
    case WIN_ZERO:
        qbank_t_make_zero(psW, qmin, qsup);
        break;
    default:
        pd_error(nullptr, "Keine zulaessiges Fenster gewaehlt. Setze Fenster auf 0");
        qbank_t_make_zero(psW, qmin, qsup);
        break;
    }
}

static void qbank_t_shorten_windows(sQbank_t *psW, std::int32_t iAN)
{
    sQbank_Param *p = &psW->sParam;
    if (p->eWindowType != WIN_COS && p->eWindowType != WIN_SQRT_GAUSS) return;
    const sQbank_Bands sel = qbank_t_select_bands(psW, iAN, QBANK_BANDS_WINDOWS);
    if (sel.first >= sel.last || !p->aiDq) return;
    for (std::int32_t q = sel.first; q < sel.last; q++) {
        pac_type *w = psW->pac[q];
        if (!w) break;
        std::int32_t Nold = qavex_t_window_length(w);
        pac_type side = qavex_t_pac_side(w);
        long double s = (long double)qavex_t_maximum_array(&psW->pac[q]).real() / (long double)p->C_cut;
        std::int32_t N0 = qavex_t_get_first_small_value_array(&psW->pac[q], (pac_type_real)s);
        std::int32_t Nmax = qavex_t_to_int32((long double)p->T_max * qbank_sample_rate(psW), QAVEX_NAN_LOWEST);
        if ((long long)Nold - 2LL * N0 > Nmax) {
            post("Fenster laenger als Tmax fuer q=%i", (int)q);
            N0 = (std::int32_t)(((long long)Nold - Nmax) / 2);
        }
        N0 = rounddown_x(N0, p->aiDq[q]);
        if ((long long)Nold - N0 <= N0) {
            post("Fenster nicht stutzbar fuer q=%i", (int)q);
            continue;
        }
        std::int32_t Nnew = Nold - 2 * N0;
        if (Nnew >= Nold) {
            post("T_c zu klein fuer q=%i", (int)q);
            continue;
        }
        pac_type *nw = qavex_t_new_pac(Nnew, side);
        if (!nw) {
            pd_error(nullptr, "qbank_t_shorten_windows Out of memory for q=%i", (int)q);
            continue;
        }
        std::memcpy(nw, w + N0, (std::size_t)Nnew * sizeof(pac_type));
        qavex_t_free(w);
        psW->pac[q] = nw;
    }
}

std::int32_t qbank_t_test_windows(sQbank_t *psW, std::int32_t iPrintOutput)
{
    sQbank_Param *p = &psW->sParam;
    std::int32_t count = 0;
    if (iPrintOutput != 0) pd_error(nullptr, "Ueberpruefe Fenster");
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        pac_type *w = psW->pac ? psW->pac[q] : nullptr;
        if (!w) {
            count++;
            pd_error(nullptr, "Fenster %i: nicht vorhanden", (int)q);
            break;
        }
        std::int32_t N = qavex_t_window_length(w);
        std::int32_t dq = p->aiDq ? p->aiDq[q] : 0;
        if (dq > N) {
            count++;
            pd_error(nullptr, "Fenster %i, Laenge = %i < (t_int)dq = %i", (int)q, (int)N, (int)dq);
        }
        if (dq == 0) {
            count++;
            if (iPrintOutput != 0) pd_error(nullptr, "(t_int)d_%i = 0", (int)q);
        }
        std::int32_t nans = 0, infs = 0;
        for (std::int32_t i = 0; i < N; i++) {
            nans += std::isnan(w[i].real()) + std::isnan(w[i].imag());
            infs += std::isinf(w[i].real()) + std::isinf(w[i].imag());
        }
        count += nans + infs;
        if (nans > 0) pd_error(nullptr, "Fenster %i: Anzahl Nans: %i", (int)q, (int)nans);
        if (infs > 0) pd_error(nullptr, "Fenster %i: Anzahl Nans: %i", (int)q, (int)infs);
    }
    if (count > 0) pd_error(nullptr, "Es gibt Fehler");
    else if (iPrintOutput != 0) pd_error(nullptr, "Keine Fehler");
    return count;
}

// ================================================================ object

static void qbank_t_make(sQbank_t *psW, t_floatarg f)
{
    qbank_t_dual_windows_changed(psW);
    qbank_t_make_windows(psW, qavex_t_to_int32(f, QAVEX_NAN_LOWEST));
}
static void qbank_t_shorten(sQbank_t *psW, t_floatarg f)
{
    qbank_t_dual_windows_changed(psW);
    qbank_t_shorten_windows(psW, qavex_t_to_int32(f, QAVEX_NAN_LOWEST));
}
static void qbank_t_test(sQbank_t *psW, t_floatarg f) { qbank_t_test_windows(psW, qavex_t_to_int32(f, QAVEX_NAN_LOWEST)); }

static t_int *qbank_t_perform(t_int *w)
{
    sQbank_t *psW = (sQbank_t *)w[1];
    t_sample *out = (t_sample *)w[2];
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
        pd_error(nullptr, "qbank_tilde: block size %i too small for the parameter channel", (int)sp[0]->s_n);
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
    post("Longest Frame paf: \t%i smp=\t%f\ts", (int)p->iLongestFrame_paf, p->iLongestFrame_paf / (double)qbank_sample_rate(psW));
    post("a: \t%f[s]=%f\tsmp, b: \t%f\tHz, C_b: \t%f", p->_a, p->_a * (double)qbank_sample_rate(psW), p->_b, p->C_b);
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

// Readers must never see an infinite or NaN window value: a band whose
// complex window has one (or a part beyond the float range) stops the
// conversion before any float window is touched.
static bool qbank_t_pac_publishable(sQbank_t *psW, std::int32_t qmin, std::int32_t qsup)
{
    for (std::int32_t q = qmin; q < qsup; q++) {
        const pac_type *w = psW->pac[q];
        if (w && !qavex_t_publishable(w, qavex_t_window_length(w))) {
            pd_error(psW, "qbank_tilde copy_pac2paf: window %i holds values that are not finite floats; "
                          "float windows unchanged", (int)q);
            return false;
        }
    }
    return true;
}

static void qbank_t_copy_pac2paf(sQbank_t *psW, t_floatarg f)
{
    sQbank_Param *p = &psW->sParam;
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_WINDOWS);
    const std::int32_t qmin = sel.first, qsup = sel.last;
    if (qmin >= qsup || !p->paf_r || !p->paf_i) return;
    if (!qbank_t_pac_publishable(psW, qmin, qsup)) return;
    // New float windows replace the old ones band by band.
    long double add = 0;
    for (std::int32_t q = qmin; q < qsup; q++)
        if (psW->pac[q]) {
            add += (long double)qavex_t_window_length(psW->pac[q]) * 2 * sizeof(paf_type);
            for (paf_type **t : {p->paf_r, p->paf_i})
                if (t[q]) add -= (long double)qavex_t_window_length(t[q]) * sizeof(paf_type);
        }
    if (!qbank_t_windows_fit(psW, "qbank_tilde copy_pac2paf", 0, 0, false, false, add, 0)) return;
    for (std::int32_t q = qmin; q < qsup; q++) {
        pac_type *w = psW->pac[q];
        if (!w) continue;
        std::int32_t N = qavex_t_window_length(w);
        if (N <= 0) continue;  // nothing to convert
        qavex_t_free(p->paf_r[q]);
        qavex_t_free(p->paf_i[q]);
        pac_type side = qavex_t_pac_side(w);
        p->paf_r[q] = qavex_t_new_paf(N, (paf_type)side.real());
        p->paf_i[q] = qavex_t_new_paf(N, (paf_type)side.imag());
        if (!p->paf_r[q] || !p->paf_i[q]) {
            pd_error(nullptr, "qbank_t_copy_pac2paf: Out of Memory");
            qbank_t_free_paf_windows(psW);
            return;
        }
        // Parts below the float range become 0 rather than subnormal floats.
        for (std::int32_t i = 0; i < N; i++) {
            p->paf_r[q][i] = qavex_t_flush_subnormal((paf_type)w[i].real());
            p->paf_i[q][i] = qavex_t_flush_subnormal((paf_type)w[i].imag());
        }
    }
    p->iLongestFrame_paf = qbank_t_find_longest_frame_paf(psW);
    p->iGeneration = qavex_t_next_generation();
}

static void qbank_t_copy_paf2pac(sQbank_t *psW, t_floatarg f)
{
    sQbank_Param *p = &psW->sParam;
    const sQbank_Bands sel = qbank_t_select_bands(psW, f, QBANK_BANDS_WINDOWS);
    const std::int32_t qmin = sel.first, qsup = sel.last;
    if (qmin >= qsup || !p->paf_r || !p->paf_i) return;
    // New complex windows replace the old ones band by band.
    long double add = 0, largest = 0;
    for (std::int32_t q = qmin; q < qsup; q++)
        if (p->paf_r[q] && p->paf_i[q]) {
            const long double b = (long double)qavex_t_window_length(p->paf_r[q]) * sizeof(pac_type);
            add += b - (psW->pac[q] ? (long double)qavex_t_window_length(psW->pac[q]) * sizeof(pac_type) : 0);
            if (b > largest) largest = b;
        }
    if (!qbank_t_windows_fit(psW, "qbank_tilde copy_paf2pac", 0, 0, false, false, add, largest)) return;
    qbank_t_dual_windows_changed(psW);
    for (std::int32_t q = qmin; q < qsup; q++) {
        if (!p->paf_r[q] || !p->paf_i[q]) continue;
        std::int32_t N = qavex_t_window_length(p->paf_r[q]);
        if (N <= 0) continue;
        qavex_t_free(psW->pac[q]);
        psW->pac[q] = qavex_t_new_pac(N, pac_type(qavex_t_paf_side(p->paf_r[q]), qavex_t_paf_side(p->paf_i[q])));
        if (!psW->pac[q]) {
            pd_error(nullptr, "qbank_t_copy_paf2pac: Out of Memory");
            qbank_t_free_pac_windows(psW);
            return;
        }
        for (std::int32_t i = 0; i < N; i++) psW->pac[q][i] = pac_type(p->paf_r[q][i], p->paf_i[q][i]);
    }
}

static void qbank_t_paf2list(sQbank_t *psW, t_symbol *, int argc, t_atom *argv)
{
    sQbank_Param *p = &psW->sParam;
    if (argc < 1) {
        pd_error(nullptr, "Falscher Aufruf der Runktion paf2list");
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
    if (argc >= 2) atom_string(argv + 1, p->thetapath, sizeof p->thetapath);
    else p->thetapath[0] = 0;
    p->thetapath[sizeof p->thetapath - 1] = 0;
    p->eThetaType = (_eThetaType)type;
}

// Setting messages. A value that fails its range test (NaN included) is
// replaced by the default.
static void qbank_t_set_window_type(sQbank_t *psW, t_floatarg f) { psW->sParam.eWindowType = (_eWindowType)qavex_t_to_int32(f, QAVEX_NAN_LOWEST); }
static void qbank_t_set_C_b(sQbank_t *psW, t_floatarg f) { psW->sParam.C_b = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_C_T_c(sQbank_t *psW, t_floatarg f) { psW->sParam.C_T_c = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_T_max(sQbank_t *psW, t_floatarg f) { psW->sParam.T_max = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_C_d(sQbank_t *psW, t_floatarg f) { psW->sParam.C_d = f > 0 ? (double)f : 1.0; }
static void qbank_t_set_C_q(sQbank_t *psW, t_floatarg f) { psW->sParam.C_q = f >= 0 ? (double)f : 0.0; }
static void qbank_t_set_C_SR(sQbank_t *psW, t_floatarg f) { psW->sParam.C_SR = qavex_t_to_int32(f > 0 ? (long double)f : 1.0L, QAVEX_NAN_LOWEST); }
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
    qavex_t_record_remove(p);
    outlet_free(psW->x_outC);
    outlet_free(psW->x_outM);
    psW->x_outC = psW->x_outM = nullptr;
    qbank_t_dual_delete(psW);
    qbank_t_free_layout(psW);
    qavex_t_free(p->thetadata);
    p->thetadata = nullptr;
}

// ================================================================ array commands
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
static void qbank_t_set_nan_to_zero(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_set_nan_to_zero_array); }
static void qbank_t_set_inf_to_zero(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_set_inf_to_zero_array); }
static void qbank_t_normalize(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_normalize_array); }
static void qbank_t_fft(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_fft_array); }
static void qbank_t_differentiate(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_differentiate_array); }
static void qbank_t_integrate(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_integrate_array); }
static void qbank_t_imag_plus_real(sQbank_t *psW, t_floatarg fAN) { qbank_ac_each(psW, fAN, qavex_t_imag_plus_real_array); }

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
            if (wide)
                post("[%i]*[%i]/L=\t%+8e+\tI*%+8e", (int)q1, (int)q2, c.real(), c.imag());
            else
                post("[%i]*[%i]/L=\t%e+\tI*%e", (int)q1, (int)q2, c.real(), c.imag());
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
            if (w == 0)
                factor = pac_type((double)magnitude, 0.0);  // both draws 0: no phase to take
            else
                factor = pac_type((double)(r2 * (magnitude / w)), (double)(r1 * (magnitude / w)));
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

static void qbank_t_round_up_to_multiple_of_small_primes(sQbank_t *, t_floatarg n, t_floatarg maxprime)
{
    qavex_t_round_message(n, maxprime);
}

static void qbank_t_setup_array_commands(t_class *c)
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
    class_addmethod(c, (t_method)qbank_t_make_dc_offset, gensym("make_dc_offset"), A_DEFFLOAT, A_DEFFLOAT,
                    A_DEFFLOAT, A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_inner_product, gensym("inner_product"), A_DEFFLOAT, A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_length_of_vector, gensym("length_of_vector"), A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_prolong, gensym("prolong"), A_DEFFLOAT, A_DEFFLOAT, A_DEFFLOAT,
                    A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_array_synopsis, gensym("array_synopsis"), A_GIMME, A_NULL);
    class_addmethod(c, (t_method)qbank_t_round_up_to_multiple_of_small_primes,
                    gensym("round_up_to_multiple_of_small_primes"), A_DEFFLOAT, A_DEFFLOAT, A_NULL);
}
// ================================================================ end of array commands

// ================================================================ class

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
    class_addmethod(c, (t_method)qbank_t_print_first_and_last_value, gensym("print_first_and_last_value"),
                    A_DEFFLOAT, A_NULL);
    class_addmethod(c, (t_method)qbank_t_print_band, gensym("print_band"), A_DEFFLOAT, A_NULL);
    qbank_t_setup_array_commands(c);
    qbank_t_dual_setup(c);
}
