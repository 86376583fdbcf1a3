// Drawn equaliser "qgain~": multiplies every coefficient of band q by the
// gain in element q of a named array (dB, or linear after "set_db 0").
// Publishes a list of its own; the received lists stay as they are.
#pragma once

#include <cstdint>

#include "effect_lists.h"
#include "m_pd.h"

struct sQgain_t {
    t_object x_obj;
    t_float fConstSignal;         // main inlet's scalar (coefficient channel)
    t_inlet *x_inC;               // parameter channel in
    t_outlet *x_outG;             // coefficient channel out
    t_outlet *x_outC;             // parameter channel out
    t_symbol *array_name;         // the gains, element q for band q
    std::int32_t iDb;             // 1: elements in dB, 0: linear factors
    std::int32_t iMissingWarned;  // 1 while the array is missing (one error per episode)
    sQeffect_Out sOut;
};

// Factor of one array element: dB (at most +120 dB) or linear (at most
// 1e6 in magnitude); NaN leaves the band unchanged (1).
double qgain_t_factor(t_float v, bool db);
t_int *qgain_t_perform(t_int *w);
void qgain_t_setup();
