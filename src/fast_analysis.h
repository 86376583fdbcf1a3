// Fast mode of the analysis ("set_fast 1"): the same coefficients in the
// same places, computed with another rounding. Bands with small hops are
// filtered by a uniformly partitioned FFT convolution (64-sample
// partitions, overlap-save with 128-point transforms, one input transform
// per block shared by all of them); the others by a dot product in any
// order. The choice per band follows the multiply-add count per sample:
// about 8 ceil(L / 64) for the partitioned filter against 2 L / d directly.
#pragma once

#include <cstdint>

#include "exact_analysis.h"
#include "records.h"

struct sQavexFast;

// Where the analysis ring stands: every block written into it has a serial
// number, and every rebuild of the ring (which clears it) a new epoch.
struct sQavexRingClock {
    std::int64_t serial;  // serial of the newest block
    std::uint32_t epoch;
};

// Makes the engine ready for record p in this block: built when the record
// or its generation stamp differs from the one it was built for (a failed
// build posts one console error and is not tried again for that record),
// then brought up to date with the ring. Returns false when the block must
// be computed exactly (unstamped record, failed build).
bool qavex_fast_prepare(sQavexFast **f, const sQbank_Param *p, const sQavexRing &ring, sQavexRingClock clock);
void qavex_fast_free(sQavexFast *f);

// An engine for record p built anywhere (a worker thread too): p must not
// change while it runs. Null when out of memory.
sQavexFast *qavex_fast_build(const sQbank_Param *p);
// Engine f, built for a copy of record p at p's current generation, now
// serves p itself; it catches up with the ring in its next block.
void qavex_fast_adopt(sQavexFast *f, const sQbank_Param *p);

// The K coefficients of band q at block positions p0, p0 + d, ... into
// entries e[0..K-1] (start and band set).
void qavex_fast_band(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring, std::int32_t q, std::int32_t p0,
                     std::int32_t d, std::int32_t K, sQavex_Coeff *const *e);

// How the engine computes band q: 1 partitioned FFT, 0 dot product, -1 not
// built or no window (for tests and reports).
int qavex_fast_band_kind(const sQavexFast *f, std::int32_t q);
