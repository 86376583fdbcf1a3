// Dual windows: the reconstruction identity on synthetic banks, the dual of
// the dual, the designer's third outlet and when it goes out of date, and
// the failures of "make_dual".
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bank_fixture.h"
#include "dual_windows.h"

namespace {

using stub::fa;
using stub::sa;
typedef std::complex<double> cd;

// A bank of complex float windows owned by the test, each band with a hop
// and a phase.
struct FloatBank : HandBank {
    std::vector<std::int32_t> phases;
    FloatBank() : HandBank(0) {}
    int n() const { return (int)r.size(); }
    cd at(int q, int k) const { return cd(r[q][k], i[q][k]); }
    void add(const std::vector<cd> &w, int hop, int phase)
    {
        std::vector<float> wr, wi;
        for (const cd &v : w) {
            wr.push_back((paf_type)v.real());
            wi.push_back((paf_type)v.imag());
        }
        set(add_band(hop), wr, wi);
        phases.push_back(phase);
    }
    // Duals of this bank into another, empty one.
    eQavexDual dual(FloatBank &out) const
    {
        for (int q = 0; q < n(); q++) out.add_band(hops[q]);
        out.phases = phases;
        sQavex_DualInfo info;
        return qavex_dual_windows(n(), r.data(), i.data(), hops.data(), out.r.data(), out.i.data(), &info);
    }
};

// Gaussian bands: band q centred at w_q (radians per sample) with time
// spread sigma_q samples, cut at +-6.5 sigma (below 1e-9), hop sigma/1.5 so
// that neighbouring lattice images overlap by less than 1e-8. The response
// must vary slowly against each band's width, or its inverse needs more time
// than the window has; so, as in the designer, band 0 (real, its own
// mirror) has gain sqrt(d_0) and the others sqrt(2 d_q), and the bands continue
// past the Nyquist frequency with a taper whose mirror adds up to 1 there.
// Widths and a slow gain ripple, both even about 0 and the Nyquist
// frequency like every response to a real input, keep it far from flat.
void gaussian_bank(FloatBank &b, double sigma_low, double sigma_high, double spacing, std::mt19937 &rng)
{
    const double a = 0.6;  // half width of the crossing at the Nyquist frequency
    auto sigma_at = [&](double w) { return sigma_low * std::pow(sigma_high / sigma_low, (1 - std::cos(w)) / 2); };
    auto taper = [&](double w) {
        if (w <= M_PI - a) return 1.0;
        double c = std::cos((w - (M_PI - a)) * M_PI / (4 * a));
        return c * c;
    };
    for (double w = 0; w < M_PI + a; w += spacing / sigma_at(w)) {
        double s = sigma_at(w);
        int half = (int)std::ceil(6.5 * s);
        int hop = std::max(1, (int)(s / 1.5));
        double gain = std::sqrt((w == 0 ? 1.0 : 2.0) * hop) * std::sqrt(taper(w)) * (1.0 + 0.3 * std::cos(3 * w));
        std::vector<cd> win(2 * half + 1);
        for (int k = 0; k < (int)win.size(); k++) {
            double t = k - half;
            win[k] = gain * std::exp(-t * t / (2 * s * s)) * std::polar(1.0, w * t);
        }
        b.add(win, hop, (int)(rng() % (unsigned)hop));
    }
}

// The analysis and synthesis exactly: band q falls due at the samples n
// with (n + 1 + phase) divisible by its hop and takes
// c = sum_k x(n-L+1+k) conj(w[k]) / 44100; the synthesis adds Re(c g[k]) at
// n-L+1+k (the common latency left out). x is zero outside 0..N-1; the
// result covers every coefficient that sees x. Returns the error in dB.
double round_trip_db(const FloatBank &w, const FloatBank &g, const std::vector<double> &x)
{
    int N = (int)x.size(), Lmax = 0;
    for (int q = 0; q < w.n(); q++) Lmax = std::max(Lmax, w.length(q));
    std::vector<double> y(N + 2 * Lmax, 0.0);  // y[t + Lmax] is sample t
    for (int q = 0; q < w.n(); q++) {
        int L = w.length(q), d = w.hops[q];
        for (int n = 0; n < N + L - 1; n++) {
            if ((n + 1 + w.phases[q]) % d != 0) continue;
            cd c = 0;
            for (int k = 0; k < L; k++) {
                int t = n - L + 1 + k;
                if (t >= 0 && t < N) c += x[t] * std::conj(w.at(q, k));
            }
            c /= 44100.0;
            for (int k = 0; k < L; k++) y[n - L + 1 + k + Lmax] += (c * g.at(q, k)).real();
        }
    }
    double e = 0, s = 0;
    for (int t = -Lmax; t < N + Lmax; t++) {
        double xt = t >= 0 && t < N ? x[t] : 0.0;
        e += (y[t + Lmax] - xt) * (y[t + Lmax] - xt);
        s += xt * xt;
    }
    return 10 * std::log10(e / s);
}

struct PainlessCase {
    const char *name;
    double sigma_low, sigma_high, spacing;
};

}  // namespace

// Banks whose lattices do not alias: the duals reconstruct to far below
// -100 dB, the windows themselves do not come near; the dual of the dual
// gives the windows back.
TEST(DualWindows, PainlessBanksReconstructAndDualOfDualIsTheWindow)
{
    const PainlessCase cases[] = {
        {"widths falling with frequency", 40, 8, 0.8},
        {"equal widths", 14, 14, 0.7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::mt19937 rng(7);
        FloatBank w, g, h;
        gaussian_bank(w, c.sigma_low, c.sigma_high, c.spacing, rng);
        ASSERT_GT(w.n(), 10);
        ASSERT_EQ(w.dual(g), DUAL_OK);
        std::normal_distribution<double> nd;
        std::vector<double> x(3000);
        for (auto &v : x) v = nd(rng);
        double own = round_trip_db(w, w, x), dual = round_trip_db(w, g, x);
        std::printf("%s: %d bands, own windows %.1f dB, duals %.1f dB\n", c.name, w.n(), own, dual);
        EXPECT_LT(dual, -100);
        EXPECT_GT(own, -20);
        for (int q = 0; q < w.n(); q++) ASSERT_EQ(g.length(q), w.length(q));

        ASSERT_EQ(g.dual(h), DUAL_OK);
        double worst = 0, peak = 0;
        for (int q = 0; q < w.n(); q++)
            for (int k = 0; k < w.length(q); k++) {
                worst = std::max(worst, std::abs(h.at(q, k) - w.at(q, k)));
                peak = std::max(peak, std::abs(w.at(q, k)));
            }
        EXPECT_LT(worst, 1e-5 * peak);
    }
}

namespace {

class DualBank : public DesignerTest {
protected:
    // A small bank (17 bands, windows of 2926 samples) with float windows.
    void windows()
    {
        send("set_C_b", {fa(1)});
        send("set_C_T_c", {fa(1)});
        send("initialize");
        send("make", {fa(-1)});
        send("copy_pac2paf", {fa(-1)});
    }
    // DSP with the third outlet connected or not; one tick runs both outlets.
    void dsp(bool connected)
    {
        stub::set_connected(x->sDual.x_outD, connected);
        calls = stub::dsp((t_pd *)x, {vc, vd});
        ASSERT_EQ(calls.size(), 2u);
    }
    void tick()
    {
        for (auto &v : vd) v = 0.5f;
        for (auto &c : calls) stub::run(c);
    }
    // The record on the third outlet after a tick, null for an empty block.
    const sQbank_Param *dual_out()
    {
        tick();
        auto in = qavex_t_read_param_block(vd);
        if (in.tag != QAVC_TAG) {
            for (auto v : vd) EXPECT_EQ(v, 0.0f);
            return nullptr;
        }
        return in.p;
    }
    // Blocks taken and not returned, from now on.
    static inline long live = 0;
    static void count_allocations()
    {
        live = 0;
        qavex_t_raw_malloc = [](std::size_t n) -> void * {
            live++;
            return std::malloc(n);
        };
        qavex_t_raw_free = [](void *p) {
            live--;
            std::free(p);
        };
    }
    int told() { return stub::count_lines("qbank: dual windows out of date, send make_dual"); }
    t_sample vc[64], vd[64];
    std::vector<stub::DspCall> calls;
};

struct Message {
    const char *sel;
    std::vector<t_atom> args;
};

}  // namespace

// The dual record is the designer's record with other float windows; every
// message that changes windows or layout empties the third outlet, says so
// once, and the next successful make_dual brings the duals back.
TEST_F(DualBank, WindowChangesEmptyTheOutletUntilMakeDual)
{
    windows();
    dsp(true);
    const std::vector<Message> changes = {
        {"initialize", {}},
        {"make", {fa(-1)}},
        {"make", {fa(3)}},
        {"shorten", {fa(-1)}},
        {"copy_pac2paf", {fa(-1)}},
        {"copy_paf2pac", {fa(-1)}},
        {"abs", {fa(-1)}},
        {"componentabs", {fa(2)}},
        {"ln", {fa(2)}},
        {"mult", {fa(-1), sa("TIMES_VAL"), fa(2), fa(0)}},
        {"cut", {fa(-1), fa(0), fa(1)}},
        {"set_nan_to_zero", {fa(-1)}},
        {"set_inf_to_zero", {fa(-1)}},
        {"normalize", {fa(-1)}},
        {"cycle", {fa(-1), fa(5)}},
        {"fft", {fa(2)}},
        {"floating_average", {fa(2), fa(1), fa(0)}},
        {"differentiate", {fa(-1)}},
        {"integrate", {fa(-1)}},
        {"imag_plus_real", {fa(-1)}},
        {"make_dc_offset", {fa(-1), fa(1), fa(0), fa(0)}},
        {"prolong", {fa(2), fa(100), fa(0), fa(0)}},
    };
    const std::vector<Message> keeps = {
        {"bang", {}},
        {"set_C_d", {fa(8)}},
        {"print_band", {fa(-1)}},
        {"paf2list", {fa(3)}},
        {"inner_product", {fa(1), fa(2)}},
        {"length_of_vector", {fa(-1)}},
        {"array_synopsis", {fa(-1)}},
        {"make_dc_offset", {fa(-1), fa(0), fa(0), fa(0)}},
        {"get_window_length_paf", {fa(3)}},
        {"test", {fa(0)}},
    };
    auto fresh = [&]() {
        if (!x->sParam.paf_r || !x->sParam.paf_r[0]) windows();
        send("make_dual");
        const sQbank_Param *d = dual_out();
        EXPECT_NE(d, nullptr);
        return d;
    };
    for (const auto &m : changes) {
        SCOPED_TRACE(m.sel);
        const sQbank_Param *d = fresh();
        ASSERT_NE(d, nullptr);
        stub::clear();
        send(m.sel, m.args);
        EXPECT_EQ(dual_out(), nullptr);
        EXPECT_EQ(dual_out(), nullptr);
        EXPECT_EQ(told(), 1);
        // The primal channel is untouched.
        EXPECT_EQ(qavex_t_read_param_block(vc).p, &x->sParam);
    }
    for (const auto &m : keeps) {
        SCOPED_TRACE(m.sel);
        const sQbank_Param *d = fresh();
        ASSERT_NE(d, nullptr);
        stub::clear();
        send(m.sel, m.args);
        const sQbank_Param *e = dual_out();
        ASSERT_EQ(e, d);
        EXPECT_EQ(told(), 0);
        // Same record but its windows, with the settings of the moment.
        const sQbank_Param &p = x->sParam;
        EXPECT_EQ(e->C_d, p.C_d);
        EXPECT_EQ(e->iq_compute_sup, p.iq_compute_sup);
        EXPECT_EQ(e->iLongestFrame_paf, p.iLongestFrame_paf);
        EXPECT_EQ(e->aiDq, p.aiDq);
        EXPECT_NE(e->paf_r, p.paf_r);
        EXPECT_NE(e->iGeneration, p.iGeneration);
        for (int q = 0; q < p.iq_compute_sup; q++) {
            ASSERT_NE(e->paf_r[q], nullptr);
            EXPECT_EQ(qavex_t_window_length(e->paf_r[q]), qavex_t_window_length(p.paf_r[q]));
            EXPECT_EQ(qavex_t_window_length(e->paf_i[q]), qavex_t_window_length(p.paf_i[q]));
            EXPECT_NE(e->paf_r[q][qavex_t_window_length(p.paf_r[q]) / 2],
                      p.paf_r[q][qavex_t_window_length(p.paf_r[q]) / 2]);
        }
    }
}

// Only a designer whose third outlet is connected, or that was asked for
// duals, tells why the outlet is empty; the others stay as quiet as before.
TEST_F(DualBank, OutOfDateIsToldOnlyWhereDualsAreUsed)
{
    dsp(false);
    EXPECT_EQ(dual_out(), nullptr);
    windows();
    EXPECT_EQ(dual_out(), nullptr);
    EXPECT_EQ(told(), 0);
    dsp(true);
    EXPECT_EQ(dual_out(), nullptr);
    EXPECT_EQ(dual_out(), nullptr);
    EXPECT_EQ(told(), 1);
    dsp(false);
    send("make_dual");
    ASSERT_NE(dual_out(), nullptr);
    send("make", {fa(-1)});
    EXPECT_EQ(dual_out(), nullptr);
    EXPECT_EQ(told(), 2);
}

// make_dual without usable windows, or without memory, reports one clear
// error, leaves the third outlet empty and the designer working.
TEST_F(DualBank, FailuresLeaveNoDualsAndOneError)
{
    dsp(false);
    const char *none = "qbank: make_dual: no float windows (send make and copy_pac2paf first)";
    // No windows yet.
    send("make_dual");
    EXPECT_TRUE(stub::errored(none));
    EXPECT_EQ(dual_out(), nullptr);
    // A bank of 0 bands.
    stub::clear();
    qavex_t_fail_after = 0;
    send("initialize");
    ASSERT_EQ(x->sParam.iq_compute_sup, 0);
    send("make_dual");
    EXPECT_TRUE(stub::errored(none));
    EXPECT_EQ(dual_out(), nullptr);
    // Windows of length 0: all of them, then one band only.
    windows();
    for (int q = 0; q < x->sParam.iq_compute_sup; q++) x->sParam.paf_r[q][-5] = x->sParam.paf_i[q][-5] = 0;
    stub::clear();
    send("make_dual");
    EXPECT_TRUE(stub::errored(none));
    EXPECT_EQ(dual_out(), nullptr);
    windows();
    x->sParam.paf_r[3][-5] = 0;
    send("make_dual");
    const sQbank_Param *d = dual_out();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->paf_r[3], nullptr);
    EXPECT_NE(d->paf_r[4], nullptr);
    // A value that is not finite, and windows that pass nothing.
    windows();
    x->sParam.paf_i[5][7] = NAN;
    stub::clear();
    send("make_dual");
    EXPECT_TRUE(stub::errored("qbank: make_dual: window 5 holds values that are not finite"));
    EXPECT_EQ(dual_out(), nullptr);
    send("set_window_type", {fa(0)});
    send("make", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    stub::clear();
    send("make_dual");
    EXPECT_TRUE(stub::errored("qbank: make_dual: the windows pass no frequency"));
    EXPECT_EQ(dual_out(), nullptr);

    // Every allocation of make_dual failing in turn; nothing leaks.
    send("set_window_type", {fa(7)});
    windows();
    count_allocations();
    int failures = 0;
    for (int k = 0;; k++) {
        SCOPED_TRACE(k);
        live = 0;  // no duals exist: the attempt before failed
        stub::clear();
        qavex_t_fail_after = k;
        send("make_dual");
        bool failed = qavex_t_fail_after == -1;
        qavex_t_fail_after = -1;
        if (!failed) {
            EXPECT_NE(dual_out(), nullptr);
            EXPECT_EQ(errors(), 0);
            break;
        }
        failures++;
        EXPECT_TRUE(stub::errored("qbank: make_dual: Out of memory"));
        EXPECT_EQ(dual_out(), nullptr);
        EXPECT_EQ(live, 0);
    }
    EXPECT_GT(failures, 2 * 17);
}

// Deleting the designer releases the duals with everything else.
TEST_F(DualBank, DeletionReleasesTheDuals)
{
    count_allocations();
    stub::destroy((t_pd *)x);
    live = 0;
    x = (sQbank_t *)stub::create("qbank_tilde");
    windows();
    send("make_dual");
    send("make_dual");
    ASSERT_NE(x->sDual.psDual, nullptr);
    stub::destroy((t_pd *)x);
    x = nullptr;
    EXPECT_EQ(live, 0);
}
