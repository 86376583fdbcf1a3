#include "sample_rate.h"

#include <cmath>

#include "qbank_t.h"

namespace {
constexpr double MIN_RATE = 1000.0, MAX_RATE = 1536000.0;
}  // namespace

void qbank_sample_rate_start(sQbank_t *psW)
{
    psW->dSampleRateRequest = QAVEX_SR;
    psW->dSampleRate = QAVEX_SR;
}

void qbank_sample_rate_resolve(sQbank_t *psW)
{
    double r = psW->dSampleRateRequest;
    if (r == 0) {
        r = sys_getsr();
        // A host without a rate (none yet, or nonsense) keeps the start rate.
        if (!(r >= MIN_RATE && r <= MAX_RATE)) r = QAVEX_SR;
    }
    psW->dSampleRate = r;
}

long double qbank_sample_rate(const sQbank_t *psW) { return psW->dSampleRate; }

long double qbank_sample_rate_window_gain(const sQbank_t *psW)
{
    if (psW->dSampleRate == QAVEX_SR) return 1.0L;
    return std::sqrt((long double)QAVEX_SR / (long double)psW->dSampleRate);
}

void qbank_t_set_samplerate(sQbank_t *psW, float f)
{
    double r = f;
    if (!(r > 0)) r = 0;
    else if (r < MIN_RATE) r = MIN_RATE;
    else if (r > MAX_RATE) r = MAX_RATE;
    psW->dSampleRateRequest = r;
}
