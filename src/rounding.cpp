// Rounding up to multiples of small primes, and its patch message.
#include "rounding.h"

#include <cstdint>

#include "allocator.h"
#include "console_capture.h"
#include "m_pd.h"

static const char *const DEF_FILE = "src/rounding";

std::int32_t round_up_to_multiple_of_small_primes(std::int32_t n, std::int32_t maxprime)
{
    QAVEX_ASSERT(maxprime > 1, "maxprime>1", DEF_FILE);
    QAVEX_ASSERT(n > 0, "n>0", DEF_FILE);
    if (n == 1) return 1;
    for (std::int64_t m = n;; m++) {
        // Trial division by the divisors up to maxprime: whatever remains
        // above 1 has a prime factor larger than maxprime, which is the same
        // verdict the full factorisation gives, without its cost.
        std::int64_t r = m;
        for (std::int64_t d = 2; d <= maxprime && r != 1; d++)
            while (r % d == 0) r /= d;
        if (r == 1) return (std::int32_t)m;
    }
}

void qavex_t_round_message(t_floatarg fn, t_floatarg fmax, const void *owner)
{
    // Truncate as the integer conversion does, but refuse what is outside
    // the preconditions (or would overflow on the way up) before rounding.
    double dn = (double)fn, dm = (double)fmax;
    if (!(dn >= 1.0) || !(dm >= 2.0) || dn > 1073741824.0 || dm > 2147483647.0) {
        qavex_t_error(owner,
                      "round_up_to_multiple_of_small_primes: needs n >= 1 (at most 1073741824) and maxprime >= 2");
        return;
    }
    qavex_t_post("Nearest Number with small primes: %i",
                 (int)round_up_to_multiple_of_small_primes((std::int32_t)dn, (std::int32_t)dm));
}
