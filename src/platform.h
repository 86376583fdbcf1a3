// The few things that differ between operating systems and compilers, in
// one place.
#pragma once

// Marks the library entry the host looks up by name.
#if defined(_WIN32)
#define QAVEX_EXPORT __declspec(dllexport)
#else
#define QAVEX_EXPORT __attribute__((visibility("default")))
#endif

// Two builds of a kernel: QAVEX_AVX2_BUILD for processors with AVX2 and FMA,
// QAVEX_BASE_BUILD for the base instruction set; both inline everything the
// kernel calls. QAVEX_PICK_BUILD(avx2, base) gives the one for this
// processor, asked once when the library loads (no loader tricks, so it works
// on Windows and macOS too). GCC on x86-64 only (clang contracts a * b + c
// into fused operations once FMA is allowed, which would change results);
// elsewhere, or with QAVEX_NO_CLONES defined, only the base build exists and
// the compiler vectorizes it for the target's own vector unit.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(QAVEX_NO_CLONES)
#define QAVEX_TWO_BUILDS 1
#define QAVEX_AVX2_BUILD __attribute__((target("avx2,fma"), flatten))
#define QAVEX_PICK_BUILD(avx2, base) (qavex_cpu_has_avx2_fma() ? (avx2) : (base))
#else
#define QAVEX_TWO_BUILDS 0
#define QAVEX_PICK_BUILD(avx2, base) (base)
#endif
#define QAVEX_BASE_BUILD __attribute__((flatten))

// True when the processor and the operating system run AVX2 and FMA code.
bool qavex_cpu_has_avx2_fma();

// Zero-length sleep: lets other work run while a block waits for its slices.
void qavex_yield_processor();

// A file name that does not depend on the current folder: "/..." everywhere,
// and on Windows also "\..." and a drive letter with a colon ("C:...").
bool qavex_path_is_absolute(const char *name);
