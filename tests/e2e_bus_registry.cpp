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

// Patch text with nested canvases; objects are numbered per canvas.
class Canvas {
public:
    int obj(const std::string &t) { return add("#X obj " + y() + " " + y() + " " + t + ";"); }
    int msg(const std::string &t) { return add("#X msg " + y() + " " + y() + " " + t + ";"); }
    int sub(const std::string &name, const Canvas &c)
    {
        lines_.push_back("#N canvas 0 0 400 300 " + name + " 0;");
        for (auto &l : c.lines_) lines_.push_back(l);
        return add("#X restore 10 " + y() + " pd " + name + ";");
    }
    void connect(int a, int o, int b, int i)
    {
        lines_.push_back("#X connect " + std::to_string(a) + " " + std::to_string(o) + " " +
                         std::to_string(b) + " " + std::to_string(i) + ";");
    }
    // [loadbang] -> [del ms] -> message.
    void at(double ms, const std::string &m)
    {
        int lb = obj("loadbang"), d = obj("del " + std::to_string(ms)), x = msg(m);
        connect(lb, 0, d, 0);
        connect(d, 0, x, 0);
    }
    std::string text() const
    {
        std::string s = "#N canvas 0 0 800 600 12;\n";
        for (auto &l : lines_) s += l + "\n";
        return s;
    }

private:
    int add(const std::string &l)
    {
        lines_.push_back(l);
        return n_++;
    }
    std::string y() const { return std::to_string(10 + 20 * n_); }
    std::vector<std::string> lines_;
    int n_ = 0;
};

// Every reader class fed from the parameter channel pc and the coefficient
// channel gc (object numbers and outlets in c); the three synthesis outputs
// go through [abs~] into tabwrite~ "out" (returned), which "; out_rec bang"
// starts.
int add_readers(Canvas &c, int pc, int pco, int gc, int gco, const std::string &dir)
{
    int osc = c.obj("osc~ 440");
    int an = c.obj("qavex_tilde");
    c.connect(osc, 0, an, 0);
    c.connect(pc, pco, an, 1);
    int gen = c.obj("qemit_tilde");
    c.connect(pc, pco, gen, 1);
    int ev = c.obj("metro 5");
    int em = c.msg("emit 3 0.5 0.5 2");
    c.connect(ev, 0, em, 0);
    c.connect(em, 0, gen, 0);
    int on = c.obj("loadbang");
    c.connect(on, 0, ev, 0);
    int syn = c.obj("invqavex_tilde");
    c.connect(gc, gco, syn, 0);
    c.connect(pc, pco, syn, 1);
    int add = c.obj("qproc~ add");
    c.connect(gc, gco, add, 0);
    c.connect(gc, gco, add, 2);
    int fil = c.obj("qproc~ filter 0 3");
    c.connect(add, 0, fil, 0);
    int thr = c.obj("qproc~ threshold 0.001");
    c.connect(fil, 0, thr, 0);
    int sh = c.obj("qproc~ shift 1 1 1");
    c.connect(thr, 0, sh, 0);
    c.connect(pc, pco, sh, 1);
    c.connect(pc, pco, sh, 3);
    int syn2 = c.obj("invqavex_tilde");
    c.connect(sh, 0, syn2, 0);
    c.connect(pc, pco, syn2, 1);
    int syn3 = c.obj("invqavex_tilde");
    c.connect(gen, 0, syn3, 0);
    c.connect(gen, 1, syn3, 1);
    int dump = c.obj("qdump~");
    c.connect(gc, gco, dump, 0);
    c.connect(pc, pco, dump, 1);
    int om = c.msg("open " + dir + "/dump.txt");
    c.connect(on, 0, om, 0);
    c.connect(om, 0, dump, 0);
    int tw = c.obj("tabwrite~ out");
    for (int s : {syn, syn2, syn3}) {
        int a = c.obj("abs~");
        c.connect(s, 0, a, 0);
        c.connect(a, 0, tw, 0);
    }
    int r = c.obj("r out_rec");
    c.connect(r, 0, tw, 0);
    return tw;
}

// "out: S" with the sum of |output| over the table, then "e2e: end".
void report_and_quit(Canvas &c, double ms)
{
    int lb = c.obj("loadbang"), d = c.obj("del " + std::to_string(ms));
    int s = c.obj("array sum out"), pr = c.obj("print out");
    int end = c.msg("end"), pe = c.obj("print e2e");
    int q = c.msg("\\; pd quit");
    c.connect(lb, 0, d, 0);
    c.connect(d, 0, s, 0);
    c.connect(d, 0, end, 0);
    c.connect(s, 0, pr, 0);
    c.connect(end, 0, pe, 0);
    c.connect(d, 0, q, 0);
}

// The sum printed as "out: S" (the last one), or -1.
double printed_sum(const std::string &console)
{
    auto p = console.rfind("out: ");
    if (p == std::string::npos) return -1;
    return std::stod(console.substr(p + 5));
}

struct Forged {
    const char *name;
    std::string param;  // message filling table "fc" (parameter channel)
    std::string coeff;  // message filling table "fg" (coefficient channel)
};

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
    for (const auto &f : cases) {
        SCOPED_TRACE(f.name);
        std::string dir = e2e::temp_dir();
        Canvas c;
        c.obj("table fc 64");
        c.obj("table fg 64");
        c.obj("table out 4096");
        int pc = c.obj("tabreceive~ fc");
        int gc = c.obj("tabreceive~ fg");
        add_readers(c, pc, 0, gc, 0, dir);
        c.at(0, "\\; fc " + f.param + " \\; fg " + f.coeff + " \\; pd dsp 1");
        c.at(100, "\\; out_rec bang");
        report_and_quit(c, 300);
        e2e::write_file(dir + "/test.pd", c.text());
        auto r = e2e::run_pd_file(dir + "/test.pd");
        EXPECT_EQ(r.status, 0) << r.console;
        EXPECT_TRUE(e2e::has_line(r.console, "e2e: end")) << r.console;
        EXPECT_EQ(printed_sum(r.console), 0.0) << r.console;
        EXPECT_EQ(e2e::count_containing(r.console, "error"), 0) << r.console;
    }
}

// A working chain whose designer, analysis and generator live in
// subpatches that are cleared one after another, in every order, with DSP
// running. (Tables cannot replay a recorded address: the host zeroes the
// denormal upper word of a 64-bit address when it writes a table; the unit
// tests feed stale addresses directly.)
TEST(BusRegistryHost, DeletingProducersInAnyOrderLeavesReadersSilent)
{
    std::array<int, 3> order = {0, 1, 2};
    const char *const names[3] = {"designer", "analysis", "generator"};
    do {
        SCOPED_TRACE(std::string(names[order[0]]) + ", " + names[order[1]] + ", " + names[order[2]]);
        std::string dir = e2e::temp_dir();
        Canvas c;
        c.obj("table out 4096");
        // Producers, each alone in a subpatch with its inlets and outlets.
        Canvas d;
        int bank = d.obj("qbank_tilde");
        int dout = d.obj("outlet~");
        d.connect(bank, 0, dout, 0);
        int lb = d.obj("loadbang");
        int setup = d.msg("set_T_max 0.02 \\, initialize 0 \\, make -1 \\, shorten -1 \\, copy_pac2paf -1");
        d.connect(lb, 0, setup, 0);
        d.connect(setup, 0, bank, 0);
        Canvas a;
        int ain = a.obj("inlet~"), aosc = a.obj("noise~"), an = a.obj("qavex_tilde");
        int ag = a.obj("outlet~"), ac = a.obj("outlet~");
        a.connect(aosc, 0, an, 0);
        a.connect(ain, 0, an, 1);
        a.connect(an, 0, ag, 0);
        a.connect(an, 1, ac, 0);
        Canvas g;
        int gin = g.obj("inlet~"), gen = g.obj("qemit_tilde"), gg = g.obj("outlet~");
        g.connect(gin, 0, gen, 1);
        g.connect(gen, 0, gg, 0);
        int gm = g.obj("metro 3"), gl = g.obj("loadbang"), ge = g.msg("emit 10 0.25 0.25 5");
        g.connect(gl, 0, gm, 0);
        g.connect(gm, 0, ge, 0);
        g.connect(ge, 0, gen, 0);
        int sd = c.sub("p_designer", d);
        int sa = c.sub("p_analysis", a);
        int sg = c.sub("p_generator", g);
        c.connect(sd, 0, sa, 0);
        c.connect(sa, 1, sg, 0);
        // Every reader class downstream, and a synthesis of the generator.
        int tw = add_readers(c, sa, 1, sa, 0, dir);
        int syn = c.obj("invqavex_tilde");
        c.connect(sg, 0, syn, 0);
        c.connect(sa, 1, syn, 1);
        int abs = c.obj("abs~");
        c.connect(syn, 0, abs, 0);
        c.connect(abs, 0, tw, 0);
        // While everything lives the chain sounds: "out" sums above 0.
        c.at(0, "\\; pd dsp 1");
        c.at(260, "\\; out_rec bang");
        int lb2 = c.obj("loadbang"), d2 = c.obj("del 360"), s2 = c.obj("array sum out");
        int p2 = c.obj("print alive");
        c.connect(lb2, 0, d2, 0);
        c.connect(d2, 0, s2, 0);
        c.connect(s2, 0, p2, 0);
        const char *sub[3] = {"p_designer", "p_analysis", "p_generator"};
        for (int k = 0; k < 3; k++) c.at(400 + 100 * k, std::string("\\; pd-") + sub[order[k]] + " clear");
        c.at(750, "\\; out_rec bang");
        report_and_quit(c, 900);
        e2e::write_file(dir + "/test.pd", c.text());
        auto run = e2e::run_pd_file(dir + "/test.pd");
        EXPECT_EQ(run.status, 0) << run.console;
        EXPECT_TRUE(e2e::has_line(run.console, "e2e: end")) << run.console;
        auto p = run.console.find("alive: ");
        ASSERT_NE(p, std::string::npos) << run.console;
        EXPECT_GT(std::stod(run.console.substr(p + 7)), 0.0) << run.console;
        EXPECT_EQ(printed_sum(run.console), 0.0) << run.console;
        EXPECT_EQ(e2e::count_containing(run.console, "error"), 0) << run.console;
    } while (std::next_permutation(order.begin(), order.end()));
}

}  // namespace
