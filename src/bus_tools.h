// Plumbing shared by the bus tools qdump~, qemit_tilde and qview~: their
// class registration and the reading of a coefficient/parameter block pair.
#pragma once

#include <cstddef>

#include "bus_words.h"
#include "m_pd.h"

// Reads the arguments of a tool's block routine: w[2] coefficient vector,
// w[3] parameter vector, w[4] block size. True for a 64-sample block whose
// two channels carry their tags and live addresses.
bool qavex_t_read_bus_args(const t_int *w, sQavex_ParamIn &pin, sQavex_CoeffIn &cin);

// A class taking one creation argument of type arg, with a main signal
// inlet whose scalar sits at signal_onset, a "dsp" method and a bang.
t_class *qavex_t_tool_class(const char *name, t_newmethod make, t_method free, std::size_t size, t_atomtype arg,
                            int signal_onset, t_method dsp, t_method bang);
