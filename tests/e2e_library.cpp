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
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    p.obj("print loaded");
    p.quit_after(10);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(r.console.find("qavex: can't load library"), std::string::npos) << r.console;
}

// Floats whose bits equal the bus tags, sent to every inlet of every object
// while DSP runs, must be taken as "no block" and never as addresses.
TEST(Library, TagBitFloatsOnInletsDoNotCrash)
{
    const char *objects[] = {"qavex_tilde", "invqavex_tilde", "qlag_tilde", "qemit_tilde",
                             "qdump~",      "qproc~ add",     "qproc~ filter 0 1",
                             "qproc~ threshold 0.1", "qproc~ shift 1 1 1"};
    const int inlets[] = {2, 3, 2, 3, 2, 4, 3, 2, 7};
    for (const char *tagf : {"51898511360", "51898494976"}) {
        std::string dir = e2e::temp_dir();
        e2e::Patch p;
        int lb = p.obj("loadbang");
        int m = p.msg(std::string(tagf));
        p.connect(lb, 0, m, 0);
        for (size_t k = 0; k < sizeof objects / sizeof *objects; k++) {
            int o = p.obj(objects[k]);
            for (int i = 0; i < inlets[k]; i++) p.connect(m, 0, o, i);
        }
        int dsp = p.msg("\\; pd dsp 1");
        p.connect(lb, 0, dsp, 0);
        int done = p.obj("del 200");
        int pr = p.obj("print survived");
        p.connect(lb, 0, done, 0);
        p.connect(done, 0, pr, 0);
        p.quit_after(300);
        auto r = e2e::run_pd(p, dir);
        EXPECT_EQ(r.status, 0) << r.console;
        EXPECT_TRUE(e2e::has_line(r.console, "survived: bang")) << r.console;
    }
}

TEST(LibraryHost, EveryClassHasAHelpPatchThatLoadsTheLibraryAndHasAReference)
{
    for (const char *cls : {"qavex_tilde", "invqavex_tilde", "qbank_tilde", "qlag_tilde", "qproc~", "qemit_tilde",
                            "qdump~", "qview~"}) {
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
