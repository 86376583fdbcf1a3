// Fast synthesis against the exact synthesis: two objects fed the same
// coefficient and parameter blocks must give the same output within 1e-6 of
// the output's RMS, the same latency, through bank changes, the ring's wrap,
// slice changes, switching the mode and failed allocations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bank_fixture.h"
#include "fast_analysis.h"
#include "fast_switch.h"
#include "fast_synthesis.h"
#include "invqavex_t.h"
#include "qavex_t.h"

namespace {

using Bank = StampedBank;

// An exact and a fast synthesis object reading the same input vectors.
struct Pair {
    std::vector<t_sample> g = std::vector<t_sample>(64), c = std::vector<t_sample>(64);
    std::vector<t_sample> out[2] = {std::vector<t_sample>(64), std::vector<t_sample>(64)};
    t_pd *obj[2];
    stub::DspCall call[2];
    std::vector<double> y[2];
    Pair()
    {
        for (int k = 0; k < 2; k++) {
            obj[k] = stub::create("invqavex_tilde", {});
            call[k] = stub::dsp(obj[k], {g.data(), c.data(), out[k].data()}).at(0);
        }
        stub::send(obj[1], "set_fast", {stub::fa(1)});
    }
    ~Pair()
    {
        for (auto *o : obj) stub::destroy(o);
    }
    sinvQavex_t *fast() { return (sinvQavex_t *)obj[1]; }
    void both(const std::string &sel, float v)
    {
        for (auto *o : obj) stub::send(o, sel, {stub::fa(v)});
    }
    void block(const sQbank_Param *p, sQavex_Coeff **lists, int n)
    {
        qavex_t_write_empty_block(g.data());
        qavex_t_write_empty_block(c.data());
        if (lists) stub::publish_coeff(g.data(), lists, n);
        if (p) stub::publish_param(c.data(), p);
        for (int k = 0; k < 2; k++) {
            stub::run(call[k]);
            y[k].insert(y[k].end(), out[k].begin(), out[k].end());
        }
    }
    // Largest difference relative to the exact output's RMS; a sample may
    // in addition differ by its rounding to float.
    void expect_close(const std::string &what) const
    {
        ASSERT_EQ(y[0].size(), y[1].size());
        double e2 = 0;
        for (double v : y[0]) e2 += v * v;
        const double rms = std::sqrt(e2 / (double)y[0].size());
        ASSERT_GT(rms, 0.0) << what;
        double worst = 0;
        size_t at = 0;
        for (size_t t = 0; t < y[0].size(); t++) {
            const double d = std::fabs(y[1][t] - y[0][t]) - std::ldexp(std::fabs(y[0][t]), -23);
            if (d > worst) worst = d, at = t;
        }
        EXPECT_LE(worst / rms, 1e-6) << what << ": sample " << at << " exact " << y[0][at] << " fast " << y[1][at];
    }
    std::vector<float> latencies(int k)
    {
        std::vector<float> v;
        for (auto &e : stub::events_of(((sinvQavex_t *)obj[k])->x_outM)) v.push_back(e.floats.at(0));
        return v;
    }
};

// Lists of one block.
struct Lists {
    std::vector<std::vector<sQavex_Coeff>> l;
    std::vector<sQavex_Coeff *> ptr;
    sQavex_Coeff **finish()
    {
        ptr.clear();
        for (auto &v : l) {
            const int n = (int)v.size();
            if (v.empty()) v.push_back(sQavex_Coeff{});
            v[0].numCoeff = n;
            ptr.push_back(v.data());
        }
        return ptr.data();
    }
};

// Generator-like coefficients: anywhere, any band (a few out of range), any
// value kind, spread over several lists; a dense share feeds band `dense`
// at every position.
Lists stream(std::mt19937 &rng, int S, int nlists, int count, int dense)
{
    Lists b;
    b.l.resize(nlists);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int e = 0; e < count; e++) {
        sQavex_Coeff co{};
        co.start = (int)(rng() % 66) - 1;  // -1 and 64 are skipped by both
        co.band = (int)(rng() % (S + 1));  // S is skipped by both
        const unsigned kind = rng() % 8;
        co.val_r = kind == 1 ? 0.0 : u(rng);
        co.val_i = kind == 2 || kind == 3 ? 0.0 : u(rng);
        if (kind == 4) co.val_r = co.val_i = 0.0;
        b.l[rng() % nlists].push_back(co);
    }
    if (dense >= 0)
        for (int j = 0; j < 64; j++) {
            sQavex_Coeff co{};
            co.start = j;
            co.band = dense;
            co.val_r = u(rng);
            co.val_i = u(rng);
            b.l[(size_t)j * nlists / 64].push_back(co);
        }
    return b;
}

class FastSynthesis : public HostTest<invqavex_t_setup, qavex_t_setup, qbank_t_setup> {};

}  // namespace

// Streams built directly, with events between blocks.
TEST_F(FastSynthesis, MatchesExactOnArbitraryStreams)
{
    // Band 0 and 3 long and dense (FFT), 1 and 5 direct, 2 real-only, 4 none,
    // 6 exactly one block long, 7 a single sample.
    const std::vector<std::pair<int, int>> shapeA = {{3000, 1}, {2500, 200}, {-900, 2}, {0, 1},
                                                     {1700, 3}, {64, 9},     {64, 1},   {1, 1}};
    const std::vector<std::pair<int, int>> shapeB = {{2000, 2}, {1999, 1}, {700, 50}, {130, 1}};
    // Longer than the ring holds: both objects grow their rings.
    const std::vector<std::pair<int, int>> shapeC = {{4000, 1}, {300, 2}, {3999, 4}};
    struct Event {
        int block;
        std::function<void(Pair &, Bank *&, Bank *const *)> act;
    };
    auto to_b = [](Pair &, Bank *&cur, Bank *const *bk) { cur = bk[1]; };
    auto to_c = [](Pair &, Bank *&cur, Bank *const *bk) { cur = bk[2]; };
    auto mutate = [](Pair &, Bank *&cur, Bank *const *) {
        cur->refill(99);
        cur->stamp();
    };
    auto threads = [](Pair &p, Bank *&, Bank *const *) { p.both("set_num_threads", 3); };
    auto ring = [](Pair &p, Bank *&, Bank *const *) { p.both("set_soundbuffer_length_factor", 51); };
    auto off = [](Pair &p, Bank *&, Bank *const *) { stub::send(p.obj[1], "set_fast", {stub::fa(0)}); };
    auto on = [](Pair &p, Bank *&, Bank *const *) { stub::send(p.obj[1], "set_fast", {stub::fa(1)}); };
    // A rebuilt bank offered, its engine built, then swapped in: the old
    // engine adds what it owes over the following blocks.
    static std::atomic<std::int32_t> building{0};
    auto offer_b = [](Pair &, Bank *&cur, Bank *const *bk) { offer_bank(*cur, bk[1], building); };
    auto built = [](Pair &p, Bank *&, Bank *const *) {
        qavex_switch_wait(p.fast()->psSwitch);
        EXPECT_EQ(building.load(), 0);
    };
    auto swap_b = [](Pair &p, Bank *&cur, Bank *const *bk) {
        offer_bank(*cur, nullptr, building);
        cur = bk[1];
        EXPECT_EQ(p.fast()->psDraining, nullptr);
    };
    auto draining = [](Pair &p, Bank *&, Bank *const *) { EXPECT_NE(p.fast()->psDraining, nullptr); };
    auto pause = [](Pair &p, Bank *&, Bank *const *) { p.both("set_compute_synthesis", 0); };
    auto resume = [](Pair &p, Bank *&, Bank *const *) { p.both("set_compute_synthesis", 1); };
    struct Case {
        const char *name;
        int lists, per_block, dense;  // dense: band fed at every position, or -1
        std::vector<Event> events;
    } cases[] = {
        {"sparse, one list", 1, 6, -1, {}},
        {"dense band 0, three lists", 3, 40, 0, {}},
        {"bank change to another record", 2, 30, 0, {{90, to_b}}},
        {"windows changed in place", 2, 30, 4, {{70, mutate}, {140, to_b}, {200, mutate}}},
        {"slices and ring rebuilt, ring growth", 4, 30, 4, {{60, threads}, {130, ring}, {190, to_c}}},
        {"mode off and on, pauses",
         2,
         30,
         0,
         {{50, off}, {51, draining}, {80, on}, {120, pause}, {125, resume}, {160, off}}},
        {"offered bank swapped in", 2, 30, 0, {{80, offer_b}, {81, built}, {90, swap_b}, {91, draining}}},
        {"offered bank swapped in, mode off while draining",
         2,
         30,
         0,
         {{80, offer_b}, {81, built}, {90, swap_b}, {93, off}}},
    };
    for (const auto &cs : cases) {
        SCOPED_TRACE(cs.name);
        Bank A(shapeA, 1), B(shapeB, 2), C(shapeC, 3);
        Bank *const banks[3] = {&A, &B, &C};
        Bank *cur = &A;
        stub::clear();
        Pair p;
        // A ring of 51 blocks for Lm 3000 wraps every 51 blocks.
        p.both("set_soundbuffer_length_factor", 49);
        std::mt19937 rng(7);
        for (int blk = 0; blk < 260; blk++) {
            for (const auto &ev : cs.events)
                if (ev.block == blk) ev.act(p, cur, banks);
            Lists l = stream(rng, cur->p.iq_compute_sup, cs.lists, cs.per_block, cs.dense);
            p.block(&cur->p, l.finish(), cs.lists);
            if (blk == 0 && cur == &A) {
                EXPECT_EQ(fast_synthesis_band_mode(p.fast()->psFast, 0), 2);
                EXPECT_EQ(fast_synthesis_band_mode(p.fast()->psFast, 1), 1);
                EXPECT_EQ(fast_synthesis_band_mode(p.fast()->psFast, 2), 1);
                EXPECT_EQ(fast_synthesis_band_mode(p.fast()->psFast, 3), 0);
            }
        }
        // Then silence until every partition has been computed and every
        // window has ended (segments of up to 64 blocks, Lm up to 4000): both
        // rings run empty.
        for (int blk = 0; blk < 140; blk++) {
            Lists none;
            none.l.resize(1);
            p.block(&cur->p, none.finish(), 1);
        }
        p.expect_close(cs.name);
        for (size_t t = p.y[0].size() - 64; t < p.y[0].size(); t++) EXPECT_EQ(p.y[1][t], 0.0f);
        EXPECT_EQ(p.fast()->psDraining, nullptr);
        EXPECT_EQ(p.latencies(0), p.latencies(1));
        // Both grew their rings when the longer bank came (2 objects).
        EXPECT_EQ(stub::count_lines("inv_qavex: Neues laengstes Frame"), cur == &C ? 2 : 0);
        EXPECT_FALSE(std::any_of(stub::console().begin(), stub::console().end(), [](const stub::Line &l) {
            return l.error;
        })) << stub::console_text();
    }
}

// A failed allocation while building: one error, and the exact synthesis.
TEST_F(FastSynthesis, FailedBuildFallsBackToExact)
{
    Bank A({{3000, 1}, {500, 2}}, 3);
    for (int fail = 0; fail < 6; fail++) {
        SCOPED_TRACE(fail);
        stub::clear();
        Pair p;
        std::mt19937 rng(5);
        qavex_t_fail_after = fail;
        for (int blk = 0; blk < 80; blk++) {
            Lists l = stream(rng, 2, 2, 10, 0);
            p.block(&A.p, l.finish(), 2);
        }
        EXPECT_EQ(p.y[0], p.y[1]);
        int errors = 0;
        for (auto &l : stub::console()) errors += l.error && l.text.find("fast synthesis") != std::string::npos;
        EXPECT_EQ(errors, 1) << stub::console_text();
        EXPECT_EQ(fast_synthesis_band_mode(p.fast()->psFast, 0), -1);
    }
}

// Designer -> analysis -> both syntheses, on typical signals.
TEST_F(FastSynthesis, MatchesExactThroughTheAnalysis)
{
    t_pd *bank = stub::create("qbank_tilde", {});
    for (auto [sel, v] : std::vector<std::pair<const char *, float>>{{"set_T_max", 0.05f},
                                                                     {"set_C_d", 8},
                                                                     {"initialize", 0},
                                                                     {"make", -1},
                                                                     {"shorten", -1},
                                                                     {"copy_pac2paf", -1}})
        stub::send(bank, sel, {stub::fa(v)});
    const sQbank_Param *P = &((sQbank_t *)bank)->sParam;
    ASSERT_GT(P->iLongestFrame_paf, 1000);
    const int Lm = P->iLongestFrame_paf;

    struct Signal {
        const char *name;
        std::function<float(long)> x;
    } signals[] = {
        {"noise",
         [](long) {
             static std::mt19937 r(11);
             return std::uniform_real_distribution<float>(-1, 1)(r);
         }},
        {"sines", [](long t) { return (float)(0.5 * std::sin(0.0313 * t) + 0.3 * std::sin(1.7 * t)); }},
        {"impulses", [](long t) { return t % 1500 == 3 ? 1.0f : 0.0f; }},
        {"silence", [](long) { return 0.0f; }},
    };
    for (const auto &s : signals) {
        SCOPED_TRACE(s.name);
        t_pd *an = stub::create("qavex_tilde", {});
        std::vector<t_sample> in(64), inC(64), g(64), c(64);
        auto acall = stub::dsp(an, {in.data(), inC.data(), g.data(), c.data()}).at(0);
        Pair p;
        bool fft_used = false;
        const int blocks = 3 * Lm / 64 + 20;
        for (int blk = 0; blk < blocks; blk++) {
            for (int j = 0; j < 64; j++) in[j] = s.x(64L * blk + j);
            qavex_t_write_empty_block(inC.data());
            stub::publish_param(inC.data(), P);
            stub::run(acall);
            sQavex_CoeffIn ci = qavex_t_read_coeff_block(g.data());
            ASSERT_EQ(ci.tag, QAVG_TAG);
            p.block(P, ci.lists, ci.n);
            for (int q = 0; q < P->iq_compute_sup; q++) fft_used |= fast_synthesis_band_mode(p.fast()->psFast, q) == 2;
        }
        EXPECT_TRUE(fft_used);
        if (std::string(s.name) == "silence") {
            EXPECT_EQ(p.y[0], p.y[1]);
            EXPECT_TRUE(std::all_of(p.y[1].begin(), p.y[1].end(), [](double v) { return v == 0.0; }));
        } else {
            p.expect_close(s.name);
        }
        EXPECT_EQ(p.latencies(1), std::vector<float>((size_t)blocks, (float)(Lm - 1)));
        stub::destroy(an);
    }
    stub::destroy(bank);
}

// An engine whose record or build cannot be had at a bank: its errors once,
// then steady blocks that ask for nothing, post nothing and compute exactly;
// the next bank builds the engine. Every request from the engine's file
// (or the bank snapshot's) fails while the failure is on.
TEST_F(FastSynthesis, AnEngineThatCannotBeHadIsAskedForAgainOnlyAtTheNextBank)
{
    static std::string failing;  // file whose requests fail; empty: none
    static bool fail_next = false;
    static int requests = 0;
    qavex_t_alloc_observer = [](const char *file, int) {
        requests++;
        const std::string f = file;
        fail_next = !failing.empty() && f.size() >= failing.size() &&
                    f.compare(f.size() - failing.size(), failing.size(), failing) == 0;
    };
    qavex_t_raw_malloc = [](std::size_t n) -> void * { return fail_next ? nullptr : std::malloc(n); };
    struct Case {
        const char *name;
        const char *cls;
        bool fast;
        const char *file;   // where the requests fail
        const char *error;  // the error it posts
        std::function<bool(t_pd *)> built;
    };
    const Case cases[] = {
        {"analysis fast record", "qavex_tilde", true, "fast_analysis.cpp", "no memory for the fast mode",
         [](t_pd *x) { return qavex_fast_band_kind(((sQavex_t *)x)->pFast, 0) == 1; }},
        {"analysis fast build", "qavex_tilde", true, "bank_snapshot.cpp", "no memory for the fast mode",
         [](t_pd *x) { return qavex_fast_band_kind(((sQavex_t *)x)->pFast, 0) == 1; }},
        {"analysis exact record", "qavex_tilde", false, "exact_analysis.cpp", "Out of Memory",
         [](t_pd *x) { return ((sQavex_t *)x)->pExact != nullptr; }},
        {"synthesis fast record", "invqavex_tilde", true, "fast_synthesis.cpp", "no memory for the fast synthesis",
         [](t_pd *x) { return fast_synthesis_band_mode(((sinvQavex_t *)x)->psFast, 0) == 2; }},
        {"synthesis fast build", "invqavex_tilde", true, "bank_snapshot.cpp", "no memory for the fast synthesis",
         [](t_pd *x) { return fast_synthesis_band_mode(((sinvQavex_t *)x)->psFast, 0) == 2; }},
    };
    Bank A({{3000, 1}, {500, 2}}, 3);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        stub::clear();
        const bool analysis = std::string(c.cls) == "qavex_tilde";
        t_pd *x = stub::create(c.cls, {});
        std::vector<t_sample> v[4] = {std::vector<t_sample>(64), std::vector<t_sample>(64), std::vector<t_sample>(64),
                                      std::vector<t_sample>(64)};
        auto call = analysis ? stub::dsp(x, {v[0].data(), v[1].data(), v[2].data(), v[3].data()}).at(0)
                             : stub::dsp(x, {v[0].data(), v[1].data(), v[2].data()}).at(0);
        std::mt19937 rng(9);
        auto block = [&]() {
            Lists l = stream(rng, 2, 1, 6, 0);
            qavex_t_write_empty_block(v[0].data());
            qavex_t_write_empty_block(v[1].data());
            if (analysis) {
                for (auto &s : v[0]) s = std::uniform_real_distribution<float>(-1, 1)(rng);
                stub::publish_param(v[1].data(), &A.p);
            } else {
                stub::publish_coeff(v[0].data(), l.finish(), 1);
                stub::publish_param(v[1].data(), &A.p);
            }
            stub::run(call);
        };
        failing = c.file;
        if (c.fast) stub::send(x, "set_fast", {stub::fa(1)});
        block();
        failing.clear();
        EXPECT_FALSE(c.built(x));
        EXPECT_GE(stub::count_errors(), 1);
        EXPECT_NE(stub::console_text().find(c.error), std::string::npos) << stub::console_text();
        // Steady blocks at the same bank.
        const size_t lines = stub::console().size();
        requests = 0;
        for (int b = 0; b < 20; b++) block();
        EXPECT_EQ(requests, 0);
        EXPECT_EQ(stub::console().size(), lines) << stub::console_text();
        EXPECT_FALSE(c.built(x));
        // The next bank builds the engine; steady again after it.
        A.stamp();
        block();
        EXPECT_GT(requests, 0);
        EXPECT_TRUE(c.built(x));
        requests = 0;
        for (int b = 0; b < 5; b++) block();
        EXPECT_EQ(requests, 0);
        EXPECT_EQ(stub::console().size(), lines) << stub::console_text();
        stub::destroy(x);
    }
    qavex_t_alloc_observer = nullptr;
}
