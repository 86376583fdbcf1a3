// Dual windows in the host: one analysis feeds two syntheses, one with the
// analysis's own parameter channel and one with the designer's dual outlet;
// both are compared with the dry input delayed by the latency.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_util.h"

// The duals undo the bank's droop: at C_d 8 the round trip on white noise
// is at least 30 dB better than with the windows themselves, and reaches
// 45 dB.
TEST(DualWindowsHost, DualsBeatOwnWindowsOnWhiteNoise)
{
    const int start = 22050;  // after the longest window and the latency (8777 each)
    const int length = 8820;  // 0.2 s
    e2e::Patch p;
    int bank = p.designer("set_C_d 8 \\, initialize \\, make -1 \\, copy_pac2paf -1 \\, make_dual");
    p.dsp_on();
    int noise = p.obj("noise~");
    e2e::Chain own = p.chain(noise, bank);
    int dual = p.synthesis(own.ana, e2e::Out(bank, 2));
    auto wav = p.record({p.lag(noise, own.syn), own.syn, dual}, length, start * 1000.0 / 44100);
    auto r = p.run((start + length) * 1000.0 / 44100 + 50);
    auto ch = e2e::read_wav(wav, 3, length);
    const double own_db = e2e::error_db(ch[1], ch[0]), dual_db = e2e::error_db(ch[2], ch[0]);
    std::printf("C_d 8: own windows %.1f dB, duals %.1f dB\n", own_db, dual_db);
    EXPECT_LT(dual_db, own_db - 30) << r.console;
    EXPECT_LT(dual_db, -45) << r.console;
    EXPECT_TRUE(e2e::counts(r.console, {{"qbank: make_dual: 33 bands", 1}, {"dual windows out of date", 0}}));
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
}

// The designer sits in a subpatch that is cleared while the chain runs: the
// host rebuilds the graph, the synthesis fed with the duals falls silent and
// nothing crashes.
TEST(DualWindowsHost, DeletingTheDesignerWhileTheChainRuns)
{
    e2e::Patch holder;
    int bank = holder.obj("qbank_tilde");
    holder.connect(holder.obj("r dwbank"), 0, bank, 0);
    holder.connect(bank, 0, holder.obj("outlet~"), 0);
    holder.connect(bank, 2, holder.obj("outlet~"), 0);
    e2e::Patch p;
    int sub = p.sub("holder", holder);
    p.at(0, "\\; dwbank make -1 \\; dwbank shorten -1 \\; dwbank copy_pac2paf -1 \\; dwbank make_dual \\; pd dsp 1");
    int syn = p.synthesis(p.analysis(p.obj("noise~"), sub), e2e::Out(sub, 1));
    int env = p.obj("env~ 1024");
    p.connect(syn, 0, env, 0);
    p.connect(env, 0, p.obj("print level"), 0);
    p.at(300, "\\; pd-holder clear");
    auto r = p.run(600);
    EXPECT_EQ(e2e::count_containing(r.console, "qbank: make_dual: 33 bands"), 1) << r.console;
    // env~ 1024 reports every 512 samples: the noise (near 96 dB) once the
    // latency has passed and before the deletion, silence (0) in the last
    // 15 reports (170 ms).
    std::vector<double> levels;
    for (size_t pos = 0; (pos = r.console.find("level: ", pos)) != std::string::npos; pos += 7)
        levels.push_back(std::atof(r.console.c_str() + pos + 7));
    ASSERT_GT(levels.size(), 40u) << r.console;
    EXPECT_GE(std::count_if(levels.begin(), levels.end(), [](double l) { return l > 90; }), 5) << r.console;
    for (size_t i = levels.size() - 15; i < levels.size(); i++) EXPECT_EQ(levels[i], 0.0) << i;
}

// Only the designer whose third outlet is connected says why it is empty:
// at the start and again after the windows change.
TEST(DualWindowsHost, ConnectedDesignerTellsWhyTheDualOutletIsEmpty)
{
    e2e::Patch p;
    int used = p.obj("qbank_tilde");
    p.obj("qbank_tilde");
    p.connect(used, 2, p.obj("invqavex_tilde"), 1);
    p.dsp_on();
    p.at(50, "make 0", used);
    auto r = p.run(100);
    EXPECT_EQ(e2e::count_containing(r.console, "qbank: dual windows out of date, send make_dual"), 2) << r.console;
}
