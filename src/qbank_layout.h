// The designer's band layout: start values, the derivation of window
// lengths, band count and hops from the parameters ("initialize"), and the
// window tables it sizes.
#pragma once

#include "m_pd.h"
#include "qbank_record.h"

// Every pointer of the object and its record null (before anything is made).
void qbank_t_set_pointers_to_NULL(sQbank_t *psW);
// The parameters of a new designer.
void qbank_t_set_start_values(sQbank_t *psW);
// Release the complex (float) windows of every band; the tables stay.
void qbank_t_free_pac_windows(sQbank_t *psW);
void qbank_t_free_paf_windows(sQbank_t *psW);
// Every window, the slot tables and the hop arrays; iq_compute_sup still
// names the size the tables were made for.
void qbank_t_free_layout(sQbank_t *psW);
// "initialize": derives the band layout and discards every window; a
// non-zero fOverride keeps the lengths and spacing set by messages.
void qbank_t_initialize(sQbank_t *psW, t_floatarg fOverride);
// Band q's hop in samples as the derivation set it (at least 1), from its
// exact hop.
std::int32_t qbank_t_derived_hop(const sQbank_t *psW, std::int32_t q);
