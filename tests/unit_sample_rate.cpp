// The designer's bank at a chosen sample rate: the message's values, and the
// hops, band count, transform length and window amplitude at that rate.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "bank_fixture.h"

namespace {

using stub::fa;

// Each test starts at 44100 Hz (the fixture sets it).
class Rate : public DesignerTest {
protected:
    double peak(int q)
    {
        pac_type *w = x->pac[q];
        double m = 0;
        for (int i = 0; i < qavex_t_window_length(w); i++) m = std::max(m, std::abs(w[i]));
        return m;
    }
};

TEST_F(Rate, ValueTakesEffectAtInitializeZeroFollowsTheHost)
{
    struct Case {
        float host, arg;
        double want;
    };
    const Case cases[] = {
        {44100, 48000, 48000}, {48000, 0, 48000},      {96000, 0, 96000}, {96000, -5, 96000},
        {44100, 10, 1000},     {44100, 1e7f, 1536000}, {0, 0, 44100},     {44100, 44100, 44100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "host " << c.host << ", set_samplerate " << c.arg);
        stub::set_samplerate(c.host);
        double before = x->sRate.dSampleRate;
        send("set_samplerate", {fa(c.arg)});
        EXPECT_EQ(x->sRate.dSampleRate, before) << "stored only";
        stub::clear();
        send("initialize");
        EXPECT_EQ(x->sRate.dSampleRate, c.want);
        // The designer's check compares the host with the bank's own rate.
        EXPECT_EQ(stub::errored("Samplerate=" + std::to_string(c.host) + " falsch."), c.host != c.want);
    }
}

TEST_F(Rate, HopsBandsAndWindowsFollowTheRateInSamples)
{
    const int band = 16;
    std::vector<double> seconds(x->sParam.aldDq_real, x->sParam.aldDq_real + x->sParam.iq_compute_sup);
    const double t_compute = x->sParam.dWinlength_compute;
    send("make", {fa(band)});
    const double peak44 = peak(band);

    for (double rate : {44100.0, 48000.0, 96000.0}) {
        SCOPED_TRACE(rate);
        send("set_samplerate", {fa(rate)});
        send("initialize");
        sQbank_Param &p = x->sParam;
        long double nyq = p.Theta_inv(rate / 2, p.thetadata) / (long double)p._b;
        EXPECT_EQ(p.iq_compute_sup, (int)std::trunc(std::trunc(nyq) + p.C_q + 1));
        for (int q = 0; q < p.iq_compute_sup && q < (int)seconds.size(); q++) {
            EXPECT_DOUBLE_EQ(p.aldDq_real[q], seconds[q]) << q;
            EXPECT_EQ(p.aiDq[q], (int)((long double)p.aldDq_real[q] * rate)) << q;
            if (p.aiDq[q] >= 2) {
                EXPECT_DOUBLE_EQ(p.aldDq[q], p.aiDq[q] / rate) << q;
            }
        }
        EXPECT_DOUBLE_EQ(p.dWinlength_compute, t_compute);

        send("make", {fa(band)});
        int n = round_up_to_multiple_of_small_primes((int)std::trunc(t_compute * rate + 0.5), 31);
        EXPECT_EQ(qavex_t_window_length(x->pac[band]), n);
        EXPECT_DOUBLE_EQ(p.dWinlength_compute, (double)((long double)n / rate));
        // The same continuous window, scaled so the round trip keeps its gain.
        EXPECT_NEAR(peak(band) * std::sqrt(rate / 44100), peak44, 0.01 * peak44);
    }
}

}  // namespace
