// The few things that differ between operating systems and compilers, in
// one place.
#pragma once

// Marks the library entry the host looks up by name.
#if defined(_WIN32)
#define QAVEX_EXPORT __declspec(dllexport)
#else
#define QAVEX_EXPORT __attribute__((visibility("default")))
#endif

// QAVEX_CLONES builds a function twice, for processors with AVX2 and FMA and
// for the base instruction set, and picks one at load time; QAVEX_CLONES_FLAT
// also inlines everything the function calls into each build. GCC on x86-64
// only (clang cannot combine the clones with flatten); elsewhere, or with
// QAVEX_NO_CLONES defined, there is one build.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__has_attribute)
#if __has_attribute(target_clones) && !defined(QAVEX_NO_CLONES) && !defined(__clang__)
#define QAVEX_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#define QAVEX_CLONES_FLAT __attribute__((target_clones("arch=x86-64-v3", "default"), flatten))
#endif
#endif
#ifndef QAVEX_CLONES
#define QAVEX_CLONES
#define QAVEX_CLONES_FLAT
#endif

// Zero-length sleep: lets other work run while a block waits for its slices.
void qavex_yield_processor();

// A file name that does not depend on the current folder: "/..." everywhere,
// and on Windows also "\..." and a drive letter with a colon ("C:...").
bool qavex_path_is_absolute(const char *name);
