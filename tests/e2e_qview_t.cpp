// The live coefficient view in the real host: after a sine, the array's
// loudest element is the band whose centre frequency lies nearest the sine.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>

#include "e2e_util.h"

namespace {

// Band centres from the designer's print_band lines.
std::map<int, double> band_centres(const std::string &console)
{
    std::map<int, double> r;
    std::istringstream in(console);
    std::string line;
    while (std::getline(in, line)) {
        int q;
        double f;
        if (std::sscanf(line.c_str(), "Band \t%d\t: Centerfrq.:\t%lf", &q, &f) == 2) r[q] = f;
    }
    return r;
}

// Runs designer -> analysis -> qview~ on a 0.1-amplitude sine for a second
// of logical time; the console holds print_band, the array's size and
// "peak: level index" from [array max].
e2e::Run run_view(double freq)
{
    e2e::Patch p;
    int bank = p.designer("make -1 \\, copy_pac2paf -1 \\, print_band -1");
    p.dsp_on();
    std::ostringstream o;
    o << "osc~ " << freq;
    int amp = p.obj("*~ 0.1");
    p.connect(p.obj(o.str()), 0, amp, 0);
    int ana = p.analysis(amp, bank), view = p.obj("qview~ bandlevels");
    p.connect(ana, 0, view, 0);
    p.connect(ana, 1, view, 1);
    p.obj("array define bandlevels 5");
    int bang = p.at(1000, "bang", view);
    int size = p.obj("array size bandlevels"), max = p.obj("array max bandlevels"), pk = p.obj("pack f f");
    p.connect(bang, 0, size, 0);
    p.connect(size, 0, p.obj("print size"), 0);
    p.connect(bang, 0, max, 0);
    p.connect(max, 1, pk, 1);
    p.connect(max, 0, pk, 0);
    p.connect(pk, 0, p.obj("print peak"), 0);
    return p.run(1100, 120);
}

// The array index of the loudest element, -1 when it was not printed.
int peak_band(const std::string &console, float *level)
{
    float band = -1;
    auto at = console.find("peak: ");
    if (at == std::string::npos || std::sscanf(console.c_str() + at, "peak: %f %f", level, &band) != 2) return -1;
    return (int)band;
}

TEST(QviewHost, LoudestElementIsTheBandOfTheSine)
{
    // A sine between two band centres peaks in one of those two bands.
    auto r = run_view(1000.0);
    EXPECT_TRUE(e2e::clean_console(r.console)) << r.console;
    auto centres = band_centres(r.console);
    ASSERT_GT(centres.size(), 24u) << r.console;
    EXPECT_TRUE(e2e::has_line(r.console, "size: " + std::to_string(centres.size()))) << r.console;
    float level = 0;
    int peak = peak_band(r.console, &level);
    ASSERT_GE(peak, 1) << r.console;
    ASSERT_LT(peak + 1, (int)centres.size());
    EXPECT_TRUE((centres[peak] <= 1000.0 && 1000.0 <= centres[peak + 1]) ||
                (centres[peak - 1] <= 1000.0 && 1000.0 <= centres[peak]))
        << peak << "\n"
        << r.console;

    // A sine at a band's centre frequency peaks in that band, and the
    // report names it.
    for (int q : {12, 23}) {
        auto rq = run_view(centres[q]);
        EXPECT_EQ(peak_band(rq.console, &level), q) << centres[q] << " Hz\n" << rq.console;
        EXPECT_GT(level, -120.0f);
        EXPECT_EQ(e2e::count_containing(rq.console, "qview~: loudest band " + std::to_string(q) + " "), 1)
            << rq.console;
    }
}

}  // namespace
