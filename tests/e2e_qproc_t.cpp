// "qproc~" in the real host: creation of every type, the report, bad
// creation arguments and messages, untagged audio on its inlets, another
// block size, its help patch, and chains with the other objects.
#include <gtest/gtest.h>

#include <cstdlib>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

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

// Floats whose bits equal the bus tags, sent to unconnected signal inlets,
// fill the vectors with tag bits; the objects must treat them as no input.
TEST(QprocE2E, TagBitFloatsOnUnconnectedInletsAreHarmless)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    const std::string qavg = "51898511360", qavc = "51898494976";  // 0x51415647, 0x51415643 as floats
    int lb = p.obj("loadbang");
    int g = p.msg(qavg);
    int c = p.msg(qavc);
    p.connect(lb, 0, g, 0);
    p.connect(lb, 0, c, 0);
    int outs[4];
    const char *types[] = {"add", "filter 0 100", "threshold 0", "shift 1 1 1"};
    for (int k = 0; k < 4; k++) {
        outs[k] = p.obj(std::string("qproc~ ") + types[k]);
        p.connect(g, 0, outs[k], 0);
    }
    p.connect(g, 0, outs[0], 2);  // second channel of add
    p.connect(c, 0, outs[3], 1);  // both bank inlets of shift
    p.connect(c, 0, outs[3], 3);
    // Follow every output into another filter: empty channels all along.
    for (int k = 0; k < 4; k++) {
        int f = p.obj("qproc~ filter 0 100");
        p.connect(outs[k], 0, f, 0);
    }
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    marker(p, 100, "still running");
    p.quit_after(150);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: still running")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
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
    auto r = e2e::open_help("qproc~-help.pd", 2000);
    EXPECT_EQ(r.status, 0) << r.console;
    // 220 Hz and 2000 Hz at equal level; the filter removes bands 20 to 25,
    // so the loudest band left lies near 220 Hz (bands 12 and 13).
    auto at = r.console.find("qview~: loudest band ");
    ASSERT_NE(at, std::string::npos) << r.console;
    int band = std::atoi(r.console.c_str() + at + 21);
    EXPECT_TRUE(band == 12 || band == 13) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: help open")) << r.console;
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Qproc Usage"), 0) << r.console;
}

namespace {

// Amplitude of the component at frequency f (Hz, 44100 Hz rate) in
// x[from .. from + n), by projection on cosine and sine.
double amplitude(const std::vector<float> &x, size_t from, size_t n, double f)
{
    double c = 0, s = 0;
    for (size_t i = 0; i < n; i++) {
        double ph = 2 * M_PI * f * (double)(from + i) / 44100.0;
        c += x[from + i] * std::cos(ph);
        s += x[from + i] * std::sin(ph);
    }
    return 2 * std::hypot(c, s) / (double)n;
}

}  // namespace

// Two identical analysis/synthesis chains on one bank, the second with
// "qproc~ filter 15 24" between analysis and synthesis. The input holds a
// 100 Hz tone (bands around 9) and a 1000 Hz tone (bands around 19).
TEST(QprocE2E, FilterInAnalysisSynthesisChainRemovesBandEnergy)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int bank = p.obj("qbank_tilde");
    int make = p.msg("make -1 \\, copy_pac2paf -1");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, make, 0);
    p.connect(make, 0, bank, 0);
    p.connect(lb, 0, dsp, 0);
    int lo = p.obj("osc~ 100");
    int hi = p.obj("osc~ 1000");
    int ana[2], syn[2];
    for (int k = 0; k < 2; k++) {
        ana[k] = p.obj("qavex_tilde");
        syn[k] = p.obj("invqavex_tilde");
        p.connect(lo, 0, ana[k], 0);
        p.connect(hi, 0, ana[k], 0);
        p.connect(bank, 0, ana[k], 1);
        p.connect(ana[k], 1, syn[k], 1);
    }
    int filt = p.obj("qproc~ filter 15 24");
    p.connect(ana[0], 0, syn[0], 0);
    p.connect(ana[1], 0, filt, 0);
    p.connect(filt, 0, syn[1], 0);
    // Record 1 s of both outputs once the windows have filled, and write
    // them synchronously.
    const char *tabs[2] = {"qpA", "qpB"};
    int rec = p.obj("del 1500");
    p.connect(lb, 0, rec, 0);
    for (int k = 0; k < 2; k++) {
        p.obj(std::string("table ") + tabs[k] + " 44100");
        int tw = p.obj(std::string("tabwrite~ ") + tabs[k]);
        p.connect(syn[k], 0, tw, 0);
        p.connect(rec, 0, tw, 0);
    }
    int wdel = p.obj("del 2700");
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav qpA qpB");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, wdel, 0);
    p.connect(wdel, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(2800);
    auto r = e2e::run_pd(p, dir, 300);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 2u);
    ASSERT_EQ(ch[0].size(), 44100u);
    // Whole periods of both tones in 44100 samples: phase offsets do not matter.
    double a100 = amplitude(ch[0], 0, 44100, 100), a1000 = amplitude(ch[0], 0, 44100, 1000);
    double b100 = amplitude(ch[1], 0, 44100, 100), b1000 = amplitude(ch[1], 0, 44100, 1000);
    std::printf("unfiltered: 100 Hz %.6g, 1000 Hz %.6g; filtered: 100 Hz %.6g, 1000 Hz %.6g\n", a100, a1000, b100,
                b1000);
    std::printf("1000 Hz reduced by %.1f dB, 100 Hz changed by %.2f dB\n", 20 * std::log10(a1000 / b1000),
                20 * std::log10(b100 / a100));
    ASSERT_GT(a1000, 0.01);
    ASSERT_GT(a100, 0.01);
    EXPECT_LT(b1000, a1000 * 1e-3);       // at least 60 dB less
    EXPECT_NEAR(b100 / a100, 1.0, 0.01);  // the tone outside the range stays
}

// Generated coefficients pass "qproc~ threshold 0.5" into the file writer:
// parts below 0.5 in magnitude arrive as 0, a coefficient with both parts
// below is not written at all.
TEST(QprocE2E, ThresholdBetweenGeneratorAndFileWriter)
{
    std::string dir = e2e::temp_dir();
    std::string file = dir + "/coeffs.txt";
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int bank = p.obj("qbank_tilde");
    int make = p.msg("make -1 \\, copy_pac2paf -1");
    p.connect(lb, 0, make, 0);
    p.connect(make, 0, bank, 0);
    int gen = p.obj("qemit_tilde");
    int thr = p.obj("qproc~ threshold 0.5");
    int dump = p.obj("qdump~ 0");
    p.connect(bank, 0, gen, 1);
    p.connect(gen, 0, thr, 0);
    p.connect(thr, 0, dump, 0);
    p.connect(gen, 1, dump, 1);
    int open = p.msg("open " + file);
    p.connect(lb, 0, open, 0);
    p.connect(open, 0, dump, 0);
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    int edel = p.obj("del 20");
    int ev = p.msg("emit 5 0.4 0.7 3 \\, emit 6 0.5 -0.2 4 \\, emit 7 0.1 -0.3 5 \\, emit 8 -0.9 0.6 6");
    p.connect(lb, 0, edel, 0);
    p.connect(edel, 0, ev, 0);
    p.connect(ev, 0, gen, 0);
    int cdel = p.obj("del 60");
    int close = p.msg("close");
    p.connect(lb, 0, cdel, 0);
    p.connect(cdel, 0, close, 0);
    p.connect(close, 0, dump, 0);
    p.quit_after(80);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
    std::istringstream in(e2e::read_file(file));
    struct Line {
        long t;
        int band;
        double re, im;
        long len;
    };
    std::vector<Line> lines;
    std::string text;
    while (std::getline(in, text)) {
        Line l{};
        ASSERT_EQ(std::sscanf(text.c_str(), "%ld\t%d\t%lf\t%lf\t%ld", &l.t, &l.band, &l.re, &l.im, &l.len), 5) << text;
        lines.push_back(l);
    }
    // One list, written from its last record to its first.
    ASSERT_EQ(lines.size(), 3u) << e2e::read_file(file);
    EXPECT_EQ(lines[0].band, 6);
    EXPECT_EQ(lines[0].t % 64, 8);
    EXPECT_DOUBLE_EQ(lines[0].re, (double)-0.9f);
    EXPECT_DOUBLE_EQ(lines[0].im, (double)0.6f);
    EXPECT_EQ(lines[1].band, 4);
    EXPECT_EQ(lines[1].t % 64, 6);
    EXPECT_EQ(lines[1].re, 0.5);  // equal to the threshold: stays
    EXPECT_EQ(lines[1].im, 0.0);
    EXPECT_EQ(lines[2].band, 3);
    EXPECT_EQ(lines[2].t % 64, 5);
    EXPECT_EQ(lines[2].re, 0.0);
    EXPECT_DOUBLE_EQ(lines[2].im, (double)0.7f);
    for (auto &l : lines) {
        EXPECT_EQ(l.t / 64, lines[0].t / 64);  // same block
        EXPECT_GT(l.len, 0);
    }
}

// Generated coefficients through "qproc~ shift 2 1 0" (time alignment on,
// phase correction off) into the file writer, source and target bank the
// same: bands move up by 2 and clamp at the last band, starts move by half
// the difference of the window lengths, values stay.
TEST(QprocE2E, ShiftBetweenGeneratorAndFileWriter)
{
    std::string dir = e2e::temp_dir();
    std::string file = dir + "/coeffs.txt";
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int bank = p.obj("qbank_tilde");
    int make = p.msg("make -1 \\, copy_pac2paf -1 \\, shorten -1 \\, copy_pac2paf -1 \\, get_window_length_paf 12 "
                     "\\, get_window_length_paf 14 \\, get_window_length_paf 20 \\, get_window_length_paf 22 "
                     "\\, get_window_length_paf 32");
    int wl = p.obj("print wl");
    p.connect(lb, 0, make, 0);
    p.connect(make, 0, bank, 0);
    p.connect(bank, 1, wl, 0);
    int gen = p.obj("qemit_tilde");
    int sh = p.obj("qproc~ shift 2 1 0");
    int dump = p.obj("qdump~ 0");
    p.connect(bank, 0, gen, 1);
    p.connect(gen, 0, sh, 0);
    p.connect(gen, 1, sh, 1);
    p.connect(bank, 0, sh, 3);
    p.connect(sh, 0, dump, 0);
    p.connect(gen, 1, dump, 1);
    int open = p.msg("open " + file);
    p.connect(lb, 0, open, 0);
    p.connect(open, 0, dump, 0);
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    int edel = p.obj("del 20");
    int ev = p.msg("emit 10 0.5 0.25 20 \\, emit 20 1 0 32 \\, emit 40 -1 0.5 12");
    p.connect(lb, 0, edel, 0);
    p.connect(edel, 0, ev, 0);
    p.connect(ev, 0, gen, 0);
    int cdel = p.obj("del 60");
    int close = p.msg("close");
    p.connect(lb, 0, cdel, 0);
    p.connect(cdel, 0, close, 0);
    p.connect(close, 0, dump, 0);
    p.quit_after(80);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
    // Window lengths of bands 12, 14, 20, 22 and 32 after shortening, as
    // the designer reports them.
    std::vector<long> len;
    {
        std::istringstream in(r.console);
        std::string text;
        while (std::getline(in, text))
            if (text.rfind("wl: ", 0) == 0) len.push_back(std::stol(text.substr(4)));
    }
    ASSERT_EQ(len.size(), 5u) << r.console;
    const long wl12 = len[0], wl14 = len[1], wl20 = len[2], wl22 = len[3], wl32 = len[4];
    std::printf("window lengths: band 12 %ld, 14 %ld, 20 %ld, 22 %ld, 32 %ld\n", wl12, wl14, wl20, wl22, wl32);
    // Shortened windows differ from band to band, so the alignment shows.
    EXPECT_NE(wl12, wl14);
    EXPECT_NE(wl20, wl22);

    std::istringstream in(e2e::read_file(file));
    struct Line {
        long t;
        int band;
        double re, im;
        long len;
    };
    std::vector<Line> lines;
    std::string text;
    while (std::getline(in, text)) {
        Line l{};
        ASSERT_EQ(std::sscanf(text.c_str(), "%ld\t%d\t%lf\t%lf\t%ld", &l.t, &l.band, &l.re, &l.im, &l.len), 5) << text;
        lines.push_back(l);
    }
    ASSERT_EQ(lines.size(), 3u) << e2e::read_file(file);
    // Written from the last record to the first; all from one block.
    struct Want {
        long start;
        int band;
        double re, im;
        long len;
    };
    const Want want[3] = {{40 - (wl12 - wl14) / 2, 14, -1, 0.5, wl14},
                          {20, 32, 1, 0, wl32},  // clamped to the last band: same window
                          {10 - (wl20 - wl22) / 2, 22, 0.5, 0.25, wl22}};
    const long block = lines[0].t - want[0].start;
    EXPECT_EQ(block % 64, 0);
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i].t - block, want[i].start);
        EXPECT_EQ(lines[i].band, want[i].band);
        EXPECT_EQ(lines[i].re, want[i].re);
        EXPECT_EQ(lines[i].im, want[i].im);
        EXPECT_EQ(lines[i].len, want[i].len);
    }
}

// Two analysis objects on one bank, one for a 100 Hz and one for a 1000 Hz
// tone, merged by "qproc~ add" into one synthesis object: the resynthesis
// holds both tones at full level.
TEST(QprocE2E, AddMergesTwoAnalysesIntoOneSynthesis)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int bank = p.obj("qbank_tilde");
    int make = p.msg("make -1 \\, copy_pac2paf -1");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, make, 0);
    p.connect(make, 0, bank, 0);
    p.connect(lb, 0, dsp, 0);
    int lo = p.obj("osc~ 100");
    int hi = p.obj("osc~ 1000");
    int a1 = p.obj("qavex_tilde");
    int a2 = p.obj("qavex_tilde");
    p.connect(lo, 0, a1, 0);
    p.connect(hi, 0, a2, 0);
    p.connect(bank, 0, a1, 1);
    p.connect(bank, 0, a2, 1);
    int add = p.obj("qproc~ add");
    p.connect(a1, 0, add, 0);
    p.connect(a2, 0, add, 2);
    int syn = p.obj("invqavex_tilde");
    p.connect(add, 0, syn, 0);
    p.connect(a1, 1, syn, 1);
    p.obj("table qpS 44100");
    int tw = p.obj("tabwrite~ qpS");
    p.connect(syn, 0, tw, 0);
    int rec = p.obj("del 1500");
    p.connect(lb, 0, rec, 0);
    p.connect(rec, 0, tw, 0);
    int wdel = p.obj("del 2700");
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav qpS");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, wdel, 0);
    p.connect(wdel, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(2800);
    auto r = e2e::run_pd(p, dir, 300);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 1u);
    ASSERT_EQ(ch[0].size(), 44100u);
    double s100 = amplitude(ch[0], 0, 44100, 100), s1000 = amplitude(ch[0], 0, 44100, 1000);
    std::printf("merged resynthesis: 100 Hz %.6g, 1000 Hz %.6g\n", s100, s1000);
    EXPECT_NEAR(s100, 1.0, 0.02);
    EXPECT_NEAR(s1000, 1.0, 0.02);
}

// "qproc~ shift 0 1 1" with the same bank as source and target, the
// designer's own warping map and shortened windows: time alignment and
// phase correction cancel, so the resynthesis equals that of a plain chain.
TEST(QprocE2E, ShiftZeroWithinOneBankLeavesResynthesis)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int bank = p.obj("qbank_tilde");
    int make = p.msg("make -1 \\, shorten -1 \\, copy_pac2paf -1");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, make, 0);
    p.connect(make, 0, bank, 0);
    p.connect(lb, 0, dsp, 0);
    int lo = p.obj("osc~ 300");
    int hi = p.obj("osc~ 2000");
    int ana[2], syn[2];
    for (int k = 0; k < 2; k++) {
        ana[k] = p.obj("qavex_tilde");
        syn[k] = p.obj("invqavex_tilde");
        p.connect(lo, 0, ana[k], 0);
        p.connect(hi, 0, ana[k], 0);
        p.connect(bank, 0, ana[k], 1);
        p.connect(ana[k], 1, syn[k], 1);
    }
    int sh = p.obj("qproc~ shift 0 1 1");
    p.connect(ana[0], 0, syn[0], 0);
    p.connect(ana[1], 0, sh, 0);
    p.connect(ana[1], 1, sh, 1);
    p.connect(bank, 0, sh, 3);
    p.connect(sh, 0, syn[1], 0);
    const char *tabs[2] = {"qpP", "qpQ"};
    int rec = p.obj("del 500");
    p.connect(lb, 0, rec, 0);
    for (int k = 0; k < 2; k++) {
        p.obj(std::string("table ") + tabs[k] + " 22050");
        int tw = p.obj(std::string("tabwrite~ ") + tabs[k]);
        p.connect(syn[k], 0, tw, 0);
        p.connect(rec, 0, tw, 0);
    }
    int wdel = p.obj("del 1100");
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav qpP qpQ");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, wdel, 0);
    p.connect(wdel, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(1200);
    auto r = e2e::run_pd(p, dir, 300);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 2u);
    ASSERT_EQ(ch[0].size(), 22050u);
    double peak = 0, diff = 0;
    for (size_t i = 0; i < ch[0].size(); i++) {
        ASSERT_TRUE(std::isfinite(ch[1][i])) << i;
        peak = std::max(peak, (double)std::fabs(ch[0][i]));
        diff = std::max(diff, (double)std::fabs(ch[0][i] - ch[1][i]));
    }
    std::printf("peak %.6g, largest difference %.3g\n", peak, diff);
    EXPECT_GT(peak, 0.5);
    EXPECT_LT(diff, 1e-5);
}
