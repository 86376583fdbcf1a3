#include "work_bounds.h"

#include <cmath>
#include <cstdint>

#include "allocator.h"
#include "console_capture.h"
#include "m_pd.h"
#include "qbank_record.h"
#include "records.h"
#include "safety.h"
#include "sample_rate.h"
#include "window_words.h"

bool qbank_map_tables_within_bound(std::int64_t Si, std::int64_t Sf)
{
    if (Si + Sf <= QBANK_MAP_MAX_TABLE_ENTRIES) return true;
    qavex_t_error(nullptr,
                  "qbank_tilde initialize: the map file asks for tables of %lld entries, beyond the bound of %lld "
                  "table entries for a map file; the bank stays as it was",
                  (long long)(Si + Sf), (long long)QBANK_MAP_MAX_TABLE_ENTRIES);
    return false;
}

bool qbank_map_bank_within_bound(const sQbank_t *psW, std::int32_t bands)
{
    const sQbank_Param *p = &psW->sParam;
    if (bands <= 0) return true;
    // The computation length "make" rounds to whole samples, oversampled.
    const long double N = std::trunc((long double)p->dWinlength_compute * qbank_sample_rate(psW->sRate) + 0.5L) *
                          (p->C_SR > 1 ? p->C_SR : 1);
    const long double samples = N * bands;
    if (samples <= QBANK_MAP_MAX_WINDOW_SAMPLES && samples * sizeof(pac_type) <= QBANK_MEMORY_LIMIT) return true;
    qavex_t_error(psW,
                  "qbank_tilde initialize: the map file gives %i bands of %.0f samples (%.0f window samples), beyond "
                  "the bound of %.0f window samples for a map file; the bank stays as it was",
                  (int)bands, (double)N, (double)samples, (double)QBANK_MAP_MAX_WINDOW_SAMPLES);
    return false;
}

bool qbank_dual_within_bound(sQbank_t *psW)
{
    const sQbank_Param *p = &psW->sParam;
    if (p->iq_compute_sup <= 0 || !p->paf_r || !p->paf_i) return true;  // reported by make_dual itself
    std::int64_t bands = 0, longest = 0;
    long double samples = 0;
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        const std::int64_t a = p->paf_r[q] ? qavex_t_window_length(p->paf_r[q]) : 0;
        const std::int64_t b = p->paf_i[q] ? qavex_t_window_length(p->paf_i[q]) : 0;
        const std::int64_t L = a < b ? a : b;
        if (L < 1) continue;
        bands++;
        samples += (long double)(a > b ? a : b);
        if (L > longest) longest = L;
    }
    // The transform grid is at least twice the longest window.
    const long double grid = 2.0L * (long double)longest < 64 ? 64 : 2.0L * (long double)longest;
    const long double work = grid * (long double)bands;
    if (work > QBANK_DUAL_MAX_WORK) {
        qavex_t_error(
            psW,
            "qbank: make_dual: %lld bands on a transform grid of %.0f points (%.0f), beyond the bound of %.0f "
            "band-grid points; refused, the bank stays as it was",
            (long long)bands, (double)grid, (double)work, (double)QBANK_DUAL_MAX_WORK);
        return false;
    }
    // Grid (two complex arrays and one real per point) and the duals.
    return qbank_t_windows_fit(psW, "qbank: make_dual", 0, 0, false, false,
                               grid * 40.0L + samples * 2 * sizeof(paf_type), 0);
}

bool qbank_undo_begin(sQbank_t *psW, sQbank_Undo *u)
{
    sQbank_Param *p = &psW->sParam;
    u->sParam = *p;
    u->dSampleRate = psW->sRate.dSampleRate;
    if (!p->thetadata) return true;
    // The derivation reads f0 and k from its working copy and releases it.
    double *copy = (double *)qavex_t_malloc0(4 * sizeof(double));
    if (!copy) return false;
    for (int i = 0; i < 4; i++) copy[i] = p->thetadata[i];
    p->thetadata = copy;
    return true;
}

void qbank_undo_commit(sQbank_Undo *u)
{
    qavex_t_free(u->sParam.thetadata);
    u->sParam.thetadata = nullptr;
}

void qbank_undo_restore(sQbank_t *psW, sQbank_Undo *u)
{
    qavex_t_free(psW->sParam.thetadata);
    psW->sParam = u->sParam;
    psW->sRate.dSampleRate = u->dSampleRate;
    u->sParam.thetadata = nullptr;
}

// A transform of the largest window holds its work copy, its output and
// FFTW's own buffers besides the window; a cycle holds one copy.
constexpr long double QBANK_TRANSFORM_COPIES = 3;

bool qbank_t_windows_fit(sQbank_t *psW, const char *request, std::int32_t qmin, std::int32_t qsup, bool drop_pac,
                         bool drop_paf, long double add, long double add_largest)
{
    const sQbank_Param *p = &psW->sParam;
    long double kept = 0, largest = add_largest;
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        const bool selected = q >= qmin && q < qsup;
        if (psW->pac && psW->pac[q] && !(selected && drop_pac)) {
            const long double b = (long double)qavex_t_window_length(psW->pac[q]) * sizeof(pac_type);
            kept += b;
            if (b > largest) largest = b;
        }
        if (!(selected && drop_paf))
            for (paf_type **t : {p->paf_r, p->paf_i})
                if (t && t[q]) kept += (long double)qavex_t_window_length(t[q]) * sizeof(paf_type);
    }
    return qavex_t_fits_bound(psW, request, kept + add + QBANK_TRANSFORM_COPIES * largest, QBANK_MEMORY_LIMIT);
}
