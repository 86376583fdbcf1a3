// Cost of the analysis block routine: nanoseconds per coefficient-sample
// (one input sample times one window element) for 4096-sample windows.
//
//   cmake --build build --target qavex_t_bench && build/qavex_t_bench
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <random>
#include <vector>

#include "bank_fixture.h"

namespace {

// Processor time of the process (steadier than wall time on a shared
// machine), in nanoseconds.
double now_ns() { return (double)std::clock() * (1e9 / CLOCKS_PER_SEC); }

struct Case {
    const char *name;
    int bands;
    int L;
    int hop;
};

double run(const Case &c, int blocks)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    StampedBank bank(std::vector<std::pair<int, int>>(c.bands, {c.L, c.hop}));
    const sQbank_Param &p = bank.p;

    t_pd *x = stub::create("qavex_tilde", {});
    std::vector<t_sample> in(64), inC(64), outG(64), outC(64);
    auto calls = stub::dsp(x, {in.data(), inC.data(), outG.data(), outC.data()});
    long samples = 0;
    double total_ns = 0;
    for (int b = 0; b < blocks; b++) {
        for (auto &s : in) s = u(rng);
        qavex_t_write_empty_block(inC.data());
        stub::publish_param(inC.data(), &p);
        const double t0 = now_ns();
        stub::run(calls[0]);
        const double t1 = now_ns();
        if (b < 8) continue;  // ring warm-up (first block may rebuild)
        total_ns += t1 - t0;
        sQavex_CoeffIn ci = qavex_t_read_coeff_block(outG.data());
        for (int k = 0; k < ci.n; k++) samples += (long)ci.lists[k][0].numCoeff * c.L;
    }
    stub::destroy(x);
    double ns = total_ns / (double)samples;
    std::printf("%-34s %8.3f ns per coefficient-sample, %8.1f us per block\n", c.name, ns,
                total_ns / 1000.0 / (blocks - 8));
    return ns;
}

// A designer bank, made and converted as a patch does it: C_d and C_q
// (0: start values), shortened or full windows; fast 1 sends "set_fast 1".
double run_designer_bank(int blocks, double C_d = 0, double C_q = 0, bool shorten = false, int fast = 0)
{
    t_pd *bank = stub::create("qbank_tilde", {});
    if (C_d > 0) stub::send(bank, "set_C_d", {stub::fa(C_d)});
    if (C_q > 0) stub::send(bank, "set_C_q", {stub::fa(C_q)});
    stub::send(bank, "initialize", {});
    stub::send(bank, "make", {stub::fa(-1)});
    if (shorten) stub::send(bank, "shorten", {stub::fa(-1)});
    stub::send(bank, "copy_pac2paf", {stub::fa(-1)});
    std::vector<t_sample> pv(64);
    std::vector<t_sample> dual(64);  // the designer's dual outlet
    auto bcalls = stub::dsp(bank, {pv.data(), dual.data()});
    stub::run(bcalls[0]);
    const sQbank_Param *p = qavex_t_read_param_block(pv.data()).p;

    t_pd *x = stub::create("qavex_tilde", {});
    if (fast) stub::send(x, "set_fast", {stub::fa(fast)});
    std::vector<t_sample> in(64), outG(64), outC(64);
    auto calls = stub::dsp(x, {in.data(), pv.data(), outG.data(), outC.data()});
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    long samples = 0, coeffs = 0;
    double total_ns = 0, max_ns = 0, first_ns = 0;
    for (int b = 0; b < blocks; b++) {
        for (auto &s : in) s = u(rng);
        stub::run(bcalls[0]);
        const double t0 = now_ns();
        stub::run(calls[0]);
        const double t1 = now_ns();
        if (b == 0) first_ns = t1 - t0;
        if (b < 8) continue;
        total_ns += t1 - t0;
        if (t1 - t0 > max_ns) max_ns = t1 - t0;
        sQavex_CoeffIn ci = qavex_t_read_coeff_block(outG.data());
        for (int k = 0; k < ci.n; k++)
            for (int n = 0; n < ci.lists[k][0].numCoeff; n++) {
                samples += qavex_t_window_length(p->paf_r[ci.lists[k][n].band]);
                coeffs++;
            }
    }
    double budget_us = 64.0 / 44100.0 * 1e6;
    double per_block_us = total_ns / 1000.0 / (blocks - 8);
    std::printf("designer bank C_d %g C_q %g %s%s (%d bands, longest %d): %8.3f ns per coefficient-sample, %.1f "
                "coefficients and %.1f us per block (%.4f core-s per audio-s), longest block %.0f us, first %.0f us\n",
                C_d, C_q, shorten ? "shortened" : "full", fast ? " fast" : "", (int)p->iq_compute_sup,
                (int)p->iLongestFrame_paf, total_ns / (double)samples, (double)coeffs / (blocks - 8), per_block_us,
                per_block_us / budget_us, max_ns / 1000.0, first_ns / 1000.0);
    stub::destroy(x);
    stub::destroy(bank);
    return per_block_us;
}

}  // namespace

// No arguments: every case. "bank C_d C_q shorten fast blocks": one
// designer bank only (for paired runs against another build).
int main(int argc, char **argv)
{
    qavex_t_setup();
    qbank_t_setup();
    if (argc >= 2 && std::string(argv[1]) == "bank") {
        auto arg = [&](int i, double dflt) { return argc > i ? std::atof(argv[i]) : dflt; };
        run_designer_bank((int)arg(6, 1000), arg(2, 0), arg(3, 0), arg(4, 0) != 0, (int)arg(5, 0));
        return 0;
    }
    run_designer_bank(4000);
    run({"1 band, L 4096, hop 1", 1, 4096, 1}, 400);
    run({"8 bands, L 4096, hop 1", 8, 4096, 1}, 100);
    run({"64 bands, L 4096, hop 64", 64, 4096, 64}, 400);
    run({"200 bands, L 4096, hop 1024", 200, 4096, 1024}, 4000);
    return 0;
}
