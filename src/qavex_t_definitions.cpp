#include "qavex_t_definitions.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform.h"
#include "qgain_t.h"
#include "qgate_t.h"
#include "tilde_aliases.h"

static const char *const DEF_FILE = "src/qavex_t_definitions";

void qavex_t_assert_fail(const char *cond, const char *file)
{
    std::fprintf(stderr, "Assertion failed: %s, file %s\n", cond, file);
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------- allocator
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
        post("Error, qavex_t_malloc0, memse");
        pd_error(nullptr, "Qavex_t: Out of Memory");
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

// ---------------------------------------------------------------- rings
std::int32_t qavex_t_ring_length(t_floatarg f, const sQavex_RingFactor &rule, bool *limited)
{
    const bool by_default = rule.one_is_default ? !(f > 1.0f) : !(f >= 1.0f);
    if (limited) *limited = !by_default && (double)f > (double)rule.max_factor;
    return QAVEX_BLOCK * (by_default ? rule.default_factor : qavex_t_to_int32(f, {.hi = rule.max_factor}));
}

// ---------------------------------------------------------------- rounding
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

void qavex_t_round_message(t_floatarg fn, t_floatarg fmax)
{
    // Truncate as the integer conversion does, but refuse what is outside
    // the preconditions (or would overflow on the way up) before rounding.
    double dn = (double)fn, dm = (double)fmax;
    if (!(dn >= 1.0) || !(dm >= 2.0) || dn > 1073741824.0 || dm > 2147483647.0) {
        pd_error(nullptr,
                 "round_up_to_multiple_of_small_primes: needs n >= 1 (at most 1073741824) and maxprime >= 2");
        return;
    }
    post("Nearest Number with small primes: %i",
         (int)round_up_to_multiple_of_small_primes((std::int32_t)dn, (std::int32_t)dm));
}

// ---------------------------------------------------------------- bus
void hide_pointer_at_address(const void *what, void *p)
{
    QAVEX_ASSERT(what != nullptr, "what!=NULL", DEF_FILE);
    std::memcpy(p, &what, sizeof what);
}

// ---------------------------------------------------------------- reports
void qavex_t_post_bang_remark(std::int32_t c)
{
    if (c >= 11 && c <= 19) post("Why are you banging me?");
    else if (c >= 21 && c <= 25) post("I don't like being banged!");
    else if (c >= 27 && c <= 29) post("WHY ARE YOU BANGING ME?");
    else if (c >= 31) post("kriblo is the best!");
}

void qavex_t_post_buildtime()
{
    post("------------------Not important stuff");
    post("Buildtime \t%s\t, \t%s", __DATE__, __TIME__);
}

std::int32_t qavex_test_compileparam()
{
    post("sizeof pac_type: \t%i", (int)sizeof(pac_type));
    post("sizeof paf_type: \t%i", (int)sizeof(paf_type));
    return (sizeof(pac_type) == 16 ? 0 : 1) + (sizeof(paf_type) == 4 ? 0 : 1);
}

void TEST();
void TEST() {}

// ---------------------------------------------------------------- entry
extern "C" QAVEX_EXPORT void qavex_setup(void)
{
    qavex_t_setup();
    qproc_t_setup();
    invqavex_t_setup();
    qlag_t_setup();
    qemit_t_setup();
    qbank_t_setup();
    qdump_t_setup();
    qview_t_setup();
    qgain_t_setup();
    qgate_t_setup();
    qavex_register_tilde_aliases();
}

std::uint32_t qavex_t_next_generation()
{
    static std::uint32_t last = 0;
    if (++last == 0) ++last;
    return last;
}
