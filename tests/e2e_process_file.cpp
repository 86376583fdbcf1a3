// demo.sh on a sound file: every channel analysed and resynthesised, the
// output aligned to the input, and the round-trip error printed per channel.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace {

// 32-bit float WAV with the given channels (all of the same length).
void write_wav(const std::string &path, const std::vector<std::vector<float>> &ch)
{
    std::uint32_t nch = (std::uint32_t)ch.size(), frames = (std::uint32_t)ch[0].size(), sr = 44100;
    std::uint32_t bytes = frames * nch * 4;
    std::string s = "RIFF";
    auto u32 = [&](std::uint32_t v) { s.append((const char *)&v, 4); };
    auto u16 = [&](std::uint16_t v) { s.append((const char *)&v, 2); };
    u32(36 + bytes);
    s += "WAVEfmt ";
    u32(16), u16(3), u16((std::uint16_t)nch), u32(sr), u32(sr * nch * 4), u16((std::uint16_t)(nch * 4)), u16(32);
    s += "data";
    u32(bytes);
    for (std::uint32_t i = 0; i < frames; i++)
        for (auto &c : ch) s.append((const char *)&c[i], 4);
    e2e::write_file(path, s);
}

// Energy of out - in, shifted by lag, over the middle of the signal, in dB
// relative to the input's energy there.
double error_db(const std::vector<float> &in, const std::vector<float> &out, int lag)
{
    double e = 0, s = 0;
    for (size_t i = 4410; i + 4410 < in.size(); i++) {
        double d = out[i + lag] - in[i];
        e += d * d;
        s += (double)in[i] * in[i];
    }
    return 10 * std::log10(e / s);
}

const int n = 26460;  // 0.6 s

// Two channels: a 440 Hz sine, and a 3 kHz sine with some noise.
std::vector<std::vector<float>> test_input()
{
    std::vector<std::vector<float>> in(2, std::vector<float>(n));
    std::uint32_t r = 12345;
    for (int i = 0; i < n; i++) {
        in[0][i] = (float)(0.3 * std::sin(2 * M_PI * 440.0 * i / 44100));
        r = r * 1664525u + 1013904223u;
        in[1][i] = (float)(0.1 * std::sin(2 * M_PI * 3000.0 * i / 44100) + 0.05 * ((r >> 8) / 16777216.0 - 0.5));
    }
    return in;
}

// Both channels of out have the input's length, match it closely and fit
// best without a shift.
void expect_aligned(const std::vector<std::vector<float>> &in, const std::vector<std::vector<float>> &out)
{
    ASSERT_EQ(out.size(), 2u);
    for (int k = 0; k < 2; k++) {
        ASSERT_EQ(out[k].size(), (size_t)n);
        double at0 = error_db(in[k], out[k], 0);
        EXPECT_LT(at0, -20.0) << "channel " << k;
        for (int lag : {-64, -3, -1, 1, 3, 64}) EXPECT_GT(error_db(in[k], out[k], lag), at0 + 1) << lag;
    }
}

TEST(ProcessFile, DemoScriptResynthesisesEveryChannelAlignedToTheInput)
{
    std::string dir = e2e::temp_dir();
    auto in = test_input();
    write_wav(dir + "/in.wav", in);
    std::string cmd = "QAVEX_BUILD_DIR='" + e2e::build_dir() + "' '" + e2e::source_dir() + "/demo.sh' '" + dir +
                      "/in.wav' '" + dir + "/out.wav' > '" + dir + "/log' 2>&1";
#ifdef QAVEX_PD_PRELOAD
    // The script starts the host itself and preloads what it is given here.
    cmd = "QAVEX_PD_PRELOAD='" QAVEX_PD_PRELOAD "' " + cmd;
#endif
    int rc = std::system(cmd.c_str());
    std::string log = e2e::read_file(dir + "/log");
    ASSERT_EQ(rc, 0) << log;

    // One error line per channel, and a faithful round trip.
    for (int k = 1; k <= 2; k++) {
        std::string key = "channel " + std::to_string(k) + ": round-trip error ";
        auto at = log.find(key);
        ASSERT_NE(at, std::string::npos) << log;
        EXPECT_LT(std::atof(log.c_str() + at + key.size()), -20.0) << log;
    }
    expect_aligned(in, e2e::read_wav(dir + "/out.wav"));
}

TEST(ProcessFile, ExamplePatchDoesTheSameInsidePd)
{
    std::string dir = e2e::temp_dir();
    auto in = test_input();
    write_wav(dir + "/in.wav", in);
    e2e::Patch p;
    int lb = p.obj("loadbang");
    int go = p.msg("\\; pd open process-file.pd " + e2e::source_dir() + "/examples \\; qpf-output symbol " + dir +
                   "/out.wav \\; qpf-read symbol " + dir + "/in.wav");
    p.connect(lb, 0, go, 0);
    p.quit_after(2000);
    auto r = e2e::run_pd(p, dir);
    ASSERT_EQ(r.status, 0) << r.console;
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "written: " + std::to_string(n))) << r.console;
    expect_aligned(in, e2e::read_wav(dir + "/out.wav"));
}

// A WAV file as bytes: fmt chunk of fmt_bytes bytes (16 for a full one),
// samples from sample(frame, channel) in [-1, 1) coded as `bits`-bit
// integers (tag 1) or floats (tag 3).
struct WavShape {
    int tag = 1, channels = 1, bits = 16;
    std::uint32_t rate = 44100, frames = 4410, fmt_bytes = 16;
    double (*sample)(std::uint32_t frame, int channel) = nullptr;
};

double sine(std::uint32_t i, int k) { return 0.3 * std::sin(2 * M_PI * (440.0 + 1000.0 * k) * i / 44100); }
double sine_then_nan(std::uint32_t i, int k) { return i == 2000 ? NAN : sine(i, k); }

std::string wav_bytes(const WavShape &w)
{
    std::string data;
    for (std::uint32_t i = 0; i < w.frames; i++)
        for (int k = 0; k < w.channels; k++) {
            const double v = w.sample ? w.sample(i, k) : 0.0;
            if (w.tag == 3 && w.bits == 32) {
                float f = (float)v;
                data.append((const char *)&f, 4);
            } else if (w.tag == 3) {
                data.append((const char *)&v, 8);
            } else if (w.bits == 8) {
                data += (char)(unsigned char)(128 + (int)std::lround(v * 127));
            } else {
                const std::int64_t q = std::llround(v * (double)((std::int64_t)1 << (w.bits - 1)));
                for (int b = 0; b < w.bits / 8; b++) data += (char)(q >> (8 * b));
            }
        }
    std::string fmt;
    auto put = [](std::string &s, std::uint32_t v, int n) { s.append((const char *)&v, n); };
    const std::uint32_t align = (std::uint32_t)(w.channels * w.bits / 8);
    put(fmt, (std::uint32_t)w.tag, 2), put(fmt, (std::uint32_t)w.channels, 2), put(fmt, w.rate, 4);
    put(fmt, w.rate * align, 4), put(fmt, align, 2), put(fmt, (std::uint32_t)w.bits, 2);
    fmt.resize(w.fmt_bytes);
    std::string s = "RIFF";
    put(s, (std::uint32_t)(4 + 8 + fmt.size() + 8 + data.size()), 4);
    s += "WAVEfmt ";
    put(s, (std::uint32_t)fmt.size(), 4);
    s += fmt + "data";
    put(s, (std::uint32_t)data.size(), 4);
    return s + data;
}

// Every input the tool meets: it either writes a complete OUT (the input's
// channels and frames, a faithful round trip) or refuses with one line and
// status 1 and leaves an earlier OUT as it was; the host never starts for
// what the header already rules out.
TEST(ProcessFile, EveryInputGivesACompleteOutputOrOneLineAndTheEarlierOutputStays)
{
    struct Case {
        const char *name;
        WavShape wav;
        const char *in, *out;  // file names in the test folder ("" IN: the WAV above)
        const char *message;   // "" for success
        int channels;
    };
    const std::string bell = "/usr/share/puredata/doc/sound/bell.aiff";
    const std::vector<Case> cases = {
        {"32-bit integer", {1, 2, 32, 44100, 4410, 16, sine}, "", "", "", 2},
        {"8-bit", {1, 1, 8, 44100, 4410, 16, sine}, "", "", "", 1},
        {"64-bit float", {3, 1, 64, 44100, 4410, 16, sine}, "", "", "", 1},
        {"24-bit at 48 kHz", {1, 1, 24, 48000, 4410, 16, sine}, "", "", "", 1},
        {"NaN sample", {3, 1, 32, 44100, 4410, 16, sine_then_nan}, "", "", "frame 2000 of channel 1 holds nan", 0},
        {"0 channels", {1, 0, 16, 44100, 4410, 16, sine}, "", "", "with 0 channels", 0},
        {"fmt chunk cut short", {1, 1, 16, 44100, 4410, 10, sine}, "", "", "fmt chunk holds 10 bytes", 0},
        {"0 frames", {1, 1, 16, 44100, 0, 16, sine}, "", "", "holds no samples", 0},
        {"rate 0", {1, 1, 16, 0, 4410, 16, sine}, "", "", "sample rate 0 Hz", 0},
        {"65 channels", {1, 65, 16, 44100, 441, 16, sine}, "", "", "the host reads at most 64", 0},
        {"mu-law", {7, 1, 8, 44100, 4410, 16, sine}, "", "", "mu-law samples", 0},
        {"OUT is IN", {1, 1, 16, 44100, 4410, 16, sine}, "", "in.wav", "is the input file", 0},
        {"OUT in a missing folder", {1, 1, 16, 44100, 4410, 16, sine}, "", "no/out.wav", "does not exist", 0},
        {"AIFF of Pd's documentation", {}, bell.c_str(), "", "", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = e2e::temp_dir();
        const std::string in = *c.in ? std::string(c.in) : dir + "/in.wav";
        const std::string out = dir + "/" + (*c.out ? c.out : "out.wav");
        if (!*c.in) e2e::write_file(in, wav_bytes(c.wav));
        const std::string before = *c.out ? e2e::read_file(out) : "an earlier OUT";
        if (!*c.out) e2e::write_file(out, before);
        const std::string in_before = e2e::read_file(in);
        std::string cmd = "'" + e2e::source_dir() + "/tools/process-file' '" + in + "' '" + out + "' '" +
                          e2e::build_dir() + "' > '" + dir + "/log' 2>&1";
#ifdef QAVEX_PD_PRELOAD
        cmd = "QAVEX_PD_PRELOAD='" QAVEX_PD_PRELOAD "' " + cmd;
#endif
        const int rc = std::system(cmd.c_str());
        const std::string log = e2e::read_file(dir + "/log");
        EXPECT_EQ(e2e::read_file(in), in_before) << log;
        EXPECT_EQ(log.find("Traceback"), std::string::npos) << log;
        if (*c.message) {
            EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << log;
            ASSERT_EQ(e2e::lines_of(log).size(), 1u) << log;
            EXPECT_NE(log.find(c.message), std::string::npos) << log;
            EXPECT_EQ(e2e::read_file(out), before);
        } else {
            ASSERT_EQ(rc, 0) << log;
            std::uint32_t frames = *c.in ? 155944 : c.wav.frames;
            auto y = e2e::read_wav(out, (size_t)c.channels, frames);
            for (int k = 1; k <= c.channels; k++) {
                const std::string key = "channel " + std::to_string(k) + ": round-trip error ";
                const auto at = log.find(key);
                ASSERT_NE(at, std::string::npos) << log;
                EXPECT_LT(std::atof(log.c_str() + at + key.size()), -20.0) << log;
            }
        }
        // Nothing is left behind beside OUT.
        const std::string listing = dir + "/listing";
        std::system(("ls -a '" + dir + "' | grep -c part > '" + listing + "'").c_str());
        EXPECT_EQ(std::atoi(e2e::read_file(listing).c_str()), 0);
    }
}

// Without OUT the output goes beside IN, even in a folder with a dot in its
// name and for an input without an extension.
TEST(ProcessFile, DefaultOutputSitsBesideTheInput)
{
    const std::string dir = e2e::temp_dir();
    std::system(("mkdir '" + dir + "/my.dir'").c_str());
    e2e::write_file(dir + "/my.dir/take1", wav_bytes({1, 1, 16, 44100, 4410, 16, sine}));
    std::string cmd = "cd '" + dir + "' && QAVEX_BUILD_DIR='" + e2e::build_dir() + "' '" + e2e::source_dir() +
                      "/demo.sh' my.dir/take1 > log 2>&1";
#ifdef QAVEX_PD_PRELOAD
    cmd = "cd '" + dir + "' && QAVEX_PD_PRELOAD='" QAVEX_PD_PRELOAD "' " + cmd.substr(cmd.find("&& ") + 3);
#endif
    ASSERT_EQ(std::system(cmd.c_str()), 0) << e2e::read_file(dir + "/log");
    e2e::read_wav(dir + "/my.dir/take1-qavex.wav", 1, 4410);
}

}  // namespace
