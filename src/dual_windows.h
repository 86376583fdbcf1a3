// Dual windows of a bank: from the float windows and hops, windows that the
// synthesis can use instead of the analysis windows so that analysis
// followed by synthesis reproduces its input (up to the aliasing the hops
// leave).
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "records.h"

// What a dual computation found.
enum eQavexDual : std::int32_t {
    DUAL_OK = 0,
    DUAL_NO_WINDOWS,  // no band with a float window of length >= 1, or no hops
    DUAL_NOT_FINITE,  // a window holds NaN or infinite values (band in iBand)
    DUAL_TOO_LONG,    // windows too long for the transform grid
    DUAL_SINGULAR,    // the windows pass no frequency at all
    DUAL_NO_MEMORY
};

struct sQavex_DualInfo {
    std::int32_t iBands;  // bands that got a dual
    std::int32_t iBand;   // offending band of DUAL_NOT_FINITE
    std::int32_t iGrid;   // transform length used
    double dResponseMin;  // the bank's own round-trip response over the grid
    double dResponseMax;
    double dMinHz;  // where the response is lowest (0..22050 Hz)
};

// Computes the dual of each of the n bands' float windows (w_r[q], w_i[q],
// hop hops[q] samples) into fresh float arrays g_r[q], g_i[q] of the same
// length and side words. Bands without a window (null or length < 1) get
// null. On any result but DUAL_OK every g slot is null. Runs off the audio
// path: it allocates and plans transforms.
eQavexDual qavex_dual_windows(std::int32_t n, paf_type *const *w_r, paf_type *const *w_i, const std::int32_t *hops,
                              paf_type **g_r, paf_type **g_i, sQavex_DualInfo *info);
