// Element types, map and window kinds, the fixed rate, and the two records
// that cross objects: a coefficient and the designer's parameter record.
#pragma once

#include <atomic>
#include <complex>
#include <cstdint>

typedef std::complex<double> pac_type;  // complex window element: re, im
typedef double pac_type_real;
typedef float paf_type;  // float window element
typedef double sound_type;
typedef double tc_type;

// Warping-map function: argument and the map's data array in, value out.
typedef double (*thetafunction)(double, double *);

enum _eThetaType : std::int32_t { BSPLINE = 0, EXP_C1_NYQU = 4, ID = 10, LIN = 11, SQUARE = 12 };

enum _eWindowType : std::int32_t { WIN_ZERO = 0, WIN_COS = 2, WIN_COS_NOT_WARPED = 3, WIN_SQRT_GAUSS = 7 };

// Fixed rate for every seconds/samples conversion, and the host block.
constexpr double QAVEX_SR = 44100.0;
constexpr int QAVEX_BLOCK = 64;
constexpr long double QAVEX_PI = 3.141592653589793238462643383279502884L;

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
    double C_T_c;                    // none: factor on the computation length
    double C_b;                      // none: divides the warped band spacing _b
    double C_d;                      // none: divides the hop
    double C_q;                      // bands: added to the band count
    std::int32_t C_SR;               // none: oversampling factor of the window construction
    double C_cut;                    // none: amplitude ratio at which shortening cuts
    double T_max;                    // s: longest allowed window
    _eWindowType eWindowType;        // none: window shape
    _eThetaType eThetaType;          // none: warping map family
    thetafunction Theta;             // warped coordinate (none) -> Hz
    thetafunction Theta_inv;         // Hz -> warped coordinate (none)
    thetafunction d_Theta_infimum;   // Hz per warped unit: smallest slope of Theta
    double *thetadata;               // map data: f0 (Hz), k, fny (none), wny (Hz); B-spline tables
    char thetapath[500];             // text: path of the warping data file
    double _K;                       // lobes: bandwidth
    std::int32_t iq_compute_sup;     // bands: band count
    std::int32_t iComputeType;       // none: 0 or 1
    double _R;                       // lobes: copy of _K
    double dWinlength_window;        // s: window length
    double dWinlength_compute;       // s: computation (transform) length
    double _a;                       // s: time step
    double _aTemp;                   // s: written with _a, never read
    double _b;                       // warped units (none): band spacing
    double _bTemp;                   // warped units (none): written with _b, never read
    double dEssentialBandwidth;      // unused
    double *aldDq_real;              // s: exact hop per band
    double *aldDq;                   // s: hop per band, whole samples
    std::int32_t *aiDq;              // samples: hop per band
    std::int32_t iLongestFrame_paf;  // samples: longest float window (-1 before the first copy)
    paf_type **paf_r;                // per band: float window, real part
    paf_type **paf_i;                // per band: float window, imaginary part
    // None. Not read by the classic readers: a library-wide stamp that takes a new
    // value whenever the float windows, the hop table or the band count may
    // have changed. Readers that cache anything derived from them rebuild
    // their caches when it differs from the stamp they built them at.
    std::uint32_t iGeneration;
    // Not read by the classic readers: while a bank built by "rebuild" waits
    // to replace this one (src/bank_rebuild.h), its record, complete and
    // unchanging until the swap, and the count of readers building caches
    // from it (each adds 1 before it starts and takes it away when done);
    // the swap waits for 0. Null otherwise.
    const sQbank_Param *pNext;
    std::atomic<std::int32_t> *piPreparing;
};

// A fresh stamp for sQbank_Param::iGeneration, never 0 and unique while the
// library is loaded (wraps after 2^32 - 1 changes).
std::uint32_t qavex_t_next_generation();
