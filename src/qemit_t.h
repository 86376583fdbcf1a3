// Coefficient generator "qemit_tilde": turns "emit" messages into a
// coefficient stream, published block by block beside the forwarded
// parameter channel.
#pragma once

#include <cstdint>

#include "qavex_t_definitions.h"

// Events one block can carry; the lists hold one record more.
constexpr std::int32_t QEMIT_MAX_EVENTS = 100;
constexpr std::int32_t QEMIT_LIST_RECORDS = 101;

struct sQemit_t {
    t_object x_obj;
    t_float fConstSignal;        // main inlet's scalar; never read
    t_inlet *x_inC;              // parameter channel in
    t_inlet *x_in;               // a list here is handled as "emit"
    t_outlet *x_outG;            // coefficient channel out
    t_outlet *x_outC;            // parameter channel out (forwarded)
    t_outlet *x_outM;            // float outlet; nothing is sent on it
    sQavex_Coeff *pawc[1];       // published list table (what the block carries)
    sQavex_Coeff *pawc_intern;   // pending list, filled by "emit"
    std::int32_t num_coeff;      // pending events, 0..100
};

void *qemit_t_new(t_floatarg f);
void qemit_t_delete(sQemit_t *psW);
void qemit_t_dsp(sQemit_t *psW, t_signal **sp);
t_int *qemit_t_perform(t_int *w);
void qemit_t_bang(sQemit_t *psW);
void qemit_t_emit(sQemit_t *psW, t_floatarg fTime, t_floatarg Val_real, t_floatarg Val_imag,
                  t_floatarg fBand);
