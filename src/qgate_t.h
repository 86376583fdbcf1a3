// Noise gate with a learned mask "qgate~": "learn MS" averages each band's
// coefficient power over the next MS milliseconds into a named array (the
// mask, in dB, editable); afterwards every coefficient whose power lies
// below the mask plus a threshold is attenuated by a depth, through a
// per-band gain that opens and closes smoothly. Publishes a list of its
// own; the received lists stay as they are.
#pragma once

#include <cstdint>

#include "effect_lists.h"
#include "m_pd.h"

constexpr t_float QGATE_START_THRESHOLD = 6.0f;  // dB above the mask
constexpr t_float QGATE_START_DEPTH = -60.0f;    // dB
constexpr t_float QGATE_START_ATTACK = 5.0f;     // ms
constexpr t_float QGATE_START_RELEASE = 60.0f;   // ms
constexpr double QGATE_LEVEL_MS = 20.0;          // smoothing of the power that decides
constexpr double QGATE_FLOOR_DB = -300.0;        // mask of a band that had no power

struct sQgate_t {
    t_object x_obj;
    t_float fConstSignal;      // main inlet's scalar (coefficient channel)
    t_inlet *x_inC;            // parameter channel in
    t_outlet *x_outG;          // coefficient channel out
    t_outlet *x_outC;          // parameter channel out
    t_symbol *array_name;      // the mask, element q for band q, in dB
    t_clock *clock;            // writes a learned mask into the array between ticks
    t_float fThreshold;        // dB above the mask at which a band opens
    t_float fDepth;            // dB of attenuation of a closed band
    t_float fAttack;           // ms: time constant of opening
    t_float fRelease;          // ms: time constant of closing
    double dLearnLeft;         // samples still to learn; 0 when not learning
    std::int32_t iLearnStart;  // 1: clear the sums at the next block
    std::int32_t iLearned;     // 1: a learned mask waits for the clock
    std::int32_t iMissingWarned;
    std::int32_t iLearnCount;  // masks learned
    sQeffect_Out sOut;
};

t_int *qgate_t_perform(t_int *w);
// Writes a learned mask into the array now (what the clock does).
void qgate_t_tick(sQgate_t *psW);
void qgate_t_setup();
