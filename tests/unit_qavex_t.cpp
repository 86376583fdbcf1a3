// Analysis object: ring, coefficient computation, lists, slices, messages,
// failure paths and the report.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "bank_fixture.h"

namespace {

// ------------------------------------------------------------ allocation count
std::map<void *, std::size_t> g_live;
std::size_t g_requested = 0;  // bytes asked of qavex_t_malloc0
void *counting_malloc(std::size_t n)
{
    void *p = std::malloc(n);
    if (p) {
        g_live[p] = n;
        g_requested += n - 192;
    }
    return p;
}
void counting_free(void *p)
{
    g_live.erase(p);
    std::free(p);
}
struct CountAllocations {
    CountAllocations()
    {
        g_live.clear();
        g_requested = 0;
        qavex_t_raw_malloc = counting_malloc;
        qavex_t_raw_free = counting_free;
    }
    ~CountAllocations()
    {
        qavex_t_raw_malloc = std::malloc;
        qavex_t_raw_free = std::free;
    }
};

// ------------------------------------------------------------ hand-made bank
// Bands are {window length, hop}; the compute type is 7 unless given.
struct Bank : HandBank {
    Bank(const std::vector<std::pair<int, int>> &bands, unsigned series = 1, int compute_type = 7)
        : HandBank(bands, series)
    {
        p.iComputeType = compute_type;
    }
};

bool is_empty_block(const std::vector<t_sample> &v)
{
    for (auto s : v)
        if (find_int_at_address(&s) != 0) return false;
    return true;
}

// The coefficient straight from the definition: newest sample at history
// index t against the last window element, older samples against earlier
// elements, samples before the history count as silence.
void direct(const std::vector<float> &h, long t, const paf_type *wr, const paf_type *wi, int L, double &re, double &im)
{
    double ar = 0.0, ai = 0.0;
    for (int m = 0; m < L; m++) {
        long k = t - m;
        double x = k >= 0 ? (double)h[(size_t)k] : 0.0;
        ar = ar + x * (double)wr[L - 1 - m];
        ai = ai + x * (double)wi[L - 1 - m];
    }
    re = (double)((long double)ar / 44100.0L);
    im = (double)((long double)-ai / 44100.0L);
}

// The same inner product in extended precision throughout: guards the
// meaning (orientation, conjugate, scale) independently of rounding.
void direct_ld(const std::vector<float> &h, long t, const paf_type *wr, const paf_type *wi, int L, long double &re,
               long double &im)
{
    long double ar = 0, ai = 0;
    for (int m = 0; m < L; m++) {
        long k = t - m;
        long double x = k >= 0 ? h[(size_t)k] : 0.0L;
        ar += x * wr[L - 1 - m];
        ai -= x * wi[L - 1 - m];
    }
    re = ar / 44100.0L;
    im = ai / 44100.0L;
}

class QavexT : public HostTest<qavex_t_setup> {};

}  // namespace

// ------------------------------------------------------------ registration
TEST_F(QavexT, RegistersClassWithInletsOutletsAndDsp)
{
    const auto &loaded = stub::load(qavex_t_setup);
    EXPECT_TRUE(std::any_of(loaded.begin(), loaded.end(),
                            [](const stub::Line &l) { return !l.error && l.text == "qavex_t external loaded!"; }));
    ASSERT_NE(stub::find_class("qavex_tilde"), nullptr);
    Analyser a;
    auto ins = stub::inlets_of(&a.x->x_obj);
    ASSERT_EQ(ins.size(), 1u);  // the left inlet belongs to the object itself
    EXPECT_TRUE(ins[0].is_signal);
    auto outs = stub::outlets_of(&a.x->x_obj);
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_TRUE(stub::outlet_is_signal(outs[0]));
    EXPECT_TRUE(stub::outlet_is_signal(outs[1]));
    EXPECT_FALSE(stub::outlet_is_signal(outs[2]));
    EXPECT_EQ(stub::main_signal_scalar(a.pd), &a.x->fConstSignal);
    // dsp_add: object, audio in, parameter in, coefficient out, parameter out, n.
    ASSERT_EQ(a.call.args.size(), 6u);
    EXPECT_EQ(a.call.args[0], (t_int)a.x);
    EXPECT_EQ(a.call.args[1], (t_int)a.in.data());
    EXPECT_EQ(a.call.args[2], (t_int)a.inC.data());
    EXPECT_EQ(a.call.args[3], (t_int)a.outG.data());
    EXPECT_EQ(a.call.args[4], (t_int)a.outC.data());
    EXPECT_EQ(a.call.args[5], 64);
    for (const char *sel :
         {"set_compute_coefficients", "set_soundbuffer_length_factor", "set_q_analyse_min", "set_q_analyse_sup",
          "initialize", "set_var", "set_num_threads", "round_up_to_multiple_of_small_primes"})
        EXPECT_TRUE(stub::send(a.pd, sel, {stub::fa(1), stub::fa(2)})) << sel;
    // Nothing is ever sent on the message outlet.
    EXPECT_TRUE(stub::events_of(outs[2]).empty());
}

TEST_F(QavexT, StartValuesAfterCreation)
{
    Analyser a;
    EXPECT_FLOAT_EQ(a.x->fConstSignal, 0.5f);
    EXPECT_EQ(a.x->psParam, nullptr);
    EXPECT_EQ(a.x->iq_analyse_min, 0);
    EXPECT_EQ(a.x->iq_analyse_sup, 98765);
    EXPECT_EQ(a.x->iLongestFrame, 80000);
    EXPECT_EQ(a.x->q_sup, 2000);
    EXPECT_FLOAT_EQ(a.x->var, 1.0f);
    EXPECT_EQ(a.x->sSound.iLength, 192000);
    EXPECT_EQ(a.x->sSound.iLengthTemp, 192000);
    EXPECT_EQ(a.x->sSound.counter, 0);
    EXPECT_EQ(a.x->sSound.ring.pC, a.x->sSound.ring.pA);
    EXPECT_EQ(a.x->sSound.ring.pE, a.x->sSound.ring.pA + 192000);
    for (int i = 0; i < 192000; i++) ASSERT_EQ(a.x->sSound.ring.pA[i], 0.0f) << i;
    EXPECT_EQ(a.x->iComputeCoefficients, 1);
    EXPECT_EQ(a.x->num_threads, 4);
    EXPECT_EQ(a.x->iThreadCount, 0);
    ASSERT_NE(a.x->pawc, nullptr);
    for (int i = 0; i < 64; i++) {
        ASSERT_NE(a.x->pawp[i], nullptr);
        EXPECT_EQ(a.x->pawp[i]->psW, a.x);
        EXPECT_EQ(a.x->pawp[i]->itcBin, i);
        ASSERT_NE(a.x->pawc[i], nullptr);
        EXPECT_EQ(a.x->pawc[i][0].numCoeff, 0);
    }
    // No sample-rate complaint at 44100.
    EXPECT_EQ(stub::console_text().find("falsch"), std::string::npos);
}

TEST_F(QavexT, FreshObjectMemoryIsSizedToItsSlices)
{
    CountAllocations count;
    std::size_t bytes;
    {
        Analyser a;
        bytes = g_requested;
        // Four published lists of 16 positions x 2000 bands, the rest one entry.
        for (int i = 0; i < 64; i++) EXPECT_EQ(a.x->aiListCapacity[i], i < 4 ? 16 * 2000 : 1) << i;
        std::size_t lists = 4 * 16 * 2000 * sizeof(sQavex_Coeff) + 60 * sizeof(sQavex_Coeff);
        std::size_t expected =
            lists + 64 * sizeof(sQavex_Coeff *) + 64 * sizeof(sthread_qavex_param) + 192000 * sizeof(t_sample);
        EXPECT_EQ(bytes, expected);
        EXPECT_LT(bytes, 8u << 20);
    }
    std::printf("fresh qavex_tilde: %zu bytes requested from qavex_t_malloc0\n", bytes);
    // Deletion returns every block.
    EXPECT_TRUE(g_live.empty()) << g_live.size() << " blocks still live";
}

// ------------------------------------------------------------ computation
TEST_F(QavexT, HopOneYieldsEveryPositionAndHop64OnlyPosition63)
{
    Bank bank({{40, 1}, {50, 64}});
    Analyser a;
    std::mt19937 rng(3);
    for (int b = 0; b < 3; b++) {
        a.block(uniform_noise(rng, 64), &bank.p);
        auto c = a.coefficients();
        int ones = 0, sixtyfours = 0;
        for (auto &e : c) {
            if (e.band == 0) ones++;
            if (e.band == 1) {
                sixtyfours++;
                EXPECT_EQ(e.start, 63);
            }
        }
        EXPECT_EQ(ones, 64);
        EXPECT_EQ(sixtyfours, 1);
        EXPECT_EQ(a.x->sSound.counter, 64 * (b + 1));
    }
}

TEST_F(QavexT, HopPhaseFollowsTheCounterAcrossBlocks)
{
    Bank bank({{10, 3}, {10, 100}});
    Analyser a;
    std::vector<float> zeros(64, 0.0f);
    for (int b = 0; b < 5; b++) {
        std::int32_t C = a.x->sSound.counter;
        a.block(zeros, &bank.p);
        std::set<std::pair<int, int>> got, want;
        for (auto &e : a.coefficients()) got.insert({e.start, e.band});
        for (int j = 0; j < 64; j++) {
            if ((C + j + 1) % 3 == 0) want.insert({j, 0});
            if ((C + j + 1) % 100 == 0) want.insert({j, 1});
        }
        EXPECT_EQ(got, want) << "block " << b;
    }
    // Invalid blocks do not advance the counter.
    std::int32_t C = a.x->sSound.counter;
    a.block(zeros, nullptr);
    EXPECT_EQ(a.x->sSound.counter, C);
}

TEST_F(QavexT, CoefficientsEqualTheDirectInnerProduct)
{
    Bank bank({{1, 1}, {37, 2}, {64, 5}, {300, 7}, {1000, 64}, {2048, 13}, {500, 2}, {600, 2}, {0, 2}}, 11);
    Analyser a;
    std::mt19937 rng(5);
    for (int b = 0; b < 40; b++) {
        a.block(uniform_noise(rng, 64), &bank.p);
        long base = (long)a.history.size() - 64;
        auto c = a.coefficients();
        ASSERT_FALSE(c.empty());
        for (auto &e : c) {
            double re, im;
            int L = bank.length(e.band);
            direct(a.history, base + e.start, bank.r[e.band], bank.i[e.band], L, re, im);
            ASSERT_EQ(e.re, re) << "block " << b << " band " << e.band << " start " << e.start;
            ASSERT_EQ(e.im, im) << "block " << b << " band " << e.band << " start " << e.start;
            long double lre, lim;
            direct_ld(a.history, base + e.start, bank.r[e.band], bank.i[e.band], L, lre, lim);
            ASSERT_NEAR(e.re, (double)lre, 1e-12);
            ASSERT_NEAR(e.im, (double)lim, 1e-12);
        }
    }
}

TEST_F(QavexT, KnownValuesFromConstantInputAndWindows)
{
    // Input 0.5, window re = 1, im = 0.25 over L = 100 samples: sums 50 and
    // -12.5, exactly representable.
    Bank bank({{100, 64}});
    for (int k = 0; k < 100; k++) {
        bank.r[0][k] = 1.0f;
        bank.i[0][k] = 0.25f;
    }
    Analyser a;
    a.block(std::vector<float>(64, 0.5f), &bank.p);
    a.block(std::vector<float>(64, 0.5f), &bank.p);
    auto c = a.coefficients();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].re, (double)(50.0L / 44100.0L));
    EXPECT_EQ(c[0].im, (double)(-12.5L / 44100.0L));
    // The newest sample meets the last window element: a ramp window
    // w[k] = k against a single impulse at the newest position.
    Bank ramp({{64, 64}});
    for (int k = 0; k < 64; k++) {
        ramp.r[0][k] = (float)k;
        ramp.i[0][k] = 0.0f;
    }
    std::vector<float> impulse(64, 0.0f);
    impulse[63] = 1.0f;
    a.block(impulse, &ramp.p);
    c = a.coefficients();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].re, (double)(63.0L / 44100.0L));
    EXPECT_EQ(c[0].im, 0.0);
    impulse[63] = 0.0f;
    impulse[0] = 1.0f;  // 63 samples older: meets element 0
    a.block(impulse, &ramp.p);
    c = a.coefficients();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].re, 0.0);
}

TEST_F(QavexT, WindowReachingPastTheRingStartWraps)
{
    // Factor 2 asks for 128 samples; the ring is raised to hold the longest
    // frame (80000 -> 80064 samples).
    Analyser a;
    a.send("set_soundbuffer_length_factor", {stub::fa(2)});
    EXPECT_EQ(a.x->sSound.iLengthTemp, 128);
    a.send("initialize", {stub::fa(0)});
    ASSERT_EQ(a.x->sSound.iLength, 80064);
    const int ring_blocks = 80064 / 64;
    // Bands falling due together (equal hops) with different lengths, and
    // lone ones.
    Bank bank({{300, 1}, {5000, 17}, {64, 64}, {700, 4}, {900, 4}, {1100, 4}, {1300, 4}, {100, 4}, {3000, 8}}, 21);
    std::mt19937 rng(9);
    // Fill the ring without parameters (it records anyway), then analyse
    // the blocks that straddle its start.
    a.history.clear();
    for (int b = 0; b < ring_blocks - 2; b++) a.block(uniform_noise(rng, 64), nullptr);
    int checked_wrapped = 0;
    for (int b = 0; b < 6; b++) {
        a.block(uniform_noise(rng, 64), &bank.p);
        long base = (long)a.history.size() - 64;
        long ring_pos = a.x->sSound.ring.pC - a.x->sSound.ring.pA;
        for (auto &e : a.coefficients()) {
            int L = bank.length(e.band);
            double re, im;
            direct(a.history, base + e.start, bank.r[e.band], bank.i[e.band], L, re, im);
            ASSERT_EQ(e.re, re) << b << " " << e.band << " " << e.start;
            ASSERT_EQ(e.im, im) << b << " " << e.band << " " << e.start;
            if (ring_pos + e.start - (L - 1) < 0) checked_wrapped++;
        }
    }
    EXPECT_GT(checked_wrapped, 100);
}

TEST_F(QavexT, ListsAreOrderedByStartThenBand)
{
    Bank bank({{20, 2}, {20, 3}, {0, 1}, {20, 1}, {20, 8}}, 2);
    Analyser a;
    std::vector<float> zeros(64, 0.0f);
    for (int b = 0; b < 3; b++) {
        std::int32_t C = a.x->sSound.counter;
        a.block(zeros, &bank.p);
        sQavex_CoeffIn c = qavex_t_read_coeff_block(a.outG.data());
        ASSERT_EQ(c.tag, QAVG_TAG);
        ASSERT_EQ(c.n, 4);
        ASSERT_EQ(c.lists, a.x->pawc);
        std::vector<std::pair<int, int>> got, want;
        for (int k = 0; k < c.n; k++) {
            const sQavex_Coeff *l = c.lists[k];
            for (int n = 0; n < l[0].numCoeff; n++) {
                got.push_back({l[n].start, l[n].band});
                EXPECT_GE(l[n].start, 16 * k);
                EXPECT_LT(l[n].start, 16 * (k + 1));
            }
        }
        for (int j = 0; j < 64; j++)
            for (int q = 0; q < 5; q++)
                if (q != 2 && (C + j + 1) % bank.hops[q] == 0) want.push_back({j, q});
        EXPECT_EQ(got, want);
    }
}

TEST_F(QavexT, SliceLayouts)
{
    Analyser a;
    auto bounds = [&](int i) { return std::make_pair(a.x->pawp[i]->iMin, a.x->pawp[i]->iSup); };
    a.send("set_num_threads", {stub::fa(3)});
    EXPECT_EQ(a.x->num_threads, 3);
    EXPECT_EQ(bounds(0), std::make_pair(0, 21));
    EXPECT_EQ(bounds(1), std::make_pair(21, 42));
    EXPECT_EQ(bounds(2), std::make_pair(42, 64));
    for (int i = 0; i < 3; i++) EXPECT_EQ(a.x->aiListCapacity[i], (bounds(i).second - bounds(i).first) * 2000);
    for (int i = 3; i < 64; i++) {
        EXPECT_EQ(a.x->aiListCapacity[i], 1);
        EXPECT_EQ(a.x->pawc[i][0].numCoeff, 0);
    }
    a.send("set_num_threads", {stub::fa(7)});
    std::int32_t prev = 0;
    for (int i = 0; i < 7; i++) {
        EXPECT_EQ(bounds(i).first, prev);
        EXPECT_EQ(bounds(i).first, 64 * i / 7);
        prev = bounds(i).second;
    }
    EXPECT_EQ(prev, 64);
    a.send("set_num_threads", {stub::fa(0)});
    EXPECT_EQ(a.x->num_threads, 1);
    EXPECT_EQ(bounds(0), std::make_pair(0, 64));
    EXPECT_EQ(a.x->aiListCapacity[0], 64 * 2000);
    a.send("set_num_threads", {stub::fa(1000)});
    EXPECT_EQ(a.x->num_threads, 64);
    for (int i = 0; i < 64; i++) EXPECT_EQ(bounds(i), std::make_pair(i, i + 1));
    a.send("set_num_threads", {stub::fa(2.9)});
    EXPECT_EQ(a.x->num_threads, 2);
    a.send("set_num_threads", {stub::fa(NAN)});
    EXPECT_EQ(a.x->num_threads, 1);
    a.send("set_num_threads", {stub::fa(-5)});
    EXPECT_EQ(a.x->num_threads, 1);
    a.send("set_num_threads", {stub::fa(INFINITY)});
    EXPECT_EQ(a.x->num_threads, 64);
}

TEST_F(QavexT, EveryThreadCountGivesTheSameCoefficients)
{
    Bank bank({{30, 1}, {200, 3}, {100, 16}}, 4);
    std::vector<std::vector<Coeff>> results;
    for (int nt : {1, 3, 4, 64}) {
        Analyser a;
        a.send("set_num_threads", {stub::fa(nt)});
        std::mt19937 rng(8);
        std::vector<Coeff> all;
        for (int b = 0; b < 4; b++) {
            a.block(uniform_noise(rng, 64), &bank.p);
            EXPECT_EQ(qavex_t_read_coeff_block(a.outG.data()).n, nt);
            // Each list holds only its slice's positions.
            sQavex_CoeffIn c = qavex_t_read_coeff_block(a.outG.data());
            for (int k = 0; k < nt; k++)
                for (int n = 0; n < c.lists[k][0].numCoeff; n++) {
                    EXPECT_GE(c.lists[k][n].start, a.x->pawp[k]->iMin);
                    EXPECT_LT(c.lists[k][n].start, a.x->pawp[k]->iSup);
                }
            auto v = a.coefficients();
            all.insert(all.end(), v.begin(), v.end());
        }
        results.push_back(all);
    }
    for (size_t r = 1; r < results.size(); r++) {
        ASSERT_EQ(results[r].size(), results[0].size());
        for (size_t i = 0; i < results[0].size(); i++) {
            EXPECT_EQ(results[r][i].start, results[0][i].start);
            EXPECT_EQ(results[r][i].band, results[0][i].band);
            EXPECT_EQ(results[r][i].re, results[0][i].re);
            EXPECT_EQ(results[r][i].im, results[0][i].im);
        }
    }
}

// ------------------------------------------------------------ invalid input
TEST_F(QavexT, InvalidParameterBlocksGiveEmptyOutletsAndKeepRecording)
{
    Bank good({{64, 64}});
    Analyser a;
    std::vector<float> ones(64, 1.0f);
    auto expect_empty = [&](const char *what) {
        EXPECT_TRUE(is_empty_block(a.outG)) << what;
        EXPECT_TRUE(is_empty_block(a.outC)) << what;
        EXPECT_EQ(a.x->sSound.counter, 0) << what;
    };
    // Empty block.
    a.block(ones, nullptr);
    expect_empty("empty");
    // QAVC tag with a null address, and a valid address with a wrong tag.
    std::copy(ones.begin(), ones.end(), a.in.begin());
    qavex_t_write_empty_block(a.inC.data());
    hide_int_at_address(QAVC_TAG, a.inC.data());
    a.poison_outlets();
    stub::run(a.call);
    expect_empty("null address");
    stub::publish_param(a.inC.data(), &good.p);
    hide_int_at_address(QAVG_TAG, a.inC.data());
    a.poison_outlets();
    stub::run(a.call);
    expect_empty("wrong tag");
    // A float with the tag's bits on an unconnected inlet fills every word.
    std::copy(ones.begin(), ones.end(), a.in.begin());
    for (auto &w : a.inC) hide_int_at_address(QAVC_TAG, &w);
    a.poison_outlets();
    stub::run(a.call);
    expect_empty("tag bits everywhere");
    // Records without something to analyse.
    {
        Bank b({{64, 64}});
        b.p.iLongestFrame_paf = 0;
        a.block(ones, &b.p);
        expect_empty("zero longest frame");
    }
    {
        Bank b({{64, 64}});
        b.p.iLongestFrame_paf = -1;  // the designer before its first computation
        a.block(ones, &b.p);
        expect_empty("longest frame -1");
    }
    {
        Bank b({{64, 64}});
        b.p.iq_compute_sup = 0;
        a.block(ones, &b.p);
        expect_empty("zero bands");
        EXPECT_EQ(a.x->q_sup, 2000);
    }
    {
        Bank b({{64, 64}});
        b.p.paf_r = nullptr;
        a.block(ones, &b.p);
        expect_empty("null paf_r");
    }
    // The ring kept recording all along: a window of 6 blocks sees the ones.
    Bank wide({{6 * 64, 64}});
    for (int k = 0; k < 6 * 64; k++) {
        wide.r[0][k] = 1.0f;
        wide.i[0][k] = 0.0f;
    }
    wide.p.iLongestFrame_paf = 64;  // no ring growth
    a.block(ones, &wide.p);
    auto c = a.coefficients();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].re, (double)(384.0L / 44100.0L));
    EXPECT_TRUE(a.x->psParam == &wide.p);
    // A valid block forwards the record, all other words zero.
    sQavex_ParamIn pin = qavex_t_read_param_block(a.outC.data());
    EXPECT_EQ(pin.tag, QAVC_TAG);
    EXPECT_EQ(pin.p, &wide.p);
}

TEST_F(QavexT, BandsWithoutWindowOrBadHopYieldNothing)
{
    Bank bank({{0, 1}, {32, 1}, {32, 0}, {32, -3}});
    Analyser a;
    a.block(std::vector<float>(64, 0.1f), &bank.p);
    auto c = a.coefficients();
    EXPECT_EQ(c.size(), 64u);
    for (auto &e : c) EXPECT_EQ(e.band, 1);
}

TEST_F(QavexT, AnalyseSupZeroAndComputeCoefficientsZero)
{
    Bank bank({{64, 1}, {64, 2}});
    Analyser a;
    std::vector<float> zeros(64, 0.0f);
    a.send("set_q_analyse_sup", {stub::fa(0)});
    EXPECT_EQ(a.x->iq_analyse_sup, 0);
    a.block(zeros, &bank.p);
    sQavex_CoeffIn c = qavex_t_read_coeff_block(a.outG.data());
    EXPECT_EQ(c.tag, QAVG_TAG);
    EXPECT_EQ(c.n, 4);
    EXPECT_TRUE(a.coefficients().empty());
    EXPECT_EQ(qavex_t_read_param_block(a.outC.data()).p, &bank.p);

    a.send("set_q_analyse_sup", {stub::fa(2)});
    a.send("set_compute_coefficients", {stub::fa(0)});
    EXPECT_EQ(a.x->iComputeCoefficients, 0);
    a.block(zeros, &bank.p);
    EXPECT_TRUE(is_empty_block(a.outG));
    sQavex_ParamIn pin = qavex_t_read_param_block(a.outC.data());
    EXPECT_EQ(pin.tag, QAVC_TAG);
    EXPECT_EQ(pin.p, &bank.p);
    EXPECT_EQ(a.x->sSound.counter, 128);  // still counts

    a.send("set_compute_coefficients", {stub::fa(-0.5)});
    EXPECT_EQ(a.x->iComputeCoefficients, 1);
    a.block(zeros, &bank.p);
    EXPECT_EQ(a.coefficients().size(), 64u + 32u);
    a.send("set_compute_coefficients", {stub::fa(NAN)});
    EXPECT_EQ(a.x->iComputeCoefficients, 0);
    a.send("set_compute_coefficients", {});
    EXPECT_EQ(a.x->iComputeCoefficients, 0);
}

TEST_F(QavexT, AnalysedBandRangeAndItsClamps)
{
    Bank bank({{16, 1}, {16, 1}, {16, 1}, {16, 1}, {16, 1}});
    Analyser a;
    std::vector<float> zeros(64, 0.0f);
    a.block(zeros, &bank.p);  // band count 5 clamps sup
    EXPECT_EQ(a.x->q_sup, 5);
    EXPECT_EQ(a.x->iq_analyse_sup, 5);
    EXPECT_EQ(a.coefficients().size(), 5u * 64u);

    auto set_min = [&](double f) {
        a.send("set_q_analyse_min", {stub::fa(f)});
        return a.x->iq_analyse_min;
    };
    auto set_sup = [&](double f) {
        a.send("set_q_analyse_sup", {stub::fa(f)});
        return a.x->iq_analyse_sup;
    };
    EXPECT_EQ(set_min(-3), 0);
    EXPECT_EQ(set_min(2.7), 2);
    EXPECT_EQ(set_min(5), 4);  // >= sup: sup - 1
    EXPECT_EQ(set_min(1e30), 4);
    EXPECT_EQ(set_min(NAN), 0);
    EXPECT_EQ(set_min(1), 1);
    EXPECT_EQ(set_sup(-1), 0);
    EXPECT_EQ(set_sup(0.5), 2);  // <= min: min + 1
    EXPECT_EQ(set_sup(1), 2);
    EXPECT_EQ(set_sup(3.9), 3);
    EXPECT_EQ(set_sup(5), 5);  // >= q_sup: q_sup
    EXPECT_EQ(set_sup(1e30), 5);
    EXPECT_EQ(set_sup(NAN), 0);
    // sup 0 makes the min clamp to 0, never below.
    EXPECT_EQ(set_min(3), 0);

    set_sup(4);
    set_min(2);
    a.block(zeros, &bank.p);
    std::set<int> bands;
    for (auto &e : a.coefficients()) bands.insert(e.band);
    EXPECT_EQ(bands, (std::set<int>{2, 3}));
    // "initialize" resets the range; the block clamps it to the bank again.
    a.send("initialize", {stub::fa(0)});
    EXPECT_EQ(a.x->iq_analyse_min, 0);
    EXPECT_EQ(a.x->iq_analyse_sup, 98765);
    a.block(zeros, &bank.p);
    EXPECT_EQ(a.x->iq_analyse_sup, 5);
}

TEST_F(QavexT, UnconnectedAudioInletAnalysesItsScalar)
{
    Bank bank({{128, 64}});
    for (int k = 0; k < 128; k++) {
        bank.r[0][k] = 1.0f;
        bank.i[0][k] = -1.0f;
    }
    Analyser a;
    // The host fills an unconnected main signal inlet with the scalar.
    auto host_block = [&]() {
        std::vector<float> v(64, *stub::main_signal_scalar(a.pd));
        a.block(v, &bank.p);
    };
    host_block();
    host_block();
    auto c = a.coefficients();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].re, (double)(64.0L / 44100.0L));
    EXPECT_EQ(c[0].im, (double)(64.0L / 44100.0L));
    EXPECT_TRUE(stub::send(a.pd, "float", {stub::fa(0.25)}));
    EXPECT_FLOAT_EQ(a.x->fConstSignal, 0.25f);
    host_block();
    host_block();
    c = a.coefficients();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].re, (double)(32.0L / 44100.0L));
}

// ------------------------------------------------------------ rebuilds
TEST_F(QavexT, LongerWindowsRebuildAndClearTheRing)
{
    Analyser a;
    std::vector<float> ones(64, 1.0f);
    for (int b = 0; b < 10; b++) a.block(ones, nullptr);
    // Longest frame 100000: the ring (192000) is long enough but is rebuilt
    // silent; the block's own input is lost too.
    Bank bank({{640, 64}});
    for (int k = 0; k < 640; k++) {
        bank.r[0][k] = 1.0f;
        bank.i[0][k] = 0.0f;
    }
    bank.p.iLongestFrame_paf = 100000;
    a.block(ones, &bank.p);
    EXPECT_EQ(a.x->iLongestFrame, 100000);
    EXPECT_EQ(a.x->sSound.iLength, 192000);
    EXPECT_EQ(a.x->sSound.ring.pC, a.x->sSound.ring.pA);
    auto c = a.coefficients();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].re, 0.0);
    // Afterwards only the new blocks count.
    a.block(ones, &bank.p);
    c = a.coefficients();
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].re, (double)(64.0L / 44100.0L));
    // Beyond the ring's length: raised to whole blocks past the frame.
    bank.p.iLongestFrame_paf = 250000;
    a.block(ones, &bank.p);
    EXPECT_EQ(a.x->sSound.iLength, (250000 / 64 + 1) * 64);
    EXPECT_EQ(a.x->sSound.ring.pE - a.x->sSound.ring.pA, (250000 / 64 + 1) * 64);
    // Same or shorter frames: no rebuild.
    t_sample *ring = a.x->sSound.ring.pA;
    bank.p.iLongestFrame_paf = 1000;
    a.block(ones, &bank.p);
    EXPECT_EQ(a.x->sSound.ring.pA, ring);
    EXPECT_EQ(a.x->iLongestFrame, 250000);
}

TEST_F(QavexT, BandCountChangeRebuildsTheLists)
{
    CountAllocations count;
    {
        Analyser a;
        a.send("set_num_threads", {stub::fa(3)});
        std::vector<std::pair<int, int>> shapes(2500, {8, 1});
        Bank big(shapes);
        a.block(std::vector<float>(64, 0.25f), &big.p);
        EXPECT_EQ(a.x->q_sup, 2500);
        EXPECT_EQ(a.x->aiListCapacity[0], 21 * 2500);
        EXPECT_EQ(a.x->aiListCapacity[2], 22 * 2500);
        // Every band at every position fits.
        EXPECT_EQ(a.coefficients().size(), 64u * 2500u);
        Bank small({{8, 1}, {8, 1}});
        a.block(std::vector<float>(64, 0.25f), &small.p);
        EXPECT_EQ(a.x->q_sup, 2);
        EXPECT_EQ(a.x->aiListCapacity[0], 21 * 2);
        EXPECT_EQ(a.x->aiListCapacity[3], 1);
        EXPECT_EQ(a.coefficients().size(), 128u);
        // q_sup bounds the analysed range.
        a.send("set_q_analyse_sup", {stub::fa(100)});
        EXPECT_EQ(a.x->iq_analyse_sup, 2);
    }
    EXPECT_TRUE(g_live.empty());
}

TEST_F(QavexT, SoundbufferLengthFactor)
{
    Analyser a;
    auto factor = [&](double f) {
        a.send("set_soundbuffer_length_factor", {stub::fa(f)});
        return a.x->sSound.iLengthTemp;
    };
    EXPECT_EQ(factor(5000.9), 320000);
    EXPECT_EQ(a.x->sSound.iLength, 192000);  // until "initialize"
    a.send("initialize", {stub::fa(0)});
    EXPECT_EQ(a.x->sSound.iLength, 320000);
    EXPECT_EQ(a.x->sSound.ring.pE - a.x->sSound.ring.pA, 320000);
    EXPECT_EQ(factor(0.5), 192000);
    EXPECT_EQ(factor(-7), 192000);
    EXPECT_EQ(factor(NAN), 192000);
    EXPECT_EQ(factor(1e30), 64 * (2147483647 / 64));
    EXPECT_EQ(a.x->sSound.iLengthTemp % 64, 0);
}

TEST_F(QavexT, InitializeKeepsCounterAndChecksSampleRate)
{
    Bank bank({{8, 1}});
    Analyser a;
    a.block(std::vector<float>(64, 0.0f), &bank.p);
    a.send("set_var", {stub::fa(3.5)});
    EXPECT_FLOAT_EQ(a.x->var, 3.5f);
    stub::clear();
    stub::set_samplerate(48000);
    a.send("initialize", {stub::fa(0)});
    EXPECT_TRUE(stub::errored("Samplerate=48000.000000 falsch.")) << stub::console_text();
    EXPECT_EQ(a.x->sSound.counter, 64);
    EXPECT_FLOAT_EQ(a.x->var, 1.0f);
    // Computation goes on with the fixed scale.
    Bank one({{1, 1}});
    one.r[0][0] = 1.0f;
    one.i[0][0] = 0.0f;
    a.block(std::vector<float>(64, 1.0f), &one.p);
    auto c = a.coefficients();
    ASSERT_EQ(c.size(), 64u);
    EXPECT_EQ(c[0].re, (double)(1.0L / 44100.0L));
    stub::set_samplerate(44100);
}

TEST_F(QavexT, WrongBlockSizeReportsOnceAndEmptiesTheOutlets)
{
    Bank bank({{8, 1}});
    Analyser a;
    std::vector<t_sample> in(128, 1.0f), inC(128), outG(128, 7.0f), outC(128, 7.0f);
    stub::publish_param(inC.data(), &bank.p);
    stub::clear();
    a.attach(in.data(), inC.data(), outG.data(), outC.data(), 128);
    EXPECT_EQ(a.call.args[5], 128);
    EXPECT_EQ(stub::count_lines("Fehler in qavex_t_perform - Blocksize falsch"), 1);
    EXPECT_TRUE(stub::errored("Fehler in qavex_t_perform - Blocksize falsch"));
    t_sample *pc = a.x->sSound.ring.pC;
    stub::clear();
    stub::run(a.call);
    stub::run(a.call);
    EXPECT_TRUE(stub::console().empty());
    EXPECT_EQ(a.x->sSound.ring.pC, pc);
    EXPECT_EQ(a.x->sSound.counter, 0);
    EXPECT_EQ(a.x->psParam, nullptr);
    for (int i = 0; i < 128; i++) {
        EXPECT_EQ(outG[i], 0.0f);
        EXPECT_EQ(outC[i], 0.0f);
    }
}

TEST_F(QavexT, SharedVectorsBetweenInletsAndOutlets)
{
    // The host may give the audio inlet and the coefficient outlet one
    // vector, and the parameter inlet and parameter outlet another.
    Bank bank({{100, 1}, {300, 4}}, 6);
    Analyser ref, shared;
    std::vector<t_sample> v1(64), v2(64);
    shared.attach(v1.data(), v2.data(), v1.data(), v2.data());
    std::mt19937 rng(12);
    for (int b = 0; b < 8; b++) {
        auto audio = uniform_noise(rng, 64);
        ref.block(audio, &bank.p);
        std::copy(audio.begin(), audio.end(), v1.begin());
        qavex_t_write_empty_block(v2.data());
        stub::publish_param(v2.data(), &bank.p);
        stub::run(shared.call);
        auto want = ref.coefficients();
        std::copy(v1.begin(), v1.end(), shared.outG.begin());
        auto got = shared.coefficients();
        ASSERT_EQ(got.size(), want.size());
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].re, want[i].re);
            EXPECT_EQ(got[i].im, want[i].im);
        }
        EXPECT_EQ(qavex_t_read_param_block(v2.data()).p, &bank.p);
    }
}

// ------------------------------------------------------------ failures
TEST_F(QavexT, ListAllocationFailureGivesEmptyBlocksUntilRebuilt)
{
    Bank bank({{32, 1}, {32, 2}});
    Analyser a;
    std::vector<float> zeros(64, 0.0f);
    // The band-count change rebuilds the lists; the third list fails.
    qavex_t_fail_after = 2;
    a.block(zeros, &bank.p);
    EXPECT_EQ(a.x->pawc, nullptr);
    EXPECT_TRUE(stub::errored("Qavex_t: Out of Memory"));
    EXPECT_TRUE(is_empty_block(a.outG));
    EXPECT_TRUE(is_empty_block(a.outC));
    a.block(zeros, &bank.p);
    EXPECT_TRUE(is_empty_block(a.outG));
    EXPECT_TRUE(is_empty_block(a.outC));
    stub::clear();
    a.send("bang");
    EXPECT_FALSE(stub::console_text().find("ComputeType") != std::string::npos);
    a.send("initialize", {stub::fa(0)});
    ASSERT_NE(a.x->pawc, nullptr);
    a.block(zeros, &bank.p);
    EXPECT_EQ(a.coefficients().size(), 96u);
}

TEST_F(QavexT, RingAllocationFailureGivesEmptyBlocksUntilRebuilt)
{
    Bank bank({{32, 1}});
    bank.p.iLongestFrame_paf = 90000;
    Analyser a;
    a.send("set_num_threads", {stub::fa(4)});  // lists sized for 2000 bands before
    std::vector<float> zeros(64, 0.0f);
    // Band-count change (64 lists + 0 array: 64 requests), then the ring.
    qavex_t_fail_after = 64;
    a.block(zeros, &bank.p);
    EXPECT_NE(a.x->pawc, nullptr);
    EXPECT_EQ(a.x->sSound.ring.pA, nullptr);
    EXPECT_TRUE(is_empty_block(a.outG));
    EXPECT_TRUE(is_empty_block(a.outC));
    a.block(zeros, &bank.p);  // no ring: nothing recorded, nothing computed
    EXPECT_TRUE(is_empty_block(a.outG));
    a.send("initialize", {stub::fa(0)});
    ASSERT_NE(a.x->sSound.ring.pA, nullptr);
    EXPECT_EQ(a.x->sSound.iLength, 192000);
    a.block(zeros, &bank.p);
    EXPECT_EQ(a.coefficients().size(), 64u);
}

TEST_F(QavexT, CreationSurvivesEveryAllocationFailure)
{
    Bank bank({{32, 1}});
    // Creation asks for 64 slices, the list array, 64 lists and the ring.
    for (int k : {0, 10, 64, 65, 70, 129}) {
        qavex_t_fail_after = k;
        Analyser a;
        qavex_t_fail_after = -1;
        a.block(std::vector<float>(64, 0.0f), &bank.p);
        // The band-count change rebuilt the lists; a missing slice record
        // or ring still leaves empty blocks.
        bool ready = a.x->pawc && a.x->sSound.ring.pA;
        for (int i = 0; i < 4; i++) ready = ready && a.x->pawp[i];
        if (ready) {
            EXPECT_EQ(a.coefficients().size(), 64u) << k;
        } else {
            EXPECT_TRUE(is_empty_block(a.outG)) << k;
            EXPECT_TRUE(is_empty_block(a.outC)) << k;
            a.send("initialize", {stub::fa(0)});
            a.block(std::vector<float>(64, 0.0f), &bank.p);
            EXPECT_EQ(a.coefficients().size(), 64u) << k;
        }
    }
}

TEST_F(QavexT, RoundMessage)
{
    Analyser a;
    stub::clear();
    a.send("round_up_to_multiple_of_small_primes", {stub::fa(1001), stub::fa(5)});
    EXPECT_TRUE(stub::posted("Nearest Number with small primes: 1024"));
    stub::clear();
    a.send("round_up_to_multiple_of_small_primes", {stub::fa(0), stub::fa(1)});
    a.send("round_up_to_multiple_of_small_primes", {});
    a.send("round_up_to_multiple_of_small_primes", {stub::fa(NAN), stub::fa(NAN)});
    EXPECT_EQ(stub::count_lines("Nearest Number with small primes: 1024"), 0);
    EXPECT_EQ(stub::console().size(), 3u);
    for (auto &l : stub::console()) EXPECT_TRUE(l.error);
}

// ------------------------------------------------------------ report
TEST_F(QavexT, BangReportLines)
{
    Analyser a;
    auto report = [&]() {
        stub::clear();
        a.send("bang");
        std::vector<std::string> lines;
        for (auto &l : stub::console()) lines.push_back(l.text);
        return lines;
    };
    auto strip_remark = [](std::vector<std::string> v) {
        if (!v.empty() && v[0].rfind("\n", 0) != 0) v.erase(v.begin());
        return v;
    };
    const std::string build = std::string("Buildtime \t") + __DATE__ + "\t, \t" + __TIME__;
    auto lines = strip_remark(report());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], "\n-----------------Qavex--------------:");
    EXPECT_EQ(lines[1], "------------------Not important stuff");
    EXPECT_EQ(lines[2].rfind("Buildtime \t", 0), 0u);
    EXPECT_EQ(lines[2].size(), build.size());
    EXPECT_EQ(lines[3], "Multithreading: 1 thread");
    EXPECT_EQ(lines[4], "Var= \t1.000000");
    EXPECT_EQ(lines[5], "Fast: 0");

    Bank bank({{8, 1}}, 1, 42);
    a.block(std::vector<float>(64, 0.0f), &bank.p);
    a.send("set_var", {stub::fa(-2.25)});
    lines = strip_remark(report());
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[1], "ComputeType: \t42");
    EXPECT_EQ(lines[5], "Var= \t-2.250000");
    a.send("set_var", {stub::fa(NAN)});
    EXPECT_EQ(a.x->var, 0.0f);
    // The report shows what the last block saw, never reads the record
    // again (its designer may be gone).
    bank.p.iComputeType = 99;
    lines = strip_remark(report());
    EXPECT_EQ(lines[1], "ComputeType: \t42");
    // A block without a valid record forgets it.
    a.block(std::vector<float>(64, 0.0f), nullptr);
    lines = strip_remark(report());
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], "------------------Not important stuff");
}

TEST_F(QavexT, BangCounterIsSharedAndDrivesTheRemarks)
{
    Analyser a, b;
    auto remark_for = [](int c) -> std::string {
        if (c >= 11 && c <= 19) return "Why are you banging me?";
        if (c >= 21 && c <= 25) return "I don't like being banged!";
        if (c >= 27 && c <= 29) return "WHY ARE YOU BANGING ME?";
        if (c >= 31) return "kriblo is the best!";
        return "";
    };
    for (int i = 0; i < 40; i++) {
        std::int32_t before = qavex_t_bang_count;
        stub::clear();
        (i % 2 ? a : b).send("bang");
        EXPECT_EQ(qavex_t_bang_count, before + 1);
        std::string want = remark_for(qavex_t_bang_count);
        const auto &first = stub::console().front().text;
        if (want.empty()) {
            EXPECT_EQ(first, "\n-----------------Qavex--------------:") << qavex_t_bang_count;
        } else {
            EXPECT_EQ(first, want) << qavex_t_bang_count;
            EXPECT_EQ(stub::console()[1].text, "\n-----------------Qavex--------------:");
        }
    }
}
