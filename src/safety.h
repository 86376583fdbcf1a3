// Guards shared by the objects against input that would stall, exhaust or
// corrupt them: empty bus blocks for unsupported block sizes, non-finite and
// subnormal values, and the per-object memory bound.
#pragma once

#include <cstdint>
#include <cstring>

#include "qavex_t_definitions.h"

// n zero words: what a bus outlet carries when its block size is not 64.
inline void qavex_t_write_empty_vector(t_sample *v, int n)
{
    if (n > 0) std::memset(v, 0, (std::size_t)n * sizeof(t_sample));
}
