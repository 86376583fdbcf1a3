#include "safety.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "m_pd.h"
#include "records.h"
#include "window_words.h"

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
