// Ring length from an object's length-factor argument.
#include "rings.h"

#include <cstdint>

#include "conversions.h"
#include "m_pd.h"
#include "records.h"

std::int32_t qavex_t_ring_length(t_floatarg f, const sQavex_RingFactor &rule, bool *limited)
{
    const bool by_default = rule.one_is_default ? !(f > 1.0f) : !(f >= 1.0f);
    if (limited) *limited = !by_default && (double)f > (double)rule.max_factor;
    return QAVEX_BLOCK * (by_default ? rule.default_factor : qavex_t_to_int32(f, {.hi = rule.max_factor}));
}
