// What the spectral effects (qgain~, qgate~, qcross~, qtranspose~) share:
// the coefficient list they publish instead of changing the lists they
// receive, per-band state sized for the bank, and the reading and writing
// of their bus blocks. Lists and state are rebuilt only when the bank
// changes or a block carries more coefficients than the list holds, so a
// steady stream allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bus_words.h"
#include "m_pd.h"
#include "records.h"

struct sQeffect_Out {
    sQavex_Coeff **pawc;       // table of one list address (a live LISTS record)
    std::int32_t capacity;     // entries the list holds
    const sQbank_Param *bank;  // record the state was built for
    std::uint32_t generation;  // its stamp at that time
    std::int32_t bands;        // bands the state holds
    std::int32_t nstate;       // doubles kept per band
    double *state;             // nstate arrays of `bands` doubles, band-major per array
};

// Total coefficients of a block (null lists count 0, negative counts 0).
std::int64_t qeffect_count(const sQavex_CoeffIn &in);

// Makes the state fit bank p (nstate doubles per band, all 0 after a
// rebuild; *rebuilt tells) and the list hold `need` entries. False when an
// allocation failed: the effect then passes its input through.
bool qeffect_fit(sQeffect_Out &o, const sQbank_Param *p, std::int32_t nstate, std::int64_t need, bool *rebuilt);

// Releases list and state.
void qeffect_release(sQeffect_Out &o);

// State array k (0 <= k < nstate) of `bands` doubles.
inline double *qeffect_state(const sQeffect_Out &o, std::int32_t k) { return o.state + (std::size_t)k * o.bands; }

// Copies every coefficient of the block into the own list (its capacity
// must cover qeffect_count(in)); entries keep start, band and values.
void qeffect_copy_in(sQeffect_Out &o, const sQavex_CoeffIn &in);

// Calls fn(coefficient) for every valid entry of every list of the block.
template <typename F>
inline void qeffect_for_each(const sQavex_CoeffIn &in, F fn)
{
    for (std::int32_t k = 0; k < in.n; k++) {
        sQavex_Coeff *list = in.lists[k];
        if (list == nullptr) continue;
        for (std::int32_t j = 0; j < list[0].numCoeff; j++) fn(list[j]);
    }
}

// The bus of one effect block: coefficient and parameter channel in, the
// same two out, read before anything is written.
struct sQeffect_Bus {
    sQavex_CoeffIn cin;
    sQbank_Param *p;  // null unless the parameter block is valid and has bands
    t_sample *outG, *outC;
};
// Reads the blocks and forwards the parameter channel at once (an empty
// block when invalid). coeff_ok: the coefficient block is valid.
sQeffect_Bus qeffect_read(const t_sample *inG, const t_sample *inC, t_sample *outG, t_sample *outC, bool *coeff_ok);

// Output: the own list, or the input block unchanged, or an empty block.
void qeffect_publish(const sQeffect_Out &o, t_sample *outG);
void qeffect_pass(const sQavex_CoeffIn &in, t_sample *outG);

// Coefficient of a one-pole smoother that runs once every `hop` samples
// with time constant ms (at the design rate): 1 for ms <= 0.
double qeffect_pole(double ms, std::int32_t hop);

// One step of a one-pole smoother: x moves the fraction k (a qeffect_pole)
// of the way to target.
inline void qeffect_smooth(double &x, double target, double k) { x += k * (target - x); }

// One console error per episode: posts "<cls>: <name>: <text>" when seen
// starts an episode; the latch re-arms with the first block without it.
void qeffect_error_episode(const void *obj, std::int32_t *latch, bool seen, const char *cls, const char *name,
                           const char *text);
