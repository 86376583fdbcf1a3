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

// Registers the class "qbank_tilde" with its messages.
void qbank_t_setup();

// Length of the longest (shortest) float or complex window over the bands,
// starting from band 0's; 0 when band 0 has none.
std::int32_t qbank_t_find_shortest_frame_paf(sQbank_t *psW);
std::int32_t qbank_t_find_longest_frame_pac(sQbank_t *psW);
std::int32_t qbank_t_find_shortest_frame_pac(sQbank_t *psW);

// "test": the number of problems found in the complex windows (missing
// windows, hops longer than windows, NaN and infinite values).
std::int32_t qbank_t_test_windows(sQbank_t *psW, std::int32_t iPrintOutput);
// iNumber rounded toward zero to a multiple of iMultiple (unchanged for 0 and -1).
std::int32_t rounddown_x(std::int32_t iNumber, std::int32_t iMultiple);
