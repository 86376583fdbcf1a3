// Guarded allocation: aligned blocks with filled slack, failure injection and a request observer for tests.
#include "allocator.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console_capture.h"
#include "m_pd.h"

static const char *const DEF_FILE = "src/allocator";

void qavex_t_assert_fail(const char *cond, const char *file)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s\n", cond, file);
    std::fflush(stderr);
    std::abort();
}

void *(*qavex_t_raw_malloc)(std::size_t) = std::malloc;
void (*qavex_t_raw_free)(void *) = std::free;
int qavex_t_fail_after = -1;
void (*qavex_t_alloc_observer)(const char *, int) = nullptr;

static constexpr std::size_t HEADER = 112;
static constexpr std::size_t EXTRA = 192;

void *qavex_t_malloc0(std::size_t n, const char *file, int line)
{
    QAVEX_ASSERT(n > 0, "n>0", DEF_FILE);
    if (qavex_t_alloc_observer) qavex_t_alloc_observer(file, line);
    unsigned char *p = nullptr;
    if (qavex_t_fail_after == 0) {
        qavex_t_fail_after = -1;
    } else {
        if (qavex_t_fail_after > 0) qavex_t_fail_after--;
        if (n <= SIZE_MAX - EXTRA) p = (unsigned char *)qavex_t_raw_malloc(n + EXTRA);
    }
    if (!p) {
        qavex_t_post("Error, qavex_t_malloc0, memse");
        qavex_t_error(nullptr, "Qavex_t: Out of Memory");
        return nullptr;
    }
    std::memset(p, 0xA3, n + EXTRA);
    unsigned s = 16 - (unsigned)((std::uintptr_t)p % 16);  // 1..16
    p[s] = (unsigned char)(signed char)s;
    return p + s + HEADER;
}

void qavex_t_free(void *u)
{
    if (!u) return;
    unsigned char *a = (unsigned char *)u - HEADER;
    int s = (signed char)*a;
    unsigned char *p = a - s;
    std::memset(p, 0xB3, 7);
    qavex_t_raw_free(p);
}
