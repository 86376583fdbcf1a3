// Header words of the complex (pac) and float (paf) window arrays: length
// and side words in front, guards around, and fresh arrays with them set.
#pragma once

#include <cstdint>

#include "conversions.h"
#include "records.h"

// pac: element -6 side word, -5 length word (N, 0), -4..-1 and N..N+3 guards.
// paf: element -6 side word, -5 length word N as float.
// Window length N from the length word: 0 unless it truncates to 1..INT32_MAX.
inline std::int32_t qavex_t_window_length(const pac_type *a)
{
    return qavex_t_to_int32(a[-5].real(), {.lo = 1, .outside_as_nan = true});
}
inline std::int32_t qavex_t_window_length(const paf_type *a)
{
    return qavex_t_to_int32(a[-5], {.lo = 1, .outside_as_nan = true});
}
inline pac_type qavex_t_pac_side(const pac_type *a) { return a[-6]; }
inline void qavex_t_pac_set_header(pac_type *a, std::int32_t n, pac_type side)
{
    a[-5] = pac_type((double)n, 0.0);
    a[-6] = side;
}
inline void qavex_t_pac_zero_guards(pac_type *a)
{
    std::int32_t n = qavex_t_window_length(a);
    for (int i = 1; i <= 4; i++) a[-i] = pac_type(0.0, 0.0);
    for (int i = 0; i < 4; i++) a[n + i] = pac_type(0.0, 0.0);
}
// Fresh pac array of n > 0 elements with length word n and the given side
// word; elements keep the allocator's fill. Null on failure.
pac_type *qavex_t_new_pac(std::int32_t n, pac_type side = pac_type(0.0, 0.0), const char *file = __builtin_FILE(),
                          int line = __builtin_LINE());

inline paf_type qavex_t_paf_side(const paf_type *a) { return a[-6]; }
inline void qavex_t_paf_set_header(paf_type *a, std::int32_t n, paf_type side)
{
    a[-5] = (paf_type)n;
    a[-6] = side;
}
paf_type *qavex_t_new_paf(std::int32_t n, paf_type side = 0.0f, const char *file = __builtin_FILE(),
                          int line = __builtin_LINE());
