// Live coefficient view: levels in dB with a floor, the latest coefficient of
// each band, the update interval, resizing the array and the report.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "bank_fixture.h"
#include "qview_t.h"

namespace {

struct View : HostTest<qview_t_setup> {
    std::vector<t_sample> vG = std::vector<t_sample>(64, 0), vC = std::vector<t_sample>(64, 0);
    sQbank_Param rec{};
    std::vector<std::vector<sQavex_Coeff>> lists;
    std::vector<sQavex_Coeff *> table;
    sQview_t *obj = nullptr;
    stub::DspCall call{};

    void SetUp() override
    {
        HostTest::SetUp();
        stub::make_array("bandlevels", 3);
        obj = (sQview_t *)stub::create("qview~", {stub::sa("bandlevels")});
        ASSERT_NE(obj, nullptr);
        auto calls = stub::dsp(&obj->x_obj.ob_pd, {vG.data(), vC.data()});
        ASSERT_EQ(calls.size(), 1u);
        call = calls[0];
    }
    void TearDown() override
    {
        stub::destroy(&obj->x_obj.ob_pd);
        stub::remove_array("bandlevels");
        HostTest::TearDown();
    }

    // One block: a bank of S bands and the given lists of (band, re, im).
    void block(std::int32_t S, const std::vector<std::vector<std::array<double, 3>>> &in)
    {
        rec.iq_compute_sup = S;
        lists.assign(in.size(), {});
        table.clear();
        for (size_t k = 0; k < in.size(); k++) {
            lists[k].resize(in[k].size() + 1);
            for (size_t i = 0; i < in[k].size(); i++) {
                lists[k][i].start = (std::int32_t)i;
                lists[k][i].band = (std::int32_t)in[k][i][0];
                lists[k][i].val_r = in[k][i][1];
                lists[k][i].val_i = in[k][i][2];
            }
            lists[k][0].numCoeff = (std::int32_t)in[k].size();
            table.push_back(lists[k].data());
        }
        stub::publish_param(vC.data(), &rec);
        if (table.empty()) qavex_t_write_empty_block(vG.data());
        else stub::publish_coeff(vG.data(), table.data(), (std::int32_t)table.size());
        stub::run(call);
    }
    void empty_block()
    {
        qavex_t_write_empty_block(vG.data());
        qavex_t_write_empty_block(vC.data());
        stub::run(call);
    }
};

TEST(QviewLevel, DecibelsWithAFloor)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct {
        double mag, floor, want;
    } cases[] = {
        {1.0, -120, 0.0},     {0.001, -120, -60.0}, {10.0, -120, 20.0},  {1e-9, -120, -120.0},
        {1e-9, -200, -180.0}, {0.0, -90, -90.0},    {nan, -120, -120.0}, {0.5, 0, 0.0},
    };
    for (auto &c : cases) EXPECT_NEAR(qview_t_db(c.mag, c.floor), c.want, 1e-9) << c.mag << " floor " << c.floor;
}

TEST_F(View, WritesTheLatestMagnitudeOfEachBandAfterTheInterval)
{
    qview_t_set_interval(obj, 2);
    // Band 2 appears in both lists: the second list's value is the later one.
    // Bands outside 0..S-1 are ignored.
    std::vector<std::vector<std::array<double, 3>>> in = {
        {{0, 0.3, 0.4}, {2, 1.0, 0.0}, {7, 5.0, 0.0}},
        {{2, 0.0, -0.01}, {-1, 9.0, 0.0}, {4, 1e-8, 0.0}},
    };
    block(5, in);
    EXPECT_EQ(stub::run_clocks(), 0) << "one block is less than the interval";
    block(5, {{}});
    EXPECT_EQ(stub::run_clocks(), 1);
    auto a = stub::array_contents("bandlevels");
    ASSERT_EQ(a.size(), 5u) << "the array takes the band count";
    const double want[5] = {20 * std::log10(0.5), -120, 20 * std::log10(0.01), -120,
                            -120 /* 1e-8 is -160 dB, below the floor */};
    for (int q = 0; q < 5; q++) EXPECT_NEAR(a[q], want[q], 1e-4) << "band " << q;
    EXPECT_EQ(stub::array_redraws("bandlevels"), 1);

    // A lower floor shows the quiet band; a new band count clears the table.
    qview_t_set_floor(obj, -200);
    qview_t_tick(obj);
    EXPECT_NEAR(stub::array_contents("bandlevels")[4], -160.0, 1e-4);
    block(3, {{{1, 0.1, 0.0}}});
    block(3, {{}});
    stub::run_clocks();
    a = stub::array_contents("bandlevels");
    ASSERT_EQ(a.size(), 3u);
    EXPECT_NEAR(a[0], -200, 1e-4);
    EXPECT_NEAR(a[1], -20, 1e-4);
}

TEST_F(View, CountsOnlyValidBlocksTowardsTheInterval)
{
    struct {
        float interval;
        int valid_before_update;
    } cases[] = {{16, 16}, {3, 3}, {0, 1}, {-4, 1}, {2.9f, 2}};
    for (auto &c : cases) {
        qview_t_set_interval(obj, c.interval);
        stub::run_clocks();
        int fired_at = 0;
        for (int b = 1; b <= 20 && !fired_at; b++) {
            empty_block();  // never counts
            block(4, {{{1, 1.0, 0.0}}});
            if (stub::run_clocks()) fired_at = b;
        }
        EXPECT_EQ(fired_at, c.valid_before_update) << "interval " << c.interval;
    }
}

TEST_F(View, MissingArrayIsReportedOnceAndTheReportNamesTheLoudestBand)
{
    qview_t_set_array(obj, gensym("nowhere"));
    qview_t_set_interval(obj, 1);
    for (int i = 0; i < 3; i++) {
        block(6, {{{3, 0.25, 0.0}, {5, 0.001, 0.0}}});
        stub::run_clocks();
    }
    EXPECT_EQ(stub::count_lines("qview~: nowhere: no such array"), 1);
    stub::send(&obj->x_obj.ob_pd, "bang");
    EXPECT_TRUE(stub::posted("qview~: 6 bands, 0 updates")) << stub::console_text();
    char want[100];
    std::snprintf(want, sizeof want, "qview~: loudest band 3 at %f dB", 20 * std::log10(0.25));
    EXPECT_TRUE(stub::posted(want)) << stub::console_text();
}

}  // namespace
