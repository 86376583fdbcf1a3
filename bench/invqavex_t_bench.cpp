// Cost of the synthesis block routine: nanoseconds per window element added
// (one coefficient times one window element) for 4096-sample windows.
//
//   cmake --build build --target invqavex_t_bench && build/invqavex_t_bench
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "bank_fixture.h"
#include "invqavex_t.h"

namespace {

struct Case {
    const char *name;
    int bands;
    int L;
    int per_block;  // coefficients per block, spread over bands and starts
    bool complex;
};

void run(const Case &c, int blocks)
{
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    HandBank bank(std::vector<std::pair<int, int>>(c.bands, {c.L, 1}));
    const sQbank_Param &p = bank.p;

    std::vector<sQavex_Coeff> list(c.per_block);
    for (int e = 0; e < c.per_block; e++) {
        list[e].start = (int)(rng() % 64);
        list[e].band = e % c.bands;
        list[e].val_r = u(rng);
        list[e].val_i = c.complex ? u(rng) : 0.0;
    }
    list[0].numCoeff = c.per_block;
    sQavex_Coeff *lists[1] = {list.data()};

    t_pd *x = stub::create("invqavex_tilde", {});
    std::vector<t_sample> inG(64), inC(64), out(64);
    auto calls = stub::dsp(x, {inG.data(), inC.data(), out.data()});
    double total_ns = 0;
    for (int b = 0; b < blocks; b++) {
        stub::publish_coeff(inG.data(), lists, 1);
        qavex_t_write_empty_block(inC.data());
        stub::publish_param(inC.data(), &p);
        auto t0 = std::chrono::steady_clock::now();
        stub::run(calls[0]);
        auto t1 = std::chrono::steady_clock::now();
        if (b < 8) continue;
        total_ns += std::chrono::duration<double, std::nano>(t1 - t0).count();
    }
    stub::destroy(x);
    double elements = (double)(blocks - 8) * c.per_block * c.L;
    std::printf("%-40s %7.3f ns per window element, %8.1f us per block\n", c.name, total_ns / elements,
                total_ns / 1000.0 / (blocks - 8));
}

}  // namespace

int main()
{
    invqavex_t_setup();
    stub::clear();
    run({"1 band, L 4096, 64 real coefficients", 1, 4096, 64, false}, 400);
    run({"1 band, L 4096, 64 complex coefficients", 1, 4096, 64, true}, 400);
    run({"64 bands, L 4096, 64 complex coefficients", 64, 4096, 64, true}, 400);
    run({"200 bands, L 4096, 13 complex coefficients", 200, 4096, 13, true}, 4000);
    return 0;
}
