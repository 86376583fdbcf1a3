// Transposition "qtranspose~": moves the partials of a coefficient stream
// by a ratio 2^(cents/1200), phase-vocoder style on the bank. Each output
// band takes the magnitude at its source position (the band whose centre is
// the output centre divided by the ratio, interpolated between bands) and a
// phase that advances at the ratio times the measured (smoothed) frequency
// of the input, locked to the nearest peak so that a steady partial stays
// one partial. Needs an exponential warping map. Publishes a list of its own;
// the received lists stay as they are. Adds no delay.
#pragma once

#include <cstdint>

#include "effect_lists.h"

constexpr t_float QTRANSPOSE_START_GLIDE = 30.0f;   // ms: time constant of set_cents
constexpr t_float QTRANSPOSE_START_SMOOTH = 15.0f;  // ms: smoothing of band magnitudes and frequencies
constexpr double QTRANSPOSE_MAX_CENTS = 4800.0;     // four octaves each way
constexpr std::int32_t QTRANSPOSE_REACH = 8;        // bands searched for a peak each way

struct sQtranspose_t {
    t_object x_obj;
    t_float fConstSignal;  // main inlet's scalar (coefficient channel)
    t_inlet *x_inC;        // parameter channel in
    t_outlet *x_outG;      // coefficient channel out
    t_outlet *x_outC;      // parameter channel out
    t_float fCents;        // transposition asked for
    t_float fGlide;        // ms: how fast the transposition follows it
    t_float fSmooth;       // ms: smoothing of each band's magnitude and frequency
    double dCents;         // transposition in use (glides toward fCents)
    double dTableCents;    // transposition the source table was made for
    std::int32_t iBadBankWarned;
    double dClock;  // samples since "dsp" (whole numbers)
    sQeffect_Out sOut;
};

// Phase wrapped into [-pi, pi).
double qtranspose_t_wrap(double phi);
// v[0..n-1] at the fractional position x (0 <= x <= n-1): a parabola
// through the logarithms of the three values nearest x, exact for the
// Gaussian band responses of the bank.
double qtranspose_t_interpolate(const double *v, std::int32_t n, double x);
// Centre of a window from its magnitudes (parabola through the largest
// magnitude of the middle and its neighbours), as an element position.
double qtranspose_t_window_centre(const paf_type *re, const paf_type *im, std::int32_t L);
t_int *qtranspose_t_perform(t_int *w);
void qtranspose_t_setup();
