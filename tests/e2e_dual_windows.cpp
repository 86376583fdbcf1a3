// Dual windows in the host: one analysis feeds two syntheses, one with the
// analysis's own parameter channel and one with the designer's dual outlet;
// both are compared with the dry input delayed by the latency.
#include <gtest/gtest.h>

#include <cmath>
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

double error_db(const std::vector<float> &res, const std::vector<float> &dry)
{
    double e = 0, d = 0;
    for (size_t i = 0; i < dry.size() && i < res.size(); i++) {
        e += (res[i] - (double)dry[i]) * (res[i] - (double)dry[i]);
        d += dry[i] * (double)dry[i];
    }
    return 10 * std::log10(e / d);
}

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
