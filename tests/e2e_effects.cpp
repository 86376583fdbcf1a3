// The spectral effects in the real host, each between an analysis and a
// synthesis: qgain~ (drawn gains), qgate~ (learned mask), qcross~ (paired
// channels), qtranspose~ (partial frequencies); missing and bad arrays;
// a bank that changes while they run; and a fanned-out analysis whose dry
// branch must stay bit-identical to a chain without effects.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

// Amplitude of the component at f Hz (44100 Hz rate) in x[from, to), by
// projection on cosine and sine.
double amplitude(const std::vector<float> &x, double f, size_t from = 0, size_t to = 0)
{
    if (to == 0 || to > x.size()) to = x.size();
    double c = 0, s = 0;
    for (size_t i = from; i < to; i++) {
        const double ph = 2 * M_PI * f * (double)i / 44100.0;
        c += x[i] * std::cos(ph);
        s += x[i] * std::sin(ph);
    }
    return 2 * std::hypot(c, s) / (double)(to - from);
}

double rms(const std::vector<float> &x, size_t from, size_t to)
{
    double e = 0;
    for (size_t i = from; i < to; i++) e += (double)x[i] * x[i];
    return std::sqrt(e / (double)(to - from));
}

// "name 0 v v v ...": the host's list message that fills an array from 0.
std::string fill(const std::string &name, int n, double v)
{
    std::ostringstream o;
    o << "\\; " << name << " 0";
    for (int i = 0; i < n; i++) o << " " << v;
    return o.str();
}

}  // namespace

// 220 Hz and 2000 Hz through [qgain~ eq] with an array of 18 elements at
// -20 dB: the bands of 220 Hz all lie inside the array, those of 2000 Hz
// beyond its end. A second qgain~ names no array: one error, and its output
// is the dry stream. Both read the same analysis as the dry synthesis.
TEST(EffectsHost, GainArrayScalesItsBandsAndLeavesTheRest)
{
    e2e::Patch p;
    int bank = p.designer("make -1 \\, shorten -1 \\, copy_pac2paf -1");
    p.obj("array define eq 18");
    p.at(0, fill("eq", 18, -20));
    p.dsp_on();
    int lo = p.obj("osc~ 220"), hi = p.obj("osc~ 2000"), sum = p.obj("+~");
    p.connect(lo, 0, sum, 0);
    p.connect(hi, 0, sum, 1);
    int gain = p.obj("qgain~ eq"), missing = p.obj("qgain~ nosuch"), bad = p.obj("qgain~ notanarray");
    p.obj("text define notanarray");
    int ana = p.analysis(sum, bank);
    for (int g : {gain, missing, bad}) {
        p.connect(ana, 0, g, 0);
        p.connect(ana, 1, g, 1);
    }
    int dry = p.synthesis(ana, e2e::Out(ana, 1));
    int wet = p.synthesis(gain, e2e::Out(gain, 1));
    int pass = p.synthesis(missing, e2e::Out(missing, 1));
    int pass2 = p.synthesis(bad, e2e::Out(bad, 1));
    auto wav = p.record({dry, wet, pass, pass2}, 44100, 1000);
    auto r = p.run(2100);
    EXPECT_EQ(e2e::count_containing(r.console, "qgain~: nosuch: no such float array, passing through"), 1)
        << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "qgain~: notanarray: no such float array, passing through"), 1)
        << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 2) << r.console;
    auto ch = e2e::read_wav(wav, 4, 44100);
    const double d220 = amplitude(ch[0], 220), d2000 = amplitude(ch[0], 2000);
    const double w220 = amplitude(ch[1], 220), w2000 = amplitude(ch[1], 2000);
    std::printf("dry 220 Hz %.5f 2000 Hz %.5f; gain: 220 Hz %.2f dB, 2000 Hz %.3f dB\n", d220, d2000,
                20 * std::log10(w220 / d220), 20 * std::log10(w2000 / d2000));
    ASSERT_GT(d220, 0.5);
    ASSERT_GT(d2000, 0.5);
    EXPECT_NEAR(20 * std::log10(w220 / d220), -20.0, 0.05);
    EXPECT_NEAR(20 * std::log10(w2000 / d2000), 0.0, 0.05);
    EXPECT_EQ(ch[2], ch[0]);
    EXPECT_EQ(ch[3], ch[0]);
}

// Noise alone for 1.4 s, then noise and a 1000 Hz tone. [qgate~ mask]
// learns 600 ms of noise once the analysis windows have filled; afterwards
// the noise alone is attenuated by at least 40 dB and the tone passes
// within 1 dB. The learned mask stands in the array (made longer than the
// band count, so it shrinks to one element per band).
TEST(EffectsHost, LearnedMaskGatesNoiseAndPassesTheTone)
{
    e2e::Patch p;
    int bank = p.designer("make -1 \\, shorten -1 \\, copy_pac2paf -1");
    p.obj("array define mask 40");
    p.dsp_on();
    int noise = p.obj("noise~"), level = p.obj("*~ 0.05"), tone = p.obj("osc~ 1000"), env = p.obj("*~ 0");
    int sum = p.obj("+~");
    p.connect(noise, 0, level, 0);
    p.connect(tone, 0, env, 0);
    p.connect(level, 0, sum, 0);
    p.connect(env, 0, sum, 1);
    p.at(1400, "0.5", env, 1);
    int gate = p.obj("qgate~ mask");
    int ana = p.analysis(sum, bank);
    p.connect(ana, 0, gate, 0);
    p.connect(ana, 1, gate, 1);
    p.at(300, "learn 600", gate);
    int dry = p.synthesis(ana, e2e::Out(ana, 1)), wet = p.synthesis(gate, e2e::Out(gate, 1));
    int size = p.obj("array size mask");
    p.connect(p.at(1000, "bang"), 0, size, 0);
    p.connect(size, 0, p.obj("print masksize"), 0);
    auto wav = p.record({dry, wet}, 44100, 900);
    auto r = p.run(2000);
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "qgate~: mask of 33 bands learned into mask"), 1) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "masksize: 33")) << r.console;
    auto ch = e2e::read_wav(wav, 2, 44100);
    // From 900 ms on: noise alone from 950 to 1350 ms, the tone from 1550 ms
    // (past the synthesis latency).
    const size_t noise_from = 2205, noise_to = 19845, tone_from = 28665, tone_to = ch[0].size();
    const double left = 20 * std::log10(rms(ch[1], noise_from, noise_to) / rms(ch[0], noise_from, noise_to));
    const double kept =
        20 * std::log10(amplitude(ch[1], 1000, tone_from, tone_to) / amplitude(ch[0], 1000, tone_from, tone_to));
    std::printf("noise alone: %.1f dB; tone: %.2f dB\n", left, kept);
    EXPECT_LT(left, -40.0);
    EXPECT_NEAR(kept, 0.0, 1.0);
}
