// Figures that differ between processors, printed so that two builds (for
// example x86-64 natively and arm64 under user-mode emulation) can be set
// side by side:
//  - the type long double is on this target, and the cost of the exact
//    synthesis's extended-precision add against the same add in double and
//    as one fused multiply-add, with the largest difference of each from the
//    extended result (alternating rounds, min and median);
//  - the designer over several settings: its build time and a hash of each
//    output (windows in double and float, hops and lengths);
//  - the exact and fast analysis and synthesis of noise at the demo settings
//    (C_d 6, C_q 2): processor time per audio second, the fast engines'
//    ratios to the exact ones, and a hash of each output.
// --write DIR keeps every output in DIR; --compare DIR sets each against
// the same output of another build's run (identical, or how many values
// differ and by how much).
//
//   cmake --build build --target platform_bench && build/platform_bench [rounds [blocks]] [--write DIR | --compare DIR]
#include <algorithm>
#include <cctype>
#include <filesystem>
#include <limits>
#include <string>
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
#include "invqavex_t.h"

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

// Outputs kept for comparing two builds: each named array is hashed, and
// written to or compared with the same array from another build's run.
struct Outputs {
    std::string write_dir, compare_dir;
    int identical = 0, different = 0, missing = 0;

    static std::string file_of(const std::string &dir, std::string name)
    {
        for (char &c : name)
            if (!std::isalnum((unsigned char)c)) c = '_';
        return dir + "/" + name + ".bin";
    }

    // doubles: values of the build's double type; floats: of its float type.
    template <class T>
    void add(const std::string &name, const std::vector<T> &v)
    {
        std::uint64_t h = fnv(1469598103934665603ull, v.data(), v.size() * sizeof(T));
        std::printf("    %-44s %8zu values, hash %016llx", name.c_str(), v.size(), (unsigned long long)h);
        if (!write_dir.empty()) {
            std::FILE *f = std::fopen(file_of(write_dir, name).c_str(), "wb");
            if (f) {
                std::fwrite(v.data(), sizeof(T), v.size(), f);
                std::fclose(f);
            }
        }
        if (!compare_dir.empty()) compare(name, v);
        std::printf("\n");
    }

    template <class T>
    void compare(const std::string &name, const std::vector<T> &v)
    {
        std::vector<T> o(v.size());
        std::FILE *f = std::fopen(file_of(compare_dir, name).c_str(), "rb");
        const bool same_size = f && std::fread(o.data(), sizeof(T), o.size(), f) == o.size() && std::fgetc(f) == EOF;
        if (f) std::fclose(f);
        if (!same_size) {
            std::printf(", not in the other run or of another size");
            missing++;
            return;
        }
        long n = 0;
        double worst_ulp = 0, worst_abs = 0, e2 = 0;
        const int digits = std::numeric_limits<T>::digits;
        for (std::size_t i = 0; i < v.size(); i++) {
            e2 += (double)v[i] * (double)v[i];
            if (std::memcmp(&v[i], &o[i], sizeof(T)) == 0) continue;
            n++;
            const double a = v[i], b = o[i], d = std::fabs(a - b);
            worst_abs = std::max(worst_abs, d);
            const double m = std::max(std::fabs(a), std::fabs(b));
            if (m > 0) worst_ulp = std::max(worst_ulp, d / std::ldexp(1.0, std::ilogb(m) - (digits - 1)));
        }
        if (n == 0) {
            std::printf(", identical");
            identical++;
            return;
        }
        const double rms = std::sqrt(e2 / (double)v.size());
        std::printf(", %ld differ: largest %.0f ulp, %.2e of the RMS", n, worst_ulp, rms > 0 ? worst_abs / rms : 0.0);
        different++;
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double minimum(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

struct Design {
    const char *name;
    std::vector<std::pair<const char *, float>> msgs;
};

// A designer at the given settings; its build time (processor seconds) in
// seconds.
t_pd *design(const Design &d, double &seconds)
{
    t_pd *bank = stub::create("qbank_tilde", {});
    const double t0 = now_s();
    for (auto [sel, v] : d.msgs) stub::send(bank, sel, {stub::fa(v)});
    seconds = now_s() - t0;
    return bank;
}

// The designer's windows (double and float copies), hops and scalars.
void designer_outputs(Outputs &out, const std::string &name, t_pd *bank)
{
    const sQbank_t *x = (const sQbank_t *)bank;
    const sQbank_Param *p = &x->sParam;
    std::vector<double> wd, hops{p->_K, p->_a, p->_b, p->dWinlength_window, p->dWinlength_compute};
    std::vector<float> wf;
    for (std::int32_t q = 0; q < p->iq_compute_sup; q++) {
        if (const pac_type *w = x->pac[q])
            for (std::int32_t m = 0; m < qavex_t_window_length(w); m++) wd.push_back(w[m].real()), wd.push_back(w[m].imag());
        if (p->aldDq_real) hops.push_back(p->aldDq_real[q]);
        if (p->aldDq) hops.push_back(p->aldDq[q]);
        if (p->aiDq) hops.push_back(p->aiDq[q]);
        const paf_type *r = p->paf_r[q], *i = p->paf_i[q];
        if (!r) continue;
        const std::int32_t L = qavex_t_window_length(r);
        wf.insert(wf.end(), r, r + L);
        if (i) wf.insert(wf.end(), i, i + L);
    }
    out.add(name + ", windows (double)", wd);
    out.add(name + ", windows (float)", wf);
    out.add(name + ", hops and lengths", hops);
}

// Every block's coefficients from the analysis, as one list per block.
typedef std::vector<std::vector<sQavex_Coeff>> Recording;

// Analysis of blocks of noise (exact or fast); processor seconds.
double analyse(const sQbank_Param *P, int blocks, bool fast, Recording &rec)
{
    t_pd *a = stub::create("qavex_tilde", {});
    stub::send(a, "set_num_threads", {stub::fa(1)});
    stub::send(a, "set_fast", {stub::fa(fast)});
    std::vector<t_sample> in(64), inC(64), g(64), c(64);
    auto call = stub::dsp(a, {in.data(), inC.data(), g.data(), c.data()}).at(0);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    rec.clear();
    double t = 0;
    for (int b = 0; b < blocks; b++) {
        for (auto &v : in) v = u(rng);
        qavex_t_write_empty_block(inC.data());
        stub::publish_param(inC.data(), P);
        const double t0 = now_s();
        stub::run(call);
        t += now_s() - t0;
        sQavex_CoeffIn ci = qavex_t_read_coeff_block(g.data());
        std::vector<sQavex_Coeff> all;
        for (int k = 0; k < ci.n; k++)
            for (int e = 0; e < ci.lists[k][0].numCoeff; e++) all.push_back(ci.lists[k][e]);
        rec.push_back(all);
    }
    stub::destroy(a);
    return t;
}

// Synthesis of a recording (exact or fast); processor seconds.
double synthesise(const sQbank_Param *P, const Recording &rec, bool fast, std::vector<float> &out)
{
    t_pd *x = stub::create("invqavex_tilde", {});
    stub::send(x, "set_fast", {stub::fa(fast)});
    std::vector<t_sample> g(64), c(64), o(64);
    auto call = stub::dsp(x, {g.data(), c.data(), o.data()}).at(0);
    out.clear();
    double t = 0;
    std::vector<sQavex_Coeff> list;
    sQavex_Coeff *lists[1];
    for (const auto &b : rec) {
        list = b;
        if (list.empty()) list.push_back(sQavex_Coeff{});
        list[0].numCoeff = (std::int32_t)b.size();
        lists[0] = list.data();
        stub::publish_coeff(g.data(), lists, 1);
        qavex_t_write_empty_block(c.data());
        stub::publish_param(c.data(), P);
        const double t0 = now_s();
        stub::run(call);
        t += now_s() - t0;
        out.insert(out.end(), o.begin(), o.end());
    }
    stub::destroy(x);
    return t;
}

std::vector<double> values_of(const Recording &rec)
{
    std::vector<double> v;
    for (const auto &b : rec)
        for (const sQavex_Coeff &c : b) v.push_back(c.val_r), v.push_back(c.val_i);
    return v;
}

// The designer over several settings: build time and outputs; then the
// exact and fast analysis and synthesis of noise at the demo settings, their
// processor time (alternating rounds) and outputs.
void designer_and_engines(Outputs &out, int rounds, int blocks)
{
    const std::vector<Design> designs = {
        {"start values", {{"make", -1}, {"copy_pac2paf", -1}}},
        {"start values, shortened", {{"make", -1}, {"shorten", -1}, {"copy_pac2paf", -1}}},
        {"C_d 6 C_q 2", {{"set_C_d", 6}, {"set_C_q", 2}, {"initialize", 0}, {"make", -1}, {"copy_pac2paf", -1}}},
        {"C_d 6 C_q 2, shortened",
         {{"set_C_d", 6}, {"set_C_q", 2}, {"initialize", 0}, {"make", -1}, {"shorten", -1}, {"copy_pac2paf", -1}}},
        {"C_d 8 C_q 2, linear map",
         {{"set_theta_type", LIN}, {"set_C_d", 8}, {"set_C_q", 2}, {"initialize", 0}, {"make", -1}, {"copy_pac2paf", -1}}},
        {"C_d 4, cosine windows, shortened",
         {{"set_window_type", WIN_COS}, {"set_C_d", 4}, {"initialize", 0}, {"make", -1}, {"shorten", -1},
          {"copy_pac2paf", -1}}},
    };
    std::printf("designer (processor ms to build, then each output):\n");
    double demo_build = 0;
    for (const Design &d : designs) {
        double t;
        t_pd *bank = design(d, t);
        std::printf("  %s: %d bands, built in %.1f ms\n", d.name, (int)((sQbank_t *)bank)->sParam.iq_compute_sup,
                    t * 1e3);
        if (std::string(d.name) == "C_d 6 C_q 2") demo_build = t;
        designer_outputs(out, d.name, bank);
        stub::destroy(bank);
    }

    double t;
    t_pd *bank = design(designs[2], t);
    const sQbank_Param *P = &((sQbank_t *)bank)->sParam;
    const double audio = blocks * 64 / QAVEX_SR;
    std::vector<double> tea, tfa, tes, tfs;
    Recording exact, fast;
    std::vector<float> ye, yf;
    for (int r = 0; r < rounds; r++) {
        tea.push_back(analyse(P, blocks, false, exact) / audio);
        tfa.push_back(analyse(P, blocks, true, fast) / audio);
        tes.push_back(synthesise(P, exact, false, ye) / audio);
        tfs.push_back(synthesise(P, exact, true, yf) / audio);
    }
    std::printf("engines at C_d 6 C_q 2, %d blocks of noise, %d alternating rounds, processor s per audio s "
                "(min / median):\n",
                blocks, rounds);
    std::printf("  exact analysis  %8.4f / %8.4f\n", minimum(tea), median(tea));
    std::printf("  fast analysis   %8.4f / %8.4f   fast / exact %.3f (min) %.3f (median)\n", minimum(tfa), median(tfa),
                minimum(tfa) / minimum(tea), median(tfa) / median(tea));
    std::printf("  exact synthesis %8.4f / %8.4f   exact synthesis / exact analysis %.3f (min)\n", minimum(tes),
                median(tes), minimum(tes) / minimum(tea));
    std::printf("  fast synthesis  %8.4f / %8.4f   fast / exact %.3f (min) %.3f (median)\n", minimum(tfs), median(tfs),
                minimum(tfs) / minimum(tes), median(tfs) / median(tes));
    std::printf("  designer build at C_d 6 C_q 2 / exact analysis of one audio second: %.2f\n",
                demo_build / minimum(tea));
    std::printf("engine outputs:\n");
    out.add("exact analysis of noise", values_of(exact));
    out.add("fast analysis of noise", values_of(fast));
    out.add("exact synthesis", ye);
    out.add("fast synthesis", yf);
    stub::destroy(bank);
}

}  // namespace

int main(int argc, char **argv)
{
    Outputs out;
    std::vector<int> numbers;
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        if (a == "--write" && i + 1 < argc) out.write_dir = argv[++i];
        else if (a == "--compare" && i + 1 < argc) out.compare_dir = argv[++i];
        else numbers.push_back(std::atoi(argv[i]));
    }
    const int rounds = numbers.size() > 0 ? numbers[0] : 5;
    const int blocks = numbers.size() > 1 ? numbers[1] : 2000;
    if (!out.write_dir.empty()) std::filesystem::create_directories(out.write_dir);
    qavex_t_setup();
    invqavex_t_setup();
    qbank_t_setup();
    extended_add(rounds);
    designer_and_engines(out, rounds, blocks);
    if (!out.compare_dir.empty())
        std::printf("against %s: %d outputs identical, %d differ, %d missing\n", out.compare_dir.c_str(),
                    out.identical, out.different, out.missing);
    return 0;
}
