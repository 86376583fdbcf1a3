// Fast mode of the analysis ("set_fast 1"): the same coefficients in the
// same places, computed with another rounding. Bands with small hops are
// filtered by a non-uniformly partitioned FFT convolution with no added
// latency: 64-tap partitions from the window's newest sample on (overlap-save
// with 128-point transforms of the newest block, computed in the block), then
// partitions of 128, 256, ... 4096 taps whose segments' transforms and
// products are spread over the blocks of a segment (one input transform per
// size and segment, shared by all bands that use it). The others are
// filtered by a dot product in any order. A cost model in multiply-adds per
// sample chooses the partitions of each band and the form.
#pragma once

#include <cstdint>

#include "bank_snapshot.h"
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
// change while it runs. Null when out of memory. Every build also makes the
// exact mode's shared window copies of the bank (src/exact_analysis.h).
sQavexFast *qavex_fast_build(const sQbank_Param *p);
// Engine f, built for a copy of record p at p's current generation, now
// serves p itself; it catches up with the ring in its next block (in step,
// when it followed the ring up to the block before).
void qavex_fast_adopt(sQavexFast *f, const sQbank_Param *p);
// Engine f, not serving yet, follows the ring in this block: its input
// spectra and long partitions' sums are then current when it takes over,
// so the catch-up over the ring's history falls in a block of its own.
void qavex_fast_follow(sQavexFast *f, const sQavexRing &ring, sQavexRingClock clock);

// The K coefficients of band q at block positions p0, p0 + d, ... into
// entries e[0..K-1] (start and band set).
void qavex_fast_band(sQavexFast *f, const sQbank_Param *p, const sQavexRing &ring, std::int32_t q, std::int32_t p0,
                     std::int32_t d, std::int32_t K, sQavex_Coeff *const *e);

// How the engine computes band q: 1 partitioned FFT, 0 dot product, -1 not
// built or no window (for tests and reports).
int qavex_fast_band_kind(const sQavexFast *f, std::int32_t q);

// Band q's partitions on the FFT: count[i] partitions of 64 << i taps, the
// first of them at tap first[i] (count[i] 0: size unused), i = 0 .. 6.
// Returns false when the band is not on the FFT.
bool qavex_fast_band_partitions(const sQavexFast *f, std::int32_t q, std::int32_t count[7], std::int32_t first[7]);
