// The designer's dual windows: "make_dual" computes them from the float
// windows and hops (see dual_windows.h), and the designer publishes them in a
// second parameter record on its third outlet.
#pragma once

#include "m_pd.h"
#include "qbank_record.h"

// Creates the third outlet (after the two existing ones).
void qbank_t_dual_new(sQbank_t *psW);
// Frees the outlet, the dual record and its windows.
void qbank_t_dual_delete(sQbank_t *psW);
// Registers "make_dual" (arguments ignored) on the designer class.
void qbank_t_dual_setup(t_class *c);
// "make_dual" itself (for a rebuild in a private designer state).
void qbank_t_dual_make(sQbank_t *psW);
// The dual record, null without duals.
const sQbank_Param *qbank_t_dual_record(const sQbank_t *psW);
// Adds the block routine of the third outlet (sp: its signal).
void qbank_t_dual_dsp(sQbank_t *psW, t_signal *sp);
// The complex windows changed (make, shorten, copy_paf2pac, array commands):
// the duals are out of date until the next "make_dual".
void qbank_t_dual_windows_changed(sQbank_t *psW);
