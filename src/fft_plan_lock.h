// FFTW's planner is not thread-safe (only executing plans is): every plan
// creation and destruction in the library holds this lock, so that the
// worker threads of the live rebuilds can plan beside the host's thread.
#pragma once

#include <mutex>

std::mutex &qavex_t_fft_plan_lock();

// Holds the planner lock for the enclosing scope.
#define QAVEX_FFT_PLAN_GUARD std::lock_guard<std::mutex> qavex_fft_plan_guard_(qavex_t_fft_plan_lock())
