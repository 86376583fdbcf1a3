// End-to-end helpers: build a patch as text, run it in the real host with a
// time limit, and read back the console and the WAV files it wrote.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace e2e {

struct Run {
    std::string console;  // everything the host wrote (stderr and stdout)
    int status;           // exit status; 124 when the time limit hit
};

// How the host is started beyond the defaults.
struct Host {
    std::string flags;  // more command-line flags, such as "-r 48000"
    std::string cwd;    // the folder it starts in; the patch's own when empty
};

// An outlet: object number and outlet index.
struct Out {
    int obj, outlet;
    Out(int o, int n = 0) : obj(o), outlet(n) {}
};

// Analysis and synthesis objects of one chain.
struct Chain {
    int ana, syn;
};

// A patch under construction. Objects and messages are numbered in the
// order they are added, as the host numbers them for connections.
class Patch {
public:
    // dir: the folder for the run's files; a fresh one when empty.
    explicit Patch(std::string dir = "") : dir_(std::move(dir)) {}
    int obj(const std::string &text);
    int msg(const std::string &text);  // text may contain "\\;" etc.
    void connect(int src, int outlet, int dst, int inlet);
    void connect(Out src, int dst, int inlet = 0) { connect(src.obj, src.outlet, dst, inlet); }
    // [pd name] holding inner; its inlets and outlets, in the order they
    // were added, are the subpatch's.
    int sub(const std::string &name, const Patch &inner);

    // The patch's one [loadbang]; its connections fire in the order made.
    int loadbang();
    // At load, or ms later through [del ms], the message goes to dst's inlet
    // (nowhere when dst < 0). Returns the message.
    int at(double ms, const std::string &text, int dst = -1, int inlet = 0);
    void dsp_on() { at(0, "\\; pd dsp 1"); }
    // "e2e: text" on the console after ms: the host got that far.
    void marker(double ms, const std::string &text);
    // Adds [loadbang] -> [del ms] -> [; pd quit( so the run ends by itself.
    void quit_after(double ms);

    // [qbank_tilde] that gets msgs at load.
    int designer(const std::string &msgs);
    // [qavex_tilde] analysing src (none when src.obj < 0) on the parameter
    // channel params (a designer's first outlet, for instance).
    int analysis(Out src, Out params);
    // [invqavex_tilde] fed with a coefficient and a parameter channel.
    int synthesis(Out coeffs, Out params);
    // Analysis of src and synthesis from both its outlets; with a processor
    // proc, the coefficients pass through its first inlet and outlet.
    Chain chain(Out src, Out params, int proc = -1);
    // [qlag_tilde]: src delayed by the latency syn reports.
    int lag(Out src, int syn);
    // [qemit_tilde] on a parameter channel.
    int generator(Out params);
    // A file writer (creation text `object`) of the coefficient and the
    // parameter channel, writing `file` from load on until close_ms (for
    // good when close_ms < 0).
    int writer(Out coeffs, Out params, const std::string &file, double close_ms, const std::string &object = "qdump~");
    // Records each source into a table of `samples` samples from start_ms
    // on (0: the first block) and writes the tables, one channel each, plus
    // the tables named in `also`, to dir()/wav at write_ms (by default 20 ms
    // after the tables are full). Returns the file's path.
    std::string record(const std::vector<Out> &sources, int samples, double start_ms = 0, double write_ms = -1,
                       const std::string &wav = "out.wav", const std::string &also = "");

    std::string text() const;
    // The patch's folder for the files of the run, made on first use.
    const std::string &dir() const;
    // Quits after quit_ms and runs the patch; a run that does not end
    // normally (exit status 0) fails the test.
    Run run(double quit_ms, int timeout_s = 300, const Host &host = {});

private:
    std::string place() const;
    std::vector<std::string> lines_;
    int count_ = 0, loadbang_ = -1, tables_ = 0;
    mutable std::string dir_;
};

// A fresh directory for one test's files.
std::string temp_dir();
// The command that starts the host: "pd", or in a sanitized build "env ...
// pd" with the sanitizer runtime preloaded. For tests that start it themselves.
std::string host_command();
// Runs the patch with -lib qavex from the build directory.
Run run_pd(const Patch &p, const std::string &dir, int timeout_s = 120);
Run run_pd_file(const std::string &patch_path, int timeout_s = 120, const Host &host = {});

// Opens help/<file> in the host with DSP on, posts "e2e: help open" after
// ms milliseconds of logical time and quits shortly after.
Run open_help(const std::string &file, double ms = 200);
// No error, failed creation, failed file access or assertion in the text.
bool clean_console(const std::string &console);

// Channels of a WAV file (16/24/32-bit integer or 32-bit float).
std::vector<std::vector<float>> read_wav(const std::string &path);
// The same, throwing (which fails the test) unless the file holds that many
// channels, each of `frames` frames when frames > 0.
std::vector<std::vector<float>> read_wav(const std::string &path, size_t channels, size_t frames = 0);

// The lines of a text.
std::vector<std::string> lines_of(const std::string &text);
// Lines of the console text that contain the given text.
int count_containing(const std::string &console, const std::string &text);
bool has_line(const std::string &console, const std::string &line);
// Every text stands in exactly that many lines of the console.
::testing::AssertionResult counts(const std::string &console, const std::vector<std::pair<std::string, int>> &want);
// Every line stands in the console (as has_line).
::testing::AssertionResult lines(const std::string &console, const std::vector<std::string> &want);

// One line of a coefficient file: time, band, value, window length.
struct Coefficient {
    long time;
    int band;
    double re, im;
    long length;
};
// The lines of a coefficient file; a malformed line fails the test.
std::vector<Coefficient> read_coefficients(const std::string &path);

// Round-trip error in dB: energy of res - dry over the energy of dry, from
// sample `from` to the end of the shorter signal.
double error_db(const std::vector<float> &res, const std::vector<float> &dry, size_t from = 0);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
std::string build_dir();
std::string source_dir();

}  // namespace e2e
