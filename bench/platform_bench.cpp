// Figures that differ between processors, printed so that two builds (for
// example x86-64 natively and arm64 under user-mode emulation) can be set
// side by side:
//  - the type long double is on this target, and the cost of the exact
//    synthesis's extended-precision add against the same add in double and
//    as one fused multiply-add, with the largest difference of each from the
//    extended result (alternating rounds, min and median);
//  - a hash of the designer's windows at the demo settings (C_d 6, C_q 2),
//    double and float copies, and of the fast and exact analysis of noise.
//
//   cmake --build build --target platform_bench && build/platform_bench [rounds]
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <vector>

#include "bank_fixture.h"

namespace {

double now_s() { return (double)std::clock() / CLOCKS_PER_SEC; }

// The exact synthesis's complex add (see invqavex_t.cpp), and two forms in
// double precision.
void add_extended(double *y, const float *wr, const float *wi, int n, long double vr, long double vi)
{
    for (int m = 0; m < n; m++) y[m] = (double)(((long double)y[m] + vr * (long double)wr[m]) - vi * (long double)wi[m]);
}

void add_double(double *y, const float *wr, const float *wi, int n, double vr, double vi)
{
    for (int m = 0; m < n; m++) y[m] = (y[m] + vr * (double)wr[m]) - vi * (double)wi[m];
}

void add_fused(double *y, const float *wr, const float *wi, int n, double vr, double vi)
{
    for (int m = 0; m < n; m++) y[m] = std::fma(-vi, (double)wi[m], std::fma(vr, (double)wr[m], y[m]));
}

// Units in the last place between two doubles of the same sign region.
double ulps(double a, double b)
{
    if (a == b) return 0;
    return std::fabs(a - b) / std::ldexp(1.0, std::ilogb(std::max(std::fabs(a), std::fabs(b))) - 52);
}

std::uint64_t fnv(std::uint64_t h, const void *data, std::size_t n)
{
    const unsigned char *p = (const unsigned char *)data;
    for (std::size_t i = 0; i < n; i++) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

void extended_add(int rounds)
{
    std::printf("long double: %d mantissa bits, %d bytes\n", LDBL_MANT_DIG, (int)sizeof(long double));
    const int n = 4096, coeffs = 400;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> wr(n), wi(n);
    for (int m = 0; m < n; m++) wr[m] = u(rng), wi[m] = u(rng);
    std::vector<double> vr(coeffs), vi(coeffs);
    for (int k = 0; k < coeffs; k++) vr[k] = u(rng) * 1e-3, vi[k] = u(rng) * 1e-3;
    std::vector<double> ye(n), yd(n), yf(n);
    std::vector<double> te, td, tf;
    for (int r = 0; r < rounds; r++) {
        std::fill(ye.begin(), ye.end(), 0.0);
        std::fill(yd.begin(), yd.end(), 0.0);
        std::fill(yf.begin(), yf.end(), 0.0);
        double t0 = now_s();
        for (int k = 0; k < coeffs; k++) add_extended(ye.data(), wr.data(), wi.data(), n, vr[k], vi[k]);
        double t1 = now_s();
        for (int k = 0; k < coeffs; k++) add_double(yd.data(), wr.data(), wi.data(), n, vr[k], vi[k]);
        double t2 = now_s();
        for (int k = 0; k < coeffs; k++) add_fused(yf.data(), wr.data(), wi.data(), n, vr[k], vi[k]);
        double t3 = now_s();
        te.push_back(t1 - t0), td.push_back(t2 - t1), tf.push_back(t3 - t2);
    }
    auto report = [&](const char *name, std::vector<double> t, const std::vector<double> &y) {
        std::sort(t.begin(), t.end());
        double worst = 0;
        for (int m = 0; m < n; m++) worst = std::max(worst, ulps(y[m], ye[m]));
        const double per = 1e9 / ((double)n * coeffs);
        std::printf("  %-22s %8.2f / %8.2f ns per element (min / median), %6.2fx extended, largest difference "
                    "from extended %.0f ulp\n",
                    name, t[0] * per, t[t.size() / 2] * per, te.front() > 0 ? t[0] / *std::min_element(te.begin(), te.end()) : 0.0,
                    worst);
    };
    report("extended (long double)", te, ye);
    report("double", td, yd);
    report("fused multiply-add", tf, yf);
}

void designer_hashes()
{
    t_pd *bank = stub::create("qbank_tilde", {});
    stub::send(bank, "set_C_d", {stub::fa(6)});
    stub::send(bank, "set_C_q", {stub::fa(2)});
    stub::send(bank, "initialize", {});
    stub::send(bank, "make", {stub::fa(-1)});
    stub::send(bank, "copy_pac2paf", {stub::fa(-1)});
    std::vector<t_sample> pv(64), dual(64);
    auto bcalls = stub::dsp(bank, {pv.data(), dual.data()});
    stub::run(bcalls[0]);
    const sQbank_Param *p = qavex_t_read_param_block(pv.data()).p;
    const sQbank_t *x = (const sQbank_t *)bank;
    std::uint64_t hd = 1469598103934665603ull, hf = hd;
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        if (const pac_type *w = x->pac[q]) hd = fnv(hd, w, sizeof(pac_type) * qavex_t_window_length(w));
        const paf_type *r = p->paf_r[q], *i = p->paf_i[q];
        if (!r) continue;
        const std::int32_t L = qavex_t_window_length(r);
        hf = fnv(hf, r, sizeof(paf_type) * L);
        if (i) hf = fnv(hf, i, sizeof(paf_type) * L);
    }
    std::printf("designer C_d 6 C_q 2: %d bands, windows (double) %016llx, windows (float) %016llx\n",
                (int)p->iq_compute_sup, (unsigned long long)hd, (unsigned long long)hf);
    for (int fast = 0; fast <= 1; fast++) {
        t_pd *a = stub::create("qavex_tilde", {});
        stub::send(a, "set_fast", {stub::fa(fast)});
        std::vector<t_sample> in(64), outG(64), outC(64);
        auto calls = stub::dsp(a, {in.data(), pv.data(), outG.data(), outC.data()});
        std::mt19937 rng(3);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::uint64_t h = 1469598103934665603ull;
        long n = 0;
        for (int b = 0; b < 2000; b++) {
            for (auto &v : in) v = u(rng);
            stub::run(bcalls[0]);
            stub::run(calls[0]);
            for (const Coeff &c : coefficients_of(outG.data())) {
                h = fnv(h, &c.re, sizeof c.re);
                h = fnv(h, &c.im, sizeof c.im);
                n++;
            }
        }
        std::printf("  %s analysis of 2000 blocks of noise: %ld coefficients, hash %016llx\n",
                    fast ? "fast " : "exact", n, (unsigned long long)h);
        stub::destroy(a);
    }
    stub::destroy(bank);
}

}  // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    qavex_t_setup();
    qbank_t_setup();
    extended_add(rounds);
    designer_hashes();
    return 0;
}
