// Allocator, rounding and bus accessors.
#include <gtest/gtest.h>

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
    EXPECT_EQ(qavex_t_paf_length(a), 4096);
    qavex_t_free(a);
    pac_type *c = qavex_t_new_pac(10, pac_type(3, 4));
    EXPECT_EQ(qavex_t_pac_length(c), 10);
    EXPECT_EQ(qavex_t_pac_side(c), pac_type(3, 4));
    qavex_t_free(c);
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
