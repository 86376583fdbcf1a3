// Shared bank fixtures: a hand-made bank record with owned windows, and a
// test base that creates one designer object per test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <utility>
#include <vector>

#include "pd_stub.h"
#include "qavex_t_array_functions.h"
#include "qavex_t_definitions.h"
#include "qbank_t.h"

// A bank record built by hand. Each band is {window length, hop}: length 0
// leaves the band without windows, a negative length gives a real window
// only. Windows hold uniform values in [-1, 1) from the seeded generator,
// real and imaginary values drawn in turn, unless fill is false.
struct HandBank {
    sQbank_Param p{};
    std::vector<std::int32_t> hops;
    std::vector<paf_type *> r, i;

    HandBank(const std::vector<std::pair<int, int>> &bands, unsigned seed = 1, bool fill = true)
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        for (auto [L, hop] : bands) {
            hops.push_back(hop);
            const int n = std::abs(L);
            paf_type *a = n ? qavex_t_new_paf(n) : nullptr, *b = L > 0 ? qavex_t_new_paf(n) : nullptr;
            for (int m = 0; fill && m < n; m++) {
                a[m] = u(rng);
                if (b) b[m] = u(rng);
            }
            r.push_back(a);
            i.push_back(b);
            p.iLongestFrame_paf = std::max(p.iLongestFrame_paf, n);
        }
        p.iq_compute_sup = (std::int32_t)bands.size();
        p.aiDq = hops.data();
        p.paf_r = r.data();
        p.paf_i = i.data();
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
    ~HandBank()
    {
        for (auto *a : r) qavex_t_free(a);
        for (auto *a : i) qavex_t_free(a);
    }
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

// One designer object per test at 44100 Hz with a clean stand-in host; the
// allocation fault hooks are reset after each test.
class DesignerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static bool done = false;
        if (!done) qbank_t_setup();
        done = true;
    }
    void SetUp() override
    {
        stub::set_samplerate(44100);
        stub::clear();
        x = (sQbank_t *)stub::create("qbank_tilde");
        ASSERT_NE(x, nullptr);
    }
    void TearDown() override
    {
        if (x) stub::destroy((t_pd *)x);
        qavex_t_fail_after = -1;
        qavex_t_raw_malloc = std::malloc;
        qavex_t_raw_free = std::free;
    }
    void send(const char *sel, std::vector<t_atom> a = {}) { ASSERT_TRUE(stub::send((t_pd *)x, sel, a)) << sel; }
    // Error lines on the console so far.
    int errors() const
    {
        int n = 0;
        for (auto &l : stub::console()) n += l.error;
        return n;
    }
    sQbank_t *x = nullptr;
};
