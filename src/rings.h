// The rings of the analysis input, the synthesis outputs and the delay:
// length rules and the helpers every ring uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "allocator.h"
#include "m_pd.h"
#include "records.h"

// The input ring of the analysis, the output rings of the synthesis and the
// delay's ring: pA first element, pC start of the current block, pE one past
// the last; lengths are whole blocks.

// How an object reads its "set_soundbuffer_length_factor" argument.
struct sQavex_RingFactor {
    std::int32_t default_factor;  // blocks, for NaN and arguments below 1
    std::int32_t max_factor;      // blocks, larger arguments are limited to it
    bool one_is_default;          // an argument of exactly 1 gives the default too
};
// Ring length in samples: 64 x the argument truncated toward zero and limited
// to max_factor, or 64 x default_factor; *limited: the argument exceeded max_factor.
std::int32_t qavex_t_ring_length(t_floatarg f, const sQavex_RingFactor &rule, bool *limited = nullptr);

template <class T>
inline void qavex_t_ring_release(T *&pA, T *&pC, T *&pE)
{
    qavex_t_free(pA);
    pA = pC = pE = nullptr;
}
// Replaces the ring's buffer by a silent one of n elements, pC = pA; false
// (and no buffer) when n <= 0 or the allocation fails. The allocation is
// attributed to the caller's place, as a direct allocator call would be.
template <class T>
bool qavex_t_ring_build(T *&pA, T *&pC, T *&pE, std::int32_t n, const char *file = __builtin_FILE(),
                        int line = __builtin_LINE())
{
    qavex_t_ring_release(pA, pC, pE);
    T *a = n > 0 ? (T *)qavex_t_malloc0((std::size_t)n * sizeof(T), file, line) : nullptr;
    if (!a) return false;
    for (std::int32_t i = 0; i < n; i++) a[i] = T(0);
    pA = pC = a;
    pE = a + n;
    return true;
}
// Start of the block after c, pA again past the end.
template <class T>
inline T *qavex_t_ring_next_block(T *pA, T *c, const T *pE)
{
    c += QAVEX_BLOCK;
    return c >= pE ? pA : c;
}
// Index i of a ring of n elements brought back into 0..n-1 (-n <= i < 2n).
inline std::int64_t qavex_t_ring_wrap(std::int64_t i, std::int64_t n) { return i < 0 ? i + n : i >= n ? i - n : i; }

// The ring type of the analysis input, the synthesis outputs and the delay.
// Records that hold one are zero-filled by the host, so it has no
// constructor: a zero ring has no buffer.
template <class T>
struct sQavex_Ring {
    T *pA;  // first element
    T *pC;  // start of the current block
    T *pE;  // one past the last element

    // A silent buffer of n elements, pC = pA; false (and no buffer) when
    // n <= 0 or the allocation fails.
    bool build(std::int32_t n, const char *file = __builtin_FILE(), int line = __builtin_LINE())
    {
        return qavex_t_ring_build(pA, pC, pE, n, file, line);
    }
    void release() { qavex_t_ring_release(pA, pC, pE); }
    // pC moves to the next block, back to pA past the end.
    void advance() { pC = qavex_t_ring_next_block(pA, pC, pE); }
    // Elements from pA to pC.
    std::int64_t offset() const { return pC - pA; }
};
