// The designer's windows: construction of the complex windows ("make"),
// shortening, the test, and the conversions between complex and float windows.
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "qbank_record.h"

// iNumber rounded toward zero to a multiple of iMultiple (unchanged for 0 and -1).
std::int32_t rounddown_x(std::int32_t iNumber, std::int32_t iMultiple);
// "make" and "shorten" of band iAN (-1 or out of range: every band).
void qbank_t_make_windows(sQbank_t *psW, std::int32_t iAN);
void qbank_t_shorten_windows(sQbank_t *psW, std::int32_t iAN);
// "test": the number of problems found in the complex windows (missing
// windows, hops longer than windows, NaN and infinite values).
std::int32_t qbank_t_test_windows(sQbank_t *psW, std::int32_t iPrintOutput);
// Length of the longest (shortest) float or complex window over the bands,
// starting from band 0's; 0 when band 0 has none.
std::int32_t qbank_t_find_shortest_frame_paf(sQbank_t *psW);
std::int32_t qbank_t_find_longest_frame_pac(sQbank_t *psW);
std::int32_t qbank_t_find_shortest_frame_pac(sQbank_t *psW);
// Messages "copy_pac2paf" and "copy_paf2pac".
void qbank_t_copy_pac2paf(sQbank_t *psW, t_floatarg f);
void qbank_t_copy_paf2pac(sQbank_t *psW, t_floatarg f);
