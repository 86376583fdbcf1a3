// Coefficient processor "qproc~": adds two coefficient channels, or
// filters, thresholds or band-shifts one channel in place.
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "records.h"

enum _eQprocType : std::int32_t {
    eQPROC_NONE = -1,  // created with an unknown symbol: inert
    eQPROC_ADD = 0,
    eQPROC_FILTER = 1,
    eQPROC_THRESHOLD = 2,
    eQPROC_SHIFT = 3
};

constexpr int QPROC_NUM_PARAM = 8;

struct sQproc_t {
    t_object x_obj;
    t_float const_sig;
    t_inlet **a_in;           // extra inlets in creation order; slot 0 (main inlet) unused
    t_outlet **a_out;         // outlets in creation order
    std::int32_t num_inlet;   // slots of a_in, counting the main inlet
    std::int32_t num_outlet;  // slots of a_out
    t_float float_param[QPROC_NUM_PARAM];
    std::int32_t int_param[QPROC_NUM_PARAM];  // [0]: sample clock of shifting
    _eQprocType type;
    std::int32_t dsp_num_pointers;  // arguments of the block routine (object + vectors)
    sQavex_Coeff **pawc;            // merged list-address array of adding
    std::int32_t pawc_capacity;     // addresses pawc can hold; it only grows
    std::int32_t iNonFiniteWarned;  // 1 while shifted blocks hold non-finite values
};

t_int *qproc_t_perform_add(t_int *w);
t_int *qproc_t_perform_filter(t_int *w);
t_int *qproc_t_perform_threshold(t_int *w);
t_int *qproc_t_perform_shift(t_int *w);

// Registers the class with its messages.
void qproc_t_setup();
