// Cost of the bus readers' registry check against the block time of a
// chain: designer (start values, after make -1, shorten -1, copy_pac2paf
// -1) -> analysis -> synthesis, one 64-sample block at a time.
//
// Prints nanoseconds per checked read (parameter and coefficient block,
// with the registry holding the chain's records and with 2000 more), the
// chain's microseconds per block, and the share of the block time that
// the checks of a chain with R reads per block take.
//
//   cmake --build build --target record_registry_bench && build/record_registry_bench
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

#include "pd_stub.h"
#include "qavex_t_definitions.h"
#include "record_registry.h"

namespace {

double now_ns()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main()
{
    for (auto setup : {qbank_t_setup, qavex_t_setup, invqavex_t_setup}) setup();
    t_pd *bank = stub::create("qbank_tilde");
    for (const char *m : {"make", "shorten", "copy_pac2paf"}) stub::send(bank, m, {stub::fa(-1)});
    t_pd *ana = stub::create("qavex_tilde");
    t_pd *syn = stub::create("invqavex_tilde");
    std::vector<t_sample> C(64), D(64), audio(64), G(64), C2(64), out(64);
    std::vector<stub::DspCall> calls;
    for (auto &c : stub::dsp(bank, {C.data(), D.data()})) calls.push_back(c);
    for (auto &c : stub::dsp(ana, {audio.data(), C.data(), G.data(), C2.data()})) calls.push_back(c);
    for (auto &c : stub::dsp(syn, {G.data(), C2.data(), out.data()})) calls.push_back(c);
    long t = 0;
    auto block = [&] {
        for (auto &s : audio) s = (float)std::sin(0.05 * (double)t++);
        for (auto &c : calls) stub::run(c);
    };
    for (int b = 0; b < 200; b++) block();  // rings and lists built
    stub::clear();

    // Reads of the chain's own blocks: one parameter, one coefficient.
    volatile std::uintptr_t sink = 0;
    auto reads = [&](int n) {
        const double t0 = now_ns();
        for (int i = 0; i < n; i++) {
            sink = sink + (std::uintptr_t)qavex_t_read_param_block(C2.data()).p;
            sink = sink + (std::uintptr_t)qavex_t_read_coeff_block(G.data()).lists;
        }
        return (now_ns() - t0) / (2.0 * n);
    };
    std::vector<std::uint64_t> others(2 * 2000);
    std::vector<double> read_small, read_big, chain;
    const int rounds = 9, per_read = 2000000, per_chain = 300;
    for (int r = 0; r < rounds; r++) {
        // Alternating: registry with the chain's records only, the chain's
        // blocks, then the registry with 2000 further records.
        read_small.push_back(reads(per_read));
        const double t0 = now_ns();
        for (int b = 0; b < per_chain; b++) block();
        chain.push_back((now_ns() - t0) / per_chain);
        for (int i = 0; i < 2000; i++) qavex_t_record_add(&others[2 * i], eQavexRecord::LISTS, 1);
        read_big.push_back(reads(per_read));
        for (int i = 0; i < 2000; i++) qavex_t_record_remove(&others[2 * i]);
    }
    const double rs = median(read_small), rb = median(read_big), cb = median(chain);
    std::printf("checked read, registry with the chain's records: median %.2f ns, min %.2f ns\n", rs,
                *std::min_element(read_small.begin(), read_small.end()));
    std::printf("checked read, registry with 2000 more records:   median %.2f ns, min %.2f ns\n", rb,
                *std::min_element(read_big.begin(), read_big.end()));
    std::printf("chain block (designer, analysis, synthesis):     median %.1f us, min %.1f us\n", cb / 1000.0,
                *std::min_element(chain.begin(), chain.end()) / 1000.0);
    for (int R : {3, 20, 100})
        std::printf("%3d checked reads per block: %.4f %% of the chain's block time\n", R,
                    100.0 * R * std::max(rs, rb) / cb);
    stub::destroy(syn);
    stub::destroy(ana);
    stub::destroy(bank);
    return (int)(sink & 0);
}
