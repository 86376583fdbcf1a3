// "qproc~" in the real host: creation of every type, the report, bad
// creation arguments and messages, untagged audio on its inlets, another
// block size, and its help patch.
#include <gtest/gtest.h>

#include "e2e_util.h"

namespace {

// A [print] line the host writes when the patch got that far.
int marker(e2e::Patch &p, double ms, const std::string &text)
{
    int lb = p.obj("loadbang");
    int del = p.obj("del " + std::to_string(ms));
    int m = p.msg(text);
    int pr = p.obj("print e2e");
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, m, 0);
    p.connect(m, 0, pr, 0);
    return m;
}

}  // namespace

TEST(QprocE2E, EveryTypeLoadsAndReports)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    const char *types[] = {"add", "filter 3 5", "threshold 0.5", "shift -2 1 1"};
    for (const char *t : types) {
        int o = p.obj(std::string("qproc~ ") + t);
        p.connect(lb, 0, o, 0);
    }
    p.quit_after(50);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Qproc Buum Chzakk"), 4) << r.console;
    for (int t = 0; t < 4; t++) EXPECT_TRUE(e2e::has_line(r.console, "Type: " + std::to_string(t))) << r.console;
    // 16 parameter lines per object; the shift object's arguments are shown.
    EXPECT_EQ(e2e::count_containing(r.console, "float_param["), 32) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "int_param["), 32) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "float_param[0]=\t-2.000000")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "float_param[1]=\t5.000000")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Qproc Usage"), 0) << r.console;
}

TEST(QprocE2E, UnknownSymbolsPrintUsageAndStayInert)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int a = p.obj("qproc~ multiply");
    int b = p.obj("qproc~");
    p.obj("qproc~ 0");
    p.connect(lb, 0, a, 0);
    p.connect(lb, 0, b, 0);
    // DSP on with a signal into the inert object: no routine, no trouble.
    int osc = p.obj("osc~ 440");
    p.connect(osc, 0, a, 0);
    int on = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(on, 0, dsp, 0);
    marker(p, 100, "still running");
    p.quit_after(150);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Qproc Usage: See Help Patch"), 3) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Qproc Buum Chzakk"), 2) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 0) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: still running")) << r.console;
}

TEST(QprocE2E, BadArgumentsAndAudioNeverStopTheHost)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    // Arguments of the wrong kind: the host refuses to create these.
    p.obj("qproc~ 3");
    p.obj("qproc~ filter x y");
    // Extreme and odd creation values.
    int f = p.obj("qproc~ filter -1e+30 1e+30");
    int t = p.obj("qproc~ threshold -1");
    int s = p.obj("qproc~ shift 1e+20 1 1");
    int a = p.obj("qproc~ add");
    // Plain audio on every signal inlet: no tags, so empty channels out.
    int osc = p.obj("osc~ 1000");
    int noise = p.obj("noise~");
    p.connect(osc, 0, f, 0);
    p.connect(noise, 0, t, 0);
    p.connect(osc, 0, s, 0);
    p.connect(noise, 0, s, 1);
    p.connect(osc, 0, s, 3);
    p.connect(osc, 0, a, 0);
    p.connect(noise, 0, a, 2);
    // The outputs feed on, including back into a shift object.
    int s2 = p.obj("qproc~ shift");
    p.connect(f, 0, s2, 0);
    p.connect(a, 0, s2, 1);
    p.connect(t, 0, s2, 3);
    int env = p.obj("env~");
    int penv = p.obj("print env");
    p.connect(s2, 0, env, 0);
    p.connect(env, 0, penv, 0);
    // Messages with bad or missing arguments.
    int lb = p.obj("loadbang");
    int m = p.msg("set_float_param 100 1 \\, set_float_param -5 2 \\, set_int_param 9 9 \\, "
                  "set_int_param 0 1e+30 \\, set_float_param \\, set_int_param 1 \\, "
                  "set_float_param foo bar \\, nonsense 1 2 \\, 7 \\, bang");
    p.connect(lb, 0, m, 0);
    p.connect(m, 0, s, 0);
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    marker(p, 200, "still running");
    p.quit_after(250);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: still running")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 2) << r.console;
    // The report after the messages: out-of-range indexes were ignored,
    // the clock value saturated, the symbol arguments refused by the host.
    EXPECT_TRUE(e2e::has_line(r.console, "int_param[0]=\t2147483647")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "int_param[1]=\t0")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "float_param[0]=\t0.000000")) << r.console;
    // Audio reinterpreted as bus words never yields coefficients: the chain
    // output is the empty channel, silence.
    EXPECT_TRUE(e2e::has_line(r.console, "env: 0")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "env: "), e2e::count_containing(r.console, "env: 0"))
        << r.console;
}

TEST(QprocE2E, OtherBlockSizeReportsAndStaysSilent)
{
    std::string dir = e2e::temp_dir();
    std::string patch = "#N canvas 0 0 600 400 12;\n"
                        "#N canvas 0 0 400 300 sub 0;\n"
                        "#X obj 10 10 block~ 32;\n"
                        "#X obj 10 40 osc~ 500;\n"
                        "#X obj 10 70 qproc~ threshold 0;\n"
                        "#X obj 10 100 env~ 256;\n"
                        "#X obj 10 130 print env32;\n"
                        "#X connect 1 0 2 0;\n"
                        "#X connect 2 0 3 0;\n"
                        "#X connect 3 0 4 0;\n"
                        "#X restore 10 10 pd sub;\n"
                        "#X obj 10 40 loadbang;\n"
                        "#X msg 10 70 \\; pd dsp 1;\n"
                        "#X obj 10 100 loadbang;\n"
                        "#X obj 10 130 del 200;\n"
                        "#X msg 10 160 \\; pd quit;\n"
                        "#X connect 1 0 2 0;\n"
                        "#X connect 3 0 4 0;\n"
                        "#X connect 4 0 5 0;\n";
    e2e::write_file(dir + "/block.pd", patch);
    auto r = e2e::run_pd_file(dir + "/block.pd");
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "qproc~: block size 32 not supported, needs 64; output stays empty"),
              1)
        << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "env32: 0")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "env32: "), e2e::count_containing(r.console, "env32: 0"))
        << r.console;
}

TEST(QprocE2E, HelpPatchOpensWithoutErrors)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int open = p.msg("\\; pd open qproc~-help.pd " + e2e::source_dir() + "/help");
    p.connect(lb, 0, open, 0);
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    marker(p, 100, "help open");
    p.quit_after(150);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: help open")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Qproc Usage"), 0) << r.console;
}
