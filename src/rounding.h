// Rounding up to a number whose prime factors are all small (transform lengths).
#pragma once

#include <cstdint>

#include "m_pd.h"

std::int32_t round_up_to_multiple_of_small_primes(std::int32_t n, std::int32_t maxprime);
// The patch message of the same name: refuses arguments outside the
// preconditions with a console error, otherwise posts the result.
// owner: the object whose message it is (named by the error).
void qavex_t_round_message(t_floatarg n, t_floatarg maxprime, const void *owner = nullptr);
