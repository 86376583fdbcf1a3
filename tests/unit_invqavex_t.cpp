// Synthesis object: placement of windows in the rings, arithmetic of the
// overlap-add, slices, latency output, growth, invalid input and messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "bank_fixture.h"
#include "invqavex_t.h"

namespace {

using Bank = HandBank;

std::vector<float> ramp(int L, float a = 1.0f, float step = 1.0f)
{
    std::vector<float> w(L);
    for (int m = 0; m < L; m++) w[m] = a + step * m;
    return w;
}

// Coefficient lists of one block.
struct Coeffs {
    std::vector<std::vector<sQavex_Coeff>> lists;
    std::vector<sQavex_Coeff *> ptrs;
    explicit Coeffs(int n = 1) : lists(n) {}
    void add(int k, int start, int band, double vr, double vi)
    {
        sQavex_Coeff c{};
        c.start = start;
        c.band = band;
        c.val_r = vr;
        c.val_i = vi;
        lists[k].push_back(c);
    }
    sQavex_Coeff **finish()
    {
        ptrs.clear();
        for (auto &l : lists) {
            int n = (int)l.size();
            if (l.empty()) l.push_back(sQavex_Coeff{});
            l[0].numCoeff = n;
            ptrs.push_back(l.data());
        }
        return ptrs.data();
    }
};

class Synth {
public:
    explicit Synth(bool inplace = false, int n = 64) : g(64, 0.0f), c(64, 0.0f), o(80, 0.0f), n_(n)
    {
        obj = stub::create("invqavex_tilde", {stub::fa(0)});
        x = (sinvQavex_t *)obj;
        out = inplace ? g.data() : o.data();
        auto calls = stub::dsp(obj, {g.data(), c.data(), out}, n);
        EXPECT_EQ(calls.size(), 1u);
        call = calls.at(0);
    }
    ~Synth() { stub::destroy(obj); }
    // One block with the given bank and coefficients; returns the output.
    std::vector<float> block(Bank *bank, Coeffs *co)
    {
        std::fill(g.begin(), g.end(), 0.0f);
        std::fill(c.begin(), c.end(), 0.0f);
        std::fill(o.begin(), o.end(), 7.0f);  // must be overwritten
        if (co) stub::publish_coeff(g.data(), co->finish(), (std::int32_t)co->lists.size());
        if (bank) stub::publish_param(c.data(), &bank->p);
        if (out != g.data()) std::fill(o.begin(), o.end(), 7.0f);
        stub::run(call);
        return std::vector<float>(out, out + 64);
    }
    std::vector<float> latencies()
    {
        std::vector<float> v;
        for (auto &e : stub::events_of(x->x_outM)) {
            EXPECT_EQ(e.selector, "float");
            v.push_back(e.floats.at(0));
        }
        return v;
    }
    t_pd *obj;
    sinvQavex_t *x;
    std::vector<float> g, c, o;
    t_sample *out;
    stub::DspCall call;
    int n_;
};

// Reference: every coefficient of block b, start j, window w of length L
// adds Re(c w[m]) at timeline position 64 b + Lm + j - L + m.
struct Reference {
    std::vector<long double> y;
    explicit Reference(size_t n) : y(n, 0.0L) {}
    void add(int b, int Lm, int j, const std::vector<float> &wr, const std::vector<float> &wi, double vr, double vi)
    {
        int L = (int)wr.size();
        for (int m = 0; m < L; m++)
            y.at((size_t)(64 * b + Lm + j - L + m)) +=
                (long double)vr * wr[m] - (long double)vi * (wi.empty() ? 0.0f : wi[m]);
    }
};

class InvQavex : public HostTest<invqavex_t_setup> {};

bool all_zero(const std::vector<float> &v)
{
    return std::all_of(v.begin(), v.end(), [](float f) { return f == 0.0f; });
}

}  // namespace

TEST_F(InvQavex, RegistersInletsOutletsAndStartValues)
{
    Synth s;
    auto ins = stub::inlets_of(&s.x->x_obj);
    ASSERT_EQ(ins.size(), 2u);
    EXPECT_TRUE(ins[0].is_signal);
    EXPECT_EQ(ins[1].fp, &s.x->fMinValforCount);
    auto outs = stub::outlets_of(&s.x->x_obj);
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_TRUE(stub::outlet_is_signal(outs[0]));
    EXPECT_FALSE(stub::outlet_is_signal(outs[1]));
    EXPECT_EQ(s.x->sSound.iLength, 320000);
    EXPECT_EQ(s.x->num_threads, 4);
    EXPECT_EQ(s.x->fMinValforCount, 600.0f);
    EXPECT_EQ(s.x->iComputeSynthesis, 1);
    for (int k = 0; k < 4; k++) {
        ASSERT_NE(s.x->sSound.aRing[k].pA, nullptr);
        EXPECT_EQ(s.x->sSound.aRing[k].pE - s.x->sSound.aRing[k].pA, 320000);
        EXPECT_EQ(s.x->sSound.aRing[k].pC, s.x->sSound.aRing[k].pA);
        for (int e = 0; e < 320000; e += 997) ASSERT_EQ(s.x->sSound.aRing[k].pA[e], 0.0);
        ASSERT_NE(s.x->painvwp[k], nullptr);
        EXPECT_EQ(s.x->painvwp[k]->sA, s.x->sSound.aRing[k].pA);
        EXPECT_EQ(s.x->painvwp[k]->psW, s.x);
    }
    for (int k = 4; k < 64; k++) {
        EXPECT_EQ(s.x->sSound.aRing[k].pA, nullptr);
        EXPECT_EQ(s.x->painvwp[k], nullptr);
    }
    EXPECT_EQ(s.x->paf, nullptr);
}

TEST_F(InvQavex, FullLengthWindowStartsAtItsPositionAndShorterOneLater)
{
    const int Lm = 100;
    for (int j : {0, 17, 63}) {
        for (int L : {100, 40, 1}) {
            Bank bank(2);
            bank.set_real(0, ramp(Lm, 1000.0f));  // fixes Lm
            bank.set_real(1, ramp(L, 1.0f));
            Synth s;
            Coeffs co;
            co.add(0, j, 1, 1.0, 0.0);
            std::vector<float> y = s.block(&bank, &co);
            Coeffs none;
            for (int b = 0; b < 3; b++) {
                auto v = s.block(&bank, &none);
                y.insert(y.end(), v.begin(), v.end());
            }
            // The window's first element lands Lm - L after position j.
            const int first = j + Lm - L;
            for (int t = 0; t < (int)y.size(); t++) {
                float want = (t >= first && t < first + L) ? (float)(1 + t - first) : 0.0f;
                ASSERT_EQ(y[t], want) << "j=" << j << " L=" << L << " t=" << t;
            }
        }
    }
}

TEST_F(InvQavex, LatencyIsSentEveryValidBlock)
{
    Bank bank(1);
    bank.set_real(0, ramp(300));
    Synth s;
    Coeffs co;
    for (int b = 0; b < 5; b++) s.block(&bank, &co);
    EXPECT_EQ(s.latencies(), std::vector<float>(5, 299.0f));
}

TEST_F(InvQavex, ZeroCoefficientChangesNothingEvenWithNonFiniteWindow)
{
    const float inf = std::numeric_limits<float>::infinity();
    Bank bank(1);
    bank.set(0, std::vector<float>(64, inf), std::vector<float>(64, std::nanf("")));
    Synth s;
    Coeffs co;
    co.add(0, 0, 0, 0.0, 0.0);
    co.add(0, 5, 0, -0.0, 0.0);
    EXPECT_TRUE(all_zero(s.block(&bank, &co)));
    for (int k = 0; k < 4; k++)
        for (int e = 0; e < 320000; e += 101) ASSERT_EQ(s.x->sSound.aRing[k].pA[e], 0.0);
}

TEST_F(InvQavex, RealCoefficientAddsRealWindowOnly)
{
    // The imaginary window is not touched when val_i is 0 (an infinite value
    // there would otherwise poison the sum), and val_r 0 ignores the real one.
    const float inf = std::numeric_limits<float>::infinity();
    Bank bank(2);
    bank.set(0, ramp(64, 0.5f, 0.25f), std::vector<float>(64, inf));
    bank.set(1, std::vector<float>(64, inf), ramp(64, -2.0f, 0.125f));
    Synth s;
    Coeffs co;
    co.add(0, 63, 0, 3.0, 0.0);
    auto y = s.block(&bank, &co);
    for (int t = 0; t < 64; t++) ASSERT_EQ(y[t], t == 63 ? 1.5f : 0.0f);
    Coeffs none;
    y = s.block(&bank, &none);
    for (int t = 0; t < 63; t++) ASSERT_EQ(y[t], 3.0f * (0.5f + 0.25f * (t + 1))) << t;

    Synth s2;
    Coeffs ci;
    ci.add(0, 0, 1, 0.0, 2.0);
    y = s2.block(&bank, &ci);
    for (int t = 0; t < 64; t++) ASSERT_EQ(y[t], -2.0f * (-2.0f + 0.125f * t)) << t;
}

TEST_F(InvQavex, ComplexCoefficientAddsRealPartOfProduct)
{
    Bank bank({{64, 0}}, 5);
    const paf_type *wr = bank.r[0], *wi = bank.i[0];
    Synth s;
    stub::send(s.obj, "set_num_threads", {stub::fa(1)});  // one ring holds every band
    Coeffs co;
    const double vr = 0.3125, vi = -1.75;
    co.add(0, 63, 0, vr, vi);
    co.add(0, 63, 0, -0.5, 0.25);
    s.block(&bank, &co);
    // Window element m sits at ring position 63 + m; from m = 1 on it lies
    // past the block that was output and cleared.
    const double *y = s.x->sSound.aRing[0].pA + 63;
    for (int m = 1; m < 64; m++) {
        // Entries are taken last to first: (-0.5, 0.25) first, onto 0.
        double first = (double)((0.0L + -0.5L * wr[m]) - 0.25L * wi[m]);
        double want = (double)(((long double)first + (long double)vr * wr[m]) - (long double)vi * wi[m]);
        ASSERT_EQ(y[m], want) << m;
    }
}

TEST_F(InvQavex, SumsAreRoundedOnceFromExtendedPrecision)
{
    // 1 + (2^-53 + 2^-70): extended precision (x87, 64 mantissa bits) rounds
    // the sum to 1 + 2^-53, a tie between doubles that goes to 1; a double
    // sum or a fused multiply-add gives 1 + 2^-52. Where long double has 113
    // bits (arm64) the sum is exact there and rounds once, to 1 + 2^-52.
    const double tiny = std::ldexp(1.0, -53) + std::ldexp(1.0, -70);
    const double want = LDBL_MANT_DIG == 64 ? 1.0 : 1.0 + std::ldexp(1.0, -52);
    Bank bank(1);
    bank.set_real(0, std::vector<float>(128, 1.0f));
    Synth s;
    stub::send(s.obj, "set_num_threads", {stub::fa(1)});  // one ring holds every band
    Coeffs co;
    co.add(0, 63, 0, tiny, 0.0);  // entries run last to first: 1 goes in first
    co.add(0, 63, 0, 1.0, 0.0);
    s.block(&bank, &co);
    // Window element m sits at ring position 63 + m; element 1 lies past the
    // block that was output.
    EXPECT_EQ(s.x->sSound.aRing[0].pA[64], want);
    EXPECT_NE(1.0 + tiny, 1.0);  // what a double sum would have stored
    // Same through the imaginary and the complex forms.
    Bank bi(1);
    bi.set(0, std::vector<float>(128, 1.0f), std::vector<float>(128, -1.0f));
    Synth s3;
    stub::send(s3.obj, "set_num_threads", {stub::fa(1)});  // one ring holds every band
    Coeffs co3;
    co3.add(0, 63, 0, 0.0, tiny);  // second: y - tiny * (-1)
    co3.add(0, 63, 0, 1.0, 0.0);   // first
    s3.block(&bi, &co3);
    EXPECT_EQ(s3.x->sSound.aRing[0].pA[64], want);
    Synth s4;
    stub::send(s4.obj, "set_num_threads", {stub::fa(1)});  // one ring holds every band
    Coeffs co4;
    co4.add(0, 63, 0, tiny, std::ldexp(1.0, -80));  // (1 + tiny) + 2^-80 in extended
    co4.add(0, 63, 0, 1.0, 0.0);
    s4.block(&bi, &co4);
    EXPECT_EQ(s4.x->sSound.aRing[0].pA[64], want);
}

TEST_F(InvQavex, SlicesAreSummedInDoubleBeforeRoundingToFloat)
{
    // Three slices each add to position 0; in float 1 + 2^-24 + 2^-24 would
    // stay 1, in double it becomes 1 + 2^-23.
    Bank bank(3);
    for (int q = 0; q < 3; q++) bank.set_real(q, {1.0f});
    Synth s;
    stub::send(s.obj, "set_num_threads", {stub::fa(3)});
    Coeffs co;
    co.add(0, 0, 0, 1.0, 0.0);
    co.add(0, 0, 1, std::ldexp(1.0, -24), 0.0);
    co.add(0, 0, 2, std::ldexp(1.0, -24), 0.0);
    auto y = s.block(&bank, &co);
    EXPECT_EQ(y[0], 1.0f + std::ldexp(1.0f, -23));
}

TEST_F(InvQavex, SlicesTakeBandRangesAndOwnRings)
{
    Bank bank(100);
    for (int q = 0; q < 100; q++) bank.set_real(q, std::vector<float>(200, 1.0f));
    Synth s;
    stub::send(s.obj, "set_num_threads", {stub::fa(3)});
    Coeffs co(2);
    co.add(1, 0, 33, 1.0, 0.0);
    co.add(0, 0, 99, 2.0, 0.0);
    auto y = s.block(&bank, &co);
    EXPECT_EQ(s.x->painvwp[0]->qMin, 0);
    EXPECT_EQ(s.x->painvwp[0]->qSup, 33);
    EXPECT_EQ(s.x->painvwp[1]->qMin, 33);
    EXPECT_EQ(s.x->painvwp[1]->qSup, 66);
    EXPECT_EQ(s.x->painvwp[2]->qMin, 66);
    EXPECT_EQ(s.x->painvwp[2]->qSup, 100);
    for (int k = 0; k < 3; k++) EXPECT_EQ(s.x->painvwp[k]->num_blocks, 2);
    EXPECT_EQ(s.x->painvwp[3], nullptr);
    // Full-length windows at start 0 begin at position 0 of this block.
    for (int t = 0; t < 64; t++) ASSERT_EQ(y[t], 3.0f) << t;
    // Tails: band 33 lives in ring 1, band 99 in ring 2, none in ring 0.
    EXPECT_EQ(s.x->sSound.aRing[0].pA[100], 0.0);
    EXPECT_EQ(s.x->sSound.aRing[1].pA[100], 1.0);
    EXPECT_EQ(s.x->sSound.aRing[2].pA[100], 2.0);
    Coeffs none;
    for (int b = 1; b < 4; b++) y = s.block(&bank, &none);
    EXPECT_EQ(y[199 - 192], 3.0f);
    EXPECT_EQ(y[200 - 192], 0.0f);
}

TEST_F(InvQavex, WindowsAtTheRingEndMatchALargeRing)
{
    // A ring of 256 elements and Lm = 100 wraps every 4 blocks; windows that
    // end exactly at the ring's end, cross it, or start past it must give
    // what an unbounded timeline gives, and never touch memory past the end.
    const int Lm = 100;
    for (int threads : {1, 2}) {
        Bank bank(4);
        std::vector<std::vector<float>> wr(4), wi(4);
        int lens[4] = {100, 64, 37, 1};
        for (int q = 0; q < 4; q++) {
            wr[q] = ramp(lens[q], 0.25f * (q + 1), 0.5f);
            wi[q] = ramp(lens[q], -1.0f, 0.125f);
            bank.set(q, wr[q], wi[q]);
        }
        ASSERT_EQ(bank.p.iLongestFrame_paf, Lm);
        Synth s;
        stub::send(s.obj, "set_num_threads", {stub::fa(threads)});
        stub::send(s.obj, "set_soundbuffer_length_factor", {stub::fa(4)});
        ASSERT_EQ(s.x->sSound.iLength, 256);
        const int blocks = 24;
        Reference ref(64 * blocks + 256);
        std::vector<float> y;
        std::mt19937 rng(11);
        for (int b = 0; b < blocks; b++) {
            Coeffs co(2);
            for (int e = 0; e < 6; e++) {
                int q = (int)(rng() % 4), j = (int)(rng() % 64);
                double vr = (int)(rng() % 7) - 3, vi = (int)(rng() % 5) - 2;
                co.add(e % 2, j, q, vr, vi);
                ref.add(b, Lm, j, wr[q], wi[q], vr, vi);
            }
            // The block at ring offset 128: start 28 makes every window end
            // exactly at 256 (band 3 then starts at 255), start 29 makes
            // band 0 cross the end by one and band 3 start at it.
            auto put = [&](int k, int j, int q, double vr, double vi) {
                co.add(k, j, q, vr, vi);
                ref.add(b, Lm, j, wr[q], wi[q], vr, vi);
            };
            if (b % 4 == 2) {
                put(0, 28, 0, 1.0, 0.5);
                put(1, 28, 1, -1.0, 2.0);
                put(0, 28, 3, 4.0, 0.0);
                put(1, 29, 0, 0.0, -1.0);
                put(0, 29, 3, 2.0, 1.0);
            }
            // The block at ring offset 192: band 2 at start 63 starts past
            // the end (318), band 0 at start 0 spans 192..291.
            if (b % 4 == 3) {
                put(1, 63, 2, 1.5, -0.5);
                put(0, 0, 0, -2.0, 0.0);
            }
            auto v = s.block(&bank, &co);
            y.insert(y.end(), v.begin(), v.end());
            for (int k = 0; k < threads; k++) {
                const unsigned char *end = (const unsigned char *)s.x->sSound.aRing[k].pE;
                for (int e = 0; e < 64; e++) ASSERT_EQ(end[e], 0xA3) << "written past the ring";
            }
        }
        for (int t = 0; t < 64 * blocks; t++)
            ASSERT_NEAR(y[t], (double)ref.y[t], 1e-6 * std::max(1.0, std::fabs((double)ref.y[t])))
                << "threads=" << threads << " t=" << t;
        EXPECT_EQ(s.latencies().size(), (size_t)blocks);
    }
}

TEST_F(InvQavex, InvalidInputGivesSilenceNoFloatAndKeepsRings)
{
    Bank bank(1);
    bank.set_real(0, std::vector<float>(100, 1.0f));
    Synth s;
    Coeffs co;
    co.add(0, 0, 0, 1.0, 0.0);
    auto y = s.block(&bank, &co);  // window over positions 0..99
    EXPECT_EQ(y[0], 1.0f);
    EXPECT_EQ(y[63], 1.0f);
    ASSERT_EQ(s.latencies().size(), 1u);
    stub::clear();

    Coeffs empty;
    auto run_invalid = [&](const char *what, auto prepare) {
        std::fill(s.g.begin(), s.g.end(), 0.0f);
        std::fill(s.c.begin(), s.c.end(), 0.0f);
        stub::publish_coeff(s.g.data(), empty.finish(), 1);
        stub::publish_param(s.c.data(), &bank.p);
        prepare();
        std::fill(s.o.begin(), s.o.end(), 7.0f);
        stub::run(s.call);
        for (int t = 0; t < 64; t++) ASSERT_EQ(s.o[t], 0.0f) << what;
        EXPECT_TRUE(s.latencies().empty()) << what;
    };
    run_invalid("empty coefficient block", [&] { std::fill(s.g.begin(), s.g.end(), 0.0f); });
    run_invalid("empty parameter block", [&] { std::fill(s.c.begin(), s.c.end(), 0.0f); });
    run_invalid("wrong parameter tag", [&] { hide_int_at_address(QAVG_TAG, s.c.data()); });
    run_invalid("wrong coefficient tag", [&] { hide_int_at_address(QAVC_TAG, s.g.data()); });
    run_invalid("null record", [&] { std::memset(s.c.data() + 12, 0, 2 * sizeof(float)); });
    run_invalid("null lists", [&] { std::memset(s.g.data() + 4, 0, 2 * sizeof(float)); });
    run_invalid("Lm 0", [&] { bank.p.iLongestFrame_paf = 0; });
    bank.p.iLongestFrame_paf = 100;
    run_invalid("Lm -1", [&] { bank.p.iLongestFrame_paf = -1; });
    bank.p.iLongestFrame_paf = 100;
    run_invalid("S 0", [&] { bank.p.iq_compute_sup = 0; });
    bank.p.iq_compute_sup = 1;
    run_invalid("no paf_r", [&] { bank.p.paf_r = nullptr; });
    bank.p.paf_r = bank.r.data();
    run_invalid("no paf_i", [&] { bank.p.paf_i = nullptr; });
    bank.p.paf_i = bank.i.data();
    stub::send(s.obj, "set_compute_synthesis", {stub::fa(0)});
    run_invalid("synthesis off", [] {});
    stub::send(s.obj, "set_compute_synthesis", {stub::fa(0.5)});
    EXPECT_EQ(s.x->iComputeSynthesis, 1);
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();

    // The rings were not advanced: the rest of the window follows now.
    Coeffs none;
    y = s.block(&bank, &none);
    for (int t = 0; t < 36; t++) ASSERT_EQ(y[t], 1.0f) << t;
    for (int t = 36; t < 64; t++) ASSERT_EQ(y[t], 0.0f) << t;
}

TEST_F(InvQavex, ConstantInletsWithTagBitsAreRefused)
{
    // Floats whose bits are the tags, as an unconnected inlet holding such a
    // float would deliver them: every word equal, addresses made of tags.
    std::int32_t g = QAVG_TAG, c = QAVC_TAG;
    float fg, fc;
    std::memcpy(&fg, &g, 4);
    std::memcpy(&fc, &c, 4);
    Synth s;
    std::fill(s.g.begin(), s.g.end(), fg);
    std::fill(s.c.begin(), s.c.end(), fc);
    std::fill(s.o.begin(), s.o.end(), 7.0f);
    stub::run(s.call);
    for (int t = 0; t < 64; t++) ASSERT_EQ(s.o[t], 0.0f);
    EXPECT_TRUE(s.latencies().empty());
}

TEST_F(InvQavex, MalformedEntriesAreSkipped)
{
    Bank bank(3);
    bank.set_real(0, std::vector<float>(64, 1.0f));
    bank.set_real(1, std::vector<float>(65, 1.0f));
    bank.p.iLongestFrame_paf = 64;  // band 1 claims more than the longest frame
    Synth s;
    Coeffs co(3);
    co.add(0, 0, 3, 1.0, 0.0);   // band past the bank
    co.add(0, 0, -1, 1.0, 0.0);  // negative band
    co.add(0, 0, 2, 1.0, 0.0);   // band without a window
    co.add(0, 0, 1, 1.0, 0.0);   // window longer than Lm
    co.add(0, 64, 0, 1.0, 0.0);  // start past the block
    co.add(0, -1, 0, 1.0, 0.0);  // negative start
    co.add(1, 5, 0, 1.0, 0.0);   // valid
    co.add(2, 7, 0, 1.0, 0.0);
    sQavex_Coeff **lists = co.finish();
    co.lists[2][0].numCoeff = -3;  // a broken count means no entries
    std::fill(s.g.begin(), s.g.end(), 0.0f);
    stub::publish_coeff(s.g.data(), lists, 3);
    stub::publish_param(s.c.data(), &bank.p);
    stub::run(s.call);
    for (int t = 0; t < 64; t++) ASSERT_EQ(s.o[t], t >= 5 ? 1.0f : 0.0f) << t;
    // Null list addresses are skipped too.
    co.ptrs[0] = nullptr;
    stub::publish_coeff(s.g.data(), co.ptrs.data(), 3);
    stub::run(s.call);
    EXPECT_EQ(s.latencies().size(), 2u);
}

TEST_F(InvQavex, CoefficientVectorMayBeTheOutputVector)
{
    Bank bank(1);
    bank.set_real(0, ramp(64));
    Synth s(true);
    Coeffs co;
    co.add(0, 0, 0, 2.0, 0.0);
    auto y = s.block(&bank, &co);
    for (int t = 0; t < 64; t++) ASSERT_EQ(y[t], 2.0f * (t + 1)) << t;
    EXPECT_EQ(s.latencies(), std::vector<float>{63.0f});
}

TEST_F(InvQavex, RingsGrowBeforeWindowsCouldFoldBack)
{
    {
        // Lm = 319936 fits the start rings (320000 >= Lm + 64): no growth.
        Bank bank(1);
        bank.set_real(0, {1.0f});
        bank.p.iLongestFrame_paf = 320000 - 64;
        Synth s;
        Coeffs co;
        s.block(&bank, &co);
        EXPECT_EQ(s.x->sSound.iLength, 320000);
        EXPECT_FALSE(stub::posted("inv_qavex: Neues laengstes Frame"));
        // One more sample and the latest element could land in the block
        // being output after the wrap: the rings grow to 4 Lm.
        bank.p.iLongestFrame_paf = 320000 - 63;
        s.block(&bank, &co);
        EXPECT_EQ(stub::count_lines("inv_qavex: Neues laengstes Frame"), 1);
        EXPECT_EQ(s.x->sSound.iLength, (4 * (320000 - 63)) / 64 * 64);
        for (int k = 0; k < 4; k++) {
            EXPECT_EQ(s.x->sSound.aRing[k].pE - s.x->sSound.aRing[k].pA, s.x->sSound.iLength);
            EXPECT_EQ(s.x->painvwp[k]->sA, s.x->sSound.aRing[k].pA);
        }
        s.block(&bank, &co);
        EXPECT_EQ(stub::count_lines("inv_qavex: Neues laengstes Frame"), 1);
    }
    {
        // Growth restarts the rings silent; with a small ring the length is
        // at least Lm + 64 in whole blocks. The window placed in the growing
        // block is kept.
        Bank bank(1);
        bank.set_real(0, std::vector<float>(100, 1.0f));
        Synth s;
        stub::send(s.obj, "set_soundbuffer_length_factor", {stub::fa(2)});
        ASSERT_EQ(s.x->sSound.iLength, 128);
        Coeffs co;
        co.add(0, 0, 0, 1.0, 0.0);
        stub::clear();
        auto y = s.block(&bank, &co);
        EXPECT_TRUE(stub::posted("inv_qavex: Neues laengstes Frame"));
        EXPECT_EQ(s.x->sSound.iLength, 384);
        EXPECT_EQ(y[0], 1.0f);
        // A window at start 63 reaches 162 samples ahead; nothing of it may
        // fold back into an earlier block.
        Coeffs late;
        late.add(0, 63, 0, 2.0, 0.0);
        auto v = s.block(&bank, &late);
        y.insert(y.end(), v.begin(), v.end());
        Coeffs none;
        for (int b = 0; b < 5; b++) {
            v = s.block(&bank, &none);
            y.insert(y.end(), v.begin(), v.end());
        }
        for (int t = 0; t < (int)y.size(); t++) {
            float want = (t < 100 ? 1.0f : 0.0f) + (t >= 64 + 63 && t < 64 + 163 ? 2.0f : 0.0f);
            ASSERT_EQ(y[t], want) << t;
        }
        EXPECT_EQ(invqavex_t_grown_length(20), 128);
        EXPECT_EQ(invqavex_t_grown_length(64), 256);
        EXPECT_EQ(invqavex_t_grown_length(65), 256);
        EXPECT_EQ(invqavex_t_grown_length(1000), 3968);
    }
}

TEST_F(InvQavex, FailedAllocationGivesSilenceAndRetriesOnlyOnChange)
{
    Bank bank(1);
    bank.set_real(0, std::vector<float>(200, 1.0f));
    Synth s;
    stub::send(s.obj, "set_soundbuffer_length_factor", {stub::fa(2)});
    Coeffs co;
    co.add(0, 0, 0, 1.0, 0.0);
    qavex_t_fail_after = 2;  // third ring of the growth fails
    auto y = s.block(&bank, &co);
    EXPECT_TRUE(all_zero(y));
    EXPECT_TRUE(s.latencies().empty());
    EXPECT_EQ(stub::count_lines("Qavex_t: Out of Memory"), 1);
    for (int k = 0; k < 64; k++) EXPECT_EQ(s.x->sSound.aRing[k].pA, nullptr);
    for (int b = 0; b < 5; b++) EXPECT_TRUE(all_zero(s.block(&bank, &co)));
    EXPECT_EQ(stub::count_lines("Qavex_t: Out of Memory"), 1);
    EXPECT_TRUE(s.latencies().empty());
    // A different longest frame tries again and works.
    bank.set_real(0, std::vector<float>(201, 1.0f));
    y = s.block(&bank, &co);
    EXPECT_EQ(y[0], 1.0f);
    EXPECT_EQ(s.latencies(), std::vector<float>{200.0f});

    // A failure in a message: silence, then one retry in the next block.
    qavex_t_fail_after = 0;
    stub::send(s.obj, "set_num_threads", {stub::fa(2)});
    EXPECT_EQ(s.x->iReady, 0);
    stub::clear();
    y = s.block(&bank, &co);
    EXPECT_EQ(y[0], 1.0f);
    EXPECT_EQ(s.x->iReady, 1);

    // A failed slice record is as bad as a failed ring.
    qavex_t_fail_after = 3;
    stub::send(s.obj, "set_num_threads", {stub::fa(2)});
    EXPECT_EQ(s.x->iReady, 0);
    EXPECT_EQ(s.x->sSound.aRing[0].pA, nullptr);
}

TEST_F(InvQavex, OtherBlockSizesAreRefusedWithSilence)
{
    Bank bank(1);
    bank.set_real(0, std::vector<float>(64, 1.0f));
    Synth s(false, 32);
    Coeffs co;
    co.add(0, 0, 0, 1.0, 0.0);
    std::fill(s.g.begin(), s.g.end(), 0.0f);
    stub::publish_coeff(s.g.data(), co.finish(), 1);
    stub::publish_param(s.c.data(), &bank.p);
    std::fill(s.o.begin(), s.o.end(), 7.0f);
    stub::run(s.call);
    for (int t = 0; t < 32; t++) ASSERT_EQ(s.o[t], 0.0f);
    for (int t = 32; t < 80; t++) ASSERT_EQ(s.o[t], 7.0f) << "written past the block";
    EXPECT_TRUE(s.latencies().empty());
    EXPECT_EQ(s.x->sSound.aRing[0].pC, s.x->sSound.aRing[0].pA);
    EXPECT_EQ(s.x->sSound.aRing[0].pA[63], 0.0);
}

TEST_F(InvQavex, ReportLines)
{
    Synth s;
    *stub::inlets_of(&s.x->x_obj)[1].fp = 12.5f;
    stub::clear();
    stub::send(s.obj, "bang");
    std::vector<std::string> want = {
        "---------------------\ninvQavex:", "fConstSignal: 0.000000", "iLength: 320000", "fMinValforCount: 12.500000",
        "Multithreading: \t4 threads",      "Compute Synthesis: 1",   "Fast: 0"};
    ASSERT_EQ(stub::console().size(), want.size()) << stub::console_text();
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_FALSE(stub::console()[i].error);
        EXPECT_EQ(stub::console()[i].text, want[i]);
    }
    stub::send(s.obj, "set_num_threads", {stub::fa(1)});
    stub::send(s.obj, "set_compute_synthesis", {stub::fa(0)});
    s.x->fConstSignal = 0.25f;
    stub::clear();
    stub::send(s.obj, "bang");
    EXPECT_TRUE(stub::posted("Multithreading: 1 thread"));
    EXPECT_TRUE(stub::posted("Compute Synthesis: 0"));
    EXPECT_TRUE(stub::posted("fConstSignal: 0.250000"));
}

TEST_F(InvQavex, MessagesClampAndRebuildSilent)
{
    Synth s;
    struct Case {
        double f;
        int threads;
    } cases[] = {{0, 1}, {-7, 1}, {2.9, 2}, {64, 64}, {100, 64}, {1e30, 64}};
    for (auto c : cases) {
        stub::send(s.obj, "set_num_threads", {stub::fa(c.f)});
        EXPECT_EQ(s.x->num_threads, c.threads) << c.f;
        for (int k = 0; k < 64; k++) EXPECT_EQ(s.x->sSound.aRing[k].pA != nullptr, k < c.threads);
    }
    stub::send(s.obj, "set_num_threads", {});
    EXPECT_EQ(s.x->num_threads, 1);

    struct LCase {
        double f;
        int len;
    } lcases[] = {{0, 320000}, {1, 320000}, {-3, 320000}, {10.7, 640}, {1.5, 64}};
    for (auto c : lcases) {
        stub::send(s.obj, "set_soundbuffer_length_factor", {stub::fa(c.f)});
        EXPECT_EQ(s.x->sSound.iLength, c.len) << c.f;
        EXPECT_EQ(s.x->sSound.aRing[0].pE - s.x->sSound.aRing[0].pA, c.len);
    }
    stub::send(s.obj, "set_soundbuffer_length_factor", {});
    EXPECT_EQ(s.x->sSound.iLength, 320000);
    stub::clear();
    stub::send(s.obj, "set_soundbuffer_length_factor", {stub::fa(1e12)});
    EXPECT_EQ(s.x->sSound.iLength, 64 * INVQAVEX_MAX_FACTOR);
    EXPECT_EQ(stub::console().size(), 1u);
    EXPECT_TRUE(stub::console().at(0).error);

    // A rebuild drops what the rings held.
    Bank bank(1);
    bank.set_real(0, std::vector<float>(128, 1.0f));
    stub::send(s.obj, "set_soundbuffer_length_factor", {stub::fa(10)});
    Coeffs co;
    co.add(0, 0, 0, 1.0, 0.0);
    s.block(&bank, &co);
    stub::send(s.obj, "set_num_threads", {stub::fa(2)});
    Coeffs none;
    EXPECT_TRUE(all_zero(s.block(&bank, &none)));
}

// ---------------------------------------------------------------- round trip
// Through the fixture's chain of analysis and synthesis: banks whose windows
// form a tight frame give back the input, delayed by exactly Lm - 1 samples.
namespace {

// Bank with hop sizes for the analysis.
struct HopBank : Bank {
    HopBank(int S, int hop) : Bank(S)
    {
        hops.assign(S, hop);
        p.aiDq = hops.data();
    }
};

// Largest |y[t + D] - x[t]| over the recording (x before 0 counts as 0).
double max_error(const std::vector<float> &x, const std::vector<float> &y, long D)
{
    double e = 0;
    for (long t = 0; t < (long)y.size(); t++) {
        double want = t - D >= 0 ? x[t - D] : 0.0;
        e = std::max(e, std::fabs((double)y[t] - want));
    }
    return e;
}

class RoundTrip : public HostTest<qavex_t_setup, invqavex_t_setup> {};

}  // namespace

TEST_F(RoundTrip, OneSampleWindowGivesTheInputBackExactly)
{
    // c = 210 x / 44100 and Re(c 210) = x: the resynthesis is the input.
    HopBank bank(1, 1);
    bank.set_real(0, {std::sqrt(44100.0f)});
    Chain c;
    auto x = uniform_noise(64 * 20, 21);
    auto y = c.run(x, &bank.p);
    EXPECT_EQ(max_error(x, y, 0), 0.0);
    EXPECT_EQ(c.latencies(), std::vector<float>(20, 0.0f));
}

TEST_F(RoundTrip, LatencyFollowsTheLongestWindow)
{
    // A second band with a silent window of 100 samples makes Lm = 100: the
    // one-sample band now comes out 99 samples late, still exact.
    HopBank bank(2, 1);
    bank.set_real(0, {std::sqrt(44100.0f)});
    bank.set_real(1, std::vector<float>(100, 0.0f));
    Chain c;
    auto x = uniform_noise(64 * 20, 22);
    auto y = c.run(x, &bank.p);
    EXPECT_EQ(max_error(x, y, 99), 0.0);
    EXPECT_EQ(c.latencies(), std::vector<float>(20, 99.0f));
}

TEST_F(RoundTrip, SlidingModulatedWindowsFormATightFrame)
{
    // N bands of hop 1 with windows A g[k] exp(2 pi i q k / N): summing Re(c w)
    // over bands and frames gives x N A^2 sum(g^2) / 44100, which is x for
    // A^2 = 88200 / N^2 and g[k] = sin(pi (k + 1/2) / N) (sum g^2 = N / 2).
    const int N = 16;
    HopBank bank(N, 1);
    const double A = std::sqrt(88200.0) / N;
    for (int q = 0; q < N; q++) {
        std::vector<float> wr(N), wi(N);
        for (int k = 0; k < N; k++) {
            double g = std::sin(M_PI * (k + 0.5) / N), ph = 2 * M_PI * q * k / N;
            wr[k] = (float)(A * g * std::cos(ph));
            wi[k] = (float)(A * g * std::sin(ph));
        }
        bank.set(q, wr, wi);
    }
    Chain c;
    auto x = uniform_noise(64 * 30, 23);
    auto y = c.run(x, &bank.p);
    EXPECT_LT(max_error(x, y, N - 1), 1e-6);
    EXPECT_GT(max_error(x, y, N - 2), 0.1);
    EXPECT_GT(max_error(x, y, N), 0.1);
    EXPECT_EQ(c.latencies(), std::vector<float>(30, (float)(N - 1)));
}

TEST_F(RoundTrip, CriticallySampledFourierBankReconstructs)
{
    // 64 bands of hop 64 and rectangular windows A exp(2 pi i q k / 64) with
    // 64 A^2 = 44100: disjoint frames, each rebuilt exactly.
    const int N = 64;
    HopBank bank(N, N);
    const double A = std::sqrt(44100.0 / N);
    for (int q = 0; q < N; q++) {
        std::vector<float> wr(N), wi(N);
        for (int k = 0; k < N; k++) {
            wr[k] = (float)(A * std::cos(2 * M_PI * q * k / N));
            wi[k] = (float)(A * std::sin(2 * M_PI * q * k / N));
        }
        bank.set(q, wr, wi);
    }
    Chain c;
    stub::send(c.syn, "set_num_threads", {stub::fa(3)});
    auto x = uniform_noise(64 * 30, 24);
    auto y = c.run(x, &bank.p);
    EXPECT_LT(max_error(x, y, N - 1), 1e-6);
    EXPECT_GT(max_error(x, y, N), 0.1);
}
