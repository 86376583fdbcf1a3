// Warping maps, B-spline evaluation, interpolation and inversion, Lambert W.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "pd_stub.h"
#include "qavex_t_theta_functions.h"

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();
const long double E = 2.718281828459045235360287471352662498L;
const long double LN2 = 0.693147180559945309417232121458176568L;

int count_containing(const std::string &text)
{
    int n = 0;
    for (const auto &l : stub::console())
        if (l.text.find(text) != std::string::npos) n++;
    return n;
}

// Centred cardinal B-spline by the Cox-de Boor recursion, an independent
// reference for the explicit polynomials.
long double ref_bspline(int n, long double x)
{
    if (n == 0) return (x >= -0.5L && x < 0.5L) ? 1.0L : 0.0L;
    long double h = (n + 1) / 2.0L;
    return ((h + x) * ref_bspline(n - 1, x + 0.5L) + (h - x) * ref_bspline(n - 1, x - 0.5L)) / n;
}

// Warping data of the B-spline form: inverse table (start si) followed by
// the forward table (start sf), each preceded by its start and size.
std::vector<double> bspline_data(int si, const std::vector<double> &inv, int sf, const std::vector<double> &fwd)
{
    const int Si = (int)inv.size(), Sf = (int)fwd.size();
    std::vector<double> d(Si + Sf + 18, NaN);
    d[0] = 12.0;
    d[1] = 36.0;
    d[2] = 176400.0;
    d[3] = 132300.0;
    d[5] = si;
    d[6] = Si;
    for (int i = 0; i < Si; i++) d[11 + i] = inv[i];
    d[Si + 12] = sf;
    d[Si + 13] = Sf;
    for (int i = 0; i < Sf; i++) d[Si + 18 + i] = fwd[i];
    return d;
}

// Tables of the linear map Theta(x) = 2x: forward at warped -3..200,
// inverse at frequencies -5..400.
std::vector<double> linear_map_data()
{
    std::vector<double> fwd, inv;
    for (int u = -3; u < 200; u++) fwd.push_back(2.0 * u);
    for (int v = -5; v < 400; v++) inv.push_back(v / 2.0);
    return bspline_data(-5, inv, -3, fwd);
}

}  // namespace

// ------------------------------------------------------------ exponential map

TEST(ExpMap, NoTailWithDerivationEntries)
{
    double d[4] = {12.0, 36.0, 176400.0, 132300.0};
    stub::clear();
    const double fin = 36.0 / std::log(2.0);
    EXPECT_NEAR(fin, 51.937, 1e-3);
    EXPECT_EQ(qavex_t_Theta_exp_c1_nyqu(0.0, d), 0.0);
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(fin, d), 12.0 * std::exp(1.0), 1e-12);
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(fin, d), 32.6194, 1e-4);
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(396.0, d), 24576.0, 1e-9);
    EXPECT_NEAR(qavex_t_Theta_inv_exp_c1_nyqu(22050.0, d), 390.367, 1e-3);
    EXPECT_NEAR(qavex_t_d_Theta_inf_exp_c1_nyqu(0.0, d), 0.62806, 1e-5);
    EXPECT_NEAR(qavex_t_d_Theta_inf_exp_c1_nyqu(0.0, d), (double)(12.0L * E * LN2 / 36.0L), 1e-15);
    // Linear start: slope equals the smallest slope; exponential above fin.
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(10.0, d), 10.0 * qavex_t_d_Theta_inf_exp_c1_nyqu(0.0, d), 1e-12);
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(108.0, d), 12.0 * 8.0, 1e-10);
    EXPECT_NEAR(qavex_t_Theta_inv_exp_c1_nyqu(96.0, d), 108.0, 1e-10);
    // Value and slope meet at fin.
    const double h = 1e-6;
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(fin - 1e-12, d), qavex_t_Theta_exp_c1_nyqu(fin + 1e-12, d), 1e-9);
    double sl = (qavex_t_Theta_exp_c1_nyqu(fin, d) - qavex_t_Theta_exp_c1_nyqu(fin - h, d)) / h;
    double sr = (qavex_t_Theta_exp_c1_nyqu(fin + h, d) - qavex_t_Theta_exp_c1_nyqu(fin, d)) / h;
    EXPECT_NEAR(sl, sr, 1e-5);
    // Odd symmetry.
    for (double x : {0.5, 30.0, 51.0, 200.0, 396.0, 1000.0}) {
        EXPECT_EQ(qavex_t_Theta_exp_c1_nyqu(-x, d), -qavex_t_Theta_exp_c1_nyqu(x, d)) << x;
        EXPECT_EQ(qavex_t_Theta_inv_exp_c1_nyqu(-x, d), -qavex_t_Theta_inv_exp_c1_nyqu(x, d)) << x;
    }
    EXPECT_TRUE(stub::console().empty());
}

TEST(ExpMap, NyquistTailMeetsAnchor)
{
    double d[4] = {12.0, 36.0, 396.0, 22050.0};
    // The junction's pieces, from the same formulas, at the stated values.
    const double z = (double)(-(22050.0L / 2.0L) * std::exp2(1.0L - 396.0L / 36.0L) / (12.0L * E));
    EXPECT_NEAR(z, -0.330068, 1e-6);
    const double W = LambertW1(z);
    EXPECT_NEAR(W, -1.540685, 1e-6);
    const double fout = (double)((36.0L + 396.0L * LN2 + 36.0L * W) / LN2);
    EXPECT_NEAR(fout, 367.918, 1e-3);
    const double wout = 12.0 * std::exp2(fout / 36.0);
    EXPECT_NEAR(wout, 14311.8, 0.1);
    const double kout = (22050.0 - wout) / (396.0 - fout);
    EXPECT_NEAR(kout, 275.561, 1e-3);

    stub::clear();
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(396.0, d), 22050.0, 1e-8);
    EXPECT_NEAR(qavex_t_Theta_inv_exp_c1_nyqu(22050.0, d), 396.0, 1e-10);
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(fout, d), wout, 1e-6);
    // Straight line of slope kout above fout, exponential below.
    EXPECT_NEAR((qavex_t_Theta_exp_c1_nyqu(420.0, d) - qavex_t_Theta_exp_c1_nyqu(380.0, d)) / 40.0, kout, 1e-6);
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(360.0, d), 12.0 * std::exp2(10.0), 1e-8);
    // Slope continuous at fout: the exponential's slope there is kout.
    const double h = 1e-5;
    double sl = (qavex_t_Theta_exp_c1_nyqu(fout - h, d) - qavex_t_Theta_exp_c1_nyqu(fout - 2 * h, d)) / h;
    EXPECT_NEAR(sl, kout, 1e-3);
    EXPECT_NEAR(wout * std::log(2.0) / 36.0, kout, 1e-6);
    // Round trip across the junction and on the tail, odd symmetry kept.
    for (double x : {300.0, 367.0, 368.5, 396.0, 500.0}) {
        double y = qavex_t_Theta_exp_c1_nyqu(x, d);
        EXPECT_NEAR(qavex_t_Theta_inv_exp_c1_nyqu(y, d), x, 1e-9) << x;
        EXPECT_EQ(qavex_t_Theta_exp_c1_nyqu(-x, d), -y);
    }
    EXPECT_TRUE(stub::console().empty());
}

TEST(ExpMap, NegativeTailSlopeIsReportedOnEveryTailEvaluation)
{
    // Anchor far above the exponential: no tangent exists, Lambert W refuses
    // its argument (0), and the junction lands past the anchor with a
    // falling tail.
    double d[4] = {12.0, 36.0, 50.0, 1000.0};
    LambertW1(-0.2);
    stub::clear();
    double v = qavex_t_Theta_exp_c1_nyqu(1000.0, d);
    EXPECT_TRUE(std::isfinite(v));
    qavex_t_Theta_exp_c1_nyqu(2000.0, d);
    EXPECT_EQ(stub::count_lines("qavex_t: Theta called with bad parameters."), 2);
    EXPECT_EQ(count_containing("LambertW1: bad argument"), 1);
    EXPECT_TRUE(stub::errored("qavex_t: Theta called with bad parameters."));
    stub::clear();
    qavex_t_Theta_exp_c1_nyqu(1.0, d);  // linear start: no tail involved
    EXPECT_EQ(stub::count_lines("qavex_t: Theta called with bad parameters."), 0);
}

TEST(ExpMap, JunctionFollowsParametersAndLambertState)
{
    double d1[4] = {12.0, 36.0, 396.0, 22050.0};
    // Anchors below the exponential, so that a tangent exists.
    double d2[4] = {12.0, 36.0, 420.0, 22050.0};
    double d3[4] = {14.0, 36.0, 396.0, 22050.0};
    stub::clear();
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(396.0, d1), 22050.0, 1e-8);
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(420.0, d2), 22050.0, 1e-8);
    EXPECT_NEAR(qavex_t_Theta_inv_exp_c1_nyqu(22050.0, d3), 396.0, 1e-9);
    d1[2] = 420.0;  // same array, changed anchor
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(420.0, d1), 22050.0, 1e-8);
    d1[2] = 396.0;
    LambertW1(-0.1);
    EXPECT_NEAR(qavex_t_Theta_exp_c1_nyqu(396.0, d1), 22050.0, 1e-8);
    EXPECT_TRUE(stub::console().empty());

    // A junction without tangent: Lambert W reports its argument whenever it
    // has to compute it again, exactly as on the first call.
    double bad[4] = {12.0, 36.0, 50.0, 1000.0};
    stub::clear();
    qavex_t_Theta_exp_c1_nyqu(1000.0, bad);
    qavex_t_Theta_exp_c1_nyqu(1000.0, bad);
    EXPECT_EQ(count_containing("LambertW1: bad argument"), 1);
    LambertW1(-0.1);
    qavex_t_Theta_exp_c1_nyqu(1000.0, bad);
    EXPECT_EQ(count_containing("LambertW1: bad argument"), 2);
}

// ------------------------------------------------------------ Lambert W

TEST(LambertW, LowerBranchValues)
{
    stub::clear();
    EXPECT_NEAR(LambertW1(-0.1), -3.577152063957297, 1e-14);
    for (double z : {-0.36, -0.3, -0.2, -0.05, -1e-3, -1e-7, -1e-12}) {
        double w = LambertW1(z);
        EXPECT_LE(w, -1.0) << z;
        EXPECT_NEAR((double)(w * std::exp((long double)w)), z, 1e-15 * (1 + std::fabs(z)) + 4e-16 * std::fabs(z) * 40)
            << z;
    }
    // Right at and just above -1/e: about -1, without iteration trouble.
    EXPECT_NEAR(LambertW1(-0.36787944117144233), -1.0, 1e-6);
    EXPECT_NEAR(LambertW1(std::nextafter(-0.36787944117144233, 0.0)), -1.0, 1e-6);
    EXPECT_NEAR(LambertW1(-0.3678794), -1.0, 1e-3);
    EXPECT_TRUE(stub::console().empty()) << stub::console_text();
}

TEST(LambertW, BadArgumentsPostOnceThenRememberedSilently)
{
    LambertW1(-0.2);
    stub::clear();
    EXPECT_EQ(LambertW1(0.0), 0.0);
    EXPECT_TRUE(stub::posted("LambertW1: bad argument 0, return 0"));
    EXPECT_EQ(LambertW1(0.0), 0.0);
    EXPECT_EQ(stub::console().size(), 1u);
    EXPECT_EQ(LambertW1(-0.5), 0.0);
    EXPECT_TRUE(stub::posted("LambertW1: bad argument -0.5, return 0"));
    EXPECT_EQ(LambertW1(-0.5), 0.0);
    EXPECT_EQ(stub::console().size(), 2u);
    EXPECT_EQ(LambertW1(std::numeric_limits<double>::infinity()), 0.0);
    EXPECT_EQ(LambertW1(NaN), 0.0);
    EXPECT_EQ(count_containing("LambertW1: bad argument"), 4);
    // A good argument after a bad one is computed afresh, then remembered.
    EXPECT_NEAR(LambertW1(-0.1), -3.577152063957297, 1e-14);
    EXPECT_NEAR(LambertW1(-0.1), -3.577152063957297, 1e-14);
    EXPECT_EQ(stub::console().size(), 4u);
}

// ------------------------------------------------------------ closed forms

TEST(ClosedForms, IdLinSquare)
{
    double d[4] = {2.0, 4.0, 0.0, 0.0};
    EXPECT_EQ(qavex_t_Theta_id(3.5, d), 3.5);
    EXPECT_EQ(qavex_t_Theta_inv_id(-7.25, d), -7.25);
    EXPECT_EQ(qavex_t_d_Theta_inf_id(0.0, d), 1.0);
    EXPECT_EQ(qavex_t_Theta_lin(3.0, d), 12.0);
    EXPECT_EQ(qavex_t_Theta_inv_lin(12.0, d), 3.0);
    EXPECT_EQ(qavex_t_d_Theta_inf_lin(0.0, d), 4.0);
    EXPECT_DOUBLE_EQ(qavex_t_Theta_square(3.0, d), 8.25);
    EXPECT_DOUBLE_EQ(qavex_t_Theta_inv_square(8.25, d), 3.0);
    EXPECT_DOUBLE_EQ(qavex_t_Theta_square(-3.0, d), -8.25);
    EXPECT_DOUBLE_EQ(qavex_t_Theta_inv_square(-8.25, d), -3.0);
    EXPECT_EQ(qavex_t_d_Theta_inf_square(0.0, d), 2.0);
    // Slope of SQUARE at the origin is f0.
    EXPECT_NEAR(qavex_t_Theta_square(1e-7, d) / 1e-7, 2.0, 1e-6);
    EXPECT_TRUE(std::isnan(qavex_t_Theta_square(NaN, d)));
}

TEST(RoundTrip, EveryFamilyInvertsItsForwardMap)
{
    double exp_d[4] = {12.0, 36.0, 176400.0, 132300.0};
    double tail_d[4] = {12.0, 36.0, 396.0, 22050.0};
    double lin_d[4] = {12.0, 36.0, 0.0, 0.0};
    double sq_d[4] = {12.0, 36.0, 0.0, 0.0};
    std::vector<double> bs = linear_map_data();
    struct Family {
        const char *name;
        thetafunction f, inv;
        double *d;
    } fam[] = {
        {"exp", qavex_t_Theta_exp_c1_nyqu, qavex_t_Theta_inv_exp_c1_nyqu, exp_d},
        {"exp tail", qavex_t_Theta_exp_c1_nyqu, qavex_t_Theta_inv_exp_c1_nyqu, tail_d},
        {"id", qavex_t_Theta_id, qavex_t_Theta_inv_id, lin_d},
        {"lin", qavex_t_Theta_lin, qavex_t_Theta_inv_lin, lin_d},
        {"square", qavex_t_Theta_square, qavex_t_Theta_inv_square, sq_d},
        {"bspline", qavex_t_Theta_bspline, qavex_t_Theta_inv_bspline, bs.data()},
    };
    stub::clear();
    for (const auto &F : fam) {
        for (double x = -450.0; x <= 450.0; x += 0.37) {
            double y = F.f(x, F.d);
            EXPECT_NEAR(F.inv(y, F.d), x, 1e-9 * (1 + std::fabs(x))) << F.name << " x=" << x;
        }
    }
    EXPECT_TRUE(stub::console().empty());
}

// ------------------------------------------------------------ B-spline basis

TEST(BsplineBasis, StatedValuesAndErrors)
{
    stub::clear();
    EXPECT_EQ(qavex_t_bspline_basis(0, 0.5), 0.0);
    EXPECT_EQ(qavex_t_bspline_basis(0, -0.5), 0.0);
    EXPECT_EQ(qavex_t_bspline_basis(0, 0.49), 1.0);
    EXPECT_DOUBLE_EQ(qavex_t_bspline_basis(1, 0.25), 0.75);
    EXPECT_DOUBLE_EQ(qavex_t_bspline_basis(2, 0.0), 0.75);
    EXPECT_DOUBLE_EQ(qavex_t_bspline_basis(2, 1.0), 0.125);
    EXPECT_DOUBLE_EQ(qavex_t_bspline_basis(3, 0.0), 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(qavex_t_bspline_basis(3, 1.0), 1.0 / 6.0);
    EXPECT_TRUE(stub::console().empty());
    EXPECT_TRUE(std::isnan(qavex_t_bspline_basis(7, 0.0)));
    EXPECT_TRUE(stub::posted("Error. Non implemented B-Spline chosen"));
    EXPECT_TRUE(std::isnan(qavex_t_bspline_basis(-1, 0.0)));
    EXPECT_EQ(stub::count_lines("Error. Non implemented B-Spline chosen"), 2);
}

TEST(BsplineBasis, MatchesRecursionSymmetricAndZeroOutside)
{
    for (int n = 0; n <= 6; n++) {
        const double half = (n + 1) / 2.0;
        for (double x = -half - 0.5; x <= half + 0.5; x += 0.01) {
            double b = qavex_t_bspline_basis(n, x);
            // Degree 0 is closed on neither side here (0 at |x| = 1/2).
            if (!(n == 0 && std::fabs(std::fabs(x) - 0.5) < 1e-12)) {
                EXPECT_NEAR(b, (double)ref_bspline(n, x), 1e-15) << n << " " << x;
            }
            EXPECT_EQ(b, qavex_t_bspline_basis(n, -x)) << n << " " << x;
            if (std::fabs(x) >= half) {
                EXPECT_EQ(b, 0.0) << n << " " << x;
            }
            EXPECT_GE(b, 0.0);
        }
    }
}

TEST(BsplineBasis, PartitionOfUnityAndContinuityAtKnots)
{
    for (int n = 0; n <= 6; n++) {
        for (double x = -1.0; x <= 1.0; x += 0.013) {
            long double s = 0.0L;
            for (int a = -6; a <= 6; a++) s += qavex_t_bspline_basis(n, x - a);
            EXPECT_NEAR((double)s, 1.0, 1e-14) << n << " " << x;
        }
        if (n == 0) continue;
        // Knots at half-integers for even degree, integers for odd degree.
        const double off = (n % 2 == 0) ? 0.5 : 0.0;
        for (double k = off; k <= (n + 1) / 2.0 + 1e-9; k += 1.0) {
            const double eps = 1e-9;
            EXPECT_NEAR(qavex_t_bspline_basis(n, k - eps), qavex_t_bspline_basis(n, k + eps), 1e-8)
                << n << " knot " << k;
            EXPECT_NEAR(qavex_t_bspline_basis(n, k), qavex_t_bspline_basis(n, k - eps), 1e-8) << n << " knot " << k;
        }
    }
}

// ------------------------------------------------------------ bspline_inter

TEST(BsplineInter, ConstantTableGivesConstant)
{
    std::vector<double> c(20, 3.25);
    for (double t = -4.0; t <= 19.0; t += 0.05) EXPECT_NEAR(bspline_inter(t, c.data(), 20, 2), 3.25, 1e-15) << t;
    for (int order = 0; order <= 6; order++) EXPECT_NEAR(bspline_inter(7.3, c.data(), 20, order), 3.25, 1e-14) << order;
}

TEST(BsplineInter, LinearTableIsReproducedAndContinuedBeyondTheEnd)
{
    std::vector<double> y;
    for (int i = 0; i < 10; i++) y.push_back(3.0 + 2.0 * i);
    for (double t = 1.5; t <= 30.0; t += 0.1) EXPECT_NEAR(bspline_inter(t, y.data(), 10, 2), 3.0 + 2.0 * t, 1e-12) << t;
    // Below the start the table continues with its first value.
    EXPECT_NEAR(bspline_inter(-5.0, y.data(), 10, 2), 3.0, 1e-15);
    // Smoothing, not interpolation: a kink is rounded off.
    std::vector<double> k = {0, 0, 0, 1, 2, 3};
    EXPECT_NEAR(bspline_inter(2.0, k.data(), 6, 2), 0.125, 1e-15);
}

TEST(BsplineInter, AbsentShortAndBadInput)
{
    stub::clear();
    EXPECT_TRUE(std::isnan(bspline_inter(1.0, nullptr, 5, 2)));
    // One-entry table inside a buffer of NaN: the continuation must not
    // read outside the entry.
    std::vector<double> buf = {NaN, 4.0, NaN};
    for (double t = -3.0; t <= 5.0; t += 0.25) EXPECT_NEAR(bspline_inter(t, buf.data() + 1, 1, 2), 4.0, 1e-15) << t;
    EXPECT_TRUE(std::isnan(bspline_inter(0.0, buf.data() + 1, 0, 2)));
    EXPECT_TRUE(std::isnan(bspline_inter(NaN, buf.data() + 1, 1, 2)));
    EXPECT_TRUE(std::isnan(bspline_inter(std::numeric_limits<double>::infinity(), buf.data() + 1, 1, 2)));
    EXPECT_TRUE(stub::console().empty());
    EXPECT_TRUE(std::isnan(bspline_inter(1.0, buf.data() + 1, 1, 9)));
    EXPECT_EQ(stub::count_lines("Error. Non implemented B-Spline chosen"), 1);
}

// ------------------------------------------------------------ bspline_inter2

TEST(BsplineInter2, CurveThroughKnownPoints)
{
    std::vector<double> px, py;
    for (int i = 0; i < 12; i++) {
        px.push_back(i);
        py.push_back((double)i * i);
    }
    for (double t = -3.0; t <= 15.0; t += 0.1) {
        // Linear coordinates continue linearly on both sides.
        EXPECT_NEAR(bspline_inter2_first(t, px.data(), py.data(), 12, 2), t, 1e-12) << t;
        std::complex<double> c = bspline_inter2(t, px.data(), py.data(), 12, 2);
        EXPECT_EQ(c.real(), bspline_inter2_first(t, px.data(), py.data(), 12, 2));
        EXPECT_EQ(c.imag(), bspline_inter2_second(t, px.data(), py.data(), 12, 2));
    }
    // Smoothing i^2 with the degree-2 spline adds its variance 1/4.
    for (double t = 1.5; t <= 9.5; t += 0.1)
        EXPECT_NEAR(bspline_inter2_second(t, px.data(), py.data(), 12, 2), t * t + 0.25, 1e-11) << t;
    EXPECT_TRUE(std::isnan(bspline_inter2(1.0, nullptr, nullptr, 12, 2).real()));
    EXPECT_EQ(bspline_inter2(1.0, nullptr, nullptr, 12, 2).imag(), 0.0);
    EXPECT_TRUE(std::isnan(bspline_inter2(1.0, px.data(), nullptr, 12, 2).real()));
    // Short tables never read past their one entry.
    std::vector<double> bx = {NaN, 2.0, NaN}, by = {NaN, 5.0, NaN};
    for (double t = -3.0; t <= 3.0; t += 0.5) {
        std::complex<double> c = bspline_inter2(t, bx.data() + 1, by.data() + 1, 1, 2);
        EXPECT_NEAR(c.real(), 2.0, 1e-15);
        EXPECT_NEAR(c.imag(), 5.0, 1e-15);
    }
}

// ------------------------------------------------------------ bspline_inter_inv

TEST(BsplineInterInv, FindsParameterOnKnownCurve)
{
    std::vector<double> px, py;
    for (int i = 0; i < 10; i++) {
        px.push_back(10.0 * i);
        py.push_back(2.0 * i + 1.0);
    }
    stub::clear();
    // y(t) = 2t + 1 everywhere (linear continuation on both sides).
    double t = bspline_inter_inv(bspline_inter2_second, 7.5, px.data(), py.data(), 10, 2, 3.0, 4.0, 1e-9);
    EXPECT_NEAR(t, 3.25, 1e-9);
    // Needs widening from a far bracket, swapped bounds, equal bounds.
    t = bspline_inter_inv(bspline_inter2_second, 15.0, px.data(), py.data(), 10, 2, 1.0, 0.0, 1e-9);
    EXPECT_NEAR(t, 7.0, 1e-9);
    t = bspline_inter_inv(bspline_inter2_second, 3.0, px.data(), py.data(), 10, 2, 5.0, 5.0, 1e-9);
    EXPECT_NEAR(t, 1.0, 1e-9);
    // Bound itself matches.
    EXPECT_EQ(bspline_inter_inv(bspline_inter2_second, 5.0, px.data(), py.data(), 10, 2, 2.0, 3.0, 1e-9), 2.0);
    EXPECT_EQ(bspline_inter_inv(bspline_inter2_second, 7.0, px.data(), py.data(), 10, 2, 2.0, 3.0, 1e-9), 3.0);
    // x(t) = 10t: the first coordinate inverts too, also beyond the table.
    t = bspline_inter_inv(bspline_inter2_first, 123.4, px.data(), py.data(), 10, 2, 0.0, 1.0, 1e-9);
    EXPECT_NEAR(t, 12.34, 1e-9);
    EXPECT_TRUE(stub::console().empty());
}

TEST(BsplineInterInv, UnreachableValueEndsWithNaN)
{
    std::vector<double> px(8), py(8, 5.0);
    for (int i = 0; i < 8; i++) px[i] = i;
    stub::clear();
    // A flat curve never reaches 6: widening is capped.
    EXPECT_TRUE(std::isnan(bspline_inter_inv(bspline_inter2_second, 6.0, px.data(), py.data(), 8, 2, 0.0, 1.0, 1e-9)));
    // A bound outside the double range ends the search at once.
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_TRUE(std::isnan(bspline_inter_inv(bspline_inter2_second, 6.0, px.data(), py.data(), 8, 2, -inf, 0.0, 1e-9)));
    EXPECT_TRUE(std::isnan(bspline_inter_inv(bspline_inter2_second, 5.0, px.data(), py.data(), 8, 2, 0.0, NaN, 1e-9)));
    EXPECT_TRUE(stub::console().empty());
}

TEST(BsplineInterInv, NoConvergenceIsPosted)
{
    // A step of the curve between t = 3 and 4 that the bisection narrows
    // but never hits within an accuracy of 0.
    std::vector<double> px = {0, 1, 2, 3, 4, 5, 6}, py = {0, 0, 0, 0, 10, 10, 10};
    stub::clear();
    double t = bspline_inter_inv(bspline_inter2_second, 5.0 + 1e-13, px.data(), py.data(), 7, 0, 2.0, 5.0, 0.0);
    EXPECT_TRUE(std::isnan(t));
    EXPECT_TRUE(stub::posted("bspline_inter_inv: no convergence"));
}

// ------------------------------------------------------------ table-driven map

TEST(BsplineMap, LinearTablesGiveTheLinearMap)
{
    std::vector<double> d = linear_map_data();
    stub::clear();
    for (double x = -150.0; x <= 250.0; x += 0.7) {
        EXPECT_NEAR(qavex_t_Theta_bspline(x, d.data()), 2.0 * x, 1e-10) << x;
        EXPECT_NEAR(qavex_t_Theta_inv_bspline(2.0 * x, d.data()), x, 1e-10) << x;
        EXPECT_EQ(qavex_t_Theta_bspline(-x, d.data()), -qavex_t_Theta_bspline(x, d.data()));
    }
    EXPECT_DOUBLE_EQ(qavex_t_d_Theta_inf_bspline(0.0, d.data()), 2.0);
    EXPECT_TRUE(stub::console().empty());
}

TEST(BsplineMap, AbsentDataAndEmptyTables)
{
    stub::clear();
    EXPECT_EQ(qavex_t_Theta_bspline(1.0, nullptr), 0.0);
    EXPECT_EQ(qavex_t_Theta_inv_bspline(1.0, nullptr), 0.0);
    EXPECT_EQ(qavex_t_d_Theta_inf_bspline(0.0, nullptr), 0.0);
    EXPECT_EQ(stub::count_lines("Error qavex_t_Theta_inv_bspline"), 3);
    stub::clear();
    std::vector<double> d = bspline_data(0, {}, 0, {});
    EXPECT_TRUE(std::isnan(qavex_t_Theta_bspline(1.0, d.data())));
    EXPECT_TRUE(std::isnan(qavex_t_Theta_inv_bspline(1.0, d.data())));
    EXPECT_TRUE(std::isnan(qavex_t_d_Theta_inf_bspline(0.0, d.data())));
    EXPECT_TRUE(stub::console().empty());
}

TEST(BsplineMap, SmallestSlopeScansTheInverseTable)
{
    // Steps 1, 0.5, -0.25 (falling at entry 3), 1, 0.25: largest step 1.
    std::vector<double> d = bspline_data(0, {0.0, 1.0, 1.5, 1.25, 2.25, 2.5}, 0, {0.0, 1.0});
    stub::clear();
    EXPECT_DOUBLE_EQ(qavex_t_d_Theta_inf_bspline(0.0, d.data()), 1.0);
    EXPECT_TRUE(stub::posted("Warping map not monotone increasing at datapoint 3"));
    EXPECT_EQ(stub::console().size(), 1u);
    // No rising step at all: +infinity, one line per falling step.
    std::vector<double> f = bspline_data(0, {3.0, 2.0, 1.0}, 0, {0.0});
    stub::clear();
    EXPECT_EQ(qavex_t_d_Theta_inf_bspline(0.0, f.data()), std::numeric_limits<double>::infinity());
    EXPECT_TRUE(stub::posted("Warping map not monotone increasing at datapoint 1"));
    EXPECT_TRUE(stub::posted("Warping map not monotone increasing at datapoint 2"));
    EXPECT_EQ(stub::console().size(), 2u);
}
