// Bounds on the work one designer message may start, so that a single
// message holds the host for about a second at most and stays within the
// designer's memory bound: the dual windows of "make_dual", and the tables
// and the bank a warping-map file derives. Every check posts one error
// naming the bound it refuses by; the caller then leaves everything as it
// was.
#pragma once

#include <cstdint>

#include "records.h"

struct sQbank_t;

// Entries of the two B-spline tables one map file may derive (about
// 280 000 entries are derived per second).
constexpr std::int64_t QBANK_MAP_MAX_TABLE_ENTRIES = 262144;
// Samples of the windows a bank derived from a map file may need to
// compute: bands x computation length (about 3 million are built per
// second, 48 MB at the bound).
constexpr long double QBANK_MAP_MAX_WINDOW_SAMPLES = 3e6L;
// Work of one "make_dual": bands with a window x transform length (two
// transforms per band; about 12 million take a second, the transform grid
// 40 bytes per point).
constexpr long double QBANK_DUAL_MAX_WORK = 12e6L;

// The tables a map file asks for: Si + Sf entries.
bool qbank_map_tables_within_bound(std::int64_t Si, std::int64_t Sf);
// The bank of `bands` bands a map file derives, with the designer's current
// computation length and oversampling.
bool qbank_map_bank_within_bound(const sQbank_t *psW, std::int32_t bands);
// "make_dual" on the designer's current float windows.
bool qbank_dual_within_bound(sQbank_t *psW);

// Checks the designer's windows after a change against QBANK_MEMORY_LIMIT:
// the windows kept (bands qmin..qsup-1 leave out their complex windows when
// drop_pac, their float windows when drop_paf), plus add bytes of new
// windows, plus room for transform copies of the largest complex window
// (at least add_largest bytes), which the array operations need.
bool qbank_t_windows_fit(sQbank_t *psW, const char *request, std::int32_t qmin, std::int32_t qsup, bool drop_pac,
                         bool drop_paf, long double add, long double add_largest);

// What a derivation from a map file changes before it can be refused, so
// that a refusal leaves the old bank: the parameter record (its warping
// data set aside) and the layout's sample rate.
struct sQbank_Undo {
    sQbank_Param sParam;
    double dSampleRate;
};
// Sets the record's warping data aside (the derivation goes on with a copy
// of it). False when memory ran out (nothing changed).
bool qbank_undo_begin(sQbank_t *psW, sQbank_Undo *u);
// The derivation goes on: the set-aside data is released.
void qbank_undo_commit(sQbank_Undo *u);
// The derivation was refused: the record returns to what it was.
void qbank_undo_restore(sQbank_t *psW, sQbank_Undo *u);
