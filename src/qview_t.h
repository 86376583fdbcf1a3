// Live coefficient view "qview~": every N blocks it writes each band's
// latest coefficient magnitude, in dB and not below a floor, into a named
// array (one element per band), so a graph in the patch shows the spectrum.
#pragma once

#include <cstdint>

#include "m_pd.h"

constexpr std::int32_t QVIEW_START_INTERVAL = 16;  // blocks between updates
constexpr t_float QVIEW_START_FLOOR = -120.0f;     // dB

struct sQview_t {
    t_object x_obj;
    t_float fConstSignal;   // main inlet's scalar (coefficient channel)
    t_inlet *x_inC;         // parameter channel in
    t_symbol *array_name;   // array written at every update
    t_clock *clock;         // moves the magnitudes into the array between ticks
    std::int32_t interval;  // blocks between updates, at least 1
    t_float floor_db;       // smallest value written
    std::int32_t blocks;    // valid blocks since the last update
    std::int32_t bands;     // band count the magnitude table holds
    double *mag;            // latest magnitude per band, 0 before the first
    std::int32_t updates;   // array updates done
    bool warned;            // missing array already reported
};

void qview_t_set_interval(sQview_t *psW, t_floatarg f);
void qview_t_set_floor(sQview_t *psW, t_floatarg f);
void qview_t_set_array(sQview_t *psW, t_symbol *s);
// Level in dB of a magnitude, never below floor_db (0 and NaN give the floor).
double qview_t_db(double mag, double floor_db);
// Writes the current magnitudes into the array now (what the clock does).
void qview_t_tick(sQview_t *psW);

// Registers the class with its messages.
void qview_t_setup();
