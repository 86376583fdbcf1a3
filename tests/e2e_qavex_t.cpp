// The analysis object in the real host: loading, the report, messages with
// bad arguments, the path without a parameter record, the block-size check
// and the help patch.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) v.push_back(l);
    return v;
}

// Index of the first line equal to want at or after from, or -1.
int find_line(const std::vector<std::string> &v, const std::string &want, int from = 0)
{
    for (int i = from; i < (int)v.size(); i++)
        if (v[i] == want) return i;
    return -1;
}

}  // namespace

TEST(QavexTildeHost, LoadsAndPostsTheLoadedLine)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    p.obj("qavex_tilde");
    p.obj("qavex_tilde 3");  // the creation argument is accepted and ignored
    p.quit_after(10);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    auto v = lines_of(r.console);
    int n = 0;
    for (auto &l : v) n += l == "qavex_t external loaded!";
    EXPECT_EQ(n, 1) << r.console;
    EXPECT_EQ(r.console.find("couldn't create"), std::string::npos) << r.console;
    EXPECT_EQ(r.console.find("error"), std::string::npos) << r.console;
}

TEST(QavexTildeHost, BangPostsTheReport)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int obj = p.obj("qavex_tilde");
    int lb = p.obj("loadbang");
    int m = p.msg("set_var 0.5 \\, bang");
    p.connect(lb, 0, m, 0);
    p.connect(m, 0, obj, 0);
    p.quit_after(10);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    auto v = lines_of(r.console);
    // The report's first line begins with a line break.
    int h = find_line(v, "-----------------Qavex--------------:");
    ASSERT_GE(h, 1) << r.console;
    EXPECT_EQ(v[h - 1], "");
    ASSERT_LT(h + 4, (int)v.size()) << r.console;
    EXPECT_EQ(v[h + 1], "------------------Not important stuff");
    EXPECT_EQ(v[h + 2].rfind("Buildtime \t", 0), 0u) << v[h + 2];
    EXPECT_NE(v[h + 2].find("\t, \t"), std::string::npos) << v[h + 2];
    EXPECT_EQ(v[h + 3], "Multithreading: 1 thread");
    EXPECT_EQ(v[h + 4], "Var= \t0.500000");
    // No record has arrived: no computation variant.
    EXPECT_EQ(r.console.find("ComputeType"), std::string::npos) << r.console;
}

TEST(QavexTildeHost, BangCountIsSharedBetweenObjects)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int a = p.obj("qavex_tilde");
    int b = p.obj("qavex_tilde");
    int lb = p.obj("loadbang");
    int m = p.msg("bang \\, bang \\, bang \\, bang \\, bang \\, bang");
    p.connect(lb, 0, m, 0);
    p.connect(m, 0, a, 0);
    p.connect(m, 0, b, 0);
    p.quit_after(10);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    // Twelve bangs in all: the remark comes at counts 11 and 12.
    EXPECT_EQ(e2e::count_containing(r.console, "-----------------Qavex--------------:"), 12);
    EXPECT_EQ(e2e::count_containing(r.console, "Why are you banging me?"), 2) << r.console;
}

TEST(QavexTildeHost, BadArgumentsNeverStopTheHost)
{
    std::string dir = e2e::temp_dir();
    const std::vector<std::string> sels = {"set_compute_coefficients", "set_q_analyse_min", "set_q_analyse_sup",
                                           "set_var", "set_num_threads", "initialize",
                                           "round_up_to_multiple_of_small_primes",
                                           "set_soundbuffer_length_factor"};
    // "$1" comes from [expr]: NaN and both infinities.
    std::string literal, derived;
    for (auto &s : sels) {
        for (const char *v : {"", " foo", " -1", " -1e+30", " 1e+30", " 0.5", " 1 foo", " -3 -7", " 1e+30 2", " 1 2"})
            literal += s + v + " \\, ";
        derived += s + " \\$1 \\, " + s + " \\$1 \\$1 \\, ";
    }
    // A huge length factor only takes effect at "initialize", which comes
    // after it has been set back.
    literal += "set_soundbuffer_length_factor 0 \\, initialize \\, bang";
    derived += "set_soundbuffer_length_factor 0 \\, initialize \\, bang";
    e2e::Patch p;
    int obj = p.obj("qavex_tilde");
    int lb = p.obj("loadbang");
    int t = p.obj("t b b b b");
    int m1 = p.msg(literal);
    int nan = p.obj("expr sqrt(-1)");
    int pinf = p.obj("expr pow(10 \\, 40)");
    int ninf = p.obj("expr -pow(10 \\, 40)");
    int m2 = p.msg(derived);
    int done = p.obj("print done");
    p.connect(lb, 0, t, 0);
    p.connect(t, 3, m1, 0);
    p.connect(t, 2, nan, 0);
    p.connect(t, 1, pinf, 0);
    p.connect(t, 0, ninf, 0);
    p.connect(nan, 0, m2, 0);
    p.connect(pinf, 0, m2, 0);
    p.connect(ninf, 0, m2, 0);
    p.connect(m1, 0, obj, 0);
    p.connect(m2, 0, obj, 0);
    p.connect(ninf, 0, done, 0);
    p.quit_after(20);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(r.console.find("Assertion"), std::string::npos) << r.console;
    EXPECT_EQ(r.console.find("argument number out of range"), std::string::npos) << r.console;
    EXPECT_NE(r.console.find("done: -inf"), std::string::npos) << r.console;
    // Every round of messages ended in a report: one literal, three derived.
    EXPECT_EQ(e2e::count_containing(r.console, "-----------------Qavex--------------:"), 4) << r.console;
    // Refused rounding arguments are reported, valid ones answered.
    EXPECT_GT(e2e::count_containing(r.console, "round_up_to_multiple_of_small_primes"), 0);
    EXPECT_TRUE(e2e::has_line(r.console, "Nearest Number with small primes: 1")) << r.console;
}

TEST(QavexTildeHost, WithoutParameterRecordBothBusOutletsStayEmpty)
{
    // Until a designer feeds the parameter inlet there is no record: both
    // bus outlets carry empty blocks. The outlets are recorded into tables
    // and written synchronously with soundfiler.
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    int osc = p.obj("osc~ 441");
    int sig = p.obj("sig~ 1");
    int obj = p.obj("qavex_tilde");
    int tw[3];
    for (int c = 0; c < 3; c++) {
        p.obj("table qa" + std::to_string(c) + " 4096");
        tw[c] = p.obj("tabwrite~ qa" + std::to_string(c));
        p.connect(lb, 0, tw[c], 0);
    }
    int wdel = p.obj("del 120");
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav qa0 qa1 qa2");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, dsp, 0);
    p.connect(lb, 0, wdel, 0);
    p.connect(osc, 0, obj, 0);
    p.connect(obj, 0, tw[0], 0);
    p.connect(obj, 1, tw[1], 0);
    p.connect(sig, 0, tw[2], 0);
    p.connect(wdel, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(150);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(r.console.find("error"), std::string::npos) << r.console;
    auto wav = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(wav.size(), 3u);
    ASSERT_EQ(wav[0].size(), 4096u);
    for (size_t i = 0; i < wav[2].size(); i++) ASSERT_EQ(wav[2][i], 1.0f) << "recording missed frame " << i;
    for (int ch = 0; ch < 2; ch++)
        for (size_t i = 0; i < wav[ch].size(); i++) ASSERT_EQ(wav[ch][i], 0.0f) << ch << " " << i;
}

TEST(QavexTildeHost, FloatWithTagBitsOnTheParameterInletIsHarmless)
{
    // 51898494976 has the bits of the parameter tag; a float on the
    // unconnected parameter inlet fills the whole vector with them, so the
    // address words hold tag bits too.
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int obj = p.obj("qavex_tilde");
    int lb = p.obj("loadbang");
    int c = p.msg("51898494976");
    int dsp = p.msg("\\; pd dsp 1");
    int del = p.obj("del 30");
    int bang = p.msg("bang");
    p.connect(lb, 0, c, 0);
    p.connect(lb, 0, dsp, 0);
    p.connect(c, 0, obj, 1);
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, bang, 0);
    p.connect(bang, 0, obj, 0);
    p.quit_after(50);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "-----------------Qavex--------------:"), 1) << r.console;
    EXPECT_EQ(r.console.find("ComputeType"), std::string::npos) << r.console;
}

TEST(QavexTildeHost, DesignerChainPublishesCoefficientsAndForwardsTheRecord)
{
    // Designer -> analysis: once the windows exist, every block carries a
    // coefficient block and the forwarded parameter block, and the report
    // shows the designer's computation variant.
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int bank = p.obj("qbank_tilde");
    int setup = p.msg("set_compute_type 1 \\, initialize \\, make -1 \\, copy_pac2paf -1");
    int dsp = p.msg("\\; pd dsp 1");
    int osc = p.obj("osc~ 441");
    int obj = p.obj("qavex_tilde");
    int tw[2];
    for (int c = 0; c < 2; c++) {
        p.obj("table qc" + std::to_string(c) + " 4096");
        tw[c] = p.obj("tabwrite~ qc" + std::to_string(c));
    }
    int wdel = p.obj("del 200");
    int rec = p.msg("bang");
    int rdel = p.obj("del 200");
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav qc0 qc1");
    int sf = p.obj("soundfiler");
    int bang = p.msg("bang");
    p.connect(lb, 0, setup, 0);
    p.connect(setup, 0, bank, 0);
    p.connect(lb, 0, dsp, 0);
    p.connect(lb, 0, wdel, 0);
    p.connect(wdel, 0, rec, 0);
    p.connect(rec, 0, tw[0], 0);
    p.connect(rec, 0, tw[1], 0);
    p.connect(wdel, 0, rdel, 0);
    p.connect(rdel, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.connect(rdel, 0, bang, 0);
    p.connect(bang, 0, obj, 0);
    p.connect(bank, 0, obj, 1);
    p.connect(osc, 0, obj, 0);
    p.connect(obj, 0, tw[0], 0);
    p.connect(obj, 1, tw[1], 0);
    p.quit_after(500);
    auto r = e2e::run_pd(p, dir, 300);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "ComputeType: \t1")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
    auto wav = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(wav.size(), 2u);
    ASSERT_EQ(wav[0].size(), 4096u);
    float qavg, qavc;
    std::int32_t g = 0x51415647, c = 0x51415643;
    std::memcpy(&qavg, &g, 4);
    std::memcpy(&qavc, &c, 4);
    for (size_t b = 0; b < 4096 / 64; b++) {
        ASSERT_EQ(wav[0][64 * b], qavg) << "block " << b;
        ASSERT_EQ(wav[1][64 * b], qavc) << "block " << b;
    }
}

// Coefficients written by the file writer behind the analysis: time, band,
// real and imaginary part, window length per line.
struct Written {
    long time;
    int band;
    std::string re, im;
    int length;
};

std::vector<Written> read_coefficients(const std::string &path)
{
    std::vector<Written> v;
    std::istringstream in(e2e::read_file(path));
    Written w;
    while (in >> w.time >> w.band >> w.re >> w.im >> w.length) v.push_back(w);
    return v;
}

TEST(QavexTildeHost, ConstantInputGivesSteadyCoefficientsAtEachBandsHop)
{
    // Nothing on the audio inlet: the object analyses 0.5. Once the ring
    // holds a whole window of it, every coefficient of a band is the same,
    // and each band comes at a fixed spacing (its hop).
    std::string dir = e2e::temp_dir();
    auto run = [&](const std::string &extra) {
        e2e::Patch p;
        int lb = p.obj("loadbang");
        int t = p.obj("t b b b");
        int bank = p.obj("qbank_tilde");
        int setup = p.msg("initialize \\, make -1 \\, copy_pac2paf -1");
        int obj = p.obj("qavex_tilde");
        int dump = p.obj("qdump~ 0");
        int open = p.msg("open " + dir + "/c.txt");
        int dsp = p.msg("\\; pd dsp 1");
        int del = p.obj("del 1000");
        int close = p.msg("close");
        p.connect(lb, 0, t, 0);
        p.connect(t, 2, setup, 0);
        p.connect(setup, 0, bank, 0);
        p.connect(t, 1, open, 0);
        p.connect(open, 0, dump, 0);
        p.connect(t, 0, dsp, 0);
        p.connect(lb, 0, del, 0);
        p.connect(del, 0, close, 0);
        p.connect(close, 0, dump, 0);
        p.connect(bank, 0, obj, 1);
        p.connect(obj, 0, dump, 0);
        p.connect(obj, 1, dump, 1);
        if (!extra.empty()) {
            int m = p.msg(extra);
            p.connect(lb, 0, m, 0);
            p.connect(m, 0, obj, 0);
        }
        p.quit_after(1100);
        auto r = e2e::run_pd(p, dir, 300);
        EXPECT_EQ(r.status, 0) << r.console;
        EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
        return read_coefficients(dir + "/c.txt");
    };
    auto coeffs = run("");
    ASSERT_GT(coeffs.size(), 1000u);
    std::map<int, std::vector<const Written *>> by_band;
    int longest = 0;
    for (auto &c : coeffs) {
        by_band[c.band].push_back(&c);
        longest = std::max(longest, c.length);
    }
    EXPECT_GT(by_band.size(), 10u);
    for (auto &[band, list] : by_band) {
        // A fixed spacing between consecutive coefficients of the band (the
        // writer puts each list in reverse order).
        std::sort(list.begin(), list.end(), [](const Written *a, const Written *b) { return a->time < b->time; });
        ASSERT_GE(list.size(), 3u) << band;
        long hop = list[1]->time - list[0]->time;
        EXPECT_GT(hop, 0) << band;
        for (size_t i = 1; i < list.size(); i++) EXPECT_EQ(list[i]->time - list[i - 1]->time, hop) << band;
        // Steady values once a whole window of constant input is held.
        const Written *ref = nullptr;
        for (auto *c : list) {
            if (c->time < longest + 128) continue;
            if (!ref) ref = c;
            EXPECT_EQ(c->re, ref->re) << band << " at " << c->time;
            EXPECT_EQ(c->im, ref->im) << band << " at " << c->time;
        }
    }
    // Switched off: no coefficient reaches the file writer.
    EXPECT_TRUE(run("set_compute_coefficients 0").empty());
    // Only the bands asked for.
    auto some = run("set_q_analyse_min 3 \\, set_q_analyse_sup 5");
    ASSERT_FALSE(some.empty());
    for (auto &c : some) EXPECT_TRUE(c.band == 3 || c.band == 4) << c.band;
}

TEST(QavexTildeHost, OtherBlockSizeIsReported)
{
    std::string dir = e2e::temp_dir();
    // An abstraction running with 128-sample blocks.
    e2e::write_file(dir + "/blk128.pd",
                    "#N canvas 0 0 400 300 12;\n"
                    "#X obj 10 10 block~ 128;\n"
                    "#X obj 10 40 osc~ 100;\n"
                    "#X obj 10 70 qavex_tilde;\n"
                    "#X connect 1 0 2 0;\n");
    e2e::Patch p;
    p.obj("blk128");
    int lb = p.obj("loadbang");
    int m = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, m, 0);
    p.quit_after(20);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_GT(e2e::count_containing(r.console, "error: Fehler in qavex_t_perform - Blocksize falsch"), 0)
        << r.console;
}

