// Fast mode switched on and off while the audio runs: the engines are then
// built off the audio thread and taken over at a block boundary. The output
// must go on without a gap: a chain switched several times stays within
// rounding of a chain that is fast from the start, across every switch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "e2e_util.h"

TEST(LiveSwitchHost, FastModeSwitchedWhileRunningKeepsTheOutput)
{
    const int samples = 44100;
    e2e::Patch p;
    int sig = p.obj("noise~");
    int bank = p.designer("set_C_d 6 \\, set_C_q 2 \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1");
    e2e::Chain ref = p.chain(sig, bank), live = p.chain(sig, bank);
    for (int o : {ref.ana, ref.syn}) p.at(0, "set_fast 1", o);
    // On, off and on in one tick, on twice in one tick (the second build
    // replaces the first), and off again near the end.
    for (int o : {live.ana, live.syn}) {
        p.at(200, "set_fast 1", o);
        p.at(400, "set_fast 0 \\, set_fast 1", o);
        p.at(600, "set_fast 0", o);
        p.at(700, "set_fast 1 \\, set_fast 1", o);
        p.at(900, "set_fast 0", o);
    }
    p.dsp_on();
    auto wav = p.record({ref.syn, live.syn}, samples);
    auto r = p.run(samples / 44.1 + 40);
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    auto ch = e2e::read_wav(wav, 2, samples);
    const size_t from = 9000;  // after the latency
    double e2 = 0;
    for (size_t i = from; i < ch[0].size(); i++) e2 += ch[0][i] * (double)ch[0][i];
    const double rms = std::sqrt(e2 / (double)(ch[0].size() - from));
    ASSERT_GT(rms, 0.01);
    double worst = 0;
    size_t at = 0;
    for (size_t i = from; i < ch[0].size(); i++) {
        const double d = std::fabs(ch[1][i] - (double)ch[0][i]) - std::ldexp(std::fabs(ch[0][i]), -23);
        if (d > worst) worst = d, at = i;
    }
    std::printf("live switches: worst difference %.3g of the RMS at sample %zu\n", worst / rms, at);
    EXPECT_LE(worst / rms, 1e-6);
}
