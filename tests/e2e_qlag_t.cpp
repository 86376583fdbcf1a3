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

// Records through tables, which the host writes synchronously; the
// recording starts with the first block of the audio chain.
Recording record(const std::vector<long> &delays, long samples, const std::string &source)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, dsp, 0);
    int src = p.obj(source);
    int n = (int)delays.size();
    std::string names;
    for (int k = 0; k <= n; k++) {
        std::string name = "rec" + std::to_string(k);
        names += " " + name;
        p.obj("table " + name + " " + std::to_string(samples));
        int tw = p.obj("tabwrite~ " + name);
        p.connect(lb, 0, tw, 0);
        if (k == 0) {
            p.connect(src, 0, tw, 0);
            continue;
        }
        int q = p.obj("qlag_tilde");
        int m = p.msg(std::to_string(delays[k - 1]));
        p.connect(lb, 0, m, 0);
        p.connect(src, 0, q, 0);
        p.connect(m, 0, q, 1);
        p.connect(q, 0, tw, 0);
    }
    // Written after the tables are full.
    double ms = samples / 44.1 + 20;
    int del = p.obj("del " + std::to_string(ms));
    int write = p.msg("write -bytes 4 " + dir + "/rec.wav" + names);
    int sf = p.obj("soundfiler");
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, write, 0);
    p.connect(write, 0, sf, 0);
    p.quit_after(ms + 20);
    Recording r;
    r.run = e2e::run_pd(p, dir, 300);
    r.ch = e2e::read_wav(dir + "/rec.wav");
    return r;
}

::testing::AssertionResult delayed_by(const std::vector<float> &x, const std::vector<float> &y, long D)
{
    if (x.size() != y.size()) return ::testing::AssertionFailure() << "lengths differ";
    for (size_t t = 0; t < y.size(); t++) {
        float want = (long)t >= D ? x[t - D] : 0.0f;
        if (y[t] != want)
            return ::testing::AssertionFailure() << "t=" << t << " got " << y[t] << " want " << want;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace

TEST(QlagHost, DelaysNoiseExactly)
{
    // 1 100 000 samples: the million-sample delay grows the ring and is
    // silent for its first million samples.
    auto r = record({0, 64, 100, 1000000}, 1100000, "noise~");
    EXPECT_EQ(r.run.status, 0) << r.run.console;
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
    EXPECT_EQ(r.run.status, 0) << r.run.console;
    ASSERT_EQ(r.ch.size(), 4u);
    ASSERT_EQ(r.ch[0].size(), 8820u);
    EXPECT_NE(r.ch[0][10], 0.0f);
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[1], 0));
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[2], 1));
    EXPECT_TRUE(delayed_by(r.ch[0], r.ch[3], 777));
}

TEST(QlagHost, NegativeDelayReadsBackAsZeroAndBadMessagesAreHarmless)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    int q = p.obj("qlag_tilde 7");
    int lb = p.obj("loadbang");
    int neg = p.msg("-5");
    int dsp = p.msg("\\; pd dsp 1");
    p.connect(lb, 0, neg, 0);
    p.connect(lb, 0, dsp, 0);
    p.connect(neg, 0, q, 1);
    int del = p.obj("del 50");
    int bang = p.msg("bang");
    p.connect(lb, 0, del, 0);
    p.connect(del, 0, bang, 0);
    p.connect(bang, 0, q, 0);
    // Bad arguments and unknown selectors, after the bang.
    int del2 = p.obj("del 60");
    int bad = p.msg("set_soundbuffer_length_factor foo \\, set_soundbuffer_length_factor -1 \\, "
                    "set_soundbuffer_length_factor 1e+20 \\, set_soundbuffer_length_factor \\, "
                    "no_such_message 3 \\, symbol x \\, list 1 2 3");
    p.connect(lb, 0, del2, 0);
    p.connect(del2, 0, bad, 0);
    p.connect(bad, 0, q, 0);
    int del3 = p.obj("del 80");
    int tail = p.msg("bang");
    p.connect(lb, 0, del3, 0);
    p.connect(del3, 0, tail, 0);
    p.connect(tail, 0, q, 0);
    p.quit_after(120);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Qlag: Delay=0"), 1) << r.console;
    // "list 1 2 3" spreads over the inlets: 2 is the new delay.
    EXPECT_EQ(e2e::count_containing(r.console, "Qlag: Delay=2"), 1) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "Qlag: Delay=-5"), 0) << r.console;
    EXPECT_GE(e2e::count_containing(r.console, "error"), 1) << r.console;
}

