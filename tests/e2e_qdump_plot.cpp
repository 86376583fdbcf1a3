// tools/qdump-plot on tiny qdump~ files: counts, band labels from a table or
// a print_band log, the PNG it writes, and refusal of a malformed file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "e2e_util.h"

namespace {

struct Result {
    int rc;
    std::string out;
};

Result plot(const std::string &dir, const std::string &args)
{
    std::string cmd = "'" + e2e::source_dir() + "/tools/qdump-plot' " + args + " > '" + dir + "/out.txt' 2>&1";
    int rc = std::system(cmd.c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, e2e::read_file(dir + "/out.txt")};
}

std::uint32_t be32(const std::string &s, size_t at)
{
    const unsigned char *p = (const unsigned char *)s.data() + at;
    return (std::uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

TEST(QdumpPlot, DrawsAPictureWithBandLabels)
{
    std::string dir = e2e::temp_dir();
    // Three bands, six coefficients, as qdump~ writes them (tab-separated).
    e2e::write_file(dir + "/dump.txt", "63\t0\t0.50000000000000000000\t0.00000000000000000000\t1024\n"
                                       "63\t2\t-0.01000000000000000000\t0.02000000000000000000\t512\n"
                                       "127\t1\t0.00100000000000000000\t-0.00100000000000000000\t768\n"
                                       "127\t0\t0.25000000000000000000\t0.25000000000000000000\t1024\n"
                                       "191\t2\t0.00000000000000000000\t0.03000000000000000000\t512\n"
                                       "4410\t1\t0.10000000000000000000\t0.00000000000000000000\t768\n");
    e2e::write_file(dir + "/table.txt", "0 0\n1 110.5\n2 220\n");
    e2e::write_file(dir + "/bands.log",
                    "Band \t  0\t: Centerfrq.:\t    0.00\t[Hz], \tBW: \t   15.07\t[Hz], d = \t2925\t[smp]\n"
                    "Band \t  1\t: Centerfrq.:\t  110.50\t[Hz], \tBW: \t   15.07\t[Hz], d = \t2925\t[smp]\n"
                    "Band \t  2\t: Centerfrq.:\t  220.00\t[Hz], \tBW: \t   15.07\t[Hz], d = \t2925\t[smp]\n");
    struct Case {
        std::string bands_arg;
        bool labelled;
    } cases[] = {{"", false}, {"--bands '" + dir + "/table.txt'", true}, {"--bands '" + dir + "/bands.log'", true}};
    for (auto &c : cases) {
        std::string png = dir + "/p.png";
        std::remove(png.c_str());
        auto r = plot(dir, "'" + dir + "/dump.txt' '" + png + "' " + c.bands_arg);
        ASSERT_EQ(r.rc, 0) << r.out;
        EXPECT_NE(r.out.find("qdump-plot: 6 coefficients, 3 bands, 0.099 s"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("labels 0: 0 Hz, 1: 110 Hz, 2: 220 Hz") != std::string::npos, c.labelled) << r.out;
        std::string img = e2e::read_file(png);
        ASSERT_GT(img.size(), 24u);
        EXPECT_EQ(img.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
        EXPECT_EQ(be32(img, 16), 1000u);  // 10 x 5.5 inches at 100 dpi
        EXPECT_EQ(be32(img, 20), 550u);
    }
}

TEST(QdumpPlot, RefusesAFileThatIsNotACoefficientFile)
{
    std::string dir = e2e::temp_dir();
    const char *bad[] = {"", "63\t0\t0.5\n", "a\tb\tc\td\te\n"};
    for (const char *text : bad) {
        e2e::write_file(dir + "/dump.txt", text);
        auto r = plot(dir, "'" + dir + "/dump.txt' '" + dir + "/p.png'");
        EXPECT_NE(r.rc, 0) << text;
        EXPECT_NE(r.out.find("qdump-plot: "), std::string::npos) << r.out;
    }
}

}  // namespace
