// "qproc~" in the real host: creation of every type, the report, bad
// creation arguments and messages, untagged audio on its inlets, another
// block size, and chains with the other objects.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <vector>

#include "e2e_util.h"

TEST(QprocE2E, EveryTypeLoadsAndReports)
{
    e2e::Patch p;
    int lb = p.loadbang();
    for (const char *t : {"add", "filter 3 5", "threshold 0.5", "shift -2 1 1"})
        p.connect(lb, 0, p.obj(std::string("qproc~ ") + t), 0);
    auto r = p.run(50);
    // 16 parameter lines per object; the shift object's arguments are shown.
    EXPECT_TRUE(e2e::counts(r.console, {{"couldn't create", 0},
                                        {"Qproc Buum Chzakk", 4},
                                        {"float_param[", 32},
                                        {"int_param[", 32},
                                        {"Qproc Usage", 0}}));
    EXPECT_TRUE(e2e::lines(r.console, {"Type: 0", "Type: 1", "Type: 2", "Type: 3", "float_param[0]=\t-2.000000",
                                       "float_param[1]=\t5.000000"}));
}

TEST(QprocE2E, UnknownSymbolsPrintUsageAndStayInert)
{
    e2e::Patch p;
    int lb = p.loadbang();
    int a = p.obj("qproc~ multiply");
    p.connect(lb, 0, a, 0);
    p.connect(lb, 0, p.obj("qproc~"), 0);
    p.obj("qproc~ 0");
    // DSP on with a signal into the inert object: no routine, no trouble.
    p.connect(p.obj("osc~ 440"), 0, a, 0);
    p.dsp_on();
    p.marker(100, "still running");
    auto r = p.run(150);
    EXPECT_TRUE(
        e2e::counts(r.console, {{"Qproc Usage: See Help Patch", 3}, {"Qproc Buum Chzakk", 2}, {"couldn't create", 0}}));
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: still running")) << r.console;
}

TEST(QprocE2E, BadArgumentsAndAudioNeverStopTheHost)
{
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
    const int wires[][3] = {{osc, f, 0}, {noise, t, 0}, {osc, s, 0},  {noise, s, 1},
                            {osc, s, 3}, {osc, a, 0},   {noise, a, 2}};
    for (auto &w : wires) p.connect(w[0], 0, w[1], w[2]);
    // The outputs feed on, including back into a shift object.
    int s2 = p.obj("qproc~ shift");
    p.connect(f, 0, s2, 0);
    p.connect(a, 0, s2, 1);
    p.connect(t, 0, s2, 3);
    int env = p.obj("env~");
    p.connect(s2, 0, env, 0);
    p.connect(env, 0, p.obj("print env"), 0);
    // Messages with bad or missing arguments.
    p.at(0,
         "set_float_param 100 1 \\, set_float_param -5 2 \\, set_int_param 9 9 \\, "
         "set_int_param 0 1e+30 \\, set_float_param \\, set_int_param 1 \\, "
         "set_float_param foo bar \\, nonsense 1 2 \\, 7 \\, bang",
         s);
    p.dsp_on();
    p.marker(200, "still running");
    auto r = p.run(250);
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 2) << r.console;
    // The report after the messages: out-of-range indexes were ignored,
    // the clock value saturated, the symbol arguments refused by the host.
    // Audio reinterpreted as bus words never yields coefficients: the chain
    // output is the empty channel, silence.
    EXPECT_TRUE(e2e::lines(r.console, {"e2e: still running", "int_param[0]=\t2147483647", "int_param[1]=\t0",
                                       "float_param[0]=\t0.000000", "env: 0"}));
    EXPECT_EQ(e2e::count_containing(r.console, "env: "), e2e::count_containing(r.console, "env: 0")) << r.console;
}

TEST(QprocE2E, OtherBlockSizeReportsAndStaysSilent)
{
    e2e::Patch sub;
    sub.obj("block~ 32");
    int osc = sub.obj("osc~ 500"), q = sub.obj("qproc~ threshold 0"), env = sub.obj("env~ 256");
    sub.connect(osc, 0, q, 0);
    sub.connect(q, 0, env, 0);
    sub.connect(env, 0, sub.obj("print env32"), 0);
    e2e::Patch p;
    p.sub("sub", sub);
    p.dsp_on();
    auto r = p.run(200);
    EXPECT_EQ(e2e::count_containing(r.console, "qproc~: block size 32 not supported, needs 64; output stays empty"), 1)
        << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "env32: 0")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "env32: "), e2e::count_containing(r.console, "env32: 0")) << r.console;
}

namespace {

// Amplitude of the component at frequency f (Hz, 44100 Hz rate) in x, by
// projection on cosine and sine.
double amplitude(const std::vector<float> &x, double f)
{
    double c = 0, s = 0;
    for (size_t i = 0; i < x.size(); i++) {
        double ph = 2 * M_PI * f * (double)i / 44100.0;
        c += x[i] * std::cos(ph);
        s += x[i] * std::sin(ph);
    }
    return 2 * std::hypot(c, s) / (double)x.size();
}

}  // namespace

// Processors between analysis and synthesis, in one patch:
// - filter: two chains on 100 Hz + 1000 Hz (bands around 9 and 19), the
//   second with "qproc~ filter 15 24" between analysis and synthesis (each
//   chain has its own analysis: the filter works in place);
// - add: 100 Hz and 1000 Hz analysed apart, merged by "qproc~ add" into one
//   synthesis, which holds both tones at full level;
// - shift: a plain chain and one with "qproc~ shift 0 1 1" on 300 Hz +
//   2000 Hz, same bank as source and target, the designer's own warping
//   map and shortened windows: time alignment and phase correction cancel,
//   so the resynthesis equals that of the plain chain.
TEST(QprocE2E, ProcessorsBetweenAnalysisAndSynthesis)
{
    e2e::Patch p;
    int bank = p.designer("make -1 \\, copy_pac2paf -1");
    int shortened = p.designer("make -1 \\, shorten -1 \\, copy_pac2paf -1");
    p.dsp_on();
    int lo = p.obj("osc~ 100"), hi = p.obj("osc~ 1000");
    e2e::Chain plain = p.chain(lo, bank), filtered = p.chain(lo, bank, p.obj("qproc~ filter 15 24"));
    p.connect(hi, 0, plain.ana, 0);
    p.connect(hi, 0, filtered.ana, 0);
    int add = p.obj("qproc~ add");
    e2e::Chain merged = p.chain(lo, bank, add);
    p.connect(p.analysis(hi, bank), 0, add, 2);
    int lo2 = p.obj("osc~ 300"), hi2 = p.obj("osc~ 2000");
    int sh = p.obj("qproc~ shift 0 1 1");
    e2e::Chain plain2 = p.chain(lo2, shortened), shifted = p.chain(lo2, shortened, sh);
    p.connect(hi2, 0, plain2.ana, 0);
    p.connect(hi2, 0, shifted.ana, 0);
    p.connect(shifted.ana, 1, sh, 1);
    p.connect(shortened, 0, sh, 3);
    // 1 s of the tone chains and 0.5 s of the shift chains once the windows
    // have filled.
    auto tones = p.record({plain.syn, filtered.syn, merged.syn}, 44100, 1500, 2700, "tones.wav");
    auto shifts = p.record({plain2.syn, shifted.syn}, 22050, 500, 2700, "shift.wav");
    auto r = p.run(2800);
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
    auto ch = e2e::read_wav(tones, 3, 44100u);
    // Whole periods of both tones in 44100 samples: phase offsets do not matter.
    double a100 = amplitude(ch[0], 100), a1000 = amplitude(ch[0], 1000);
    double b100 = amplitude(ch[1], 100), b1000 = amplitude(ch[1], 1000);
    double s100 = amplitude(ch[2], 100), s1000 = amplitude(ch[2], 1000);
    std::printf("unfiltered: 100 Hz %.6g, 1000 Hz %.6g; filtered: 100 Hz %.6g, 1000 Hz %.6g\n", a100, a1000, b100,
                b1000);
    std::printf("1000 Hz reduced by %.1f dB, 100 Hz changed by %.2f dB\n", 20 * std::log10(a1000 / b1000),
                20 * std::log10(b100 / a100));
    std::printf("merged resynthesis: 100 Hz %.6g, 1000 Hz %.6g\n", s100, s1000);
    ASSERT_GT(a1000, 0.01);
    ASSERT_GT(a100, 0.01);
    EXPECT_LT(b1000, a1000 * 1e-3);       // at least 60 dB less
    EXPECT_NEAR(b100 / a100, 1.0, 0.01);  // the tone outside the range stays
    EXPECT_NEAR(s100, 1.0, 0.02);
    EXPECT_NEAR(s1000, 1.0, 0.02);

    ch = e2e::read_wav(shifts);
    ASSERT_EQ(ch.size(), 2u);
    ASSERT_EQ(ch[0].size(), 22050u);
    double peak = 0, diff = 0;
    for (size_t i = 0; i < ch[0].size(); i++) {
        ASSERT_TRUE(std::isfinite(ch[1][i])) << i;
        peak = std::max(peak, (double)std::fabs(ch[0][i]));
        diff = std::max(diff, (double)std::fabs(ch[0][i] - ch[1][i]));
    }
    std::printf("shift 0: peak %.6g, largest difference %.3g\n", peak, diff);
    EXPECT_GT(peak, 0.5);
    EXPECT_LT(diff, 1e-5);
}

// Generated coefficients through processors into file writers, in one
// patch:
// - "qproc~ threshold 0.5": parts below 0.5 in magnitude arrive as 0, a
//   coefficient with both parts below is not written at all;
// - "qproc~ shift 2 1 0" (time alignment on, phase correction off), source
//   and target bank the same: bands move up by 2 and clamp at the last band,
//   starts move by half the difference of the window lengths, values stay.
TEST(QprocE2E, ProcessorsBetweenGeneratorAndFileWriter)
{
    e2e::Patch p;
    int bank = p.designer("make -1 \\, copy_pac2paf -1");
    int shortened = p.designer("make -1 \\, copy_pac2paf -1 \\, shorten -1 \\, copy_pac2paf -1 \\, "
                               "get_window_length_paf 12 \\, get_window_length_paf 14 \\, get_window_length_paf 20 "
                               "\\, get_window_length_paf 22 \\, get_window_length_paf 32");
    p.connect(shortened, 1, p.obj("print wl"), 0);
    const std::string thr_file = p.dir() + "/threshold.txt", shift_file = p.dir() + "/shift.txt";
    int gen = p.generator(bank), thr = p.obj("qproc~ threshold 0.5");
    p.connect(gen, 0, thr, 0);
    p.writer(thr, e2e::Out(gen, 1), thr_file, 60, "qdump~ 0");
    int gen2 = p.generator(shortened), sh = p.obj("qproc~ shift 2 1 0");
    p.connect(gen2, 0, sh, 0);
    p.connect(gen2, 1, sh, 1);
    p.connect(shortened, 0, sh, 3);
    p.writer(sh, e2e::Out(gen2, 1), shift_file, 60, "qdump~ 0");
    p.dsp_on();
    p.at(20, "emit 5 0.4 0.7 3 \\, emit 6 0.5 -0.2 4 \\, emit 7 0.1 -0.3 5 \\, emit 8 -0.9 0.6 6", gen);
    p.at(20, "emit 10 0.5 0.25 20 \\, emit 20 1 0 32 \\, emit 40 -1 0.5 12", gen2);
    auto r = p.run(80);
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;

    // Threshold: one list, written from its last record to its first.
    auto lines = e2e::read_coefficients(thr_file);
    ASSERT_EQ(lines.size(), 3u) << e2e::read_file(thr_file);
    EXPECT_EQ(lines[0].band, 6);
    EXPECT_EQ(lines[0].time % 64, 8);
    EXPECT_DOUBLE_EQ(lines[0].re, (double)-0.9f);
    EXPECT_DOUBLE_EQ(lines[0].im, (double)0.6f);
    EXPECT_EQ(lines[1].band, 4);
    EXPECT_EQ(lines[1].time % 64, 6);
    EXPECT_EQ(lines[1].re, 0.5);  // equal to the threshold: stays
    EXPECT_EQ(lines[1].im, 0.0);
    EXPECT_EQ(lines[2].band, 3);
    EXPECT_EQ(lines[2].time % 64, 5);
    EXPECT_EQ(lines[2].re, 0.0);
    EXPECT_DOUBLE_EQ(lines[2].im, (double)0.7f);
    for (auto &l : lines) {
        EXPECT_EQ(l.time / 64, lines[0].time / 64);  // same block
        EXPECT_GT(l.length, 0);
    }

    // Shift: window lengths of bands 12, 14, 20, 22 and 32 after shortening,
    // as the designer reports them.
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
    lines = e2e::read_coefficients(shift_file);
    ASSERT_EQ(lines.size(), 3u) << e2e::read_file(shift_file);
    // Written from the last record to the first; all from one block.
    const e2e::Coefficient want[3] = {{40 - (wl12 - wl14) / 2, 14, -1, 0.5, wl14},
                                      {20, 32, 1, 0, wl32},  // clamped to the last band: same window
                                      {10 - (wl20 - wl22) / 2, 22, 0.5, 0.25, wl22}};
    const long block = lines[0].time - want[0].time;
    EXPECT_EQ(block % 64, 0);
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(lines[i].time - block, want[i].time);
        EXPECT_EQ(lines[i].band, want[i].band);
        EXPECT_EQ(lines[i].re, want[i].re);
        EXPECT_EQ(lines[i].im, want[i].im);
        EXPECT_EQ(lines[i].length, want[i].length);
    }
}
