// Delay object in the real host: recorded input and delayed outputs line up
// sample for sample, negative delays become 0, bad messages never stop it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

// Input and its delays by each of delays[], recorded as one WAV file.
struct Recording {
    e2e::Run run;
    std::vector<std::vector<float>> ch;
};

// The recording starts with the first block of the audio chain.
Recording record(const std::vector<long> &delays, long samples, const std::string &source)
{
    e2e::Patch p;
    p.dsp_on();
    int src = p.obj(source);
    std::vector<e2e::Out> tracks = {src};
    for (long d : delays) {
        int q = p.obj("qlag_tilde");
        p.connect(src, 0, q, 0);
        p.at(0, std::to_string(d), q, 1);
        tracks.push_back(q);
    }
    auto wav = p.record(tracks, samples);
    Recording r;
    r.run = p.run(samples / 44.1 + 40);
    r.ch = e2e::read_wav(wav);
    return r;
}

::testing::AssertionResult delayed_by(const std::vector<float> &x, const std::vector<float> &y, long D)
{
    if (x.size() != y.size()) return ::testing::AssertionFailure() << "lengths differ";
    for (size_t t = 0; t < y.size(); t++) {
        float want = (long)t >= D ? x[t - D] : 0.0f;
        if (y[t] != want) return ::testing::AssertionFailure() << "t=" << t << " got " << y[t] << " want " << want;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(QlagHost, DelaysNoiseExactly)
{
    // 1 100 000 samples: the million-sample delay grows the ring and is
    // silent for its first million samples.
    auto r = record({0, 64, 100, 1000000}, 1100000, "noise~");
    EXPECT_EQ(e2e::count_containing(r.run.console, "error"), 0) << r.run.console;
    EXPECT_EQ(e2e::count_containing(r.run.console, "couldn't create"), 0) << r.run.console;
    ASSERT_EQ(r.ch.size(), 5u);
    ASSERT_EQ(r.ch[0].size(), 1100000u);
    int nonzero = 0;
    for (float f : r.ch[0]) nonzero += f != 0.0f;
    EXPECT_GT(nonzero, 1000000) << "the input is noise";
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[1], 0));
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[2], 64));
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[3], 100));
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[4], 1000000));
}

TEST(QlagHost, DelaysADeterministicSignal)
{
    auto r = record({0, 1, 777}, 8820, "osc~ 441");
    ASSERT_EQ(r.ch.size(), 4u);
    ASSERT_EQ(r.ch[0].size(), 8820u);
    EXPECT_NE(r.ch[0][10], 0.0f);
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[1], 0));
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[2], 1));
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[3], 777));
}

TEST(QlagHost, NegativeDelayReadsBackAsZeroAndBadMessagesAreHarmless)
{
    e2e::Patch p;
    int q = p.obj("qlag_tilde 7");
    p.at(0, "-5", q, 1);
    p.dsp_on();
    p.at(50, "bang", q);
    // Bad arguments and unknown selectors, after the bang.
    p.at(60,
         "set_soundbuffer_length_factor foo \\, set_soundbuffer_length_factor -1 \\, "
         "set_soundbuffer_length_factor 1e+20 \\, set_soundbuffer_length_factor \\, "
         "no_such_message 3 \\, symbol x \\, list 1 2 3",
         q);
    p.at(80, "bang", q);
    auto r = p.run(120);
    // "list 1 2 3" spreads over the inlets: 2 is the new delay.
    EXPECT_TRUE(e2e::counts(r.console, {{"Qlag: Delay=0", 1}, {"Qlag: Delay=2", 1}, {"Qlag: Delay=-5", 0}}));
    EXPECT_GE(e2e::count_containing(r.console, "error"), 1) << r.console;
}
