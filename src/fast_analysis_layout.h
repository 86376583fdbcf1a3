// The fast analysis's form of a bank, derived from the bank alone and shared
// by every analysis reading it (src/bank_snapshot.h): per band the method
// (dot product or partitioned FFT) and partition layout the cost model
// chooses, the window spectra of the partitions, the segments of each
// partition size and their plans.
#pragma once

#include <cstdint>

#include "fft_plans.h"
#include "records.h"

struct sBankSnapshot;

constexpr int PART = QAVEX_BLOCK;  // block and first partition length
constexpr int NFFT = 2 * PART;     // first partitions' transform length (overlap-save)
constexpr double COEFF_SCALE = QAVEX_SR;
// Partition sizes 64 << i for i = 0 .. MAX_LEVEL.
constexpr int MAX_LEVEL = 6;
constexpr int LEVELS = MAX_LEVEL + 1;
// Longest run of partitions of one size the layout search tries (besides
// one that reaches the window's end).
constexpr std::int32_t MAX_RUN = 64;

typedef double v4d __attribute__((vector_size(32)));
typedef float v4f __attribute__((vector_size(16)));

// Cost model, in multiply-adds per output sample: a complex product per
// transform bin (4 per bin, 2 N bins per N samples: 8 per partition), an
// inverse complex transform of F points (about 2.5 F log2 F per N
// samples), and 2 L / d for a dot product over the window every d samples.
constexpr double COST_PRODUCT = 8.0;
constexpr double COST_TRANSFORM = 2.5;
constexpr double COST_DOT = 2.0;

// One band's partitions of one size beyond the first: c partitions of N
// taps from tap O on, all on the input spectra of the size's segments.
struct LevelShape {
    std::int32_t c;
    std::int32_t O;
    const double *h;  // c spectra, each F real parts then F imaginary parts
};

// How band q is computed, derived from the bank alone and shared by every
// analysis reading it (see bank_snapshot.h).
struct FastShape {
    std::int32_t kind;  // -1 none, 0 dot product, 1 partitioned FFT
    std::int32_t L;
    std::int32_t P;          // FFT: partitions of 64 taps from tap 0 on
    std::int32_t slot;       // FFT: index of the band's outputs
    const double *h;         // FFT: P spectra, each NFFT real parts then NFFT imaginary parts
    LevelShape lev[LEVELS];  // lev[i], i >= 1: partitions of 64 << i taps
    std::int32_t R;          // length of the band's output ring (a power of two; 0: none)
    std::int64_t ring_at;    // its place among the analysis's output rings
};

// The segments of one partition size N = 64 << i (i >= 1), shared by every
// band that uses it: a segment of N samples ends in block k when
// (k + phase) % B == B - 1, B = N / 64. Its spectrum (transform of the 2 N
// samples that end with it) and then each band's products and inverse
// transform are spread over the B blocks from that block on; the band's
// output for it is due from block k + B on (its first partition of that size
// starts at tap 2 N - 64 or later), so nothing comes late. The phases give
// the sizes' segment ends in different blocks.
struct SizeShape {
    std::int32_t nb;     // bands using the size
    std::int32_t *band;  // their band indices
    std::int32_t depth;  // segment spectra kept
    std::int32_t phase;
};

// Plans of one transform size, for buffers laid out as each analysis's
// own (src/fft_plans.h): real input to half spectrum, and the inverse
// complex transform.
struct SizePlan {
    std::int32_t F;
    const sFftPlan *forward;
    const sFftPlan *backward;
    const sFftPlan *spectrum;  // forward complex, for the window spectra
};

struct FastDerived {
    std::int32_t S;
    std::int32_t Pmax;   // longest run of 64-tap partitions
    std::int32_t nfft;   // bands on the FFT
    std::int64_t reach;  // samples a resync scans back for sound
    std::int64_t rings;  // output ring entries of all FFT bands
    std::int32_t maxF;   // largest transform
    FastShape *bands;
    double *spectra;  // all FFT bands' spectra, band after band
    SizeShape sizes[LEVELS];
    std::int32_t *size_bands;
    SizePlan plans[LEVELS];  // plans[i]: transforms of 2 (64 << i) points
};

// The form of the bank of snapshot s (null when memory ran out), and its
// release; the snapshot keeps it (bank_snapshot_derived).
void *fast_analysis_build_derived(const sBankSnapshot *s);
void fast_analysis_free_derived(void *v);
