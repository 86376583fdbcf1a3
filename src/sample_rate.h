// The sample rate a designer builds its bank for. The designer starts at
// 44100 samples per second whatever the host runs at; "set_samplerate f"
// chooses another rate (0 follows the host) for the next "initialize".
// Seconds, Hz and the gains stay as they are: a bank built for rate R has
// its band centres at the same Hz and gives the same round trip as the
// 44100 bank, with hops and windows counted in samples at R.
#pragma once

// The designer's rate: what "set_samplerate" asked for and what the current
// layout was derived at.
struct sQbank_Rate {
    double dSampleRateRequest;  // "set_samplerate": 0 follows the host
    double dSampleRate;         // samples per second of the current layout
};

// Start values: rate 44100, requested 44100.
void qbank_sample_rate_start(sQbank_Rate *pr);
// At the start of a derivation: the requested rate, or the host's for 0.
void qbank_sample_rate_resolve(sQbank_Rate *pr);
// Samples per second of the current layout.
long double qbank_sample_rate(const sQbank_Rate &r);
// Factor on every window element: sqrt(44100 / rate). The analysis scales
// its sums by 1/44100 and the synthesis adds windows without a scale, so
// the round trip of a window sampled at rate R grows by R/44100; half of
// that comes off each of the two uses of the window. Exactly 1 at 44100.
long double qbank_sample_rate_window_gain(const sQbank_Rate &r);

// Message "set_samplerate f": 0 (or less, or not a number) follows the host;
// other rates are clamped to [1000, 1536000].
void qbank_sample_rate_request(sQbank_Rate *pr, float f);
