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
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int s = p.obj("invqavex_tilde 3");
    int lb = p.obj("loadbang");
    int bang = p.msg("bang");
    p.connect(lb, 0, bang, 0);
    p.connect(bang, 0, s, 0);
    int del = p.obj("del 10");
    p.connect(lb, 0, del, 0);
    int bad = p.msg(
        "set_num_threads foo \\, set_num_threads -4 \\, set_num_threads 1e+20 \\, set_num_threads \\, "
        "set_soundbuffer_length_factor bar \\, set_soundbuffer_length_factor -1 \\, "
        "set_soundbuffer_length_factor 1e+30 \\, set_soundbuffer_length_factor \\, "
        "set_compute_synthesis baz \\, set_compute_synthesis 0 \\, set_compute_synthesis \\, "
        "no_such_message 1 2 \\, symbol x \\, list 1 2 \\, 5");
    p.connect(del, 0, bad, 0);
    p.connect(bad, 0, s, 0);
    int fm = p.msg("12.5");
    p.connect(del, 0, fm, 0);
    p.connect(fm, 0, s, 2);
    int del2 = p.obj("del 20");
    int bang2 = p.msg("bang");
    p.connect(lb, 0, del2, 0);
    p.connect(del2, 0, bang2, 0);
    p.connect(bang2, 0, s, 0);
    p.quit_after(40);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 0) << r.console;
    // First report: start values.
    EXPECT_EQ(e2e::count_containing(r.console, "invQavex:"), 2) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "iLength: 320000")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "fMinValforCount: 600.000000")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Multithreading: \t4 threads")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Compute Synthesis: 1")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "fConstSignal: 0.000000")) << r.console;
    // Second report, after the bad messages: the last valid values hold
    // (a missing factor counts as 5000, a missing thread count as 1).
    EXPECT_TRUE(e2e::has_line(r.console, "fMinValforCount: 12.500000")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Multithreading: 1 thread")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Compute Synthesis: 0")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "iLength: 320000"), 2) << r.console;
}

TEST(InvQavexHost, SilentAndQuietWithNothingConnected)
{
    // Output and a noise reference recorded through tables for 100 ms.
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    int s = p.obj("invqavex_tilde");
    int pr = p.obj("print latency");
    p.connect(s, 1, pr, 0);
    int noise = p.obj("noise~");
    p.obj("table out 4410");
    p.obj("table ref 4410");
    int t0 = p.obj("tabwrite~ out");
    int t1 = p.obj("tabwrite~ ref");
    p.connect(s, 0, t0, 0);
    p.connect(noise, 0, t1, 0);
    p.connect(lb, 0, t0, 0);
    p.connect(lb, 0, t1, 0);
    int del = p.obj("del 120");
    int write = p.msg("write -bytes 4 " + dir + "/out.wav out ref");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, write, 0);
    p.connect(write, 0, sf, 0);
    p.quit_after(150);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "latency"), 0) << r.console;
    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 2u);
    ASSERT_EQ(ch[0].size(), 4410u);
    int nonzero = 0;
    for (float f : ch[1]) nonzero += f != 0.0f;
    EXPECT_GT(nonzero, 4000) << "the recording ran";
    for (size_t t = 0; t < ch[0].size(); t++) ASSERT_EQ(ch[0][t], 0.0f) << t;
}

TEST(InvQavexHost, FloatsWithTagBitsOnTheInletsAreHarmless)
{
    // 51898511360 and 51898494976 have the bits of the coefficient and the
    // parameter tags; on unconnected inlets they fill the whole vectors.
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int s = p.obj("invqavex_tilde");
    int pr = p.obj("print latency");
    p.connect(s, 1, pr, 0);
    int lb = p.obj("loadbang");
    int g = p.msg("51898511360");
    int c = p.msg("51898494976");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, g, 0);
    p.connect(lb, 0, c, 0);
    p.connect(lb, 0, dsp, 0);
    p.connect(g, 0, s, 0);
    p.connect(c, 0, s, 1);
    int del = p.obj("del 30");
    int bang = p.msg("bang");
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, bang, 0);
    p.connect(bang, 0, s, 0);
    p.quit_after(50);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "latency"), 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "invQavex:"), 1) << r.console;
}

TEST(InvQavexHost, ResynthesisLinesUpWithTheDelayedInput)
{
    // Designer -> analysis -> synthesis, and the dry input through a delay
    // driven by the synthesis object's latency: with a bank of small hops
    // the two agree closely at lag 0, and the latency is Lm - 1.
    std::string dir = e2e::temp_dir();
    const int n = 44100;
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int cfg = p.msg("set_C_d 8 \\, initialize \\, make -1 \\, copy_pac2paf -1 \\, bang");
    int bank = p.obj("qbank_tilde");
    p.connect(lb, 0, cfg, 0);
    p.connect(cfg, 0, bank, 0);
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    int src = p.obj("osc~ 441");
    int ana = p.obj("qavex_tilde");
    int syn = p.obj("invqavex_tilde");
    int lag = p.obj("qlag_tilde");
    p.connect(src, 0, ana, 0);
    p.connect(bank, 0, ana, 1);
    p.connect(ana, 0, syn, 0);
    p.connect(ana, 1, syn, 1);
    p.connect(src, 0, lag, 0);
    p.connect(syn, 1, lag, 1);
    // The latency, printed once at the end.
    int f = p.obj("f");
    p.connect(syn, 1, f, 1);
    int pr = p.obj("print latency");
    p.connect(f, 0, pr, 0);
    p.obj("table wet " + std::to_string(n));
    p.obj("table dry " + std::to_string(n));
    int tw = p.obj("tabwrite~ wet");
    int td = p.obj("tabwrite~ dry");
    p.connect(syn, 0, tw, 0);
    p.connect(lag, 0, td, 0);
    p.connect(lb, 0, tw, 0);
    p.connect(lb, 0, td, 0);
    int del = p.obj("del 1020");
    int write = p.msg("write -bytes 4 " + dir + "/chain.wav wet dry");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, write, 0);
    p.connect(write, 0, sf, 0);
    p.connect(del, 0, f, 0);
    p.quit_after(1050);
    auto r = e2e::run_pd(p, dir, 300);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 0) << r.console;

    // Lm from the designer's report line "Longest Frame paf: \t<Lm> smp=...".
    size_t at = r.console.find("Longest Frame paf: \t");
    ASSERT_NE(at, std::string::npos) << r.console;
    long Lm = std::stol(r.console.substr(at + 20));
    ASSERT_GT(Lm, 64);
    EXPECT_EQ(e2e::count_containing(r.console, "latency: " + std::to_string(Lm - 1)), 1) << r.console;

    auto ch = e2e::read_wav(dir + "/chain.wav");
    ASSERT_EQ(ch.size(), 2u);
    ASSERT_EQ(ch[0].size(), (size_t)n);
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
