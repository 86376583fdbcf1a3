// Cost of the processor's block routines: nanoseconds per coefficient for
// filtering, thresholding and shifting (with and without time alignment and
// phase correction), and per tick for adding.
//
//   cmake --build build --target qproc_t_bench && build/qproc_t_bench
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "bank_fixture.h"
#include "qavex_t_theta_functions.h"
#include "qproc_t.h"

namespace {

constexpr int BANDS = 100;
constexpr int PER_LIST = 1000;
constexpr int LISTS = 4;

struct Stream {
    std::vector<std::vector<sQavex_Coeff>> lists;
    std::vector<sQavex_Coeff *> addrs;
    std::vector<t_sample> block = std::vector<t_sample>(64, 0.0f);

    Stream()
    {
        std::mt19937 rng(1);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        for (int k = 0; k < LISTS; k++) {
            std::vector<sQavex_Coeff> l(PER_LIST);
            for (int j = 0; j < PER_LIST; j++) l[j] = {j % 64, u(rng), u(rng), (j * 7 + k) % BANDS, 0};
            l[0].numCoeff = PER_LIST;
            lists.push_back(std::move(l));
        }
        for (auto &l : lists) addrs.push_back(l.data());
        stub::publish_coeff(block.data(), addrs.data(), LISTS);
    }
    // Shifting changes bands and starts in place; put them back.
    void reset()
    {
        for (int k = 0; k < LISTS; k++)
            for (int j = 0; j < PER_LIST; j++) {
                lists[k][j].band = (j * 7 + k) % BANDS;
                lists[k][j].start = j % 64;
            }
    }
};

double time_ns(const stub::DspCall &call, int ticks, Stream *s)
{
    double total = 0;
    for (int t = 0; t < ticks; t++) {
        if (s) s->reset();
        auto a = std::chrono::steady_clock::now();
        stub::run(call);
        auto b = std::chrono::steady_clock::now();
        total += std::chrono::duration<double, std::nano>(b - a).count();
    }
    return total / ticks;
}

}  // namespace

int main()
{
    qproc_t_setup();
    Stream s;
    std::vector<t_sample> out(64), zero(64, 0.0f);
    const double n = LISTS * PER_LIST;

    // A bank with the exponential map, 100 bands, windows of varied length.
    double data[4] = {12, 36, 176400, 132300};
    std::vector<std::pair<int, int>> real_windows;
    for (int q = 0; q < BANDS; q++) real_windows.push_back({-(8000 - 70 * q), 0});
    HandBank bank(real_windows, 1, false);
    sQbank_Param &p = bank.p;
    p._b = 4;
    p.Theta = qavex_t_Theta_exp_c1_nyqu;
    p.thetadata = data;
    std::vector<t_sample> pb(64, 0.0f);
    stub::publish_param(pb.data(), &p);

    auto make = [](const char *sym, float a, float b, float c) {
        return (t_pd *)stub::create("qproc~", {stub::sa(sym), stub::fa(a), stub::fa(b), stub::fa(c)});
    };
    t_pd *f = make("filter", 20, 60, 0);
    auto cf = stub::dsp(f, {s.block.data(), out.data()})[0];
    std::printf("filter:            %7.2f ns per coefficient\n", time_ns(cf, 200, nullptr) / n);
    t_pd *t = make("threshold", 0.5f, 0, 0);
    auto ct = stub::dsp(t, {s.block.data(), out.data()})[0];
    std::printf("threshold:         %7.2f ns per coefficient\n", time_ns(ct, 200, nullptr) / n);
    for (int mode = 0; mode < 3; mode++) {
        t_pd *x = make("shift", 3, mode >= 1 ? 1 : 0, mode >= 2 ? 1 : 0);
        auto cs = stub::dsp(x, {s.block.data(), pb.data(), pb.data(), out.data()})[0];
        const char *name[] = {"shift:            ", "shift+align:      ", "shift+align+phase:"};
        std::printf("%s %7.2f ns per coefficient\n", name[mode], time_ns(cs, 200, &s) / n);
    }
    t_pd *a = make("add", 0, 0, 0);
    auto ca = stub::dsp(a, {s.block.data(), s.block.data(), out.data()})[0];
    stub::run(ca);  // first tick builds the merged array
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000; i++) stub::run(ca);
    auto t1 = std::chrono::steady_clock::now();
    std::printf("add (%d + %d lists): %7.2f ns per tick\n", LISTS, LISTS,
                std::chrono::duration<double, std::nano>(t1 - t0).count() / 100000);
    return 0;
}
