// The library loads in the real host and registers its classes; every
// class has a help patch that opens cleanly and shows its example.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "e2e_util.h"

TEST(Library, LoadsAndQuits)
{
    e2e::Patch p;
    p.obj("print loaded");
    auto r = p.run(10, 120);
    EXPECT_EQ(r.console.find("qavex: can't load library"), std::string::npos) << r.console;
}

// Floats whose bits equal the bus tags (51898511360 is 0x51415647, the
// coefficient tag, 51898494976 is 0x51415643, the parameter tag) fill the
// vectors of signal inlets with tag bits; every object must take them as
// "no block", never as an address. In one patch:
// - every object gets one of the tag floats on every inlet, once per tag;
// - an analysis object gets the parameter tag on its parameter inlet: no
//   record arrives, so its report shows no computation variant;
// - a synthesis object gets both tags on its inlets: it sends no latency;
// - each processor gets the coefficient tag on its channel inlets, shift
//   the parameter tag on both bank inlets; every output feeds a filter.
TEST(Library, TagBitFloatsOnInletsAreHarmless)
{
    const char *objects[] = {"qavex_tilde", "invqavex_tilde",    "qlag_tilde",           "qemit_tilde",       "qdump~",
                             "qproc~ add",  "qproc~ filter 0 1", "qproc~ threshold 0.1", "qproc~ shift 1 1 1"};
    const int inlets[] = {2, 3, 2, 3, 2, 4, 3, 2, 7};
    e2e::Patch p;
    int g = p.at(0, "51898511360"), c = p.at(0, "51898494976");
    for (int tag : {g, c})
        for (size_t k = 0; k < sizeof objects / sizeof *objects; k++) {
            int o = p.obj(objects[k]);
            for (int i = 0; i < inlets[k]; i++) p.connect(tag, 0, o, i);
        }
    int ana = p.obj("qavex_tilde"), syn = p.obj("invqavex_tilde");
    p.connect(c, 0, ana, 1);
    p.connect(g, 0, syn, 0);
    p.connect(c, 0, syn, 1);
    p.connect(syn, 1, p.obj("print latency"), 0);
    const char *types[] = {"add", "filter 0 100", "threshold 0", "shift 1 1 1"};
    int procs[4];
    for (int k = 0; k < 4; k++) {
        procs[k] = p.obj(std::string("qproc~ ") + types[k]);
        p.connect(g, 0, procs[k], 0);
    }
    p.connect(g, 0, procs[0], 2);  // second channel of add
    p.connect(c, 0, procs[3], 1);  // both bank inlets of shift
    p.connect(c, 0, procs[3], 3);
    for (int k = 0; k < 4; k++) p.connect(procs[k], 0, p.obj("qproc~ filter 0 100"), 0);
    p.dsp_on();
    p.at(30, "bang", ana);
    p.at(30, "bang", syn);
    p.marker(200, "still running");
    auto r = p.run(300, 120);
    EXPECT_TRUE(e2e::has_line(r.console, "e2e: still running")) << r.console;
    // The only errors: the delay objects refuse the tag floats as delays.
    EXPECT_TRUE(e2e::counts(r.console, {{"-----------------Qavex--------------:", 1},
                                        {"ComputeType", 0},
                                        {"invQavex:", 1},
                                        {"latency", 0},
                                        {"error: qlag_tilde: delay 5.18985e+10 too long, using 67108864", 2},
                                        {"error: ", 2}}));
}

TEST(LibraryHost, EveryClassHasAHelpPatchThatLoadsTheLibraryAndHasAReference)
{
    for (const char *cls : {"qavex_tilde", "invqavex_tilde", "qbank_tilde", "qlag_tilde", "qproc~", "qemit_tilde",
                            "qdump~", "qview~", "qgain~", "qgate~", "qcross~", "qtranspose~"}) {
        std::string text = e2e::read_file(e2e::source_dir() + "/help/" + cls + "-help.pd");
        ASSERT_FALSE(text.empty()) << cls;
        EXPECT_NE(text.find("#X obj "), std::string::npos) << cls;
        EXPECT_NE(text.find(" declare -lib qavex;"), std::string::npos) << cls;
        EXPECT_NE(text.find("#X restore "), std::string::npos) << cls;
        EXPECT_NE(text.find(" pd reference;"), std::string::npos) << cls;
    }
}

namespace {

// The number after the first `key` on the console (NaN when missing).
double number_after(const std::string &console, const std::string &key)
{
    auto at = console.find(key);
    return at == std::string::npos ? NAN : std::atof(console.c_str() + at + key.size());
}

struct HelpCase {
    const char *file;
    double ms;  // logical time the example runs
    void (*check)(const std::string &console);
};

// What each example shows once it has run.
const HelpCase HELP_CASES[] = {
    // The analysis of a 440 Hz sine, and its loudest band.
    {"qavex_tilde-help.pd", 2000,
     [](const std::string &c) { EXPECT_EQ(e2e::count_containing(c, "qview~: loudest band "), 1); }},
    // The latency the synthesis sends.
    {"invqavex_tilde-help.pd", 500, [](const std::string &c) { EXPECT_GT(number_after(c, "latency: "), 1000); }},
    // The bank built at load, band 20 inspected; the array commands live in
    // a subpatch of the designer's help.
    {"qbank_tilde-help.pd", 200,
     [](const std::string &c) {
         EXPECT_EQ(e2e::count_containing(c, "Band \t 20\t: Centerfrq.:"), 1);
         EXPECT_GT(number_after(c, "qbank_tilde-help: "), 0);
         EXPECT_NE(e2e::read_file(e2e::source_dir() + "/help/qbank_tilde-help.pd").find("pd array_commands"),
                   std::string::npos);
     }},
    // The delay it sets (1000 samples), measured with a ramp.
    {"qlag_tilde-help.pd", 600, [](const std::string &c) { EXPECT_TRUE(e2e::has_line(c, "qlag_tilde-help: 1000")); }},
    // 220 Hz and 2000 Hz at equal level; the filter removes bands 20 to 25,
    // so the loudest band left lies near 220 Hz (bands 12 and 13).
    {"qproc~-help.pd", 2000,
     [](const std::string &c) {
         double band = number_after(c, "qview~: loudest band ");
         EXPECT_TRUE(band == 12 || band == 13);
         EXPECT_EQ(e2e::count_containing(c, "Qproc Usage"), 0);
     }},
    // Events into band 20 every 100 ms; the view reports it.
    {"qemit_tilde-help.pd", 1500,
     [](const std::string &c) { EXPECT_EQ(e2e::count_containing(c, "qview~: loudest band 20 "), 1); }},
    // Half a second of coefficients written and the lines counted.
    {"qdump~-help.pd", 1000, [](const std::string &c) { EXPECT_GT(number_after(c, "qdump-help-lines: "), 10); }},
    // A 1000 Hz sine, between bands 19 and 20 of the default bank.
    {"qview~-help.pd", 2500,
     [](const std::string &c) {
         float level = 0;
         int band = -1;
         auto at = c.find("qview~: loudest band ");
         ASSERT_NE(at, std::string::npos);
         ASSERT_EQ(std::sscanf(c.c_str() + at, "qview~: loudest band %d at %f", &band, &level), 2);
         EXPECT_TRUE(band == 19 || band == 20);
         EXPECT_GT(level, -100.0f);
     }},
    // The drawn equaliser on the default bank.
    {"qgain~-help.pd", 1500,
     [](const std::string &c) { EXPECT_EQ(e2e::count_containing(c, "qgain~: array qgain-help-eq, dB, 33 bands"), 1); }},
    // 500 ms of noise learned at load, then the gate reports.
    {"qgate~-help.pd", 2000,
     [](const std::string &c) {
         EXPECT_EQ(e2e::count_containing(c, "qgate~: mask of 33 bands learned into qgate-help-mask"), 1);
         EXPECT_EQ(e2e::count_containing(c, "qgate~: mask qgate-help-mask, threshold 6 dB"), 1);
     }},
    // A noise formant stamped onto a sawtooth.
    {"qcross~-help.pd", 1500,
     [](const std::string &c) { EXPECT_EQ(e2e::count_containing(c, "qcross~: smoothing 10 ms, 33 bands"), 1); }},
    // Three partials a fifth up on a bank of 12 bands per octave.
    {"qtranspose~-help.pd", 2000,
     [](const std::string &c) { EXPECT_EQ(e2e::count_containing(c, "qtranspose~: 700 cents (now 700)"), 1); }},
};

}  // namespace

TEST(LibraryHost, EveryHelpPatchOpensWithoutErrorsAndShowsItsExample)
{
    for (const HelpCase &h : HELP_CASES) {
        SCOPED_TRACE(h.file);
        auto r = e2e::open_help(h.file, h.ms);
        EXPECT_EQ(r.status, 0) << r.console;
        EXPECT_TRUE(e2e::has_line(r.console, "e2e: help open")) << r.console;
        EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
        {
            SCOPED_TRACE(r.console);
            h.check(r.console);
        }
    }
}
