// The designer's band selection.
#include "qbank_bands.h"

#include <cstdint>

#include "conversions.h"

sQbank_Bands qbank_t_select_bands(const sQbank_t *psW, double f, const sQbank_BandRule &rule)
{
    const std::int32_t sup = psW->sParam.iq_compute_sup > 0 ? psW->sParam.iq_compute_sup : 0;
    const std::int32_t n = qavex_t_to_int32(f, QAVEX_NAN_LOWEST);
    const bool above = rule.untruncated ? !(f < (double)sup) : n >= sup;
    const eQbankPick pick = n < -1 ? rule.below : n == -1 ? rule.minus_one : above ? rule.above : PICK_ONE;
    sQbank_Bands sel{0, 0, false, true};
    if (pick == PICK_REFUSED) sel.ok = false;
    else if (pick == PICK_ALL) sel = {0, sup, true, true};
    else if (pick == PICK_ONE) sel = {n, n + 1, false, true};
    if (rule.table && !psW->pac) sel.last = sel.first;
    return sel;
}
