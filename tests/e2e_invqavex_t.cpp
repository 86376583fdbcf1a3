// Synthesis object in the real host: it loads, reports, survives bad
// messages, and is silent without valid channels.
#include <gtest/gtest.h>

#include <cstdlib>

#include <cmath>
#include <string>
#include <vector>

#include "e2e_util.h"

TEST(InvQavexHost, ReportsAndSurvivesBadMessages)
{
    e2e::Patch p;
    int s = p.obj("invqavex_tilde 3");
    // A report, the bad messages, a valid float on the third inlet, a report.
    p.at(0,
         "bang \\, set_num_threads foo \\, set_num_threads -4 \\, set_num_threads 1e+20 \\, set_num_threads \\, "
         "set_soundbuffer_length_factor bar \\, set_soundbuffer_length_factor -1 \\, "
         "set_soundbuffer_length_factor 1e+30 \\, set_soundbuffer_length_factor \\, "
         "set_compute_synthesis baz \\, set_compute_synthesis 0 \\, set_compute_synthesis \\, "
         "no_such_message 1 2 \\, symbol x \\, list 1 2 \\, 5",
         s);
    p.at(0, "12.5", s, 2);
    p.at(20, "bang", s);
    auto r = p.run(40);
    // Two reports: the start values, then after the bad messages the last
    // valid values (a missing factor counts as 5000, a missing thread count
    // as 1).
    EXPECT_TRUE(e2e::counts(r.console, {{"couldn't create", 0}, {"invQavex:", 2}, {"iLength: 320000", 2}}));
    EXPECT_TRUE(e2e::lines(r.console, {"iLength: 320000", "fMinValforCount: 600.000000", "Multithreading: \t4 threads",
                                       "Compute Synthesis: 1", "fConstSignal: 0.000000", "fMinValforCount: 12.500000",
                                       "Multithreading: 1 thread", "Compute Synthesis: 0"}));
}

TEST(InvQavexHost, SilentAndQuietWithNothingConnected)
{
    // Output and a noise reference recorded for 100 ms.
    e2e::Patch p;
    p.dsp_on();
    int s = p.obj("invqavex_tilde");
    p.connect(s, 1, p.obj("print latency"), 0);
    auto wav = p.record({s, p.obj("noise~")}, 4410, 0, 120);
    auto r = p.run(150);
    EXPECT_EQ(e2e::count_containing(r.console, "latency"), 0) << r.console;
    auto ch = e2e::read_wav(wav, 2, 4410u);
    int nonzero = 0;
    for (float f : ch[1]) nonzero += f != 0.0f;
    EXPECT_GT(nonzero, 4000) << "the recording ran";
    for (size_t t = 0; t < ch[0].size(); t++) ASSERT_EQ(ch[0][t], 0.0f) << t;
}

TEST(InvQavexHost, ResynthesisLinesUpWithTheDelayedInput)
{
    // Designer -> analysis -> synthesis, and the dry input through a delay
    // driven by the synthesis object's latency: with a bank of small hops
    // the two agree closely at lag 0, and the latency is Lm - 1.
    const int n = 44100;
    e2e::Patch p;
    int bank = p.designer("set_C_d 8 \\, initialize \\, make -1 \\, copy_pac2paf -1 \\, bang");
    p.dsp_on();
    int src = p.obj("osc~ 441");
    e2e::Chain c = p.chain(src, bank);
    auto wav = p.record({c.syn, p.lag(src, c.syn)}, n, 0, 1020);
    // The latency, printed once at the end.
    int f = p.obj("f");
    p.connect(c.syn, 1, f, 1);
    p.connect(f, 0, p.obj("print latency"), 0);
    p.at(1020, "bang", f);
    auto r = p.run(1050);
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 0) << r.console;

    // Lm from the designer's report line "Longest Frame paf: \t<Lm> smp=...".
    size_t at = r.console.find("Longest Frame paf: \t");
    ASSERT_NE(at, std::string::npos) << r.console;
    long Lm = std::stol(r.console.substr(at + 20));
    ASSERT_GT(Lm, 64);
    EXPECT_EQ(e2e::count_containing(r.console, "latency: " + std::to_string(Lm - 1)), 1) << r.console;

    auto ch = e2e::read_wav(wav, 2, n);
    // Compare after the start-up (Lm samples of silence and the first window).
    auto rms_diff = [&](int shift) {
        double s = 0;
        int cnt = 0;
        for (int t = 2 * (int)Lm + 100; t < n - 100; t++, cnt++) {
            double d = ch[0][t] - ch[1][t + shift];
            s += d * d;
        }
        return std::sqrt(s / cnt);
    };
    double dry_rms = 0;
    for (int t = 2 * (int)Lm; t < n; t++) dry_rms += ch[1][t] * ch[1][t];
    dry_rms = std::sqrt(dry_rms / (n - 2 * Lm));
    EXPECT_GT(dry_rms, 0.6) << "the delayed input is the sine";
    EXPECT_LT(rms_diff(0), 0.02) << "resynthesis and delayed input agree";
    EXPECT_GT(rms_diff(1), 3 * rms_diff(0)) << "one sample off is clearly worse";
    EXPECT_GT(rms_diff(-1), 3 * rms_diff(0));
}
