// Latency bound of the designer: the synthesis latency stays within the
// asked milliseconds for every window type and map, the taper is never worse
// than a hard cut at the same length, and without a bound (or after taking
// it back) the windows and hops are those of a designer that never had one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bank_fixture.h"
#include "bank_rebuild.h"
#include "dual_windows.h"
#include "invqavex_t.h"
#include "latency_bound.h"
#include "qbank_windows.h"

namespace {

using stub::fa;
using stub::sa;

class Latency : public HostTest<qbank_t_setup, qavex_t_setup, invqavex_t_setup> {
protected:
    void TearDown() override
    {
        for (auto *b : banks) stub::destroy((t_pd *)b);
        HostTest::TearDown();
    }
    // A designer after the messages (name, number); a name starting with
    // "map:" selects the B-spline map read from the file named after it.
    sQbank_t *designer(const std::vector<std::pair<std::string, float>> &msgs)
    {
        auto *x = (sQbank_t *)stub::create("qbank_tilde");
        banks.push_back(x);
        for (auto &[sel, v] : msgs) {
            if (sel.rfind("map:", 0) == 0) stub::send((t_pd *)x, "set_theta_type", {fa(0), sa(sel.c_str() + 4)});
            else stub::send((t_pd *)x, sel, {fa(v)});
        }
        return x;
    }
    std::vector<sQbank_t *> banks;
};

// The synthesis latency the chain reports for the designer's record.
float reported_latency(const sQbank_Param *p)
{
    stub::clear();
    Chain c;
    c.run(uniform_noise(256, 3), p);
    auto v = c.latencies();
    return v.empty() ? -1.0f : *std::max_element(v.begin(), v.end());
}

// A linear B-spline map file, 36 Hz per warped unit, like the closed-form
// linear map.
std::string linear_map_file()
{
    const std::string path = (std::filesystem::temp_directory_path() / "qavex_latency_map.txt").string();
    std::remove((path + ".processed").c_str());
    std::ofstream f(path);
    f << 802 << "\n";
    for (int i = -1; i <= 800; i++) f << 36.0 * i << " " << (double)i << "\n";
    return path;
}

// Round trip of noise through analysis and synthesis with the duals of the
// designer's float windows (fast mode); error in dB after the first window.
double dual_round_trip_db(const sQbank_t *x)
{
    const sQbank_Param &P = x->sParam;
    const int n = P.iq_compute_sup;
    HandBank g(n);
    sQavex_DualInfo info;
    EXPECT_EQ(qavex_dual_windows(n, P.paf_r, P.paf_i, P.aiDq, g.r.data(), g.i.data(), &info), DUAL_OK);
    sQbank_Param d = P;
    d.paf_r = g.r.data();
    d.paf_i = g.i.data();
    g.p = d;
    g.stamp();
    const int Lm = P.iLongestFrame_paf;
    auto xin = uniform_noise((size_t)(3 * Lm + 8192) / 64 * 64, 7);
    Chain c(false);
    c.fast(true);
    auto y = c.run(xin, &P, &g.p);
    double e = 0, s = 0;
    for (size_t t = (size_t)(2 * Lm); t < y.size(); t++) {
        const double want = xin[t - (Lm - 1)];
        e += (y[t] - want) * (y[t] - want);
        s += want * want;
    }
    g.p.paf_r = g.p.paf_i = nullptr;  // the HandBank frees its own arrays
    return 10 * std::log10(e / s);
}

}  // namespace

// Whatever the window type and map, after "shorten -1" the synthesis reports
// at most the asked latency in whole samples; a bound the windows already
// keep changes nothing.
TEST_F(Latency, BoundHoldsForEveryWindowTypeAndMap)
{
    const std::string bspline = "map:" + linear_map_file();
    struct Map {
        const char *name;
        std::vector<std::pair<std::string, float>> msgs;
    };
    const std::vector<Map> maps = {
        {"exponential", {{"set_theta_type", 4}}},
        {"identity, f0 400", {{"set_theta_type", 10}, {"set_thetaf0", 400}}},
        {"linear", {{"set_theta_type", 11}}},
        {"square", {{"set_theta_type", 12}}},
        {"B-spline", {{bspline, 0}}},
    };
    for (float type : {7.0f, 2.0f, 3.0f, 0.0f})
        for (const Map &m : maps) {
            SCOPED_TRACE(std::string(m.name) + ", window type " + std::to_string((int)type));
            auto base = m.msgs;
            base.insert(base.end(), {{"set_window_type", type}, {"set_C_d", 8}, {"initialize", 0}});
            auto with = [&](std::vector<std::pair<std::string, float>> more) {
                auto v = base;
                v.insert(v.end(), more.begin(), more.end());
                return designer(v);
            };
            for (float ms : {0.5f, 7.3f, 20.0f}) {
                SCOPED_TRACE(std::to_string(ms) + " ms");
                sQbank_t *x = with({{"set_max_latency", ms}, {"make", -1}, {"shorten", -1}, {"copy_pac2paf", -1}});
                ASSERT_GT(x->sParam.iq_compute_sup, 0);
                const int bound = (int)std::floor(ms * 44100.0 / 1000.0);
                EXPECT_EQ(qbank_latency_max_length(x), bound + 1);
                const float lat = reported_latency(&x->sParam);
                EXPECT_GE(lat, 0.0f);
                EXPECT_LE(lat, (float)bound);
                for (int q = 0; q < x->sParam.iq_compute_sup; q++) {
                    ASSERT_GE(x->sParam.aiDq[q], 1);
                    for (int k = 0; k < qavex_t_window_length(x->sParam.paf_r[q]); k++)
                        ASSERT_TRUE(std::isfinite(x->sParam.paf_r[q][k]) && std::isfinite(x->sParam.paf_i[q][k]));
                }
                if (ms != 7.3f) continue;
                // "rebuild" on its worker cuts the same windows to the same hops.
                sQbank_t *r = with({{"set_max_latency", ms}});
                stub::send((t_pd *)r, "rebuild", {});
                qbank_rebuild_wait(r);
                stub::run_clocks();
                ASSERT_EQ(r->sParam.iq_compute_sup, x->sParam.iq_compute_sup);
                for (int q = 0; q < x->sParam.iq_compute_sup; q++) {
                    const int N = qavex_t_window_length(x->sParam.paf_r[q]);
                    ASSERT_EQ(qavex_t_window_length(r->sParam.paf_r[q]), N) << "band " << q;
                    EXPECT_TRUE(std::equal(x->sParam.paf_r[q], x->sParam.paf_r[q] + N, r->sParam.paf_r[q]));
                    EXPECT_EQ(r->sParam.aiDq[q], x->sParam.aiDq[q]) << "band " << q;
                }
            }
            // A bound the shortened windows already keep leaves them as they are.
            sQbank_t *a = with({{"make", -1}, {"shorten", -1}});
            const int L = qbank_t_find_longest_frame_pac(a);
            sQbank_t *b = with({{"set_max_latency", 1000.0f * (float)L / 44100.0f}, {"make", -1}, {"shorten", -1}});
            for (int q = 0; q < a->sParam.iq_compute_sup; q++) {
                const int N = qavex_t_window_length(a->pac[q]);
                ASSERT_EQ(qavex_t_window_length(b->pac[q]), N) << "band " << q;
                EXPECT_TRUE(std::equal(a->pac[q], a->pac[q] + N, b->pac[q])) << "band " << q;
                EXPECT_EQ(a->sParam.aiDq[q], b->sParam.aiDq[q]) << "band " << q;
            }
        }
}

// At the same length and with the same hops' rule, the tapered cut gives a
// round trip (with duals) at least as close as the hard cut, on noise.
TEST_F(Latency, TaperIsNeverWorseThanAHardCut)
{
    struct Setting {
        const char *name;
        std::vector<std::pair<std::string, float>> msgs;
    };
    const std::vector<Setting> settings = {
        {"C_d 16, C_q 2", {{"set_C_d", 16}, {"set_C_q", 2}}},
        {"C_d 8, compute type 1", {{"set_C_d", 8}, {"set_compute_type", 1}}},
        {"C_d 6, cosine windows", {{"set_C_d", 6}, {"set_window_type", 2}}},
    };
    for (const Setting &s : settings)
        for (float ms : {5.0f, 20.0f, 50.0f}) {
            SCOPED_TRACE(std::string(s.name) + ", " + std::to_string(ms) + " ms");
            auto msgs = s.msgs;
            msgs.insert(msgs.end(), {{"initialize", 0}, {"make", -1}, {"shorten", -1}});
            sQbank_t *hard = designer(msgs);
            msgs.insert(msgs.end() - 2, {"set_max_latency", ms});
            sQbank_t *taper = designer(msgs);
            const int L = qbank_latency_max_length(taper);
            for (int q = 0; q < hard->sParam.iq_compute_sup; q++)
                ASSERT_TRUE(qbank_latency_cut_band(hard, q, L, false, true));
            stub::send((t_pd *)hard, "copy_pac2paf", {fa(-1)});
            stub::send((t_pd *)taper, "copy_pac2paf", {fa(-1)});
            ASSERT_EQ(hard->sParam.iLongestFrame_paf, taper->sParam.iLongestFrame_paf);
            const double e_hard = dual_round_trip_db(hard), e_taper = dual_round_trip_db(taper);
            std::printf("%-24s %4.0f ms: hard cut %6.1f dB, taper %6.1f dB\n", s.name, ms, e_hard, e_taper);
            EXPECT_LE(e_taper, e_hard);
        }
}

// Without a bound, or with one set and taken back before "make", the windows
// and hops are those of a designer that never heard of it, with T_max
// cutting as it always did.
TEST_F(Latency, WithoutABoundShortenIsUnchanged)
{
    for (float tmax : {10.0f, 0.05f, 0.01f}) {
        SCOPED_TRACE("T_max " + std::to_string(tmax));
        const std::vector<std::pair<std::string, float>> start = {
            {"set_C_d", 8}, {"set_T_max", tmax}, {"initialize", 0}};
        auto plain = start, unset = start, back = start;
        plain.insert(plain.end(), {{"make", -1}, {"shorten", -1}});
        unset.insert(unset.end(), {{"set_max_latency", 0}, {"make", -1}, {"shorten", -1}});
        back.insert(back.end(), {{"set_max_latency", 3},
                                 {"make", -1},
                                 {"shorten", -1},
                                 {"set_max_latency", 0},
                                 {"make", -1},
                                 {"shorten", -1}});
        sQbank_t *ref = designer(plain);
        for (auto *msgs : {&unset, &back}) {
            sQbank_t *x = designer(*msgs);
            ASSERT_EQ(x->sParam.iq_compute_sup, ref->sParam.iq_compute_sup);
            for (int q = 0; q < ref->sParam.iq_compute_sup; q++) {
                EXPECT_EQ(x->sParam.aiDq[q], ref->sParam.aiDq[q]) << "band " << q;
                const int N = qavex_t_window_length(ref->pac[q]);
                ASSERT_EQ(qavex_t_window_length(x->pac[q]), N) << "band " << q;
                EXPECT_TRUE(std::equal(ref->pac[q], ref->pac[q] + N, x->pac[q])) << "band " << q;
            }
        }
    }
}
