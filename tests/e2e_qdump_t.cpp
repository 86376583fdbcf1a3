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
    e2e::Patch p;
    p.dsp_on();
    int q = p.obj("qdump~ 0.25");
    p.obj("qdump~ foo");  // refused by the host, which goes on
    p.at(0,
         "bang \\, open \\, set_threshold foo \\, set_threshold 1 2 \\, close \\, close 3 "
         "\\, foo \\, list a b \\, symbol x \\, 3.5 \\, set_threshold \\, bang",
         q);
    p.at(0, "foo \\, 1 2 \\, bang", q, 1);
    auto r = p.run(50);
    EXPECT_EQ(e2e::count_containing(r.console, "No open file."), 2) << r.console;
    EXPECT_TRUE(
        e2e::lines(r.console, {"Threshold: 0.250000", "Threshold: 0.000000", "Call with path as first parameter"}));
    EXPECT_GE(e2e::count_containing(r.console, "error: "), 4) << r.console;
    EXPECT_EQ(r.console.find("Assertion"), std::string::npos) << r.console;
}

TEST(QdumpHost, OpenCreatesTheFileAndBangNamesIt)
{
    e2e::Patch p;
    std::string first = p.dir() + "/first.txt", second = p.dir() + "/with space.txt";
    e2e::write_file(first, "stale line\n");
    p.dsp_on();
    int q = p.obj("qdump~");
    // Audio on both inlets is no bus signal: nothing may be written.
    int osc = p.obj("osc~ 440");
    p.connect(osc, 0, q, 0);
    p.connect(osc, 0, q, 1);
    p.at(0, "open " + first + " \\, bang", q);
    p.at(30, "open " + p.dir() + "/with\\ space.txt \\, bang \\, close \\, bang", q);
    auto r = p.run(60);
    EXPECT_TRUE(e2e::lines(r.console, {"File opened: " + first, "File opened: " + second, "No open file."}));
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
    ASSERT_TRUE(exists(first));
    EXPECT_EQ(e2e::read_file(first), "");  // truncated, then nothing to write
    ASSERT_TRUE(exists(second)) << "the symbol's name is the path, unescaped";
    EXPECT_EQ(e2e::read_file(second), "");
}

}  // namespace
