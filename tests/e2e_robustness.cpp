// Hostile conditions in the real host: file errors of the writer, block
// sizes other than 64, non-finite values and oversized requests. Each case
// must end in bounded time with a loud, counted console message.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_util.h"

namespace {

// ---------------------------------------------------------------- qdump~ files

struct FileCase {
    const char *name;
    std::string path;   // file given to "open"
    int events;         // coefficients emitted in one block after "open"
    bool close_after;   // "close" once the events are written
    std::string error;  // the one expected error, without "error: "
};

// A designer feeds a generator, whose stream goes to the writer: "open",
// one block of events, optionally "close", then a bang for the state.
e2e::Run run_file_case(const FileCase &c)
{
    e2e::Patch p;
    p.dsp_on();
    int emit = p.generator(p.obj("qbank_tilde"));
    int dump = p.writer(emit, e2e::Out(emit, 1), c.path, -1);
    int until = p.obj("until"), ev = p.msg("emit 3 0.5 -0.25 1");
    p.connect(until, 0, ev, 0);
    p.connect(ev, 0, emit, 0);
    p.at(10, std::to_string(c.events), until);
    p.at(20, c.close_after ? "close \\, bang" : "bang", dump);
    p.at(40, "emit 3 0.5 -0.25 1", emit);  // nothing may be written or reported
    return p.run(80, 120);
}

TEST(RobustHost, WriterReportsEveryFileFailureOnceWithTheSystemsReason)
{
    const std::string dir = e2e::temp_dir();
    const std::string missing = dir + "/no/such/folder/out.txt";
    const std::string full = "/dev/full";
    // 100 lines of about 50 bytes exceed the stream's buffer, so the write
    // itself fails; a single line only fails when it is flushed at "close".
    const FileCase cases[] = {
        {"missing folder", missing, 1, false, "qdump~: cannot open " + missing + ": " + std::strerror(ENOENT)},
        {"directory", dir, 1, false, "qdump~: cannot open " + dir + ": " + std::strerror(EISDIR)},
        {"write to a full device", full, 100, false, "qdump~: writing " + full + " failed: " + std::strerror(ENOSPC)},
        {"close on a full device", full, 1, true, "qdump~: closing " + full + " failed: " + std::strerror(ENOSPC)},
    };
    for (const FileCase &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::Run r = run_file_case(c);
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
    e2e::Patch sub;
    sub.obj("block~ 128");
    // Each designer feeds one reader, so the host may hand a designer's
    // vector, tag and address included, to the reader's outlet.
    int bank = sub.obj("qbank_tilde");
    int bank2 = sub.obj("qbank_tilde");
    int ana = sub.analysis(sub.obj("sig~ 5"), bank);
    int proc = sub.obj("qproc~ filter 0 5");
    sub.connect(ana, 0, proc, 0);
    int syn = sub.synthesis(proc, e2e::Out(ana, 1));
    int emit = sub.generator(bank2);
    int dump = sub.obj("qdump~");
    sub.connect(emit, 0, dump, 0);
    sub.connect(emit, 1, dump, 1);
    int sig2 = sub.obj("sig~ 3");
    int lag = sub.obj("qlag_tilde");
    sub.connect(sig2, 0, lag, 0);
    int metro = sub.obj("metro 10");
    sub.connect(sub.loadbang(), 0, metro, 0);
    const e2e::Out sources[] = {ana, {ana, 1}, proc, emit, {emit, 1}, syn, lag, sig2};
    for (int i = 0; i < 8; i++) {
        sub.obj(std::string("table ") + tables[i] + " 128");
        int tab = sub.obj(std::string("tabwrite~ ") + tables[i]);
        sub.connect(sources[i], tab);
        sub.connect(metro, 0, tab, 0);
    }
    // Main patch: DSP on, a restart, the WAV.
    e2e::Patch p(dir);
    p.sub("sub", sub);
    p.dsp_on();
    p.at(100, "\\; pd dsp 0 \\; pd dsp 1");
    p.at(200, "write -wave -bytes 4 " + wav + " g c pg eg ec s l k", p.obj("soundfiler"));
    e2e::Run r = p.run(250, 120);

    // The designer works at any size; every other class reports once per start.
    const char *reports[] = {"Fehler in qavex_t_perform - Blocksize falsch",
                             "invqavex_tilde: block size 128",
                             "qproc~: block size 128",
                             "qemit: block size 128",
                             "qdump~: block size 128",
                             "qlag_tilde: block size 128"};
    for (const char *rep : reports) EXPECT_EQ(e2e::count_containing(r.console, rep), 2) << rep << "\n" << r.console;
    EXPECT_EQ(e2e::count_containing(r.console, "error"), 12) << r.console;

    auto ch = e2e::read_wav(wav, 8);
    for (int i = 0; i < 8; i++) {
        ASSERT_EQ(ch[i].size(), 128u) << tables[i];
        const float want = i == 7 ? 3.0f : 0.0f;
        int other = 0;
        for (float v : ch[i]) other += v != want;
        EXPECT_EQ(other, 0) << "outlet recorded in " << tables[i];
    }
}

// ---------------------------------------------------------------- non-finite values

constexpr double AUDIO_MS = 400;  // recorded audio per run
constexpr int RUN_LIMIT_S = 60;   // finite input needs well under a second

struct ChainRun {
    e2e::Run run;
    std::vector<float> out;  // the resynthesis, AUDIO_MS long
    double seconds;          // wall time of the host
};

int finite_count(const std::vector<float> &v)
{
    int n = 0;
    for (float x : v) n += std::isfinite(x);
    return n;
}
int nonzero_count(const std::vector<float> &v)
{
    int n = 0;
    for (float x : v) n += x != 0.0f;
    return n;
}

// Designer -> analysis -> synthesis with [sig~ input]; the designer gets
// bank_msgs at load, the input changes to the given values at the given
// times (ms). The synthesis output is recorded and returned.
ChainRun run_chain(const std::string &bank_msgs, const std::string &input,
                   const std::vector<std::pair<int, std::string>> &changes = {}, const std::string &dir = "")
{
    e2e::Patch p(dir);
    p.dsp_on();
    int bank = p.designer(bank_msgs);
    int sig = p.obj("sig~ " + input);
    e2e::Chain c = p.chain(sig, bank);
    for (const auto &[ms, value] : changes) p.at(ms, value, sig);
    auto wav = p.record({c.syn}, (int)(AUDIO_MS * 44.1), 0, AUDIO_MS);
    auto t0 = std::chrono::steady_clock::now();
    ChainRun r{p.run(AUDIO_MS + 10, RUN_LIMIT_S), {}, 0};
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (r.run.status == 0) r.out = e2e::read_wav(wav).at(0);
    return r;
}

const char *const MAKE = "initialize \\, make -1 \\, copy_pac2paf -1";
const char *const INPUT_WARNING = "qavex_tilde: warning: non-finite input samples are analysed as 0";

TEST(RobustHost, NonFiniteInputIsAnalysedAsZeroWithOneWarningPerEpisode)
{
    // inf, then 0.5 from 100 ms, then -inf from 250 ms: two episodes.
    ChainRun r = run_chain(MAKE, "1e309", {{100, "0.5"}, {250, "-1e309"}});
    ASSERT_EQ(r.run.status, 0) << "took " << r.seconds << " s\n" << r.run.console;
    EXPECT_EQ(e2e::count_containing(r.run.console, INPUT_WARNING), 2) << r.run.console;
    ASSERT_EQ(r.out.size(), (size_t)(AUDIO_MS * 44.1));
    EXPECT_EQ(finite_count(r.out), (int)r.out.size());
    EXPECT_GT(nonzero_count(r.out), 1000) << "the finite stretch is resynthesised";
    std::printf("non-finite input: %.2f s for %.0f ms of audio\n", r.seconds, AUDIO_MS);
}

// The designer refuses values that would publish a non-finite window: an
// infinite factor at once, a finite one that overflows the float windows at
// the conversion. The chain keeps the windows it had and stays finite.
TEST(RobustHost, DesignerPublishesNoNonFiniteWindow)
{
    const std::string msgs = std::string(MAKE) + " \\, paf2list 3 \\, mult -1 TIMES_VAL 1e309 0 \\, cut -1 0 1e309"
                                                 " \\, make_dc_offset -1 1 -1e309 0 \\, mult -1 TIMES_VAL 1e30 0"
                                                 " \\, mult -1 TIMES_VAL 1e30 0 \\, copy_pac2paf -1 \\, paf2list 3";
    ChainRun r = run_chain(msgs, "0.5");
    ASSERT_EQ(r.run.status, 0) << "took " << r.seconds << " s\n" << r.run.console;
    for (const char *sel : {"mult", "cut", "make_dc_offset"})
        EXPECT_EQ(e2e::count_containing(r.run.console, std::string("qbank_tilde ") + sel + ": value "), 1)
            << sel << "\n"
            << r.run.console;
    EXPECT_EQ(e2e::count_containing(r.run.console, "copy_pac2paf: window 0 holds values that are not finite"), 1)
        << r.run.console;
    EXPECT_EQ(e2e::count_containing(r.run.console, "error"), 4) << r.run.console;
    EXPECT_EQ(finite_count(r.out), (int)r.out.size());
    EXPECT_GT(nonzero_count(r.out), 1000);
}

// A processed cache holding NaN is replaced from its source; the bank built
// from it resynthesises finite audio.
TEST(RobustHost, ProcessedCacheWithNaNIsRebuilt)
{
    const std::string dir = e2e::temp_dir(), src = dir + "/map.txt", cache = src + ".processed";
    // A linear map, 60 Hz per unit of the warped axis.
    e2e::write_file(src, "3\n-60 -1\n0 0\n30000 500\n");
    const std::string msgs = "set_theta_type 0 " + src + " \\, " + MAKE;
    ChainRun first = run_chain(msgs, "0.5", {}, dir);
    ASSERT_EQ(first.run.status, 0) << first.run.console;
    const std::string good = e2e::read_file(cache);
    ASSERT_GT(good.size(), 100u) << first.run.console;
    std::string bad = good;
    size_t line = 0;
    for (int i = 0; i < 20; i++) line = bad.find('\n', line) + 1;
    bad.replace(line, bad.find('\n', line) - line, "nan");
    e2e::write_file(cache, bad);

    ChainRun r = run_chain(msgs, "0.5", {}, dir);
    ASSERT_EQ(r.run.status, 0) << "took " << r.seconds << " s\n" << r.run.console;
    EXPECT_EQ(e2e::count_containing(r.run.console, "Thetadata file " + cache + " is corrupt"), 1) << r.run.console;
    EXPECT_TRUE(e2e::read_file(cache) == good) << "the cache is written again from the source";
    EXPECT_EQ(finite_count(r.out), (int)r.out.size());
    EXPECT_TRUE(r.out == first.out) << "the rebuilt bank equals the first one";
    std::printf("NaN in the cache: %.2f s for %.0f ms of audio (clean cache: %.2f s)\n", r.seconds, AUDIO_MS,
                first.seconds);
}

// Infinite coefficients from the generator pass a shifting processor with
// phase correction into the synthesis, beside finite ones, in every block.
TEST(RobustHost, ProcessorAndSynthesisSkipNonFiniteCoefficients)
{
    for (const char *mode : {"set_fast 0", "set_fast 1"}) {
        SCOPED_TRACE(mode);
        e2e::Patch p;
        int fast = p.at(0, mode);
        p.dsp_on();
        int emit = p.generator(p.designer(MAKE)), shift = p.obj("qproc~ shift 0 1 1");
        int metro = p.obj("metro 0.5"), ev = p.msg("emit 5 1e309 0 3 \\, emit 7 0 -1e309 4 \\, emit 9 0.25 0 5");
        p.connect(p.loadbang(), 0, metro, 0);
        p.connect(metro, 0, ev, 0);
        p.connect(ev, 0, emit, 0);
        p.connect(emit, 0, shift, 0);
        p.connect(emit, 1, shift, 1);
        p.connect(emit, 1, shift, 3);
        int syn = p.synthesis(shift, e2e::Out(emit, 1));
        p.connect(fast, 0, syn, 0);
        auto wav = p.record({syn}, (int)(AUDIO_MS * 44.1), 0, AUDIO_MS);
        auto t0 = std::chrono::steady_clock::now();
        e2e::Run r = p.run(AUDIO_MS + 10, RUN_LIMIT_S);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ASSERT_EQ(r.status, 0) << "took " << seconds << " s\n" << r.console;
        EXPECT_EQ(e2e::count_containing(r.console, "qproc~ shift: warning: coefficients with non-finite values"), 1)
            << r.console;
        EXPECT_EQ(e2e::count_containing(r.console, "invqavex_tilde: warning: coefficients with non-finite values"), 1)
            << r.console;
        auto out = e2e::read_wav(wav).at(0);
        EXPECT_EQ(finite_count(out), (int)out.size());
        EXPECT_GT(nonzero_count(out), 1000) << "the finite coefficients are resynthesised";
        std::printf("non-finite coefficients (%s): %.2f s for %.0f ms of audio\n", mode, seconds, AUDIO_MS);
    }
}

// ---------------------------------------------------------------- memory bounds

struct MeasuredRun {
    e2e::Run run;
    long double peak;  // largest resident memory of the host, bytes
};

// Runs the patch from a child process, whose finished children's peak
// resident memory is the host's alone.
MeasuredRun run_measured(const e2e::Patch &p, const std::string &dir)
{
    int fd[2];
    if (pipe(fd) != 0) return {{"pipe failed", -1}, 0};
    pid_t pid = fork();
    if (pid == 0) {
        close(fd[0]);
        e2e::Run r = e2e::run_pd(p, dir, RUN_LIMIT_S);
        rusage ru{};
        getrusage(RUSAGE_CHILDREN, &ru);
        long v[2] = {r.status, ru.ru_maxrss};
        ssize_t n = write(fd[1], v, sizeof v);
        _exit(n == (ssize_t)sizeof v ? 0 : 1);
    }
    close(fd[1]);
    long v[2] = {-1, 0};
    ssize_t n = read(fd[0], v, sizeof v);
    close(fd[0]);
    waitpid(pid, nullptr, 0);
    if (n != (ssize_t)sizeof v) v[0] = -1;
    return {{e2e::read_file(dir + "/test.pd.console"), (int)v[0]}, (long double)v[1] * 1024};
}

struct BoundCase {
    const char *name;
    const char *object;
    std::string messages;  // sent at load; the last ones show the state
    const char *refusal;   // start of the one error
    long double bound;
    std::string state;  // a line proving the earlier state was kept
};

e2e::Patch bound_patch(const char *object, const std::string &messages)
{
    e2e::Patch p;
    int obj = p.obj(object);
    p.at(0, messages, obj);
    p.connect(obj, object == std::string("qbank_tilde") ? 1 : 0, p.obj("print out"), 0);
    p.quit_after(10);
    return p;
}

TEST(RobustHost, OversizedRequestsAreRefusedWithinTheBound)
{
    const long double GiB = 1073741824.0L, DESIGNER = 1e9L;
    const BoundCase cases[] = {
        {"analysis ring", "qavex_tilde", "set_var 7 \\, set_soundbuffer_length_factor 1e30 \\, initialize \\, bang",
         "qavex_tilde initialize: needs ", GiB, "Var= \t7.000000"},
        {"synthesis slices", "invqavex_tilde", "set_soundbuffer_length_factor 262144 \\, set_num_threads 64 \\, bang",
         "invqavex_tilde set_num_threads: needs ", GiB, "Multithreading: \t4 threads"},
        {"designer prolong", "qbank_tilde", "make -1 \\, prolong -1 16000000 2 0 \\, get_window_length_pac 5",
         "qbank_tilde prolong: needs ", DESIGNER, "out: 8778"},
        {"designer make", "qbank_tilde", "set_winlength_compute 1400 \\, make 0 \\, get_window_length_pac 0",
         "qbank_tilde make: needs ", DESIGNER, "out: 0"},
    };
    for (const BoundCase &c : cases) {
        SCOPED_TRACE(c.name);
        MeasuredRun idle = run_measured(bound_patch(c.object, "bang"), e2e::temp_dir());
        ASSERT_EQ(idle.run.status, 0) << idle.run.console;
        MeasuredRun r = run_measured(bound_patch(c.object, c.messages), e2e::temp_dir());
        ASSERT_EQ(r.run.status, 0) << r.run.console;
        EXPECT_EQ(e2e::count_containing(r.run.console, c.refusal), 1) << r.run.console;
        EXPECT_EQ(e2e::count_containing(r.run.console, "error"), 1) << r.run.console;
        EXPECT_TRUE(e2e::has_line(r.run.console, c.state)) << r.run.console;
        EXPECT_LT(r.peak, idle.peak + c.bound);
        std::printf("%s: peak %.0f MB, idle host %.0f MB\n", c.name, (double)(r.peak / 1e6), (double)(idle.peak / 1e6));
    }
}

}  // namespace
