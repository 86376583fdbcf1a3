// The designer's array commands: band selection, argument checks, the
// messages they post and the lists they send, on windows set up by the test.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "bank_fixture.h"

namespace {

typedef std::complex<double> C;
const double NaN = std::numeric_limits<double>::quiet_NaN();

pac_type *make(const std::vector<C> &v)
{
    pac_type *a = qavex_t_new_pac((std::int32_t)v.size());
    for (std::size_t i = 0; i < v.size(); i++) a[i] = v[i];
    qavex_t_pac_zero_guards(a);
    return a;
}

std::vector<C> values(const pac_type *a) { return std::vector<C>(a, a + qavex_t_window_length(a)); }

int count_prefix(const std::string &prefix)
{
    int c = 0;
    for (const auto &l : stub::console()) c += l.text.rfind(prefix, 0) == 0;
    return c;
}

class ArrayCommands : public DesignerTest {
protected:
    void SetUp() override
    {
        DesignerTest::SetUp();
        n = x->sParam.iq_compute_sup;
        ASSERT_NE(x->pac, nullptr);
        ASSERT_GE(n, 8);
        // Band q holds (-(q+1), q) and (q+2, -1): distinct per band, with a
        // negative real part that "abs" visibly changes.
        for (std::int32_t q = 0; q < n; q++) put(q, {C(-(q + 1), q), C(q + 2, -1)});
        stub::clear();
    }
    void put(std::int32_t q, const std::vector<C> &v)
    {
        qavex_t_free(x->pac[q]);
        x->pac[q] = make(v);
    }
    void drop(std::int32_t q)
    {
        qavex_t_free(x->pac[q]);
        x->pac[q] = nullptr;
    }
    std::vector<C> band(std::int32_t q) const { return values(x->pac[q]); }
    std::vector<C> original(std::int32_t q) const { return {C(-(q + 1), q), C(q + 2, -1)}; }
    std::vector<stub::OutletEvent> sent() const { return stub::events_of(x->x_outM); }
    bool send(const char *sel, const std::vector<t_atom> &args = {}) { return stub::send((t_pd *)x, sel, args); }

    std::int32_t n = 0;
};

using stub::fa;
using stub::sa;

}  // namespace

// ---------------------------------------------------------------- selection

TEST_F(ArrayCommands, FloatBandSelection)
{
    struct Case {
        double fAN;
        int only;  // -1: all bands
    };
    const std::vector<Case> cases = {{-1, -1}, {(double)n, -1}, {(double)n + 5, -1}, {-7, -1}, {NaN, -1}, {-0.5, 0},
                                     {2.9, 2}, {0, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fAN);
        for (std::int32_t q = 0; q < n; q++) put(q, original(q));
        ASSERT_TRUE(send("abs", {fa(c.fAN)}));
        for (std::int32_t q = 0; q < n; q++) {
            bool changed = band(q) != original(q);
            EXPECT_EQ(changed, c.only < 0 || c.only == q) << "band " << q;
        }
    }
    // No argument is band 0.
    for (std::int32_t q = 0; q < n; q++) put(q, original(q));
    send("abs");
    EXPECT_NE(band(0), original(0));
    EXPECT_EQ(band(1), original(1));
}

TEST_F(ArrayCommands, BandsWithoutWindowAreSkipped)
{
    drop(3);
    send("normalize", {fa(-1)});
    send("differentiate", {fa(3)});
    send("prolong", {fa(-1), fa(2), fa(2), fa(0)});
    EXPECT_EQ(x->pac[3], nullptr);
    EXPECT_EQ(qavex_t_window_length(x->pac[4]), 4);
    stub::clear();
    send("length_of_vector", {fa(3)});
    ASSERT_EQ(stub::console().size(), 1u);
    EXPECT_EQ(stub::console()[0].text.rfind("Length(3)=", 0), 0u);
    EXPECT_NE(stub::console()[0].text.find("nan"), std::string::npos);
}

TEST_F(ArrayCommands, EveryOneArgumentCommandAppliesItsFunction)
{
    struct Case {
        const char *sel;
        void (*f)(pac_type **);
    };
    const Case cases[] = {
        {"abs", qavex_t_abs_array},
        {"componentabs", qavex_t_componentabs_array},
        {"ln", qavex_t_ln_array},
        {"set_nan_to_zero", qavex_t_set_nan_to_zero_array},
        {"set_inf_to_zero", qavex_t_set_inf_to_zero_array},
        {"normalize", qavex_t_normalize_array},
        {"fft", qavex_t_fft_array},
        {"differentiate", qavex_t_differentiate_array},
        {"integrate", qavex_t_integrate_array},
        {"imag_plus_real", qavex_t_imag_plus_real_array},
    };
    const std::vector<C> v{C(1, 2), C(NaN, 1), C(-3, 0.5), C(INFINITY, 0), C(0, -1)};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.sel);
        put(4, v);
        put(5, v);
        pac_type *ref = make(v);
        c.f(&ref);
        ASSERT_TRUE(send(c.sel, {fa(4)}));
        std::vector<C> got = band(4), want = values(ref);
        ASSERT_EQ(got.size(), want.size());
        for (std::size_t i = 0; i < got.size(); i++) {
            bool same = (got[i] == want[i]) || (std::isnan(got[i].real()) && std::isnan(want[i].real()));
            EXPECT_TRUE(same) << i;
        }
        EXPECT_EQ(band(5).size(), v.size());
        EXPECT_EQ(band(5)[0], v[0]) << "other band untouched";
        qavex_t_free(ref);
    }
}

// ---------------------------------------------------------------- mult

TEST_F(ArrayCommands, MultBandNumberChecks)
{
    send("mult", {fa(-2), sa("TIMES_VAL"), fa(2), fa(0)});
    EXPECT_TRUE(stub::posted("cycle: Array Index zu klein/gross"));
    send("mult", {fa(n), sa("TIMES_VAL"), fa(2), fa(0)});
    EXPECT_EQ(stub::count_lines("cycle: Array Index zu klein/gross"), 2);
    for (std::int32_t q = 0; q < n; q++) EXPECT_EQ(band(q), original(q));

    stub::clear();
    send("mult", {fa(-1.5), sa("TIMES_VAL"), fa(2), fa(0)});  // truncates to -1: all bands
    EXPECT_TRUE(stub::console().empty());
    for (std::int32_t q = 0; q < n; q++) EXPECT_EQ(band(q)[1], C(2 * (q + 2), -2)) << q;

    send("mult", {fa(1), sa("TIMES_VAL"), fa(2)});
    EXPECT_TRUE(stub::posted("Aufruf mult: Arraynummer welche_Art Wert_Real Wert_Complex [Random]"));
}

TEST_F(ArrayCommands, MultKinds)
{
    send("mult", {fa(1), sa("SQUARE"), fa(5), fa(5)});
    EXPECT_EQ(band(1), original(1));
    send("mult", {fa(1), sa("NO_SUCH_KIND"), fa(0), fa(1)});  // multiplies by i
    EXPECT_EQ(band(1), (std::vector<C>{C(-1, -2), C(1, 3)}));
    send("mult", {fa(2), fa(3), fa(2), fa(0)});  // a number as kind: TIMES_VAL
    EXPECT_EQ(band(2), (std::vector<C>{C(-6, 4), C(8, -2)}));
    send("mult", {fa(3), sa("CONJUGATE"), fa(0), fa(0)});
    EXPECT_EQ(band(3), (std::vector<C>{C(-4, -3), C(5, 1)}));
    send("mult", {fa(4), sa("TIMES_N"), fa(0), fa(0)});
    EXPECT_EQ(band(4), (std::vector<C>{C(-10, 8), C(12, -2)}));
    send("mult", {fa(4), sa("DIV_N"), fa(0), fa(0)});
    EXPECT_EQ(band(4), original(4));
    send("mult", {fa(5), sa("TIMES_CONJ"), fa(9), fa(9)});
    EXPECT_EQ(band(5), (std::vector<C>{C(61, 0), C(50, 0)}));
    put(6, {C(0, 2), C(0, 0)});
    send("mult", {fa(6), sa("RECIPROCAL"), fa(0), fa(0)});
    EXPECT_EQ(band(6)[0], C(0, -0.5));
    put(6, {C(0, 2), C(0, 0)});
    send("mult", {fa(6), sa("NORMALIZE"), fa(0), fa(0)});
    EXPECT_EQ(band(6), (std::vector<C>{C(0, 1), C(1, 0)}));
}

TEST_F(ArrayCommands, MultRandomPhase)
{
    for (std::int32_t q = 0; q < n; q++) put(q, {C(1, 0)});
    std::srand(4711);
    send("mult", {fa(-1), sa("TIMES_VAL"), fa(1), fa(0), fa(1)});
    std::set<std::pair<double, double>> seen;
    for (std::int32_t q = 0; q < n; q++) {
        C f = band(q)[0];
        EXPECT_NEAR(std::abs(f), 1.0, 1e-12) << q;
        EXPECT_GE(f.real(), 0.0) << q;
        EXPECT_GE(f.imag(), 0.0) << q;
        seen.insert({f.real(), f.imag()});
    }
    EXPECT_EQ((std::int32_t)seen.size(), n) << "a new factor for every band";
    // Band 0 takes the first two draws r1, r2 as the direction r2 + i r1.
    std::srand(4711);
    double r1 = std::rand(), r2 = std::rand();
    EXPECT_NEAR(band(0)[0].real(), r2 / std::hypot(r1, r2), 1e-12);
    EXPECT_NEAR(band(0)[0].imag(), r1 / std::hypot(r1, r2), 1e-12);

    // Without the flag every band gets the value itself.
    for (std::int32_t q = 0; q < n; q++) put(q, {C(1, 0)});
    send("mult", {fa(-1), sa("TIMES_VAL"), fa(0), fa(3), fa(0)});
    for (std::int32_t q = 0; q < n; q++) EXPECT_EQ(band(q)[0], C(0, 3));

    // One band: the flag has no effect.
    put(2, {C(1, 0)});
    send("mult", {fa(2), sa("TIMES_VAL"), fa(0), fa(-2), fa(1)});
    EXPECT_EQ(band(2)[0], C(0, -2));
}

// ---------------------------------------------------------------- cycle

TEST_F(ArrayCommands, CycleShiftTexts)
{
    std::vector<C> ramp(1024);
    for (int i = 0; i < 1024; i++) ramp[i] = C(i, -i);
    struct Case {
        t_atom shift;
        int by;
    };
    const std::vector<Case> cases = {{sa("N/2"), 512},     {sa("-N/4"), -256},  {sa("+N/4"), 256}, {sa("N/0"), 0},
                                     {sa("X/2"), 0},       {sa("N/2xyz"), 512}, {sa("N/"), 0},     {fa(3), 3},
                                     {fa(-1030.7), -1030}, {fa(0.9), 0},        {sa("N/10"), 1024}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.by);
        put(1, ramp);
        ASSERT_TRUE(send("cycle", {fa(1), c.shift}));
        int k = ((c.by % 1024) + 1024) % 1024;
        std::vector<C> got = band(1);
        ASSERT_EQ(got.size(), 1024u);
        for (int i = 0; i < 1024; i += 97) EXPECT_EQ(got[i], ramp[(i - k + 1024) % 1024]) << i;
    }
}

TEST_F(ArrayCommands, CycleArgumentsAndAllBands)
{
    send("cycle", {fa(1)});
    EXPECT_TRUE(stub::posted("cycle: Falscher Aufruf der Funktion"));
    send("cycle", {fa(-2), fa(1)});
    send("cycle", {fa(n), fa(1)});
    EXPECT_EQ(stub::count_lines("cycle: Array Index zu klein/gross"), 2);
    for (std::int32_t q = 0; q < n; q++) EXPECT_EQ(band(q), original(q));

    // All bands, each turned by half its own length; a band without a window
    // is passed over.
    put(0, {C(0, 0), C(1, 0), C(2, 0), C(3, 0)});
    drop(1);
    put(2, {C(0, 0), C(1, 0), C(2, 0), C(3, 0), C(4, 0), C(5, 0)});
    stub::clear();
    send("cycle", {fa(-1), sa("N/2")});
    EXPECT_TRUE(stub::console().empty());
    EXPECT_EQ(band(0), (std::vector<C>{C(2, 0), C(3, 0), C(0, 0), C(1, 0)}));
    EXPECT_EQ(x->pac[1], nullptr);
    EXPECT_EQ(band(2), (std::vector<C>{C(3, 0), C(4, 0), C(5, 0), C(0, 0), C(1, 0), C(2, 0)}));
    EXPECT_EQ(band(3), (std::vector<C>{original(3)[1], original(3)[0]}));
}

// ---------------------------------------------------------------- floating_average

TEST_F(ArrayCommands, FloatingAverageLengths)
{
    // Real part first turns negative at index 101.
    std::vector<C> w(400);
    for (int i = 0; i < 400; i++) w[i] = i < 101 ? C(1 + (i * i) % 13, i % 3) : C(-1 - (i % 5), 0.5);
    auto averaged = [&](std::int32_t len) {
        pac_type *a = make(w);
        qavex_t_floating_average_array(&a, len);
        std::vector<C> r = values(a);
        qavex_t_free(a);
        return r;
    };
    for (std::int32_t q = 0; q < n; q++) put(q, w);
    send("floating_average", {fa(-1), fa(2), fa(0)});
    EXPECT_EQ(stub::count_lines("First Zero: 101"), n);
    EXPECT_EQ(stub::count_lines("Averaging mit Laenge iWL 50"), n);
    EXPECT_EQ(band(0), averaged(49));
    EXPECT_EQ(band(n - 1), averaged(49));
    EXPECT_NE(averaged(49), averaged(51));

    stub::clear();
    put(2, w);
    put(3, w);
    send("floating_average", {fa(2), fa(2), fa(0)});  // one band: length 101 itself
    EXPECT_TRUE(stub::console().empty());
    EXPECT_EQ(band(2), averaged(101));
    EXPECT_EQ(band(3), w);

    struct Case {
        double factor, max;
        std::int32_t len;
    };
    const Case cases[] = {{0, 0, 101}, {0.5, 0, 101}, {-0.5, 0, 101}, {-3, 0, 3}, {1, 20, 20}, {3, 1000, 33}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.factor);
        for (std::int32_t q = 0; q < n; q++) put(q, w);
        stub::clear();
        send("floating_average", {fa(-1), fa(c.factor), fa(c.max)});
        EXPECT_EQ(stub::count_lines("Averaging mit Laenge iWL " + std::to_string(c.len)), n);
        EXPECT_EQ(band(0), averaged(c.len));
    }

    stub::clear();
    send("floating_average", {fa(1), fa(1), fa(-1)});
    EXPECT_TRUE(stub::posted("Falsche Parameter bei qbank_t_floating_average"));
}

// ---------------------------------------------------------------- make_dc_offset

TEST_F(ArrayCommands, MakeDcOffset)
{
    put(2, {C(1, 1), C(3, -3)});  // mean (2, -1)
    send("make_dc_offset", {fa(2), fa(0.5), fa(7), fa(7)});
    EXPECT_EQ(band(2), (std::vector<C>{C(1, 1), C(3, -3)}));
    EXPECT_TRUE(stub::console().empty());
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_EQ(sent()[0].selector, "list");
    EXPECT_EQ(sent()[0].floats, (std::vector<float>{2.0f, -1.0f}));

    stub::clear();
    send("make_dc_offset", {fa(2), fa(0)});
    EXPECT_TRUE(stub::posted("Offset[2]:2.000000+I*-1.000000"));
    ASSERT_EQ(sent().size(), 1u);

    stub::clear();
    send("make_dc_offset", {fa(2), fa(-1), fa(0.5), fa(0.25)});
    EXPECT_EQ(band(2), (std::vector<C>{C(-0.5, 2.25), C(1.5, -1.75)}));
    EXPECT_TRUE(stub::console().empty());
    EXPECT_EQ(sent()[0].floats, (std::vector<float>{2.0f, -1.0f})) << "the mean before the change";

    // All bands: a line per band, no list.
    stub::clear();
    send("make_dc_offset", {fa(-1), fa(0)});
    EXPECT_EQ(count_prefix("Offset["), n);
    EXPECT_TRUE(stub::posted("Offset[0]:0.500000+I*-0.500000"));
    EXPECT_TRUE(sent().empty());
}

// ---------------------------------------------------------------- inner_product, length

TEST_F(ArrayCommands, InnerProductNormalised)
{
    send("inner_product", {fa(1), fa(1)});
    ASSERT_EQ(stub::console().size(), 2u);
    EXPECT_EQ(stub::console()[0].text, "inner_product");
    EXPECT_EQ(stub::console()[1].text, "[1]*[1]/L=\t1.000000e+00+\tI*0.000000e+00");
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_NEAR(sent()[0].floats[0], 1.0f, 1e-6);
    EXPECT_EQ(sent()[0].floats[1], 0.0f);

    // Orthogonal windows give 0; one band against all gives n lines, no list.
    put(0, {C(1, 0), C(0, 0)});
    put(1, {C(0, 0), C(0, 3)});
    stub::clear();
    send("inner_product", {fa(0), fa(1)});
    EXPECT_TRUE(stub::posted("[0]*[1]/L=\t0.000000e+00+\tI*0.000000e+00"));
    stub::clear();
    send("inner_product", {fa(0), fa(-1)});
    EXPECT_EQ(count_prefix("[0]*["), n);
    EXPECT_TRUE(stub::posted("[0]*[0]/L=\t1.000000e+00+\tI*0.000000e+00")) << "unsigned unless both are all";
    EXPECT_TRUE(sent().empty());

    // All against all: n*n lines in the signed format.
    stub::clear();
    send("inner_product", {fa(-1), fa(-1)});
    EXPECT_EQ(count_prefix("["), n * n);
    EXPECT_TRUE(stub::posted("[0]*[0]/L=\t+1.000000e+00+\tI*+0.000000e+00"));
}

TEST_F(ArrayCommands, LengthOfVector)
{
    put(3, {C(3, 0), C(0, 4)});
    send("length_of_vector", {fa(3)});
    EXPECT_TRUE(stub::posted("Length(3)=5.000000"));
    stub::clear();
    send("length_of_vector", {fa(-1)});
    EXPECT_EQ(count_prefix("Length("), n);
}

// ---------------------------------------------------------------- cut, prolong

TEST_F(ArrayCommands, CutAndProlong)
{
    put(1, {C(0, 0.5), C(6, 8), C(0, -2)});
    send("cut", {fa(1), fa(1), fa(5)});
    std::vector<C> got = band(1);
    EXPECT_NEAR(got[0].imag(), 1.0, 1e-15);
    EXPECT_NEAR(got[1].real(), 3.0, 1e-15);
    EXPECT_NEAR(got[1].imag(), 4.0, 1e-15);
    EXPECT_EQ(got[2], C(0, -2));

    send("prolong", {fa(2), fa(3), fa(0), fa(0)});
    EXPECT_EQ(band(2), (std::vector<C>{C(0, 0), C(0, 0), C(0, 0), original(2)[0], original(2)[1]}));
    stub::clear();
    send("prolong", {fa(2), fa(3), fa(5), fa(0)});
    EXPECT_EQ(
        stub::count_lines("qavex_t_prolong_array: Falscher Aufruf: fWhere=0: am Anfang, 1: in der Mitte, 2: am Ende"),
        1);
    // Random counts: each band draws its own, between 1 and fN.
    std::srand(99);
    send("prolong", {fa(-1), fa(50), fa(2), fa(1)});
    std::set<std::int32_t> lengths;
    for (std::int32_t q = 3; q < n; q++) {
        std::int32_t added = qavex_t_window_length(x->pac[q]) - 2;
        EXPECT_GE(added, 1);
        EXPECT_LE(added, 50);
        lengths.insert(added);
    }
    EXPECT_GT(lengths.size(), 3u);
}

// ---------------------------------------------------------------- array_synopsis

TEST_F(ArrayCommands, ArraySynopsis)
{
    for (std::int32_t q = 0; q < n; q++) put(q, std::vector<C>(q + 1, C(1, 0)));
    send("array_synopsis", {fa(2), fa(5)});
    EXPECT_EQ(stub::count_lines("qavex_t_array_synopsis:"), 3);
    EXPECT_TRUE(stub::posted("Laenge: 3"));
    EXPECT_TRUE(stub::posted("Laenge: 4"));
    EXPECT_TRUE(stub::posted("Laenge: 5"));
    EXPECT_EQ(count_prefix("Array pac"), 0);

    stub::clear();
    send("array_synopsis", {fa(-3), fa(n + 10)});  // limited to 0..n
    EXPECT_EQ(stub::count_lines("qavex_t_array_synopsis:"), n);
    stub::clear();
    send("array_synopsis", {fa(5), fa(5)});
    EXPECT_TRUE(stub::console().empty());

    drop(1);
    stub::clear();
    send("array_synopsis", {fa(0), fa(2)});  // the empty band is reported as such
    EXPECT_EQ(stub::count_lines("Leeres Array"), 1);

    stub::clear();
    send("array_synopsis", {fa(-1)});
    EXPECT_EQ(count_prefix("Array pac["), n - 1);
    EXPECT_FALSE(stub::posted("Array pac[1]"));
    EXPECT_TRUE(stub::posted("Array pac[2]"));
    EXPECT_EQ(stub::count_lines("qavex_t_array_synopsis:"), n - 1);

    stub::clear();
    send("array_synopsis", {fa(1)});
    EXPECT_TRUE(stub::posted("Leeres Array"));

    stub::clear();
    send("array_synopsis");
    send("array_synopsis", {fa(-2)});
    EXPECT_EQ(stub::count_lines("Falscher Aufruf der Funktion array_synopsis, array_synopsis"), 2);
    EXPECT_EQ(stub::console().size(), 2u);
}

// ---------------------------------------------------------------- rounding

TEST_F(ArrayCommands, RoundUpToSmallPrimes)
{
    send("round_up_to_multiple_of_small_primes", {fa(1001), fa(5)});
    EXPECT_TRUE(stub::posted("Nearest Number with small primes: 1024"));
    stub::clear();
    send("round_up_to_multiple_of_small_primes", {fa(0), fa(5)});
    send("round_up_to_multiple_of_small_primes", {fa(10), fa(1.5)});
    send("round_up_to_multiple_of_small_primes");
    EXPECT_EQ(errors(), 3);
    EXPECT_EQ(count_prefix("Nearest Number"), 0);
}

// ---------------------------------------------------------------- no window table

TEST_F(ArrayCommands, WithoutTableNothingIsTouched)
{
    pac_type **table = x->pac;
    x->pac = nullptr;
    send("cycle", {fa(1)});
    send("cycle", {fa(1), sa("N/2")});
    EXPECT_TRUE(stub::console().empty()) << "cycle ends silently";
    send("mult", {fa(1), sa("TIMES_VAL")});
    EXPECT_TRUE(stub::posted("Aufruf mult: Arraynummer welche_Art Wert_Real Wert_Complex [Random]"));
    stub::clear();
    send("inner_product", {fa(1), fa(1)});
    EXPECT_EQ(stub::console().size(), 1u);
    for (const char *sel : {"abs", "fft", "differentiate", "normalize", "length_of_vector"}) send(sel, {fa(-1)});
    send("mult", {fa(-1), sa("TIMES_VAL"), fa(2), fa(0), fa(1)});
    send("floating_average", {fa(-1), fa(2), fa(0)});
    send("make_dc_offset", {fa(1), fa(1), fa(2), fa(0)});
    send("prolong", {fa(-1), fa(2), fa(0), fa(0)});
    send("array_synopsis", {fa(-1)});
    EXPECT_TRUE(sent().empty());
    x->pac = table;
    for (std::int32_t q = 0; q < n; q++) EXPECT_EQ(band(q), original(q));
}

// ---------------------------------------------------------------- built windows

TEST_F(ArrayCommands, OnBuiltWindows)
{
    send("set_T_max", {fa(0.02)});
    send("initialize", {fa(0)});
    send("make", {fa(-1)});
    n = x->sParam.iq_compute_sup;
    ASSERT_GT(n, 3);
    for (std::int32_t q = 0; q < n; q++) ASSERT_NE(x->pac[q], nullptr) << q;
    std::vector<std::vector<C>> before(n);
    std::vector<C> sides(n);
    for (std::int32_t q = 0; q < n; q++) {
        before[q] = band(q);
        sides[q] = x->pac[q][-6];
    }

    stub::clear();
    send("inner_product", {fa(3), fa(3)});
    ASSERT_EQ(sent().size(), 1u);
    EXPECT_NEAR(sent()[0].floats[0], 1.0f, 1e-6);
    EXPECT_NEAR(sent()[0].floats[1], 0.0f, 1e-6);

    // Half a turn forth and back gives every window back, header included.
    send("cycle", {fa(-1), sa("N/2")});
    bool moved = false;
    for (std::int32_t q = 0; q < n; q++) moved |= band(q) != before[q];
    EXPECT_TRUE(moved);
    send("cycle", {fa(-1), sa("-N/2")});
    for (std::int32_t q = 0; q < n; q++) {
        // N/2 and -N/2 truncate to opposite shifts, odd lengths included.
        EXPECT_EQ(band(q), before[q]) << q;
        EXPECT_EQ(x->pac[q][-6], sides[q]) << q;
        for (int g = 1; g <= 4; g++) EXPECT_EQ(x->pac[q][-g], C(0, 0)) << q;
    }

    // The float copies follow only after copy_pac2paf.
    send("copy_pac2paf", {fa(-1)});
    send("mult", {fa(2), sa("TIMES_VAL"), fa(2), fa(0)});
    const paf_type *r2 = x->sParam.paf_r[2];
    ASSERT_NE(r2, nullptr);
    std::int32_t peak = 0;
    for (std::int32_t i = 0; i < qavex_t_window_length(x->pac[2]); i++)
        if (std::abs(x->pac[2][i]) > std::abs(x->pac[2][peak])) peak = i;
    EXPECT_FLOAT_EQ(r2[peak] * 2.0f, (float)x->pac[2][peak].real());
    send("copy_pac2paf", {fa(2)});
    EXPECT_FLOAT_EQ(x->sParam.paf_r[2][peak], (float)x->pac[2][peak].real());
}
