// Vectorised kernel of the analysis inner products. Each coefficient is
// still one sum from the newest sample (m = 0) upward, so results are the
// same bits as a plain loop; the lanes of a vector are different
// coefficients: up to four positions of one band (hop d apart), or the real
// and imaginary sums of one coefficient.
#pragma once

#include <cstdint>

#include "m_pd.h"
#include "bank_snapshot.h"
#include "records.h"

// The input ring as the analysis reads it: x(0) of block position j is
// samples[newest + j]; older samples step back through the ring, from its
// first sample to its last.
struct sQavexRing {
    const t_sample *samples;
    std::int32_t length;
    std::int32_t newest;
};

struct sQavexExact;

// Window copies for the record's bands, kept until the record or its
// generation stamp changes (an unstamped record, generation 0, is copied
// again in every block). Returns the cache to use from now on, possibly a
// new one; after a failed allocation bands without a copy are summed by a
// plain loop over the float windows, with the same results.
sQavexExact *qavex_exact_prepare(sQavexExact *c, const sQbank_Param *p);
void qavex_exact_free(sQavexExact *c);
// Makes the window copies that every exact analysis of snapshot s shares,
// anywhere (a worker thread too), so that a later prepare for a record of
// the same contents only looks them up.
void qavex_exact_share(const sBankSnapshot *s);

// Queues the K coefficients of band q at block positions p0, p0 + d, ...
// (entries e[0..K-1], start and band already set), then computes every
// queued coefficient into val_r, val_i.
void qavex_exact_band(sQavexExact *c, const sQbank_Param *p, const sQavexRing &ring, std::int32_t q, std::int32_t p0,
                      std::int32_t d, std::int32_t K, sQavex_Coeff *const *e);
void qavex_exact_run(sQavexExact *c, const sQavexRing &ring);

// One coefficient by the plain loop (the definition).
void qavex_exact_single(const sQavexRing &ring, const paf_type *wr, const paf_type *wi, std::int32_t L,
                        sQavex_Coeff *e);
