// "set_samplerate" on the designer, in the host running at 44.1, 48 and
// 96 kHz: the band centres stay in Hz, a sine at a band's centre sits in
// the middle of that band (its two neighbours see it equally), and the round
// trip is as good as at 44.1 kHz. Without the message a 48 kHz host shifts
// every band, which the same measure shows.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "e2e_util.h"

namespace {

constexpr int PROBE_BAND = 24;  // centre 12 * 2^(24*12/36) = 3072 Hz

struct Result {
    std::string console;
    std::map<int, double> centre;  // band -> centre (Hz) from print_band
    std::map<int, double> energy;  // band -> sum of |c|^2 from the dump
    double error_db = NAN;         // resynthesis against the delayed input
};

// Designs the bank (message prefix `setup`, ending in an escaped comma), analyses 220 Hz + 3072 Hz,
// resynthesises, records the result and the delayed input for 1 s from
// 0.6 s on, and dumps every coefficient.
Result run_at(int rate, const std::string &setup)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int bank = p.obj("qbank_tilde");
    int design = p.msg(setup + "initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1 \\, print_band -1");
    p.connect(lb, 0, design, 0);
    p.connect(design, 0, bank, 0);
    int o1 = p.obj("osc~ 220"), o2 = p.obj("osc~ 3072");
    int g1 = p.obj("*~ 0.3"), g2 = p.obj("*~ 0.3");
    p.connect(o1, 0, g1, 0);
    p.connect(o2, 0, g2, 0);
    int ana = p.obj("qavex_tilde"), syn = p.obj("invqavex_tilde"), lag = p.obj("qlag_tilde");
    for (int g : {g1, g2}) {
        p.connect(g, 0, ana, 0);
        p.connect(g, 0, lag, 0);
    }
    p.connect(bank, 0, ana, 1);
    p.connect(ana, 0, syn, 0);
    p.connect(ana, 1, syn, 1);
    p.connect(syn, 1, lag, 1);
    int dump = p.obj("qdump~");
    p.connect(ana, 0, dump, 0);
    p.connect(ana, 1, dump, 1);
    int open = p.msg("open " + dir + "/coef.txt \\; pd dsp 1");
    p.connect(lb, 0, open, 0);
    p.connect(open, 0, dump, 0);
    p.obj("table wet " + std::to_string(rate));
    p.obj("table dry " + std::to_string(rate));
    int tw = p.obj("tabwrite~ wet"), td = p.obj("tabwrite~ dry");
    p.connect(syn, 0, tw, 0);
    p.connect(lag, 0, td, 0);
    int start = p.obj("del 600");
    p.connect(lb, 0, start, 0);
    p.connect(start, 0, tw, 0);
    p.connect(start, 0, td, 0);
    int end = p.obj("del 1700");
    int close = p.msg("close");
    int write = p.msg("write -bytes 4 " + dir + "/out.wav wet dry");
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, end, 0);
    p.connect(end, 0, close, 0);
    p.connect(close, 0, dump, 0);
    p.connect(end, 0, write, 0);
    p.connect(write, 0, sf, 0);
    p.quit_after(1800);
    e2e::write_file(dir + "/rate.pd", p.text());

    std::string out = dir + "/console.txt";
    std::string cmd = "cd '" + dir + "' && timeout 300 " + e2e::host_command() + " -r " + std::to_string(rate) +
                      " -nogui -batch -noaudio -noprefs -stderr -path '" + e2e::build_dir() + "' -lib qavex -open '" +
                      dir + "/rate.pd' > '" + out + "' 2>&1";
    int rc = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0);
    Result r;
    r.console = e2e::read_file(out);

    std::istringstream lines(r.console);
    for (std::string l; std::getline(lines, l);) {
        int band;
        double hz;
        if (std::sscanf(l.c_str(), "Band \t%d\t: Centerfrq.:\t%lf", &band, &hz) == 2) r.centre[band] = hz;
    }
    std::istringstream coef(e2e::read_file(dir + "/coef.txt"));
    for (std::string l; std::getline(coef, l);) {
        long t;
        int band, len;
        double re, im;
        if (std::sscanf(l.c_str(), "%ld\t%d\t%lf\t%lf\t%d", &t, &band, &re, &im, &len) == 5)
            r.energy[band] += re * re + im * im;
    }
    auto ch = e2e::read_wav(dir + "/out.wav");
    if (ch.size() == 2 && !ch[0].empty()) {
        double e = 0, s = 0;
        for (size_t i = 0; i < ch[0].size(); i++) {
            double d = (double)ch[0][i] - ch[1][i];
            e += d * d;
            s += (double)ch[1][i] * ch[1][i];
        }
        if (s > 0) r.error_db = 10 * std::log10(e / s);
    }
    return r;
}

// How far a sine at band q's centre leans towards band q+1 over band q-1.
double lean_db(const Result &r, int q)
{
    auto lo = r.energy.find(q - 1), hi = r.energy.find(q + 1);
    if (lo == r.energy.end() || hi == r.energy.end() || lo->second <= 0) return NAN;
    return 10 * std::log10(hi->second / lo->second);
}

}  // namespace

TEST(SampleRate, BandsStayInHzAndTheRoundTripHoldsAt48And96kHz)
{
    const double want_centre = 12 * std::pow(2.0, PROBE_BAND * 12 / 36.0);
    Result base = run_at(44100, "");
    ASSERT_TRUE(std::isfinite(base.error_db)) << base.console;
    std::cout << "44100 Hz: error " << base.error_db << " dB, lean " << lean_db(base, PROBE_BAND) << " dB, "
              << base.centre.size() << " bands, top centre " << base.centre.rbegin()->second << " Hz\n";
    EXPECT_NEAR(base.centre[PROBE_BAND], want_centre, 0.01);
    EXPECT_LT(std::fabs(lean_db(base, PROBE_BAND)), 1.0);

    struct Case {
        int rate;
        const char *setup;
    };
    const Case cases[] = {
        {48000, "set_samplerate 0 \\, "}, {96000, "set_samplerate 96000 \\, "}, {44100, "set_samplerate 0 \\, "}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " " + c.setup);
        Result r = run_at(c.rate, c.setup);
        std::cout << c.rate << " Hz: error " << r.error_db << " dB, lean " << lean_db(r, PROBE_BAND) << " dB, "
                  << r.centre.size() << " bands, top centre " << (r.centre.empty() ? NAN : r.centre.rbegin()->second)
                  << " Hz\n";
        EXPECT_NEAR(r.centre[PROBE_BAND], want_centre, 0.01) << r.console;
        EXPECT_LT(std::fabs(lean_db(r, PROBE_BAND)), 1.0);
        EXPECT_NEAR(r.error_db, base.error_db, 0.5);
        // The bank reaches up to the host's Nyquist frequency.
        ASSERT_FALSE(r.centre.empty());
        EXPECT_GT(r.centre.rbegin()->second, 0.35 * c.rate);
        // At creation the analysis object and the designer (still at 44100)
        // report the host rate; the derivation at the chosen rate does not.
        EXPECT_EQ(e2e::count_containing(r.console, "Samplerate="), c.rate == 44100 ? 0 : 2) << r.console;
    }

    // Without the message the 48 kHz host plays the 44.1 kHz bank 9 % fast:
    // the sine leans clearly towards the lower neighbour.
    Result shifted = run_at(48000, "");
    std::cout << "48000 Hz without set_samplerate: lean " << lean_db(shifted, PROBE_BAND) << " dB\n";
    EXPECT_LT(lean_db(shifted, PROBE_BAND), -2.0);
    EXPECT_EQ(e2e::count_containing(shifted.console, "Samplerate="), 3) << shifted.console;
}
