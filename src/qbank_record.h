// The designer object's record: parameter record, band layout and windows,
// as its rooms (layout, map files, windows, array commands) share them.
#pragma once

#include <cstdint>

#include "dual_windows.h"
#include "qavex_t_definitions.h"

struct sQbank_t {
    t_object x_obj;
    t_inlet *x_in;        // never created
    t_outlet *x_outC;     // signal: parameter channel
    t_outlet *x_outM;     // numbers and lists
    sQbank_Param sParam;
    pac_type **pac;       // complex window of every band (slots may be empty)
    float var;
    double dSampleRateRequest;  // "set_samplerate": 0 follows the host
    double dSampleRate;         // samples per second of the current layout
    t_symbol *sPatchDir;  // folder of the patch holding the object
    sQbank_DualState sDual;  // third outlet and dual windows
};

// Largest band count a derivation accepts; more bands than this cannot be
// analysed in real time anyway and would only exhaust memory downstream.
constexpr std::int32_t QBANK_MAX_BANDS = 100000;
// Memory limit of one "make", in bytes.
constexpr long double QBANK_MEMORY_LIMIT = 1e9L;
