// The coefficient processor: creation per type, messages, report, and the
// four block routines driven with hand-made coefficient lists and banks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "bank_fixture.h"
#include "qproc_t.h"

namespace {

// ---------------------------------------------------------------- helpers

struct C {
    std::int32_t start;
    double re, im;
    std::int32_t band;
};

// A coefficient list with spare capacity behind its valid entries; the
// spare entries hold a marker that no routine may touch.
struct List {
    std::vector<sQavex_Coeff> e;
    explicit List(const std::vector<C> &cs, int spare = 2)
    {
        e.resize(cs.size() + spare + 1);
        for (auto &x : e) x = {63, 0.01, -0.01, 7, 0};
        for (size_t i = 0; i < cs.size(); i++) e[i] = {cs[i].start, cs[i].re, cs[i].im, cs[i].band, 0};
        e[0].numCoeff = (std::int32_t)cs.size();
    }
    sQavex_Coeff *data() { return e.data(); }
    const sQavex_Coeff &operator[](size_t i) const { return e[i]; }
};

using Block = std::vector<t_sample>;

// A signal vector filled with a pattern that is neither empty nor tagged.
Block garbage(size_t n = 64)
{
    Block b(n);
    for (size_t i = 0; i < n; i++) b[i] = 1234.5f + (float)i;
    return b;
}
Block zeros() { return Block(64, 0.0f); }

Block coeff_block(sQavex_Coeff **lists, std::int32_t n)
{
    Block b = zeros();
    stub::publish_coeff(b.data(), lists, n);
    return b;
}

Block param_block(const sQbank_Param *p)
{
    Block b = zeros();
    stub::publish_param(b.data(), p);
    return b;
}

bool is_empty(const Block &b)
{
    for (int i = 0; i < 64; i++)
        if (find_int_at_address(&b[i]) != 0) return false;
    return true;
}

// Local test maps: the linear map data[0]·x, and one that yields NaN.
double test_lin(double x, double *data) { return data[0] * x; }
double test_nan(double, double *) { return std::numeric_limits<double>::quiet_NaN(); }

// A bank record with float windows of given lengths (0 = no window), left
// as allocated, and the linear map slope·x.
std::vector<std::pair<int, int>> shapes(const std::vector<int> &lengths)
{
    std::vector<std::pair<int, int>> v;
    for (int len : lengths) v.push_back({len, 0});
    return v;
}
struct Bank : HandBank {
    double data[4] = {1.0, 0.0, 0.0, 0.0};
    Bank(const std::vector<int> &lengths, double b = 1.0, double slope = 1.0) : HandBank(shapes(lengths), 1, false)
    {
        data[0] = slope;
        p._b = b;
        p.Theta = test_lin;
        p.thetadata = data;
        p.aiDq = nullptr;
        if (lengths.empty()) p.paf_r = p.paf_i = nullptr;
    }
    Bank(int bands, int length, double b = 1.0, double slope = 1.0) : Bank(std::vector<int>(bands, length), b, slope) {}
};

class Qproc : public HostTest<qproc_t_setup> {
protected:
    void TearDown() override
    {
        for (t_pd *o : objs_) stub::destroy(o);
        HostTest::TearDown();
    }

    sQproc_t *make(const std::vector<t_atom> &args)
    {
        t_pd *o = stub::create("qproc~", args);
        if (o) objs_.push_back(o);
        return (sQproc_t *)o;
    }

    // Registers the routine for the given vectors and returns it.
    stub::DspCall routine(sQproc_t *x, const std::vector<t_sample *> &vecs, int n = 64)
    {
        auto calls = stub::dsp((t_pd *)x, vecs, n);
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? stub::DspCall{} : calls[0];
    }

    std::vector<t_pd *> objs_;
};

void expect_coeff(const sQavex_Coeff &c, std::int32_t start, double re, double im, std::int32_t band)
{
    EXPECT_EQ(c.start, start);
    EXPECT_DOUBLE_EQ(c.val_r, re);
    EXPECT_DOUBLE_EQ(c.val_i, im);
    EXPECT_EQ(c.band, band);
}

// Spare entries behind the valid ones keep their marker.
void expect_spare_untouched(const List &l)
{
    for (size_t i = (size_t)l[0].numCoeff; i < l.e.size(); i++) {
        EXPECT_EQ(l[i].start, 63) << i;
        EXPECT_EQ(l[i].band, 7) << i;
        EXPECT_EQ(l[i].val_r, 0.01) << i;
        EXPECT_EQ(l[i].val_i, -0.01) << i;
    }
}

}  // namespace

// ---------------------------------------------------------------- creation

TEST_F(Qproc, InletsAndOutletsPerType)
{
    struct Expect {
        const char *sym;
        std::vector<int> inlets;  // -1 signal, otherwise the float_param index
    };
    const Expect cases[] = {
        {"add", {0, -1, 1}},
        {"filter", {0, 1}},
        {"threshold", {0}},
        {"shift", {-1, 0, -1, 0, 1, 2}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.sym);
        sQproc_t *x = make({stub::sa(c.sym)});
        ASSERT_NE(x, nullptr);
        auto in = stub::inlets_of(&x->x_obj);
        ASSERT_EQ(in.size(), c.inlets.size());
        EXPECT_EQ(x->num_inlet, (std::int32_t)c.inlets.size() + 1);
        for (size_t i = 0; i < in.size(); i++) {
            if (c.inlets[i] < 0) {
                EXPECT_TRUE(in[i].is_signal) << i;
            } else {
                EXPECT_FALSE(in[i].is_signal) << i;
                EXPECT_EQ(in[i].fp, &x->float_param[c.inlets[i]]) << i;
            }
        }
        auto out = stub::outlets_of(&x->x_obj);
        ASSERT_EQ(out.size(), 2u);
        EXPECT_TRUE(stub::outlet_is_signal(out[0]));
        EXPECT_FALSE(stub::outlet_is_signal(out[1]));
        EXPECT_EQ(x->num_outlet, 2);
    }
    EXPECT_FALSE(stub::posted("Qproc Usage: See Help Patch"));
    EXPECT_TRUE(stub::outlet_events().empty());
}

TEST_F(Qproc, CreationArgumentsPerType)
{
    sQproc_t *a = make({stub::sa("add"), stub::fa(1), stub::fa(2), stub::fa(3)});
    sQproc_t *f = make({stub::sa("filter"), stub::fa(3.7), stub::fa(5), stub::fa(9)});
    sQproc_t *t = make({stub::sa("threshold"), stub::fa(0.5), stub::fa(2)});
    sQproc_t *s = make({stub::sa("shift"), stub::fa(-2), stub::fa(1), stub::fa(1)});
    for (int i = 0; i < 8; i++) EXPECT_EQ(a->float_param[i], 0.0f);
    EXPECT_EQ(a->type, eQPROC_ADD);
    EXPECT_FLOAT_EQ(f->float_param[0], 3.7f);
    EXPECT_EQ(f->float_param[1], 5.0f);
    EXPECT_EQ(f->float_param[2], 0.0f);
    EXPECT_EQ(f->type, eQPROC_FILTER);
    EXPECT_EQ(t->float_param[0], 0.5f);
    EXPECT_EQ(t->float_param[1], 0.0f);
    EXPECT_EQ(t->type, eQPROC_THRESHOLD);
    EXPECT_EQ(s->float_param[0], -2.0f);
    EXPECT_EQ(s->float_param[1], 1.0f);
    EXPECT_EQ(s->float_param[2], 1.0f);
    EXPECT_EQ(s->type, eQPROC_SHIFT);
    for (auto *x : {a, f, t, s})
        for (int i = 0; i < 8; i++) EXPECT_EQ(x->int_param[i], 0);
}

TEST_F(Qproc, UnknownSymbolGivesInertObject)
{
    const std::vector<std::vector<t_atom>> argsets = {{stub::sa("multiply")}, {}, {stub::sa("Add")}, {stub::sa("")}};
    for (auto &args : argsets) {
        stub::clear();
        sQproc_t *x = make(args);
        ASSERT_NE(x, nullptr);
        EXPECT_TRUE(stub::posted("Qproc Usage: See Help Patch"));
        EXPECT_TRUE(stub::inlets_of(&x->x_obj).empty());
        EXPECT_TRUE(stub::outlets_of(&x->x_obj).empty());
        Block in = garbage();
        EXPECT_TRUE(stub::dsp((t_pd *)x, {in.data()}).empty());
        // Messages and the report still work on it.
        EXPECT_TRUE(stub::send((t_pd *)x, "set_float_param", {stub::fa(1), stub::fa(4)}));
        EXPECT_EQ(x->float_param[1], 4.0f);
        stub::send((t_pd *)x, "bang");
        EXPECT_TRUE(stub::posted("Qproc Buum Chzakk"));
    }
}

TEST_F(Qproc, OutOfMemoryAtCreationRefusesTheObject)
{
    for (int k : {0, 1}) {
        stub::clear();
        qavex_t_fail_after = k;
        EXPECT_EQ(make({stub::sa("shift")}), nullptr);
        EXPECT_TRUE(stub::errored("qproc~: out of memory"));
    }
    qavex_t_fail_after = -1;
    EXPECT_NE(make({stub::sa("shift")}), nullptr);
}

TEST_F(Qproc, DeleteFreesInletsAndOutlets)
{
    t_pd *o = stub::create("qproc~", {stub::sa("shift")});
    t_object *ob = (t_object *)o;
    ASSERT_EQ(stub::inlets_of(ob).size(), 6u);
    stub::destroy(o);
    EXPECT_TRUE(stub::inlets_of(ob).empty());
    EXPECT_TRUE(stub::outlets_of(ob).empty());
}

// ---------------------------------------------------------------- messages

TEST_F(Qproc, SetParamMessagesIgnoreOutOfRangeIndexes)
{
    sQproc_t *x = make({stub::sa("filter")});
    stub::send((t_pd *)x, "set_float_param", {stub::fa(7.9), stub::fa(2.5)});
    stub::send((t_pd *)x, "set_float_param", {stub::fa(8), stub::fa(9)});
    stub::send((t_pd *)x, "set_float_param", {stub::fa(-0.5), stub::fa(9)});
    stub::send((t_pd *)x, "set_float_param", {stub::fa(0), stub::fa(-3.25)});
    EXPECT_EQ(x->float_param[7], 2.5f);
    EXPECT_EQ(x->float_param[0], -3.25f);
    for (int i = 1; i < 7; i++) EXPECT_EQ(x->float_param[i], 0.0f) << i;

    stub::send((t_pd *)x, "set_int_param", {stub::fa(3), stub::fa(-7.9)});
    stub::send((t_pd *)x, "set_int_param", {stub::fa(0.99), stub::fa(12.7)});
    stub::send((t_pd *)x, "set_int_param", {stub::fa(8), stub::fa(5)});
    stub::send((t_pd *)x, "set_int_param", {stub::fa(-1), stub::fa(5)});
    stub::send((t_pd *)x, "set_int_param", {stub::fa(5), stub::fa(1e20)});
    stub::send((t_pd *)x, "set_int_param", {stub::fa(6), stub::fa(-1e20)});
    EXPECT_EQ(x->int_param[3], -7);
    EXPECT_EQ(x->int_param[0], 12);
    EXPECT_EQ(x->int_param[5], std::numeric_limits<std::int32_t>::max());
    EXPECT_EQ(x->int_param[6], std::numeric_limits<std::int32_t>::min());
    for (int i : {1, 2, 4, 7}) EXPECT_EQ(x->int_param[i], 0) << i;
    // Missing arguments count as 0.
    stub::send((t_pd *)x, "set_float_param", {stub::fa(2)});
    EXPECT_EQ(x->float_param[2], 0.0f);
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();
}

TEST_F(Qproc, BangReportsTypeAndSixteenParameters)
{
    sQproc_t *x = make({stub::sa("shift"), stub::fa(2), stub::fa(1), stub::fa(-0.5)});
    stub::send((t_pd *)x, "set_int_param", {stub::fa(4), stub::fa(-9)});
    stub::clear();
    stub::send((t_pd *)x, "bang");
    std::vector<std::string> want = {"Qproc Buum Chzakk", "Type: 3"};
    const char *f[8] = {"2.000000", "1.000000", "-0.500000", "0.000000",
                        "0.000000", "0.000000", "0.000000",  "0.000000"};
    for (int i = 0; i < 8; i++) want.push_back("float_param[" + std::to_string(i) + "]=\t" + f[i]);
    for (int i = 0; i < 8; i++) want.push_back("int_param[" + std::to_string(i) + "]=\t" + (i == 4 ? "-9" : "0"));
    ASSERT_EQ(stub::console().size(), want.size()) << stub::console_text();
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_FALSE(stub::console()[i].error);
        EXPECT_EQ(stub::console()[i].text, want[i]);
    }
    stub::clear();
    sQproc_t *a = make({stub::sa("add"), stub::fa(5), stub::fa(6), stub::fa(7)});
    stub::clear();
    stub::send((t_pd *)a, "bang");
    EXPECT_TRUE(stub::posted("Type: 0"));
    EXPECT_EQ(stub::count_lines("float_param[0]=\t0.000000"), 1);
    EXPECT_EQ(stub::count_lines("float_param[1]=\t0.000000"), 1);
    EXPECT_EQ(stub::count_lines("float_param[2]=\t0.000000"), 1);
}

// ---------------------------------------------------------------- dsp

TEST_F(Qproc, DspRegistersRoutineWithItsVectors)
{
    Block v[5];
    for (auto &b : v) b = zeros();
    struct Case {
        const char *sym;
        int vectors;
        t_perfroutine fn;
    };
    const Case cases[] = {{"add", 3, qproc_t_perform_add},
                          {"filter", 2, qproc_t_perform_filter},
                          {"threshold", 2, qproc_t_perform_threshold},
                          {"shift", 4, qproc_t_perform_shift}};
    for (auto &c : cases) {
        SCOPED_TRACE(c.sym);
        sQproc_t *x = make({stub::sa(c.sym)});
        std::vector<t_sample *> vecs;
        for (int i = 0; i < c.vectors; i++) vecs.push_back(v[i].data());
        auto call = routine(x, vecs);
        EXPECT_EQ(call.routine, c.fn);
        ASSERT_EQ(call.args.size(), (size_t)c.vectors + 1);
        EXPECT_EQ(x->dsp_num_pointers, c.vectors + 1);
        EXPECT_EQ(call.args[0], (t_int)x);
        for (int i = 0; i < c.vectors; i++) EXPECT_EQ(call.args[i + 1], (t_int)v[i].data());
        // The routine consumes exactly its own argument words.
        std::vector<t_int> w = {0};
        for (t_int a : call.args) w.push_back(a);
        EXPECT_EQ(call.routine(w.data()), w.data() + w.size());
    }
}

TEST_F(Qproc, OtherBlockSizeGivesSilentOutput)
{
    for (const char *sym : {"add", "filter", "threshold", "shift"}) {
        SCOPED_TRACE(sym);
        stub::clear();
        sQproc_t *x = make({stub::sa(sym)});
        List l({{0, 1, 1, 3}});
        sQavex_Coeff *lists[] = {l.data()};
        Block in = coeff_block(lists, 1);
        std::vector<Block> vecs(4, garbage());
        vecs[0] = in;
        int nvec = std::string(sym) == "shift" ? 4 : std::string(sym) == "add" ? 3 : 2;
        std::vector<t_sample *> ptrs;
        for (int i = 0; i < nvec; i++) ptrs.push_back(vecs[i].data());
        auto call = routine(x, ptrs, 32);
        EXPECT_TRUE(stub::errored("qproc~: block size 32 not supported, needs 64; output stays empty"))
            << stub::console_text();
        stub::run(call);
        Block &out = vecs[nvec - 1];
        for (int i = 0; i < 32; i++) EXPECT_EQ(out[i], 0.0f) << i;
        for (int i = 32; i < 64; i++) EXPECT_EQ(out[i], 1234.5f + i) << i;  // beyond the block: untouched
        EXPECT_EQ(x->int_param[0], 0);
        expect_coeff(l[0], 0, 1, 1, 3);
    }
}

// A float on an unconnected signal inlet fills every word with its bits; a
// float with a tag's bits must not make its copies an address.
TEST_F(Qproc, ConstantVectorsWithTagBitsAreRefused)
{
    auto filled = [](std::int32_t tag) {
        Block b(64);
        for (auto &v : b) hide_int_at_address(tag, &v);
        return b;
    };
    Block g = filled(QAVG_TAG), c = filled(QAVC_TAG);
    for (const char *sym : {"filter", "threshold"}) {
        sQproc_t *x = make({stub::sa(sym), stub::fa(0), stub::fa(100)});
        Block in = g, out = garbage();
        stub::run(routine(x, {in.data(), out.data()}));
        EXPECT_TRUE(is_empty(out)) << sym;
    }
    sQproc_t *a = make({stub::sa("add")});
    Block in1 = g, in2 = zeros(), out = garbage();
    stub::run(routine(a, {in1.data(), in2.data(), out.data()}));
    EXPECT_TRUE(is_empty(out));

    // Shift: a filled coefficient block with good banks, and good
    // coefficients with filled parameter blocks.
    Bank bank(5, 10);
    List l({{3, 0.5, -0.5, 2}});
    sQavex_Coeff *lists[] = {l.data()};
    sQproc_t *s = make({stub::sa("shift"), stub::fa(1)});
    Block gc = coeff_block(lists, 1), gp = param_block(&bank.p);
    const Block *cases[][3] = {{&g, &gp, &gp}, {&gc, &c, &gp}, {&gc, &gp, &c}};
    for (auto &k : cases) {
        Block i0 = *k[0], i1 = *k[1], i2 = *k[2], o = garbage();
        stub::run(routine(s, {i0.data(), i1.data(), i2.data(), o.data()}));
        EXPECT_TRUE(is_empty(o));
        EXPECT_EQ(s->int_param[0], 0);
    }
    expect_coeff(l[0], 3, 0.5, -0.5, 2);
}

// ---------------------------------------------------------------- add

TEST_F(Qproc, AddPassesOneChannelThroughFreshArray)
{
    sQproc_t *x = make({stub::sa("add")});
    List l1({{1, 1, 0, 2}}), l2({{2, 0, 1, 3}, {5, 1, 1, 4}});
    sQavex_Coeff *lists[] = {l1.data(), l2.data()};
    Block in1 = coeff_block(lists, 2), in2 = zeros(), out = garbage();
    auto call = routine(x, {in1.data(), in2.data(), out.data()});
    stub::run(call);
    auto got = qavex_t_read_coeff_block(out.data());
    EXPECT_EQ(got.tag, QAVG_TAG);
    ASSERT_EQ(got.n, 2);
    EXPECT_NE(got.lists, lists);
    EXPECT_EQ(got.lists, x->pawc);
    EXPECT_EQ(got.lists[0], l1.data());
    EXPECT_EQ(got.lists[1], l2.data());
    // Unconnected first channel, second connected: the same lists.
    Block out2 = garbage();
    auto call2 = routine(x, {in2.data(), in1.data(), out2.data()});
    stub::run(call2);
    got = qavex_t_read_coeff_block(out2.data());
    ASSERT_EQ(got.n, 2);
    EXPECT_EQ(got.lists[0], l1.data());
    EXPECT_EQ(got.lists[1], l2.data());
    // The lists themselves are not copied or changed.
    expect_coeff(l2[1], 5, 1, 1, 4);
}

TEST_F(Qproc, AddMergesBothChannelsInOrder)
{
    sQproc_t *x = make({stub::sa("add")});
    List a({{1, 1, 0, 2}}), b({}), c({{3, 2, 2, 1}}), d({{4, 0, 0, 0}});
    sQavex_Coeff *la[] = {a.data(), b.data()};
    sQavex_Coeff *lb[] = {c.data(), d.data(), a.data()};
    Block in1 = coeff_block(la, 2), in2 = coeff_block(lb, 3);
    // Output shares the vector of the first input: inputs are read first.
    auto call = routine(x, {in1.data(), in2.data(), in1.data()});
    stub::run(call);
    auto got = qavex_t_read_coeff_block(in1.data());
    EXPECT_EQ(got.tag, QAVG_TAG);
    ASSERT_EQ(got.n, 5);
    sQavex_Coeff *want[] = {a.data(), b.data(), c.data(), d.data(), a.data()};
    for (int i = 0; i < 5; i++) EXPECT_EQ(got.lists[i], want[i]) << i;
    // Next tick with more lists than before: the array is rebuilt larger.
    sQavex_Coeff *lc[] = {d.data(), c.data(), b.data(), a.data()};
    Block i1 = coeff_block(lc, 4), i2 = coeff_block(lb, 3), out = garbage();
    auto call2 = routine(x, {i1.data(), i2.data(), out.data()});
    stub::run(call2);
    got = qavex_t_read_coeff_block(out.data());
    ASSERT_EQ(got.n, 7);
    sQavex_Coeff *want2[] = {d.data(), c.data(), b.data(), a.data(), c.data(), d.data(), a.data()};
    for (int i = 0; i < 7; i++) EXPECT_EQ(got.lists[i], want2[i]) << i;
    EXPECT_GE(x->pawc_capacity, 7);
}

TEST_F(Qproc, AddWithoutListsWritesEmptyBlock)
{
    sQproc_t *x = make({stub::sa("add")});
    List a({{1, 1, 0, 2}});
    sQavex_Coeff *la[] = {a.data()};
    Block untagged = garbage();
    Block zero_count = coeff_block(la, 0);
    Block wrong_tag = coeff_block(la, 1);
    hide_int_at_address(QAVC_TAG, wrong_tag.data());
    const Block *inputs[][2] = {{nullptr, nullptr}, {&zero_count, &zero_count}, {&untagged, &wrong_tag}};
    for (auto &pair : inputs) {
        Block in1 = pair[0] ? *pair[0] : zeros(), in2 = pair[1] ? *pair[1] : zeros(), out = garbage();
        auto call = routine(x, {in1.data(), in2.data(), out.data()});
        stub::run(call);
        EXPECT_TRUE(is_empty(out));
    }
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();
}

TEST_F(Qproc, AddOutOfMemoryWritesEmptyBlockAndRecovers)
{
    sQproc_t *x = make({stub::sa("add")});
    List a({{1, 1, 0, 2}});
    sQavex_Coeff *la[] = {a.data()};
    Block in1 = coeff_block(la, 1), in2 = zeros(), out = garbage();
    auto call = routine(x, {in1.data(), in2.data(), out.data()});
    qavex_t_fail_after = 0;
    stub::run(call);
    EXPECT_TRUE(is_empty(out));
    EXPECT_EQ(x->pawc, nullptr);
    stub::run(call);
    auto got = qavex_t_read_coeff_block(out.data());
    ASSERT_EQ(got.n, 1);
    EXPECT_EQ(got.lists[0], a.data());
}

// ---------------------------------------------------------------- filter

TEST_F(Qproc, FilterZeroesBandRangeInPlace)
{
    sQproc_t *x = make({stub::sa("filter"), stub::fa(3), stub::fa(5)});
    List l1({{0, 1, 2, 2}, {0, 3, 4, 3}, {1, -1, 1, 4}}), l2({{5, 7, 8, 5}, {6, 0.5, 0.5, 4}});
    sQavex_Coeff *lists[] = {l1.data(), l2.data()};
    Block in = coeff_block(lists, 2);
    // Same vector for input and output, as the host may hand out.
    auto call = routine(x, {in.data(), in.data()});
    stub::run(call);
    auto got = qavex_t_read_coeff_block(in.data());
    EXPECT_EQ(got.tag, QAVG_TAG);
    EXPECT_EQ(got.lists, lists);
    EXPECT_EQ(got.n, 2);
    expect_coeff(l1[0], 0, 1, 2, 2);
    expect_coeff(l1[1], 0, 0, 0, 3);
    expect_coeff(l1[2], 1, 0, 0, 4);
    expect_coeff(l2[0], 5, 7, 8, 5);
    expect_coeff(l2[1], 6, 0, 0, 4);
    EXPECT_EQ(l1[0].numCoeff, 3);
    EXPECT_EQ(l2[0].numCoeff, 2);
    expect_spare_untouched(l1);
    expect_spare_untouched(l2);
}

TEST_F(Qproc, FilterRangeFollowsInletsAndTruncates)
{
    sQproc_t *x = make({stub::sa("filter"), stub::fa(5), stub::fa(3)});
    List l({{0, 1, 1, 3}, {0, 1, 1, 4}, {0, 1, 1, 5}, {0, 1, 1, 6}, {0, 1, 1, -1}});
    sQavex_Coeff *lists[] = {l.data()};
    Block in = coeff_block(lists, 1), out = garbage();
    auto call = routine(x, {in.data(), out.data()});
    stub::run(call);  // empty range: nothing changes
    for (int i = 0; i < 5; i++) EXPECT_EQ(l[i].val_r, 1.0) << i;
    auto in_ = stub::inlets_of(&x->x_obj);
    *in_[0].fp = 4.9f;   // lower -> 4
    *in_[1].fp = 6.99f;  // upper -> 6
    stub::run(call);
    EXPECT_EQ(l[0].val_r, 1.0);
    EXPECT_EQ(l[1].val_r, 0.0);
    EXPECT_EQ(l[2].val_r, 0.0);
    EXPECT_EQ(l[3].val_r, 1.0);
    EXPECT_EQ(l[4].val_r, 1.0);
    // Negative lower bound reaches negative bands.
    stub::send((t_pd *)x, "set_float_param", {stub::fa(0), stub::fa(-1.5)});
    stub::send((t_pd *)x, "set_float_param", {stub::fa(1), stub::fa(0)});
    stub::run(call);
    expect_coeff(l[4], 0, 0, 0, -1);
    expect_coeff(l[0], 0, 1, 1, 3);
}

TEST_F(Qproc, FilterAndThresholdRejectUntaggedInput)
{
    for (const char *sym : {"filter", "threshold"}) {
        sQproc_t *x = make({stub::sa(sym), stub::fa(0), stub::fa(100)});
        List l({{0, 0.1, 0.1, 3}});
        sQavex_Coeff *lists[] = {l.data()};
        Block in = coeff_block(lists, 1);
        hide_int_at_address(QAVC_TAG, in.data());
        Block out = garbage();
        auto call = routine(x, {in.data(), out.data()});
        stub::run(call);
        EXPECT_TRUE(is_empty(out));
        expect_coeff(l[0], 0, 0.1, 0.1, 3);
        Block z = zeros(), out2 = garbage();
        auto call2 = routine(x, {z.data(), out2.data()});
        stub::run(call2);
        EXPECT_TRUE(is_empty(out2));
    }
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();
}

TEST_F(Qproc, EmptyListsAreNoError)
{
    for (const char *sym : {"filter", "threshold"}) {
        sQproc_t *x = make({stub::sa(sym), stub::fa(0), stub::fa(100)});
        List e({}, 3);
        sQavex_Coeff *lists[] = {e.data()};
        Block in0 = coeff_block(lists, 0), in1 = coeff_block(lists, 1), out = garbage();
        auto call = routine(x, {in0.data(), out.data()});
        stub::run(call);
        auto got = qavex_t_read_coeff_block(out.data());
        EXPECT_EQ(got.tag, QAVG_TAG);
        EXPECT_EQ(got.n, 0);
        auto call1 = routine(x, {in1.data(), out.data()});
        stub::run(call1);
        EXPECT_EQ(qavex_t_read_coeff_block(out.data()).n, 1);
        expect_spare_untouched(e);
    }
}

// ---------------------------------------------------------------- threshold

TEST_F(Qproc, ThresholdZeroesSmallPartsIndependently)
{
    sQproc_t *x = make({stub::sa("threshold"), stub::fa(0.5)});
    List l({{0, 0.4, 0.7, 1}, {1, 0.5, -0.2, 2}, {2, -0.49, -0.51, 3}, {3, 0.1, -0.1, 4}, {4, -2, 3, 5}});
    sQavex_Coeff *lists[] = {l.data()};
    Block in = coeff_block(lists, 1), out = garbage();
    auto call = routine(x, {in.data(), out.data()});
    stub::run(call);
    expect_coeff(l[0], 0, 0, 0.7, 1);
    expect_coeff(l[1], 1, 0.5, 0, 2);
    expect_coeff(l[2], 2, 0, -0.51, 3);
    expect_coeff(l[3], 3, 0, 0, 4);
    expect_coeff(l[4], 4, -2, 3, 5);
    expect_spare_untouched(l);
    auto got = qavex_t_read_coeff_block(out.data());
    EXPECT_EQ(got.tag, QAVG_TAG);
    EXPECT_EQ(got.lists, lists);
    EXPECT_EQ(got.n, 1);
}

TEST_F(Qproc, ThresholdComparesWithTheStoredFloat)
{
    // 0.1f is slightly above 0.1: a part of exactly 0.1 is below it, a part
    // equal to the float value itself stays.
    sQproc_t *x = make({stub::sa("threshold"), stub::fa(0.1)});
    List l({{0, 0.1, (double)0.1f, 0}});
    sQavex_Coeff *lists[] = {l.data()};
    Block in = coeff_block(lists, 1), out = garbage();
    auto call = routine(x, {in.data(), out.data()});
    stub::run(call);
    EXPECT_EQ(l[0].val_r, 0.0);
    EXPECT_EQ(l[0].val_i, (double)0.1f);
    // A threshold of 0 or below changes nothing.
    List m({{0, 0.0, -1e-300, 0}});
    sQavex_Coeff *lm[] = {m.data()};
    Block in2 = coeff_block(lm, 1);
    x->float_param[0] = -1;
    auto call2 = routine(x, {in2.data(), out.data()});
    stub::run(call2);
    EXPECT_EQ(m[0].val_i, -1e-300);
}

// ---------------------------------------------------------------- shift

namespace {

struct ShiftRig {
    Block coeff, src, dst, out;
    stub::DspCall call;
};

}  // namespace

class QprocShift : public Qproc {
protected:
    // Builds blocks for lists and banks and registers the routine.
    ShiftRig rig(sQproc_t *x, sQavex_Coeff **lists, std::int32_t n, const Bank &b1, const Bank &b2)
    {
        ShiftRig r;
        r.coeff = coeff_block(lists, n);
        r.src = param_block(&b1.p);
        r.dst = param_block(&b2.p);
        r.out = garbage();
        r.call = routine(x, {r.coeff.data(), r.src.data(), r.dst.data(), r.out.data()});
        return r;
    }
};

TEST_F(QprocShift, MovesAndClampsBands)
{
    Bank bank(33, 100);
    sQproc_t *x = make({stub::sa("shift"), stub::fa(2)});
    List l({{3, 1, -1, 30}, {4, 2, -2, 32}, {5, 3, -3, 0}, {6, 4, -4, 31}});
    sQavex_Coeff *lists[] = {l.data()};
    ShiftRig r = rig(x, lists, 1, bank, bank);
    stub::run(r.call);
    expect_coeff(l[0], 3, 1, -1, 32);
    expect_coeff(l[1], 4, 2, -2, 32);
    expect_coeff(l[2], 5, 3, -3, 2);
    expect_coeff(l[3], 6, 4, -4, 32);
    expect_spare_untouched(l);
    auto got = qavex_t_read_coeff_block(r.out.data());
    EXPECT_EQ(got.tag, QAVG_TAG);
    EXPECT_EQ(got.lists, lists);
    EXPECT_EQ(got.n, 1);

    List m({{0, 1, 0, 3}, {0, 1, 0, 4}, {0, 1, 0, 10}, {0, 1, 0, 5}});
    sQavex_Coeff *lm[] = {m.data()};
    x->float_param[0] = -5.7f;  // truncated toward zero: -5
    ShiftRig r2 = rig(x, lm, 1, bank, bank);
    stub::run(r2.call);
    EXPECT_EQ(m[0].band, 0);
    EXPECT_EQ(m[1].band, 0);
    EXPECT_EQ(m[2].band, 5);
    EXPECT_EQ(m[3].band, 0);
}

TEST_F(QprocShift, ClampsToSmallerTargetBank)
{
    Bank src(60, 100), dst(10, 50);
    sQproc_t *x = make({stub::sa("shift"), stub::fa(0)});
    List l({{0, 1, 0, 8}, {0, 1, 0, 9}, {0, 1, 0, 59}});
    sQavex_Coeff *lists[] = {l.data()};
    ShiftRig r = rig(x, lists, 1, src, dst);
    stub::run(r.call);
    EXPECT_EQ(l[0].band, 8);
    EXPECT_EQ(l[1].band, 9);
    EXPECT_EQ(l[2].band, 9);
    // An extreme shift saturates instead of overflowing.
    x->float_param[0] = 3e9f;
    List m({{0, 1, 0, 1}});
    sQavex_Coeff *lm[] = {m.data()};
    ShiftRig r2 = rig(x, lm, 1, src, dst);
    stub::run(r2.call);
    EXPECT_EQ(m[0].band, 9);
    x->float_param[0] = -3e9f;
    m.e[0].band = 50;
    stub::run(r2.call);
    EXPECT_EQ(m[0].band, 0);
}

TEST_F(QprocShift, TimeAlignmentUsesWindowLengths)
{
    Bank src(std::vector<int>{21, 40, 64}), dst(std::vector<int>{100, 64, 21});
    sQproc_t *x = make({stub::sa("shift"), stub::fa(1), stub::fa(1)});
    List l({{10, 1, 0, 1}, {10, 1, 0, 0}, {5, 1, 0, 2}});
    sQavex_Coeff *lists[] = {l.data()};
    ShiftRig r = rig(x, lists, 1, src, dst);
    stub::run(r.call);
    expect_coeff(l[0], 1, 1, 0, 2);    // 40 -> 21: 10 - 19/2 = 10 - 9
    expect_coeff(l[1], 31, 1, 0, 1);   // 21 -> 64: 10 - (-43/2) = 10 + 21 (toward zero)
    expect_coeff(l[2], -16, 1, 0, 2);  // 64 -> 21 (target clamped to band 2): 5 - 21
    // Alignment off (0 or negative flag): starts stay.
    for (float flag : {0.0f, -1.0f}) {
        x->float_param[1] = flag;
        List m({{10, 1, 0, 1}});
        sQavex_Coeff *lm[] = {m.data()};
        ShiftRig r2 = rig(x, lm, 1, src, dst);
        stub::run(r2.call);
        expect_coeff(m[0], 10, 1, 0, 2);
    }
}

// Phase correction with banks whose linear maps make every quantity exact:
// source Θ1(x) = 0.25·x with b = 0.5, target Θ2(x) = 0.0625·x with b = 0.5,
// so band 2 of the source is centred at 0.25 Hz (λ1 = 4) and band 4 of the
// target at 0.125 Hz (λ2 = 8).
TEST_F(QprocShift, PhaseCorrectionMatchesHandComputation)
{
    Bank src(std::vector<int>{8, 8, 40, 8}, 0.5, 0.25), dst(std::vector<int>{2, 16, 8, 8, 21}, 0.5, 0.0625);
    sQproc_t *x = make({stub::sa("shift"), stub::fa(2), stub::fa(0), stub::fa(1)});
    const double c22 = 0.92387953251128674, s22 = 0.38268343236508978;  // cos, sin of π/8
    {
        // clock 128, start 10: t0 = 138, tc1 = 158, tc2 = 148.5;
        // tbar1 = 158 mod 4 = 2, tbar2 = 148.5 mod 8 = 4.5;
        // Δθ = (2 - 4.5) / 8 · 2π = -5π/8; (0, 2) at φ = π/2 turns to 9π/8.
        List l({{10, 0, 2, 2}});
        sQavex_Coeff *lists[] = {l.data()};
        ShiftRig r = rig(x, lists, 1, src, dst);
        x->int_param[0] = 128;
        stub::run(r.call);
        EXPECT_EQ(l[0].start, 10);
        EXPECT_EQ(l[0].band, 4);
        EXPECT_NEAR(l[0].val_r, -2 * c22, 1e-14);
        EXPECT_NEAR(l[0].val_i, -2 * s22, 1e-14);
        EXPECT_EQ(x->int_param[0], 192);
    }
    {
        // Alignment before the phase: target band 4 with 36 samples, start 5,
        // clock 0. Aligned: start 5 - 2 = 3, tc1 = 23, tc2 = 21, tbar 3 and 5,
        // Δθ = -π/2: (1, 0) -> (0, 1). Without alignment tc1 = 25, tc2 = 23,
        // tbar 1 and 7, Δθ = -3π/2: (1, 0) -> (0, -1).
        Bank dst36(std::vector<int>{2, 8, 8, 8, 36}, 0.5, 0.0625);
        for (int align : {1, 0}) {
            x->float_param[1] = (float)align;
            List l({{5, 1, 0, 2}});
            sQavex_Coeff *lists[] = {l.data()};
            ShiftRig r = rig(x, lists, 1, src, dst36);
            stub::run(r.call);
            EXPECT_EQ(l[0].start, align ? 3 : 5);
            EXPECT_EQ(l[0].band, 4);
            EXPECT_NEAR(l[0].val_r, 0.0, 1e-15);
            EXPECT_NEAR(l[0].val_i, align ? 1.0 : -1.0, 1e-15);
        }
    }
    {
        // Source band 0 is centred at 0 Hz: tbar1 = 0. Target band 0 too:
        // Δθ = 0. Target band 1 (λ2 = 32, window 16): clock 0, start 0,
        // tc2 = 8, Δθ = (0 - 8) / 32 · 2π = -π/2: (3, 4) -> (-4, 3).
        x->float_param[1] = 0;
        x->float_param[0] = 0;
        List l({{0, 3, 4, 0}});
        sQavex_Coeff *lists[] = {l.data()};
        ShiftRig r = rig(x, lists, 1, src, dst);
        stub::run(r.call);
        EXPECT_EQ(l[0].band, 0);
        EXPECT_NEAR(l[0].val_r, 3, 1e-14);
        EXPECT_NEAR(l[0].val_i, 4, 1e-14);
        x->float_param[0] = 1;
        List m({{0, 3, 4, 0}});
        sQavex_Coeff *lm[] = {m.data()};
        ShiftRig r2 = rig(x, lm, 1, src, dst);
        stub::run(r2.call);
        EXPECT_EQ(m[0].band, 1);
        EXPECT_NEAR(m[0].val_r, -4, 1e-14);
        EXPECT_NEAR(m[0].val_i, 3, 1e-14);
    }
    // Phase flag 0 or below: values stay exactly.
    x->float_param[2] = 0;
    List n({{10, 0.3, -0.7, 2}});
    sQavex_Coeff *ln[] = {n.data()};
    ShiftRig r3 = rig(x, ln, 1, src, dst);
    stub::run(r3.call);
    EXPECT_EQ(n[0].val_r, 0.3);
    EXPECT_EQ(n[0].val_i, -0.7);
}

TEST_F(QprocShift, IdenticalBanksWithShiftZeroChangeNothing)
{
    std::vector<int> lengths;
    for (int q = 0; q < 20; q++) lengths.push_back(3000 - 140 * q);
    Bank bank(lengths, 12.0, 1.7);
    sQproc_t *x = make({stub::sa("shift"), stub::fa(0), stub::fa(1), stub::fa(1)});
    std::vector<C> cs;
    for (int q = 0; q < 20; q++) cs.push_back({(q * 7) % 64, std::cos(q) * 1e-3, std::sin(3 * q) * 2e-3, q});
    List l(cs), ref(cs);
    sQavex_Coeff *lists[] = {l.data()};
    ShiftRig r = rig(x, lists, 1, bank, bank);
    x->int_param[0] = 6400;
    for (int tick = 0; tick < 3; tick++) stub::run(r.call);
    for (int q = 0; q < 20; q++) {
        EXPECT_EQ(l[q].start, ref[q].start) << q;
        EXPECT_EQ(l[q].band, q) << q;
        EXPECT_NEAR(l[q].val_r, ref[q].val_r, 1e-15) << q;
        EXPECT_NEAR(l[q].val_i, ref[q].val_i, 1e-15) << q;
    }
    EXPECT_EQ(x->int_param[0], 6400 + 3 * 64);
}

TEST_F(QprocShift, MissingWindowsLeaveCoefficientUnchanged)
{
    // Source: band 1 without window. Target: band 3 without window.
    Bank src(std::vector<int>{10, 0, 10, 10, 10}), dst(std::vector<int>{20, 20, 20, 0, 20});
    sQproc_t *x = make({stub::sa("shift"), stub::fa(1), stub::fa(1), stub::fa(1)});
    List l({{9, 0.5, 0.25, 1},    // no source window
            {9, 0.5, 0.25, 2},    // target 3 has no window
            {9, 0.5, 0.25, -1},   // band outside the source bank
            {9, 0.5, 0.25, 5},    // band outside the source bank
            {9, 0.5, 0.25, 0}});  // moves: 0 -> 1, start 9 - (10-20)/2 = 14
    sQavex_Coeff *lists[] = {l.data()};
    ShiftRig r = rig(x, lists, 1, src, dst);
    stub::run(r.call);
    expect_coeff(l[0], 9, 0.5, 0.25, 1);
    expect_coeff(l[1], 9, 0.5, 0.25, 2);
    expect_coeff(l[2], 9, 0.5, 0.25, -1);
    expect_coeff(l[3], 9, 0.5, 0.25, 5);
    EXPECT_EQ(l[4].band, 1);
    EXPECT_EQ(l[4].start, 14);
    auto got = qavex_t_read_coeff_block(r.out.data());
    EXPECT_EQ(got.tag, QAVG_TAG);
    EXPECT_EQ(x->int_param[0], 64);
}

TEST_F(QprocShift, BankWithoutFloatWindowsOrBandsLeavesCoefficients)
{
    Bank full(5, 10), none(std::vector<int>{}), nowin(5, 10);
    nowin.p.paf_r = nullptr;  // before the float windows were made
    sQproc_t *x = make({stub::sa("shift"), stub::fa(1), stub::fa(1), stub::fa(1)});
    struct Pair {
        const Bank *a, *b;
    };
    for (Pair pr : {Pair{&full, &none}, Pair{&full, &nowin}, Pair{&nowin, &full}, Pair{&none, &full}}) {
        List l({{3, 0.5, -0.5, 2}, {4, 1, 1, 0}});
        sQavex_Coeff *lists[] = {l.data()};
        ShiftRig r = rig(x, lists, 1, *pr.a, *pr.b);
        stub::run(r.call);
        expect_coeff(l[0], 3, 0.5, -0.5, 2);
        expect_coeff(l[1], 4, 1, 1, 0);
        EXPECT_EQ(qavex_t_read_coeff_block(r.out.data()).lists, lists);
    }
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();
}

TEST_F(QprocShift, UnusablePhaseKeepsValues)
{
    Bank src(4, 10, 1.0, 1.0), dst(4, 10, 1.0, 1.0);
    sQproc_t *x = make({stub::sa("shift"), stub::fa(1), stub::fa(0), stub::fa(1)});
    // A map yielding NaN: band and start move, the values keep their phase.
    dst.p.Theta = test_nan;
    List l({{3, 0.5, -0.5, 2}});
    sQavex_Coeff *lists[] = {l.data()};
    ShiftRig r = rig(x, lists, 1, src, dst);
    stub::run(r.call);
    expect_coeff(l[0], 3, 0.5, -0.5, 3);
    // A bank without a map: the coefficient is left as it is.
    dst.p.Theta = nullptr;
    List m({{3, 0.5, -0.5, 2}});
    sQavex_Coeff *lm[] = {m.data()};
    ShiftRig r2 = rig(x, lm, 1, src, dst);
    stub::run(r2.call);
    expect_coeff(m[0], 3, 0.5, -0.5, 2);
}

TEST_F(QprocShift, RejectedInputsGiveEmptyBlockAndKeepClock)
{
    Bank bank(5, 10);
    sQproc_t *x = make({stub::sa("shift"), stub::fa(1)});
    List l({{3, 0.5, -0.5, 2}});
    sQavex_Coeff *lists[] = {l.data()};
    Block good_c = coeff_block(lists, 1), good_p = param_block(&bank.p);
    Block tag_only_p = zeros();
    hide_int_at_address(QAVC_TAG, tag_only_p.data());
    Block tag_only_c = zeros();
    hide_int_at_address(QAVG_TAG, tag_only_c.data());
    Block swapped_tag = param_block(&bank.p);
    hide_int_at_address(QAVG_TAG, swapped_tag.data());
    Block z = zeros(), g = garbage();
    const Block *cases[][3] = {
        {&z, &good_p, &good_p},          {&g, &good_p, &good_p},           {&good_c, &z, &good_p},
        {&good_c, &good_p, &z},          {&good_c, &tag_only_p, &good_p},  {&good_c, &good_p, &tag_only_p},
        {&tag_only_c, &good_p, &good_p}, {&good_c, &swapped_tag, &good_p}, {&good_p, &good_p, &good_p},
    };
    int k = 0;
    for (auto &c : cases) {
        SCOPED_TRACE(k++);
        Block a = *c[0], b = *c[1], d = *c[2], out = garbage();
        auto call = routine(x, {a.data(), b.data(), d.data(), out.data()});
        x->int_param[0] = 640;
        stub::run(call);
        EXPECT_TRUE(is_empty(out));
        EXPECT_EQ(x->int_param[0], 640);
        expect_coeff(l[0], 3, 0.5, -0.5, 2);
    }
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();
}

TEST_F(QprocShift, ClockAdvancesPerTickAndRestartsAtDsp)
{
    Bank bank(5, 10);
    sQproc_t *x = make({stub::sa("shift")});
    List l({});
    sQavex_Coeff *lists[] = {l.data()};
    ShiftRig r = rig(x, lists, 1, bank, bank);
    EXPECT_EQ(x->int_param[0], 0);
    for (int i = 1; i <= 5; i++) {
        stub::run(r.call);
        EXPECT_EQ(x->int_param[0], 64 * i);
    }
    stub::send((t_pd *)x, "set_int_param", {stub::fa(0), stub::fa(1000)});
    stub::run(r.call);
    EXPECT_EQ(x->int_param[0], 1064);
    r.call = routine(x, {r.coeff.data(), r.src.data(), r.dst.data(), r.out.data()});
    EXPECT_EQ(x->int_param[0], 0);
    stub::run(r.call);
    EXPECT_EQ(x->int_param[0], 64);
    // The clock wraps instead of overflowing.
    x->int_param[0] = std::numeric_limits<std::int32_t>::max() - 63;
    stub::run(r.call);
    EXPECT_EQ(x->int_param[0], std::numeric_limits<std::int32_t>::min());
    // "dsp" on other types does not touch int_param[0].
    sQproc_t *f = make({stub::sa("filter")});
    f->int_param[0] = 77;
    Block a = zeros(), b = zeros();
    routine(f, {a.data(), b.data()});
    EXPECT_EQ(f->int_param[0], 77);
}

TEST_F(QprocShift, OutputMayShareAnyInputVector)
{
    Bank src(5, 40), dst(5, 20);
    sQproc_t *x = make({stub::sa("shift"), stub::fa(1), stub::fa(1)});
    for (int shared = 0; shared < 3; shared++) {
        SCOPED_TRACE(shared);
        List l({{10, 1, 0, 2}});
        sQavex_Coeff *lists[] = {l.data()};
        Block c = coeff_block(lists, 1), p1 = param_block(&src.p), p2 = param_block(&dst.p);
        Block *ins[] = {&c, &p1, &p2};
        auto call = routine(x, {c.data(), p1.data(), p2.data(), ins[shared]->data()});
        stub::run(call);
        expect_coeff(l[0], 0, 1, 0, 3);  // 10 - (40 - 20) / 2
        auto got = qavex_t_read_coeff_block(ins[shared]->data());
        EXPECT_EQ(got.tag, QAVG_TAG);
        EXPECT_EQ(got.lists, lists);
        EXPECT_EQ(x->int_param[0], 64);
    }
}

TEST_F(QprocShift, ChangesAreSeenByLaterReadersOfAllLists)
{
    Bank bank(40, 30);
    sQproc_t *x = make({stub::sa("shift"), stub::fa(-1)});
    List a({{0, 1, 0, 5}, {1, 1, 0, 6}}), b({}), c({{2, 1, 0, 39}});
    sQavex_Coeff *lists[] = {a.data(), b.data(), nullptr, c.data()};
    ShiftRig r = rig(x, lists, 4, bank, bank);
    stub::run(r.call);
    EXPECT_EQ(a[0].band, 4);
    EXPECT_EQ(a[1].band, 5);
    EXPECT_EQ(c[0].band, 38);
    expect_spare_untouched(b);
    EXPECT_EQ(qavex_t_read_coeff_block(r.out.data()).n, 4);
}
