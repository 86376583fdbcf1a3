// Guards shared by the objects against input that would stall, exhaust or
// corrupt them: empty bus blocks for unsupported block sizes, non-finite and
// subnormal values, and the per-object memory bound.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "m_pd.h"
#include "records.h"

// n zero words: what a bus outlet carries when its block size is not 64.
inline void qavex_t_write_empty_vector(t_sample *v, int n)
{
    if (n > 0) std::memset(v, 0, (std::size_t)n * sizeof(t_sample));
}

// ---------------------------------------------------------------- values

// Neither infinite nor NaN (all exponent bits set).
inline bool qavex_t_finite(float x)
{
    std::uint32_t u;
    std::memcpy(&u, &x, sizeof u);
    return (u & 0x7f800000u) != 0x7f800000u;
}
inline bool qavex_t_finite(double x) { return x - x == 0.0; }

// Subnormal values become 0: in extended precision they cost a slow
// assist on many processors. Normal values, zeros and NaN pass unchanged.
inline double qavex_t_flush_subnormal(double v) { return v != 0.0 && std::fabs(v) < DBL_MIN ? 0.0 : v; }
inline float qavex_t_flush_subnormal(float v) { return v != 0.0f && std::fabs(v) < FLT_MIN ? 0.0f : v; }

// Replaces non-finite and subnormal samples by 0; true when one was
// non-finite.
bool qavex_t_clean_samples(t_sample *v, int n);

// A window may be published as floats when every part is finite as a float.
bool qavex_t_publishable(const pac_type *w, std::int32_t n);

// One warning per episode: posts text when seen starts an episode; the
// latch re-arms with the first block that has nothing to report.
void qavex_t_warn_episode(std::int32_t *latch, bool seen, const char *text);

// ---------------------------------------------------------------- memory

// Buffers one analysis, synthesis or delay object may hold at once, in
// bytes (1 GiB). The designer's bound is QBANK_MEMORY_LIMIT.
constexpr long double QAVEX_MEMORY_BOUND = 1073741824.0L;

// True when bytes fit the bound; otherwise one error naming the request
// and the bound. Callers check before they release or allocate anything.
bool qavex_t_fits_bound(const void *obj, const char *request, long double bytes, long double bound);
