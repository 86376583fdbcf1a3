#include "sample_rate.h"

#include <cmath>

#include "m_pd.h"
#include "records.h"

namespace {
constexpr double MIN_RATE = 1000.0, MAX_RATE = 1536000.0;
}  // namespace

void qbank_sample_rate_start(sQbank_Rate *pr)
{
    pr->dSampleRateRequest = QAVEX_SR;
    pr->dSampleRate = QAVEX_SR;
}

void qbank_sample_rate_resolve(sQbank_Rate *pr)
{
    double r = pr->dSampleRateRequest;
    if (r == 0) {
        r = sys_getsr();
        // A host without a rate (none yet, or nonsense) keeps the start rate.
        if (!(r >= MIN_RATE && r <= MAX_RATE)) r = QAVEX_SR;
    }
    pr->dSampleRate = r;
}

long double qbank_sample_rate(const sQbank_Rate &r) { return r.dSampleRate; }

long double qbank_sample_rate_window_gain(const sQbank_Rate &r)
{
    if (r.dSampleRate == QAVEX_SR) return 1.0L;
    return std::sqrt((long double)QAVEX_SR / (long double)r.dSampleRate);
}

void qbank_sample_rate_request(sQbank_Rate *pr, float f)
{
    double r = f;
    if (!(r > 0)) r = 0;
    else if (r < MIN_RATE) r = MIN_RATE;
    else if (r > MAX_RATE) r = MAX_RATE;
    pr->dSampleRateRequest = r;
}
