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
    EXPECT_EQ(e2e::count_containing(r.console, "qgain~: nosuch: no such float array, passing through"), 1) << r.console;
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

// Carrier 220 Hz + 1000 Hz at 0.2, modulator 1000 Hz at 0.6, two analyses
// of one bank, no smoothing: every carrier band takes the modulator's
// magnitude, so 1000 Hz comes out at the modulator's level and 220 Hz
// vanishes. A modulator analysed with another bank does not pair: one
// error, and the carrier passes bit for bit.
TEST(EffectsHost, CrossSynthesisPairsChannelsByBandAndPosition)
{
    e2e::Patch p;
    int bank = p.designer("make -1 \\, shorten -1 \\, copy_pac2paf -1");
    int other = p.designer("set_C_b 4 \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1");
    p.dsp_on();
    int lo = p.obj("osc~ 220"), hi = p.obj("osc~ 1000"), sum = p.obj("+~"), car = p.obj("*~ 0.2");
    p.connect(lo, 0, sum, 0);
    p.connect(hi, 0, sum, 1);
    p.connect(sum, 0, car, 0);
    int mod = p.obj("*~ 0.6");
    p.connect(hi, 0, mod, 0);
    int ana = p.analysis(car, bank), mana = p.analysis(mod, bank), wrong = p.analysis(mod, other);
    int cross = p.obj("qcross~"), bad = p.obj("qcross~");
    p.at(0, "set_smooth 0", cross);
    for (auto [x, m] : {std::pair{cross, mana}, std::pair{bad, wrong}}) {
        p.connect(ana, 0, x, 0);
        p.connect(ana, 1, x, 1);
        p.connect(m, 0, x, 2);
    }
    int dry = p.synthesis(ana, e2e::Out(ana, 1));
    int wet = p.synthesis(cross, e2e::Out(cross, 1)), pass = p.synthesis(bad, e2e::Out(bad, 1));
    auto wav = p.record({dry, wet, pass}, 44100, 1000);
    auto r = p.run(2100);
    EXPECT_EQ(e2e::count_containing(r.console, "qcross~: carrier and modulator: coefficients do not pair up"), 1)
        << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 1) << r.console;
    auto ch = e2e::read_wav(wav, 3, 44100);
    const double a220 = amplitude(ch[1], 220), a1000 = amplitude(ch[1], 1000);
    std::printf("dry 220 Hz %.4f 1000 Hz %.4f; cross: 220 Hz %.4f, 1000 Hz %.4f\n", amplitude(ch[0], 220),
                amplitude(ch[0], 1000), a220, a1000);
    EXPECT_NEAR(amplitude(ch[0], 1000), 0.2, 0.01);
    EXPECT_NEAR(20 * std::log10(a1000 / 0.6), 0.0, 1.0);
    EXPECT_LT(a220, 0.2 * 0.05);  // at least 26 dB down
    EXPECT_EQ(ch[2], ch[0]);
}

// One analysis fans out to every effect and to a dry synthesis; a second
// analysis of the same input feeds a reference synthesis. The effects must
// not change what they receive: the dry branch equals the reference bit
// for bit, also across a bank change at 600 ms (another band count), after
// which every effect goes on with finite, non-silent output.
TEST(EffectsHost, FannedOutAnalysisKeepsItsDryBranchAndBankChangesAreFollowed)
{
    e2e::Patch p;
    int bank = p.designer("make -1 \\, shorten -1 \\, copy_pac2paf -1");
    p.at(600, "set_C_b 4 \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1", bank);
    p.obj("array define fan_eq 10");
    p.at(0, fill("fan_eq", 10, -6));
    p.obj("array define fan_mask 40");
    p.at(0, fill("fan_mask", 40, -300));
    p.dsp_on();
    int noise = p.obj("noise~"), level = p.obj("*~ 0.1"), tone = p.obj("osc~ 440"), sum = p.obj("+~");
    p.connect(noise, 0, level, 0);
    p.connect(level, 0, sum, 0);
    p.connect(tone, 0, sum, 1);
    int ana = p.analysis(sum, bank);
    std::vector<int> effects = {p.obj("qgain~ fan_eq"), p.obj("qgate~ fan_mask"), p.obj("qcross~"),
                                p.obj("qtranspose~ 300")};
    std::vector<e2e::Out> outs;
    for (int e : effects) {
        p.connect(ana, 0, e, 0);
        p.connect(ana, 1, e, 1);
        outs.push_back(p.synthesis(e, e2e::Out(e, 1)));
    }
    p.connect(ana, 0, effects[2], 2);  // the analysis is its own modulator
    int dry = p.synthesis(ana, e2e::Out(ana, 1));
    e2e::Chain ref = p.chain(sum, bank);
    outs.push_back(dry);
    outs.push_back(ref.syn);
    auto wav = p.record(outs, 44100, 100);
    auto r = p.run(1250);
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    auto ch = e2e::read_wav(wav, outs.size(), 44100);
    const size_t n = ch.size();
    EXPECT_EQ(ch[n - 2], ch[n - 1]);
    // The last 0.25 s come from the new bank.
    for (size_t k = 0; k + 2 < n; k++) {
        for (float v : ch[k]) ASSERT_TRUE(std::isfinite(v)) << k;
        EXPECT_GT(rms(ch[k], 33075, 44100), 0.05) << k;
    }
}

namespace {

// The frequency near f (within +/- 40 cents) where x has its strongest
// component: a scan in 1-cent steps refined by a parabola.
double peak_frequency(const std::vector<float> &x, double f, size_t from, size_t to)
{
    double best = f, level = -1;
    for (int c = -40; c <= 40; c++) {
        const double g = f * std::exp2(c / 1200.0), a = amplitude(x, g, from, to);
        if (a > level) level = a, best = g;
    }
    const double s = std::exp2(1 / 1200.0);
    const double a = amplitude(x, best / s, from, to), b = level, c = amplitude(x, best * s, from, to);
    const double den = a - 2 * b + c;
    return den < 0 ? best * std::exp2(0.5 * (a - c) / den / 1200.0) : best;
}

double cents(double f, double ref) { return 1200 * std::log2(f / ref); }

}  // namespace

// Three partials through [qtranspose~ 700] on a bank that resolves the
// first four partials of a harmonic tone (set_thetak 144: 12 bands per
// octave, C_d 8), in two chains: 220, 440 and 660 Hz, in bands of their
// own, and 880, 1100 and 1320 Hz, which share bands and beat in them. Each
// partial comes out within 5 cents of 2^(700/1200) times its frequency at
// its level within 1 dB, and what is left after removing the three
// sinusoids lies below the bound of its case (the beating of partials that
// share bands must not come out as sidebands).
// On a bank with a linear map the object posts one error and passes the
// stream through bit for bit.
TEST(EffectsHost, TransposedTonesPartialsLandOnTheRatio)
{
    struct Case {
        double f[3];
        double left_db;  // bound of what is left after removing the partials
    };
    const Case cases[] = {{{220.0, 440.0, 660.0}, -50.0}, {{880.0, 1100.0, 1320.0}, -32.0}};
    e2e::Patch p;
    int bank = p.designer("set_thetak 144 \\, set_C_d 8 \\, set_C_q 2 \\, set_T_max 0.5 \\, initialize \\, make -1 \\, "
                          "shorten -1 \\, copy_pac2paf -1");
    int lin = p.designer("set_theta_type 11 \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1");
    p.dsp_on();
    std::vector<e2e::Out> outs;
    int first = -1;
    for (const Case &k : cases) {
        int sum = p.obj("+~"), sum2 = p.obj("+~"), level = p.obj("*~ 0.2");
        char osc[40];
        std::snprintf(osc, sizeof osc, "osc~ %g", k.f[0]);
        p.connect(p.obj(osc), 0, sum, 0);
        std::snprintf(osc, sizeof osc, "osc~ %g", k.f[1]);
        p.connect(p.obj(osc), 0, sum, 1);
        p.connect(sum, 0, sum2, 0);
        std::snprintf(osc, sizeof osc, "osc~ %g", k.f[2]);
        p.connect(p.obj(osc), 0, sum2, 1);
        p.connect(sum2, 0, level, 0);
        int tr = p.obj("qtranspose~ 700");
        int ana = p.analysis(level, bank);
        p.connect(ana, 0, tr, 0);
        p.connect(ana, 1, tr, 1);
        outs.push_back(p.synthesis(tr, e2e::Out(tr, 1)));
        if (first < 0) first = level;
    }
    int bad = p.obj("qtranspose~ 700");
    int lana = p.analysis(first, lin);
    p.connect(lana, 0, bad, 0);
    p.connect(lana, 1, bad, 1);
    outs.push_back(p.synthesis(lana, e2e::Out(lana, 1)));
    outs.push_back(p.synthesis(bad, e2e::Out(bad, 1)));
    // From 1.5 s on: past the longest window and the synthesis latency.
    auto wav = p.record(outs, 44100, 1500);
    auto r = p.run(2600);
    EXPECT_EQ(e2e::count_containing(r.console, "qtranspose~: bank: needs an exponential warping map"), 1) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 1) << r.console;
    auto ch = e2e::read_wav(wav, outs.size(), 44100);
    const size_t n = ch.size();
    EXPECT_EQ(ch[n - 1], ch[n - 2]);
    const double ratio = std::exp2(700 / 1200.0);
    for (size_t j = 0; j < std::size(cases); j++) {
        std::vector<float> rest = ch[j];
        double partials = 0;
        for (double f : cases[j].f) {
            const double g = peak_frequency(ch[j], f * ratio, 0, 44100), a = amplitude(ch[j], g);
            std::printf("%g Hz -> %.3f Hz (%+.2f cents), level %.2f dB\n", f, g, cents(g, f * ratio),
                        20 * std::log10(a / 0.2));
            EXPECT_NEAR(cents(g, f * ratio), 0.0, 5.0) << f;
            EXPECT_NEAR(20 * std::log10(a / 0.2), 0.0, 1.0) << f;
            // Remove the fitted sinusoid.
            double c = 0, s = 0;
            for (size_t i = 0; i < rest.size(); i++) {
                c += rest[i] * std::cos(2 * M_PI * g * i / 44100.0);
                s += rest[i] * std::sin(2 * M_PI * g * i / 44100.0);
            }
            c *= 2.0 / rest.size();
            s *= 2.0 / rest.size();
            for (size_t i = 0; i < rest.size(); i++)
                rest[i] -= (float)(c * std::cos(2 * M_PI * g * i / 44100.0) + s * std::sin(2 * M_PI * g * i / 44100.0));
            partials += a * a / 2;
        }
        const double left = 10 * std::log10(rms(rest, 0, rest.size()) * rms(rest, 0, rest.size()) / partials);
        std::printf("left after removing the partials: %.1f dB\n", left);
        EXPECT_LT(left, cases[j].left_db) << cases[j].f[0];
    }
}
