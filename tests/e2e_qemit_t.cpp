// The coefficient generator in the real host: loading, reports, bad input,
// the third inlet and what it publishes without a parameter channel.
#include <gtest/gtest.h>

#include <cstring>

#include "e2e_util.h"

namespace {

const char *const MAX_MSG = "qemit: Maximum number of events for qemit reached.";

TEST(QemitHost, LoadsBangsAndSurvivesBadArguments)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int q = p.obj("qemit_tilde");
    int q2 = p.obj("qemit_tilde 7");
    int dsp = p.msg("\\; pd dsp 1");
    int m = p.msg("bang \\, emit foo \\, emit 1 2 3 4 5 6 \\, emit -1e+30 nan bar \\, foo \\, list a b \\, symbol x \\, emit \\, 3.5 \\, bang");
    int third = p.msg("1 2 3 4 \\, foo \\, a b c d \\, 7 \\, bang \\, symbol s");
    int bang2 = p.msg("bang");
    p.connect(lb, 0, dsp, 0);
    p.connect(lb, 0, m, 0);
    p.connect(lb, 0, third, 0);
    p.connect(lb, 0, bang2, 0);
    p.connect(m, 0, q, 0);
    p.connect(third, 0, q, 2);
    p.connect(bang2, 0, q2, 0);
    p.quit_after(50);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(r.console.find("couldn't create"), std::string::npos) << r.console;
    // Two bangs on the first object (before and after the bad messages) and
    // one on the second: every report came, so the host went on.
    EXPECT_EQ(e2e::count_containing(r.console, "Qemit Bang Bang Boing"), 3) << r.console;
    EXPECT_GE(e2e::count_containing(r.console, "error: "), 4) << r.console;
    EXPECT_EQ(r.console.find("Assertion"), std::string::npos) << r.console;
}

TEST(QemitHost, ThirdInletListsAreEventsUpToTheCapacity)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int n = p.msg("150");
    int until = p.obj("until");
    int ev = p.msg("5 0.5 -0.5 1");
    int q = p.obj("qemit_tilde");
    p.connect(lb, 0, n, 0);
    p.connect(n, 0, until, 0);
    p.connect(until, 0, ev, 0);
    p.connect(ev, 0, q, 2);
    p.quit_after(20);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    // No parameter channel: the events wait, so 150 lists fill the list
    // once and the message comes exactly once.
    EXPECT_EQ(e2e::count_containing(r.console, MAX_MSG), 1) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
}

TEST(QemitHost, PublishesNothingWithoutAParameterChannel)
{
    // Outlets are recorded into tables and written synchronously with
    // soundfiler (writesf~ writes from a thread that batch mode outruns).
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    int a = p.obj("qemit_tilde");        // parameter inlet unconnected
    int b = p.obj("qemit_tilde");        // parameter inlet fed with audio
    int osc = p.obj("osc~ 1000");
    int sig = p.obj("sig~ 1");
    int tw[5];
    for (int c = 0; c < 5; c++) {
        p.obj("table qe" + std::to_string(c) + " 4096");
        tw[c] = p.obj("tabwrite~ qe" + std::to_string(c));
        p.connect(lb, 0, tw[c], 0);
    }
    int metro = p.obj("metro 1");
    int ev = p.msg("emit 3 0.5 0.25 0 \\, emit 60 -1 1 2");
    int wdel = p.obj("del 120");
    int wr = p.msg("write -bytes 4 " + dir + "/out.wav qe0 qe1 qe2 qe3 qe4");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, dsp, 0);
    p.connect(lb, 0, metro, 0);
    p.connect(lb, 0, wdel, 0);
    p.connect(metro, 0, ev, 0);
    p.connect(ev, 0, a, 0);
    p.connect(ev, 0, b, 0);
    p.connect(sig, 0, a, 0);  // the main inlet's signal is never read
    p.connect(osc, 0, b, 1);
    p.connect(a, 0, tw[0], 0);
    p.connect(a, 1, tw[1], 0);
    p.connect(b, 0, tw[2], 0);
    p.connect(b, 1, tw[3], 0);
    p.connect(sig, 0, tw[4], 0);  // shows that the tables were recorded
    p.connect(wdel, 0, wr, 0);
    p.connect(wr, 0, sf, 0);
    p.quit_after(150);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    auto ch = e2e::read_wav(dir + "/out.wav");
    ASSERT_EQ(ch.size(), 5u);
    ASSERT_EQ(ch[0].size(), 4096u);
    for (size_t i = 0; i < ch[4].size(); i++) ASSERT_EQ(ch[4][i], 1.0f) << "recording missed frame " << i;
    for (int c = 0; c < 4; c++)
        for (size_t i = 0; i < ch[c].size(); i++) {
            std::uint32_t bits;
            std::memcpy(&bits, &ch[c][i], 4);
            ASSERT_EQ(bits, 0u) << "channel " << c << " frame " << i;
        }
    // One emit pair per millisecond, never published: each object's list
    // fills up once and stays full.
    EXPECT_EQ(e2e::count_containing(r.console, MAX_MSG), 2) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 0) << r.console;
}

}  // namespace
