// The designer object's record: parameter record, band layout and windows,
// as its rooms (layout, map files, windows, array commands) share them.
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "records.h"
#include "sample_rate.h"

struct sQbank_Dual;

// "set_max_latency" (src/latency_bound.h), part of the designer object (zero at creation).
struct sQbank_LatencyState {
    double dMaxMs;  // asked bound in milliseconds; 0: no limit
};

// Per-designer state, part of the designer object (zero at creation).
struct sQbank_DualState {
    t_outlet *x_outD;               // signal: the parameter channel with the duals
    sQbank_Dual *psDual;            // null until "make_dual" has succeeded
    std::uint32_t uChanges;         // complex-window changes the generation stamp does not see
    std::uint32_t uToldGeneration;  // the change last reported as out of date
    std::uint32_t uToldChanges;
    bool bTold;
    bool bConnected;  // third outlet connected at the last "dsp"
    bool bRequested;  // "make_dual" was sent at least once
    // While a bank built by "rebuild" waits for its swap (src/bank_rebuild.h),
    // its dual record, if it has one; null otherwise. Set by the rebuild.
    const sQbank_Param *pNextDual;
};

struct sQbank_t {
    t_object x_obj;
    t_inlet *x_in;     // never created
    t_outlet *x_outC;  // signal: parameter channel
    t_outlet *x_outM;  // numbers and lists
    sQbank_Param sParam;
    pac_type **pac;  // complex window of every band (slots may be empty)
    float var;
    sQbank_Rate sRate;                // requested rate and rate of the current layout
    t_symbol *sPatchDir;              // folder of the patch holding the object
    sQbank_DualState sDual;           // third outlet and dual windows
    struct sQbankRebuild *psRebuild;  // "rebuild" (src/bank_rebuild.h), null until used
    sQbank_LatencyState sLatency;     // "set_max_latency"
};

// Largest band count a derivation accepts; more bands than this cannot be
// analysed in real time anyway and would only exhaust memory downstream.
constexpr std::int32_t QBANK_MAX_BANDS = 100000;
// Memory limit of one "make", in bytes.
constexpr long double QBANK_MEMORY_LIMIT = 1e9L;
