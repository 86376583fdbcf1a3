// Coefficient generator: event conversion, capacity, publication and the
// forwarded parameter channel, driven through the host stand-in.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "bank_fixture.h"
#include "qemit_t.h"

namespace {

struct Emit : HostTest<qemit_t_setup> {
    std::vector<t_sample> vin, vinC, voutG, voutC;
    sQbank_Param rec{};
    sQemit_t *obj = nullptr;
    stub::DspCall call{};

    void SetUp() override
    {
        HostTest::SetUp();
        vin.assign(64, 0);
        vinC.assign(64, 0);
        voutG.assign(64, 0);
        voutC.assign(64, 0);
        rec.iq_compute_sup = 10;
        obj = (sQemit_t *)stub::create("qemit_tilde", {});
        ASSERT_NE(obj, nullptr);
        auto calls = stub::dsp(&obj->x_obj.ob_pd, {vin.data(), vinC.data(), voutG.data(), voutC.data()});
        ASSERT_EQ(calls.size(), 1u);
        call = calls[0];
    }
    void TearDown() override
    {
        if (obj) stub::destroy(&obj->x_obj.ob_pd);
        HostTest::TearDown();
    }

    void param_in() { stub::publish_param(vinC.data(), &rec); }
    void no_param_in() { std::fill(vinC.begin(), vinC.end(), 0.0f); }
    // Outlets start dirty so that every word the block leaves alone shows.
    void block()
    {
        std::fill(voutG.begin(), voutG.end(), 1.5f);
        std::fill(voutC.begin(), voutC.end(), 2.5f);
        stub::run(call);
    }
    void emit(std::vector<t_atom> a) { stub::send(&obj->x_obj.ob_pd, "emit", a); }

    // The single published list, or empty when no coefficient block is out.
    std::vector<sQavex_Coeff> published()
    {
        sQavex_CoeffIn in = qavex_t_read_coeff_block(voutG.data());
        if (in.tag != QAVG_TAG) return {};
        EXPECT_EQ(in.n, 1);
        EXPECT_NE(in.lists, nullptr);
        const sQavex_Coeff *l = in.lists[0];
        return std::vector<sQavex_Coeff>(l, l + l[0].numCoeff);
    }
    static bool all_zero(const std::vector<t_sample> &v, std::vector<int> except = {})
    {
        for (int i = 0; i < (int)v.size(); i++) {
            bool skip = false;
            for (int e : except) skip |= (e == i);
            std::int32_t w;
            std::memcpy(&w, &v[i], 4);
            if (!skip && w != 0) return false;
        }
        return true;
    }
    static std::vector<int> addr_words(int first)
    {
        std::vector<int> r{first};
        if (sizeof(void *) > 4) r.push_back(first + 1);
        return r;
    }
};

TEST_F(Emit, RegistersInletsOutletsAndBang)
{
    auto ins = stub::inlets_of(&obj->x_obj);
    ASSERT_EQ(ins.size(), 2u);
    EXPECT_TRUE(ins[0].is_signal);
    EXPECT_FALSE(ins[1].is_signal);
    EXPECT_EQ(ins[1].sel, "emit");
    auto outs = stub::outlets_of(&obj->x_obj);
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_TRUE(stub::outlet_is_signal(outs[0]));
    EXPECT_TRUE(stub::outlet_is_signal(outs[1]));
    EXPECT_FALSE(stub::outlet_is_signal(outs[2]));

    stub::send(&obj->x_obj.ob_pd, "bang");
    EXPECT_TRUE(stub::posted("Qemit Bang Bang Boing"));
    EXPECT_EQ(stub::console().size(), 1u);
    EXPECT_TRUE(stub::outlet_events().empty());
}

TEST_F(Emit, ArgumentsAreConvertedAndClamped)
{
    struct Case {
        std::vector<t_atom> args;
        std::int32_t start, band;
        double re, im;
    };
    const double nan = std::nan("");
    std::vector<Case> cases = {
        {{}, 0, 0, 0.0, 0.0},
        {{stub::fa(70.9)}, 63, 0, 0.0, 0.0},
        {{stub::fa(-3)}, 0, 0, 0.0, 0.0},
        {{stub::fa(5.99)}, 5, 0, 0.0, 0.0},
        {{stub::fa(nan)}, 0, 0, 0.0, 0.0},
        {{stub::fa(-0.5)}, 0, 0, 0.0, 0.0},
        {{stub::fa(63.9)}, 63, 0, 0.0, 0.0},
        {{stub::fa(1e30)}, 63, 0, 0.0, 0.0},
        {{stub::fa(0), stub::fa(0), stub::fa(0), stub::fa(-4)}, 0, 0, 0.0, 0.0},
        {{stub::fa(0), stub::fa(0), stub::fa(0), stub::fa(2.7)}, 0, 2, 0.0, 0.0},
        {{stub::fa(0), stub::fa(0), stub::fa(0), stub::fa(nan)}, 0, 0, 0.0, 0.0},
        {{stub::fa(12), stub::fa(0.1), stub::fa(-0.25), stub::fa(9)}, 12, 9, (double)0.1f, -0.25},
    };
    for (size_t k = 0; k < cases.size(); k++) {
        emit(cases[k].args);
        param_in();
        block();
        auto l = published();
        ASSERT_EQ(l.size(), 1u) << "case " << k;
        EXPECT_EQ(l[0].start, cases[k].start) << "case " << k;
        EXPECT_EQ(l[0].band, cases[k].band) << "case " << k;
        EXPECT_EQ(l[0].val_r, cases[k].re) << "case " << k;
        EXPECT_EQ(l[0].val_i, cases[k].im) << "case " << k;
    }
}

TEST_F(Emit, HundredEventsPerBlockAndOneMessage)
{
    for (int i = 0; i < 99; i++) emit({stub::fa(i % 64), stub::fa(i), stub::fa(-i), stub::fa(i % 10)});
    EXPECT_EQ(stub::count_lines("qemit: Maximum number of events for qemit reached."), 0);
    emit({stub::fa(1), stub::fa(99), stub::fa(-99), stub::fa(9)});
    EXPECT_EQ(stub::count_lines("qemit: Maximum number of events for qemit reached."), 1);
    emit({stub::fa(2), stub::fa(1000), stub::fa(1000), stub::fa(3)});  // the 101st
    EXPECT_EQ(stub::count_lines("qemit: Maximum number of events for qemit reached."), 1);
    EXPECT_EQ(stub::console().size(), 1u);

    param_in();
    block();
    auto l = published();
    ASSERT_EQ(l.size(), 100u);
    for (int i = 0; i < 100; i++) {  // arrival order kept, the 101st absent
        EXPECT_EQ(l[i].val_r, (double)i) << i;
        EXPECT_EQ(l[i].val_i, (double)-i) << i;
    }
    EXPECT_EQ(l[99].start, 1);

    // The next block's list is fresh: capacity and the message come back.
    for (int i = 0; i < 100; i++) emit({stub::fa(0), stub::fa(7)});
    EXPECT_EQ(stub::count_lines("qemit: Maximum number of events for qemit reached."), 2);
    block();
    EXPECT_EQ(published().size(), 100u);
}

TEST_F(Emit, EventsWaitForAParameterBlock)
{
    emit({stub::fa(3), stub::fa(1), stub::fa(2), stub::fa(4)});
    emit({stub::fa(7), stub::fa(5), stub::fa(6), stub::fa(8)});
    no_param_in();
    for (int b = 0; b < 3; b++) {
        block();
        EXPECT_TRUE(all_zero(voutG));
        EXPECT_TRUE(all_zero(voutC));
    }
    // A tag without a record address is no parameter block either.
    hide_int_at_address(QAVC_TAG, vinC.data());
    block();
    EXPECT_TRUE(all_zero(voutG));
    EXPECT_TRUE(all_zero(voutC));

    param_in();
    block();
    auto l = published();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].start, 3);
    EXPECT_EQ(l[0].band, 4);
    EXPECT_EQ(l[1].start, 7);
    EXPECT_EQ(l[1].val_i, 6.0);
    block();  // pending list was emptied
    EXPECT_EQ(published().size(), 0u);
}

TEST_F(Emit, ValidBlockWithoutEventsPublishesAnEmptyList)
{
    param_in();
    block();
    sQavex_CoeffIn in = qavex_t_read_coeff_block(voutG.data());
    EXPECT_EQ(in.tag, QAVG_TAG);
    EXPECT_EQ(in.n, 1);
    ASSERT_NE(in.lists, nullptr);
    EXPECT_EQ(in.lists, obj->pawc);
    EXPECT_EQ(in.lists[0][0].numCoeff, 0);
    std::vector<int> used = addr_words(QAVEX_WORD_LISTS);
    used.push_back(0);
    used.push_back(QAVEX_WORD_NLISTS);
    EXPECT_TRUE(all_zero(voutG, used));

    sQavex_ParamIn p = qavex_t_read_param_block(voutC.data());
    EXPECT_EQ(p.tag, QAVC_TAG);
    EXPECT_EQ(p.p, &rec);
    std::vector<int> pused = addr_words(QAVEX_WORD_PARAM);
    pused.push_back(0);
    EXPECT_TRUE(all_zero(voutC, pused));
}

TEST_F(Emit, BandsOutsideTheRecordAreDroppedAtPublication)
{
    rec.iq_compute_sup = 5;
    for (int b : {3, 5, 7, 4, 1000000}) emit({stub::fa(b), stub::fa(b), stub::fa(0), stub::fa(b)});
    emit({stub::fa(0), stub::fa(1), stub::fa(0), stub::fa(1e12)});  // clamped high, still dropped
    param_in();
    block();
    auto l = published();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0].band, 3);
    EXPECT_EQ(l[1].band, 4);
    EXPECT_EQ(l[1].start, 4);

    rec.iq_compute_sup = 0;  // no bank: nothing may pass
    emit({stub::fa(0), stub::fa(1)});
    block();
    EXPECT_EQ(published().size(), 0u);
    EXPECT_EQ(qavex_t_read_coeff_block(voutG.data()).tag, QAVG_TAG);
}

TEST_F(Emit, ListOnThirdInletActsAsEmit)
{
    auto ins = stub::inlets_of(&obj->x_obj);
    ASSERT_EQ(ins.size(), 2u);
    // The host forwards a list on that inlet under the inlet's selector.
    stub::send(&obj->x_obj.ob_pd, ins[1].sel, {stub::fa(9.5), stub::fa(0.5), stub::fa(-1), stub::fa(3.9)});
    emit({stub::fa(9.5), stub::fa(0.5), stub::fa(-1), stub::fa(3.9)});
    param_in();
    block();
    auto l = published();
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(std::memcmp(&l[0].start, &l[1].start, sizeof l[0].start), 0);
    EXPECT_EQ(l[0].val_r, l[1].val_r);
    EXPECT_EQ(l[0].val_i, l[1].val_i);
    EXPECT_EQ(l[0].band, 3);
    EXPECT_EQ(l[1].band, 3);
    EXPECT_EQ(l[0].start, 9);
}

TEST_F(Emit, SharedInletAndOutletVectorsStillForward)
{
    // The host may give the parameter inlet and an outlet one vector.
    for (int shared = 0; shared < 2; shared++) {
        std::vector<t_sample> v(64, 0), other(64, 0), main(64, 0);
        std::vector<t_sample *> vecs = shared == 0
                                           ? std::vector<t_sample *>{main.data(), v.data(), v.data(), other.data()}
                                           : std::vector<t_sample *>{main.data(), v.data(), other.data(), v.data()};
        auto calls = stub::dsp(&obj->x_obj.ob_pd, vecs);
        ASSERT_EQ(calls.size(), 1u);
        emit({stub::fa(1), stub::fa(2)});
        stub::publish_param(v.data(), &rec);
        stub::run(calls[0]);
        t_sample *g = shared == 0 ? v.data() : other.data();
        t_sample *c = shared == 0 ? other.data() : v.data();
        sQavex_ParamIn p = qavex_t_read_param_block(c);
        EXPECT_EQ(p.tag, QAVC_TAG) << shared;
        EXPECT_EQ(p.p, &rec) << shared;
        sQavex_CoeffIn ci = qavex_t_read_coeff_block(g);
        ASSERT_EQ(ci.tag, QAVG_TAG) << shared;
        EXPECT_EQ(ci.lists[0][0].numCoeff, 1) << shared;
        EXPECT_EQ(ci.lists[0][0].val_r, 2.0) << shared;
    }
}

TEST_F(Emit, PublishedListStaysUntilTheNextPublication)
{
    emit({stub::fa(1), stub::fa(11)});
    param_in();
    block();
    const sQavex_Coeff *l = qavex_t_read_coeff_block(voutG.data()).lists[0];
    emit({stub::fa(2), stub::fa(22)});
    emit({stub::fa(3), stub::fa(33)});
    EXPECT_EQ(l[0].numCoeff, 1);
    EXPECT_EQ(l[0].val_r, 11.0);
    no_param_in();
    block();
    EXPECT_EQ(l[0].val_r, 11.0);
    param_in();
    block();
    EXPECT_EQ(l[0].numCoeff, 2);
    EXPECT_EQ(l[1].val_r, 33.0);
}

TEST_F(Emit, OtherBlockSizesPublishNothing)
{
    std::vector<t_sample> a(32, 0), b(32, 0), g(32, 7), c(32, 7);
    auto calls = stub::dsp(&obj->x_obj.ob_pd, {a.data(), b.data(), g.data(), c.data()}, 32);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(stub::console().size(), 1u);
    EXPECT_TRUE(stub::console()[0].error);
    emit({stub::fa(4), stub::fa(1)});
    stub::publish_param(b.data(), &rec);
    stub::run(calls[0]);
    EXPECT_TRUE(all_zero(g));
    EXPECT_TRUE(all_zero(c));
    // Back at 64 samples the waiting event goes out.
    param_in();
    block();
    auto l = published();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].start, 4);
}

TEST_F(Emit, CorruptPendingCountIsReportedNotPublished)
{
    obj->num_coeff = 150;
    emit({stub::fa(1)});  // refused, no write past the list
    EXPECT_EQ(obj->num_coeff, 150);
    param_in();
    block();
    EXPECT_TRUE(stub::errored("qemit: Fatal Error."));
    EXPECT_TRUE(all_zero(voutG));
    EXPECT_EQ(qavex_t_read_param_block(voutC.data()).p, &rec);
    obj->num_coeff = -2;
    emit({stub::fa(1)});
    EXPECT_EQ(obj->num_coeff, -2);
    block();
    EXPECT_EQ(stub::count_lines("qemit: Fatal Error."), 2);
    // Recovered: the object works again afterwards.
    emit({stub::fa(5), stub::fa(1)});
    block();
    ASSERT_EQ(published().size(), 1u);
}

TEST_F(Emit, NoMemoryLeavesAWorkingForwarder)
{
    stub::destroy(&obj->x_obj.ob_pd);
    obj = nullptr;
    stub::clear();
    qavex_t_fail_after = 1;  // second list fails
    obj = (sQemit_t *)stub::create("qemit_tilde", {stub::fa(3)});
    ASSERT_NE(obj, nullptr);
    EXPECT_TRUE(stub::errored("Qavex_t: Out of Memory"));
    EXPECT_EQ(obj->pawc[0], nullptr);
    EXPECT_EQ(obj->pawc_intern, nullptr);
    auto calls = stub::dsp(&obj->x_obj.ob_pd, {vin.data(), vinC.data(), voutG.data(), voutC.data()});
    call = calls.at(0);
    emit({stub::fa(1), stub::fa(1)});
    param_in();
    block();
    EXPECT_TRUE(all_zero(voutG));
    EXPECT_EQ(qavex_t_read_param_block(voutC.data()).p, &rec);
}

}  // namespace
