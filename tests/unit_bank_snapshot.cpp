// Bank snapshots: objects reading equal banks share one, a changed window
// or hop makes another, an unstamped record gets its own, and the last
// reader frees it; analyses sharing one compute what one alone computes.
#include <gtest/gtest.h>

#include <vector>

#include "bank_fixture.h"
#include "bank_snapshot.h"
#include "fast_analysis.h"

namespace {

const std::vector<std::pair<int, int>> BANDS = {{2000, 2}, {700, 3}, {300, 40}, {129, 7}};

class BankSnapshot : public HostTest<qavex_t_setup> {};

}  // namespace

TEST_F(BankSnapshot, SharedByRecordAndContentsAndFreedByTheLastReader)
{
    StampedBank a(BANDS, 3), same(BANDS, 3), other_hop(BANDS, 3), other_window(BANDS, 3), unstamped(BANDS, 3);
    other_hop.hops[2] = 41;
    other_window.r[1][699] += 1e-3f;
    struct Case {
        const char *name;
        const sQbank_Param *second;
        bool shared;
    };
    unstamped.p.iGeneration = 0;
    for (const Case &c : {Case{"same record", &a.p, true}, Case{"equal contents", &same.p, true},
                          Case{"another hop", &other_hop.p, false}, Case{"another window", &other_window.p, false},
                          Case{"unstamped", &unstamped.p, false}}) {
        SCOPED_TRACE(c.name);
        const sBankSnapshot *s1 = bank_snapshot_acquire(&a.p);
        const sBankSnapshot *s2 = bank_snapshot_acquire(c.second);
        ASSERT_NE(s1, nullptr);
        ASSERT_NE(s2, nullptr);
        EXPECT_EQ(s1 == s2, c.shared);
        EXPECT_EQ(bank_snapshot_count(), c.shared || c.second->iGeneration == 0 ? 1 : 2);
        // The copies are the record's windows, header words included.
        for (int q = 0; q < s2->S; q++) {
            EXPECT_EQ(qavex_t_window_length(s2->bands[q].r), qavex_t_window_length(c.second->paf_r[q]));
            for (int m = 0; m < s2->bands[q].Lr; m++) ASSERT_EQ(s2->bands[q].r[m], c.second->paf_r[q][m]);
        }
        bank_snapshot_release(s2);
        EXPECT_EQ(bank_snapshot_count(), 1);
        bank_snapshot_release(s1);
        EXPECT_EQ(bank_snapshot_count(), 0);
    }
}

TEST_F(BankSnapshot, AnalysesSharingOneComputeWhatOneAloneComputes)
{
    StampedBank a(BANDS, 5), same(BANDS, 5);
    Analyser alone, first, second;
    for (Analyser *x : {&alone, &first, &second}) stub::send(x->pd, "set_fast", {stub::fa(1)});
    std::vector<float> in(64);
    for (int b = 0; b < 80; b++) {
        for (int j = 0; j < 64; j++) in[j] = (float)(((b * 64 + j) * 2654435761u) % 1000) / 1000.0f - 0.5f;
        const auto e = alone.block(in, &a.p);
        const auto f = first.block(in, &a.p), g = second.block(in, &same.p);
        EXPECT_EQ(bank_snapshot_count(), 1);
        ASSERT_EQ(e.size(), f.size());
        ASSERT_EQ(e.size(), g.size());
        for (size_t k = 0; k < e.size(); k++) {
            ASSERT_EQ(f[k].re, e[k].re);
            ASSERT_EQ(g[k].im, e[k].im);
        }
    }
}
