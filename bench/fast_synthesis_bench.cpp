// Synthesis cost, exact against fast, on coefficient streams recorded from
// the analysis of white noise: processor seconds per second of audio for the
// synthesis block routine alone, over alternating rounds (min and median),
// the longest single block of each after the first, the fast mode's first
// block (it builds its state there), and the largest difference of the fast
// output relative to the exact output's RMS.
//
//   cmake --build build --target fast_synthesis_bench && build/fast_synthesis_bench [seconds] [rounds]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "fast_synthesis.h"
#include "invqavex_t.h"
#include "pd_stub.h"
#include "qavex_t.h"
#include "qbank_t.h"

namespace {

struct Setting {
    const char *name;
    std::vector<std::pair<const char *, float>> msgs;
};

// One block's coefficients, copied out of the analysis's lists.
struct Recorded {
    std::vector<std::vector<sQavex_Coeff>> blocks;
};

double cpu_seconds() { return (double)std::clock() / CLOCKS_PER_SEC; }

// Runs the synthesis over the recording; returns processor seconds, fills
// out with the output, first with the first block (where the fast mode
// builds its state) and worst with the longest block after it.
double synthesise(const sQbank_Param *P, const Recorded &rec, bool fast, std::vector<float> &out, double &first,
                  double &worst)
{
    worst = 0;
    first = -1;
    t_pd *x = stub::create("invqavex_tilde", {});
    if (fast) stub::send(x, "set_fast", {stub::fa(1)});
    std::vector<t_sample> g(64), c(64), o(64);
    auto call = stub::dsp(x, {g.data(), c.data(), o.data()}).at(0);
    out.clear();
    double t = 0;
    std::vector<sQavex_Coeff> list;
    sQavex_Coeff *lists[1];
    for (const auto &b : rec.blocks) {
        list = b;
        if (list.empty()) list.push_back(sQavex_Coeff{});
        list[0].numCoeff = (std::int32_t)b.size();
        lists[0] = list.data();
        stub::publish_coeff(g.data(), lists, 1);
        qavex_t_write_empty_block(c.data());
        stub::publish_param(c.data(), P);
        const double t0 = cpu_seconds();
        stub::run(call);
        const double dt = cpu_seconds() - t0;
        t += dt;
        if (first < 0) first = dt;
        else worst = std::max(worst, dt);
        out.insert(out.end(), o.begin(), o.end());
    }
    stub::destroy(x);
    return t;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    qavex_t_setup();
    invqavex_t_setup();
    qbank_t_setup();
    const std::vector<Setting> settings = {
        {"start values, full", {{"make", -1}, {"copy_pac2paf", -1}}},
        {"start values, shortened", {{"make", -1}, {"shorten", -1}, {"copy_pac2paf", -1}}},
        {"C_d 8, shortened",
         {{"set_C_d", 8}, {"initialize", 0}, {"make", -1}, {"shorten", -1}, {"copy_pac2paf", -1}}},
        {"demo (C_d 6, C_q 2), shortened",
         {{"set_C_d", 6}, {"set_C_q", 2}, {"initialize", 0}, {"make", -1}, {"shorten", -1}, {"copy_pac2paf", -1}}},
        {"C_d 16, C_q 2, shortened",
         {{"set_C_d", 16}, {"set_C_q", 2}, {"initialize", 0}, {"make", -1}, {"shorten", -1}, {"copy_pac2paf", -1}}},
    };
    const int nblocks = (int)(seconds * 44100 / 64);
    const double audio = nblocks * 64 / 44100.0;
    std::printf("%.1f s of white noise, %d alternating rounds; processor s per audio s (min / median)\n", audio,
                rounds);
    std::printf("%-32s %17s %17s %9s %15s %9s %10s %s\n", "settings", "exact", "fast", "ratio", "worst block ms",
                "build ms", "max dev", "FFT bands");
    for (const auto &s : settings) {
        stub::clear();
        t_pd *bank = stub::create("qbank_tilde", {});
        for (auto [sel, v] : s.msgs) stub::send(bank, sel, {stub::fa(v)});
        const sQbank_Param *P = &((sQbank_t *)bank)->sParam;
        // Record the analysis of noise.
        t_pd *an = stub::create("qavex_tilde", {});
        stub::send(an, "set_num_threads", {stub::fa(1)});
        std::vector<t_sample> in(64), inC(64), g(64), c(64);
        auto acall = stub::dsp(an, {in.data(), inC.data(), g.data(), c.data()}).at(0);
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> u(-0.5f, 0.5f);
        Recorded rec;
        for (int b = 0; b < nblocks; b++) {
            for (auto &v : in) v = u(rng);
            qavex_t_write_empty_block(inC.data());
            stub::publish_param(inC.data(), P);
            stub::run(acall);
            sQavex_CoeffIn ci = qavex_t_read_coeff_block(g.data());
            std::vector<sQavex_Coeff> all;
            for (int k = 0; k < ci.n; k++)
                for (int e = 0; e < ci.lists[k][0].numCoeff; e++) all.push_back(ci.lists[k][e]);
            rec.blocks.push_back(all);
        }
        stub::destroy(an);

        std::vector<double> te, tf;
        std::vector<float> ye, yf;
        double worst_e = 0, worst_f = 0, build = 0, w, b;
        for (int r = 0; r < rounds; r++) {
            te.push_back(synthesise(P, rec, false, ye, b, w) / audio);
            worst_e = std::max(worst_e, w);
            tf.push_back(synthesise(P, rec, true, yf, b, w) / audio);
            worst_f = std::max(worst_f, w);
            build = std::max(build, b);
        }
        double e2 = 0, worst = 0;
        for (float v : ye) e2 += (double)v * v;
        const double rms = std::sqrt(e2 / (double)ye.size());
        for (size_t i = 0; i < ye.size(); i++) worst = std::max(worst, std::fabs((double)yf[i] - ye[i]));
        // Which bands take the FFT path.
        t_pd *probe = stub::create("invqavex_tilde", {});
        stub::send(probe, "set_fast", {stub::fa(1)});
        {
            std::vector<t_sample> g2(64), c2(64), o2(64);
            auto call = stub::dsp(probe, {g2.data(), c2.data(), o2.data()}).at(0);
            sQavex_Coeff e{};
            sQavex_Coeff *l[1] = {&e};
            stub::publish_coeff(g2.data(), l, 1);
            qavex_t_write_empty_block(c2.data());
            stub::publish_param(c2.data(), P);
            stub::run(call);
        }
        std::string fft;
        for (int q = 0; q < P->iq_compute_sup; q++)
            if (fast_synthesis_band_mode(((sinvQavex_t *)probe)->psFast, q) == 2) fft += std::to_string(q) + " ";
        stub::destroy(probe);
        std::printf("%-32s %7.4f / %7.4f %7.4f / %7.4f %8.1fx %6.2f / %6.2f %9.2f %10.2e %s\n", s.name,
                    *std::min_element(te.begin(), te.end()), median(te), *std::min_element(tf.begin(), tf.end()),
                    median(tf), median(te) / median(tf), worst_e * 1e3, worst_f * 1e3, build * 1e3, worst / rms,
                    fft.c_str());
        std::fflush(stdout);
        stub::destroy(bank);
    }
    return 0;
}
