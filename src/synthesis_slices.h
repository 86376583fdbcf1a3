// One slice of the synthesis: its bands, its output ring and the block's
// coefficient lists, as both synthesis engines (exact and fast) take them.
#pragma once

#include <cstdint>

#include "records.h"
#include "safety.h"

// What one slice needs for one block: its bands, its ring and the inputs.
struct sthread_invqavex_param {
    std::int32_t qMin;
    std::int32_t qSup;
    double *sA;
    double *sC;
    double *sE;
    sQavex_Coeff **patc;
    void *psW;  // the object the slice belongs to (opaque to the engines)
    paf_type **paf_r;
    paf_type **paf_i;
    std::int32_t Lm;
    std::int32_t num_blocks;
    std::int32_t *piNonFiniteSeen;         // set to 1 when a non-finite coefficient is skipped
    volatile std::int32_t *piThreadCount;  // counted down when the slice is done
};

// Calls add(co, vr, vi) for every coefficient of the slice's lists (each
// list from its last entry down) whose band q lies in [qMin, qSup) and
// passes usable(q), with both parts finite and not both 0. A non-finite
// coefficient would fill the ring with Inf and NaN: it is skipped and marks
// the block for the warning (*piNonFiniteSeen). Subnormal parts count as 0,
// they would only slow the sums. Both synthesis modes walk the lists so.
template <class Usable, class Add>
inline void invqavex_t_each_coeff(sthread_invqavex_param *psP, std::int32_t qMin, std::int32_t qSup, Usable usable,
                                  Add add)
{
    for (std::int32_t k = 0; k < psP->num_blocks; k++) {
        const sQavex_Coeff *list = psP->patc[k];
        if (!list) continue;
        for (std::int32_t e = list[0].numCoeff - 1; e >= 0; e--) {
            const sQavex_Coeff &co = list[e];
            if (co.band < qMin || co.band >= qSup || !usable(co.band)) continue;
            if (!qavex_t_finite(co.val_r) || !qavex_t_finite(co.val_i)) {
                *psP->piNonFiniteSeen = 1;
                continue;
            }
            const double vr = qavex_t_flush_subnormal(co.val_r), vi = qavex_t_flush_subnormal(co.val_i);
            if (vr == 0.0 && vi == 0.0) continue;
            add(co, vr, vi);
        }
    }
}
