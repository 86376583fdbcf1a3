// Fast mode of the synthesis object ("set_fast 1"): the same overlap-add of
// Re(c * w), placed at the same ring positions, computed in double precision.
// Long bands that the bank feeds densely go through FFT convolution with
// partitions that double in size (no added latency); the others are added
// directly with SIMD. The output differs from the exact mode only in the last
// digits; the latency and the block semantics stay the same.
#pragma once

#include <cstdint>

#include "records.h"
#include "synthesis_slices.h"
#include "m_pd.h"
#include "records.h"

struct qavex_fast_synthesis;

// The synthesis's first output ring, which the fast engine adds what its FFT
// bands still owe into: A its first element, length elements, the block
// being output at c; ready: the ring exists.
struct sQavexSynthRing {
    double *A;
    std::int64_t length;
    std::int64_t c;
    bool ready;
};

// A fresh engine without bands (they are built by the first prepare); null
// when memory ran out.
qavex_fast_synthesis *fast_synthesis_new();
// An engine with its bands built for record P (its longest frame and band
// count), anywhere (a worker thread too): P must not change while it runs.
// Null when memory ran out.
qavex_fast_synthesis *fast_synthesis_build(const sQbank_Param *P);
// Engine f, built for a copy of record P at P's current generation, now
// serves P itself.
void fast_synthesis_adopt(qavex_fast_synthesis *f, const sQbank_Param *P);
// Adds what the FFT bands still owe into the ring, when it exists and is long
// enough (before the engine is freed on a switch to the exact mode).
void fast_synthesis_flush(qavex_fast_synthesis *f, const sQavexSynthRing &ring);
// One block of engine f with no new impulses (after it was replaced at a
// bank swap): the segments that end in this block are added to the ring, as
// its block routine would have; the sum is what a flush gives, spread over
// the blocks its partitions are due in. False once nothing more is owed,
// or when the ring cannot take it (the caller then frees f).
bool fast_synthesis_drain(qavex_fast_synthesis *f, const sQavexSynthRing &ring);

// Called by the block routine before the slices run in fast mode, with the
// block's record, longest frame and band count. Rebuilds the per-band state
// when the bank changed (after adding what the old bank still owed to the
// ring). Returns false when f is null or the fast state cannot be built (one
// error naming owner); the block then runs the exact slices.
bool fast_synthesis_prepare(qavex_fast_synthesis *f, const sQbank_Param *P, std::int32_t Lm, std::int32_t S,
                            const sQavexSynthRing &ring, const void *owner);
// The fast counterpart of the exact slice: the slice's bands into its ring.
void fast_synthesis_thread(qavex_fast_synthesis *f, sthread_invqavex_param *psP);
// After all slices of a fast block.
void fast_synthesis_finish(qavex_fast_synthesis *f);

// The rings were rebuilt silent: contributions still pending are dropped,
// as the exact mode drops what its rings held.
void fast_synthesis_rings_rebuilt(qavex_fast_synthesis *f);
// Releases the engine (null: nothing).
void fast_synthesis_free(qavex_fast_synthesis *f);

// Which path a band takes after the last rebuild: 0 none, 1 direct, 2 FFT
// (for tests and the benchmark); -1 when no fast state is built.
int fast_synthesis_band_mode(const qavex_fast_synthesis *f, std::int32_t q);
