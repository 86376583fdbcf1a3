// Synthesis object in the real host: it loads, reports, survives bad
// messages, and is silent without valid channels.
#include <gtest/gtest.h>

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

TEST(InvQavexHost, HelpPatchOpensWithoutErrors)
{
    std::string help = e2e::read_file(e2e::source_dir() + "/help/invqavex_tilde-help.pd");
    ASSERT_FALSE(help.empty());
    std::string dir = e2e::temp_dir();
    // Opened as an abstraction, so the run can end itself.
    e2e::write_file(dir + "/invqavex_tilde-help.pd", help);
    e2e::Patch p;
    p.obj("invqavex_tilde-help");
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    p.quit_after(200);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 0) << r.console;
}
