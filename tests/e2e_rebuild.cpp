// "rebuild" in the real host: the old bank stays in use until the new one is
// complete, the new one then sounds exactly like the same bank built by
// messages at load (fast analysis and synthesis, own and dual windows), a
// failed rebuild keeps the bank in use, and deleting the designer while it
// rebuilds is safe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

const char *const DEMO = "set_C_d 6 \\, set_C_q 2 \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1 "
                         "\\, make_dual";
const char *const NEW_BANK = "set_C_d 8 \\, set_C_q 0";

// Worst |a - b| over [from, end) relative to the RMS of b (less float rounding).
double worst_relative(const std::vector<float> &a, const std::vector<float> &b, size_t from)
{
    double e2 = 0;
    for (size_t i = from; i < b.size(); i++) e2 += b[i] * (double)b[i];
    const double rms = std::sqrt(e2 / (double)(b.size() - from));
    if (!(rms > 0)) return INFINITY;
    double worst = 0;
    for (size_t i = from; i < b.size(); i++)
        worst = std::max(worst, std::fabs(a[i] - (double)b[i]) - std::ldexp(std::fabs(b[i]), -23));
    return worst / rms;
}

}  // namespace

TEST(RebuildHost, OldBankUntilTheSwapThenTheNewBankAsIfBuiltAtLoad)
{
    const int n = 40000;
    e2e::Patch p;
    int sig = p.obj("noise~");
    int bank = p.designer(DEMO);
    int ref_bank = p.designer(std::string(NEW_BANK) + " \\, initialize \\, make -1 \\, shorten -1 \\, copy_pac2paf -1 "
                                                      "\\, make_dual");
    e2e::Chain live = p.chain(sig, bank), ref = p.chain(sig, ref_bank);
    int live_dual = p.synthesis(live.ana, e2e::Out(bank, 2));
    int ref_dual = p.synthesis(ref.ana, e2e::Out(ref_bank, 2));
    int lag = p.lag(sig, live.syn);
    for (int o : {live.ana, live.syn, live_dual, ref.ana, ref.syn, ref_dual}) p.at(0, "set_fast 1", o);
    p.dsp_on();
    // The demo bank in steady state, before the rebuild.
    auto before = p.record({live.syn, live_dual, lag}, n, 0, -1, "before.wav");
    // The report right after "rebuild" still shows the old bank.
    p.at(1000, std::string(NEW_BANK) + " \\, rebuild \\, bang", bank);

    // "rebuild_done 1": report, record both chains, then a rebuild that
    // fails (too many bands), its report, and the end.
    int route = p.obj("route rebuild_done");
    p.connect(bank, 1, route, 0);
    int sel = p.obj("sel 1 0");
    p.connect(route, 0, sel, 0);
    int done = p.obj("t b b b");
    p.connect(sel, 0, done, 0);
    int shown = p.msg("bang");
    p.connect(done, 2, shown, 0);
    p.connect(shown, 0, bank, 0);
    std::string names;
    const int sources[] = {live.syn, ref.syn, live_dual, ref_dual};
    for (int k = 0; k < 4; k++) {
        std::string name = "after" + std::to_string(k);
        names += " " + name;
        p.obj("table " + name + " " + std::to_string(n));
        int tw = p.obj("tabwrite~ " + name);
        p.connect(sources[k], 0, tw, 0);
        p.connect(done, 1, tw, 0);
    }
    const std::string after = p.dir() + "/after.wav";
    int wdel = p.obj("del " + std::to_string(n / 44.1 + 20));
    p.connect(done, 0, wdel, 0);
    int wt = p.obj("t b b");
    p.connect(wdel, 0, wt, 0);
    int wr = p.msg("write -bytes 4 " + after + names);
    p.connect(wt, 1, wr, 0);
    p.connect(wr, 0, p.obj("soundfiler"), 0);
    int fail = p.msg("set_C_q 200000 \\, rebuild");
    p.connect(wt, 0, fail, 0);
    p.connect(fail, 0, bank, 0);
    int failed = p.obj("t b b");
    p.connect(sel, 1, failed, 0);
    int report = p.msg("bang");
    p.connect(failed, 1, report, 0);
    p.connect(report, 0, bank, 0);
    p.connect(failed, 0, p.msg("\\; pd quit"), 0);

    auto r = p.run(120000);
    // Reports: the old band count right after "rebuild", the new one after
    // the swap, and still the new one after the failed rebuild.
    std::vector<std::string> qsup;
    for (const auto &l : e2e::lines_of(r.console))
        if (l.rfind("qsup:", 0) == 0) qsup.push_back(l);
    ASSERT_EQ(qsup.size(), 3u) << r.console;
    EXPECT_EQ(qsup[0], "qsup: \t35");
    EXPECT_EQ(qsup[1], "qsup: \t33");
    EXPECT_EQ(qsup[2], "qsup: \t33");
    // The build's own lines (the last make_dual line: the reference bank
    // posts one at load) come after the first report, before the second.
    const size_t r0 = r.console.find("qsup: \t35"), built = r.console.rfind("qbank: make_dual: 33 bands"),
                 r1 = r.console.find("qsup: \t33");
    EXPECT_TRUE(r0 < built && built < r1) << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "qbank: make_dual: 33 bands"), 2) << r.console;  // ref and live
    const size_t why = r.console.find("more than 100000 bands requested"),
                 stays = r.console.find("qbank_tilde: rebuild failed, the bank in use stays");
    EXPECT_TRUE(r1 < why && why < stays && stays != std::string::npos) << r.console;

    auto b = e2e::read_wav(before, 3, n);
    const double own = e2e::error_db(b[0], b[2], 12000), dual = e2e::error_db(b[1], b[2], 12000);
    std::printf("before the rebuild: own windows %.2f dB, dual windows %.2f dB\n", own, dual);
    EXPECT_LT(own, -25.0);
    EXPECT_LT(dual, own);
    // After the swap and one window length plus the latency (2 x 8778):
    // sample by sample what the bank built at load gives.
    auto a = e2e::read_wav(after, 4, n);
    const size_t from = 2 * 8778 + 1000;
    const double w_own = worst_relative(a[0], a[1], from), w_dual = worst_relative(a[2], a[3], from);
    std::printf("after the swap: worst difference to the bank built at load %.3g (own), %.3g (dual)\n", w_own, w_dual);
    EXPECT_LE(w_own, 1e-6);
    EXPECT_LE(w_dual, 1e-6);
}

// The designer sits in a subpatch cleared while it rebuilds (at once, and a
// little later, when the new bank may be offered to the fast readers): the
// run ends normally.
TEST(RebuildHost, DeletingTheDesignerWhileItRebuilds)
{
    e2e::Patch p;
    int sig = p.obj("noise~");
    for (int k = 0; k < 2; k++) {
        const std::string name = "rb" + std::to_string(k);
        e2e::Patch holder;
        int bank = holder.obj("qbank_tilde");
        holder.connect(holder.obj("r " + name), 0, bank, 0);
        holder.connect(bank, 0, holder.obj("outlet~"), 0);
        holder.connect(bank, 2, holder.obj("outlet~"), 0);
        int sub = p.sub("holder" + std::to_string(k), holder);
        p.at(0, "\\; " + name + " " + DEMO);
        e2e::Chain c = p.chain(sig, sub);
        int dual = p.synthesis(c.ana, e2e::Out(sub, 1));
        for (int o : {c.ana, c.syn, dual}) p.at(0, "set_fast 1", o);
        const std::string rebuild = "\\; " + name + " set_C_d 16 \\; " + name + " rebuild";
        if (k == 0) {
            p.at(300, rebuild + " \\; pd-holder0 clear");
        } else {
            p.at(300, rebuild);
            p.at(303, "\\; pd-holder1 clear");
        }
    }
    p.dsp_on();
    p.marker(900, "still running");
    auto r = p.run(1000);
    EXPECT_EQ(e2e::count_containing(r.console, "e2e: still running"), 1) << r.console;
}
