// The filter-bank designer qbank_tilde: parameter record, band layout,
// complex and float windows, and the messages that set, build, inspect and
// export them. Its signal outlet publishes the parameter record every block.
#pragma once

#include <cstdint>

#include "dual_windows.h"
#include "qavex_t_definitions.h"

struct sQbank_t {
    t_object x_obj;
    t_inlet *x_in;        // never created
    t_outlet *x_outC;     // signal: parameter channel
    t_outlet *x_outM;     // numbers and lists
    sQbank_Param sParam;
    pac_type **pac;       // complex window of every band (slots may be empty)
    float var;
    double dSampleRateRequest;  // "set_samplerate": 0 follows the host
    double dSampleRate;         // samples per second of the current layout
    t_symbol *sPatchDir;  // folder of the patch holding the object
    sQbank_DualState sDual;  // third outlet and dual windows
};

// Largest band count a derivation accepts; more bands than this cannot be
// analysed in real time anyway and would only exhaust memory downstream.
constexpr std::int32_t QBANK_MAX_BANDS = 100000;
// Memory limit of one "make", in bytes.
constexpr long double QBANK_MEMORY_LIMIT = 1e9L;

// ---------------------------------------------------------------- class
void qbank_t_setup();
// Registers the array commands on the class; called after "print_band".
void qbank_t_setup_array_commands(t_class *c);
void *qbank_t_new(t_floatarg f);
void qbank_t_delete(sQbank_t *psW);

// ---------------------------------------------------------------- layout
void qbank_t_set_pointers_to_NULL(sQbank_t *psW);
void qbank_t_set_start_values(sQbank_t *psW);
void qbank_t_initialize(sQbank_t *psW, t_floatarg fOverride);
std::int32_t qbank_t_test_param(sQbank_t *psW, std::int32_t iPrintOutput);
std::int32_t qbank_t_get_q_compute_sup(sQbank_t *psW);
std::int32_t qbank_t_get_q_compute_min(sQbank_t *psW);
// Each returns 0, or 1 when an allocation failed (the arrays are then absent).
std::int32_t qbank_t_initialize_diverse_vectors(sQbank_t *psW);
std::int32_t qbank_t_initialize_pac(sQbank_t *psW);
std::int32_t qbank_t_initialize_paf(sQbank_t *psW);
// Release every window (keeping the slot tables) / the whole layout.
void qbank_t_free_pac_windows(sQbank_t *psW);
void qbank_t_free_paf_windows(sQbank_t *psW);
void qbank_t_free_layout(sQbank_t *psW);

std::int32_t qbank_t_find_longest_frame_paf(sQbank_t *psW);
std::int32_t qbank_t_find_shortest_frame_paf(sQbank_t *psW);
std::int32_t qbank_t_find_longest_frame_pac(sQbank_t *psW);
std::int32_t qbank_t_find_shortest_frame_pac(sQbank_t *psW);

// ---------------------------------------------------------------- windows
void qbank_t_make_windows(sQbank_t *psW, std::int32_t iAN);
void qbank_t_shorten_windows(sQbank_t *psW, std::int32_t iAN);
std::int32_t qbank_t_test_windows(sQbank_t *psW, std::int32_t iPrintOutput);
std::int32_t rounddown_x(std::int32_t iNumber, std::int32_t iMultiple);

// ---------------------------------------------------------------- messages
void qbank_t_bang(sQbank_t *psW);
void qbank_t_copy_pac2paf(sQbank_t *psW, t_floatarg f);
void qbank_t_copy_paf2pac(sQbank_t *psW, t_floatarg f);
void qbank_t_paf2list(sQbank_t *psW, t_symbol *s, int argc, t_atom *argv);
void qbank_t_send_windows(sQbank_t *psW, t_symbol *s, int argc, t_atom *argv);
void qbank_t_set_theta_type(sQbank_t *psW, t_symbol *s, int argc, t_atom *argv);
