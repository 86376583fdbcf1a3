// Every allocation the library makes, failed in turn: each scenario is run
// once to count its requests, then once per request with that request
// failing. The object must survive with a sensible state, a later retry
// must work, nothing may leak, and together the scenarios must reach every
// allocation call in the sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bank_fixture.h"
#include "bank_rebuild.h"
#include "fast_switch.h"
#include "invqavex_t.h"
#include "latency_bound.h"
#include "pd_stub.h"
#include "qavex_t.h"
#include "qavex_t_definitions.h"
#include "qavex_t_theta_functions.h"
#include "qbank_t.h"
#include "qbank_windows.h"
#include "qemit_t.h"
#include "qgain_t.h"
#include "qlag_t.h"
#include "qproc_t.h"
#include "qview_t.h"

namespace {

using stub::fa;
using stub::sa;

// ------------------------------------------------------------ request log
// Call sites as "file.cpp:line" of the requests since the log was cleared.
std::vector<std::string> g_requests;
long g_live = 0;  // blocks taken from the heap and not returned

void observe(const char *file, int line)
{
    g_requests.push_back(std::filesystem::path(file).filename().string() + ":" + std::to_string(line));
}
void *counted_malloc(std::size_t n)
{
    void *p = std::malloc(n);
    if (p) g_live++;
    return p;
}
void counted_free(void *p)
{
    g_live--;
    std::free(p);
}

// Allocation calls in the sources: every call of the allocator, its array
// wrappers and the ring builder (a ring's build) outside their own definitions.
std::set<std::string> sites_in_sources()
{
    std::set<std::string> sites;
    const std::regex call(R"((\b(qavex_t_malloc0|qavex_t_new_pac|qavex_t_new_paf|qavex_t_ring_build)|\.build)\s*\()");
    for (const auto &e : std::filesystem::directory_iterator(std::filesystem::path(QAVEX_SOURCE_DIR) / "src")) {
        const std::string name = e.path().filename().string();
        if (e.path().extension() != ".cpp" || name == "allocator.cpp" || name == "window_words.cpp") continue;
        std::ifstream f(e.path());
        std::string line;
        for (int n = 1; std::getline(f, line); n++) {
            const std::string code = line.substr(0, line.find("//"));
            if (std::regex_search(code, call)) sites.insert(name + ":" + std::to_string(n));
        }
    }
    return sites;
}

// ------------------------------------------------------------ helpers
bool has_error(const std::string &part)
{
    for (auto &l : stub::console())
        if (l.error && l.text.find(part) != std::string::npos) return true;
    return false;
}

sQbank_t *bank_of(t_pd *x) { return (sQbank_t *)x; }
const sQbank_Param &param_of(t_pd *x) { return bank_of(x)->sParam; }

// The designer's complex windows, copied: side word, then the elements
// (empty for a band without a window).
std::vector<std::vector<pac_type>> windows_of(t_pd *x)
{
    std::vector<std::vector<pac_type>> w;
    const sQbank_t *b = bank_of(x);
    for (int q = 0; q < b->sParam.iq_compute_sup; q++) {
        const pac_type *a = b->pac ? b->pac[q] : nullptr;
        w.emplace_back();
        if (!a) continue;
        w.back().push_back(qavex_t_pac_side(a));
        w.back().insert(w.back().end(), a, a + qavex_t_window_length(a));
    }
    return w;
}

// A designer with a small bank; sels are sent in order (0 as argument).
t_pd *designer(std::vector<std::string> sels = {}, float window_type = 7)
{
    t_pd *x = stub::create("qbank_tilde");
    for (auto [sel, v] : std::vector<std::pair<const char *, float>>{
             {"set_T_max", 0.05f}, {"set_C_d", 8}, {"set_window_type", window_type}, {"initialize", 0}})
        stub::send(x, sel, {fa(v)});
    for (auto &s : sels) stub::send(x, s, {fa(-1)});
    return x;
}

// Producer side of a chain: a coefficient block and a parameter block.
struct Bus {
    std::vector<t_sample> g = std::vector<t_sample>(64), c = std::vector<t_sample>(64);
    void write(const sQbank_Param *p, sQavex_Coeff **lists, int n)
    {
        qavex_t_write_empty_block(g.data());
        qavex_t_write_empty_block(c.data());
        if (lists) stub::publish_coeff(g.data(), lists, n);
        if (p) stub::publish_param(c.data(), p);
    }
};

// One coefficient list with an event in each of the first bands.
struct Events {
    std::vector<sQavex_Coeff> list;
    sQavex_Coeff *lists[1];
    explicit Events(int bands) : list((size_t)bands + 1)
    {
        for (int q = 0; q < bands; q++) {
            list[q].band = q;
            list[q].start = q % 64;
            list[q].val_r = 0.5;
            list[q].val_i = -0.25;
        }
        list[0].numCoeff = bands;
        lists[0] = list.data();
    }
};

// ------------------------------------------------------------ the world
// Objects of one run; the shared bank outlives them all.
struct World {
    const sQbank_Param *P;  // shared designer's bank (windows made and copied)
    t_pd *x = nullptr;      // object under test
    Bus in;
    std::vector<t_sample> out[3] = {std::vector<t_sample>(64), std::vector<t_sample>(64), std::vector<t_sample>(64)};
    stub::DspCall call{};
    std::vector<std::vector<pac_type>> before;  // windows before the action
    explicit World(const sQbank_Param *p) : P(p) {}
    World(const World &) = delete;
    ~World()
    {
        if (x) stub::destroy(x);
    }
    void create(const char *cls, std::vector<t_atom> args = {}) { x = stub::create(cls, args); }
    // "dsp" with the two bus inlets, then n outlets.
    void attach(int outputs)
    {
        std::vector<t_sample *> v = {in.g.data(), in.c.data()};
        for (int k = 0; k < outputs; k++) v.push_back(out[k].data());
        call = stub::dsp(x, v).at(0);
    }
    void send(const char *sel, float v) { stub::send(x, sel, {fa(v)}); }
    // One block with the shared bank and the given lists.
    void block(sQavex_Coeff **lists = nullptr, int n = 0)
    {
        in.write(P, lists, n);
        stub::run(call);
    }
    sQavexRecordSlot const *lists_out() const
    {
        sQavex_CoeffIn ci = qavex_t_read_coeff_block(out[0].data());
        return ci.tag == QAVG_TAG && ci.lists ? qavex_t_record_find(ci.lists, eQavexRecord::LISTS) : nullptr;
    }
    bool silent(int k = 0) const
    {
        return std::all_of(out[k].begin(), out[k].end(), [](t_sample v) { return v == 0.0f; });
    }
};

// Analysis with audio that makes coefficients; with the shared bank.
void analyse(World &w, int blocks)
{
    std::vector<t_sample> audio(64);
    for (int b = 0; b < blocks; b++) {
        for (int i = 0; i < 64; i++) audio[i] = (float)std::sin(0.05 * (64 * b + i));
        w.in.write(w.P, nullptr, 0);
        std::copy(audio.begin(), audio.end(), w.in.g.begin());  // audio inlet first
        stub::run(w.call);
    }
}
void synthesise(World &w, int blocks)
{
    Events e(std::min(8, w.P->iq_compute_sup));
    for (int b = 0; b < blocks; b++) w.block(e.lists, 1);
}
bool finite_output(const World &w)
{
    return std::all_of(w.out[0].begin(), w.out[0].end(), [](t_sample v) { return std::isfinite(v); });
}

// ------------------------------------------------------------ scenarios
struct Scenario {
    const char *name;
    std::function<void(World &)> prepare;  // not failed
    std::function<void(World &)> act;      // every request of it fails once
    // After a failed act (site: the failed call): the state it left; then a
    // retry that must work.
    std::function<void(World &, const std::string &site)> check;
};

// Designer scenarios work on a designer of their own (the world's object).
Scenario designer_case(const char *name, std::vector<std::string> before, float window_type,
                       std::function<void(World &)> act, std::function<void(World &)> check)
{
    return {name,
            [before, window_type](World &w) {
                w.x = designer(before, window_type);
                w.before = windows_of(w.x);
            },
            act, [check](World &w, const std::string &) { check(w); }};
}

// Each band's window is either the one before or the one a successful run
// gives; the retry then gives the successful run's windows everywhere.
std::function<void(World &)> old_or_new(const char *sel, std::vector<t_atom> args)
{
    return [sel, args](World &w) {
        auto after = windows_of(w.x);
        ASSERT_EQ(after.size(), w.before.size());
        // The reference: the same command, unfailed, on the state before.
        World ref(w.P);
        ref.x = designer({}, param_of(w.x).eWindowType);
        for (int q = 0; q < (int)w.before.size(); q++) {
            qavex_t_free(bank_of(ref.x)->pac[q]);
            bank_of(ref.x)->pac[q] = nullptr;
            if (w.before[q].empty()) continue;
            pac_type *a = qavex_t_new_pac((std::int32_t)w.before[q].size() - 1, w.before[q][0]);
            std::copy(w.before[q].begin() + 1, w.before[q].end(), a);
            qavex_t_pac_zero_guards(a);
            bank_of(ref.x)->pac[q] = a;
        }
        stub::send(ref.x, sel, args);
        auto good = windows_of(ref.x);
        bool some_old = false;
        for (size_t q = 0; q < after.size(); q++) {
            EXPECT_TRUE(after[q] == w.before[q] || after[q] == good[q]) << "band " << q;
            if (after[q] != w.before[q] || good[q] == w.before[q]) continue;
            some_old = true;
            std::vector<t_atom> one = args;
            one[0] = fa((double)q);
            stub::send(w.x, sel, one);  // the retry, for the band left out
        }
        EXPECT_TRUE(some_old) << "the failure changed nothing";
        EXPECT_TRUE(windows_of(w.x) == good);
    };
}

void expect_bank(World &w, int bands)
{
    EXPECT_EQ(param_of(w.x).iq_compute_sup, bands);
    EXPECT_NE(param_of(w.x).aiDq, nullptr);
}

std::string g_theta_path;

std::vector<Scenario> scenarios()
{
    std::vector<Scenario> s;
    // ---------------------------------------------------------- designer
    s.push_back({"designer creation", [](World &) {}, [](World &w) { w.create("qbank_tilde"); },
                 [](World &w, const std::string &) {
                     ASSERT_NE(w.x, nullptr);
                     if (param_of(w.x).iq_compute_sup == 0) {
                         EXPECT_TRUE(has_error("qbank_t_initialize: Out of Memory, the bank has 0 bands"));
                         EXPECT_EQ(bank_of(w.x)->pac, nullptr);
                     }
                     w.send("initialize", 0);
                     expect_bank(w, 33);
                 }});
    for (bool processed : {false, true})
        s.push_back({processed ? "designer initialize from a processed map" : "designer initialize from a map source",
                     [processed](World &w) {
                         std::remove((g_theta_path + ".processed").c_str());
                         w.x = designer();
                         stub::send(w.x, "set_theta_type", {fa(0), sa(g_theta_path.c_str())});
                         if (processed) w.send("initialize", 0);
                     },
                     [](World &w) { w.send("initialize", 0); },
                     [](World &w, const std::string &) {
                         EXPECT_EQ(param_of(w.x).iq_compute_sup, 0);
                         EXPECT_TRUE(has_error("qbank_t_initialize: Out of Memory, the bank has 0 bands"));
                         w.send("initialize", 0);
                         EXPECT_EQ(param_of(w.x).eThetaType, BSPLINE);
                         EXPECT_GT(param_of(w.x).iq_compute_sup, 0);
                     }});
    for (float type : {7.0f, 3.0f, 0.0f})
        s.push_back(designer_case(
            type == 7   ? "designer make (warped)"
            : type == 3 ? "designer make (not warped)"
                        : "designer make (zero)",
            {}, type, [](World &w) { w.send("make", -1); },
            [](World &w) {
                EXPECT_TRUE(has_error("qbank_t_make: Out of memory"));
                for (int q = 0; q < param_of(w.x).iq_compute_sup; q++) EXPECT_EQ(bank_of(w.x)->pac[q], nullptr);
                w.send("make", -1);
                for (int q = 0; q < param_of(w.x).iq_compute_sup; q++) EXPECT_NE(bank_of(w.x)->pac[q], nullptr);
            }));
    s.push_back(designer_case(
        "designer shorten", {"make"}, 7, [](World &w) { w.send("shorten", -1); }, old_or_new("shorten", {fa(-1)})));
    s.push_back({"designer shorten within a latency bound",
                 [](World &w) {
                     w.x = designer({"make"});
                     w.send("set_max_latency", 5);
                 },
                 [](World &w) { w.send("shorten", -1); },
                 [](World &w, const std::string &site) {
                     if (site.starts_with("latency_bound.cpp")) {
                         EXPECT_TRUE(has_error("qbank: max latency: Out of memory for q="));
                     }
                     // The band left out is cut by the next shorten.
                     w.send("shorten", -1);
                     EXPECT_LE(qbank_t_find_longest_frame_pac(bank_of(w.x)), qbank_latency_max_length(bank_of(w.x)));
                 }});
    s.push_back(designer_case(
        "designer copy_pac2paf", {"make"}, 7, [](World &w) { w.send("copy_pac2paf", -1); },
        [](World &w) {
            EXPECT_TRUE(has_error("qbank_t_copy_pac2paf: Out of Memory"));
            for (int q = 0; q < param_of(w.x).iq_compute_sup; q++) EXPECT_EQ(param_of(w.x).paf_r[q], nullptr);
            w.send("copy_pac2paf", -1);
            for (int q = 0; q < param_of(w.x).iq_compute_sup; q++) EXPECT_NE(param_of(w.x).paf_r[q], nullptr);
        }));
    s.push_back(designer_case(
        "designer copy_paf2pac", {"make", "copy_pac2paf"}, 7, [](World &w) { w.send("copy_paf2pac", -1); },
        [](World &w) {
            EXPECT_TRUE(has_error("qbank_t_copy_paf2pac: Out of Memory"));
            for (int q = 0; q < param_of(w.x).iq_compute_sup; q++) EXPECT_EQ(bank_of(w.x)->pac[q], nullptr);
            w.send("copy_paf2pac", -1);
            for (int q = 0; q < param_of(w.x).iq_compute_sup; q++) EXPECT_NE(bank_of(w.x)->pac[q], nullptr);
        }));
    s.push_back(designer_case(
        "designer paf2list", {"make", "copy_pac2paf"}, 7, [](World &w) { stub::send(w.x, "paf2list", {fa(2)}); },
        [](World &w) {
            EXPECT_TRUE(stub::outlet_events().empty());
            stub::send(w.x, "paf2list", {fa(2)});
            ASSERT_EQ(stub::outlet_events().size(), 1u);
            EXPECT_EQ((int)stub::outlet_events()[0].floats.size(), qavex_t_window_length(param_of(w.x).paf_r[2]));
        }));
    // "rebuild" on the worker, swapped in by the clock (no DSP): any failure
    // leaves a complete bank, the old one or the new.
    s.push_back(designer_case(
        "designer rebuild", {"make", "copy_pac2paf"}, 7,
        [](World &w) {
            stub::send(w.x, "rebuild", {});
            qbank_rebuild_wait(bank_of(w.x));
            stub::run_clocks();
        },
        [](World &w) {
            const sQbank_Param &p = param_of(w.x);
            ASSERT_GT(p.iq_compute_sup, 0);
            for (int q = 0; q < p.iq_compute_sup; q++) EXPECT_NE(p.paf_r[q], nullptr);
        }));
    s.push_back(designer_case(
        "designer make_dual", {"make", "copy_pac2paf"}, 7, [](World &w) { stub::send(w.x, "make_dual", {}); },
        [](World &w) {
            EXPECT_TRUE(has_error("qbank: make_dual: Out of memory"));
            stub::clear();
            stub::send(w.x, "make_dual", {});
            EXPECT_FALSE(has_error("")) << stub::console_text();
        }));
    s.push_back(designer_case(
        "designer array command fft", {"make"}, 7, [](World &w) { w.send("fft", -1); }, old_or_new("fft", {fa(-1)})));
    s.push_back(designer_case(
        "designer array command differentiate", {"make"}, 7, [](World &w) { w.send("differentiate", -1); },
        old_or_new("differentiate", {fa(-1)})));
    // ---------------------------------------------------------- analysis
    s.push_back({"analysis creation", [](World &) {},
                 [](World &w) {
                     w.create("qavex_tilde", {fa(1)});
                     w.attach(2);
                 },
                 [](World &w, const std::string &) {
                     ASSERT_NE(w.x, nullptr);
                     analyse(w, 2);
                     if (!w.lists_out()) {
                         EXPECT_TRUE(w.silent(0));
                         w.send("initialize", 0);
                         analyse(w, 2);
                     }
                     EXPECT_NE(w.lists_out(), nullptr);
                 }});
    for (bool fast : {false, true})
        s.push_back({fast ? "analysis fast build" : "analysis exact build",
                     [fast](World &w) {
                         w.create("qavex_tilde", {fa(1)});
                         w.attach(2);
                         if (fast) w.send("set_fast", 1);
                     },
                     [](World &w) { analyse(w, 2); },
                     [](World &w, const std::string &site) {
                         // A failed fast build leaves the exact computation.
                         if (site.starts_with("fast_analysis.cpp")) {
                             EXPECT_NE(w.lists_out(), nullptr);
                         }
                         if (!w.lists_out()) {
                             EXPECT_TRUE(w.silent(0));
                             w.send("initialize", 0);
                         }
                         analyse(w, 2);
                         EXPECT_NE(w.lists_out(), nullptr);
                     }});
    // Fast mode switched on while the audio runs: the bank copy and the
    // engine built on the worker; any failure leaves the in-block build.
    s.push_back({"analysis live switch to fast",
                 [](World &w) {
                     w.create("qavex_tilde", {fa(1)});
                     w.attach(2);
                     analyse(w, 2);
                 },
                 [](World &w) {
                     w.send("set_fast", 1);
                     qavex_switch_wait(((sQavex_t *)w.x)->pSwitch);
                 },
                 [](World &w, const std::string &) {
                     analyse(w, 2);
                     EXPECT_NE(w.lists_out(), nullptr);
                     EXPECT_NE(((sQavex_t *)w.x)->pFast, nullptr);
                 }});
    s.push_back({"synthesis live switch to fast",
                 [](World &w) {
                     w.create("invqavex_tilde");
                     w.attach(1);
                     synthesise(w, 3);
                 },
                 [](World &w) {
                     w.send("set_fast", 1);
                     qavex_switch_wait(((sinvQavex_t *)w.x)->psSwitch);
                 },
                 [](World &w, const std::string &) {
                     synthesise(w, 3);
                     EXPECT_TRUE(finite_output(w));
                     EXPECT_FALSE(w.silent(0));
                 }});
    // ---------------------------------------------------------- synthesis
    for (bool fast : {false, true})
        s.push_back({fast ? "synthesis fast build" : "synthesis creation",
                     [fast](World &w) {
                         if (!fast) return;
                         w.create("invqavex_tilde");
                         w.attach(1);
                         w.send("set_fast", 1);
                     },
                     [fast](World &w) {
                         if (!fast) {
                             w.create("invqavex_tilde");
                             w.attach(1);
                         }
                         synthesise(w, 3);
                     },
                     [](World &w, const std::string &site) {
                         EXPECT_TRUE(finite_output(w));
                         if (site.starts_with("fast_synthesis.cpp")) {
                             EXPECT_TRUE(has_error("fast synthesis")) << stub::console_text();
                         }
                         w.send("set_soundbuffer_length_factor", 3);
                         synthesise(w, 3);
                         EXPECT_FALSE(w.silent(0));
                     }});
    s.push_back({"synthesis fast mode record",
                 [](World &w) {
                     w.create("invqavex_tilde");
                     w.attach(1);
                 },
                 [](World &w) { w.send("set_fast", 1); },
                 [](World &w, const std::string &) {
                     EXPECT_TRUE(has_error("no memory for the fast synthesis; using the exact synthesis"));
                     synthesise(w, 3);
                     EXPECT_FALSE(w.silent(0));
                 }});
    // ---------------------------------------------------------- the others
    s.push_back({"delay", [](World &w) { w.create("qlag_tilde"); },
                 [](World &w) { w.send("set_soundbuffer_length_factor", 4); },
                 [](World &w, const std::string &) {
                     // No ring; the next block makes one and delays again.
                     EXPECT_EQ(((sQlag_t *)w.x)->sSound.ring.pA, nullptr);
                     std::vector<t_sample> a(64, 0.5f);
                     w.call = stub::dsp(w.x, {a.data(), w.out[0].data()}).at(0);
                     stub::run(w.call);
                     EXPECT_NE(((sQlag_t *)w.x)->sSound.ring.pA, nullptr);
                     EXPECT_TRUE(std::all_of(w.out[0].begin(), w.out[0].end(), [](t_sample v) { return v == 0.5f; }));
                 }});
    s.push_back({"processor creation", [](World &) {}, [](World &w) { w.create("qproc~", {sa("add")}); },
                 [](World &w, const std::string &) {
                     EXPECT_EQ(w.x, nullptr);
                     EXPECT_TRUE(has_error("qproc~: out of memory"));
                     w.create("qproc~", {sa("add")});
                     EXPECT_NE(w.x, nullptr);
                 }});
    static Events four(4);
    s.push_back({"processor add",
                 [](World &w) {
                     w.create("qproc~", {sa("add")});
                     w.attach(1);
                 },
                 [](World &w) {
                     stub::publish_coeff(w.in.g.data(), four.lists, 1);
                     stub::publish_coeff(w.in.c.data(), four.lists, 1);
                     stub::run(w.call);
                 },
                 [](World &w, const std::string &) {
                     EXPECT_NE(qavex_t_read_coeff_block(w.out[0].data()).tag, QAVG_TAG);
                     stub::publish_coeff(w.in.g.data(), four.lists, 1);
                     stub::publish_coeff(w.in.c.data(), four.lists, 1);
                     stub::run(w.call);
                     EXPECT_EQ(qavex_t_read_coeff_block(w.out[0].data()).n, 2);
                 }});
    s.push_back({"generator creation", [](World &) {}, [](World &w) { w.create("qemit_tilde"); },
                 [](World &w, const std::string &) {
                     ASSERT_NE(w.x, nullptr);
                     EXPECT_TRUE(has_error("qemit: out of memory, the object publishes nothing"));
                     stub::send(w.x, "emit", {fa(1), fa(1), fa(0), fa(1)});
                     EXPECT_TRUE(has_error("qemit: no event list (out of memory), event dropped"));
                     stub::destroy(w.x);
                     w.create("qemit_tilde");
                     w.attach(2);
                     stub::send(w.x, "emit", {fa(1), fa(1), fa(0), fa(1)});
                     w.block();
                     ASSERT_NE(w.lists_out(), nullptr);
                     EXPECT_EQ(qavex_t_read_coeff_block(w.out[0].data()).lists[0][0].numCoeff, 1);
                 }});
    s.push_back({"view",
                 [](World &w) {
                     stub::make_array("alloc_view", 4);
                     w.create("qview~", {sa("alloc_view")});
                     w.attach(0);
                     w.send("set_interval", 1);
                 },
                 [](World &w) {
                     w.block(four.lists, 1);
                     stub::run_clocks();
                 },
                 [](World &w, const std::string &) {
                     const sQview_t *v = (const sQview_t *)w.x;
                     EXPECT_EQ(v->mag, nullptr);
                     EXPECT_EQ(v->updates, 0);
                     w.block(four.lists, 1);
                     stub::run_clocks();
                     EXPECT_EQ(v->updates, 1);
                     EXPECT_EQ(stub::array_contents("alloc_view").size(), (size_t)w.P->iq_compute_sup);
                 }});
    // The spectral effects share one list and state builder: a failed
    // build passes the received lists on, the next block builds them.
    s.push_back({"effect lists",
                 [](World &w) {
                     stub::make_array("alloc_gain", 4);
                     w.create("qgain~", {sa("alloc_gain")});
                     w.attach(2);
                 },
                 [](World &w) { w.block(four.lists, 1); },
                 [](World &w, const std::string &) {
                     EXPECT_EQ(qavex_t_read_coeff_block(w.out[0].data()).lists, four.lists);
                     w.block(four.lists, 1);
                     const sQavex_CoeffIn c = qavex_t_read_coeff_block(w.out[0].data());
                     ASSERT_NE(w.lists_out(), nullptr);
                     EXPECT_NE(c.lists, four.lists);
                     EXPECT_EQ(c.lists[0][0].numCoeff, 4);
                 }});
    return s;
}

std::string theta_source()
{
    double d[4] = {12, 36, 176400, 132300};
    std::ostringstream s;
    std::vector<double> xs;
    for (double v = -2; v <= 420; v += 0.5) xs.push_back(v);
    s << xs.size() << "\n";
    s.precision(17);
    for (double v : xs) s << qavex_t_Theta_exp_c1_nyqu(v, d) << " " << v << "\n";
    return s.str();
}

}  // namespace

TEST(AllocationFailures, EveryRequestFailsInTurnAndEveryCallSiteIsReached)
{
    for (auto setup : {qbank_t_setup, qavex_t_setup, invqavex_t_setup, qlag_t_setup, qproc_t_setup, qemit_t_setup,
                       qview_t_setup, qgain_t_setup})
        setup();
    stub::set_samplerate(44100);
    // A folder of this run's own: runs of other builds at the same time
    // must not rewrite the map files between a run and its repeats.
    const std::string dir = make_temp_folder("qavex_alloc_failures_");
    g_theta_path = dir + "/theta.txt";
    std::ofstream(g_theta_path) << theta_source();

    t_pd *shared = designer({"make", "shorten", "copy_pac2paf"});
    const sQbank_Param *P = &param_of(shared);
    ASSERT_GT(P->iq_compute_sup, 8);

    qavex_t_raw_malloc = counted_malloc;
    qavex_t_raw_free = counted_free;
    qavex_t_alloc_observer = observe;
    std::set<std::string> reached;
    for (const Scenario &sc : scenarios()) {
        SCOPED_TRACE(sc.name);
        // The requests of an unfailed run.
        std::vector<std::string> requests;
        {
            World w(P);
            sc.prepare(w);
            g_requests.clear();
            sc.act(w);
            requests = g_requests;
        }
        ASSERT_FALSE(requests.empty());
        std::printf("%-45s %zu requests\n", sc.name, requests.size());
        std::fflush(stdout);
        // Repeats of a call site add little but time: each site fails at
        // its first two and its last request of the run.
        std::map<std::string, int> seen;
        std::map<std::string, size_t> last;
        for (size_t k = 0; k < requests.size(); k++) last[requests[k]] = k;
        for (size_t k = 0; k < requests.size(); k++) {
            if (seen[requests[k]]++ >= 2 && last[requests[k]] != k) continue;
            SCOPED_TRACE("request " + std::to_string(k) + " at " + requests[k]);
            const long live = g_live;
            {
                stub::clear();
                World w(P);
                sc.prepare(w);
                stub::clear();
                g_requests.clear();
                qavex_t_fail_after = (int)k;
                sc.act(w);
                const bool failed = qavex_t_fail_after == -1;
                qavex_t_fail_after = -1;
                ASSERT_TRUE(failed);
                ASSERT_GT(g_requests.size(), k);
                EXPECT_EQ(g_requests[k], requests[k]);  // runs are deterministic
                reached.insert(requests[k]);
                sc.check(w, requests[k]);
            }
            EXPECT_EQ(g_live, live) << "blocks leaked";
            if (::testing::Test::HasFailure()) break;
        }
        if (::testing::Test::HasFailure()) break;
    }
    qavex_t_alloc_observer = nullptr;
    qavex_t_raw_malloc = std::malloc;
    qavex_t_raw_free = std::free;
    stub::destroy(shared);
    std::filesystem::remove_all(dir);

    const std::set<std::string> sites = sites_in_sources();
    EXPECT_GT(sites.size(), 40u);
    std::vector<std::string> missing;
    std::set_difference(sites.begin(), sites.end(), reached.begin(), reached.end(), std::back_inserter(missing));
    std::string text;
    for (auto &m : missing) text += " " + m;
    EXPECT_TRUE(missing.empty()) << missing.size() << " of " << sites.size() << " sites not reached:" << text;
    std::vector<std::string> unknown;
    std::set_difference(reached.begin(), reached.end(), sites.begin(), sites.end(), std::back_inserter(unknown));
    EXPECT_TRUE(unknown.empty()) << "reached places the scan does not know: " << unknown.size();
    std::printf("allocation sites: %zu in the sources, %zu reached\n", sites.size(), reached.size());
}
