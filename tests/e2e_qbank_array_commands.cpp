// The designer's array commands in the real host: every command with bad
// arguments while a designer -> analysis -> synthesis chain runs, and the
// resynthesis following the transformed windows once they are copied.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

// Root mean square of samples [from, to).
double rms(const std::vector<float> &x, std::size_t from, std::size_t to)
{
    double s = 0;
    to = std::min(to, x.size());
    if (from >= to) return 0;
    for (std::size_t i = from; i < to; i++) s += (double)x[i] * x[i];
    return std::sqrt(s / (double)(to - from));
}

// Every command with arguments it refuses or that select nothing to change.
const char *const BAD_COMMANDS[] = {"abs foo",
                                    "componentabs bar",
                                    "ln baz",
                                    "set_nan_to_zero x",
                                    "set_inf_to_zero y",
                                    "normalize z",
                                    "fft q",
                                    "differentiate r",
                                    "integrate s",
                                    "imag_plus_real t",
                                    "mult",
                                    "mult 1",
                                    "mult 0 TIMES_VAL 2",
                                    "mult -2 TIMES_VAL 2 0",
                                    "mult 99999 TIMES_VAL 2 0",
                                    "mult -1 SQUARE 5 5 1",
                                    "mult 1e+09 NORMALIZE 0 0",
                                    "cut 0 -1 1e+30",
                                    "cut foo 1 2",
                                    "cycle",
                                    "cycle 1",
                                    "cycle -2 N/2",
                                    "cycle 99999 3",
                                    "cycle 0 N/0",
                                    "cycle 0 X/2",
                                    "cycle 0 0",
                                    "cycle 0 N/",
                                    "cycle 0 -N/0",
                                    "floating_average 99999 0.5 -3",
                                    "floating_average -1 -0.5 -3",
                                    "floating_average foo",
                                    "make_dc_offset 99999 0.5 1 1",
                                    "make_dc_offset 0 0.5 1 1",
                                    "make_dc_offset bar",
                                    "inner_product -5 99999",
                                    "inner_product 0 1e+09",
                                    "inner_product foo bar",
                                    "length_of_vector 1e+09",
                                    "length_of_vector -1e+09",
                                    "prolong -1 -5 2 1",
                                    "prolong 3 0 0 0",
                                    "prolong 3 5 9 0",
                                    "prolong 3 5 -1 1",
                                    "prolong 2 1e+09 0 0",
                                    "array_synopsis",
                                    "array_synopsis -7",
                                    "array_synopsis 99999",
                                    "array_synopsis 5 2",
                                    "array_synopsis 1e+09 -1e+09",
                                    "array_synopsis foo bar",
                                    "round_up_to_multiple_of_small_primes 0 0",
                                    "round_up_to_multiple_of_small_primes -5 1e+09",
                                    "round_up_to_multiple_of_small_primes 1e+30 2",
                                    "round_up_to_multiple_of_small_primes"};

std::string joined_commands()
{
    std::string m;
    for (const char *c : BAD_COMMANDS) {
        if (!m.empty()) m += " \\, ";
        m += c;
    }
    return m;
}

}  // namespace

TEST(QbankArrayCommandsE2E, BadArgumentsWhileTheChainRuns)
{
    const double t_bad = 1500, t_mult = 2500, t_copy = 4000, t_stop = 6000;
    e2e::Patch p;
    int bank = p.designer("set_T_max 0.02 \\, initialize 0 \\, make -1 \\, shorten -1 \\, copy_pac2paf -1");
    e2e::Chain c = p.chain(p.obj("osc~ 1000"), bank);
    int lat = p.obj("change");
    p.connect(c.syn, 1, lat, 0);
    p.connect(lat, 0, p.obj("print latency"), 0);
    auto wav = p.record({c.syn}, (int)(t_stop * 44.1) + 4410, 0, t_stop);
    p.dsp_on();
    p.at(t_bad, joined_commands(), bank);
    p.marker(t_bad + 1, "bad commands sent");
    // Doubles every complex window; the audio objects keep the float copies
    // until they are copied again.
    p.at(t_mult, "mult -1 TIMES_VAL 2 0", bank);
    p.at(t_copy, "copy_pac2paf -1", bank);
    auto r = p.run(t_stop + 100);
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: bad commands sent")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "couldn't create"), 0) << r.console;
    // Refusals the commands post themselves.
    EXPECT_GE(e2e::count_containing(r.console, "cycle: Array Index zu klein/gross"), 4) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "cycle: Falscher Aufruf der Funktion"), 2) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Aufruf mult: Arraynummer welche_Art Wert_Real Wert_Complex [Random]"),
              3)
        << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Falscher Aufruf der Funktion array_synopsis, array_synopsis"), 3)
        << r.console;
    EXPECT_GE(e2e::count_containing(r.console, "Falsche Parameter bei qbank_t_floating_average"), 2) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "qavex_t_prolong_array: Falscher Aufruf"), 2) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "round_up_to_multiple_of_small_primes: needs"), 4) << r.console;
    // The host refuses symbols where numbers belong; no other error arises.
    EXPECT_EQ(e2e::count_containing(r.console, "bad arguments for message"), 14) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "qavex_t_prolong_array: "), 2) << r.console;
    // The huge insertion is refused by the designer's memory bound first.
    EXPECT_EQ(e2e::count_containing(r.console, "qbank_tilde prolong: needs "), 1) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error: "), 19) << r.console;

    // The latency the synthesis reported.
    std::size_t pos = r.console.rfind("latency: ");
    ASSERT_NE(pos, std::string::npos) << r.console;
    long latency = std::atol(r.console.c_str() + pos + 9);
    ASSERT_GT(latency, 0);
    ASSERT_LT(latency, 20000);

    auto ch = e2e::read_wav(wav, 1);
    const std::vector<float> &y = ch[0];
    auto smp = [](double ms) { return (std::size_t)(ms * 44.1); };
    std::size_t settle = (std::size_t)latency + 4410;
    ASSERT_GT(y.size(), smp(t_stop)) << r.console;
    double before = rms(y, smp(t_bad) - 22050, smp(t_bad));
    double after_bad = rms(y, smp(t_bad) + settle, smp(t_mult));
    double after_mult = rms(y, smp(t_mult) + settle, smp(t_copy));
    double after_copy = rms(y, smp(t_copy) + settle, smp(t_stop) - 64);
    ASSERT_GT(before, 1e-3) << "the chain resynthesises the sine";
    EXPECT_NEAR(after_bad / before, 1.0, 1e-3) << "bad commands changed nothing";
    EXPECT_NEAR(after_mult / before, 1.0, 1e-3) << "complex windows alone do not reach the audio";
    // Analysis and synthesis windows both doubled: four times the output.
    EXPECT_NEAR(after_copy / before, 4.0, 4e-3);
}
