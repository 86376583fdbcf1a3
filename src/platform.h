// The few calls that differ between operating systems, in one place.
#pragma once

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

// Marks the library entry the host looks up by name.
#if defined(_WIN32)
#define QAVEX_EXPORT __declspec(dllexport)
#else
#define QAVEX_EXPORT __attribute__((visibility("default")))
#endif

// Zero-length sleep: lets other work run while a block waits for its slices.
inline void qavex_yield_processor()
{
#if defined(_WIN32)
    Sleep(0);
#else
    sched_yield();
#endif
}

// A file name that does not depend on the current folder: "/..." everywhere,
// and on Windows also "\..." and a drive letter with a colon ("C:...").
inline bool qavex_path_is_absolute(const char *name)
{
    if (!name || !*name) return false;
    if (name[0] == '/') return true;
#if defined(_WIN32)
    if (name[0] == '\\') return true;
    if (((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z')) && name[1] == ':') return true;
#endif
    return false;
}
