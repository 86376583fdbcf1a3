// Map files of the designer: B-spline tables from a source file, and the processed cache.
#include "qbank_map_files.h"

#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "allocator.h"
#include "console_capture.h"
#include "m_pd.h"
#include "map_cache.h"
#include "patch_paths.h"
#include "qavex_t_theta_functions.h"
#include "records.h"
#include "safety.h"
#include "work_bounds.h"

// Limits of the thetadata files: rows of a source file and entries of one
// table. A file beyond them is treated as corrupt.
static constexpr std::int32_t QBANK_MAX_ROWS = 1000000;
static constexpr std::int32_t QBANK_MAX_TABLE = 1000000;
static constexpr double QBANK_MAX_TABLE_VALUE = 1e10;

double *qbank_t_new_thetadata(std::size_t n, double f0, double k)
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
            if (X[0] > 0 || Y[0] > 0)
                qavex_t_post("Thetadata file is wrong. Data does not start with negative values.");
        } else if (X[i] < X[i - 1] || Y[i] < Y[i - 1]) {
            qavex_t_post("Thetadata file is wrong. Data not monotone increasing.");
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
                !qbank_t_targets_reachable(Y, N, si, si + Si - 1) ||
                !qbank_t_targets_reachable(X, N, sf, sf + Sf - 1)) {
                result = LOAD_CORRUPT;
            } else if (!qbank_map_tables_within_bound(Si, Sf)) {
                result = LOAD_REFUSED;
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

static void qbank_t_write_processed(const sQbank_t *psW, const char *name, const double *d)
{
    FILE *f = std::fopen(name, "w");
    if (!f) {
        qavex_t_error(psW, "Could not write the processed thetadata file %s: %s", name, std::strerror(errno));
        return;
    }
    std::int32_t si = (std::int32_t)d[5], Si = (std::int32_t)d[6];
    std::int32_t sf = (std::int32_t)d[Si + 12], Sf = (std::int32_t)d[Si + 13];
    std::fprintf(f, "%d \n%d\n", (int)Si, (int)si);
    std::fprintf(f, "%d \n%d\n", (int)Sf, (int)sf);
    for (std::int32_t i = 0; i < Si; i++) std::fprintf(f, "%.17g\n", d[11 + i]);
    for (std::int32_t i = 0; i < Sf; i++) std::fprintf(f, "%.17g\n", d[Si + 18 + i]);
    if (std::fclose(f) != 0) qavex_t_error(psW, "Could not write the processed thetadata file %s", name);
}

int qbank_t_load_bspline(sQbank_t *psW)
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
                // A cache that no longer describes its source is rebuilt from it.
                const eMapCache c = qbank_map_cache_check(path, processed, d);
                if (c == eMapCache::KEEP) {
                    qavex_t_free(p->thetadata);
                    p->thetadata = d;
                    return LOAD_OK;
                }
                qavex_t_free(d);
                if (c == eMapCache::NO_MEMORY) return LOAD_NO_MEMORY;
            } else {
                qavex_t_error(psW, "Thetadata file %s is corrupt, reading %s instead.", processed.c_str(),
                              path.c_str());
            }
        }
    }
    FILE *f = std::fopen(path.c_str(), "r");
    if (!f) {
        qbank_t_cut_path(p->thetapath, 480);
        std::strcat(p->thetapath, "File not found.");
        qavex_t_post("File not found. Change to EXP_C1_NYQU.");
        return LOAD_FALLBACK;
    }
    double *d = nullptr;
    int r = qbank_t_read_source(f, f0, k, &d);
    std::fclose(f);
    if (r == LOAD_NO_MEMORY || r == LOAD_REFUSED) return r;
    if (r == LOAD_FALLBACK) {
        qbank_t_cut_path(p->thetapath, 480);
        qavex_t_post("Thetadata file is wrong. Size entry in first row nonpositive.");
        return r;
    }
    if (r == LOAD_CORRUPT) {
        // A corrupt source file is handled as a missing one.
        qavex_t_error(psW, "Thetadata file %s is corrupt (unreadable, too few or unusable numbers).", p->thetapath);
        qbank_t_cut_path(p->thetapath, 480);
        std::strcat(p->thetapath, "File not found.");
        qavex_t_post("File not found. Change to EXP_C1_NYQU.");
        return LOAD_FALLBACK;
    }
    qavex_t_free(p->thetadata);
    p->thetadata = d;
    if (usable_name) qbank_t_write_processed(psW, processed.c_str(), d);
    return LOAD_OK;
}
