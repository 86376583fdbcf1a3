// Real to 32-bit integer conversion with a stated rule for NaN and range.
#pragma once

#include <climits>
#include <cmath>
#include <cstdint>

// How qavex_t_to_int32 treats what has no truncated value in [lo, hi].
struct sQavex_IntRule {
    std::int32_t if_nan = 0;      // result for NaN
    std::int32_t lo = INT32_MIN;  // smallest result
    std::int32_t hi = INT32_MAX;  // largest result
    bool outside_as_nan = false;  // out of range gives if_nan instead of lo or hi
};
// Real to int32: truncation toward zero, saturated to [lo, hi] (or if_nan outside), NaN gives if_nan.
template <class F>
inline std::int32_t qavex_t_to_int32(F v, sQavex_IntRule r = {})
{
    using W = decltype(v + 0.0);  // double, or long double for long double input
    const W w = (W)v;
    if (std::isnan(w)) return r.if_nan;
    if (r.outside_as_nan) {
        const W t = std::trunc(w);
        return (t < (W)r.lo || t > (W)r.hi) ? r.if_nan : (std::int32_t)t;
    }
    if (w <= (W)r.lo) return r.lo;
    if (w >= (W)r.hi) return r.hi;
    return (std::int32_t)w;
}
// The designer's rule: NaN reads like -infinity.
constexpr sQavex_IntRule QAVEX_NAN_LOWEST{.if_nan = INT32_MIN};
