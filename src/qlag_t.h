// Delay "qlag_tilde": delays audio by a whole number of samples, the latency
// the synthesis object reports, so dry and resynthesised audio line up.
#pragma once

#include <cstdint>

#include "qavex_t_definitions.h"

constexpr std::int32_t QLAG_START_LENGTH = 576000;
constexpr float QLAG_DEFAULT_FACTOR = 3000.0f;
// Longest delay accepted (samples, about 25 minutes at 44100 Hz); longer
// requests are limited to it. The ring for it stays below 70 M samples.
constexpr std::int32_t QLAG_MAX_DELAY = 1 << 26;
// Largest "set_soundbuffer_length_factor" (blocks of 64); covers the ring
// the longest delay needs.
constexpr std::int32_t QLAG_MAX_FACTOR = (1 << 20) + 1024;

struct sQlag_Sound {
    t_sample *pA;  // first sample
    t_sample *pC;  // start of the newest block
    t_sample *pE;  // one past the last sample
    std::int32_t iLength;
};

struct sQlag_t {
    t_object x_obj;
    t_float fConstSignal;
    t_inlet *x_in;
    t_inlet *x_inf;
    t_outlet *x_out;
    t_float fDelay;
    sQlag_Sound sSound;
    // Delay at which the last ring rebuild of the block routine failed; a
    // block with the same delay does not retry. QLAG_NO_FAILURE: none.
    std::int32_t iFailedDelay;
};

constexpr std::int32_t QLAG_NO_FAILURE = -1;

void qlag_t_setup();

// Sets iLength to 64 x factor (factor <= 1 counts as 3000, limited to
// QLAG_MAX_FACTOR) and rebuilds the ring silent. False on a failed allocation.
bool qlag_t_set_length(sQlag_t *psT, t_floatarg f);
