// Shared types, records that cross objects, bus word accessors, the
// guarded allocator and small-prime rounding.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "m_pd.h"
#include "record_registry.h"

// ---------------------------------------------------------------- types
typedef std::complex<double> pac_type;   // complex window element: re, im
typedef double pac_type_real;
typedef float paf_type;                  // float window element
typedef double sound_type;
typedef double tc_type;

// Warping-map function: argument and the map's data array in, value out.
typedef double (*thetafunction)(double, double *);

enum _eThetaType : std::int32_t {
    BSPLINE = 0,
    EXP_C1_NYQU = 4,
    ID = 10,
    LIN = 11,
    SQUARE = 12
};

enum _eWindowType : std::int32_t {
    WIN_ZERO = 0,
    WIN_COS = 2,
    WIN_COS_NOT_WARPED = 3,
    WIN_SQRT_GAUSS = 7
};

// Fixed rate for every seconds/samples conversion, and the host block.
constexpr double QAVEX_SR = 44100.0;
constexpr int QAVEX_BLOCK = 64;
constexpr long double QAVEX_PI = 3.141592653589793238462643383279502884L;

// ---------------------------------------------------------------- records
// One coefficient. Entry 0 of a list doubles as its header (numCoeff).
struct sQavex_Coeff {
    std::int32_t start;
    tc_type val_r;
    tc_type val_i;
    std::int32_t band;
    std::int32_t numCoeff;
};

// The designer's parameter record, published on the parameter channel.
struct sQbank_Param {
    double C_T_c;                   // none: factor on the computation length
    double C_b;                     // none: divides the warped band spacing _b
    double C_d;                     // none: divides the hop
    double C_q;                     // bands: added to the band count
    std::int32_t C_SR;              // none: oversampling factor of the window construction
    double C_cut;                   // none: amplitude ratio at which shortening cuts
    double T_max;                   // s: longest allowed window
    _eWindowType eWindowType;       // none: window shape
    _eThetaType eThetaType;         // none: warping map family
    thetafunction Theta;            // warped coordinate (none) -> Hz
    thetafunction Theta_inv;        // Hz -> warped coordinate (none)
    thetafunction d_Theta_infimum;  // Hz per warped unit: smallest slope of Theta
    double *thetadata;              // map data: f0 (Hz), k, fny (none), wny (Hz); B-spline tables
    char thetapath[500];            // text: path of the warping data file
    double _K;                      // lobes: bandwidth
    std::int32_t iq_compute_sup;    // bands: band count
    std::int32_t iComputeType;      // none: 0 or 1
    double _R;                      // lobes: copy of _K
    double dWinlength_window;       // s: window length
    double dWinlength_compute;      // s: computation (transform) length
    double _a;                      // s: time step
    double _aTemp;                  // s: written with _a, never read
    double _b;                      // warped units (none): band spacing
    double _bTemp;                  // warped units (none): written with _b, never read
    double dEssentialBandwidth;     // unused
    double *aldDq_real;             // s: exact hop per band
    double *aldDq;                  // s: hop per band, whole samples
    std::int32_t *aiDq;             // samples: hop per band
    std::int32_t iLongestFrame_paf; // samples: longest float window (-1 before the first copy)
    paf_type **paf_r;               // per band: float window, real part
    paf_type **paf_i;               // per band: float window, imaginary part
    // None. Not read by the classic readers: a library-wide stamp that takes a new
    // value whenever the float windows, the hop table or the band count may
    // have changed. Readers that cache anything derived from them rebuild
    // their caches when it differs from the stamp they built them at.
    std::uint32_t iGeneration;
};

// A fresh stamp for sQbank_Param::iGeneration, never 0 and unique while the
// library is loaded (wraps after 2^32 - 1 changes).
std::uint32_t qavex_t_next_generation();

// ---------------------------------------------------------------- assertions
[[noreturn]] void qavex_t_assert_fail(const char *cond, const char *file);
#define QAVEX_ASSERT(cond, text, file) \
    do { if (!(cond)) qavex_t_assert_fail(text, file); } while (0)

// ---------------------------------------------------------------- allocator
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

// ---------------------------------------------------------------- conversion
// How qavex_t_to_int32 treats what has no truncated value in [lo, hi].
struct sQavex_IntRule {
    std::int32_t if_nan = 0;        // result for NaN
    std::int32_t lo = INT32_MIN;    // smallest result
    std::int32_t hi = INT32_MAX;    // largest result
    bool outside_as_nan = false;    // out of range gives if_nan instead of lo or hi
};
// Real to int32: truncation toward zero, saturated to [lo, hi] (or if_nan outside), NaN gives if_nan.
template <class F>
inline std::int32_t qavex_t_to_int32(F v, sQavex_IntRule r = {})
{
    using W = decltype(v + 0.0);  // double, or long double for long double input
    const W w = (W)v;
    if (std::isnan(w)) return r.if_nan;
    if (r.outside_as_nan) {
        const W t = std::trunc(w);
        return (t < (W)r.lo || t > (W)r.hi) ? r.if_nan : (std::int32_t)t;
    }
    if (w <= (W)r.lo) return r.lo;
    if (w >= (W)r.hi) return r.hi;
    return (std::int32_t)w;
}
// The designer's rule: NaN reads like -infinity.
constexpr sQavex_IntRule QAVEX_NAN_LOWEST{.if_nan = INT32_MIN};

// ---------------------------------------------------------------- windows
// pac: element -6 side word, -5 length word (N, 0), -4..-1 and N..N+3 guards.
// paf: element -6 side word, -5 length word N as float.
// Window length N from the length word: 0 unless it truncates to 1..INT32_MAX.
inline std::int32_t qavex_t_window_length(const pac_type *a)
{
    return qavex_t_to_int32(a[-5].real(), {.lo = 1, .outside_as_nan = true});
}
inline std::int32_t qavex_t_window_length(const paf_type *a)
{
    return qavex_t_to_int32(a[-5], {.lo = 1, .outside_as_nan = true});
}
inline pac_type qavex_t_pac_side(const pac_type *a) { return a[-6]; }
inline void qavex_t_pac_set_header(pac_type *a, std::int32_t n, pac_type side)
{
    a[-5] = pac_type((double)n, 0.0);
    a[-6] = side;
}
inline void qavex_t_pac_zero_guards(pac_type *a)
{
    std::int32_t n = qavex_t_window_length(a);
    for (int i = 1; i <= 4; i++) a[-i] = pac_type(0.0, 0.0);
    for (int i = 0; i < 4; i++) a[n + i] = pac_type(0.0, 0.0);
}
// Fresh pac array of n > 0 elements with length word n and the given side
// word; elements keep the allocator's fill. Null on failure.
pac_type *qavex_t_new_pac(std::int32_t n, pac_type side = pac_type(0.0, 0.0), const char *file = __builtin_FILE(),
                          int line = __builtin_LINE());

inline paf_type qavex_t_paf_side(const paf_type *a) { return a[-6]; }
inline void qavex_t_paf_set_header(paf_type *a, std::int32_t n, paf_type side)
{
    a[-5] = (paf_type)n;
    a[-6] = side;
}
paf_type *qavex_t_new_paf(std::int32_t n, paf_type side = 0.0f, const char *file = __builtin_FILE(),
                          int line = __builtin_LINE());

// ---------------------------------------------------------------- rings
// The input ring of the analysis, the output rings of the synthesis and the
// delay's ring: pA first element, pC start of the current block, pE one past
// the last; lengths are whole blocks.

// How an object reads its "set_soundbuffer_length_factor" argument.
struct sQavex_RingFactor {
    std::int32_t default_factor;  // blocks, for NaN and arguments below 1
    std::int32_t max_factor;      // blocks, larger arguments are limited to it
    bool one_is_default;          // an argument of exactly 1 gives the default too
};
// Ring length in samples: 64 x the argument truncated toward zero and limited
// to max_factor, or 64 x default_factor; *limited: the argument exceeded max_factor.
std::int32_t qavex_t_ring_length(t_floatarg f, const sQavex_RingFactor &rule, bool *limited = nullptr);

template <class T>
inline void qavex_t_ring_release(T *&pA, T *&pC, T *&pE)
{
    qavex_t_free(pA);
    pA = pC = pE = nullptr;
}
// Replaces the ring's buffer by a silent one of n elements, pC = pA; false
// (and no buffer) when n <= 0 or the allocation fails. The allocation is
// attributed to the caller's place, as a direct allocator call would be.
template <class T>
bool qavex_t_ring_build(T *&pA, T *&pC, T *&pE, std::int32_t n, const char *file = __builtin_FILE(),
                        int line = __builtin_LINE())
{
    qavex_t_ring_release(pA, pC, pE);
    T *a = n > 0 ? (T *)qavex_t_malloc0((std::size_t)n * sizeof(T), file, line) : nullptr;
    if (!a) return false;
    for (std::int32_t i = 0; i < n; i++) a[i] = T(0);
    pA = pC = a;
    pE = a + n;
    return true;
}
// Start of the block after c, pA again past the end.
template <class T>
inline T *qavex_t_ring_next_block(T *pA, T *c, const T *pE)
{
    c += QAVEX_BLOCK;
    return c >= pE ? pA : c;
}
// Index i of a ring of n elements brought back into 0..n-1 (-n <= i < 2n).
inline std::int64_t qavex_t_ring_wrap(std::int64_t i, std::int64_t n) { return i < 0 ? i + n : i >= n ? i - n : i; }

// ---------------------------------------------------------------- rounding
std::int32_t round_up_to_multiple_of_small_primes(std::int32_t n, std::int32_t maxprime);
// The patch message of the same name: refuses arguments outside the
// preconditions with a console error, otherwise posts the result.
void qavex_t_round_message(t_floatarg n, t_floatarg maxprime);

// ---------------------------------------------------------------- bus
constexpr std::int32_t QAVC_TAG = 0x51415643;  // 'Q','A','V','C'
constexpr std::int32_t QAVG_TAG = 0x51415647;  // 'Q','A','V','G'
constexpr int QAVEX_WORD_LISTS = 4;   // coefficient block: list array (2 words on 64 bit)
constexpr int QAVEX_WORD_NLISTS = 8;  // coefficient block: number of lists
constexpr int QAVEX_WORD_PARAM = 12;  // parameter block: record (2 words on 64 bit)

inline void hide_int_at_address(std::int32_t i, void *p) { std::memcpy(p, &i, sizeof i); }
void hide_pointer_at_address(const void *what, void *p);
inline std::int32_t find_int_at_address(const void *p)
{
    std::int32_t i;
    std::memcpy(&i, p, sizeof i);
    return i;
}
inline void *find_pointer_at_address(const void *p)
{
    void *a;
    std::memcpy(&a, p, sizeof a);
    return a;
}

inline void qavex_t_write_empty_block(t_sample *v) { std::memset(v, 0, QAVEX_BLOCK * sizeof(t_sample)); }
// Parameter block: tag in word 0, record address in word 12; no other word.
inline void qavex_t_write_param_block(t_sample *v, const sQbank_Param *p)
{
    hide_int_at_address(QAVC_TAG, v);
    hide_pointer_at_address(p, v + QAVEX_WORD_PARAM);
}
// Coefficient block on a cleared vector: tag, list array, list count.
inline void qavex_t_write_coeff_block(t_sample *v, sQavex_Coeff **lists, std::int32_t n)
{
    qavex_t_write_empty_block(v);
    hide_int_at_address(n, v + QAVEX_WORD_NLISTS);
    hide_int_at_address(QAVG_TAG, v);
    hide_pointer_at_address(lists, v + QAVEX_WORD_LISTS);
}

// What a reader takes from a block before it writes any outlet.
struct sQavex_ParamIn {
    std::int32_t tag;
    sQbank_Param *p;
};
struct sQavex_CoeffIn {
    std::int32_t tag;
    sQavex_Coeff **lists;
    std::int32_t n;
};
// A reader trusts an address only if it names a live record of the kind it
// expects (see record_registry.h): a float whose bits equal a tag, a forged
// block or the address of a deleted object reads as no address at all. A
// coefficient block whose count exceeds its array's capacity is refused too.
inline sQavex_ParamIn qavex_t_read_param_block(const t_sample *v)
{
    void *p = find_pointer_at_address(v + QAVEX_WORD_PARAM);
    if (!qavex_t_record_find(p, eQavexRecord::PARAM)) p = nullptr;
    return {find_int_at_address(v), (sQbank_Param *)p};
}
inline sQavex_CoeffIn qavex_t_read_coeff_block(const t_sample *v)
{
    void *p = find_pointer_at_address(v + QAVEX_WORD_LISTS);
    const std::int32_t n = find_int_at_address(v + QAVEX_WORD_NLISTS);
    const sQavexRecordSlot *s = qavex_t_record_find(p, eQavexRecord::LISTS);
    if (!s || n > s->capacity) p = nullptr;
    return {find_int_at_address(v), (sQavex_Coeff **)p, n};
}

// ---------------------------------------------------------------- reports
// The remark a bang report starts with at bang count c (may be none).
void qavex_t_post_bang_remark(std::int32_t c);
// "------------------Not important stuff" and the "Buildtime" line.
void qavex_t_post_buildtime();

std::int32_t qavex_test_compileparam();
// TEST() (does nothing) is defined in qavex_t_definitions.cpp; it is not
// declared here because test frameworks use that name as a macro.

// Class setups, called by qavex_setup in this order.
void qavex_t_setup();
void qproc_t_setup();
void invqavex_t_setup();
void qlag_t_setup();
void qemit_t_setup();
void qbank_t_setup();
void qdump_t_setup();
// Beyond the seven classes above: the live coefficient view.
void qview_t_setup();
