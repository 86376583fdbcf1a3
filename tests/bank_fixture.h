// Shared fixtures for the unit tests and benchmarks: a hand-made bank
// record with owned windows, a driver for one analysis object, a test base
// with a clean stand-in host, and one that creates a designer per test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pd_stub.h"
#include "qavex_t.h"
#include "qavex_t_array_functions.h"
#include "qavex_t_definitions.h"
#include "qbank_t.h"
#include "record_registry.h"

// A new empty folder in the system's temporary folder, named PREFIX and a
// random part.
inline std::string make_temp_folder(const std::string &prefix)
{
    std::random_device rd;
    for (;;) {
        std::filesystem::path dir = std::filesystem::temp_directory_path() / (prefix + std::to_string(rd()));
        if (std::filesystem::create_directory(dir)) return dir.generic_string();
    }
}

// A bank record built by hand. Each band is {window length, hop}: length 0
// leaves the band without windows, a negative length gives a real window
// only. Windows hold uniform values in [-1, 1) from the reproducible generator,
// real and imaginary values drawn in turn, unless fill is false.
struct HandBank {
    sQbank_Param p{};
    std::vector<std::int32_t> hops;
    std::vector<paf_type *> r, i;

    HandBank(const std::vector<std::pair<int, int>> &bands, unsigned series = 1, bool fill = true)
    {
        for (auto [L, hop] : bands) {
            const int n = std::abs(L);
            const int q = add_band(hop);
            r[q] = n ? qavex_t_new_paf(n) : nullptr;
            i[q] = L > 0 ? qavex_t_new_paf(n) : nullptr;
            p.iLongestFrame_paf = std::max(p.iLongestFrame_paf, n);
        }
        if (fill) refill(series);
    }
    // S bands without windows and without hops; set() gives them windows.
    explicit HandBank(int S) : r(S, nullptr), i(S, nullptr)
    {
        p.iq_compute_sup = S;
        p.paf_r = r.data();
        p.paf_i = i.data();
    }
    HandBank(const HandBank &) = delete;
    HandBank &operator=(const HandBank &) = delete;
    // A record a test published stops being live with its memory.
    ~HandBank()
    {
        qavex_t_record_remove(&p);
        for (auto *a : r) qavex_t_free(a);
        for (auto *a : i) qavex_t_free(a);
    }
    // A band without windows at the end; returns its index.
    int add_band(int hop)
    {
        hops.push_back(hop);
        r.push_back(nullptr);
        i.push_back(nullptr);
        p.iq_compute_sup = (std::int32_t)r.size();
        p.aiDq = hops.data();
        p.paf_r = r.data();
        p.paf_i = i.data();
        return p.iq_compute_sup - 1;
    }
    // New window values in place from the reproducible generator, real and
    // imaginary values drawn in turn.
    void refill(unsigned series)
    {
        std::mt19937 rng(series);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (size_t q = 0; q < r.size(); q++)
            for (int m = 0; r[q] && m < qavex_t_window_length(r[q]); m++) {
                r[q][m] = u(rng);
                if (i[q]) i[q][m] = u(rng);
            }
    }
    // A fresh generation stamp, as a designer gives its record on a change.
    void stamp() { p.iGeneration = qavex_t_next_generation(); }
    // New windows for band q; an empty wi gives a zero imaginary window.
    void set(int q, const std::vector<float> &wr, const std::vector<float> &wi)
    {
        const int L = (int)wr.size();
        qavex_t_free(r[q]);
        qavex_t_free(i[q]);
        r[q] = qavex_t_new_paf(L);
        i[q] = qavex_t_new_paf(L);
        for (int m = 0; m < L; m++) {
            r[q][m] = wr[m];
            i[q][m] = wi.empty() ? 0.0f : wi[m];
        }
        p.iLongestFrame_paf = std::max(p.iLongestFrame_paf, L);
    }
    void set_real(int q, const std::vector<float> &wr) { set(q, wr, {}); }
    int length(int q) const { return r[q] ? qavex_t_window_length(r[q]) : 0; }
};

// n uniform values in [-1, 1) drawn from the generator, or from one reproducible
// with the given series.
inline std::vector<float> uniform_noise(std::mt19937 &rng, size_t n)
{
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (auto &f : v) f = u(rng);
    return v;
}
inline std::vector<float> uniform_noise(size_t n, unsigned series)
{
    std::mt19937 rng(series);
    return uniform_noise(rng, n);
}

// A hand-made bank stamped as a designer stamps its record.
struct StampedBank : HandBank {
    StampedBank(const std::vector<std::pair<int, int>> &bands, unsigned series = 1) : HandBank(bands, series)
    {
        stamp();
    }
};

// Bank `from` offers `to` as a rebuilt bank does before its swap (null:
// the offer is withdrawn); readers count their builds in `building`.
inline void offer_bank(HandBank &from, HandBank *to, std::atomic<std::int32_t> &building)
{
    from.p.pNext = to ? &to->p : nullptr;
    from.p.piPreparing = to ? &building : nullptr;
}

// One coefficient of an analysis block.
struct Coeff {
    int start, band;
    double re, im;
};

// The coefficients a coefficient block carries, list by list (none for a
// block that is not one).
inline std::vector<Coeff> coefficients_of(const t_sample *block)
{
    std::vector<Coeff> r;
    sQavex_CoeffIn c = qavex_t_read_coeff_block(block);
    if (c.tag != QAVG_TAG) return r;
    for (int k = 0; k < c.n; k++) {
        const sQavex_Coeff *l = c.lists[k];
        for (int n = 0; n < l[0].numCoeff; n++) r.push_back({l[n].start, l[n].band, l[n].val_r, l[n].val_i});
    }
    return r;
}

// One analysis object with its own signal vectors and routine.
struct Analyser {
    t_pd *pd;
    sQavex_t *x;
    std::vector<t_sample> in, inC, outG, outC;
    stub::DspCall call{};
    // Everything the object's ring has seen since it was last cleared.
    std::vector<float> history;

    Analyser() : in(64), inC(64), outG(64), outC(64)
    {
        stub::load(qavex_t_setup);
        pd = stub::create("qavex_tilde", {stub::fa(1)});
        x = (sQavex_t *)pd;
        attach(in.data(), inC.data(), outG.data(), outC.data());
    }
    Analyser(const Analyser &) = delete;
    Analyser &operator=(const Analyser &) = delete;
    ~Analyser() { stub::destroy(pd); }
    // Runs "dsp" with these vectors; the one routine it adds is kept.
    void attach(t_sample *a, t_sample *b, t_sample *c, t_sample *d, int n = 64)
    {
        auto calls = stub::dsp(pd, {a, b, c, d}, n);
        EXPECT_EQ(calls.size(), 1u);
        if (!calls.empty()) call = calls[0];
    }
    void poison_outlets()
    {
        for (auto &v : outG) v = 12345.0f;
        for (auto &v : outC) v = 12345.0f;
    }
    // One block with the given audio and parameter record (null: empty
    // parameter block); returns the coefficients it produced.
    std::vector<Coeff> block(const std::vector<float> &audio, const sQbank_Param *p)
    {
        std::copy(audio.begin(), audio.end(), in.begin());
        qavex_t_write_empty_block(inC.data());
        if (p) stub::publish_param(inC.data(), p);
        poison_outlets();
        stub::run(call);
        history.insert(history.end(), audio.begin(), audio.end());
        return coefficients();
    }
    void send(const std::string &sel, std::vector<t_atom> args = {}) { stub::send(pd, sel, args); }
    std::vector<Coeff> coefficients() const { return coefficients_of(outG.data()); }
};

// The analysis object feeding the synthesis object within the same block,
// the way the host orders them.
struct Chain {
    std::vector<float> ain, apar, acoef, apout, spar, out;
    t_pd *ana, *syn;
    stub::DspCall acall, scall;
    // own_record: the synthesis reads the analysis's parameter outlet, else
    // the record given to run().
    explicit Chain(bool own_record = true) : ain(64), apar(64), acoef(64), apout(64), spar(64), out(64)
    {
        ana = stub::create("qavex_tilde", {});
        syn = stub::create("invqavex_tilde", {});
        auto a = stub::dsp(ana, {ain.data(), apar.data(), acoef.data(), apout.data()});
        auto s = stub::dsp(syn, {acoef.data(), own_record ? apout.data() : spar.data(), out.data()});
        EXPECT_EQ(a.size(), 1u);
        EXPECT_EQ(s.size(), 1u);
        acall = a.at(0);
        scall = s.at(0);
    }
    ~Chain()
    {
        stub::destroy(syn);
        stub::destroy(ana);
    }
    // The synthesis reads the record the analysis passes on, or syn (for
    // instance one with dual windows) when given.
    std::vector<float> run(const std::vector<float> &x, const sQbank_Param *p, const sQbank_Param *syn_p = nullptr)
    {
        std::vector<float> y;
        for (size_t b = 0; b + 64 <= x.size(); b += 64) {
            std::copy(x.begin() + b, x.begin() + b + 64, ain.begin());
            std::fill(apar.begin(), apar.end(), 0.0f);
            stub::publish_param(apar.data(), p);
            stub::run(acall);
            if (syn_p) {
                std::fill(spar.begin(), spar.end(), 0.0f);
                stub::publish_param(spar.data(), syn_p);
            }
            stub::run(scall);
            y.insert(y.end(), out.begin(), out.end());
        }
        return y;
    }
    // The latencies the synthesis reported.
    std::vector<float> latencies()
    {
        std::vector<float> v;
        for (auto &e : stub::events_of(stub::outlets_of((t_object *)syn).at(1))) v.push_back(e.floats.at(0));
        return v;
    }
    void fast(bool on)
    {
        stub::send(ana, "set_fast", {stub::fa(on)});
        stub::send(syn, "set_fast", {stub::fa(on)});
    }
};

// A clean stand-in host for every test: the given classes registered once
// per program, console and outlets cleared, 44100 Hz; the allocation fault
// hooks are reset after each test.
template <void (*...Setups)()>
class HostTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { (stub::load(Setups), ...); }
    void SetUp() override
    {
        stub::set_samplerate(44100);
        stub::clear();
        qavex_t_fail_after = -1;
    }
    void TearDown() override
    {
        qavex_t_fail_after = -1;
        qavex_t_raw_malloc = std::malloc;
        qavex_t_raw_free = std::free;
    }
};

// One designer object per test.
class DesignerTest : public HostTest<qbank_t_setup> {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        x = (sQbank_t *)stub::create("qbank_tilde");
        ASSERT_NE(x, nullptr);
    }
    void TearDown() override
    {
        if (x) stub::destroy((t_pd *)x);
        HostTest::TearDown();
    }
    void send(const char *sel, std::vector<t_atom> a = {}) { ASSERT_TRUE(stub::send((t_pd *)x, sel, a)) << sel; }
    // Error lines on the console so far.
    int errors() const { return stub::count_errors(); }
    sQbank_t *x = nullptr;
};
