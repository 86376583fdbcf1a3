// Fast analysis in the real host: at the demo's settings a whole chain in
// fast mode (analysis and synthesis) gives the round-trip error of the
// exact chain within 0.1 dB, with the same latency.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

using e2e::error_db;

}  // namespace

TEST(FastAnalysisHost, WholeChainInFastModeRoundTripsAsExact)
{
    const int samples = 26000;
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int sig = p.obj("noise~");
    int bank = p.obj("qbank_tilde");
    int ana[2] = {p.obj("qavex_tilde"), p.obj("qavex_tilde")};  // exact, fast
    int syn[2] = {p.obj("invqavex_tilde"), p.obj("invqavex_tilde")};
    int lag = p.obj("qlag_tilde");
    for (const char *t : {"exact", "fast", "dry"}) p.obj(std::string("table ") + t + " " + std::to_string(samples));
    int tw[3] = {p.obj("tabwrite~ exact"), p.obj("tabwrite~ fast"), p.obj("tabwrite~ dry")};
    int lb = p.obj("loadbang");
    int t = p.obj("t b b b b");
    int cfg = p.msg("set_C_d 6 \\, set_C_q 2 \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1");
    int on = p.msg("set_fast 1");
    int dsp = p.msg("\\; pd dsp 1");
    const double ms = samples / 44.1 + 20;
    int del = p.obj("del " + std::to_string(ms));
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav exact fast dry");
    int sf = p.obj("soundfiler");
    int lat[2] = {p.obj("print latency-exact"), p.obj("print latency-fast")};
    int report = p.msg("bang");
    p.connect(bank, 0, ana[0], 1);
    p.connect(bank, 0, ana[1], 1);
    for (int k = 0; k < 2; k++) {
        p.connect(sig, 0, ana[k], 0);
        p.connect(ana[k], 0, syn[k], 0);
        p.connect(ana[k], 1, syn[k], 1);
        p.connect(syn[k], 0, tw[k], 0);
        p.connect(syn[k], 1, lat[k], 0);
        p.connect(on, 0, k == 1 ? ana[1] : syn[1], 0);
    }
    p.connect(sig, 0, lag, 0);
    p.connect(syn[0], 1, lag, 1);
    p.connect(lag, 0, tw[2], 0);
    p.connect(lb, 0, t, 0);
    p.connect(t, 3, cfg, 0);
    p.connect(cfg, 0, bank, 0);
    p.connect(t, 2, on, 0);
    p.connect(t, 1, dsp, 0);
    for (int w : tw) p.connect(t, 0, w, 0);
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, wr, 0);
    p.connect(del, 0, report, 0);
    p.connect(report, 0, ana[1], 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(ms + 20);
    auto r = e2e::run_pd(p, dir, 300);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Fast: 1")) << r.console;
    const int blocks = e2e::count_containing(r.console, "latency-exact: 8777");
    EXPECT_GT(blocks, samples / 64 - 5);
    EXPECT_EQ(e2e::count_containing(r.console, "latency-fast: 8777"), blocks);

    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 3u);
    ASSERT_EQ(ch[0].size(), (size_t)samples);
    const size_t from = 12000;  // after the latency and the first full windows
    const double ex = error_db(ch[0], ch[2], from), fa = error_db(ch[1], ch[2], from);
    std::printf("round trip at demo settings: exact chain %.3f dB, fast chain %.3f dB\n", ex, fa);
    EXPECT_LT(ex, -25.0);
    EXPECT_NEAR(fa, ex, 0.1);
}
