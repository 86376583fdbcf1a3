// Latency bound of the designer: "set_max_latency f" (milliseconds; 0, the
// start value, means no limit). From the next "shorten" on, every window of
// the shortened bands is cut to at most trunc(f * rate / 1000) + 1 samples,
// so the synthesis latency (longest window minus one) never exceeds f ms.
// A cut window keeps the samples around its peak under a Hann taper, keeps
// its energy per hop, and its band's hop shrinks until the hops sample the
// cut window's wider spectrum without aliasing; "make" gives the bands their
// derived hops back. Without a bound "shorten" does only what it always did.
#pragma once

#include <cstdint>

#include "m_pd.h"

struct sQbank_t;

// Registers "set_max_latency" on the designer class.
void qbank_latency_setup(t_class *c);
// Longest window the bound allows in samples, or 0 without a bound.
std::int32_t qbank_latency_max_length(const sQbank_t *psW);
// After "shorten iAN": cuts the windows of the band range to the bound.
void qbank_latency_shorten(sQbank_t *psW, std::int32_t iAN);
// Before "make iAN": the bands of the range get their derived hops back.
void qbank_latency_make(sQbank_t *psW, std::int32_t iAN);

// Cuts band q's complex window to at most L samples around its peak, with
// the taper or with a hard edge, and with follow_hop shrinks its hop for the
// cut window's spectrum. Returns false when the band has no window or
// memory ran out (the band is then unchanged).
bool qbank_latency_cut_band(sQbank_t *psW, std::int32_t q, std::int32_t L, bool taper, bool follow_hop);
