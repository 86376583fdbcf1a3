// Fast synthesis in the real host: one analysis at the demo's settings feeds
// an exact and a fast synthesis; both must report the same latency and give
// the same round-trip error against the delayed dry signal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

using e2e::error_db;

}  // namespace

TEST(FastSynthesisHost, DemoSettingsRoundTripAsExact)
{
    const int samples = 26000;
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int sig = p.obj("noise~");
    int bank = p.obj("qbank_tilde");
    int ana = p.obj("qavex_tilde");
    int exact = p.obj("invqavex_tilde");
    int fast = p.obj("invqavex_tilde");
    int lag = p.obj("qlag_tilde");
    for (const char *t : {"exact", "fast", "dry"}) p.obj(std::string("table ") + t + " " + std::to_string(samples));
    int te = p.obj("tabwrite~ exact");
    int tf = p.obj("tabwrite~ fast");
    int td = p.obj("tabwrite~ dry");
    int lb = p.obj("loadbang");
    int t = p.obj("t b b b b");
    int cfg = p.msg("set_C_d 6 \\, set_C_q 2 \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1");
    int on = p.msg("set_fast 1");
    int dsp = p.msg("\\; pd dsp 1");
    const double ms = samples / 44.1 + 20;
    int del = p.obj("del " + std::to_string(ms));
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav exact fast dry");
    int sf = p.obj("soundfiler");
    int le = p.obj("print latency-exact");
    int lf = p.obj("print latency-fast");
    int report = p.msg("bang");
    p.connect(sig, 0, ana, 0);
    p.connect(bank, 0, ana, 1);
    for (int s : {exact, fast}) {
        p.connect(ana, 0, s, 0);
        p.connect(ana, 1, s, 1);
    }
    p.connect(exact, 0, te, 0);
    p.connect(fast, 0, tf, 0);
    p.connect(sig, 0, lag, 0);
    p.connect(exact, 1, lag, 1);
    p.connect(lag, 0, td, 0);
    p.connect(exact, 1, le, 0);
    p.connect(fast, 1, lf, 0);
    p.connect(lb, 0, t, 0);
    p.connect(t, 3, cfg, 0);
    p.connect(cfg, 0, bank, 0);
    p.connect(t, 2, on, 0);
    p.connect(on, 0, fast, 0);
    p.connect(t, 1, dsp, 0);
    for (int w : {te, tf, td}) p.connect(t, 0, w, 0);
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, wr, 0);
    p.connect(del, 0, report, 0);
    p.connect(report, 0, fast, 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(ms + 20);
    auto r = e2e::run_pd(p, dir, 300);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Fast: 1")) << r.console;
    // Every block's latency is the same in both modes.
    const int blocks = e2e::count_containing(r.console, "latency-exact: 8777");
    EXPECT_GT(blocks, samples / 64 - 5);
    EXPECT_EQ(e2e::count_containing(r.console, "latency-fast: 8777"), blocks);
    EXPECT_EQ(e2e::count_containing(r.console, "latency-"), 2 * blocks);

    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 3u);
    ASSERT_EQ(ch[0].size(), (size_t)samples);
    const size_t from = 12000;  // after the latency and the first full windows
    const double ex = error_db(ch[0], ch[2], from), fa = error_db(ch[1], ch[2], from);
    std::printf("round trip at demo settings: exact %.3f dB, fast %.3f dB\n", ex, fa);
    EXPECT_LT(ex, -25.0);
    EXPECT_NEAR(fa, ex, 0.1);
    // And sample by sample, within 1e-6 of the output's RMS (plus rounding
    // to float).
    double e2 = 0;
    for (size_t i = 0; i < ch[0].size(); i++) e2 += ch[0][i] * (double)ch[0][i];
    const double rms = std::sqrt(e2 / (double)ch[0].size());
    ASSERT_GT(rms, 0.0);
    double worst = 0;
    for (size_t i = 0; i < ch[0].size(); i++)
        worst = std::max(worst, std::fabs(ch[1][i] - (double)ch[0][i]) - std::ldexp(std::fabs(ch[0][i]), -23));
    EXPECT_LE(worst / rms, 1e-6);
}
