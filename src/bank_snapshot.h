// Read-only snapshots of a bank, shared by every engine that reads it. A
// snapshot holds copies of the bank's float windows (one contiguous block,
// with the header words in front of each window, so the window helpers read
// them as they read the bank's own), its hops, band count and longest frame,
// and whatever the engines derive from those alone (transforms of the
// windows, double copies). It is found by the record's address and
// generation stamp, or else by equal contents: objects fed by one designer,
// and designers with the same settings, all read one snapshot, so the
// engines' working set does not grow with the number of objects.
//
// Reference counted: each reader holds one reference while it uses the
// snapshot and releases it when its bank changes or it is deleted; the last
// release frees the snapshot and everything derived from it. Acquiring
// builds from the record alone and touches no object, so it can run on a
// worker thread; a mutex guards the registry (held for lookups and inserts,
// not while copying or deriving).
#pragma once

#include <cstdint>

#include "records.h"

// Engines that keep derived data in a snapshot, one slot each.
enum class eBankDerived : std::int32_t { FAST_ANALYSIS = 0, EXACT_ANALYSIS = 1, FAST_SYNTHESIS = 2, COUNT = 3 };

struct sBankSnapshotBand {
    const paf_type *r;    // window, real part (header words in front), or null
    const paf_type *i;    // imaginary part, or null
    std::int32_t Lr, Li;  // their lengths (0 without a window)
    std::int32_t d;       // hop (0 without a hop table)
};

struct sBankSnapshot {
    std::int32_t S;   // bands
    std::int32_t Lm;  // the record's longest float window
    const sBankSnapshotBand *bands;
};

// The snapshot of record p, shared or made now; null when memory is short.
// The caller owns one reference. An unstamped record (generation 0) gets a
// snapshot of its own, shared with no one.
const sBankSnapshot *bank_snapshot_acquire(const sQbank_Param *p);
// One more reference to the snapshot already made for record p at its
// generation, found by the record alone (no window is compared or copied);
// null when there is none. Cheap enough for a message handler.
const sBankSnapshot *bank_snapshot_find(const sQbank_Param *p);
// Gives back one reference (null: nothing).
void bank_snapshot_release(const sBankSnapshot *s);

// What an engine derives from the snapshot alone, built by build(s) on the
// first request and freed by destroy when the snapshot goes. Null when the
// build failed (it is tried again on the next request).
using fBankDerivedBuild = void *(*)(const sBankSnapshot *s);
using fBankDerivedFree = void (*)(void *data);
const void *bank_snapshot_derived(const sBankSnapshot *s, eBankDerived kind, fBankDerivedBuild build,
                                  fBankDerivedFree destroy);

// Live snapshots (for tests and reports).
std::int32_t bank_snapshot_count();
