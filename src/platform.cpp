#include "platform.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <sched.h>
#endif

bool qavex_cpu_has_avx2_fma()
{
#if QAVEX_TWO_BUILDS
    // Also called from static initializers, before the runtime's own.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

void qavex_yield_processor()
{
#if defined(_WIN32)
    Sleep(0);
#else
    sched_yield();
#endif
}

bool qavex_path_is_absolute(const char *name)
{
    if (!name || !*name) return false;
    if (name[0] == '/') return true;
#if defined(_WIN32)
    if (name[0] == '\\') return true;
    if (((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) && name[1] == ':') return true;
#endif
    return false;
}
