// The analysis object in the real host: loading, the report, messages with
// bad arguments, the path without a parameter record, the coefficients
// behind a designer and the block-size check (tag-bit floats and the help
// patch: e2e_library.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

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
    e2e::Patch p;
    p.obj("qavex_tilde");
    p.obj("qavex_tilde 3");  // the creation argument is accepted and ignored
    auto r = p.run(10);
    auto v = e2e::lines_of(r.console);
    EXPECT_EQ(std::count(v.begin(), v.end(), "qavex_t external loaded!"), 1) << r.console;
    EXPECT_EQ(r.console.find("couldn't create"), std::string::npos) << r.console;
    EXPECT_EQ(r.console.find("error"), std::string::npos) << r.console;
}

TEST(QavexTildeHost, BangPostsTheReport)
{
    e2e::Patch p;
    p.at(0, "set_var 0.5 \\, bang", p.obj("qavex_tilde"));
    auto r = p.run(10);
    auto v = e2e::lines_of(r.console);
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
    e2e::Patch p;
    int a = p.obj("qavex_tilde");
    p.connect(p.at(0, "bang \\, bang \\, bang \\, bang \\, bang \\, bang", a), 0, p.obj("qavex_tilde"), 0);
    auto r = p.run(10);
    // Twelve bangs in all: the remark comes at counts 11 and 12.
    EXPECT_TRUE(
        e2e::counts(r.console, {{"-----------------Qavex--------------:", 12}, {"Why are you banging me?", 2}}));
}

TEST(QavexTildeHost, BadArgumentsNeverStopTheHost)
{
    const std::vector<std::string> sels = {"set_compute_coefficients",
                                           "set_q_analyse_min",
                                           "set_q_analyse_sup",
                                           "set_var",
                                           "set_num_threads",
                                           "initialize",
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
    p.at(0, literal, obj);
    int m2 = p.msg(derived);
    p.connect(m2, 0, obj, 0);
    for (const char *e : {"expr sqrt(-1)", "expr pow(10 \\, 40)", "expr -pow(10 \\, 40)"}) {
        int x = p.obj(e);
        p.connect(p.loadbang(), 0, x, 0);
        p.connect(x, 0, m2, 0);
        if (e[5] == '-') p.connect(x, 0, p.obj("print done"), 0);
    }
    auto r = p.run(20);
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
    // bus outlets carry empty blocks.
    e2e::Patch p;
    int obj = p.obj("qavex_tilde");
    p.connect(p.obj("osc~ 441"), 0, obj, 0);
    p.dsp_on();
    auto wav = p.record({obj, e2e::Out(obj, 1), p.obj("sig~ 1")}, 4096, 0, 120);
    auto r = p.run(150);
    EXPECT_EQ(r.console.find("error"), std::string::npos) << r.console;
    auto ch = e2e::read_wav(wav, 3, 4096u);
    for (size_t i = 0; i < ch[2].size(); i++) ASSERT_EQ(ch[2][i], 1.0f) << "recording missed frame " << i;
    for (int c = 0; c < 2; c++)
        for (size_t i = 0; i < ch[c].size(); i++) ASSERT_EQ(ch[c][i], 0.0f) << c << " " << i;
}

TEST(QavexTildeHost, DesignerChainPublishesCoefficientsAndForwardsTheRecord)
{
    // Designer -> analysis: once the windows exist, every block carries a
    // coefficient block and the forwarded parameter block, and the report
    // shows the designer's computation variant.
    e2e::Patch p;
    int bank = p.designer("set_compute_type 1 \\, initialize \\, make -1 \\, copy_pac2paf -1");
    p.dsp_on();
    int ana = p.analysis(p.obj("osc~ 441"), bank);
    auto wav = p.record({ana, e2e::Out(ana, 1)}, 4096, 200, 400);
    p.at(400, "bang", ana);
    auto r = p.run(500);
    EXPECT_TRUE(e2e::has_line(r.console, "ComputeType: \t1")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
    auto ch = e2e::read_wav(wav, 2, 4096u);
    float qavg, qavc;
    std::int32_t g = 0x51415647, c = 0x51415643;
    std::memcpy(&qavg, &g, 4);
    std::memcpy(&qavc, &c, 4);
    for (size_t b = 0; b < 4096 / 64; b++) {
        ASSERT_EQ(ch[0][64 * b], qavg) << "block " << b;
        ASSERT_EQ(ch[1][64 * b], qavc) << "block " << b;
    }
}

TEST(QavexTildeHost, ConstantInputGivesSteadyCoefficientsAtEachBandsHop)
{
    // Nothing on the audio inlet: the object analyses 0.5. Once the ring
    // holds a whole window of it, every coefficient of a band is the same,
    // and each band comes at a fixed spacing (its hop).
    auto run = [&](const std::string &extra) {
        e2e::Patch p;
        int bank = p.designer("initialize \\, make -1 \\, copy_pac2paf -1");
        int ana = p.analysis(-1, bank);
        const std::string file = p.dir() + "/c.txt";
        p.writer(ana, e2e::Out(ana, 1), file, 1000, "qdump~ 0");
        p.dsp_on();
        if (!extra.empty()) p.at(0, extra, ana);
        auto r = p.run(1100);
        EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
        return e2e::read_coefficients(file);
    };
    auto coeffs = run("");
    ASSERT_GT(coeffs.size(), 1000u);
    std::map<int, std::vector<const e2e::Coefficient *>> by_band;
    long longest = 0;
    for (auto &c : coeffs) {
        by_band[c.band].push_back(&c);
        longest = std::max(longest, c.length);
    }
    EXPECT_GT(by_band.size(), 10u);
    for (auto &[band, list] : by_band) {
        // A fixed spacing between consecutive coefficients of the band (the
        // writer puts each list in reverse order).
        std::sort(list.begin(), list.end(),
                  [](const e2e::Coefficient *a, const e2e::Coefficient *b) { return a->time < b->time; });
        ASSERT_GE(list.size(), 3u) << band;
        long hop = list[1]->time - list[0]->time;
        EXPECT_GT(hop, 0) << band;
        for (size_t i = 1; i < list.size(); i++) EXPECT_EQ(list[i]->time - list[i - 1]->time, hop) << band;
        // Steady values once a whole window of constant input is held.
        const e2e::Coefficient *ref = nullptr;
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
    // A subpatch running with 128-sample blocks.
    e2e::Patch sub;
    sub.obj("block~ 128");
    sub.connect(sub.obj("osc~ 100"), 0, sub.obj("qavex_tilde"), 0);
    e2e::Patch p;
    p.sub("blk128", sub);
    p.dsp_on();
    auto r = p.run(20);
    EXPECT_GT(e2e::count_containing(r.console, "error: Fehler in qavex_t_perform - Blocksize falsch"), 0) << r.console;
}
