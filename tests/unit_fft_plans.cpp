// The shared FFT plans: one plan per kind, size, alignment and placement,
// giving the bits of a plan FFTW makes on the arrays themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "allocator.h"
#include "fft_plans.h"

namespace {

struct Case {
    eFft kind;
    int n;
    bool in_place;
    int offset;  // bytes added to every array's address
};

fftw_plan direct(const Case &c, void *in, void *out)
{
    switch (c.kind) {
    case eFft::FORWARD:
    case eFft::BACKWARD:
        return fftw_plan_dft_1d(c.n, (fftw_complex *)in, (fftw_complex *)out,
                                c.kind == eFft::FORWARD ? FFTW_FORWARD : FFTW_BACKWARD, FFTW_ESTIMATE);
    case eFft::REAL_TO_HALF: return fftw_plan_dft_r2c_1d(c.n, (double *)in, (fftw_complex *)out, FFTW_ESTIMATE);
    case eFft::HALF_TO_REAL: return fftw_plan_dft_c2r_1d(c.n, (fftw_complex *)in, (double *)out, FFTW_ESTIMATE);
    }
    return nullptr;
}

void run(const sFftPlan *p, const Case &c, void *in, void *out)
{
    switch (c.kind) {
    case eFft::FORWARD:
    case eFft::BACKWARD: fft_execute(p, (fftw_complex *)in, (fftw_complex *)out); break;
    case eFft::REAL_TO_HALF: fft_execute(p, (double *)in, (fftw_complex *)out); break;
    case eFft::HALF_TO_REAL: fft_execute(p, (fftw_complex *)in, (double *)out); break;
    }
}

// Two arrays of 2 n + 2 doubles (room for either side of any kind), at the
// case's offset from 16-byte aligned blocks; one array when in place.
struct Arrays {
    std::vector<void *> blocks;
    void *in, *out;
    explicit Arrays(const Case &c)
    {
        const std::size_t bytes = (2 * (std::size_t)c.n + 2) * sizeof(double) + 16;
        for (int k = 0; k < (c.in_place ? 1 : 2); k++) blocks.push_back(qavex_t_malloc0(bytes));
        in = (char *)blocks[0] + c.offset;
        out = c.in_place ? in : (char *)blocks[1] + c.offset;
    }
    ~Arrays()
    {
        for (void *b : blocks) qavex_t_free(b);
    }
};

}  // namespace

TEST(FftPlans, OnePlanPerKindSizeAlignmentAndPlacementWithTheBitsOfItsOwnPlan)
{
    const Case cases[] = {
        {eFft::FORWARD, 128, false, 0},      {eFft::FORWARD, 128, true, 0},       {eFft::FORWARD, 128, false, 8},
        {eFft::BACKWARD, 128, false, 0},     {eFft::BACKWARD, 777, true, 0},      {eFft::REAL_TO_HALF, 128, false, 0},
        {eFft::REAL_TO_HALF, 100, false, 8}, {eFft::HALF_TO_REAL, 240, false, 0}, {eFft::HALF_TO_REAL, 240, false, 8},
    };
    const int held0 = fft_plans_held();
    std::vector<const sFftPlan *> plans;
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << (int)c.kind << " n " << c.n << " in place " << c.in_place
                                        << " offset " << c.offset);
        Arrays a(c), b(c), mine(c);
        const sFftPlan *p = fft_plan_acquire(c.kind, c.n, a.in, a.out);
        ASSERT_NE(p, nullptr);
        // Other arrays of the same alignment and placement share the plan;
        // no earlier case's plan serves this one.
        EXPECT_EQ(fft_plan_acquire(c.kind, c.n, b.in, b.out), p);
        fft_plan_release(p);
        for (const sFftPlan *q : plans) EXPECT_NE(q, p);
        plans.push_back(p);
        // On arrays it was not made on, the bits of FFTW's plan for them.
        const std::size_t doubles = 2 * (std::size_t)c.n + 2;
        std::vector<double> x(doubles);
        for (double &v : x) v = u(rng);
        if (c.kind == eFft::HALF_TO_REAL) x[1] = x[c.n + 1] = 0.0;  // a half spectrum of a real signal
        fftw_plan own = direct(c, b.in, b.out);
        ASSERT_NE(own, nullptr);
        std::memcpy(b.in, x.data(), doubles * sizeof(double));
        fftw_execute(own);
        fftw_destroy_plan(own);
        std::memcpy(mine.in, x.data(), doubles * sizeof(double));
        run(p, c, mine.in, mine.out);
        const std::size_t bins = c.kind == eFft::REAL_TO_HALF ? c.n / 2 + 1 : c.n;
        const std::size_t out_bytes = (c.kind == eFft::HALF_TO_REAL ? c.n : 2 * bins) * sizeof(double);
        EXPECT_EQ(std::memcmp(b.out, mine.out, out_bytes), 0);
        // A forward transform of a known signal, against the sum itself.
        if (c.kind == eFft::FORWARD && !c.in_place) {
            const fftw_complex *X = (const fftw_complex *)mine.out;
            double s_re = 0, s_im = 0;
            for (int k = 0; k < c.n; k++) {
                s_re += x[2 * k];
                s_im += x[2 * k + 1];
            }
            EXPECT_NEAR(X[0][0], s_re, 1e-12 * c.n);
            EXPECT_NEAR(X[0][1], s_im, 1e-12 * c.n);
        }
    }
    EXPECT_EQ(fft_plans_held(), held0 + (int)plans.size());
    for (const sFftPlan *p : plans) fft_plan_release(p);
    EXPECT_EQ(fft_plans_held(), held0);
    // Released plans are kept and found again, not made anew.
    const int kept = fft_plans_kept();
    EXPECT_GE(kept, (int)plans.size());
    Arrays a(cases[0]);
    const sFftPlan *again = fft_plan_acquire(cases[0].kind, cases[0].n, a.in, a.out);
    EXPECT_EQ(again, plans[0]);
    EXPECT_EQ(fft_plans_kept(), kept);
    fft_plan_release(again);
    EXPECT_EQ(fft_plan_acquire(eFft::FORWARD, 0, a.in, a.out), nullptr);
}
