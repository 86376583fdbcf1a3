#include "e2e_util.h"

#include <cmath>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

// Each object a little further right than the one before, so the [inlet~]
// and [outlet~] of a subpatch come in the order they were added.
std::string Patch::place() const { return std::to_string(10 + 2 * count_) + " " + std::to_string(10 + 20 * count_); }

int Patch::obj(const std::string &text)
{
    lines_.push_back("#X obj " + place() + " " + text + ";");
    return count_++;
}

int Patch::msg(const std::string &text)
{
    lines_.push_back("#X msg " + place() + " " + text + ";");
    return count_++;
}

void Patch::connect(int src, int outlet, int dst, int inlet)
{
    lines_.push_back("#X connect " + std::to_string(src) + " " + std::to_string(outlet) + " " + std::to_string(dst) +
                     " " + std::to_string(inlet) + ";");
}

int Patch::sub(const std::string &name, const Patch &inner)
{
    lines_.push_back("#N canvas 0 0 400 300 " + name + " 0;");
    for (auto &l : inner.lines_) lines_.push_back(l);
    lines_.push_back("#X restore " + place() + " pd " + name + ";");
    return count_++;
}

static std::string ms_text(double ms)
{
    std::ostringstream d;
    d << ms;
    return d.str();
}

int Patch::loadbang()
{
    if (loadbang_ < 0) loadbang_ = obj("loadbang");
    return loadbang_;
}

int Patch::at(double ms, const std::string &text, int dst, int inlet)
{
    int from = loadbang();
    if (ms > 0) {
        int del = obj("del " + ms_text(ms));
        connect(from, 0, del, 0);
        from = del;
    }
    int m = msg(text);
    connect(from, 0, m, 0);
    if (dst >= 0) connect(m, 0, dst, inlet);
    return m;
}

void Patch::marker(double ms, const std::string &text) { at(ms, text, obj("print e2e")); }

void Patch::quit_after(double ms)
{
    int lb = obj("loadbang");
    int del = obj("del " + ms_text(ms));
    int q = msg("\\; pd quit");
    connect(lb, 0, del, 0);
    connect(del, 0, q, 0);
}

int Patch::designer(const std::string &msgs)
{
    int bank = obj("qbank_tilde");
    at(0, msgs, bank);
    return bank;
}

int Patch::analysis(Out src, Out params)
{
    int a = obj("qavex_tilde");
    if (src.obj >= 0) connect(src, a);
    connect(params, a, 1);
    return a;
}

int Patch::synthesis(Out coeffs, Out params)
{
    int s = obj("invqavex_tilde");
    connect(coeffs, s, 0);
    connect(params, s, 1);
    return s;
}

Chain Patch::chain(Out src, Out params, int proc)
{
    int a = analysis(src, params);
    if (proc >= 0) connect(a, 0, proc, 0);
    return {a, synthesis(proc >= 0 ? proc : a, Out(a, 1))};
}

int Patch::lag(Out src, int syn)
{
    int l = obj("qlag_tilde");
    connect(src, l);
    connect(syn, 1, l, 1);
    return l;
}

int Patch::generator(Out params)
{
    int g = obj("qemit_tilde");
    connect(params, g, 1);
    return g;
}

int Patch::writer(Out coeffs, Out params, const std::string &file, double close_ms, const std::string &object)
{
    int w = obj(object);
    connect(coeffs, w, 0);
    connect(params, w, 1);
    at(0, "open " + file, w);
    if (close_ms >= 0) at(close_ms, "close", w);
    return w;
}

std::string Patch::record(const std::vector<Out> &sources, int samples, double start_ms, double write_ms,
                          const std::string &wav, const std::string &also)
{
    std::string names;
    int start = start_ms > 0 ? obj("del " + ms_text(start_ms)) : loadbang();
    if (start_ms > 0) connect(loadbang(), 0, start, 0);
    for (const Out &s : sources) {
        std::string name = "rec" + std::to_string(tables_++);
        names += " " + name;
        obj("table " + name + " " + std::to_string(samples));
        int tw = obj("tabwrite~ " + name);
        connect(s, tw);
        connect(start, 0, tw, 0);
    }
    if (write_ms < 0) write_ms = start_ms + samples / 44.1 + 20;
    std::string path = dir() + "/" + wav;
    at(write_ms, "write -bytes 4 " + path + names + also, obj("soundfiler"));
    return path;
}

std::string Patch::text() const
{
    std::string s = "#N canvas 0 0 800 600 12;\n";
    for (auto &l : lines_) s += l + "\n";
    return s;
}

const std::string &Patch::dir() const
{
    if (dir_.empty()) dir_ = temp_dir();
    return dir_;
}

Run Patch::run(double quit_ms, int timeout_s, const Host &host)
{
    quit_after(quit_ms);
    std::string path = dir() + "/test.pd";
    write_file(path, text());
    Run r = run_pd_file(path, timeout_s, host);
    EXPECT_EQ(r.status, 0) << "the host did not end normally\n" << r.console;
    return r;
}

std::string build_dir() { return QAVEX_BUILD_DIR; }
std::string source_dir() { return QAVEX_SOURCE_DIR; }

std::string temp_dir()
{
    char tmpl[] = "/tmp/qavex_e2e_XXXXXX";
    char *d = mkdtemp(tmpl);
    if (!d) throw std::runtime_error("mkdtemp failed");
    return d;
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string host_command()
{
#ifdef QAVEX_PD_PRELOAD
    return "env LD_PRELOAD='" QAVEX_PD_PRELOAD "' ASAN_OPTIONS=detect_leaks=0 "
           "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 pd";
#else
    return "pd";
#endif
}

Run run_pd_file(const std::string &patch_path, int timeout_s, const Host &host)
{
    std::string out = patch_path + ".console";
    std::string cd = host.cwd.empty() ? "\"$(dirname '" + patch_path + "')\"" : "'" + host.cwd + "'";
    std::string cmd = "cd " + cd + " && timeout " + std::to_string(timeout_s) + " " + host_command() + " " +
                      host.flags + " -nogui -batch -noaudio -noprefs -stderr -path '" + build_dir() +
                      "' -lib qavex -open '" + patch_path + "' > '" + out + "' 2>&1";
    int rc = std::system(cmd.c_str());
    Run r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.console = read_file(out);
    return r;
}

Run run_pd(const Patch &p, const std::string &dir, int timeout_s)
{
    std::string path = dir + "/test.pd";
    write_file(path, p.text());
    return run_pd_file(path, timeout_s);
}

Run open_help(const std::string &file, double ms)
{
    Patch p;
    p.at(0, "\\; pd open " + file + " " + source_dir() + "/help \\; pd dsp 1");
    p.at(ms, "help open", p.obj("print e2e"));
    p.quit_after(ms + 100);
    return run_pd(p, p.dir());
}

bool clean_console(const std::string &console)
{
    for (const char *bad : {"error", "couldn't", "Can't", "Assertion", "connection failed"})
        if (console.find(bad) != std::string::npos) return false;
    return true;
}

static std::uint32_t le32(const unsigned char *p) { return p[0] | p[1] << 8 | p[2] << 16 | (std::uint32_t)p[3] << 24; }
static std::uint16_t le16(const unsigned char *p) { return p[0] | p[1] << 8; }

std::vector<std::vector<float>> read_wav(const std::string &path)
{
    std::string s = read_file(path);
    const unsigned char *b = (const unsigned char *)s.data();
    if (s.size() < 12 || std::memcmp(b, "RIFF", 4) || std::memcmp(b + 8, "WAVE", 4))
        throw std::runtime_error("not a WAV file: " + path);
    int format = 0, channels = 0, bits = 0;
    size_t pos = 12;
    while (pos + 8 <= s.size()) {
        std::uint32_t len = le32(b + pos + 4);
        const unsigned char *c = b + pos + 8;
        if (!std::memcmp(b + pos, "fmt ", 4)) {
            format = le16(c);
            channels = le16(c + 2);
            bits = le16(c + 14);
            if (format == 0xFFFE && len >= 26) format = le16(c + 24);
        } else if (!std::memcmp(b + pos, "data", 4)) {
            if (channels <= 0) throw std::runtime_error("WAV without fmt: " + path);
            size_t avail = std::min<size_t>(len, s.size() - pos - 8);
            int bps = bits / 8;
            size_t frames = avail / (bps * channels);
            std::vector<std::vector<float>> out(channels, std::vector<float>(frames));
            for (size_t i = 0; i < frames; i++)
                for (int ch = 0; ch < channels; ch++) {
                    const unsigned char *p = c + (i * channels + ch) * bps;
                    float v;
                    if (format == 3 && bits == 32) {
                        std::uint32_t u = le32(p);
                        std::memcpy(&v, &u, 4);
                    } else if (bits == 16) {
                        v = (std::int16_t)le16(p) / 32768.0f;
                    } else if (bits == 24) {
                        std::int32_t x = (p[0] << 8 | p[1] << 16 | p[2] << 24) >> 8;
                        v = x / 8388608.0f;
                    } else if (bits == 32) {
                        v = (float)((std::int32_t)le32(p) / 2147483648.0);
                    } else {
                        throw std::runtime_error("unsupported WAV sample format");
                    }
                    out[ch][i] = v;
                }
            return out;
        }
        pos += 8 + len + (len & 1);
    }
    throw std::runtime_error("WAV without data: " + path);
}

std::vector<std::vector<float>> read_wav(const std::string &path, size_t channels, size_t frames)
{
    auto ch = read_wav(path);
    if (ch.size() != channels || (frames > 0 && ch[0].size() != frames))
        throw std::runtime_error(path + ": " + std::to_string(ch.size()) + " channels of " +
                                 std::to_string(ch.empty() ? 0 : ch[0].size()) + " frames, want " +
                                 std::to_string(channels) + " of " + std::to_string(frames));
    return ch;
}

int count_containing(const std::string &console, const std::string &text)
{
    int n = 0;
    std::istringstream in(console);
    std::string line;
    while (std::getline(in, line))
        if (line.find(text) != std::string::npos) n++;
    return n;
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

bool has_line(const std::string &console, const std::string &want)
{
    std::istringstream in(console);
    std::string line;
    while (std::getline(in, line))
        if (line == want || line == "error: " + want) return true;
    return false;
}

double error_db(const std::vector<float> &res, const std::vector<float> &dry, size_t from)
{
    double e = 0, d = 0;
    for (size_t i = from; i < dry.size() && i < res.size(); i++) {
        const double r = res[i] - (double)dry[i];
        e += r * r;
        d += dry[i] * (double)dry[i];
    }
    return 10 * std::log10(e / d);
}

::testing::AssertionResult counts(const std::string &console, const std::vector<std::pair<std::string, int>> &want)
{
    std::string wrong;
    for (auto &[text, n] : want)
        if (int got = count_containing(console, text); got != n)
            wrong += "\"" + text + "\": " + std::to_string(got) + " lines, want " + std::to_string(n) + "\n";
    if (wrong.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong << console;
}

::testing::AssertionResult lines(const std::string &console, const std::vector<std::string> &want)
{
    std::string missing;
    for (auto &l : want)
        if (!has_line(console, l)) missing += "missing line \"" + l + "\"\n";
    if (missing.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << missing << console;
}

std::vector<Coefficient> read_coefficients(const std::string &path)
{
    std::vector<Coefficient> v;
    std::istringstream in(read_file(path));
    for (std::string line; std::getline(in, line);) {
        Coefficient c{};
        if (std::sscanf(line.c_str(), "%ld\t%d\t%lf\t%lf\t%ld", &c.time, &c.band, &c.re, &c.im, &c.length) == 5)
            v.push_back(c);
        else ADD_FAILURE() << "not a coefficient line in " << path << ": " << line;
    }
    return v;
}

}  // namespace e2e
