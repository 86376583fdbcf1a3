// Bus addresses in the real host: forged blocks, floats carrying tag bits
// and recorded addresses of deleted producers must leave every reader
// silent and the host running.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

// Floats whose bits are the parameter and the coefficient tag.
const char *const QAVC_FLOAT = "51898494976";
const char *const QAVG_FLOAT = "51898511360";

// Every reader class fed from the parameter channel pc and the coefficient
// channel gc; the three synthesis outputs go through [abs~] into
// [tabwrite~ out<k>] (returned), which "; out<k>_rec bang" starts.
int add_readers(e2e::Patch &p, e2e::Out pc, e2e::Out gc, const std::string &k)
{
    p.analysis(p.obj("osc~ 440"), pc);
    int gen = p.generator(pc);
    int metro = p.obj("metro 5"), em = p.msg("emit 3 0.5 0.5 2");
    p.connect(p.loadbang(), 0, metro, 0);
    p.connect(metro, 0, em, 0);
    p.connect(em, 0, gen, 0);
    int syn = p.synthesis(gc, pc);
    int add = p.obj("qproc~ add"), fil = p.obj("qproc~ filter 0 3"), thr = p.obj("qproc~ threshold 0.001");
    int sh = p.obj("qproc~ shift 1 1 1");
    p.connect(gc, add, 0);
    p.connect(gc, add, 2);
    p.connect(add, 0, fil, 0);
    p.connect(fil, 0, thr, 0);
    p.connect(thr, 0, sh, 0);
    p.connect(pc, sh, 1);
    p.connect(pc, sh, 3);
    int syn2 = p.synthesis(sh, pc), syn3 = p.synthesis(gen, e2e::Out(gen, 1));
    p.writer(gc, pc, p.dir() + "/dump" + k + ".txt", -1);
    int tw = p.obj("tabwrite~ out" + k);
    for (int s : {syn, syn2, syn3}) {
        int a = p.obj("abs~");
        p.connect(s, 0, a, 0);
        p.connect(a, 0, tw, 0);
    }
    p.connect(p.obj("r out" + k + "_rec"), 0, tw, 0);
    return tw;
}

// At ms, "NAME<k>: S" with the sum of |output| over table out<k>, k < n.
void print_sums(e2e::Patch &p, double ms, int n, const std::string &name)
{
    for (int k = 0; k < n; k++) {
        int sum = p.obj("array sum out" + std::to_string(k));
        p.connect(sum, 0, p.obj("print " + name + std::to_string(k)), 0);
        p.at(ms, "bang", sum);
    }
}

// "; out<k>_rec bang" for every k < n.
std::string start_recording(int n)
{
    std::string m;
    for (int k = 0; k < n; k++) m += "\\; out" + std::to_string(k) + "_rec bang ";
    return m;
}

// Runs the patch, which posts "e2e: end" at ms and quits: it must get there
// without any error.
e2e::Run run_to_end(e2e::Patch &p, double ms)
{
    p.marker(ms, "end");
    auto r = p.run(ms, 120);
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: end")) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
    return r;
}

// The last sum printed as "name: S", or -1.
double printed_sum(const std::string &console, const std::string &name)
{
    auto p = console.rfind(name + ": ");
    if (p == std::string::npos) return -1;
    return std::stod(console.substr(p + name.size() + 2));
}

struct Forged {
    const char *name;
    std::string param;  // message filling table "fc<k>" (parameter channel)
    std::string coeff;  // message filling table "fg<k>" (coefficient channel)
};

// Every case in one patch.
TEST(BusRegistryHost, ForgedBlocksAndTagFloatsLeaveReadersSilent)
{
    const std::vector<Forged> cases = {
        // Tag at word 0, 1.0 (an address of 0x3f800000) at word 12 / word 4,
        // and a count of 1.0's bits at word 8.
        {"tag and address 1.0", std::string("0 ") + QAVC_FLOAT + " 0 0 0 0 0 0 0 0 0 0 0 1",
         std::string("0 ") + QAVG_FLOAT + " 0 0 0 1 0 0 0 1"},
        // Every word carries the tag's bits, as a float sent to the inlet does.
        {"tag in every word", std::string("const ") + QAVC_FLOAT, std::string("const ") + QAVG_FLOAT},
    };
    const int n = (int)cases.size();
    e2e::Patch p;
    std::string fill;
    for (int k = 0; k < n; k++) {
        std::string s = std::to_string(k);
        p.obj("table fc" + s + " 64");
        p.obj("table fg" + s + " 64");
        p.obj("table out" + s + " 4096");
        add_readers(p, p.obj("tabreceive~ fc" + s), p.obj("tabreceive~ fg" + s), s);
        fill += "\\; fc" + s + " " + cases[k].param + " \\; fg" + s + " " + cases[k].coeff + " ";
    }
    p.at(0, fill + "\\; pd dsp 1");
    p.at(100, start_recording(n));
    print_sums(p, 300, n, "out");
    auto r = run_to_end(p, 300);
    for (int k = 0; k < n; k++) EXPECT_EQ(printed_sum(r.console, "out" + std::to_string(k)), 0.0) << cases[k].name;
}

// A working chain whose designer, analysis and generator live in
// subpatches that are cleared one after another, in every order (one chain
// per order, all in one patch), with DSP running. (Tables cannot replay a
// recorded address: the host zeroes the denormal upper word of a 64-bit
// address when it writes a table; the unit tests feed stale addresses
// directly.)
TEST(BusRegistryHost, DeletingProducersInAnyOrderLeavesReadersSilent)
{
    const char *const names[3] = {"designer", "analysis", "generator"};
    std::vector<std::array<int, 3>> orders;
    std::array<int, 3> order = {0, 1, 2};
    do orders.push_back(order);
    while (std::next_permutation(order.begin(), order.end()));
    const int n = (int)orders.size();
    e2e::Patch p;
    for (int k = 0; k < n; k++) {
        std::string s = std::to_string(k);
        p.obj("table out" + s + " 4096");
        // Producers, each alone in a subpatch with its inlets and outlets.
        e2e::Patch d;
        d.connect(d.designer("set_T_max 0.02 \\, initialize 0 \\, make -1 \\, shorten -1 \\, copy_pac2paf -1"), 0,
                  d.obj("outlet~"), 0);
        e2e::Patch a;
        int an = a.analysis(a.obj("noise~"), a.obj("inlet~"));
        a.connect(an, 0, a.obj("outlet~"), 0);
        a.connect(an, 1, a.obj("outlet~"), 0);
        e2e::Patch g;
        int gen = g.generator(g.obj("inlet~"));
        g.connect(gen, 0, g.obj("outlet~"), 0);
        int gm = g.obj("metro 3"), em = g.msg("emit 10 0.25 0.25 5");
        g.connect(g.loadbang(), 0, gm, 0);
        g.connect(gm, 0, em, 0);
        g.connect(em, 0, gen, 0);
        int sd = p.sub("p_designer" + s, d), sa = p.sub("p_analysis" + s, a), sg = p.sub("p_generator" + s, g);
        p.connect(sd, 0, sa, 0);
        p.connect(sa, 1, sg, 0);
        // Every reader class downstream, and a synthesis of the generator.
        int tw = add_readers(p, e2e::Out(sa, 1), e2e::Out(sa, 0), s);
        int abs = p.obj("abs~");
        p.connect(p.synthesis(sg, e2e::Out(sa, 1)), 0, abs, 0);
        p.connect(abs, 0, tw, 0);
        for (int j = 0; j < 3; j++) p.at(400 + 100 * j, "\\; pd-p_" + std::string(names[orders[k][j]]) + s + " clear");
    }
    // While everything lives the chains sound: the sums are above 0.
    p.dsp_on();
    p.at(260, start_recording(n));
    print_sums(p, 360, n, "alive");
    p.at(750, start_recording(n));
    print_sums(p, 900, n, "out");
    auto r = run_to_end(p, 900);
    for (int k = 0; k < n; k++) {
        SCOPED_TRACE(std::string(names[orders[k][0]]) + ", " + names[orders[k][1]] + ", " + names[orders[k][2]]);
        EXPECT_GT(printed_sum(r.console, "alive" + std::to_string(k)), 0.0) << r.console;
        EXPECT_EQ(printed_sum(r.console, "out" + std::to_string(k)), 0.0) << r.console;
    }
}

}  // namespace
