// Hostile conditions in the real host: file errors of the writer, block
// sizes other than 64, non-finite values and oversized requests. Each case
// must end in bounded time with a loud, counted console message.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "e2e_util.h"

namespace {

// ---------------------------------------------------------------- qdump~ files

struct FileCase {
    const char *name;
    std::string path;     // file given to "open"
    int events;           // coefficients emitted in one block after "open"
    bool close_after;     // "close" once the events are written
    std::string error;    // the one expected error, without "error: "
};

// A designer feeds a generator, whose stream goes to the writer: "open",
// one block of events, optionally "close", then a bang for the state.
e2e::Run run_file_case(const FileCase &c, const std::string &dir)
{
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int dsp = p.msg("\\; pd dsp 1");
    int bank = p.obj("qbank_tilde");
    int emit = p.obj("qemit_tilde");
    int dump = p.obj("qdump~");
    int open = p.msg("open " + c.path);
    int d1 = p.obj("del 10");
    int n = p.msg(std::to_string(c.events));
    int until = p.obj("until");
    int ev = p.msg("emit 3 0.5 -0.25 1");
    int d2 = p.obj("del 20");
    int after = p.msg(c.close_after ? "close \\, bang" : "bang");
    int d3 = p.obj("del 40");
    int again = p.msg("emit 3 0.5 -0.25 1");  // nothing may be written or reported
    p.connect(lb, 0, dsp, 0);
    p.connect(lb, 0, open, 0);
    p.connect(open, 0, dump, 0);
    p.connect(bank, 0, emit, 1);
    p.connect(emit, 0, dump, 0);
    p.connect(emit, 1, dump, 1);
    p.connect(lb, 0, d1, 0);
    p.connect(d1, 0, n, 0);
    p.connect(n, 0, until, 0);
    p.connect(until, 0, ev, 0);
    p.connect(ev, 0, emit, 0);
    p.connect(lb, 0, d2, 0);
    p.connect(d2, 0, after, 0);
    p.connect(after, 0, dump, 0);
    p.connect(lb, 0, d3, 0);
    p.connect(d3, 0, again, 0);
    p.connect(again, 0, emit, 0);
    p.quit_after(80);
    return e2e::run_pd(p, dir);
}

TEST(RobustHost, WriterReportsEveryFileFailureOnceWithTheSystemsReason)
{
    const std::string dir = e2e::temp_dir();
    const std::string missing = dir + "/no/such/folder/out.txt";
    const std::string full = "/dev/full";
    // 100 lines of about 50 bytes exceed the stream's buffer, so the write
    // itself fails; a single line only fails when it is flushed at "close".
    const FileCase cases[] = {
        {"missing folder", missing, 1, false,
         "qdump~: cannot open " + missing + ": " + std::strerror(ENOENT)},
        {"directory", dir, 1, false, "qdump~: cannot open " + dir + ": " + std::strerror(EISDIR)},
        {"write to a full device", full, 100, false,
         "qdump~: writing " + full + " failed: " + std::strerror(ENOSPC)},
        {"close on a full device", full, 1, true,
         "qdump~: closing " + full + " failed: " + std::strerror(ENOSPC)},
    };
    for (const FileCase &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Run r = run_file_case(c, e2e::temp_dir());
        EXPECT_EQ(r.status, 0) << r.console;
        EXPECT_TRUE(e2e::has_line(r.console, c.error)) << r.console;
        EXPECT_EQ(e2e::count_containing(r.console, "error"), 1) << r.console;
        // After the failure the object has no file.
        EXPECT_TRUE(e2e::has_line(r.console, "No open file.")) << r.console;
    }
}

// ---------------------------------------------------------------- block size

// Every class inside a subpatch with [block~ 128]; its bus and audio outlets
// are recorded into tables and written to a WAV file after two DSP starts.
TEST(RobustHost, WrongBlockSizeGivesOneErrorPerStartAndEmptyOutlets)
{
    const std::string dir = e2e::temp_dir();
    const std::string wav = dir + "/outlets.wav";
    // The last table records a plain [sig~ 3]: it proves the recording ran.
    const char *tables[] = {"g", "c", "pg", "eg", "ec", "s", "l", "k"};
    std::string sub = "#N canvas 0 0 400 300 sub 0;\n";
    int count = 0;
    auto obj = [&](const std::string &t) {
        sub += "#X obj 10 " + std::to_string(10 + 20 * count) + " " + t + ";\n";
        return count++;
    };
    auto con = [&](int a, int o, int b, int i) {
        sub += "#X connect " + std::to_string(a) + " " + std::to_string(o) + " " + std::to_string(b) + " " +
               std::to_string(i) + ";\n";
    };
    obj("block~ 128");
    // Each designer feeds one reader, so the host may hand a designer's
    // vector, tag and address included, to the reader's outlet.
    int bank = obj("qbank_tilde");
    int bank2 = obj("qbank_tilde");
    int sig = obj("sig~ 5");
    int ana = obj("qavex_tilde");
    int syn = obj("invqavex_tilde");
    int proc = obj("qproc~ filter 0 5");
    int emit = obj("qemit_tilde");
    int dump = obj("qdump~");
    int sig2 = obj("sig~ 3");
    int lag = obj("qlag_tilde");
    int metro = obj("metro 10");
    int lb = obj("loadbang");
    int first_tab = count;
    for (const char *t : tables) {
        obj(std::string("table ") + t + " 128");
        obj(std::string("tabwrite~ ") + t);
    }
    con(lb, 0, metro, 0);
    con(bank, 0, ana, 1);
    con(sig, 0, ana, 0);
    con(ana, 0, proc, 0);
    con(proc, 0, syn, 0);
    con(ana, 1, syn, 1);
    con(bank2, 0, emit, 1);
    con(emit, 0, dump, 0);
    con(emit, 1, dump, 1);
    con(sig2, 0, lag, 0);
    const int sources[][2] = {{ana, 0}, {ana, 1}, {proc, 0}, {emit, 0}, {emit, 1}, {syn, 0}, {lag, 0}, {sig2, 0}};
    for (int i = 0; i < 8; i++) {
        int tab = first_tab + 2 * i + 1;
        con(sources[i][0], sources[i][1], tab, 0);
        con(metro, 0, tab, 0);
    }
    std::string text = "#N canvas 0 0 800 600 12;\n" + sub + "#X restore 10 10 pd sub;\n";
    // Main canvas: 0 sub, then loadbang, DSP on, a restart, the WAV, quit.
    text += "#X obj 10 40 loadbang;\n"                                     // 1
            "#X msg 10 60 \\; pd dsp 1;\n"                                // 2
            "#X obj 10 80 del 100;\n"                                      // 3
            "#X msg 10 100 \\; pd dsp 0 \\; pd dsp 1;\n"                  // 4
            "#X obj 10 120 del 200;\n"                                     // 5
            "#X msg 10 140 write -wave -bytes 4 " + wav + " g c pg eg ec s l k;\n"  // 6
            "#X obj 10 160 soundfiler;\n"                                  // 7
            "#X obj 10 180 del 250;\n"                                     // 8
            "#X msg 10 200 \\; pd quit;\n"                                 // 9
            "#X connect 1 0 2 0;\n#X connect 1 0 3 0;\n#X connect 3 0 4 0;\n#X connect 1 0 5 0;\n"
            "#X connect 5 0 6 0;\n#X connect 6 0 7 0;\n#X connect 1 0 8 0;\n#X connect 8 0 9 0;\n";
    const std::string patch = dir + "/blocks.pd";
    e2e::write_file(patch, text);
    e2e::Run r = e2e::run_pd_file(patch);
    ASSERT_EQ(r.status, 0) << r.console;

    // The designer works at any size; every other class reports once per start.
    const char *reports[] = {"Fehler in qavex_t_perform - Blocksize falsch", "invqavex_tilde: block size 128",
                             "qproc~: block size 128", "qemit: block size 128", "qdump~: block size 128",
                             "qlag_tilde: block size 128"};
    for (const char *rep : reports) EXPECT_EQ(e2e::count_containing(r.console, rep), 2) << rep << "\n" << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 12) << r.console;

    auto ch = e2e::read_wav(wav);
    ASSERT_EQ(ch.size(), 8u);
    for (int i = 0; i < 8; i++) {
        ASSERT_EQ(ch[i].size(), 128u) << tables[i];
        const float want = i == 7 ? 3.0f : 0.0f;
        int other = 0;
        for (float v : ch[i]) other += v != want;
        EXPECT_EQ(other, 0) << "outlet recorded in " << tables[i];
    }
}

}  // namespace
