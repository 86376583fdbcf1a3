// FFT plans shared by every transform of the library, and the buffers the
// live engines run them on. A plan serves one kind of transform of one size
// between arrays of one alignment (in place or not): it is made on the first
// request, shared by every later one and destroyed only when its room in the
// table is needed and nobody holds it. Planning is not for a steady audio
// block: acquire plans when a bank changes or on a worker thread.
#pragma once

#include <fftw3.h>

#include <cstddef>

enum class eFft : int {
    FORWARD,       // complex to complex, e^(-2 pi i f k / n)
    BACKWARD,      // complex to complex, e^(+2 pi i f k / n), unscaled
    REAL_TO_HALF,  // n real samples to n / 2 + 1 bins
    HALF_TO_REAL,  // n / 2 + 1 bins to n real samples; overwrites its input
};

struct sFftPlan;

// A plan for n-point transforms of that kind from arrays aligned as in to
// arrays aligned as out (in == out: in place); in and out are not touched.
// Null when FFTW cannot plan it or every room of the table is held. Holds
// FFTW's planner lock while it plans.
const sFftPlan *fft_plan_acquire(eFft kind, int n, const void *in, const void *out);
// Gives a plan back (null is allowed); never plans, frees or waits.
void fft_plan_release(const sFftPlan *plan);

// Runs the plan on other arrays of the plan's alignment and placement.
void fft_execute(const sFftPlan *plan, fftw_complex *in, fftw_complex *out);
void fft_execute(const sFftPlan *plan, double *in, fftw_complex *out);
void fft_execute(const sFftPlan *plan, fftw_complex *in, double *out);

// Buffers aligned for FFTW's vector code, uninitialised; null when the heap
// is exhausted.
fftw_complex *fft_complex_buffer(std::size_t n);
double *fft_real_buffer(std::size_t n);
void fft_buffer_free(void *buffer);

// Plans held and plans kept in the table, for tests.
int fft_plans_held();
int fft_plans_kept();
