#include "safety.h"

#include "qbank_t.h"

bool qavex_t_clean_samples(t_sample *v, int n)
{
    bool bad = false;
    for (int i = 0; i < n; i++) {
        std::uint32_t u;
        std::memcpy(&u, &v[i], sizeof u);
        const std::uint32_t e = u & 0x7f800000u;
        if (e == 0x7f800000u) {
            bad = true;
            v[i] = 0.0f;
        } else if (e == 0 && (u & 0x007fffffu)) {
            v[i] = 0.0f;
        }
    }
    return bad;
}

bool qavex_t_publishable(const pac_type *w, std::int32_t n)
{
    for (std::int32_t i = 0; i < n; i++)
        if (!(std::fabs(w[i].real()) <= FLT_MAX && std::fabs(w[i].imag()) <= FLT_MAX)) return false;
    return true;
}

void qavex_t_warn_episode(std::int32_t *latch, bool seen, const char *text)
{
    if (seen && !*latch) post("%s", text);
    *latch = seen ? 1 : 0;
}

bool qavex_t_fits_bound(const void *obj, const char *request, long double bytes, long double bound)
{
    if (bytes <= bound) return true;
    pd_error(obj, "%s: needs %.0f bytes, beyond the bound of %.0f bytes; refused", request, (double)bytes,
             (double)bound);
    return false;
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
