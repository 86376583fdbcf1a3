// Coefficient file writer: line format, record order, threshold, the time
// counter across files, the messages and their reports.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bank_fixture.h"
#include "qdump_t.h"

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string &path)
{
    std::vector<std::string> r;
    std::istringstream in(slurp(path));
    std::string l;
    while (std::getline(in, l)) r.push_back(l);
    return r;
}

sQavex_Coeff rec_of(std::int32_t start, double re, double im, std::int32_t band)
{
    sQavex_Coeff c;
    std::memset(&c, 0xA3, sizeof c);  // what a fresh list holds
    c.start = start;
    c.val_r = re;
    c.val_i = im;
    c.band = band;
    return c;
}

// 16 bands, band b has a real window of 64 * (b + 1) samples, band 7 none.
std::vector<std::pair<int, int>> dump_bands()
{
    std::vector<std::pair<int, int>> v;
    for (int b = 0; b < 16; b++) v.push_back({b == 7 ? 0 : -64 * (b + 1), 0});
    return v;
}

struct Dump : HostTest<qdump_t_setup> {
    std::vector<t_sample> vG, vC;
    HandBank bank{dump_bands(), 1, false};
    sQbank_Param &rec = bank.p;
    std::vector<std::vector<sQavex_Coeff>> lists;
    std::vector<sQavex_Coeff *> table;
    sQdump_t *obj = nullptr;
    stub::DspCall call{};
    std::string dir;

    void SetUp() override
    {
        HostTest::SetUp();
        dir = make_temp_folder("qdump_unit_");
        vG.assign(64, 0);
        vC.assign(64, 0);
        obj = make({});
    }
    void TearDown() override
    {
        if (obj) stub::destroy(&obj->x_obj.ob_pd);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        HostTest::TearDown();
    }

    sQdump_t *make(std::vector<t_atom> args)
    {
        sQdump_t *o = (sQdump_t *)stub::create("qdump~", args);
        EXPECT_NE(o, nullptr);
        auto calls = stub::dsp(&o->x_obj.ob_pd, {vG.data(), vC.data()});
        EXPECT_EQ(calls.size(), 1u);
        if (!calls.empty()) call = calls[0];
        return o;
    }
    void send(const std::string &sel, std::vector<t_atom> a = {}) { stub::send(&obj->x_obj.ob_pd, sel, a); }
    std::string path(const char *name) { return dir + "/" + name; }
    void open(const std::string &p) { send("open", {stub::sa(p.c_str())}); }

    // One block carrying the given lists beside the parameter record.
    void block(std::vector<std::vector<sQavex_Coeff>> ls)
    {
        lists = std::move(ls);
        table.clear();
        for (auto &l : lists) {
            std::int32_t n = (std::int32_t)l.size();
            if (l.empty()) l.push_back(rec_of(0, 0, 0, 0));  // header of an empty list
            l[0].numCoeff = n;
            table.push_back(l.data());
        }
        stub::publish_param(vC.data(), &rec);
        if (table.empty()) {
            static sQavex_Coeff *none[1] = {nullptr};
            stub::publish_coeff(vG.data(), none, 0);
        } else {
            stub::publish_coeff(vG.data(), table.data(), (std::int32_t)table.size());
        }
        stub::run(call);
    }
    void empty_block() { block({}); }
};

TEST_F(Dump, ExampleLineAndField5)
{
    open(path("a.txt"));
    empty_block();
    empty_block();
    bank.set_real(12, std::vector<float>(1024));
    block({{rec_of(5, 0.5, -0.25, 12)}});
    send("close");
    EXPECT_EQ(slurp(path("a.txt")), "133\t12\t0.50000000000000000000\t-0.25000000000000000000\t1024\n");
}

TEST_F(Dump, WindowLengthWordIsTruncated)
{
    bank.r[3][-5] = 4096.9f;
    open(path("a.txt"));
    block({{rec_of(0, 1, 0, 3)}});
    send("close");
    EXPECT_EQ(slurp(path("a.txt")), "0\t3\t1.00000000000000000000\t0.00000000000000000000\t4096\n");
}

TEST_F(Dump, ReverseOrderInsideListsAndListsInOrder)
{
    open(path("a.txt"));
    block({{rec_of(1, 1, 0, 0), rec_of(2, 2, 0, 1)}, {rec_of(3, 3, 0, 2)}});  // A B | C
    send("close");
    auto l = lines_of(path("a.txt"));
    ASSERT_EQ(l.size(), 3u);
    EXPECT_EQ(l[0].substr(0, 4), "2\t1\t");  // B
    EXPECT_EQ(l[1].substr(0, 4), "1\t0\t");  // A
    EXPECT_EQ(l[2].substr(0, 4), "3\t2\t");  // C
}

TEST_F(Dump, ThresholdComparisons)
{
    const double nan = std::nan("");
    struct Case {
        float thr;
        double re, im;
        bool written;
    };
    std::vector<Case> cases = {
        {0, 0.0, 0.0, false},
        {0, -0.0, 0.0, false},
        {0, 1e-300, 0.0, true},
        {0, 0.0, -1e-300, true},
        {-1, 0.0, 0.0, true},
        {-1, nan, nan, false},
        {-1, nan, 0.0, true},
        {-1, 0.0, nan, true},
        {0, nan, 0.0, false},
        {0.25f, 0.25, -0.25, false},
        {0.25f, -0.25, 0.25, false},
        {0.25f, 0.2500001, 0.0, true},
        {0.25f, 0.0, -0.2500001, true},
        {0.1f, 0.1, 0.0, false} /* 0.1 < (double)0.1f */,
        {0.1f, (double)0.1f, 0.0, false},
    };
    for (size_t k = 0; k < cases.size(); k++) {
        std::string p = path(("t" + std::to_string(k)).c_str());
        send("set_threshold", {stub::fa(cases[k].thr)});
        open(p);
        block({{rec_of(0, cases[k].re, cases[k].im, 0)}});
        send("close");
        EXPECT_EQ(lines_of(p).size(), cases[k].written ? 1u : 0u) << "case " << k;
    }
    // A part that is not a number is written as the runtime prints it.
    send("set_threshold", {stub::fa(-1)});
    open(path("nan.txt"));
    block({{rec_of(0, nan, 0.5, 0)}});
    send("close");
    auto l = lines_of(path("nan.txt"));
    ASSERT_EQ(l.size(), 1u);
    EXPECT_NE(l[0].find("nan\t0.50000000000000000000\t64"), std::string::npos) << l[0];
}

TEST_F(Dump, CounterRunsAcrossFilesAndOnlyOverWrittenBlocks)
{
    empty_block();  // no file: not counted
    open(path("a.txt"));
    empty_block();                   // counter 0 -> 64
    block({{rec_of(10, 1, 0, 0)}});  // 64 + 10
    // Skipped blocks do not count: foreign tags, null addresses.
    hide_int_at_address(0, vC.data());
    stub::run(call);
    stub::publish_param(vC.data(), &rec);
    hide_int_at_address(QAVC_TAG + 1, vG.data());
    stub::run(call);
    std::memset(vG.data(), 0, 64 * sizeof(t_sample));
    hide_int_at_address(QAVG_TAG, vG.data());  // tag, null list table
    stub::run(call);
    std::memset(vC.data(), 0, 64 * sizeof(t_sample));
    hide_int_at_address(QAVC_TAG, vC.data());  // tag, null record
    static sQavex_Coeff *none[1] = {nullptr};
    stub::publish_coeff(vG.data(), none, 0);
    stub::run(call);
    block({{rec_of(63, 1, 0, 0)}});  // 128 + 63
    send("close");
    empty_block();  // closed: not counted
    open(path("b.txt"));
    block({{rec_of(1, 1, 0, 0)}});  // 192 + 1
    send("close");
    auto a = lines_of(path("a.txt"));
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0].substr(0, 3), "74\t");
    EXPECT_EQ(a[1].substr(0, 4), "191\t");
    auto b = lines_of(path("b.txt"));
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].substr(0, 4), "193\t");
}

TEST_F(Dump, OpenWithoutArgumentsAndBangReports)
{
    send("bang");
    EXPECT_TRUE(stub::posted("No open file."));
    EXPECT_TRUE(stub::posted("Threshold: 0.000000"));
    stub::clear();
    send("open");
    EXPECT_TRUE(stub::posted("Call with path as first parameter"));
    EXPECT_EQ(obj->myfile, nullptr);

    std::string p = path("a.txt");
    open(p);
    ASSERT_NE(obj->myfile, nullptr);
    send("set_threshold", {stub::fa(0.5)});
    stub::clear();
    send("open");  // leaves the open file alone
    EXPECT_TRUE(stub::posted("Call with path as first parameter"));
    send("bang");
    EXPECT_TRUE(stub::posted("File opened: " + p));
    EXPECT_TRUE(stub::posted("Threshold: 0.500000"));
    EXPECT_EQ(stub::console().size(), 3u);
    block({{rec_of(0, 1, 0, 0)}});
    stub::clear();
    send("set_threshold");
    EXPECT_TRUE(stub::console().empty());
    send("bang");
    EXPECT_TRUE(stub::posted("Threshold: 0.000000"));
    send("close");
    EXPECT_EQ(lines_of(p).size(), 1u);
    stub::clear();
    send("close");  // nothing open: nothing happens
    send("bang");
    EXPECT_TRUE(stub::posted("No open file."));
}

TEST_F(Dump, CreationArgumentIsTheThreshold)
{
    stub::destroy(&obj->x_obj.ob_pd);
    obj = make({stub::fa(0.125)});
    stub::clear();
    send("bang");
    EXPECT_TRUE(stub::posted("Threshold: 0.125000"));
    open(path("a.txt"));
    block({{rec_of(0, 0.125, 0.125, 0), rec_of(1, 0.126, 0, 0)}});
    send("close");
    auto l = lines_of(path("a.txt"));
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].substr(0, 2), "1\t");
}

TEST_F(Dump, RecordsWithoutAWindowAreWrittenWithLengthZero)
{
    open(path("a.txt"));
    block({{rec_of(0, 1, 0, 16), rec_of(1, 1, 0, -1), rec_of(2, 1, 0, 7), rec_of(3, 1, 0, 2000000000),
            rec_of(4, 1, 0, 15)}});
    rec.paf_r = nullptr;  // no float windows built yet
    block({{rec_of(5, 1, 0, 0)}});
    send("close");
    auto l = lines_of(path("a.txt"));
    ASSERT_EQ(l.size(), 6u);
    EXPECT_EQ(l[0], "4\t15\t1.00000000000000000000\t0.00000000000000000000\t1024");
    EXPECT_EQ(l[1], "3\t2000000000\t1.00000000000000000000\t0.00000000000000000000\t0");
    EXPECT_EQ(l[2], "2\t7\t1.00000000000000000000\t0.00000000000000000000\t0");
    EXPECT_EQ(l[3], "1\t-1\t1.00000000000000000000\t0.00000000000000000000\t0");
    EXPECT_EQ(l[4], "0\t16\t1.00000000000000000000\t0.00000000000000000000\t0");
    EXPECT_EQ(l[5], "69\t0\t1.00000000000000000000\t0.00000000000000000000\t0");
}

TEST_F(Dump, OpenWhileOpenCompletesTheFirstFile)
{
    open(path("a.txt"));
    block({{rec_of(1, 1, 0, 0)}});
    open(path("b.txt"));
    // The first file is complete on disk before the object is done with it.
    EXPECT_EQ(lines_of(path("a.txt")).size(), 1u);
    block({{rec_of(2, 2, 0, 0)}});
    send("close");
    auto a = lines_of(path("a.txt"));
    auto b = lines_of(path("b.txt"));
    ASSERT_EQ(a.size(), 1u);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(a[0].substr(0, 2), "1\t");
    EXPECT_EQ(b[0].substr(0, 3), "66\t");
}

TEST_F(Dump, OpenTruncatesAndDeletionFlushes)
{
    std::string p = path("a.txt");
    {
        std::ofstream f(p);
        f << "old content\n";
    }
    open(p);
    block({{rec_of(0, 1, 0, 0)}});
    stub::destroy(&obj->x_obj.ob_pd);
    obj = nullptr;
    auto l = lines_of(p);
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].substr(0, 2), "0\t");
}

TEST_F(Dump, UnopenablePathLeavesNoFileAndOneError)
{
    open(path("a.txt"));
    stub::clear();
    open(dir + "/missing/dir/x.txt");
    const std::string err = "qdump~: cannot open " + dir + "/missing/dir/x.txt: No such file or directory";
    EXPECT_EQ(stub::count_lines(err), 1);
    EXPECT_TRUE(stub::errored(err));
    EXPECT_EQ(obj->myfile, nullptr);
    block({{rec_of(0, 1, 0, 0)}});  // ignored
    send("bang");
    EXPECT_TRUE(stub::posted("No open file."));
    // A float path is taken as its text.
    const std::filesystem::path here = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    send("open", {stub::fa(42)});
    std::filesystem::current_path(here);
    EXPECT_NE(obj->myfile, nullptr);
    EXPECT_STREQ(obj->filepath, "42");
    send("close");
    EXPECT_TRUE(std::filesystem::exists(dir + "/42"));
}

TEST_F(Dump, LongPathIsCutAt499Characters)
{
    std::string longp(700, 'x');
    send("open", {stub::sa(longp.c_str())});
    EXPECT_EQ(std::strlen(obj->filepath), 499u);
    EXPECT_EQ(obj->myfile, nullptr);  // no such name allowed on the file system
}

TEST_F(Dump, EmptyAndBrokenListsWriteNothing)
{
    open(path("a.txt"));
    std::vector<sQavex_Coeff> l1{rec_of(0, 1, 0, 0)}, l2{rec_of(0, 1, 0, 0)};
    l1[0].numCoeff = 0;
    l2[0].numCoeff = -5;
    sQavex_Coeff *t[3] = {l1.data(), nullptr, l2.data()};
    stub::publish_param(vC.data(), &rec);
    stub::publish_coeff(vG.data(), t, 3);
    stub::run(call);
    stub::publish_coeff(vG.data(), t, -3);
    stub::run(call);
    block({{rec_of(0, 1, 0, 0)}});
    send("close");
    auto l = lines_of(path("a.txt"));
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].substr(0, 4), "128\t");
}

TEST_F(Dump, OtherBlockSizesWriteNothing)
{
    std::vector<t_sample> g(32, 0), c(32, 0);
    auto calls = stub::dsp(&obj->x_obj.ob_pd, {g.data(), c.data()}, 32);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(stub::console().size(), 1u);
    EXPECT_TRUE(stub::console()[0].error);
    open(path("a.txt"));
    stub::run(calls[0]);
    block({{rec_of(3, 1, 0, 0)}});  // back at 64: counter did not move
    send("close");
    auto l = lines_of(path("a.txt"));
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].substr(0, 2), "3\t");
}

}  // namespace
