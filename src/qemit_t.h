// Coefficient generator "qemit_tilde": turns "emit" messages into a
// coefficient stream, published block by block beside the forwarded
// parameter channel.
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "records.h"

// Events one block can carry; the lists hold one record more.
constexpr std::int32_t QEMIT_MAX_EVENTS = 100;
constexpr std::int32_t QEMIT_LIST_RECORDS = 101;

struct sQemit_t {
    t_object x_obj;
    t_float fConstSignal;       // main inlet's scalar; never read
    t_inlet *x_inC;             // parameter channel in
    t_inlet *x_in;              // a list here is handled as "emit"
    t_outlet *x_outG;           // coefficient channel out
    t_outlet *x_outC;           // parameter channel out (forwarded)
    t_outlet *x_outM;           // float outlet; nothing is sent on it
    sQavex_Coeff *pawc[1];      // published list table (what the block carries)
    sQavex_Coeff *pawc_intern;  // pending list, filled by "emit"
    std::int32_t num_coeff;     // pending events, 0..100
};

// Registers the class with its messages.
void qemit_t_setup();
