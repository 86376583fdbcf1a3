// Dual windows in the host: one analysis feeds two syntheses, one with the
// analysis's own parameter channel and one with the designer's dual outlet;
// both are compared with the dry input delayed by the latency.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

constexpr int kStart = 22050;  // recording starts after the longest window and the latency (8777 each)
constexpr int kLength = 8820;  // 0.2 s

struct Errors {
    double own_db = 0, dual_db = 0;
    std::string console;
};

using e2e::error_db;

// Runs white noise through the chain with the designer configured by
// settings (a message text, each item followed by " \\, ").
Errors round_trip(const std::string &settings)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int trig = p.obj("t b b");
    int cfg = p.msg(settings + "initialize \\, make -1 \\, copy_pac2paf -1 \\, make_dual");
    int bank = p.obj("qbank_tilde");
    int dsp = p.msg("\\; pd dsp 1");
    int noise = p.obj("noise~");
    int ana = p.obj("qavex_tilde");
    int own = p.obj("invqavex_tilde");
    int dual = p.obj("invqavex_tilde");
    int lag = p.obj("qlag_tilde");
    const char *names[] = {"dry", "own", "dual"};
    int writers[3];
    for (int k = 0; k < 3; k++) {
        writers[k] = p.obj(std::string("tabwrite~ ") + names[k]);
        p.obj(std::string("table ") + names[k] + " " + std::to_string(kLength));
    }
    int start = p.obj("del " + std::to_string(kStart * 1000.0 / 44100));
    int stop = p.obj("del " + std::to_string((kStart + kLength) * 1000.0 / 44100 + 20));
    int write = p.msg("write -bytes 4 dry.wav dry \\, write -bytes 4 own.wav own \\, write -bytes 4 dual.wav dual");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, trig, 0);
    p.connect(trig, 1, cfg, 0);
    p.connect(trig, 0, dsp, 0);
    p.connect(cfg, 0, bank, 0);
    p.connect(noise, 0, ana, 0);
    p.connect(bank, 0, ana, 1);
    p.connect(ana, 0, own, 0);
    p.connect(ana, 1, own, 1);
    p.connect(ana, 0, dual, 0);
    p.connect(bank, 2, dual, 1);
    p.connect(noise, 0, lag, 0);
    p.connect(own, 1, lag, 1);
    p.connect(lag, 0, writers[0], 0);
    p.connect(own, 0, writers[1], 0);
    p.connect(dual, 0, writers[2], 0);
    p.connect(lb, 0, start, 0);
    for (int w : writers) p.connect(start, 0, w, 0);
    p.connect(lb, 0, stop, 0);
    p.connect(stop, 0, write, 0);
    p.connect(write, 0, sf, 0);
    p.quit_after((kStart + kLength) * 1000.0 / 44100 + 50);
    auto r = e2e::run_pd(p, dir, 300);
    Errors out;
    out.console = r.console;
    EXPECT_EQ(r.status, 0) << r.console;
    auto dry = e2e::read_wav(dir + "/dry.wav");
    auto ownw = e2e::read_wav(dir + "/own.wav");
    auto dualw = e2e::read_wav(dir + "/dual.wav");
    if (dry.size() != 1 || ownw.size() != 1 || dualw.size() != 1 || dry[0].size() != (size_t)kLength) {
        ADD_FAILURE() << "recordings missing\n" << r.console;
        return out;
    }
    out.own_db = error_db(ownw[0], dry[0]);
    out.dual_db = error_db(dualw[0], dry[0]);
    std::printf("%s: own windows %.1f dB, duals %.1f dB\n", settings.c_str(), out.own_db, out.dual_db);
    return out;
}

}  // namespace

// The duals undo the bank's droop: at C_d 8 the round trip on white noise
// is at least 30 dB better than with the windows themselves, and reaches
// 45 dB.
TEST(DualWindowsHost, DualsBeatOwnWindowsOnWhiteNoise)
{
    Errors e = round_trip("set_C_d 8 \\, ");
    EXPECT_LT(e.dual_db, e.own_db - 30) << e.console;
    EXPECT_LT(e.dual_db, -45) << e.console;
    EXPECT_EQ(e2e::count_containing(e.console, "qbank: make_dual: 33 bands"), 1) << e.console;
    EXPECT_EQ(e2e::count_containing(e.console, "dual windows out of date"), 0) << e.console;
    EXPECT_TRUE(e2e::clean_console(e.console)) << e.console;
}

// The designer sits in a subpatch that is cleared while the chain runs: the
// host rebuilds the graph, the synthesis fed with the duals falls silent and
// nothing crashes.
TEST(DualWindowsHost, DeletingTheDesignerWhileTheChainRuns)
{
    std::string dir = e2e::temp_dir();
    std::string patch =
        "#N canvas 0 0 600 400 12;\n"
        "#N canvas 0 0 400 300 holder 0;\n"
        "#X obj 10 10 r dwbank;\n"
        "#X obj 10 40 qbank_tilde;\n"
        "#X obj 10 70 outlet~;\n"
        "#X obj 100 70 outlet~;\n"
        "#X connect 0 0 1 0;\n"
        "#X connect 1 0 2 0;\n"
        "#X connect 1 2 3 0;\n"
        "#X restore 10 10 pd holder;\n"                                              // 0
        "#X obj 10 40 loadbang;\n"                                                   // 1
        "#X msg 10 70 \\; dwbank make -1 \\; dwbank shorten -1 "
        "\\; dwbank copy_pac2paf -1 \\; dwbank make_dual \\; pd dsp 1;\n"       // 2
        "#X obj 10 100 noise~;\n"                                                    // 3
        "#X obj 10 130 qavex_tilde;\n"                                               // 4
        "#X obj 10 160 invqavex_tilde;\n"                                            // 5
        "#X obj 10 190 env~ 1024;\n"                                                 // 6
        "#X obj 10 220 print level;\n"                                               // 7
        "#X obj 200 40 del 300;\n"                                                   // 8
        "#X msg 200 70 \\; pd-holder clear;\n"                                     // 9
        "#X obj 200 100 del 600;\n"                                                  // 10
        "#X msg 200 130 \\; pd quit;\n"                                            // 11
        "#X connect 1 0 2 0;\n"
        "#X connect 3 0 4 0;\n"
        "#X connect 0 0 4 1;\n"
        "#X connect 4 0 5 0;\n"
        "#X connect 0 1 5 1;\n"
        "#X connect 5 0 6 0;\n"
        "#X connect 6 0 7 0;\n"
        "#X connect 1 0 8 0;\n"
        "#X connect 8 0 9 0;\n"
        "#X connect 1 0 10 0;\n"
        "#X connect 10 0 11 0;\n";
    e2e::write_file(dir + "/delete.pd", patch);
    auto r = e2e::run_pd_file(dir + "/delete.pd");
    ASSERT_EQ(r.status, 0) << r.console;
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
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int used = p.obj("qbank_tilde");
    p.obj("qbank_tilde");
    int syn = p.obj("invqavex_tilde");
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    int later = p.obj("del 50");
    int change = p.msg("make 0");
    p.connect(used, 2, syn, 1);
    p.connect(lb, 0, dsp, 0);
    p.connect(lb, 0, later, 0);
    p.connect(later, 0, change, 0);
    p.connect(change, 0, used, 0);
    p.quit_after(100);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "qbank: dual windows out of date, send make_dual"), 2) << r.console;
}
