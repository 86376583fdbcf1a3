// The few things that differ between operating systems, in one place.
#pragma once

// Marks the library entry the host looks up by name.
#if defined(_WIN32)
#define QAVEX_EXPORT __declspec(dllexport)
#else
#define QAVEX_EXPORT __attribute__((visibility("default")))
#endif

// Zero-length sleep: lets other work run while a block waits for its slices.
void qavex_yield_processor();

// A file name that does not depend on the current folder: "/..." everywhere,
// and on Windows also "\..." and a drive letter with a colon ("C:...").
bool qavex_path_is_absolute(const char *name);
