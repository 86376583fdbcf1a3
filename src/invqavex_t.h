// Synthesis object "invqavex_tilde": overlap-adds Re(c * w) of every received
// coefficient into per-slice output rings and emits the resynthesis, which
// lags the analysed input by Lm - 1 samples (sent on the float outlet).
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "records.h"
#include "rings.h"
#include "safety.h"
#include "synthesis_slices.h"

constexpr int INVQAVEX_MAX_SLICES = 64;
// Largest ring a message may ask for (blocks of 64): 2^24 doubles, 128 MiB per
// slice. Growth for a long bank window may exceed it when the window needs it.
constexpr std::int32_t INVQAVEX_MAX_FACTOR = 1 << 18;

// One output ring per slice.
struct sinvQavex_Sound {
    sQavex_Ring<double> aRing[INVQAVEX_MAX_SLICES];  // pC: start of the block being output
    std::int32_t iLength;                            // elements per ring, a multiple of 64
};

struct sinvQavex_t {
    t_object x_obj;
    t_float fConstSignal;
    t_inlet *x_inC;
    t_inlet *x_inf;
    t_outlet *x_outS;
    t_outlet *x_outM;
    paf_type **paf;
    t_float fMinValforCount;
    std::int32_t iComputeSynthesis;
    sinvQavex_Sound sSound;
    std::int32_t num_threads;
    sthread_invqavex_param *painvwp[INVQAVEX_MAX_SLICES];
    volatile std::int32_t iThreadCount;
    // 1 while the rings and slice records of all num_threads slices exist.
    std::int32_t iReady;
    // Longest frame at which the last rebuild inside the block routine failed
    // (-1: none); a block with the same value does not retry.
    std::int32_t iFailedLm;
    // "set_fast": 1 runs the fast synthesis (src/fast_synthesis.h), whose
    // state psFast owns.
    std::int32_t iFast;
    struct qavex_fast_synthesis *psFast;
    // The engine a bank swap replaced, adding what it still owes block by
    // block (src/fast_synthesis.h, fast_synthesis_drain); null: none.
    struct qavex_fast_synthesis *psDraining;
    // Builds it off the audio thread when fast mode is switched on while
    // the audio runs (src/fast_switch.h), for the record of the latest block.
    struct sQavexFastSwitch *psSwitch;
    const sQbank_Param *psLastParam;
    // The bank (record and generation) at which psFast could not be
    // allocated: blocks ask again only once the bank has changed.
    const sQbank_Param *psNoFastAt;
    std::uint32_t uNoFastGen;
    // Set by a slice that skipped a non-finite coefficient in this block;
    // 1 in iNonFiniteWarned while such blocks go on and the warning is out.
    std::int32_t iNonFiniteSeen;
    std::int32_t iNonFiniteWarned;
};

void invqavex_t_setup();

// Ring length after growth for the longest frame Lm: 4 Lm rounded down to
// whole blocks, at least Lm + 64 rounded up to whole blocks; -1 when that
// does not fit a 32-bit length.
std::int64_t invqavex_t_grown_length(std::int32_t Lm);
