// The designer in the real host: the whole chain designer -> analysis ->
// synthesis with the dry signal lined up, generator and file writer behind
// a designer, the report and its counter, bad input, and the demo patch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "e2e_util.h"

namespace {

double power(const std::vector<float> &v, size_t from)
{
    double s = 0;
    for (size_t i = from; i < v.size(); i++) s += v[i] * (double)v[i];
    return s;
}

// A test signal through designer, analysis and synthesis; the dry signal
// through the delay fed with the synthesis' latency. Both are recorded for
// `samples` samples from the first block on; the first latency is printed
// as "latency-NAME: L".
struct RoundTrip {
    const char *name;
    std::string designer_msgs, signal;
    int samples;
    void (*check)(const std::vector<float> &res, const std::vector<float> &dry, const std::string &console);
};

const RoundTrip ROUND_TRIPS[] = {
    // Six times denser hops and three bands above the Nyquist band.
    {"dense", "set_C_d 6 \\, set_C_q 3 \\, initialize \\, make -1 \\, copy_pac2paf -1", "noise~", 44100,
     [](const std::vector<float> &res, const std::vector<float> &dry, const std::string &console) {
         EXPECT_TRUE(e2e::has_line(console, "latency-dense: 8777"));
         double err = e2e::error_db(res, dry, 20000);
         std::printf("round trip C_d 6, C_q 3, white noise: %.2f dB\n", err);
         EXPECT_LT(err, -25.0);
         EXPECT_NEAR(power(res, 20000) / power(dry, 20000), 1.0, 0.05);
     }},
    // The default bank is not transparent, but a 1 kHz tone comes back at
    // its place, with the phase of the dry tone.
    {"default", "make -1 \\, copy_pac2paf -1", "osc~ 1000", 30000,
     [](const std::vector<float> &res, const std::vector<float> &dry, const std::string &console) {
         EXPECT_TRUE(e2e::has_line(console, "latency-default: 8777"));
         double ratio = power(res, 20000) / power(dry, 20000);
         EXPECT_GT(ratio, 0.5);
         EXPECT_LT(ratio, 1.5);
         double corr = 0;
         for (size_t i = 20000; i < 30000; i++) corr += res[i] * (double)dry[i];
         EXPECT_GT(corr / std::sqrt(power(res, 20000) * power(dry, 20000)), 0.8);
     }},
    // A latency bound of 10 ms: the synthesis reports at most 441 samples
    // and the cut bank still gives the input back.
    {"bounded",
     "set_C_d 16 \\, set_C_q 2 \\, set_compute_type 1 \\, set_max_latency 10 \\, initialize \\, make -1 \\, "
     "shorten -1 \\, copy_pac2paf -1",
     "noise~", 8820,
     [](const std::vector<float> &res, const std::vector<float> &dry, const std::string &console) {
         const size_t at = console.find("latency-bounded: ");
         ASSERT_NE(at, std::string::npos) << console;
         const int lat = std::atoi(console.c_str() + at + 17);
         EXPECT_GT(lat, 0);
         EXPECT_LE(lat, 441);
         double err = e2e::error_db(res, dry, 2000);
         std::printf("round trip C_d 16, C_q 2, compute type 1, 10 ms bound, own windows: %.2f dB\n", err);
         EXPECT_LT(err, -15.0);
     }},
    // Without windows the chain is silent and sends no latency.
    {"empty", "initialize", "noise~", 4410,
     [](const std::vector<float> &res, const std::vector<float> &, const std::string &console) {
         for (float f : res) ASSERT_EQ(f, 0.0f);
         EXPECT_EQ(e2e::count_containing(console, "latency-empty"), 0);
     }},
};

// A default designer whose float window of band q fills table "win".
int designer_listing_window(e2e::Patch &p, int q, int samples)
{
    int bank = p.designer("make -1 \\, copy_pac2paf -1 \\, paf2list " + std::to_string(q));
    p.obj("table win " + std::to_string(samples));
    p.connect(bank, 1, p.obj("array set win"), 0);
    return bank;
}

// Turns DSP on and runs the patch, recording src for `samples` samples
// from the first block; returns the run, the recording and table "win".
std::tuple<e2e::Run, std::vector<float>, std::vector<float>> run_with_window(e2e::Patch &p, e2e::Out src, int samples,
                                                                             double write_ms)
{
    p.dsp_on();
    auto wav = p.record({src}, samples, 0, write_ms, "out.wav", " win");
    auto r = p.run(write_ms + 50);
    auto ch = e2e::read_wav(wav, 2);
    return {r, ch[0], ch[1]};
}

}  // namespace

// Every case in one patch, each with its own designer.
TEST(QbankHost, RoundTripsThroughTheChain)
{
    e2e::Patch p;
    std::vector<std::string> wavs;
    double end = 0;
    for (const RoundTrip &c : ROUND_TRIPS) {
        int sig = p.obj(c.signal);
        e2e::Chain chain = p.chain(sig, p.designer(c.designer_msgs));
        int lag = p.lag(sig, chain.syn);
        int once = p.obj("spigot 1"), off = p.msg("0");
        p.connect(chain.syn, 1, once, 0);
        p.connect(once, 0, p.obj(std::string("print latency-") + c.name), 0);
        p.connect(once, 0, off, 0);
        p.connect(off, 0, once, 1);
        wavs.push_back(p.record({chain.syn, lag}, c.samples, 0, -1, std::string(c.name) + ".wav"));
        end = std::max(end, c.samples / 44.1 + 40);
    }
    p.dsp_on();
    auto r = p.run(end);
    for (size_t k = 0; k < wavs.size(); k++) {
        const RoundTrip &c = ROUND_TRIPS[k];
        SCOPED_TRACE(c.name);
        auto ch = e2e::read_wav(wavs[k], 2, c.samples);
        c.check(ch[0], ch[1], r.console);
    }
}

TEST(QbankHost, GeneratedCoefficientGivesItsWindow)
{
    // One coefficient 0.5 at sample 5 of the first block, band 16; the
    // synthesis puts 0.5 * w[m] at sample 5 + m (full-length windows).
    e2e::Patch p;
    int bank = designer_listing_window(p, 16, 9000);
    int gen = p.generator(bank);
    int syn = p.synthesis(gen, e2e::Out(gen, 1));
    p.at(0, "emit 5 0.5 0 16", gen);
    auto [r, rec, win] = run_with_window(p, syn, 9000, 400);
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
    e2e::Patch p;
    int sig = p.obj("osc~ 2");
    int bank = designer_listing_window(p, 0, 30000);
    int ana = p.analysis(sig, bank);
    p.at(0, "set_q_analyse_sup 1", ana);
    const std::string file = p.dir() + "/coeffs.txt";
    p.writer(ana, e2e::Out(ana, 1), file, 700, "qdump~ 0");
    auto [r, x, w] = run_with_window(p, sig, 30000, 700);
    int lines = 0;
    for (const e2e::Coefficient &c : e2e::read_coefficients(file)) {
        SCOPED_TRACE(c.time);
        EXPECT_EQ(c.band, 0);
        EXPECT_EQ(c.length, 8778);
        EXPECT_EQ((c.time + 1) % 2925, 0);
        if (c.time >= 30000) continue;
        double s = 0;
        for (int k = 0; k < 8778; k++) {
            long i = c.time - 8778 + 1 + k;
            if (i >= 0) s += x[i] * (double)w[k];
        }
        EXPECT_NEAR(c.re, s / 44100, 1e-6 * std::fabs(s / 44100) + 1e-9);
        EXPECT_NEAR(c.im, 0, 1e-6 * std::fabs(c.re) + 1e-9);
        lines++;
    }
    // 700 ms: samples 0..30869 at hop 2925 give 10 coefficients below 30000.
    EXPECT_GE(lines, 10) << r.console;
}

TEST(QbankHost, BangCounterLines)
{
    e2e::Patch p;
    int bank = p.obj("qbank_tilde");
    p.obj("qbank_tilde");
    int u = p.obj("until");
    p.connect(u, 0, bank, 0);
    p.at(0, "32", u);
    auto r = p.run(10);
    const std::vector<std::pair<std::string, int>> remarks = {{"Why are you banging me?", 9},
                                                              {"I don't like being banged!", 5},
                                                              {"WHY ARE YOU BANGING ME?", 3},
                                                              {"kriblo is the best!", 2}};
    EXPECT_TRUE(e2e::counts(r.console, remarks));
    EXPECT_EQ(e2e::count_containing(r.console, "-----------------Qavex--------------:"), 32);
    // The 11th report is the first with a remark, right before its header.
    auto v = e2e::lines_of(r.console);
    int reports = 0;
    for (size_t i = 0; i < v.size(); i++) {
        if (v[i] != "-----------------Qavex--------------:") continue;
        reports++;
        bool remark =
            i >= 2 && std::any_of(remarks.begin(), remarks.end(), [&](const auto &m) { return v[i - 2] == m.first; });
        bool want = (reports >= 11 && reports <= 19) || (reports >= 21 && reports <= 25) ||
                    (reports >= 27 && reports <= 29) || reports >= 31;
        EXPECT_EQ(remark, want) << reports;
    }
}

TEST(QbankHost, BadInputNeverStopsTheHost)
{
    e2e::Patch p;
    const std::string dir = p.dir();
    e2e::write_file(dir + "/garbage.txt", "this is not a thetadata file\n\x01\x02\xff");
    std::string sels[] = {"make",
                          "shorten",
                          "test",
                          "copy_pac2paf",
                          "copy_paf2pac",
                          "paf2list",
                          "send_windows",
                          "set_window_type",
                          "set_theta_type",
                          "set_C_b",
                          "set_C_T_c",
                          "set_T_max",
                          "set_C_d",
                          "set_C_q",
                          "set_C_SR",
                          "set_K",
                          "set_compute_type",
                          "set_thetaf0",
                          "set_thetak",
                          "set_C_cut",
                          "set_var",
                          "set_winlength_window",
                          "set_winlength_compute",
                          "set_a",
                          "set_b",
                          "get_first_zero_paf",
                          "get_window_length_paf",
                          "get_window_length_pac",
                          "print_first_and_last_value",
                          "print_band",
                          "initialize"};
    // Every selector with no, symbolic, negative, huge and too many arguments.
    std::string all;
    for (auto &s : sels)
        for (const char *args : {"", " foo", " -1", " -1e+30", " 1e+30", " 1e+39", " 3 4 5 6 7 8"})
            all += s + args + " \\, ";
    all += "make 0";
    int bank = p.designer(all);
    p.connect(bank, 1, p.obj("print out"), 0);
    // Not-a-number arguments reach the object through expr: each selector
    // is prepended to NaN.
    int nan = p.obj("expr sqrt(-1)");
    int seq = p.obj("list prepend");
    int trim = p.obj("list trim");
    int rev = p.obj("t b a");
    p.at(0,
         "make \\, shorten \\, copy_pac2paf \\, print_band \\, set_C_b \\, set_C_d \\, set_K "
         "\\, set_T_max \\, set_C_SR \\, set_C_cut \\, set_b \\, initialize \\, make",
         rev);
    p.connect(rev, 1, seq, 1);
    p.connect(rev, 0, nan, 0);
    p.connect(nan, 0, seq, 0);
    p.connect(seq, 0, trim, 0);
    p.connect(trim, 0, bank, 0);
    // Thetadata files that are a directory and garbage.
    p.at(0,
         "set_theta_type 0 " + dir + " \\, initialize \\, set_theta_type 0 " + dir +
             "/garbage.txt \\, initialize \\, set_theta_type 0 \\, initialize",
         bank);
    p.at(0,
         "set_theta_type 4 \\, set_C_b 2 \\, set_C_T_c 3 \\, set_T_max 10 \\, set_C_d 2 \\, set_C_q 0 "
         "\\, set_C_SR 1 \\, set_K 1 \\, set_compute_type 0 \\, set_thetaf0 12 \\, set_thetak 36 \\, "
         "set_C_cut 100000 \\, set_window_type 7 \\, initialize \\, make -1 \\, copy_pac2paf -1 \\, "
         "test 1 \\, bang",
         bank);
    p.dsp_on();
    auto r = p.run(200);
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
    auto dry = e2e::read_wav(dir + "/out/dry.wav", 1, 119070u);
    // Each printed error is the one of its written file.
    const struct {
        const char *file, *line;
    } outputs[] = {
        {"/out/resynth.wav", "demo: round-trip error in dB (0.6 s .. 2.6 s): "},
        {"/out/resynth_dual.wav", "demo: round-trip error with dual windows in dB (0.6 s .. 2.6 s): "},
    };
    for (const auto &o : outputs) {
        SCOPED_TRACE(o.file);
        auto res = e2e::read_wav(dir + o.file, 1, 119070u);
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
