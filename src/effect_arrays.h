// Pd float arrays read by the spectral effects (qgain~'s gains, qgate~'s
// mask): the lookup of the named array in a perform routine, with one
// console error per episode when it is missing, and the per-band values
// made from its elements again only where an element changed.
#pragma once

#include <cmath>
#include <cstdint>

#include "m_pd.h"

// The float array `name`: true with its words and size. When it is missing
// (or not a float array) posts "<cls>: <name>: no such float array, passing
// through" once per episode (see qeffect_error_episode) and returns false.
bool qeffect_array(const void *obj, t_symbol *name, std::int32_t *latch, const char *cls, t_word **vec, int *size);

// Per-band values from the array's elements: for every band q below both
// the array's size and `bands` whose element differs from last[q] (every
// such band when `all`), last[q] takes the element and out[q] = make(it).
// Bands beyond the array's end get last[q] = NaN (a later, longer array
// fills them in) and out[q] = rest.
template <typename F>
inline void qeffect_follow_array(const t_word *vec, int size, std::int32_t bands, double *last, double *out, bool all,
                                 double rest, F make)
{
    const std::int32_t m = size < bands ? size : bands;
    for (std::int32_t q = 0; q < m; q++) {
        const double v = vec[q].w_float;
        if (!all && last[q] == v) continue;
        last[q] = v;
        out[q] = make(v);
    }
    for (std::int32_t q = m < 0 ? 0 : m; q < bands; q++) {
        last[q] = NAN;
        out[q] = rest;
    }
}
