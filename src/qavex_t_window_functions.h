// Prototype window shapes: time-domain cosine, its spectrum, and the
// square-root Gaussian spectrum. Arguments: position, height, length, unused.
#pragma once

#include "records.h"

// Gaussian factor of the square-root Gaussian spectrum.
constexpr long double QAVEX_G = 1.263248666874420255692643L;

pac_type qavex_t_wf_win_cos(double t, double h, double wl, double wl_c);
pac_type qavex_t_wf_WIN_COS(double f, double h, double wl, double wl_c);
pac_type qavex_t_wf_WIN_SQRT_GAUSS(double f, double h, double wl, double wl_c);
