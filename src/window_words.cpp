// Fresh window arrays with their header words.
#include "window_words.h"

#include <cstddef>
#include <cstdint>

#include "allocator.h"
#include "records.h"

pac_type *qavex_t_new_pac(std::int32_t n, pac_type side, const char *file, int line)
{
    if (n <= 0) return nullptr;
    pac_type *a = (pac_type *)qavex_t_malloc0((std::size_t)n * sizeof(pac_type), file, line);
    if (a) qavex_t_pac_set_header(a, n, side);
    return a;
}

paf_type *qavex_t_new_paf(std::int32_t n, paf_type side, const char *file, int line)
{
    if (n <= 0) return nullptr;
    paf_type *a = (paf_type *)qavex_t_malloc0((std::size_t)n * sizeof(paf_type), file, line);
    if (a) qavex_t_paf_set_header(a, n, side);
    return a;
}
