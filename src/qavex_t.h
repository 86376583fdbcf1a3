// Analysis object "qavex_tilde": keeps a ring of recent input and, every
// 64-sample block, computes the coefficients of every band that falls due,
// published as coefficient lists on the coefficient channel.
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "records.h"
#include "rings.h"

constexpr int QAVEX_T_MAX_SLICES = 64;

struct sQavex_t;

// One slice of a block: positions iMin <= j < iSup, written into list itcBin.
struct sthread_qavex_param {
    std::int32_t iCounter;
    std::int32_t itcBin;
    std::int32_t iMin;
    std::int32_t iSup;
    sQavex_t *psW;
};

struct sQavex_t {
    t_object x_obj;
    t_float fConstSignal;
    t_inlet *x_inC;
    t_outlet *x_outG;
    t_outlet *x_outC;
    t_outlet *x_outM;
    sQavex_Coeff **pawc;
    sQbank_Param *psParam;
    std::int32_t iq_analyse_min;
    std::int32_t iq_analyse_sup;
    std::int32_t iLongestFrame;
    std::int32_t q_sup;
    t_float var;
    struct {
        sQavex_Ring<t_sample> ring;
        std::int32_t iLength;
        std::int32_t iLengthTemp;
        std::int32_t counter;
    } sSound;
    std::int32_t iComputeCoefficients;
    std::int32_t num_threads;
    volatile std::int32_t iThreadCount;
    sthread_qavex_param *pawp[QAVEX_T_MAX_SLICES];

    // The report never follows a record address: the designer may be gone by
    // the time of a bang. It shows the computation variant copied in the most
    // recent block, or nothing when that block had no usable record.
    std::int32_t bComputeTypeKnown;
    std::int32_t iComputeTypeSeen;
    // Entries each list can hold (what its slice can receive).
    std::int32_t aiListCapacity[QAVEX_T_MAX_SLICES];
    // Window copies of the vectorised kernel, built on first use.
    struct sQavexExact *pExact;
    // 1 while the input holds non-finite samples and the warning is out.
    std::int32_t iNonFiniteWarned;
    // Fast mode ("set_fast"): on/off and its engine, built on the worker of
    // pSwitch after "set_fast 1" (src/fast_switch.h), or in the block when
    // the bank changes.
    std::int32_t iFast;
    struct sQavexFast *pFast;
    struct sQavexFastSwitch *pSwitch;
    // The bank (record and generation) at which the fast or the exact
    // engine's record could not be allocated: blocks ask again only once the
    // bank has changed.
    const sQbank_Param *pNoFastAt, *pNoExactAt;
    std::uint32_t uNoFastGen, uNoExactGen;
    // Blocks written into the ring, and rebuilds of the ring (which clear it).
    std::int64_t lRingSerial;
    std::uint32_t iRingEpoch;
};

// Bangs received by all analysis objects since the library was loaded.
extern std::int32_t qavex_t_bang_count;

// Registers the class with its messages.
void qavex_t_setup();
