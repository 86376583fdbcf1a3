// Many chains at once: N analysis -> synthesis chains in fast mode at the
// demo settings (C_d 6, C_q 2, shortened), fed by a designer each or by one
// shared designer, run block by block as the host runs them. Prints
// processor s per audio s per chain for the steady blocks. The steady
// blocks run inside run_steady_blocks(), so a cache simulation can count
// them alone:
//
//   cmake --build build --target instances_bench
//   build/instances_bench CHAINS SHARED [BLOCKS]
//   valgrind --tool=callgrind --cache-sim=yes --collect-atstart=no
//       --toggle-collect='*run_steady_blocks*' build/instances_bench 8 0 200
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <vector>

#include "invqavex_t.h"
#include "pd_stub.h"
#include "qavex_t.h"
#include "qbank_t.h"

namespace {

double cpu_seconds() { return (double)std::clock() / CLOCKS_PER_SEC; }

struct Chain {
    std::vector<t_sample> g, c, out;
    std::vector<stub::DspCall> calls;  // analysis, synthesis
};

struct Patch {
    std::vector<t_pd *> objects;
    std::vector<std::vector<t_sample>> params;  // one per designer
    std::vector<stub::DspCall> banks;
    std::vector<Chain> chains;
    std::vector<t_sample> in = std::vector<t_sample>(64);
};

void run_block(Patch &p, std::mt19937 &rng)
{
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    for (auto &v : p.in) v = u(rng);
    for (auto &b : p.banks) stub::run(b);
    for (auto &c : p.chains)
        for (auto &call : c.calls) stub::run(call);
}

// Kept out of line: the cache simulation collects inside it only.
__attribute__((noinline)) void run_steady_blocks(Patch &p, std::mt19937 &rng, int blocks)
{
    for (int b = 0; b < blocks; b++) run_block(p, rng);
}

}  // namespace

int main(int argc, char **argv)
{
    const int chains = argc > 1 ? std::atoi(argv[1]) : 1;
    const bool shared = argc > 2 && std::atoi(argv[2]) != 0;
    const int blocks = argc > 3 ? std::atoi(argv[3]) : 2000;
    qavex_t_setup();
    invqavex_t_setup();
    qbank_t_setup();
    stub::clear();
    Patch p;
    const int designers = shared ? 1 : chains;
    p.params.assign(designers, std::vector<t_sample>(64));
    std::vector<t_sample> dual(64);
    for (int d = 0; d < designers; d++) {
        t_pd *bank = stub::create("qbank_tilde", {});
        stub::send(bank, "set_C_d", {stub::fa(6)});
        stub::send(bank, "set_C_q", {stub::fa(2)});
        stub::send(bank, "initialize", {});
        stub::send(bank, "make", {stub::fa(-1)});
        stub::send(bank, "shorten", {stub::fa(-1)});
        stub::send(bank, "copy_pac2paf", {stub::fa(-1)});
        p.banks.push_back(stub::dsp(bank, {p.params[d].data(), dual.data()}).at(0));
        p.objects.push_back(bank);
    }
    p.chains.resize(chains);
    for (int k = 0; k < chains; k++) {
        Chain &c = p.chains[k];
        c.g.resize(64);
        c.c.resize(64);
        c.out.resize(64);
        std::vector<t_sample> anaC(64);
        t_pd *ana = stub::create("qavex_tilde", {});
        t_pd *syn = stub::create("invqavex_tilde", {});
        stub::send(ana, "set_fast", {stub::fa(1)});
        stub::send(syn, "set_fast", {stub::fa(1)});
        c.calls.push_back(stub::dsp(ana, {p.in.data(), p.params[shared ? 0 : k].data(), c.g.data(), c.c.data()}).at(0));
        c.calls.push_back(stub::dsp(syn, {c.g.data(), c.c.data(), c.out.data()}).at(0));
        p.objects.push_back(ana);
        p.objects.push_back(syn);
    }
    std::mt19937 rng(1);
    // Warm-up: the engines build in their first blocks.
    for (int b = 0; b < 64; b++) run_block(p, rng);
    const double t0 = cpu_seconds();
    run_steady_blocks(p, rng, blocks);
    const double t = cpu_seconds() - t0;
    const double audio = blocks * 64 / 44100.0;
    std::printf("%d chains, %s: %.4f processor s per audio s per chain (%d blocks)\n", chains,
                shared ? "one shared designer" : "a designer each", t / audio / chains, blocks);
    for (auto it = p.objects.rbegin(); it != p.objects.rend(); ++it) stub::destroy(*it);
    return 0;
}
