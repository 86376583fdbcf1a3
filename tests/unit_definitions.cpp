// Allocator, rounding and bus accessors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "pd_stub.h"
#include "qavex_t_definitions.h"

namespace {
alignas(16) unsigned char g_aligned[4096];
void *fake_aligned(std::size_t) { return g_aligned; }
void *g_freed = nullptr;
void fake_free(void *p) { g_freed = p; }
}  // namespace

TEST(Allocator, AlignedRawBlockGetsShift16)
{
    qavex_t_raw_malloc = fake_aligned;
    qavex_t_raw_free = fake_free;
    unsigned char *u = (unsigned char *)qavex_t_malloc0(100);
    EXPECT_EQ(u, g_aligned + 128);
    EXPECT_EQ((signed char)g_aligned[16], 16);
    qavex_t_free(u);
    EXPECT_EQ(g_freed, (void *)g_aligned);
    for (int i = 0; i < 7; i++) EXPECT_EQ(g_aligned[i], 0xB3);
    qavex_t_raw_malloc = std::malloc;
    qavex_t_raw_free = std::free;
}

TEST(Allocator, FillsEverythingWithA3AndAligns)
{
    for (std::size_t n : {1u, 7u, 100u, 4096u}) {
        unsigned char *u = (unsigned char *)qavex_t_malloc0(n);
        ASSERT_NE(u, nullptr);
        EXPECT_EQ((std::uintptr_t)u % 16, 0u);
        int s = (signed char)u[-112];
        EXPECT_GE(s, 1);
        EXPECT_LE(s, 16);
        for (int i = -111; i < 0; i++) ASSERT_EQ(u[i], 0xA3) << i;
        for (std::size_t i = 0; i < n + 64; i++) ASSERT_EQ(u[i], 0xA3) << i;
        qavex_t_free(u);
    }
    qavex_t_free(nullptr);
}

TEST(Allocator, FailureReportsAndReturnsNull)
{
    stub::clear();
    qavex_t_fail_after = 0;
    EXPECT_EQ(qavex_t_malloc0(10), nullptr);
    EXPECT_TRUE(stub::posted("Error, qavex_t_malloc0, memse"));
    EXPECT_TRUE(stub::errored("Qavex_t: Out of Memory"));
    void *p = qavex_t_malloc0(10);
    EXPECT_NE(p, nullptr);
    qavex_t_free(p);
}

TEST(Rounding, Examples)
{
    EXPECT_EQ(round_up_to_multiple_of_small_primes(2, 2), 2);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(3, 2), 4);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(7, 5), 8);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(11, 7), 12);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(1024, 2), 1024);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(1000, 5), 1000);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(1001, 5), 1024);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(97, 7), 98);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(1025, 2), 2048);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(1, 2), 1);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(8777, 31), 8778);
    // A large prime is settled quickly: 2^30 is the answer for maxprime 2.
    EXPECT_EQ(round_up_to_multiple_of_small_primes(1073741789, 2), 1073741824);
}

TEST(Rounding, MessageRefusesBadArguments)
{
    stub::clear();
    qavex_t_round_message(0, 5);
    qavex_t_round_message(10, 1.5f);
    EXPECT_EQ(stub::console().size(), 2u);
    EXPECT_TRUE(stub::console()[0].error);
    stub::clear();
    qavex_t_round_message(1001.7f, 5.9f);
    EXPECT_TRUE(stub::posted("Nearest Number with small primes: 1024"));
}

TEST(Bus, AccessorsCopyBitsAndAddressesTakeTwoWords)
{
    std::vector<t_sample> v(64, 1.5f);
    static sQbank_Param rec;
    qavex_t_write_param_block(v.data(), &rec);
    EXPECT_EQ(find_int_at_address(v.data()), QAVC_TAG);
    EXPECT_EQ(find_pointer_at_address(v.data() + 12), (void *)&rec);
    EXPECT_EQ(v[1], 1.5f);
    EXPECT_EQ(v[11], 1.5f);
    EXPECT_EQ(v[14], 1.5f);
    sQavex_Coeff *lists[3];
    stub::publish_coeff(v.data(), lists, 3);
    auto in = qavex_t_read_coeff_block(v.data());
    EXPECT_EQ(in.tag, QAVG_TAG);
    EXPECT_EQ(in.lists, lists);
    EXPECT_EQ(in.n, 3);
    EXPECT_EQ(0x51415643, ('Q' << 24) | ('A' << 16) | ('V' << 8) | 'C');
}

TEST(Windows, LengthWordTruncates)
{
    paf_type *a = qavex_t_new_paf(4097);
    a[-5] = 4096.9f;
    EXPECT_EQ(qavex_t_window_length(a), 4096);
    qavex_t_free(a);
    pac_type *c = qavex_t_new_pac(10, pac_type(3, 4));
    EXPECT_EQ(qavex_t_window_length(c), 10);
    EXPECT_EQ(qavex_t_pac_side(c), pac_type(3, 4));
    qavex_t_free(c);
}

TEST(Conversion, TruncatesSaturatesAndMapsNaNPerRule)
{
    const double inf = INFINITY, nan = NAN;
    const sQavex_IntRule plain{}, lowest = QAVEX_NAN_LOWEST, block{.lo = 0, .hi = 63},
                                  count{.lo = 1, .outside_as_nan = true};
    struct Case {
        double v;
        sQavex_IntRule rule;
        std::int32_t want;
    };
    const Case cases[] = {
        {2.9, plain, 2},
        {-2.9, plain, -2},
        {-0.5, plain, 0},
        {nan, plain, 0},
        {inf, plain, INT32_MAX},
        {-inf, plain, INT32_MIN},
        {3e9, plain, INT32_MAX},
        {-3e9, plain, INT32_MIN},
        {2147483646.9, plain, 2147483646},
        {nan, lowest, INT32_MIN},
        {-inf, lowest, INT32_MIN},
        {7.5, lowest, 7},
        {nan, block, 0},
        {-5.5, block, 0},
        {63.9, block, 63},
        {1e9, block, 63},
        {0.9, count, 0},
        {1.0, count, 1},
        {-4, count, 0},
        {nan, count, 0},
        {inf, count, 0},
        {2147483647.9, count, INT32_MAX},
        {2147483648.0, count, 0},
    };
    for (const Case &c : cases) EXPECT_EQ(qavex_t_to_int32(c.v, c.rule), c.want) << c.v;
    // Extended input is not rounded to double first: the next value below 6.
    EXPECT_EQ(qavex_t_to_int32(std::nextafter(6.0L, 0.0L)), 5);
    EXPECT_EQ(qavex_t_to_int32(4096.9f), 4096);
}

TEST(Windows, LengthWordReadsOnlyUsableCounts)
{
    paf_type *f = qavex_t_new_paf(8);
    pac_type *c = qavex_t_new_pac(8);
    const struct {
        double word;
        std::int32_t want;
    } cases[] = {{8, 8}, {7.9, 7}, {1, 1}, {0.5, 0}, {0, 0}, {-3, 0}, {NAN, 0}, {INFINITY, 0}, {4294967296.0, 0}};
    for (const auto &k : cases) {
        f[-5] = (paf_type)k.word;
        c[-5] = pac_type(k.word, 0.0);
        EXPECT_EQ(qavex_t_window_length(f), k.want) << k.word;
        EXPECT_EQ(qavex_t_window_length(c), k.want) << k.word;
    }
    c[-5] = pac_type(2147483647.0, 0.0);
    EXPECT_EQ(qavex_t_window_length(c), INT32_MAX);
    qavex_t_free(f);
    qavex_t_free(c);
}

TEST(Rings, LengthFactorBuildAndWrap)
{
    const sQavex_RingFactor below_one{3000, 100, false}, up_to_one{5000, 100, true};
    const struct {
        float f;
        std::int32_t below, upto;
        bool limited;
    } cases[] = {{NAN, 3000, 5000, false}, {0.5f, 3000, 5000, false}, {1.0f, 1, 5000, false}, {1.5f, 1, 1, false},
                 {7.9f, 7, 7, false},      {100.0f, 100, 100, false}, {1e9f, 100, 100, true}};
    for (const auto &c : cases) {
        bool limited = !c.limited;
        EXPECT_EQ(qavex_t_ring_length(c.f, below_one, &limited), 64 * c.below) << c.f;
        EXPECT_EQ(limited, c.limited) << c.f;
        EXPECT_EQ(qavex_t_ring_length(c.f, up_to_one), 64 * c.upto) << c.f;
    }
    double *a = nullptr, *c = nullptr, *e = nullptr;
    EXPECT_FALSE(qavex_t_ring_build(a, c, e, 0));
    EXPECT_EQ(a, nullptr);
    ASSERT_TRUE(qavex_t_ring_build(a, c, e, 128));
    EXPECT_EQ(c, a);
    EXPECT_EQ(e, a + 128);
    for (int i = 0; i < 128; i++) ASSERT_EQ(a[i], 0.0) << i;
    c = qavex_t_ring_next_block(a, c, e);
    EXPECT_EQ(c, a + 64);
    EXPECT_EQ(qavex_t_ring_next_block(a, c, e), a);
    EXPECT_EQ(qavex_t_ring_wrap(-1, 128), 127);
    EXPECT_EQ(qavex_t_ring_wrap(130, 128), 2);
    EXPECT_EQ(qavex_t_ring_wrap(5, 128), 5);
    qavex_t_ring_release(a, c, e);
    EXPECT_EQ(a, nullptr);
    EXPECT_EQ(e, nullptr);
}

TEST(CompileParam, ReportsWidths)
{
    stub::clear();
    EXPECT_EQ(qavex_test_compileparam(), 0);
    EXPECT_TRUE(stub::posted("sizeof pac_type: \t16"));
    EXPECT_TRUE(stub::posted("sizeof paf_type: \t4"));
}

TEST(Bus, ConstantFillWithTagBitsCarriesNoAddress)
{
    // An unconnected inlet given a float whose bits are a tag fills all 64
    // words with those bits; readers must not take that as an address.
    for (std::int32_t tag : {QAVC_TAG, QAVG_TAG}) {
        std::vector<t_sample> v(64);
        for (auto &s : v) hide_int_at_address(tag, &s);
        auto p = qavex_t_read_param_block(v.data());
        auto c = qavex_t_read_coeff_block(v.data());
        EXPECT_EQ(p.tag, tag);
        EXPECT_EQ(p.p, nullptr);
        EXPECT_EQ(c.lists, nullptr);
    }
    static sQbank_Param here;
    std::vector<t_sample> v(64, 0.0f);
    stub::publish_param(v.data(), &here);
    EXPECT_EQ(qavex_t_read_param_block(v.data()).p, &here);
}
