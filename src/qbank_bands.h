// Band numbers of the designer's messages: which bands a number selects
// under each message's rule.
#pragma once

#include <cstdint>

#include "qbank_record.h"

// A band number f names band n = trunc(f) when 0 <= n < band count; what
// any other number selects is the message's rule.
enum eQbankPick : std::int32_t { PICK_ONE, PICK_NONE, PICK_ALL, PICK_REFUSED };
struct sQbank_BandRule {
    eQbankPick below;      // n < -1, or f not a number
    eQbankPick minus_one;  // n == -1
    eQbankPick above;      // n >= band count
    bool untruncated;      // "above" tests f itself: -1 < f < 0 names band 0 even without bands
    bool table;            // without a window table nothing is touched (the range is empty)
};
// "make", "shorten", "copy_pac2paf", "copy_paf2pac"
inline constexpr sQbank_BandRule QBANK_BANDS_WINDOWS{PICK_ALL, PICK_ALL, PICK_NONE, false, true};
// "print_band"
inline constexpr sQbank_BandRule QBANK_BANDS_PRINT{PICK_ALL, PICK_ALL, PICK_NONE, false, false};
// "get_first_zero_paf", "get_window_length_paf", "get_window_length_pac"
inline constexpr sQbank_BandRule QBANK_BANDS_ONE{PICK_NONE, PICK_NONE, PICK_NONE, false, false};
// "print_first_and_last_value"
inline constexpr sQbank_BandRule QBANK_BANDS_EVERY{PICK_ALL, PICK_ALL, PICK_ALL, true, false};
// Array commands taking a float band number.
inline constexpr sQbank_BandRule QBANK_BANDS_ARRAY{PICK_ALL, PICK_ALL, PICK_ALL, true, true};
// Array commands taking atoms ("mult", "cycle", "array_synopsis" with one).
inline constexpr sQbank_BandRule QBANK_BANDS_ATOMS{PICK_REFUSED, PICK_ALL, PICK_REFUSED, false, true};

// Selected bands first..last-1; all: every band was asked for; ok: false
// when the number is refused.
struct sQbank_Bands {
    std::int32_t first;
    std::int32_t last;
    bool all;
    bool ok;
};

sQbank_Bands qbank_t_select_bands(const sQbank_t *psW, double f, const sQbank_BandRule &rule);
