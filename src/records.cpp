// The library-wide generation stamp of the parameter records.
#include "records.h"

#include <cstdint>

std::uint32_t qavex_t_next_generation()
{
    static std::uint32_t last = 0;
    if (++last == 0) ++last;
    return last;
}
