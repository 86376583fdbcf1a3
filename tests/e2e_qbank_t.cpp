// The designer in the real host: the whole chain designer -> analysis ->
// synthesis with the dry signal lined up, generator and file writer behind
// a designer, the report and its counter, bad input, and the help patch.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

// Round trip: a test signal through designer, analysis and synthesis; the
// dry signal through the delay fed with the synthesis' latency. Both are
// recorded for `samples` samples from the first block on.
struct RoundTrip {
    std::vector<float> res, dry;
    std::string console;
    int status;
};

RoundTrip round_trip(const std::string &designer_msgs, const std::string &signal, int samples)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int sig = p.obj(signal);
    int bank = p.obj("qbank_tilde");
    int ana = p.obj("qavex_tilde");
    int syn = p.obj("invqavex_tilde");
    int lag = p.obj("qlag_tilde");
    p.obj("table res " + std::to_string(samples));
    p.obj("table dry " + std::to_string(samples));
    int tr = p.obj("tabwrite~ res");
    int td = p.obj("tabwrite~ dry");
    int lb = p.obj("loadbang");
    int t = p.obj("t b b b");
    int cfg = p.msg(designer_msgs);
    int dsp = p.msg("\\; pd dsp 1");
    double ms = samples / 44.1 + 20;
    int del = p.obj("del " + std::to_string(ms));
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav res dry");
    int sf = p.obj("soundfiler");
    int lat = p.obj("print latency");
    int once = p.obj("spigot 1");
    int off = p.msg("0");
    p.connect(sig, 0, ana, 0);
    p.connect(bank, 0, ana, 1);
    p.connect(ana, 0, syn, 0);
    p.connect(ana, 1, syn, 1);
    p.connect(syn, 0, tr, 0);
    p.connect(sig, 0, lag, 0);
    p.connect(syn, 1, lag, 1);
    p.connect(lag, 0, td, 0);
    p.connect(syn, 1, once, 0);
    p.connect(once, 0, lat, 0);
    p.connect(once, 0, off, 0);
    p.connect(off, 0, once, 1);
    p.connect(lb, 0, t, 0);
    p.connect(t, 2, cfg, 0);
    p.connect(cfg, 0, bank, 0);
    p.connect(t, 1, dsp, 0);
    p.connect(t, 0, tr, 0);
    p.connect(t, 0, td, 0);
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(ms + 20);
    auto r = e2e::run_pd(p, dir, 300);
    RoundTrip rt;
    rt.console = r.console;
    rt.status = r.status;
    auto ch = e2e::read_wav(dir + "/out.wav");
    if (ch.size() == 2) {
        rt.res = ch[0];
        rt.dry = ch[1];
    }
    return rt;
}

// Error of the resynthesis against the delayed dry signal, in dB, from
// sample `from` on.
double error_db(const RoundTrip &rt, size_t from)
{
    return e2e::error_db(rt.res, rt.dry, from);
}

double power(const std::vector<float> &v, size_t from)
{
    double s = 0;
    for (size_t i = from; i < v.size(); i++) s += v[i] * (double)v[i];
    return s;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) v.push_back(l);
    return v;
}

}  // namespace

TEST(QbankHost, NearTransparentRoundTripThroughTheChain)
{
    // Six times denser hops and three bands above the Nyquist band.
    auto rt = round_trip("set_C_d 6 \\, set_C_q 3 \\, initialize \\, make -1 \\, copy_pac2paf -1", "noise~", 44100);
    ASSERT_EQ(rt.status, 0) << rt.console;
    ASSERT_EQ(rt.res.size(), 44100u) << rt.console;
    EXPECT_TRUE(e2e::has_line(rt.console, "latency: 8777")) << rt.console;
    double err = error_db(rt, 20000);
    std::printf("round trip C_d 6, C_q 3, white noise: %.2f dB\n", err);
    EXPECT_LT(err, -25.0);
    double ratio = power(rt.res, 20000) / power(rt.dry, 20000);
    EXPECT_NEAR(ratio, 1.0, 0.05);
}

TEST(QbankHost, DefaultBankRunsButIsNotTransparent)
{
    auto rt = round_trip("make -1 \\, copy_pac2paf -1", "osc~ 1000", 30000);
    ASSERT_EQ(rt.status, 0) << rt.console;
    ASSERT_EQ(rt.res.size(), 30000u);
    EXPECT_TRUE(e2e::has_line(rt.console, "latency: 8777")) << rt.console;
    // A 1 kHz tone comes back at its place, with the phase of the dry tone.
    double ratio = power(rt.res, 20000) / power(rt.dry, 20000);
    EXPECT_GT(ratio, 0.5);
    EXPECT_LT(ratio, 1.5);
    double corr = 0;
    for (size_t i = 20000; i < 30000; i++) corr += rt.res[i] * (double)rt.dry[i];
    EXPECT_GT(corr / std::sqrt(power(rt.res, 20000) * power(rt.dry, 20000)), 0.8);
}

TEST(QbankHost, WithoutWindowsTheChainIsSilent)
{
    auto rt = round_trip("initialize", "noise~", 4410);
    ASSERT_EQ(rt.status, 0) << rt.console;
    ASSERT_EQ(rt.res.size(), 4410u);
    for (float f : rt.res) ASSERT_EQ(f, 0.0f);
    EXPECT_EQ(e2e::count_containing(rt.console, "latency"), 0) << rt.console;
}

TEST(QbankHost, GeneratedCoefficientGivesItsWindow)
{
    // One coefficient 0.5 at sample 5 of the first block, band 16; the
    // synthesis puts 0.5 * w[m] at sample 5 + m (full-length windows).
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int bank = p.obj("qbank_tilde");
    int gen = p.obj("qemit_tilde");
    int syn = p.obj("invqavex_tilde");
    p.obj("table rec 9000");
    p.obj("table win 9000");
    int tw = p.obj("tabwrite~ rec");
    int set = p.obj("array set win");
    int lb = p.obj("loadbang");
    int t = p.obj("t b b b b");
    int cfg = p.msg("make -1 \\, copy_pac2paf -1 \\, paf2list 16");
    int emit = p.msg("emit 5 0.5 0 16");
    int dsp = p.msg("\\; pd dsp 1");
    int del = p.obj("del 400");
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav rec win");
    int sf = p.obj("soundfiler");
    p.connect(bank, 0, gen, 1);
    p.connect(bank, 1, set, 0);
    p.connect(gen, 0, syn, 0);
    p.connect(gen, 1, syn, 1);
    p.connect(syn, 0, tw, 0);
    p.connect(lb, 0, t, 0);
    p.connect(t, 3, cfg, 0);
    p.connect(cfg, 0, bank, 0);
    p.connect(t, 2, emit, 0);
    p.connect(emit, 0, gen, 0);
    p.connect(t, 1, dsp, 0);
    p.connect(t, 0, tw, 0);
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(450);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 2u) << r.console;
    const auto &rec = ch[0], &win = ch[1];
    double peak = 0;
    for (int m = 0; m < 8778; m++) peak = std::max(peak, (double)std::fabs(win[m]));
    ASSERT_GT(peak, 20.0);  // band 16 peaks near 24.9
    EXPECT_NEAR(win[4389], 24.891, 1e-3);
    for (int i = 0; i < 5; i++) EXPECT_EQ(rec[i], 0.0f) << i;
    for (int m = 0; m < 8778; m++) ASSERT_NEAR(rec[5 + m], 0.5 * win[m], 1e-6 * peak) << m;
    for (int i = 5 + 8778; i < 9000; i++) ASSERT_EQ(rec[i], 0.0f) << i;
}

TEST(QbankHost, FileWriterLinesMatchTheAnalysis)
{
    // Band 0 only (its window is real): every line's value is the inner
    // product of the recorded input with the window, divided by 44100.
    std::string dir = e2e::temp_dir();
    std::string file = dir + "/coeffs.txt";
    e2e::Patch p;
    int sig = p.obj("osc~ 2");
    int bank = p.obj("qbank_tilde");
    int ana = p.obj("qavex_tilde");
    int dump = p.obj("qdump~ 0");
    p.obj("table in 30000");
    p.obj("table win 30000");
    int tw = p.obj("tabwrite~ in");
    int set = p.obj("array set win");
    int lb = p.obj("loadbang");
    int t = p.obj("t b b b b b");
    int cfg = p.msg("make -1 \\, copy_pac2paf -1 \\, paf2list 0");
    int acfg = p.msg("set_q_analyse_sup 1");
    int open = p.msg("open " + file);
    int dsp = p.msg("\\; pd dsp 1");
    int del = p.obj("del 700");
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav in win");
    int sf = p.obj("soundfiler");
    int close = p.msg("close");
    p.connect(sig, 0, ana, 0);
    p.connect(sig, 0, tw, 0);
    p.connect(bank, 0, ana, 1);
    p.connect(bank, 1, set, 0);
    p.connect(ana, 0, dump, 0);
    p.connect(ana, 1, dump, 1);
    p.connect(lb, 0, t, 0);
    p.connect(t, 4, cfg, 0);
    p.connect(cfg, 0, bank, 0);
    p.connect(t, 3, acfg, 0);
    p.connect(acfg, 0, ana, 0);
    p.connect(t, 2, open, 0);
    p.connect(open, 0, dump, 0);
    p.connect(t, 1, dsp, 0);
    p.connect(t, 0, tw, 0);
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.connect(del, 0, close, 0);
    p.connect(close, 0, dump, 0);
    p.quit_after(750);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 2u) << r.console;
    const auto &x = ch[0], &w = ch[1];
    std::ifstream f(file);
    std::string line;
    int lines = 0;
    while (std::getline(f, line)) {
        int time, band, len;
        double re, im;
        ASSERT_EQ(std::sscanf(line.c_str(), "%d\t%d\t%lf\t%lf\t%d", &time, &band, &re, &im, &len), 5) << line;
        EXPECT_EQ(band, 0);
        EXPECT_EQ(len, 8778);
        EXPECT_EQ((time + 1) % 2925, 0) << line;
        if (time >= 30000) continue;
        double s = 0;
        for (int k = 0; k < 8778; k++) {
            int i = time - 8778 + 1 + k;
            if (i >= 0) s += x[i] * (double)w[k];
        }
        EXPECT_NEAR(re, s / 44100, 1e-6 * std::fabs(s / 44100) + 1e-9) << line;
        EXPECT_NEAR(im, 0, 1e-6 * std::fabs(re) + 1e-9) << line;
        lines++;
    }
    // 700 ms: samples 0..30869 at hop 2925 give 10 coefficients below 30000.
    EXPECT_GE(lines, 10) << r.console;
}

TEST(QbankHost, BangCounterLines)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int bank = p.obj("qbank_tilde");
    p.obj("qbank_tilde");
    int lb = p.obj("loadbang");
    int u = p.obj("until");
    int n = p.msg("32");
    p.connect(lb, 0, n, 0);
    p.connect(n, 0, u, 0);
    p.connect(u, 0, bank, 0);
    p.quit_after(10);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "-----------------Qavex--------------:"), 32);
    EXPECT_EQ(e2e::count_containing(r.console, "Why are you banging me?"), 9);
    EXPECT_EQ(e2e::count_containing(r.console, "I don't like being banged!"), 5);
    EXPECT_EQ(e2e::count_containing(r.console, "WHY ARE YOU BANGING ME?"), 3);
    EXPECT_EQ(e2e::count_containing(r.console, "kriblo is the best!"), 2);
    // The 11th report is the first with a remark, right before its header.
    auto v = lines_of(r.console);
    int reports = 0;
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] != "-----------------Qavex--------------:") continue;
        reports++;
        bool remark = i >= 2 && (v[i - 2] == "Why are you banging me?" || v[i - 2] == "I don't like being banged!" ||
                                 v[i - 2] == "WHY ARE YOU BANGING ME?" || v[i - 2] == "kriblo is the best!");
        bool want = (reports >= 11 && reports <= 19) || (reports >= 21 && reports <= 25) ||
                    (reports >= 27 && reports <= 29) || reports >= 31;
        EXPECT_EQ(remark, want) << reports;
    }
}

TEST(QbankHost, BadInputNeverStopsTheHost)
{
    std::string dir = e2e::temp_dir();
    e2e::write_file(dir + "/garbage.txt", "this is not a thetadata file\n\x01\x02\xff");
    std::string sels[] = {"make", "shorten", "test", "copy_pac2paf", "copy_paf2pac", "paf2list", "send_windows",
                          "set_window_type", "set_theta_type", "set_C_b", "set_C_T_c", "set_T_max", "set_C_d",
                          "set_C_q", "set_C_SR", "set_K", "set_compute_type", "set_thetaf0", "set_thetak",
                          "set_C_cut", "set_var", "set_winlength_window", "set_winlength_compute", "set_a",
                          "set_b", "get_first_zero_paf", "get_window_length_paf", "get_window_length_pac",
                          "print_first_and_last_value", "print_band", "initialize"};
    e2e::Patch p;
    int bank = p.obj("qbank_tilde");
    int out = p.obj("print out");
    p.connect(bank, 1, out, 0);
    int lb = p.obj("loadbang");
    int t = p.obj("t b b b b");
    // Every selector with no, symbolic, negative, huge and too many arguments.
    std::string all;
    for (auto &s : sels) {
        for (const char *args : {"", " foo", " -1", " -1e+30", " 1e+30", " 1e+39", " 3 4 5 6 7 8"}) {
            all += s + args + " \\, ";
        }
    }
    all += "make 0";
    int m1 = p.msg(all);
    // Not-a-number arguments reach the object through expr.
    int nan = p.obj("expr sqrt(-1)");
    int seq = p.obj("list prepend");
    int trim = p.obj("list trim");
    int sels_msg = p.msg("make \\, shorten \\, copy_pac2paf \\, print_band \\, set_C_b \\, set_C_d \\, set_K "
                         "\\, set_T_max \\, set_C_SR \\, set_C_cut \\, set_b \\, initialize \\, make");
    int rev = p.obj("t b a");
    // Thetadata files that are a directory and garbage.
    int files = p.msg("set_theta_type 0 " + dir + " \\, initialize \\, set_theta_type 0 " + dir +
                      "/garbage.txt \\, initialize \\, set_theta_type 0 \\, initialize");
    int fin = p.msg("set_theta_type 4 \\, set_C_b 2 \\, set_C_T_c 3 \\, set_T_max 10 \\, set_C_d 2 \\, set_C_q 0 "
                    "\\, set_C_SR 1 \\, set_K 1 \\, set_compute_type 0 \\, set_thetaf0 12 \\, set_thetak 36 \\, "
                    "set_C_cut 100000 \\, set_window_type 7 \\, initialize \\, make -1 \\, copy_pac2paf -1 \\, "
                    "test 1 \\, bang");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, t, 0);
    p.connect(t, 3, m1, 0);
    p.connect(m1, 0, bank, 0);
    // Each selector of sels_msg is prepended to NaN.
    p.connect(t, 2, sels_msg, 0);
    p.connect(sels_msg, 0, rev, 0);
    p.connect(rev, 1, seq, 1);
    p.connect(rev, 0, nan, 0);
    p.connect(nan, 0, seq, 0);
    p.connect(seq, 0, trim, 0);
    p.connect(trim, 0, bank, 0);
    p.connect(t, 1, files, 0);
    p.connect(files, 0, bank, 0);
    p.connect(t, 0, fin, 0);
    p.connect(fin, 0, bank, 0);
    p.connect(lb, 0, dsp, 0);
    p.quit_after(200);
    auto r = e2e::run_pd(p, dir, 300);
    ASSERT_EQ(r.status, 0) << r.console.substr(r.console.size() > 3000 ? r.console.size() - 3000 : 0);
    EXPECT_TRUE(e2e::has_line(r.console, "Falscher Aufruf der Runktion paf2list"));
    EXPECT_TRUE(e2e::has_line(r.console, "set_theta_type: needs at least 1 parameter"));
    EXPECT_GE(e2e::count_containing(r.console, "is corrupt"), 2) << r.console.substr(0, 2000);
    EXPECT_GE(e2e::count_containing(r.console, "File not found. Change to EXP_C1_NYQU."), 3);
    EXPECT_GE(e2e::count_containing(r.console, "bad arguments for message"), 10);
    EXPECT_TRUE(e2e::has_line(r.console, "Keine Fehler")) << r.console.substr(r.console.size() - 3000);
    EXPECT_TRUE(e2e::has_line(r.console, "qsup: \t33"));
    EXPECT_TRUE(e2e::has_line(r.console, "Longest Frame paf: \t8778 smp=\t0.199048\ts"));
    EXPECT_EQ(e2e::count_containing(r.console, "Assertion"), 0);
}

TEST(QbankHost, HelpPatchOpensWithoutErrors)
{
    auto r = e2e::open_help("qbank_tilde-help.pd");
    EXPECT_EQ(r.status, 0) << r.console;
    // The example builds the bank at load and inspects band 20.
    EXPECT_EQ(e2e::count_containing(r.console, "Band \t 20\t: Centerfrq.:"), 1) << r.console;
    auto at = r.console.find("qbank_tilde-help: ");
    ASSERT_NE(at, std::string::npos) << r.console;
    EXPECT_GT(std::atoi(r.console.c_str() + at + 18), 0) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: help open")) << r.console;
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
}

TEST(QbankHost, DemoPatchPrintsLatencyAndBothErrorsAndWritesTheFiles)
{
    std::string demo = e2e::read_file(e2e::source_dir() + "/demo/demo.pd");
    ASSERT_FALSE(demo.empty());
    std::string dir = e2e::temp_dir();
    ASSERT_EQ(std::system(("mkdir -p " + dir + "/out").c_str()), 0);
    e2e::write_file(dir + "/demo.pd", demo);
    auto r = e2e::run_pd_file(dir + "/demo.pd", 300);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "demo: latency in samples: 8777")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "demo: settings: set_C_d 6 set_C_q 2"), 1) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "dual windows out of date"), 0) << r.console;
    auto dry = e2e::read_wav(dir + "/out/dry.wav");
    ASSERT_EQ(dry.size(), 1u);
    ASSERT_EQ(dry[0].size(), 119070u);
    // Each printed error is the one of its written file.
    const struct {
        const char *file, *line;
    } outputs[] = {
        {"/out/resynth.wav", "demo: round-trip error in dB (0.6 s .. 2.6 s): "},
        {"/out/resynth_dual.wav", "demo: round-trip error with dual windows in dB (0.6 s .. 2.6 s): "},
    };
    for (const auto &o : outputs) {
        SCOPED_TRACE(o.file);
        auto res = e2e::read_wav(dir + o.file);
        ASSERT_EQ(res.size(), 1u);
        ASSERT_EQ(res[0].size(), 119070u);
        double e = 0, d = 0;
        for (size_t i = 26460; i < 114660; i++) {
            e += (res[0][i] - dry[0][i]) * (double)(res[0][i] - dry[0][i]);
            d += dry[0][i] * (double)dry[0][i];
        }
        double db = 10 * std::log10(e / d);
        EXPECT_LT(db, -25);
        EXPECT_EQ(e2e::count_containing(r.console, o.line), 1) << r.console;
        auto pos = r.console.find(o.line);
        ASSERT_NE(pos, std::string::npos) << r.console;
        double printed = std::atof(r.console.c_str() + pos + std::strlen(o.line));
        EXPECT_NEAR(printed, db, 0.05);
    }
}
