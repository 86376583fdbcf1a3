// The coefficient file writer in the real host: loading, reports, bad
// input, the file it creates and what it writes without a bus signal.
#include <gtest/gtest.h>

#include <cstdlib>

#include <unistd.h>

#include "e2e_util.h"

namespace {

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

TEST(QdumpHost, LoadsBangsAndSurvivesBadArguments)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    int q = p.obj("qdump~ 0.25");
    int bad = p.obj("qdump~ foo");  // refused by the host, which goes on
    int m = p.msg("bang \\, open \\, set_threshold foo \\, set_threshold 1 2 \\, close \\, close 3 "
                  "\\, foo \\, list a b \\, symbol x \\, 3.5 \\, set_threshold \\, bang");
    int right = p.msg("foo \\, 1 2 \\, bang");
    p.connect(lb, 0, dsp, 0);
    p.connect(lb, 0, m, 0);
    p.connect(lb, 0, right, 0);
    p.connect(m, 0, q, 0);
    p.connect(right, 0, q, 1);
    (void)bad;
    p.quit_after(50);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "No open file."), 2) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Threshold: 0.250000")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Threshold: 0.000000")) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "Call with path as first parameter")) << r.console;
    EXPECT_GE(e2e::count_containing(r.console, "error: "), 4) << r.console;
    EXPECT_EQ(r.console.find("Assertion"), std::string::npos) << r.console;
}

TEST(QdumpHost, OpenCreatesTheFileAndBangNamesIt)
{
    std::string dir = e2e::temp_dir();
    std::string first = dir + "/first.txt", second = dir + "/with space.txt";
    e2e::write_file(first, "stale line\n");
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    int q = p.obj("qdump~");
    int osc = p.obj("osc~ 440");
    // Audio on both inlets is no bus signal: nothing may be written.
    int m = p.msg("open " + first + " \\, bang");
    int del = p.obj("del 30");
    int m2 = p.msg("open " + dir + "/with\\ space.txt \\, bang \\, close \\, bang");
    p.connect(lb, 0, dsp, 0);
    p.connect(lb, 0, m, 0);
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, m2, 0);
    p.connect(m, 0, q, 0);
    p.connect(m2, 0, q, 0);
    p.connect(osc, 0, q, 0);
    p.connect(osc, 0, q, 1);
    p.quit_after(60);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "File opened: " + first)) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "File opened: " + second)) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "No open file.")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
    ASSERT_TRUE(exists(first));
    EXPECT_EQ(e2e::read_file(first), "");  // truncated, then nothing to write
    ASSERT_TRUE(exists(second)) << "the symbol's name is the path, unescaped";
    EXPECT_EQ(e2e::read_file(second), "");
}

}  // namespace
