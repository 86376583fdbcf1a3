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

}  // namespace
