#include "map_cache.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "allocator.h"
#include "console_capture.h"
#include "m_pd.h"
#include "qavex_t_theta_functions.h"
#include "records.h"

namespace {

// Rows a source may hold for the comparison (as many as a derivation reads).
constexpr int MAP_MAX_ROWS = 1000000;
// Table entries recomputed from the source, spread over each table.
constexpr int MAP_SAMPLES = 16;

// True when a was written after b (false when either cannot be looked at).
bool newer(const std::string &a, const std::string &b)
{
    std::error_code ea, eb;
    const auto ta = std::filesystem::last_write_time(a, ea);
    const auto tb = std::filesystem::last_write_time(b, eb);
    return !ea && !eb && ta > tb;
}

// The source's rows: Y (frequency, first column) and X (warped coordinate)
// in one block rows[0..N-1] = Y, rows[N..2N-1] = X. 0 rows when the source
// cannot be read in full, -1 when memory ran out.
int read_rows(const std::string &source, double **rows)
{
    *rows = nullptr;
    FILE *f = std::fopen(source.c_str(), "r");
    if (!f) return 0;
    int N = 0;
    if (std::fscanf(f, "%d", &N) != 1 || N < 2 || N > MAP_MAX_ROWS) {
        std::fclose(f);
        return 0;
    }
    double *r = (double *)qavex_t_malloc0((std::size_t)N * 2 * sizeof(double));
    if (!r) {
        std::fclose(f);
        return -1;
    }
    for (int i = 0; i < N; i++)
        if (std::fscanf(f, "%lf %lf", &r[i], &r[N + i]) != 2 || !std::isfinite(r[i]) || !std::isfinite(r[N + i])) {
            N = 0;
            break;
        }
    std::fclose(f);
    if (N == 0) qavex_t_free(r);
    else *rows = r;
    return N;
}

// 1 when v never falls, 2 when it always rises, else 0.
int monotony(const double *v, std::int32_t n)
{
    int m = 2;
    for (std::int32_t i = 1; i < n; i++) {
        if (v[i] < v[i - 1]) return 0;
        if (v[i] == v[i - 1]) m = 1;
    }
    return m;
}

// Whether table T (n entries: T[v] is where the curve through the rows
// reaches start + v in the coordinate `key` holds, as solve() gives it,
// measured by value()) matches the curve at MAP_SAMPLES places and around
// entry `near`, where it matters most.
bool values_match(const double *T, std::int32_t n, std::int32_t start, std::int32_t near, double *X, double *Y, int N,
                  const double *key, bspline_curve_function solve, bspline_curve_function value)
{
    for (int s = 0; s <= MAP_SAMPLES + 4; s++) {
        const std::int32_t v =
            s <= MAP_SAMPLES ? (std::int32_t)((long long)(n - 1) * s / MAP_SAMPLES) : near + s - MAP_SAMPLES - 3;
        if (v < 0 || v >= n) continue;
        const double target = (double)start + v;
        // The row below the target starts the search: the curve parameter
        // runs with the row index.
        int lo = 0, hi = N - 1;
        while (hi - lo > 1) {
            const int mid = (lo + hi) / 2;
            (key[mid] <= target ? lo : hi) = mid;
        }
        const double t = bspline_inter_inv(solve, target, X, Y, N, 2, lo - 1, lo + 2, 1e-9);
        if (std::isnan(t)) continue;
        const double want = value(t, X, Y, N, 2);
        // The tables are sampled at unit steps: a neighbour's distance is the
        // slope that turns the search's accuracy into one of the value.
        const double step = std::fabs(T[v < n - 1 ? v + 1 : v] - T[v > 0 ? v - 1 : v]);
        if (!(std::fabs(T[v] - want) <= 1e-6 * (1.0 + step))) return false;
    }
    return true;
}

// Why the tables in d do not describe the rows, or null.
const char *mismatch(const double *d, double *Y, double *X, int N)
{
    const std::int32_t si = (std::int32_t)d[5], Si = (std::int32_t)d[6];
    const double *inv = d + 11;
    const std::int32_t sf = (std::int32_t)d[Si + 12], Sf = (std::int32_t)d[Si + 13];
    const double *fwd = d + Si + 18;
    // The tables span the integer grids of the rows' first and last values.
    const long double lsf = std::trunc((long double)X[0]), lsi = std::trunc((long double)Y[0]);
    const long double lef = std::trunc((long double)X[N - 1] + 1), lei = std::trunc((long double)Y[N - 1] + 1);
    if (lsi != si || lei - lsi != Si || lsf != sf || lef - lsf != Sf) return "its table ranges differ";
    const int mx = monotony(X, N), my = monotony(Y, N);
    if (mx && my) {
        if (!monotony(inv, Si) || !monotony(fwd, Sf) || (Y[N - 1] > Y[0] && !(inv[Si - 1] > inv[0])) ||
            (X[N - 1] > X[0] && !(fwd[Sf - 1] > fwd[0])))
            return "its tables are not monotone";
    }
    if (mx == 2 && my == 2) {
        // Around the Nyquist frequency the band count is decided.
        const std::int32_t nyq = (std::int32_t)(QAVEX_SR / 2) - si;
        if (!values_match(inv, Si, si, nyq, X, Y, N, Y, bspline_inter2_second, bspline_inter2_first) ||
            !values_match(fwd, Sf, sf, 0, X, Y, N, X, bspline_inter2_first, bspline_inter2_second))
            return "its table values differ";
    }
    return nullptr;
}

}  // namespace

eMapCache qbank_map_cache_check(const std::string &source, const std::string &processed, const double *d)
{
    if (newer(source, processed)) {
        qavex_t_post("Thetadata file %s is newer than %s, rebuilding it.", source.c_str(), processed.c_str());
        return eMapCache::REBUILD;
    }
    double *rows = nullptr;
    const int N = read_rows(source, &rows);
    if (N < 0) return eMapCache::NO_MEMORY;
    if (N == 0) return eMapCache::KEEP;
    const char *why = mismatch(d, rows, rows + N, N);
    qavex_t_free(rows);
    if (!why) return eMapCache::KEEP;
    qavex_t_error(nullptr, "Thetadata file %s does not describe %s (%s), rebuilding it.", processed.c_str(),
                  source.c_str(), why);
    return eMapCache::REBUILD;
}
