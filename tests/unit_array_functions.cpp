// Complex window array toolkit: queries, element maps, rebuilding
// transforms, the DFT and the console report.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <fftw3.h>

#include "pd_stub.h"
#include "qavex_t_array_functions.h"

namespace {

typedef std::complex<double> C;
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();
const C SIDE(7.25, -3.5);  // a side word no operation may lose

// A pac array holding v, with a recognisable side word and guards set to
// non-zero values so that rebuilding is visible.
pac_type *make(const std::vector<C> &v, C side = SIDE, C guard = C(9.0, 9.0))
{
    pac_type *a = qavex_t_new_pac((std::int32_t)v.size(), side);
    EXPECT_NE(a, nullptr);
    for (std::size_t i = 0; i < v.size(); i++) a[i] = v[i];
    for (int g = 1; g <= 4; g++) a[-g] = guard;
    for (int g = 0; g < 4; g++) a[v.size() + g] = guard;
    return a;
}

// An array whose length word says 0 (the block itself has room for one).
pac_type *make_empty_count()
{
    pac_type *a = make({C(5.0, 5.0)});
    a[-5] = C(0.0, 0.0);
    return a;
}

std::vector<C> values(const pac_type *a)
{
    std::int32_t n = qavex_t_window_length(a);
    return std::vector<C>(a, a + n);
}

void expect_guards_zero(const pac_type *a)
{
    std::int32_t n = qavex_t_window_length(a);
    for (int g = 1; g <= 4; g++) EXPECT_EQ(a[-g], C(0.0, 0.0)) << "front guard " << -g;
    for (int g = 0; g < 4; g++) EXPECT_EQ(a[n + g], C(0.0, 0.0)) << "back guard " << n + g;
}

void expect_near(const std::vector<C> &got, const std::vector<C> &want, double tol)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); i++) {
        EXPECT_NEAR(got[i].real(), want[i].real(), tol) << "element " << i;
        EXPECT_NEAR(got[i].imag(), want[i].imag(), tol) << "element " << i;
    }
}

std::vector<std::string> posted_lines()
{
    std::vector<std::string> out;
    for (const auto &l : stub::console())
        if (!l.error) out.push_back(l.text);
    return out;
}

std::string ptr_text(const void *p)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

const C a_(1, 1), b_(2, -1), c_(3, 0.5), d_(4, -2);

}  // namespace

// ---------------------------------------------------------------- empty slot

TEST(EmptySlot, FixedResults)
{
    pac_type *none = nullptr;
    stub::clear();
    EXPECT_EQ(qavex_t_get_first_zero_array(&none), -1);
    EXPECT_EQ(qavex_t_get_window_length_array(&none), 0);
    EXPECT_EQ(qavex_t_first_value_array(&none), C(0, 0));
    EXPECT_EQ(qavex_t_last_value_array(&none), C(0, 0));
    EXPECT_EQ(qavex_t_maximum_array(&none), C(0, 0));
    EXPECT_EQ(qavex_t_get_first_small_value_array(&none, 1.0), 0);
    EXPECT_EQ(qavex_t_get_last_small_value_array(&none, 1.0), 0);
    for (C r : {qavex_t_abs_sum_coarse_array(&none), qavex_t_abs_mu_coarse_array(&none),
                qavex_t_abs_sigma_coarse_array(&none)}) {
        EXPECT_TRUE(std::isnan(r.real()));
        EXPECT_EQ(r.imag(), 0.0);
    }
    pac_type *one = make({a_});
    for (C r : {qavex_t_inner_product_array(&none, &one), qavex_t_inner_product_array(&one, &none),
                qavex_t_make_dc_offset_array(&none, 1, C(1, 1))}) {
        EXPECT_TRUE(std::isnan(r.real()));
        EXPECT_TRUE(std::isnan(r.imag()));
    }
    EXPECT_TRUE(std::isnan(qavex_t_length_of_vector_array(&none)));
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();

    // Everything else leaves the slot empty and says nothing.
    qavex_t_fft_array(&none);
    qavex_t_badfilter_array(&none, 0, 3);
    qavex_t_abs_array(&none);
    qavex_t_componentabs_array(&none);
    qavex_t_ln_array(&none);
    qavex_t_mult_array(&none, TIMES_VAL, C(2, 0));
    qavex_t_cut_array(&none, 0, 1, C(0, 0), C(1, 0));
    qavex_t_set_nan_to_zero_array(&none);
    qavex_t_set_inf_to_zero_array(&none);
    qavex_t_normalize_array(&none);
    qavex_t_cycle_array(&none, 1);
    qavex_t_floating_average_array(&none, 3);
    qavex_t_differentiate_array(&none);
    qavex_t_integrate_array(&none);
    qavex_t_imag_plus_real_array(&none);
    qavex_t_prolong_array(&none, 3, PROLONG_END, 0);
    EXPECT_EQ(none, nullptr);
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();
    qavex_t_free(one);
}

TEST(EmptySlot, SimplefftReportsAndKeepsOutputSlot)
{
    pac_type *none = nullptr;
    pac_type *out = make({a_, b_});
    pac_type *keep = out;
    stub::clear();
    qavex_t_simplefft_array(&none, &out, FFTW_FORWARD);
    EXPECT_TRUE(stub::errored("qavex_t_simpleftt_array: call with NULL-Pointer"));
    EXPECT_EQ(out, keep);
    EXPECT_EQ(values(out), (std::vector<C>{a_, b_}));
    qavex_t_free(out);
}

TEST(EmptySlot, ZeroCountArray)
{
    pac_type *z = make_empty_count();
    pac_type *keep = z;
    stub::clear();
    EXPECT_EQ(qavex_t_get_first_zero_array(&z), -1);
    EXPECT_EQ(qavex_t_get_window_length_array(&z), 0);
    EXPECT_EQ(qavex_t_get_first_small_value_array(&z, 1.0), 0);
    EXPECT_EQ(qavex_t_get_last_small_value_array(&z, 1.0), -1);
    EXPECT_EQ(qavex_t_last_value_array(&z), C(0, 0));
    C m = qavex_t_make_dc_offset_array(&z, 1, C(1, 1));
    EXPECT_TRUE(std::isnan(m.real()) && std::isnan(m.imag()));
    EXPECT_EQ(qavex_t_abs_mu_coarse_array(&z).real(), INF);
    EXPECT_EQ(qavex_t_abs_sigma_coarse_array(&z).real(), INF);
    // No rebuilding transform may turn it into a block of size 0.
    qavex_t_cycle_array(&z, 1);
    qavex_t_floating_average_array(&z, 3);
    qavex_t_differentiate_array(&z);
    qavex_t_prolong_array(&z, 2, PROLONG_END, 0);
    qavex_t_fft_array(&z);
    qavex_t_simplefft_array(&z, &z, FFTW_BACKWARD);
    qavex_t_integrate_array(&z);
    qavex_t_badfilter_array(&z, 0, 4);
    EXPECT_EQ(z, keep);
    EXPECT_EQ(z[0], C(5.0, 5.0));
    qavex_t_array_synopsis_array(&z);
    EXPECT_TRUE(stub::posted("Laenge: 0"));
    qavex_t_free(z);
}

// ---------------------------------------------------------------- rebuilding

TEST(Cycle, ShiftsAndWraps)
{
    pac_type *a = make({a_, b_, c_, d_});
    qavex_t_cycle_array(&a, 1);
    EXPECT_EQ(values(a), (std::vector<C>{d_, a_, b_, c_}));
    qavex_t_free(a);

    a = make({a_, b_, c_, d_});
    qavex_t_cycle_array(&a, -1);
    EXPECT_EQ(values(a), (std::vector<C>{b_, c_, d_, a_}));
    qavex_t_free(a);

    a = make({a_, b_, c_, d_});
    qavex_t_cycle_array(&a, 9);  // 9 mod 4 = 1
    EXPECT_EQ(values(a), (std::vector<C>{d_, a_, b_, c_}));
    qavex_t_free(a);
}

TEST(Cycle, MultiplesOfLengthDoNotRebuild)
{
    for (std::int32_t k : {0, 4, -4, 8, -400}) {
        pac_type *a = make({a_, b_, c_, d_});
        pac_type *keep = a;
        qavex_t_cycle_array(&a, k);
        EXPECT_EQ(a, keep) << k;
        EXPECT_EQ(a[-1], C(9, 9)) << "guards untouched, " << k;
        EXPECT_EQ(values(a), (std::vector<C>{a_, b_, c_, d_}));
        qavex_t_free(a);
    }
}

TEST(Cycle, ExtremeShiftsStayInRange)
{
    pac_type *a = make({a_, b_, c_});
    qavex_t_cycle_array(&a, std::numeric_limits<std::int32_t>::min());  // -2^31 mod 3 = 1
    EXPECT_EQ(values(a), (std::vector<C>{c_, a_, b_}));
    qavex_t_cycle_array(&a, std::numeric_limits<std::int32_t>::max());  // 2^31-1 mod 3 = 1
    EXPECT_EQ(values(a), (std::vector<C>{b_, c_, a_}));
    qavex_t_free(a);
}

TEST(Cycle, ThereAndBackIsIdentityForRandomArrays)
{
    std::mt19937 rng(12345);
    std::uniform_real_distribution<double> val(-10.0, 10.0);
    for (int trial = 0; trial < 200; trial++) {
        std::int32_t n = 1 + (std::int32_t)(rng() % 67);
        std::vector<C> v(n);
        for (auto &x : v) x = C(val(rng), val(rng));
        std::int32_t k = (std::int32_t)(rng() % 1000) - 500;
        pac_type *a = make(v);
        qavex_t_cycle_array(&a, k);
        // The shifted array holds old[(i - k) mod N] at i.
        std::int32_t i0 = (std::int32_t)((((std::int64_t)k % n) + n) % n);
        EXPECT_EQ(a[i0], v[0]) << "n=" << n << " k=" << k;
        qavex_t_cycle_array(&a, -k);
        ASSERT_EQ(values(a), v) << "n=" << n << " k=" << k;
        qavex_t_free(a);
    }
}

TEST(FloatingAverage, LengthIsMadeOddAndLimited)
{
    std::vector<C> v;
    for (int i = 0; i < 8; i++) v.push_back(C(i * i, -i));
    // Length 4 averages over 3: previous, own and next element.
    pac_type *a = make(v);
    qavex_t_floating_average_array(&a, 4);
    std::vector<C> want(8);
    for (int i = 0; i < 8; i++) want[i] = (v[(i + 7) % 8] + v[i] + v[(i + 1) % 8]) / 3.0;
    expect_near(values(a), want, 1e-12);
    qavex_t_free(a);

    // The lowest integer (what a length of 2^31 truncates to) too.
    for (std::int32_t len : {2, 1, 0, -5, INT32_MIN}) {
        a = make(v);
        pac_type *keep = a;
        qavex_t_floating_average_array(&a, len);
        EXPECT_EQ(a, keep) << len;
        EXPECT_EQ(values(a), v) << len;
        qavex_t_free(a);
    }

    // Longer than the array: 7 of the 8 elements (limited to 8, made odd).
    a = make(v);
    qavex_t_floating_average_array(&a, 1000);
    for (int i = 0; i < 8; i++) {
        C s(0, 0);
        for (int j = -3; j <= 3; j++) s += v[(i + j + 8) % 8];
        EXPECT_NEAR(a[i].real(), s.real() / 7, 1e-12);
        EXPECT_NEAR(a[i].imag(), s.imag() / 7, 1e-12);
    }
    qavex_t_free(a);
}

TEST(FloatingAverage, ConstantArrayUnchanged)
{
    std::vector<C> v(11, C(0.75, -2.5));
    pac_type *a = make(v);
    qavex_t_floating_average_array(&a, 5);
    EXPECT_EQ(values(a), v);
    qavex_t_free(a);
}

TEST(Prolong, InsertsZerosWhereAsked)
{
    const C x0(1, 0), x1(2, 0), x2(3, 1), x3(4, 0), x4(5, -1), z(0, 0);
    pac_type *a = make({x0, x1, x2, x3, x4});
    qavex_t_prolong_array(&a, 2, PROLONG_MIDDLE, 0);
    EXPECT_EQ(values(a), (std::vector<C>{x0, x1, z, z, x2, x3, x4}));
    EXPECT_EQ(a[-5], C(7, 0));
    qavex_t_free(a);

    a = make({x0, x1});
    qavex_t_prolong_array(&a, 1, PROLONG_START, 0);
    EXPECT_EQ(values(a), (std::vector<C>{z, x0, x1}));
    qavex_t_prolong_array(&a, 2, PROLONG_END, 0);
    EXPECT_EQ(values(a), (std::vector<C>{z, x0, x1, z, z}));
    qavex_t_free(a);

    a = make({x0});
    qavex_t_prolong_array(&a, 1, PROLONG_MIDDLE, 0);  // floor(1/2) = 0 in front
    EXPECT_EQ(values(a), (std::vector<C>{z, x0}));
    qavex_t_free(a);
}

TEST(Prolong, WrongPlaceOrCountChangesNothing)
{
    pac_type *a = make({a_, b_, c_, d_, a_});
    pac_type *keep = a;
    stub::clear();
    qavex_t_prolong_array(&a, 2, 3, 0);
    EXPECT_TRUE(
        stub::posted("qavex_t_prolong_array: Falscher Aufruf: fWhere=0: am Anfang, 1: in der Mitte, 2: am Ende"));
    EXPECT_EQ(a, keep);
    EXPECT_EQ(qavex_t_window_length(a), 5);
    stub::clear();
    qavex_t_prolong_array(&a, 0, PROLONG_END, 0);
    qavex_t_prolong_array(&a, -3, PROLONG_END, 0);
    EXPECT_EQ(a, keep);
    EXPECT_TRUE(stub::console().empty());
    qavex_t_free(a);
}

TEST(Prolong, OversizedResultIsRefused)
{
    pac_type *a = make({a_, b_});
    pac_type *keep = a;
    stub::clear();
    qavex_t_prolong_array(&a, (1 << 24) - 1, PROLONG_END, 0);
    EXPECT_EQ(a, keep);
    EXPECT_TRUE(stub::errored("qavex_t_prolong_array: 2 + 16777215 elements are too many (at most 16777216)"));
    qavex_t_prolong_array(&a, std::numeric_limits<std::int32_t>::max(), PROLONG_START, 0);
    EXPECT_EQ(a, keep);
    EXPECT_EQ(values(a), (std::vector<C>{a_, b_}));
    // Exactly at the limit it is built.
    qavex_t_prolong_array(&a, (1 << 24) - 2, PROLONG_END, 0);
    ASSERT_NE(a, keep);
    EXPECT_EQ(qavex_t_window_length(a), 1 << 24);
    EXPECT_EQ(a[1], b_);
    EXPECT_EQ(a[(1 << 24) - 1], C(0, 0));
    qavex_t_free(a);
}

TEST(Prolong, RandomCountLiesBetweenOneAndN)
{
    std::srand(77);
    bool saw_less = false;
    for (int t = 0; t < 50; t++) {
        pac_type *a = make({a_, b_});
        qavex_t_prolong_array(&a, 5, PROLONG_END, 1);
        std::int32_t added = qavex_t_window_length(a) - 2;
        EXPECT_GE(added, 1);
        EXPECT_LE(added, 5);
        if (added < 5) saw_less = true;
        qavex_t_free(a);
    }
    EXPECT_TRUE(saw_less);
    // Any flag other than exactly 1 inserts the full count.
    pac_type *a = make({a_, b_});
    qavex_t_prolong_array(&a, 5, PROLONG_END, 2);
    EXPECT_EQ(qavex_t_window_length(a), 7);
    qavex_t_free(a);
}

TEST(Differentiate, CircularBackwardDifference)
{
    pac_type *a = make(std::vector<C>(6, C(2.5, -1)));
    qavex_t_differentiate_array(&a);
    EXPECT_EQ(values(a), std::vector<C>(6, C(0, 0)));
    qavex_t_free(a);

    a = make({C(1, 0), C(2, 1), C(4, 3)});
    qavex_t_differentiate_array(&a);
    EXPECT_EQ(values(a), (std::vector<C>{C(-3, -3), C(1, 1), C(2, 2)}));
    qavex_t_free(a);
}

TEST(Rebuild, GuardsZeroedSideWordAndLengthKept)
{
    const std::vector<C> v{a_, b_, c_, d_, a_, b_};
    struct Case {
        const char *name;
        void (*f)(pac_type **);
        std::int32_t n_after;
    };
    const Case cases[] = {
        {"cycle", [](pac_type **p) { qavex_t_cycle_array(p, 2); }, 6},
        {"floating_average", [](pac_type **p) { qavex_t_floating_average_array(p, 3); }, 6},
        {"differentiate", [](pac_type **p) { qavex_t_differentiate_array(p); }, 6},
        {"prolong", [](pac_type **p) { qavex_t_prolong_array(p, 3, PROLONG_MIDDLE, 0); }, 9},
        {"fft", [](pac_type **p) { qavex_t_fft_array(p); }, 6},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pac_type *a = make(v);
        pac_type *old = a;
        c.f(&a);
        EXPECT_NE(a, old);
        EXPECT_EQ(a[-5], C(c.n_after, 0.0));
        EXPECT_EQ(a[-6], SIDE);
        expect_guards_zero(a);
        qavex_t_free(a);
    }
}

TEST(Rebuild, AllocationFailureLeavesSlotAndArray)
{
    const std::vector<C> v{a_, b_, c_, d_};
    struct Case {
        const char *name;
        void (*f)(pac_type **);
        int fail_after;       // which allocation of the call fails
        const char *message;  // own error besides the allocator's, or null
    };
    const Case cases[] = {
        {"cycle", [](pac_type **p) { qavex_t_cycle_array(p, 1); }, 0, "qavex_t_cycle_array: Out of Memory"},
        {"floating_average", [](pac_type **p) { qavex_t_floating_average_array(p, 3); }, 0,
         "qavex_t_floating_average_array: Out of Memory"},
        {"differentiate", [](pac_type **p) { qavex_t_differentiate_array(p); }, 0,
         "qavex_t_differntiate_array: Out of Memory"},
        {"prolong", [](pac_type **p) { qavex_t_prolong_array(p, 2, PROLONG_START, 0); }, 0, nullptr},
        {"fft work block", [](pac_type **p) { qavex_t_fft_array(p); }, 0, nullptr},
        {"fft output block", [](pac_type **p) { qavex_t_fft_array(p); }, 1, nullptr},
        {"simplefft", [](pac_type **p) { qavex_t_simplefft_array(p, p, FFTW_BACKWARD); }, 1, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pac_type *a = make(v);
        pac_type *old = a;
        stub::clear();
        qavex_t_fail_after = c.fail_after;
        c.f(&a);
        qavex_t_fail_after = -1;
        EXPECT_EQ(a, old);
        EXPECT_EQ(values(a), v);
        EXPECT_EQ(a[-5], C(4, 0));
        EXPECT_EQ(a[-6], SIDE);
        EXPECT_EQ(a[-1], C(9, 9)) << "guards of the kept array untouched";
        EXPECT_TRUE(stub::errored("Qavex_t: Out of Memory"));
        if (c.message) {
            EXPECT_TRUE(stub::errored(c.message));
        }
        EXPECT_EQ(stub::count_errors(), c.message ? 2 : 1) << stub::console_text();
        qavex_t_free(a);
    }
}

// ---------------------------------------------------------------- DFT

TEST(Dft, ForwardThenBackwardGivesNTimesInput)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    for (std::int32_t n : {1, 2, 7, 64, 100}) {
        std::vector<C> v(n);
        for (auto &x : v) x = C(val(rng), val(rng));
        pac_type *a = make(v);
        qavex_t_fft_array(&a);
        qavex_t_simplefft_array(&a, &a, FFTW_BACKWARD);
        std::vector<C> want(n);
        for (int i = 0; i < n; i++) want[i] = v[i] * (double)n;
        expect_near(values(a), want, 1e-12 * n);
        EXPECT_EQ(a[-6], SIDE);
        EXPECT_EQ(a[-5], C(n, 0));
        qavex_t_free(a);
    }
}

TEST(Dft, MatchesDirectSum)
{
    const std::int32_t n = 12;
    std::vector<C> v(n);
    for (int i = 0; i < n; i++) v[i] = C(std::sin(0.7 * i) + 0.1 * i, std::cos(1.3 * i * i));
    for (int sign : {FFTW_FORWARD, FFTW_BACKWARD}) {
        SCOPED_TRACE(sign);
        std::vector<std::complex<long double>> want(n);
        for (int k = 0; k < n; k++)
            for (int j = 0; j < n; j++)
                want[k] += std::complex<long double>(v[j].real(), v[j].imag()) *
                           std::polar(1.0L, sign * 2.0L * QAVEX_PI * j * k / n);
        pac_type *in = make(v);
        pac_type *out = nullptr;
        qavex_t_simplefft_array(&in, &out, sign);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(values(in), v) << "input untouched when the output slot is another";
        for (int k = 0; k < n; k++) {
            EXPECT_NEAR(out[k].real(), (double)want[k].real(), 1e-12) << k;
            EXPECT_NEAR(out[k].imag(), (double)want[k].imag(), 1e-12) << k;
        }
        EXPECT_EQ(out[-6], SIDE);
        EXPECT_EQ(out[-5], C(n, 0));
        // A second transform into the same output slot replaces its block.
        pac_type *first = out;
        qavex_t_simplefft_array(&in, &out, sign);
        EXPECT_NE(out, first);
        qavex_t_free(in);
        qavex_t_free(out);
    }
    // A known signal: a unit impulse at 1 transforms to e^{-2 pi i k / n}.
    pac_type *imp = make({C(0, 0), C(1, 0), C(0, 0), C(0, 0)});
    qavex_t_fft_array(&imp);
    expect_near(values(imp), {C(1, 0), C(0, -1), C(-1, 0), C(0, 1)}, 1e-15);
    qavex_t_free(imp);
}

TEST(Dft, BadSignIsRefused)
{
    pac_type *a = make({a_, b_});
    pac_type *keep = a;
    stub::clear();
    qavex_t_simplefft_array(&a, &a, 0);
    EXPECT_EQ(a, keep);
    EXPECT_EQ(values(a), (std::vector<C>{a_, b_}));
    EXPECT_EQ(stub::console().size(), 1u);
    EXPECT_TRUE(stub::console()[0].error);
    qavex_t_free(a);
}

// ---------------------------------------------------------------- queries

TEST(Queries, FirstZero)
{
    pac_type *a = make({C(1, 0), C(0.5, 0), C(-0.1, 0), C(2, 0)});
    EXPECT_EQ(qavex_t_get_first_zero_array(&a), 2);
    qavex_t_free(a);
    a = make({C(-1, 0), C(2, 0)});
    EXPECT_EQ(qavex_t_get_first_zero_array(&a), -1);
    qavex_t_free(a);
    a = make({C(1, 0), C(2, 0), C(3, 0)});
    EXPECT_EQ(qavex_t_get_first_zero_array(&a), 2);
    qavex_t_free(a);
    a = make({C(NaN, 0), C(0, -5), C(-0.0, 0), C(-3, 0)});  // NaN, -0 are not negative
    EXPECT_EQ(qavex_t_get_first_zero_array(&a), 3);
    qavex_t_free(a);
}

TEST(Queries, LengthFirstLastMaximum)
{
    pac_type *a = make({C(1, 2), C(-3, 4), C(0, NaN), C(0.5, -0.5)});
    EXPECT_EQ(qavex_t_get_window_length_array(&a), 4);
    EXPECT_EQ(qavex_t_first_value_array(&a), C(1, 2));
    EXPECT_EQ(qavex_t_last_value_array(&a), C(0.5, -0.5));  // element N-1, whatever the side word
    EXPECT_EQ(qavex_t_maximum_array(&a), C(5, 0));          // the NaN magnitude never wins
    qavex_t_free(a);
    a = make({C(NaN, 0)});
    EXPECT_EQ(qavex_t_maximum_array(&a), C(0, 0));
    qavex_t_free(a);
}

TEST(Queries, SmallValueSearches)
{
    pac_type *a = make({C(0.1, 0), C(0, 0.2), C(3, 4), C(0.5, 0), C(0.3, 0)});
    EXPECT_EQ(qavex_t_get_first_small_value_array(&a, 1.0), 2);
    EXPECT_EQ(qavex_t_get_last_small_value_array(&a, 1.0), 2);
    EXPECT_EQ(qavex_t_get_first_small_value_array(&a, 0.5), 2);
    EXPECT_EQ(qavex_t_get_last_small_value_array(&a, 0.5), 3);  // not smaller than 0.5
    EXPECT_EQ(qavex_t_get_first_small_value_array(&a, 10.0), 5);
    EXPECT_EQ(qavex_t_get_last_small_value_array(&a, 10.0), -1);
    qavex_t_free(a);
    a = make({C(0, 0), C(NaN, 0), C(0, 0)});  // NaN stops both searches
    EXPECT_EQ(qavex_t_get_first_small_value_array(&a, 1.0), 1);
    EXPECT_EQ(qavex_t_get_last_small_value_array(&a, 1.0), 1);
    qavex_t_free(a);
}

TEST(Queries, MagnitudeMoments)
{
    pac_type *a = make({C(0, 0), C(0, 0), C(0, -2), C(0, 0), C(0, 0)});
    EXPECT_EQ(qavex_t_abs_sum_coarse_array(&a), C(2, 0));
    EXPECT_EQ(qavex_t_abs_mu_coarse_array(&a), C(2, 0));
    EXPECT_EQ(qavex_t_abs_sigma_coarse_array(&a), C(0, 0));
    qavex_t_free(a);

    a = make({C(0, 0), C(3, 4), C(0, 0), C(-5, 0)});  // magnitude 5 at 1 and 3
    EXPECT_EQ(qavex_t_abs_sum_coarse_array(&a), C(10, 0));
    EXPECT_DOUBLE_EQ(qavex_t_abs_mu_coarse_array(&a).real(), 2.0);
    EXPECT_DOUBLE_EQ(qavex_t_abs_sigma_coarse_array(&a).real(), 1.0);
    qavex_t_free(a);

    a = make({C(0, 0), C(0, 0)});
    EXPECT_EQ(qavex_t_abs_sum_coarse_array(&a), C(0, 0));
    EXPECT_EQ(qavex_t_abs_mu_coarse_array(&a), C(INF, 0));
    EXPECT_EQ(qavex_t_abs_sigma_coarse_array(&a), C(INF, 0));
    qavex_t_free(a);
}

TEST(Queries, InnerProductAndLength)
{
    pac_type *a = make({C(1, 2), C(3, -1)});
    pac_type *b = make({C(0, 1), C(2, 2)});
    // (1+2i)(-i) + (3-i)(2-2i) = (2 - i) + (4 - 8i)
    EXPECT_EQ(qavex_t_inner_product_array(&a, &b), C(6, -9));
    pac_type *c3 = make({C(1, 0), C(1, 0), C(1, 0)});
    C r = qavex_t_inner_product_array(&a, &c3);
    EXPECT_TRUE(std::isnan(r.real()) && std::isnan(r.imag()));

    stub::clear();
    pac_type *v = make({C(3, 0), C(0, 4), C(0, 0)});
    EXPECT_EQ(qavex_t_length_of_vector_array(&v), 5.0);
    EXPECT_DOUBLE_EQ(qavex_t_length_of_vector_array(&a), std::sqrt(15.0));
    EXPECT_TRUE(stub::console().empty());
    // A NaN element makes the root's imaginary part NaN: reported.
    pac_type *bad = make({C(NaN, 0)});
    EXPECT_TRUE(std::isnan(qavex_t_length_of_vector_array(&bad)));
    EXPECT_TRUE(stub::posted("length_of_vector: Fehler in Berechnung."));
    for (pac_type *p : {a, b, c3, v, bad}) qavex_t_free(p);
}

TEST(Queries, DcOffset)
{
    pac_type *a = make({C(1, 1), C(2, -1), C(6, 3)});
    EXPECT_EQ(qavex_t_make_dc_offset_array(&a, 0, C(100, 100)), C(3, 1));
    EXPECT_EQ(values(a), (std::vector<C>{C(1, 1), C(2, -1), C(6, 3)}));
    EXPECT_EQ(qavex_t_make_dc_offset_array(&a, -1, C(0.5, 0)), C(3, 1));
    EXPECT_EQ(values(a), (std::vector<C>{C(-1.5, 0), C(-0.5, -2), C(3.5, 2)}));
    EXPECT_EQ(qavex_t_make_dc_offset_array(&a, 0, C(0, 0)), C(0.5, 0));
    qavex_t_free(a);
}

// ---------------------------------------------------------------- element maps

TEST(Maps, AbsComponentabsImagPlusReal)
{
    pac_type *a = make({C(3, -4), C(-1, 2)});
    qavex_t_componentabs_array(&a);
    EXPECT_EQ(values(a), (std::vector<C>{C(3, 4), C(1, 2)}));
    qavex_t_abs_array(&a);
    EXPECT_EQ(a[0], C(5, 0));
    EXPECT_DOUBLE_EQ(a[1].real(), std::sqrt(5.0));
    EXPECT_EQ(a[1].imag(), 0.0);
    qavex_t_free(a);

    a = make({C(2, 3), C(-1, 0.5)});
    qavex_t_imag_plus_real_array(&a);
    EXPECT_EQ(values(a), (std::vector<C>{C(5, 1), C(-0.5, 1.5)}));  // x(1 - i)
    qavex_t_free(a);
}

TEST(Maps, Logarithm)
{
    pac_type *a = make({C(-1, 0), C(0, 0), C(std::exp(2.0), 0), C(0, 1)});
    qavex_t_ln_array(&a);
    EXPECT_DOUBLE_EQ(a[0].real(), 0.0);
    EXPECT_DOUBLE_EQ(a[0].imag(), (double)QAVEX_PI);
    EXPECT_EQ(a[1].real(), -INF);
    EXPECT_DOUBLE_EQ(a[2].real(), 2.0);
    EXPECT_DOUBLE_EQ(a[3].imag(), (double)(QAVEX_PI / 2));
    qavex_t_free(a);
}

TEST(Maps, MultKinds)
{
    const std::vector<C> v{C(1, 2), C(0, 0), C(-3, 4)};
    pac_type *a = make(v);
    qavex_t_mult_array(&a, TIMES_VAL, C(0, 1));
    EXPECT_EQ(values(a), (std::vector<C>{C(-2, 1), C(0, 0), C(-4, -3)}));
    qavex_t_free(a);

    a = make(v);
    qavex_t_mult_array(&a, TIMES_CONJ, C(100, 100));
    EXPECT_EQ(values(a), (std::vector<C>{C(5, 0), C(0, 0), C(25, 0)}));
    qavex_t_free(a);

    a = make(v);
    qavex_t_mult_array(&a, TIMES_N, C(0, 0));
    EXPECT_EQ(values(a), (std::vector<C>{C(3, 6), C(0, 0), C(-9, 12)}));
    qavex_t_mult_array(&a, DIV_N, C(0, 0));
    EXPECT_EQ(values(a), v);
    qavex_t_mult_array(&a, CONJUGATE, C(0, 0));
    EXPECT_EQ(values(a), (std::vector<C>{C(1, -2), C(0, -0.0), C(-3, -4)}));
    qavex_t_free(a);

    a = make({C(0, 2), C(4, 0), C(0, 0)});
    qavex_t_mult_array(&a, RECIPROCAL, C(0, 0));
    EXPECT_EQ(a[0], C(0, -0.5));
    EXPECT_EQ(a[1], C(0.25, 0));
    EXPECT_TRUE(std::isinf(a[2].real()) || std::isnan(a[2].real()));
    qavex_t_free(a);

    a = make(v);
    qavex_t_mult_array(&a, NORMALIZE, C(0, 0));
    EXPECT_NEAR(std::abs(a[0]), 1.0, 1e-15);
    EXPECT_NEAR(std::arg(a[0]), std::arg(v[0]), 1e-15);
    EXPECT_EQ(a[1], C(1, 0));
    EXPECT_EQ(a[2], C(-0.6, 0.8));
    qavex_t_free(a);

    for (std::int32_t kind : {12, 7, -1}) {
        a = make(v);
        qavex_t_mult_array(&a, (_eMultType)kind, C(2, 2));
        EXPECT_EQ(values(a), v) << kind;
        qavex_t_free(a);
    }
}

TEST(Maps, CutKeepsPhase)
{
    pac_type *a = make({C(0, 0), C(0.3, 0.4), C(0, -0.1), C(6, 8), C(1, 0), C(NaN, 0)});
    qavex_t_cut_array(&a, 0.1, 5.0, C(0.1, 0), C(5, 0));
    EXPECT_TRUE(std::isnan(a[0].real()) && std::isnan(a[0].imag()));  // zero has no phase
    EXPECT_EQ(a[1], C(0.3, 0.4));                                     // between: untouched
    EXPECT_NEAR(a[2].real(), 0.0, 1e-17);
    EXPECT_NEAR(a[2].imag(), -0.1, 1e-17);
    EXPECT_EQ(a[3], C(3, 4));
    EXPECT_EQ(a[4], C(1, 0));
    EXPECT_TRUE(std::isnan(a[5].real()));
    qavex_t_free(a);

    // Both limits include the magnitude itself.
    a = make({C(3, 4), C(0, 0.5)});
    qavex_t_cut_array(&a, 0.5, 5.0, C(0, 2), C(2, 0));
    EXPECT_NEAR(a[0].real(), 1.2, 1e-15);
    EXPECT_NEAR(a[0].imag(), 1.6, 1e-15);
    EXPECT_NEAR(a[1].real(), -2.0, 1e-15);  // i times 2i
    EXPECT_NEAR(a[1].imag(), 0.0, 1e-15);
    qavex_t_free(a);

    // Low limit 0: only exact zeros match, and they become NaN.
    a = make({C(0, 0), C(1e-300, 0)});
    qavex_t_cut_array(&a, 0.0, 10.0, C(0, 0), C(10, 0));
    EXPECT_TRUE(std::isnan(a[0].real()) && std::isnan(a[0].imag()));
    EXPECT_EQ(a[1], C(1e-300, 0));
    qavex_t_free(a);

    // The second rule sees the result of the first.
    a = make({C(0, 0.5)});
    qavex_t_cut_array(&a, 1.0, 2.0, C(3, 0), C(2, 0));
    EXPECT_NEAR(a[0].real(), 0.0, 1e-15);
    EXPECT_NEAR(a[0].imag(), 2.0, 1e-15);
    qavex_t_free(a);
}

TEST(Maps, NanAndInfCounting)
{
    pac_type *a = make({C(NaN, 1), C(1, NaN), C(NaN, NaN), C(2, 0), C(NaN, 0), C(INF, 0)});
    stub::clear();
    qavex_t_set_nan_to_zero_array(&a);
    EXPECT_TRUE(stub::posted("Anzahl Nans: 3"));
    EXPECT_EQ(a[0], C(0, 0));
    EXPECT_EQ(a[1].real(), 1.0);
    EXPECT_TRUE(std::isnan(a[1].imag())) << "an only imaginary NaN stays";
    EXPECT_EQ(a[2], C(0, 0));
    EXPECT_EQ(a[4], C(0, 0));
    stub::clear();
    qavex_t_set_nan_to_zero_array(&a);
    EXPECT_TRUE(stub::console().empty()) << "nothing changed, nothing posted";

    a[0] = C(-INF, 3);
    a[3] = C(4, INF);
    qavex_t_set_inf_to_zero_array(&a);
    EXPECT_TRUE(stub::posted("*" + ptr_text(a) + ", Anzahl Infs: 2"));
    EXPECT_EQ(a[0], C(0, 0));
    EXPECT_EQ(a[5], C(0, 0));
    EXPECT_TRUE(std::isinf(a[3].imag()));
    qavex_t_free(a);
}

TEST(Maps, NormalizeByLargestMagnitude)
{
    pac_type *a = make({C(1, 1), C(0, -4), C(3, 4)});
    qavex_t_normalize_array(&a);
    EXPECT_EQ(values(a), (std::vector<C>{C(0.2, 0.2), C(0, -0.8), C(0.6, 0.8)}));
    qavex_t_free(a);
    const std::vector<C> zeros(3, C(0, 0));
    a = make(zeros);
    qavex_t_normalize_array(&a);
    EXPECT_EQ(values(a), zeros);
    EXPECT_FALSE(std::isnan(a[0].real()));
    qavex_t_free(a);
}

TEST(Maps, IntegrateIsMeanFree)
{
    pac_type *a = make(std::vector<C>(4, C(1, 0)));
    pac_type *keep = a;
    qavex_t_integrate_array(&a);
    EXPECT_EQ(a, keep) << "in place";
    EXPECT_EQ(values(a), (std::vector<C>{C(-1.5, 0), C(-0.5, 0), C(0.5, 0), C(1.5, 0)}));
    qavex_t_free(a);
    a = make({C(2, 1), C(0, 1), C(-2, 1)});  // running sum (2,1) (2,2) (0,3), mean (4/3, 2)
    qavex_t_integrate_array(&a);
    expect_near(values(a), {C(2 - 4.0 / 3, -1), C(2 - 4.0 / 3, 0), C(-4.0 / 3, 1)}, 1e-15);
    qavex_t_free(a);
}

TEST(Maps, BadfilterFades)
{
    const std::vector<C> ones(8, C(2, -2));
    auto w = [](int i, int b0, int b1) { return 0.5 - 0.5 * std::cos(M_PI * (i - b0) / (double)(b1 - b0)); };

    pac_type *a = make(ones);
    qavex_t_badfilter_array(&a, 2, 6);
    for (int i = 0; i < 8; i++) {
        double f = (i >= 2 && i < 6) ? w(i, 2, 6) : 1.0;
        EXPECT_NEAR(a[i].real(), 2 * f, 1e-15) << i;
        EXPECT_NEAR(a[i].imag(), -2 * f, 1e-15) << i;
    }
    EXPECT_EQ(a[2], C(0, 0));
    qavex_t_free(a);

    a = make(ones);
    qavex_t_badfilter_array(&a, 6, 2);  // fade-out: 1 at 2, towards 0 before 6
    EXPECT_EQ(a[2], C(2, -2));
    for (int i = 2; i < 6; i++) EXPECT_NEAR(a[i].real(), 2 * w(i, 6, 2), 1e-15) << i;
    EXPECT_LT(a[5].real(), 0.5);
    EXPECT_EQ(a[6], C(2, -2));
    qavex_t_free(a);

    a = make(ones);
    qavex_t_badfilter_array(&a, -10, 100);  // limited to 0..7
    for (int i = 0; i < 7; i++) EXPECT_NEAR(a[i].real(), 2 * w(i, 0, 7), 1e-15) << i;
    EXPECT_EQ(a[7], C(2, -2));
    qavex_t_badfilter_array(&a, 3, 3);
    qavex_t_badfilter_array(&a, 50, 9);  // both become 7
    EXPECT_EQ(a[7], C(2, -2));
    qavex_t_free(a);
}

// ---------------------------------------------------------------- report

TEST(Synopsis, EmptySlot)
{
    pac_type *none = nullptr;
    stub::clear();
    qavex_t_array_synopsis_array(&none);
    EXPECT_EQ(posted_lines(),
              (std::vector<std::string>{"qavex_t_array_synopsis:", "Leeres Array", std::string(47, '-')}));
}

TEST(Synopsis, SmallComplexArray)
{
    pac_type *a = make({C(1, 2), C(-3, 0.5), C(2, -1)}, SIDE, C(0, 0));
    stub::clear();
    qavex_t_array_synopsis_array(&a);
    // Steps: (-4,-1.5), (5,-1.5), then guard minus last (-2,1): the second wins.
    EXPECT_EQ(posted_lines(),
              (std::vector<std::string>{"qavex_t_array_synopsis:", "Laenge: 3", "Adresse: " + ptr_text(a),
                                        "Real Min: -3.000000, Max: 2.000000", "Imag Min: -1.000000, Max: 2.000000",
                                        "Max diff: 5.000000 + I* -1.500000", std::string(47, '-')}));
    qavex_t_free(a);
}

TEST(Synopsis, RealArrayCountsAndGuards)
{
    // Imaginary parts never above 0: the short "Max diff" line. The last step
    // reaches into the trailing guard (7,0): 7 - (-1) = 8.
    // NaN neighbours keep the infinite element out of every step.
    pac_type *a = make({C(0.5, -1), C(NaN, NaN), C(INF, -INF), C(NaN, NaN), C(-1, 0)}, SIDE, C(0, 0));
    a[-3] = C(0, NaN);
    a[5] = C(7, 0);
    a[8] = C(0, -2);
    stub::clear();
    qavex_t_array_synopsis_array(&a);
    EXPECT_EQ(posted_lines(),
              (std::vector<std::string>{"qavex_t_array_synopsis:", "Laenge: 5", "Adresse: " + ptr_text(a),
                                        "Real Min: -1.000000, Max: inf", "Imag Min: -inf, Max: 0.000000",
                                        "Max diff: 8.000000 ", "Anzahl Nan: 4", "Anzahl Inf: 2",
                                        "Anfangs und Endnullen falsch:",
                                        "(0.000000,0.000000)(0.000000,0.000000)(0.000000,nan)(0.000000,0.000000)[daten]"
                                        "(7.000000,0.000000)(0.000000,0.000000)(0.000000,0.000000)(0.000000,-2.000000)",
                                        std::string(47, '-')}));
    qavex_t_free(a);
}

TEST(Synopsis, FirstOfEqualStepsWins)
{
    // Steps +1, -1, then 0 into the guard: the first of magnitude 1 is kept.
    pac_type *a = make({C(0, 0), C(1, 0), C(0, 0)}, SIDE, C(0, 0));
    stub::clear();
    qavex_t_array_synopsis_array(&a);
    EXPECT_TRUE(stub::posted("Max diff: 1.000000 ")) << stub::console_text();
    qavex_t_free(a);
}

TEST(FloatingAverage, LongWindowsAreFastAndAccurate)
{
    // 200000 elements averaged over 60001: far too many additions to sum
    // every output on its own.
    const std::int32_t n = 200000, len = 60001, m = len / 2;
    std::vector<C> v(n);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    for (auto &x : v) x = C(val(rng) + 5.0, val(rng) * 1e-3);
    v[40000] = C(1e15 + 0.3, 0);
    pac_type *a = make(v);
    qavex_t_floating_average_array(&a, len);
    ASSERT_EQ(qavex_t_window_length(a), n);
    EXPECT_EQ(a[-6], SIDE);
    expect_guards_zero(a);
    // Spot checks against sums in extended precision, also well after
    // the window has passed a huge element (its rounding must not stay).
    for (std::int32_t i : {0, 1, 255, 256, 257, 99999, 150000, 199999}) {
        std::complex<long double> s(0, 0);
        for (std::int32_t j = -m; j <= m; j++) {
            C x = v[((i + j) % n + n) % n];
            s += std::complex<long double>(x.real(), x.imag());
        }
        EXPECT_NEAR(a[i].real(), (double)(s.real() / len), 1e-13) << i;
        EXPECT_NEAR(a[i].imag(), (double)(s.imag() / len), 1e-15) << i;
    }
    qavex_t_free(a);
}

// ---------------------------------------------------------------- properties

TEST(Properties, DftKeepsEnergyTimesN)
{
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    for (int trial = 0; trial < 40; trial++) {
        std::int32_t n = 1 + (std::int32_t)(rng() % 300);
        std::vector<C> v(n);
        for (auto &x : v) x = C(val(rng), val(rng));
        pac_type *a = make(v);
        double before = qavex_t_length_of_vector_array(&a);
        qavex_t_fft_array(&a);
        double after = qavex_t_length_of_vector_array(&a);
        EXPECT_NEAR(after * after, n * before * before, 1e-9 * n * before * before) << n;
        qavex_t_free(a);
    }
}

TEST(Properties, CircularAverageKeepsTheSum)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> val(-1.0, 1.0);
    // Short arrays take the direct sums, the last one the sliding sum.
    for (std::int32_t n : {3, 10, 101, 1000, 40000}) {
        std::vector<C> v(n);
        for (auto &x : v) x = C(val(rng), val(rng));
        for (std::int32_t len : {3, n / 2, n}) {
            pac_type *a = make(v);
            C before = qavex_t_make_dc_offset_array(&a, 0, C(0, 0));
            qavex_t_floating_average_array(&a, len);
            C after = qavex_t_make_dc_offset_array(&a, 0, C(0, 0));
            EXPECT_NEAR(after.real(), before.real(), 1e-12) << n << " " << len;
            EXPECT_NEAR(after.imag(), before.imag(), 1e-12) << n << " " << len;
            qavex_t_free(a);
        }
    }
}

TEST(Synopsis, FrontGuardAloneIsReported)
{
    pac_type *a = make({C(1, 0), C(2, 0)}, SIDE, C(0, 0));
    a[-4] = C(-0.5, 0.25);
    stub::clear();
    qavex_t_array_synopsis_array(&a);
    EXPECT_TRUE(stub::posted("Anfangs und Endnullen falsch:"));
    EXPECT_TRUE(stub::posted("(0.000000,0.000000)(0.000000,0.000000)(0.000000,0.000000)(-0.500000,0.250000)[daten]"
                             "(0.000000,0.000000)(0.000000,0.000000)(0.000000,0.000000)(0.000000,0.000000)"));
    qavex_t_free(a);
    // Zero guards: no guard lines; -0.0 counts as zero.
    a = make({C(1, 0), C(2, 0)}, SIDE, C(-0.0, 0));
    stub::clear();
    qavex_t_array_synopsis_array(&a);
    EXPECT_FALSE(stub::posted("Anfangs und Endnullen falsch:"));
    qavex_t_free(a);
}
