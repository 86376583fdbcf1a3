// Fast mode of the analysis against the exact computation: the same entries
// in the same order, values within 1e-9 of each band's coefficient RMS,
// exact zeros after silence; across the ring's wrap, a bank change, the
// analysed band range and a failed build.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "bank_fixture.h"
#include "fast_analysis.h"
#include "fast_switch.h"

namespace {

using Bank = StampedBank;

// Partitioned FFT for long windows with small hops, dot products for the
// others (the cost model's two sides, checked below).
const std::vector<std::pair<int, int>> BANK_A = {{2000, 2},   {1, 1},   {700, 3}, {300, 40},
                                                 {3000, 100}, {129, 7}, {64, 64}};
const std::vector<std::pair<int, int>> BANK_B = {{900, 1}, {2500, 5}, {40, 2}, {1200, 300}};

typedef std::function<float(long)> Signal;

struct Step {
    int blocks;
    Signal sig;
    int bank;                                           // 0: A, 1: B
    std::vector<std::pair<const char *, double>> msgs;  // sent to both first
    int offers = -1;                                    // the bank in use offers this one (as "rebuild" does)
};

// Runs exact and fast side by side; checks entries block by block, values
// against each band's RMS at the end, and exact zeros where the input has
// been silent over the longest window. Returns the number of coefficients.
long compare(const std::vector<Step> &steps, int fast_threads = 4,
             const std::vector<std::pair<int, int>> &bank_a = BANK_A,
             const std::vector<std::pair<int, int>> &bank_b = BANK_B)
{
    Bank A(bank_a, 3), B(bank_b, 4);
    Analyser ex, fa;
    stub::send(fa.pd, "set_num_threads", {stub::fa(fast_threads)});
    stub::send(fa.pd, "set_fast", {stub::fa(1)});
    std::map<int, std::pair<double, long>> energy;  // band -> sum of |c|^2, count
    struct Pair {
        Coeff e, f;
    };
    std::vector<Pair> pairs;
    long t = 0, last_sound = -1000000;
    for (const auto &s : steps) {
        for (auto &[sel, v] : s.msgs) {
            stub::send(ex.pd, sel, {stub::fa(v)});
            stub::send(fa.pd, sel, {stub::fa(v)});
        }
        const sQbank_Param *p = s.bank ? &B.p : &A.p;
        std::atomic<std::int32_t> building{0};
        offer_bank(s.bank ? B : A, s.offers < 0 ? nullptr : s.offers ? &B : &A, building);
        for (int b = 0; b < s.blocks; b++) {
            std::vector<float> audio(64);
            for (int j = 0; j < 64; j++) {
                audio[j] = s.sig(t + j);
                if (audio[j] != 0.0f) last_sound = t + j;
            }
            auto e = ex.block(audio, p), f = fa.block(audio, p);
            EXPECT_EQ(e.size(), f.size()) << "block at " << t;
            if (e.size() != f.size()) return 0;
            for (size_t i = 0; i < e.size(); i++) {
                EXPECT_EQ(e[i].start, f[i].start);
                EXPECT_EQ(e[i].band, f[i].band);
                pairs.push_back({e[i], f[i]});
                auto &en = energy[e[i].band];
                en.first += e[i].re * e[i].re + e[i].im * e[i].im;
                en.second++;
                // Silent over the band's whole window (hence after silence
                // longer than the longest window): exact zeros.
                if (t + e[i].start - last_sound >= qavex_t_window_length(p->paf_r[e[i].band])) {
                    EXPECT_EQ(f[i].re, 0.0) << "band " << f[i].band << " at " << t + f[i].start;
                    EXPECT_EQ(f[i].im, 0.0) << "band " << f[i].band << " at " << t + f[i].start;
                }
            }
            t += 64;
            // The fast object builds for the offered bank on its worker
            // and follows the input with it until the swap.
            if (s.offers >= 0 && b == 0) {
                qavex_switch_wait(fa.x->pSwitch);
                EXPECT_EQ(building.load(), 0);
            }
        }
        offer_bank(s.bank ? B : A, nullptr, building);
    }
    for (const auto &pr : pairs) {
        const auto &en = energy[pr.e.band];
        const double rms = std::sqrt(en.first / (double)en.second);
        EXPECT_LE(std::abs(pr.f.re - pr.e.re), 1e-9 * rms) << "band " << pr.e.band;
        EXPECT_LE(std::abs(pr.f.im - pr.e.im), 1e-9 * rms) << "band " << pr.e.band;
    }
    return (long)pairs.size();
}

Signal noise(unsigned series)
{
    auto rng = std::make_shared<std::mt19937>(series);
    return [rng](long) { return std::uniform_real_distribution<float>(-1.0f, 1.0f)(*rng); };
}
Signal sines()
{
    return [](long t) { return (float)(0.5 * std::sin(0.05 * t) + 0.25 * std::sin(1.3 * t + 0.4)); };
}
Signal impulses()
{
    return [](long t) { return t % 997 == 5 ? 1.0f : (t % 1499 == 0 ? -0.5f : 0.0f); };
}
Signal silence()
{
    return [](long) { return 0.0f; };
}

class FastAnalysis : public HostTest<qavex_t_setup> {};

}  // namespace

TEST_F(FastAnalysis, CostModelPicksBothForms)
{
    Bank A(BANK_A, 3), B(BANK_B, 4);
    Analyser a, b;
    stub::send(a.pd, "set_fast", {stub::fa(1)});
    stub::send(b.pd, "set_fast", {stub::fa(1)});
    a.block(std::vector<float>(64, 0.1f), &A.p);
    b.block(std::vector<float>(64, 0.1f), &B.p);
    // Multiply-adds per sample: the partitions' products and inverse
    // transforms against 2 L / hop for the dot product.
    std::vector<int> want = {1, 0, 1, 0, 0, 0, 0};
    for (size_t q = 0; q < want.size(); q++) EXPECT_EQ(qavex_fast_band_kind(a.x->pFast, (int)q), want[q]) << q;
    // Every FFT band's partitions cover its window without a gap, sizes
    // doubling from 64; a size above 64 starts at tap 2 N - 64 or later, so
    // its work can be spread over one segment and still come in time.
    int larger = 0;
    for (auto [f, bands] : {std::pair{a.x->pFast, &BANK_A}, std::pair{b.x->pFast, &BANK_B}})
        for (int q = 0; q < (int)bands->size(); q++) {
            std::int32_t count[7], first[7];
            if (!qavex_fast_band_partitions(f, q, count, first)) continue;
            const int L = (*bands)[q].first;
            EXPECT_GE(count[0], 1) << q;
            EXPECT_EQ(first[0], 0) << q;
            std::int64_t covered = 64LL * count[0];
            for (int i = 1; i < 7; i++) {
                if (count[i] == 0) continue;
                const std::int64_t N = 64LL << i;
                EXPECT_LT(covered, L) << q << " size " << N;
                EXPECT_EQ(first[i], covered) << q << " size " << N;
                EXPECT_GE(first[i], 2 * N - 64) << q << " size " << N;
                covered += count[i] * N;
                larger++;
            }
            EXPECT_GE(covered, L) << q;
        }
    EXPECT_GE(larger, 3);
}

TEST_F(FastAnalysis, SignalsAgainstExact)
{
    // Each signal for long enough to fill the longest window twice, then
    // silence past it (exact zeros are checked there).
    struct Case {
        const char *name;
        Signal sig;
    };
    for (const Case &c :
         {Case{"noise", noise(1)}, Case{"sines", sines()}, Case{"impulses", impulses()}, Case{"silence", silence()}}) {
        SCOPED_TRACE(c.name);
        EXPECT_GT(compare({{110, c.sig, 0, {}}, {60, silence(), 0, {}}}), 10000);
    }
}

TEST_F(FastAnalysis, RingWrapBankChangeAndBandRange)
{
    // A ring of 3200 samples wraps every 50 blocks; the bank changes to
    // another record and back (its spectra are rebuilt, input kept), the
    // band range narrows and widens, computing pauses, slices differ.
    std::vector<Step> steps = {
        {10, noise(2), 0, {{"set_soundbuffer_length_factor", 50}, {"initialize", 0}}},
        {120, noise(3), 0, {}},
        {70, sines(), 1, {}},
        {40, noise(4), 0, {{"set_q_analyse_min", 2}, {"set_q_analyse_sup", 5}}},
        {30, noise(5), 0, {{"set_q_analyse_min", 0}, {"set_q_analyse_sup", 100}}},
        {3, noise(6), 0, {{"set_compute_coefficients", 0}}},
        {70, noise(7), 0, {{"set_compute_coefficients", 1}}},
    };
    EXPECT_GT(compare(steps, 3), 10000);
}

TEST_F(FastAnalysis, LongWindowsOnLargePartitionsAcrossResyncs)
{
    // Windows long enough for partitions of 1024 taps and more, whose
    // segments' work is spread over many blocks: against the exact sums
    // through steady blocks, a bank change and back, and pauses of 1 and 5
    // blocks (each resumes from the ring in another block of the segments),
    // and swaps to banks offered before (the engine built for the offered
    // bank follows the ring until it takes over).
    const std::vector<std::pair<int, int>> long_a = {{9000, 1}, {6100, 3}, {4100, 2}, {700, 40}};
    const std::vector<std::pair<int, int>> long_b = {{8000, 2}, {300, 1}};
    {
        Bank A(long_a, 3);
        Analyser a;
        stub::send(a.pd, "set_fast", {stub::fa(1)});
        a.block(std::vector<float>(64, 0.1f), &A.p);
        std::int32_t count[7], first[7];
        ASSERT_TRUE(qavex_fast_band_partitions(a.x->pFast, 0, count, first));
        EXPECT_GT(count[4] + count[5] + count[6], 0);  // 1024 taps or more
    }
    std::vector<Step> steps = {
        {330, noise(8), 0, {}},
        {1, noise(9), 0, {{"set_compute_coefficients", 0}}},
        {170, noise(10), 0, {{"set_compute_coefficients", 1}}},
        {5, noise(11), 0, {{"set_compute_coefficients", 0}}},
        {150, impulses(), 0, {{"set_compute_coefficients", 1}}},
        {60, sines(), 1, {}},
        {200, noise(12), 0, {}},
        {160, silence(), 0, {}},
        {40, noise(13), 0, {}, 1},
        {90, noise(14), 1, {}, 0},
        {3, noise(15), 0, {}, 1},
        {200, noise(16), 1, {}},
    };
    EXPECT_GT(compare(steps, 2, long_a, long_b), 50000);
}

TEST_F(FastAnalysis, StampChangeRebuildsAndFailedBuildComputesExactly)
{
    Bank A(BANK_A, 3);
    Analyser ex, fa;
    stub::send(fa.pd, "set_fast", {stub::fa(1)});
    std::vector<float> ones(64, 0.25f);
    fa.block(ones, &A.p);
    ex.block(ones, &A.p);
    // A new stamp with changed windows: the engine follows.
    A.r[0][1999] = 3.0f;
    A.stamp();
    auto e = ex.block(ones, &A.p), f = fa.block(ones, &A.p);
    ASSERT_EQ(e.size(), f.size());
    for (size_t i = 0; i < e.size(); i++) EXPECT_NEAR(f[i].re, e[i].re, 1e-12);
    // The next build fails: one error, then exact results (same bits).
    stub::clear();
    A.stamp();
    for (int b = 0; b < 3; b++) {
        e = ex.block(ones, &A.p);
        if (b == 0) qavex_t_fail_after = 0;
        f = fa.block(ones, &A.p);
        ASSERT_EQ(e.size(), f.size());
        for (size_t i = 0; i < e.size(); i++) {
            EXPECT_EQ(f[i].re, e[i].re);
            EXPECT_EQ(f[i].im, e[i].im);
        }
    }
    EXPECT_EQ(stub::count_lines("qavex_tilde: no memory for the fast mode; computing exactly"), 1);
    // "set_fast 0" and the report's last line.
    stub::send(fa.pd, "set_fast", {stub::fa(0)});
    EXPECT_EQ(fa.x->pFast, nullptr);
    stub::clear();
    stub::send(fa.pd, "bang");
    EXPECT_EQ(stub::console().back().text, "Fast: 0");
    stub::send(fa.pd, "set_fast", {stub::fa(1)});
    stub::clear();
    stub::send(fa.pd, "bang");
    EXPECT_EQ(stub::console().back().text, "Fast: 1");
}
