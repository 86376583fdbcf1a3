// Delay object: exact delays across the ring's wrap, growth, negative and
// over-long delays, other block sizes, failed allocations and messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "bank_fixture.h"
#include "qlag_t.h"

namespace {

class Lag {
public:
    explicit Lag(bool inplace = false, int n = 64) : i(80, 0.0f), o(80, 0.0f)
    {
        obj = stub::create("qlag_tilde", {stub::fa(0)});
        x = (sQlag_t *)obj;
        out = inplace ? i.data() : o.data();
        auto calls = stub::dsp(obj, {i.data(), out}, n);
        EXPECT_EQ(calls.size(), 1u);
        call = calls.at(0);
    }
    ~Lag() { stub::destroy(obj); }
    void set_delay(float d) { *stub::inlets_of(&x->x_obj).at(0).fp = d; }
    std::vector<float> block(const float *in)
    {
        std::copy(in, in + 64, i.begin());
        if (out != i.data()) std::fill(o.begin(), o.end(), 7.0f);
        stub::run(call);
        return std::vector<float>(out, out + 64);
    }
    // Runs the signal through block by block; returns the output.
    std::vector<float> run(const std::vector<float> &sig)
    {
        std::vector<float> y;
        for (size_t b = 0; b + 64 <= sig.size(); b += 64) {
            auto v = block(sig.data() + b);
            y.insert(y.end(), v.begin(), v.end());
        }
        return y;
    }
    t_pd *obj;
    sQlag_t *x;
    std::vector<float> i, o;
    t_sample *out;
    stub::DspCall call;
};

// y[t] must be x[t - D] (silence before the start).
::testing::AssertionResult delayed_by(const std::vector<float> &x, const std::vector<float> &y, long D)
{
    for (size_t t = 0; t < y.size(); t++) {
        float want = (long)t >= D ? x[t - D] : 0.0f;
        if (y[t] != want) return ::testing::AssertionFailure() << "t=" << t << " got " << y[t] << " want " << want;
    }
    return ::testing::AssertionSuccess();
}

class Qlag : public HostTest<qlag_t_setup> {};

}  // namespace

TEST_F(Qlag, RegistersAndStartsSilent)
{
    Lag l;
    auto ins = stub::inlets_of(&l.x->x_obj);
    ASSERT_EQ(ins.size(), 1u);
    EXPECT_EQ(ins[0].fp, &l.x->fDelay);
    auto outs = stub::outlets_of(&l.x->x_obj);
    ASSERT_EQ(outs.size(), 1u);
    EXPECT_TRUE(stub::outlet_is_signal(outs[0]));
    EXPECT_EQ(l.x->x_in, nullptr);
    EXPECT_EQ(l.x->sSound.iLength, 576000);
    EXPECT_EQ(l.x->sSound.ring.pE - l.x->sSound.ring.pA, 576000);
    EXPECT_EQ(l.x->sSound.ring.pC, l.x->sSound.ring.pA);
    EXPECT_EQ(l.x->fDelay, 0.0f);
    for (int e = 0; e < 576000; e += 313) ASSERT_EQ(l.x->sSound.ring.pA[e], 0.0f);
}

TEST_F(Qlag, DelaysExactlyAcrossTheRingWrap)
{
    // A ring of 256 samples wraps every 4 blocks, so the read block lies
    // wholly before, wholly after, or across the ring's start.
    auto x = uniform_noise(64 * 40, 1);
    for (long D : {0L, 1L, 36L, 63L, 64L, 65L, 100L, 127L, 128L, 191L, 192L}) {
        Lag l;
        stub::send(l.obj, "set_soundbuffer_length_factor", {stub::fa(4)});
        l.set_delay((float)D);
        EXPECT_TRUE(delayed_by(x, l.run(x), D)) << "D=" << D;
        EXPECT_EQ(l.x->sSound.iLength, 256) << "delays up to iLength - 64 need no growth";
    }
}

TEST_F(Qlag, DelayFromTheStartRingAndInPlace)
{
    auto x = uniform_noise(64 * 20, 2);
    for (long D : {0L, 64L, 100L}) {
        Lag l(true);
        l.set_delay((float)D);
        EXPECT_TRUE(delayed_by(x, l.run(x), D)) << "D=" << D;
    }
}

TEST_F(Qlag, FractionalDelaysTruncate)
{
    auto x = uniform_noise(64 * 8, 3);
    Lag l;
    l.set_delay(100.9f);
    EXPECT_TRUE(delayed_by(x, l.run(x), 100));
    stub::clear();
    stub::send(l.obj, "bang");
    EXPECT_TRUE(stub::posted("Qlag: Delay=100"));
}

TEST_F(Qlag, ChangingTheDelayReadsTheRecordedPast)
{
    auto x = uniform_noise(64 * 30, 4);
    Lag l;
    std::vector<float> y;
    for (int b = 0; b < 30; b++) {
        long D = b < 10 ? 10 : (b < 20 ? 500 : 3);
        l.set_delay((float)D);
        auto v = l.block(x.data() + 64 * b);
        for (int k = 0; k < 64; k++) {
            long t = 64 * b + k;
            ASSERT_EQ(v[k], t >= D ? x[t - D] : 0.0f) << "t=" << t;
        }
    }
}

TEST_F(Qlag, GrowsBeforeTheReadBlockWouldOverlapTheNewest)
{
    auto x = uniform_noise(64 * 12, 5);
    {
        Lag l;
        stub::send(l.obj, "set_soundbuffer_length_factor", {stub::fa(4)});
        l.set_delay(193);  // iLength - 63
        auto y = l.run(x);
        EXPECT_EQ(l.x->sSound.iLength, 64 * (193 / 64 + 500));
        EXPECT_TRUE(delayed_by(x, y, 193));
    }
    {
        Lag l;
        l.set_delay(576000 - 64);  // the start ring still holds it
        l.run(x);
        EXPECT_EQ(l.x->sSound.iLength, 576000);
        l.set_delay(576000 - 63);
        l.run(x);
        EXPECT_EQ(l.x->sSound.iLength, 64 * ((576000 - 63) / 64 + 500));
    }
}

TEST_F(Qlag, MillionSampleDelayGrowsTheRingAndStartsSilent)
{
    const long D = 1000000;
    auto x = uniform_noise(D + 64 * 40, 6);
    Lag l;
    l.set_delay((float)D);
    auto y = l.run(x);
    EXPECT_EQ(l.x->sSound.iLength, 64 * (15625 + 500));
    EXPECT_EQ(l.x->sSound.iLength, 1032000);
    // Nothing is lost in the growing block: it is the first one recorded.
    EXPECT_TRUE(delayed_by(x, y, D));
}

TEST_F(Qlag, NegativeDelayIsStoredBackAsZero)
{
    auto x = uniform_noise(64 * 4, 7);
    Lag l;
    l.set_delay(-5);
    auto y = l.run(x);
    EXPECT_EQ(l.x->fDelay, 0.0f);
    EXPECT_TRUE(delayed_by(x, y, 0));
    stub::clear();
    stub::send(l.obj, "bang");
    EXPECT_EQ(stub::console_text(), "Qlag: Delay=0\n");
}

TEST_F(Qlag, OverlongDelayIsLimited)
{
    Lag l;
    l.set_delay(1e12f);
    float z[64] = {};
    l.block(z);
    EXPECT_EQ(l.x->fDelay, (float)QLAG_MAX_DELAY);
    EXPECT_EQ(stub::console().size(), 1u) << stub::console_text();
    EXPECT_TRUE(stub::console().at(0).error);
    EXPECT_GE((long)l.x->sSound.iLength, (long)QLAG_MAX_DELAY + 64);
    l.block(z);
    EXPECT_EQ(stub::console().size(), 1u) << "reported once";
    stub::clear();
    stub::send(l.obj, "bang");
    EXPECT_TRUE(stub::posted("Qlag: Delay=67108864"));
}

TEST_F(Qlag, OtherBlockSizesGiveSilenceAndRecordNothing)
{
    Lag l(false, 32);
    l.set_delay(-3);
    std::fill(l.i.begin(), l.i.end(), 1.0f);
    std::fill(l.o.begin(), l.o.end(), 7.0f);
    stub::run(l.call);
    for (int t = 0; t < 32; t++) ASSERT_EQ(l.o[t], 0.0f);
    for (int t = 32; t < 80; t++) ASSERT_EQ(l.o[t], 7.0f) << "written past the block";
    EXPECT_EQ(l.x->sSound.ring.pC, l.x->sSound.ring.pA);
    EXPECT_EQ(l.x->sSound.ring.pA[64], 0.0f);
    EXPECT_EQ(l.x->fDelay, -3.0f) << "nothing else happens";
}

TEST_F(Qlag, FailedAllocationGivesSilenceUntilANewDelay)
{
    auto x = uniform_noise(64 * 10, 8);
    Lag l;
    stub::send(l.obj, "set_soundbuffer_length_factor", {stub::fa(4)});
    l.set_delay(300);
    qavex_t_fail_after = 0;
    auto y = l.run(x);
    EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float f) { return f == 0.0f; }));
    EXPECT_EQ(l.x->sSound.ring.pA, nullptr);
    EXPECT_EQ(stub::count_lines("Qavex_t: Out of Memory"), 1) << "no retry for the same delay";
    l.set_delay(200);
    y = l.run(x);
    EXPECT_NE(l.x->sSound.ring.pA, nullptr);
    EXPECT_TRUE(delayed_by(x, y, 200)) << "the ring restarts with the first block after the retry";

    // A failed rebuild from the message: the next block tries once more.
    qavex_t_fail_after = 0;
    stub::send(l.obj, "set_soundbuffer_length_factor", {stub::fa(10)});
    EXPECT_EQ(l.x->sSound.ring.pA, nullptr);
    y = l.run(x);
    EXPECT_NE(l.x->sSound.ring.pA, nullptr);
    EXPECT_TRUE(delayed_by(x, y, 200));
}

TEST_F(Qlag, LengthMessageClampsAndClears)
{
    Lag l;
    struct Case {
        double f;
        int len;
    } cases[] = {{0, 192000}, {1, 192000}, {-4, 192000}, {2.7, 128}, {1.5, 64}, {9000, 576000}};
    for (auto c : cases) {
        stub::send(l.obj, "set_soundbuffer_length_factor", {stub::fa(c.f)});
        EXPECT_EQ(l.x->sSound.iLength, c.len) << c.f;
        EXPECT_EQ(l.x->sSound.ring.pE - l.x->sSound.ring.pA, c.len);
        EXPECT_EQ(l.x->sSound.ring.pC, l.x->sSound.ring.pA);
    }
    stub::send(l.obj, "set_soundbuffer_length_factor", {});
    EXPECT_EQ(l.x->sSound.iLength, 192000);
    stub::clear();
    stub::send(l.obj, "set_soundbuffer_length_factor", {stub::fa(1e9)});
    EXPECT_EQ(l.x->sSound.iLength, 64 * QLAG_MAX_FACTOR);
    ASSERT_EQ(stub::console().size(), 1u);
    EXPECT_TRUE(stub::console()[0].error);

    // The rebuilt ring is silent.
    stub::send(l.obj, "set_soundbuffer_length_factor", {stub::fa(4)});
    auto x = uniform_noise(64 * 3, 9);
    l.set_delay(64);
    l.run(x);
    stub::send(l.obj, "set_soundbuffer_length_factor", {stub::fa(4)});
    auto y = l.block(x.data());
    EXPECT_TRUE(std::all_of(y.begin(), y.end(), [](float f) { return f == 0.0f; }));
}
