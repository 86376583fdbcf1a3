// Delay "qlag_tilde": delays audio by a whole number of samples, the latency
// the synthesis object reports, so dry and resynthesised audio line up.
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "rings.h"

// Longest delay accepted (samples, about 25 minutes at 44100 Hz); longer
// requests are limited to it. The ring for it stays below 70 M samples.
constexpr std::int32_t QLAG_MAX_DELAY = 1 << 26;
// Largest "set_soundbuffer_length_factor" (blocks of 64); covers the ring
// the longest delay needs.
constexpr std::int32_t QLAG_MAX_FACTOR = (1 << 20) + 1024;

struct sQlag_Sound {
    sQavex_Ring<t_sample> ring;  // pC: start of the newest block
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
    // block with the same delay does not retry. -1: none.
    std::int32_t iFailedDelay;
};

void qlag_t_setup();
