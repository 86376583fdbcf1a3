// Fast mode of the synthesis object ("set_fast 1"): the same overlap-add of
// Re(c * w), placed at the same ring positions, computed in double precision.
// Long bands that the bank feeds densely go through FFT convolution with
// partitions that double in size (no added latency); the others are added
// directly with SIMD. The output differs from the exact mode only in the last
// digits; the latency and the block semantics stay the same.
#pragma once

#include <cstdint>

#include "invqavex_t.h"
#include "m_pd.h"
#include "records.h"

struct qavex_fast_synthesis;

// Registers "set_fast" on the synthesis class.
void fast_synthesis_setup(t_class *c);

// Called by the block routine before the slices run in fast mode, with the
// block's record, longest frame and band count. Rebuilds the per-band state
// when the bank changed (after adding what the old bank still owed to the
// rings). Returns false when the fast state cannot be built; the block then
// runs the exact slices.
bool fast_synthesis_prepare(sinvQavex_t *psW, const sQbank_Param *P, std::int32_t Lm, std::int32_t S);
// The fast counterpart of invqavex_t_thread: the slice's bands into its ring.
void fast_synthesis_thread(sthread_invqavex_param *psP);
// After all slices of a fast block.
void fast_synthesis_finish(sinvQavex_t *psW);

// The rings were rebuilt silent: contributions still pending are dropped,
// as the exact mode drops what its rings held.
void fast_synthesis_rings_rebuilt(sinvQavex_t *psW);
// Releases everything the fast mode owns.
void fast_synthesis_free(sinvQavex_t *psW);

// Which path a band takes after the last rebuild: 0 none, 1 direct, 2 FFT
// (for tests and the benchmark); -1 when no fast state is built.
int fast_synthesis_band_mode(const sinvQavex_t *psW, std::int32_t q);
