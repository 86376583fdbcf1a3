// The coefficient generator in the real host: loading, reports, bad input,
// the third inlet and what it publishes without a parameter channel.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "e2e_util.h"

namespace {

const char *const MAX_MSG = "qemit: Maximum number of events for qemit reached.";

TEST(QemitHost, LoadsBangsAndSurvivesBadArguments)
{
    e2e::Patch p;
    int q = p.obj("qemit_tilde");
    int q2 = p.obj("qemit_tilde 7");
    p.dsp_on();
    p.at(0,
         "bang \\, emit foo \\, emit 1 2 3 4 5 6 \\, emit -1e+30 nan bar \\, foo \\, list a b \\, symbol x \\, "
         "emit \\, 3.5 \\, bang",
         q);
    p.at(0, "1 2 3 4 \\, foo \\, a b c d \\, 7 \\, bang \\, symbol s", q, 2);
    p.at(0, "bang", q2);
    auto r = p.run(50);
    EXPECT_EQ(r.console.find("couldn't create"), std::string::npos) << r.console;
    // Two bangs on the first object (before and after the bad messages) and
    // one on the second: every report came, so the host went on.
    EXPECT_EQ(e2e::count_containing(r.console, "Qemit Bang Bang Boing"), 3) << r.console;
    EXPECT_GE(e2e::count_containing(r.console, "error: "), 4) << r.console;
    EXPECT_EQ(r.console.find("Assertion"), std::string::npos) << r.console;
}

TEST(QemitHost, ThirdInletListsAreEventsUpToTheCapacity)
{
    e2e::Patch p;
    int until = p.obj("until"), ev = p.msg("5 0.5 -0.5 1");
    p.connect(until, 0, ev, 0);
    p.connect(ev, 0, p.obj("qemit_tilde"), 2);
    p.at(0, "150", until);
    auto r = p.run(20);
    // No parameter channel: the events wait, so 150 lists fill the list
    // once and the message comes exactly once.
    EXPECT_TRUE(e2e::counts(r.console, {{MAX_MSG, 1}, {"error: ", 0}}));
}

TEST(QemitHost, PublishesNothingWithoutAParameterChannel)
{
    e2e::Patch p;
    p.dsp_on();
    int a = p.obj("qemit_tilde");  // parameter inlet unconnected
    int b = p.obj("qemit_tilde");  // parameter inlet fed with audio
    int sig = p.obj("sig~ 1");
    p.connect(sig, 0, a, 0);  // the main inlet's signal is never read
    p.connect(p.obj("osc~ 1000"), 0, b, 1);
    int metro = p.obj("metro 1"), ev = p.msg("emit 3 0.5 0.25 0 \\, emit 60 -1 1 2");
    p.connect(p.loadbang(), 0, metro, 0);
    p.connect(metro, 0, ev, 0);
    p.connect(ev, 0, a, 0);
    p.connect(ev, 0, b, 0);
    // The last track shows that the tables were recorded.
    auto wav = p.record({a, e2e::Out(a, 1), b, e2e::Out(b, 1), sig}, 4096, 0, 120);
    auto r = p.run(150);
    auto ch = e2e::read_wav(wav, 5, 4096u);
    for (size_t i = 0; i < ch[4].size(); i++) ASSERT_EQ(ch[4][i], 1.0f) << "recording missed frame " << i;
    for (int c = 0; c < 4; c++)
        for (size_t i = 0; i < ch[c].size(); i++) {
            std::uint32_t bits;
            std::memcpy(&bits, &ch[c][i], 4);
            ASSERT_EQ(bits, 0u) << "channel " << c << " frame " << i;
        }
    // One emit pair per millisecond, never published: each object's list
    // fills up once and stays full.
    EXPECT_TRUE(e2e::counts(r.console, {{MAX_MSG, 2}, {"error: ", 0}}));
}

}  // namespace
