// Fast modes in the real host: at the demo's settings one analysis feeds an
// exact and a fast synthesis, and a second analysis in fast mode feeds a
// fast synthesis (the whole chain fast). All report the latency of the exact
// chain and give its round-trip error against the delayed dry signal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.h"

TEST(FastModesHost, DemoSettingsRoundTripAsExact)
{
    const int samples = 26000;
    e2e::Patch p;
    int sig = p.obj("noise~");
    int bank = p.designer("set_C_d 6 \\, set_C_q 2 \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1");
    e2e::Chain exact = p.chain(sig, bank), fast_chain = p.chain(sig, bank);
    int fast = p.synthesis(exact.ana, e2e::Out(exact.ana, 1));
    int lag = p.lag(sig, exact.syn);
    const int fast_objects[] = {fast, fast_chain.ana, fast_chain.syn};
    for (int o : fast_objects) p.at(0, "set_fast 1", o);
    p.dsp_on();
    auto wav = p.record({exact.syn, fast, fast_chain.syn, lag}, samples);
    p.connect(exact.syn, 1, p.obj("print latency-exact"), 0);
    p.connect(fast, 1, p.obj("print latency-fast"), 0);
    p.connect(fast_chain.syn, 1, p.obj("print latency-chain"), 0);
    // Reports of the fast synthesis and the fast analysis.
    for (int o : {fast, fast_chain.ana}) p.at(samples / 44.1 + 20, "bang", o);
    auto r = p.run(samples / 44.1 + 40);
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Fast: 1")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Fast: 1"), 2) << r.console;
    // Every block's latency is the same in all modes.
    const int blocks = e2e::count_containing(r.console, "latency-exact: 8777");
    EXPECT_GT(blocks, samples / 64 - 5);
    EXPECT_TRUE(e2e::counts(
        r.console, {{"latency-fast: 8777", blocks}, {"latency-chain: 8777", blocks}, {"latency-", 3 * blocks}}));

    auto ch = e2e::read_wav(wav, 4, samples);
    const size_t from = 12000;  // after the latency and the first full windows
    const double ex = e2e::error_db(ch[0], ch[3], from), fa = e2e::error_db(ch[1], ch[3], from),
                 fc = e2e::error_db(ch[2], ch[3], from);
    std::printf("round trip at demo settings: exact %.3f dB, fast synthesis %.3f dB, fast chain %.3f dB\n", ex, fa, fc);
    EXPECT_LT(ex, -25.0);
    EXPECT_NEAR(fa, ex, 0.1);
    EXPECT_NEAR(fc, ex, 0.1);
    // The fast synthesis sample by sample, within 1e-6 of the output's RMS
    // (plus rounding to float).
    double e2 = 0;
    for (size_t i = 0; i < ch[0].size(); i++) e2 += ch[0][i] * (double)ch[0][i];
    const double rms = std::sqrt(e2 / (double)ch[0].size());
    ASSERT_GT(rms, 0.0);
    double worst = 0;
    for (size_t i = 0; i < ch[0].size(); i++)
        worst = std::max(worst, std::fabs(ch[1][i] - (double)ch[0][i]) - std::ldexp(std::fabs(ch[0][i]), -23));
    EXPECT_LE(worst / rms, 1e-6);
}
