// Hiding an address in bus words.
#include "bus_words.h"

#include <cstring>

#include "allocator.h"

static const char *const DEF_FILE = "src/bus_words";

void hide_pointer_at_address(const void *what, void *p)
{
    QAVEX_ASSERT(what != nullptr, "what!=NULL", DEF_FILE);
    std::memcpy(p, &what, sizeof what);
}
