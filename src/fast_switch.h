// Switching a fast engine on while the audio runs ("set_fast 1" with DSP
// on): the engine for the bank in use is built on the object's worker
// thread from a private copy of the bank's float windows and hops (or from
// a bank that "rebuild" offers before its swap, src/bank_rebuild.h), and the
// block routine takes it over at a block boundary once it is complete; the
// blocks until then are computed exactly. Engines the block routine lets go
// are freed on the worker (a clock hands them over), outside the audio thread.
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "records.h"

struct sQavexFastSwitch;

// How one kind of engine is built and freed.
struct sQavexEngineKind {
    // Builds an engine for record src (a private copy; runs on the worker).
    // Null on failure.
    void *(*build)(const sQbank_Param *src);
    void (*destroy)(void *engine);
};

// Message time. Null when out of memory or the worker thread cannot start.
sQavexFastSwitch *qavex_switch_new(const sQavexEngineKind *kind);
// Message time: stops and joins the worker, frees whatever is left.
void qavex_switch_free(sQavexFastSwitch *s);

// Message time: starts building an engine for live record p (copied first).
// False when nothing was started (no memory, no thread); the caller then
// builds in the block as before.
bool qavex_switch_begin(sQavexFastSwitch *s, const sQbank_Param *p);
// Message time: forgets any build in progress or finished.
void qavex_switch_cancel(sQavexFastSwitch *s);

enum eQavexSwitch : std::int32_t {
    SWITCH_IDLE = 0,  // nothing was asked for
    SWITCH_WAIT,      // the build for this record runs: compute exactly
    SWITCH_READY      // *engine is the finished engine, now the caller's
};
// Audio thread, every block of the fast mode: whether a build for record p
// (at its current generation) is pending or finished. A build for another
// record or generation, or one that failed, is dropped (SWITCH_IDLE).
eQavexSwitch qavex_switch_poll(sQavexFastSwitch *s, const sQbank_Param *p, void **engine);
// Audio thread, every block of the fast mode: when the designer offers a
// rebuilt bank (p->pNext), starts building the engine for it on the worker
// (once; no allocation); the designer swaps the bank in when it is done,
// and poll then hands the engine over in the first block of the new bank.
// With the worker busy nothing starts: the engine is built in the block.
void qavex_switch_follow(sQavexFastSwitch *s, const sQbank_Param *p);
// Audio thread: the finished engine for the bank that record p offers
// (p->pNext), still the switch's until poll hands it over; null when there
// is none. The caller may bring it up to date with its input meanwhile (the
// designer swaps one whole block after every reader's build has ended).
void *qavex_switch_offered(sQavexFastSwitch *s, const sQbank_Param *p);
// Audio thread: engine e is freed soon by the clock, off the audio thread.
// False when the queue is full (the caller keeps it).
bool qavex_switch_discard(sQavexFastSwitch *s, void *e);

// For tests: waits until the worker has finished its build.
void qavex_switch_wait(sQavexFastSwitch *s);
