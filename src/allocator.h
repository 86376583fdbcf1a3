// The guarded allocator every unit takes its blocks from, and the assertion
// that stops the library on a broken invariant.
#pragma once

#include <cstddef>

[[noreturn]] void qavex_t_assert_fail(const char *cond, const char *file);
#define QAVEX_ASSERT(cond, text, file)                \
    do {                                              \
        if (!(cond)) qavex_t_assert_fail(text, file); \
    } while (0)

// Block of n bytes, 16-aligned, 112 header bytes in front and 64..79 bytes
// of slack behind, all filled with 0xA3. Null (with messages) when the heap
// is exhausted.
// file and line are the caller's place, for the request observer (the
// builtins give the caller's place with GCC and Clang alike).
void *qavex_t_malloc0(std::size_t n, const char *file = __builtin_FILE(), int line = __builtin_LINE());
void qavex_t_free(void *u);

// Raw heap used by the allocator and a failure injector, for tests:
// qavex_t_fail_after = k makes the (k+1)-th following request fail once.
// The observer, when set, sees the caller's place of every request first.
extern void *(*qavex_t_raw_malloc)(std::size_t);
extern void (*qavex_t_raw_free)(void *);
extern int qavex_t_fail_after;
extern void (*qavex_t_alloc_observer)(const char *file, int line);
