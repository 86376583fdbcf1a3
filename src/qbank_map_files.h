// Warping-map data of the designer: the start table and the B-spline tables
// read from a map file, or from its processed cache beside it.
#pragma once

#include <cstddef>

#include "qbank_record.h"

// Results of loading the B-spline tables.
// LOAD_REFUSED: the map file asks for more than its bound (reported).
enum { LOAD_OK = 0, LOAD_FALLBACK = 1, LOAD_NO_MEMORY = 2, LOAD_CORRUPT = 3, LOAD_REFUSED = 4 };

// Fresh map data of n entries: f0, k, Nyquist words; the rest 0. Null when memory ran out.
double *qbank_t_new_thetadata(std::size_t n, double f0, double k);
// Loads the B-spline tables named by thetapath into thetadata: the processed
// file when there is a usable one, else the source file (and writes the
// processed file). A processed file that no longer describes its source is
// rebuilt. LOAD_FALLBACK asks the derivation to use the exponential map.
int qbank_t_load_bspline(sQbank_t *psW);
