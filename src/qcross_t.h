// Cross-synthesis "qcross~": two coefficient channels of the same bank,
// the carrier on the left inlet and the modulator on the third. Every
// carrier coefficient is scaled so that its band's smoothed magnitude
// follows the modulator's, keeping the carrier's phase (a vocoder or timbre
// stamp). Publishes a list of its own; the received lists stay as they are.
#pragma once

#include <cstdint>

#include "effect_lists.h"

constexpr t_float QCROSS_START_SMOOTH = 10.0f;  // ms
constexpr double QCROSS_MAX_GAIN = 1e4;         // at most +80 dB on a carrier band

struct sQcross_t {
    t_object x_obj;
    t_float fConstSignal;          // main inlet's scalar (carrier channel)
    t_inlet *x_inC;                // parameter channel in
    t_inlet *x_inM;                // modulator channel in
    t_outlet *x_outG;              // coefficient channel out
    t_outlet *x_outC;              // parameter channel out
    t_float fSmooth;               // ms: time constant of both band magnitudes
    std::int32_t iMismatchWarned;  // 1 while the channels do not pair up
    sQeffect_Out sOut;
};

t_int *qcross_t_perform(t_int *w);
void qcross_t_setup();
