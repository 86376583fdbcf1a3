// The library loads in the real host and registers its classes.
#include <gtest/gtest.h>

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
