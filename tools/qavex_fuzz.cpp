// Message fuzzer: builds patches with a running chain of every class of the
// library and sends each object random messages (its own selectors and
// junk, with arguments such as 0, negatives, 1e30, 1e309, symbols, floats
// carrying the bus tags, and too many or too few of them), and creates and
// deletes objects of every class in a subpatch while DSP runs, wired to the
// chain's channels. Every patch runs in the real host (with -nrt); a run
// that dies, does not reach its end or exceeds the time limit is counted
// and its patch kept. Reproducible: the same random start value gives the same
// patches.
//
//   qavex_fuzz --build DIR [--series S] [--messages N] [--per-run M]
//              [--timeout SECONDS] [--preload LIB] [--mem-limit-mb MB] [--keep-all 1]
//
// Prints messages sent, runs, crashes, hangs and the peak resident memory
// of the host; exits 1 if any run crashed or hung, 2 if the chain could
// not be built (library or class missing).
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Target {
    const char *receiver;
    std::vector<std::string> selectors;
};

// Receivers wired to the objects of the chain (see chain()) and the
// selectors each class answers.
const std::vector<Target> &targets()
{
    static const std::vector<Target> t = {
        {"f_bank",
         {"bang",
          "abs",
          "array_synopsis",
          "componentabs",
          "copy_pac2paf",
          "copy_paf2pac",
          "cut",
          "cycle",
          "differentiate",
          "fft",
          "floating_average",
          "get_first_zero_paf",
          "get_window_length_pac",
          "get_window_length_paf",
          "imag_plus_real",
          "initialize",
          "inner_product",
          "integrate",
          "length_of_vector",
          "ln",
          "make",
          "make_dc_offset",
          "make_dual",
          "mult",
          "normalize",
          "paf2list",
          "print_band",
          "print_first_and_last_value",
          "prolong",
          "round_up_to_multiple_of_small_primes",
          "send_windows",
          "set_C_SR",
          "set_C_T_c",
          "set_C_b",
          "set_C_cut",
          "set_C_d",
          "set_C_q",
          "set_K",
          "set_T_max",
          "set_a",
          "set_b",
          "set_compute_type",
          "set_inf_to_zero",
          "set_nan_to_zero",
          "set_samplerate",
          "set_theta_type",
          "set_thetaf0",
          "set_thetak",
          "set_var",
          "set_window_type",
          "set_winlength_compute",
          "set_winlength_window",
          "shorten",
          "test"}},
        {"f_ana",
         {"bang", "initialize", "round_up_to_multiple_of_small_primes", "set_compute_coefficients", "set_fast",
          "set_num_threads", "set_q_analyse_min", "set_q_analyse_sup", "set_soundbuffer_length_factor", "set_var"}},
        {"f_syn", {"bang", "set_compute_synthesis", "set_num_threads", "set_soundbuffer_length_factor", "set_fast"}},
        {"f_lag", {"bang", "set_soundbuffer_length_factor"}},
        {"f_add", {"bang", "set_float_param", "set_int_param"}},
        {"f_fil", {"bang", "set_float_param", "set_int_param"}},
        {"f_thr", {"bang", "set_float_param", "set_int_param"}},
        {"f_sh", {"bang", "set_float_param", "set_int_param"}},
        {"f_emit", {"bang", "emit"}},
        {"f_dump", {"bang", "open", "close", "set_threshold"}},
        {"f_view", {"bang", "set_array", "set_floor", "set_interval"}},
    };
    return t;
}

const char *const JUNK[] = {"xyzzy", "list", "symbol", "float", "set", "qavex", "dsp"};
const char *const ARGS[] = {"0",
                            "-1",
                            "-7",
                            "1",
                            "2",
                            "3",
                            "64",
                            "0.5",
                            "1e30",
                            "-1e30",
                            "1e309",
                            "-1e309",
                            "51898511360",
                            "51898494976",
                            "2147483648",
                            "1e-40",
                            "foo",
                            "x",
                            "/nonexistent/dir/file",
                            "-"};

// The chain, with one [r NAME] in front of every object's left inlet.
std::string chain(const std::string &dir)
{
    std::vector<std::string> l;
    int n = 0;
    auto obj = [&](const std::string &t) {
        l.push_back("#X obj 10 " + std::to_string(10 + 20 * n) + " " + t + ";");
        return n++;
    };
    auto msg = [&](const std::string &t) {
        l.push_back("#X msg 10 " + std::to_string(10 + 20 * n) + " " + t + ";");
        return n++;
    };
    auto con = [&](int a, int o, int b, int i) {
        l.push_back("#X connect " + std::to_string(a) + " " + std::to_string(o) + " " + std::to_string(b) + " " +
                    std::to_string(i) + ";");
    };
    int osc = obj("osc~ 440");
    int bank = obj("qbank_tilde");
    int ana = obj("qavex_tilde");
    int syn = obj("invqavex_tilde");
    int lag = obj("qlag_tilde");
    int add = obj("qproc~ add");
    int fil = obj("qproc~ filter 0 10");
    int thr = obj("qproc~ threshold 0.001");
    int sh = obj("qproc~ shift 1 1 1");
    int emit = obj("qemit_tilde");
    int dump = obj("qdump~");
    int view = obj("qview~");
    con(osc, 0, ana, 0);
    con(bank, 0, ana, 1);
    con(ana, 0, add, 0);
    con(emit, 0, add, 2);
    con(ana, 1, emit, 1);
    con(add, 0, fil, 0);
    con(fil, 0, thr, 0);
    con(thr, 0, sh, 0);
    con(ana, 1, sh, 1);
    con(bank, 2, sh, 3);
    con(sh, 0, syn, 0);
    con(ana, 1, syn, 1);
    con(syn, 1, lag, 1);
    con(osc, 0, lag, 0);
    con(ana, 0, dump, 0);
    con(ana, 1, dump, 1);
    con(add, 0, view, 0);
    con(ana, 1, view, 1);
    const int objs[] = {bank, ana, syn, lag, add, fil, thr, sh, emit, dump, view};
    for (size_t k = 0; k < targets().size(); k++) con(obj(std::string("r ") + targets()[k].receiver), 0, objs[k], 0);
    // The channels the objects of the subpatch [pd dyn] (see dynamic_event()) read.
    con(ana, 0, obj("s~ fz_coef"), 0);
    con(ana, 1, obj("s~ fz_par"), 0);
    con(bank, 0, obj("s~ fz_bank"), 0);
    obj("pd dyn");
    int lb = obj("loadbang");
    int setup = msg("set_T_max 0.02 \\, initialize 0 \\, make -1 \\, shorten -1 \\, copy_pac2paf -1 \\, make_dual");
    con(lb, 0, setup, 0);
    con(setup, 0, bank, 0);
    int on = msg("\\; pd dsp 1 \\; f_dump open " + dir + "/dump.txt");
    con(lb, 0, on, 0);
    std::string s = "#N canvas 0 0 800 600 12;\n";
    for (auto &x : l) s += x + "\n";
    return s;
}

// Appends batches of messages, each batch a message box fired by [del].
struct Batches {
    std::vector<std::string> lines;
    int base;  // object count of the chain canvas
    int n = 0;
    void add(double ms, const std::string &text)
    {
        int lb = base + n++, d = base + n++, m = base + n++;
        lines.push_back("#X obj 10 10 loadbang;");
        lines.push_back("#X obj 10 10 del " + std::to_string(ms) + ";");
        lines.push_back("#X msg 10 10 " + text + ";");
        lines.push_back("#X connect " + std::to_string(lb) + " 0 " + std::to_string(d) + " 0;");
        lines.push_back("#X connect " + std::to_string(d) + " 0 " + std::to_string(m) + " 0;");
    }
};

// Clears the subpatch [pd dyn] (deleting what it holds while DSP runs) and
// creates in it the chain's channels and one object of a random class, wired
// to them: 0 coefficients, 1 parameters, 2 designer, 3 audio.
std::string dynamic_event(std::mt19937 &rng)
{
    struct Kind {
        const char *text;
        std::vector<std::pair<int, int>> inputs;  // (source object, inlet)
    };
    static const std::vector<Kind> kinds = {
        {"qbank_tilde", {}},
        {"qavex_tilde", {{3, 0}, {2, 1}}},
        {"invqavex_tilde", {{0, 0}, {1, 1}}},
        {"qlag_tilde", {{3, 0}}},
        {"qproc~ add", {{0, 0}, {0, 1}, {1, 2}}},
        {"qproc~ filter 0 10", {{0, 0}, {1, 1}}},
        {"qproc~ shift 1 1 1", {{0, 0}, {1, 1}}},
        {"qemit_tilde", {{1, 1}}},
        {"qdump~", {{0, 0}, {1, 1}}},
        {"qview~", {{0, 0}, {1, 1}}},
    };
    const Kind &k = kinds[rng() % kinds.size()];
    std::string m = "\\; pd-dyn clear \\; pd-dyn obj 10 10 r~ fz_coef \\; pd-dyn obj 10 30 r~ fz_par "
                    "\\; pd-dyn obj 10 50 r~ fz_bank \\; pd-dyn obj 10 70 osc~ 300 \\; pd-dyn obj 10 90 " +
                    std::string(k.text);
    for (auto [src, inlet] : k.inputs)
        m += " \\; pd-dyn connect " + std::to_string(src) + " 0 4 " + std::to_string(inlet);
    return m;
}

std::string random_message(std::mt19937 &rng)
{
    if (rng() % 20 == 0) return dynamic_event(rng);
    const auto &ts = targets();
    const Target &t = ts[rng() % ts.size()];
    std::string sel =
        (rng() % 10 == 0) ? JUNK[rng() % (sizeof JUNK / sizeof *JUNK)] : t.selectors[rng() % t.selectors.size()];
    std::string m = std::string("\\; ") + t.receiver + " " + sel;
    int nargs = (int)(rng() % 7);  // 0..6: too few, right, or too many
    for (int i = 0; i < nargs; i++) m += std::string(" ") + ARGS[rng() % (sizeof ARGS / sizeof *ARGS)];
    return m;
}

struct Outcome {
    bool crashed = false, hung = false, broken = false;  // broken: the chain was not built
    long maxrss_kb = 0;
};

Outcome run_pd(const std::string &build, const std::string &dir, const std::string &patch, const std::string &log,
               int timeout_s, const std::string &preload, long mem_limit_mb)
{
    Outcome o;
    pid_t pid = fork();
    if (pid == 0) {
        // Files the messages name with relative paths land in the run's
        // directory.
        if (chdir(dir.c_str()) != 0) _exit(126);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        if (mem_limit_mb > 0) {
            rlimit r{(rlim_t)mem_limit_mb << 20, (rlim_t)mem_limit_mb << 20};
            setrlimit(RLIMIT_AS, &r);
        }
        if (!preload.empty()) {
            setenv("LD_PRELOAD", preload.c_str(), 1);
            // The sanitizer reserves far more address space than a limit
            // would allow: it refuses allocations beyond 2 GiB resident
            // instead, returning null as an exhausted heap does.
            setenv("ASAN_OPTIONS", "detect_leaks=0:allocator_may_return_null=1:soft_rss_limit_mb=2048", 0);
            setenv("UBSAN_OPTIONS", "halt_on_error=1:print_stacktrace=1", 0);
        }
        // -nrt: as root the host would otherwise take real-time priority.
        execlp("pd", "pd", "-nogui", "-nrt", "-batch", "-noaudio", "-noprefs", "-stderr", "-path", build.c_str(),
               "-lib", "qavex", "-open", patch.c_str(), (char *)nullptr);
        _exit(127);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
    int status = 0;
    rusage ru{};
    for (;;) {
        pid_t r = wait4(pid, &status, WNOHANG, &ru);
        if (r == pid) break;
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &ru);
            o.hung = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    o.maxrss_kb = ru.ru_maxrss;
    if (o.hung) return o;
    std::ifstream f(log);
    std::stringstream ss;
    ss << f.rdbuf();
    const bool ended = ss.str().find("fuzz: end") != std::string::npos;
    o.crashed = !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !ended;
    o.broken =
        ss.str().find("couldn't create") != std::string::npos || ss.str().find("can't load") != std::string::npos;
    return o;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string build, preload;
    unsigned series = 1;
    long messages = 1000, per_run = 250, mem_limit_mb = 0, keep_all = 0;
    int timeout_s = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--build") build = v;
        else if (k == "--series") series = (unsigned)std::stoul(v);
        else if (k == "--messages") messages = std::stol(v);
        else if (k == "--per-run") per_run = std::stol(v);
        else if (k == "--timeout") timeout_s = std::stoi(v);
        else if (k == "--preload") preload = v;
        else if (k == "--mem-limit-mb") mem_limit_mb = std::stol(v);
        else if (k == "--keep-all") keep_all = std::stol(v);
        else {
            std::fprintf(stderr, "unknown option %s\n", k.c_str());
            return 2;
        }
    }
    // The host starts in each run's own folder.
    if (!build.empty()) build = std::filesystem::absolute(build).string();
    if (build.empty() || per_run < 1) {
        std::fprintf(stderr, "usage: qavex_fuzz --build DIR [--series S] [--messages N] [--per-run M] "
                             "[--timeout S] [--preload LIB] [--mem-limit-mb MB]\n");
        return 2;
    }
    std::mt19937 rng(series);
    long sent = 0, runs = 0, crashes = 0, hangs = 0, peak_kb = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (sent < messages) {
        char tmpl[] = "/tmp/qavex_fuzz_XXXXXX";
        std::string dir = mkdtemp(tmpl);
        std::string text = chain(dir);
        Batches b;
        b.base = 0;  // objects and messages of the chain, numbered from 0
        for (size_t p = 0; (p = text.find("\n#X obj", p)) != std::string::npos; p++) b.base++;
        for (size_t p = 0; (p = text.find("\n#X msg", p)) != std::string::npos; p++) b.base++;
        const long here = std::min(per_run, messages - sent);
        double ms = 50;
        for (long i = 0; i < here; ms += 3) {
            std::string batch;
            for (int k = 0; k < 5 && i < here; k++, i++) batch += random_message(rng) + " ";
            b.add(ms, batch);
        }
        b.add(ms + 50, "\\; pd quit");
        // The end marker comes just before quitting.
        text += [&] {
            std::string s;
            for (auto &x : b.lines) s += x + "\n";
            return s;
        }();
        text += "#X obj 10 10 loadbang;\n#X obj 10 10 del " + std::to_string(ms + 40) +
                ";\n#X msg 10 10 end;\n#X obj 10 10 print fuzz;\n";
        const int e = b.base + b.n;
        text += "#X connect " + std::to_string(e) + " 0 " + std::to_string(e + 1) + " 0;\n";
        text += "#X connect " + std::to_string(e + 1) + " 0 " + std::to_string(e + 2) + " 0;\n";
        text += "#X connect " + std::to_string(e + 2) + " 0 " + std::to_string(e + 3) + " 0;\n";
        const std::string patch = dir + "/fuzz.pd";
        std::ofstream(patch) << text;
        Outcome o = run_pd(build, dir, patch, dir + "/console.txt", timeout_s, preload, mem_limit_mb);
        runs++;
        sent += here;
        peak_kb = std::max(peak_kb, o.maxrss_kb);
        if (o.broken) {
            std::printf("SET-UP FAILED: the library or a class did not load, see %s\n", dir.c_str());
            return 2;
        }
        if (o.crashed || o.hung) {
            crashes += o.crashed;
            hangs += o.hung;
            std::printf("%s: run %ld (series %u), patch and console kept in %s\n", o.hung ? "HANG" : "CRASH", runs,
                        series, dir.c_str());
        } else if (!keep_all) {
            std::string cmd = "rm -rf '" + dir + "'";
            if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
        }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("messages sent: %ld\nruns: %ld\ncrashes: %ld\nhangs: %ld\npeak host memory: %.1f MiB\ntime: %.1f s\n",
                sent, runs, crashes, hangs, peak_kb / 1024.0, secs);
    return crashes || hangs ? 1 : 0;
}
