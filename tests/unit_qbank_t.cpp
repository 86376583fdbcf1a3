// The designer: band layout, thetadata files, windows, and its messages.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "bank_fixture.h"
#include "bank_rebuild.h"
#include "pd_stub.h"
#include "qavex_t_array_functions.h"
#include "qavex_t_theta_functions.h"
#include "qbank_t.h"
#include "qbank_windows.h"

namespace {

using stub::fa;
using stub::sa;

class Bank : public DesignerTest {
protected:
    sQbank_Param &P() { return x->sParam; }
    double B(int q) { return 1.0 / (P().aldDq_real[q] * P().C_d); }
    int argmax(int q)
    {
        pac_type *w = x->pac[q];
        int n = qavex_t_window_length(w), m = 0;
        for (int i = 0; i < n; i++)
            if (std::abs(w[i]) > std::abs(w[m])) m = i;
        return m;
    }
    std::vector<pac_type> window(int q)
    {
        pac_type *w = x->pac[q];
        return std::vector<pac_type>(w, w + qavex_t_window_length(w));
    }
    std::vector<stub::OutletEvent> outM() { return stub::events_of(x->x_outM); }
};

std::string tmpdir() { return make_temp_folder("qbank_unit_"); }

void write(const std::string &path, const std::string &text)
{
    std::ofstream f(path);
    f << text;
}

std::string read_text(const std::string &path)
{
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool file_exists(const std::string &path)
{
    std::ifstream f(path);
    return f.good();
}

// A source thetadata file sampling the exponential map (f0 12, k 36, no tail).
std::string exp_map_source()
{
    double d[4] = {12, 36, 176400, 132300};
    std::ostringstream s;
    std::vector<double> xs;
    for (double xx = -2; xx <= 420; xx += 0.5) xs.push_back(xx);
    s << xs.size() << "\n";
    s.precision(17);
    for (double xx : xs) s << qavex_t_Theta_exp_c1_nyqu(xx, d) << " " << xx << "\n";
    return s.str();
}

// ------------------------------------------------------------------ layout

TEST_F(Bank, NewObjectHasTheLayoutOfTheWorkedExample)
{
    EXPECT_EQ(P().iq_compute_sup, 33);
    EXPECT_DOUBLE_EQ(P()._R, 1.0);
    EXPECT_NEAR(P().dWinlength_window, 1.0 / 24, 1e-15);
    EXPECT_NEAR(P()._a, 1.0 / 24, 1e-15);
    EXPECT_NEAR(P().dWinlength_compute, 0.199027, 1e-6);
    EXPECT_NEAR(P()._b, 12.0, 1e-12);
    EXPECT_NEAR(B(0), 7.5367, 1e-4);
    EXPECT_EQ(P().aiDq[0], 2925);
    EXPECT_EQ(P().aiDq[16], 196);
    EXPECT_EQ(P().aiDq[32], 4);
    EXPECT_NEAR(B(32), 4516.87, 0.01);
    EXPECT_NEAR(P().Theta(32 * P()._b, P().thetadata), 19506, 1);
    for (int q = 0; q < 33; q++) {
        EXPECT_DOUBLE_EQ(P().aldDq[q], P().aiDq[q] / 44100.0) << q;
        if (q) {
            EXPECT_LE(P().aiDq[q], P().aiDq[q - 1]) << q;
        }
    }
    EXPECT_EQ(P().iLongestFrame_paf, -1);
    EXPECT_EQ(P().thetadata[2], 176400.0);
    EXPECT_EQ(P().thetadata[3], 132300.0);
    for (int q = 0; q < 33; q++) {
        EXPECT_EQ(x->pac[q], nullptr);
        EXPECT_EQ(P().paf_r[q], nullptr);
        EXPECT_EQ(P().paf_i[q], nullptr);
    }
    EXPECT_EQ(errors(), 0) << stub::console_text();
}

TEST_F(Bank, CheckReportsAForeignSampleRate)
{
    stub::set_samplerate(48000);
    stub::clear();
    send("initialize");
    EXPECT_TRUE(stub::errored("Samplerate=48000.000000 falsch.")) << stub::console_text();
    EXPECT_EQ(P().iq_compute_sup, 33);
}

TEST_F(Bank, UnknownThetaTypeFallsBackToTheExponentialMap)
{
    std::vector<std::int32_t> hops4(P().aiDq, P().aiDq + 33);
    send("set_theta_type", {fa(7)});
    stub::clear();
    send("initialize");
    EXPECT_TRUE(stub::errored("qavex_t: Wrong Theta chosen"));
    EXPECT_TRUE(stub::errored("qavex_t: Change to EXP_C1_NYQU"));
    EXPECT_EQ(P().eThetaType, EXP_C1_NYQU);
    EXPECT_EQ(P().Theta, &qavex_t_Theta_exp_c1_nyqu);
    ASSERT_EQ(P().iq_compute_sup, 33);
    EXPECT_EQ(std::vector<std::int32_t>(P().aiDq, P().aiDq + 33), hops4);
    for (int t : {-1, 1, 3, 5, 9, 13}) {
        send("set_theta_type", {fa(t)});
        stub::clear();
        send("initialize");
        EXPECT_TRUE(stub::errored("qavex_t: Wrong Theta chosen")) << t;
        EXPECT_EQ(P().eThetaType, EXP_C1_NYQU);
    }
}

TEST_F(Bank, ClosedFormMapsAreSelected)
{
    send("set_theta_type", {fa(10)});
    send("initialize");
    EXPECT_EQ(P().Theta_inv, &qavex_t_Theta_inv_id);
    // Theta = id: b = 12, 22050/12 = 1837.5 -> 1838 bands of 12 Hz each.
    EXPECT_EQ(P().iq_compute_sup, 1838);
    EXPECT_EQ(P().aiDq[0], P().aiDq[1000]);
    send("set_theta_type", {fa(11)});
    send("initialize");
    EXPECT_EQ(P().Theta, &qavex_t_Theta_lin);
    EXPECT_EQ(P().iq_compute_sup, (int)(22050.0 / 36 / 12) + 1);
    send("set_theta_type", {fa(12)});
    send("initialize");
    EXPECT_EQ(P().d_Theta_infimum, &qavex_t_d_Theta_inf_square);
    EXPECT_GT(P().iq_compute_sup, 0);
}

TEST_F(Bank, OverrideKeepsSetLengths)
{
    send("set_b", {fa(6)});
    send("initialize", {fa(1)});
    EXPECT_EQ(P()._b, 6.0);
    EXPECT_EQ(P().iq_compute_sup, 66);
    send("initialize");
    EXPECT_EQ(P()._b, 12.0);
    EXPECT_EQ(P().iq_compute_sup, 33);
    // A not-a-number override keeps the lengths as well.
    send("set_b", {fa(6)});
    send("initialize", {fa(NAN)});
    EXPECT_EQ(P().iq_compute_sup, 66);
}

TEST_F(Bank, OverrideWithKTwoWidensTheBandsOnly)
{
    std::vector<double> B1;
    for (int q = 0; q < 33; q++) B1.push_back(B(q));
    send("set_K", {fa(2)});
    send("initialize", {fa(1)});
    EXPECT_EQ(P()._R, 1.0);
    EXPECT_NEAR(P().dWinlength_window, 1.0 / 24, 1e-15);
    EXPECT_NEAR(P()._a, 1.0 / 24, 1e-15);
    EXPECT_NEAR(P()._b, 12, 1e-12);
    ASSERT_EQ(P().iq_compute_sup, 33);
    // Band 0 straddles the linear part of the map: twice the width.
    EXPECT_NEAR(B(0) / B1[0], 2.0, 1e-9);
    for (int q = 1; q < 33; q++) EXPECT_GT(B(q), 1.9 * B1[q]) << q;
    EXPECT_LT(P().aiDq[0], 1500);
    send("initialize");
    EXPECT_EQ(P()._R, 2.0);
    EXPECT_NEAR(P().dWinlength_window, 1.0 / 12, 1e-15);
}

TEST_F(Bank, ExtraBandsAddExactlyThatMany)
{
    send("set_C_q", {fa(3)});
    send("initialize");
    EXPECT_EQ(P().iq_compute_sup, 36);
    send("set_C_q", {fa(2.5)});
    send("initialize");
    EXPECT_EQ(P().iq_compute_sup, 35);
}

TEST_F(Bank, SmallHopsArePostedAndRaised)
{
    send("set_C_d", {fa(8)});
    stub::clear();
    send("initialize");
    // Band 32: 44100 / 4516.87 / 8 = 1.22 samples.
    EXPECT_EQ(P().aiDq[32], 1);
    EXPECT_TRUE(stub::posted("qavex_t: Probably window with to high bandwidth: d_q < 2 sample at frequency bin 32"));
    EXPECT_EQ(P().aldDq[32], 1.0 / 44100);
    send("set_C_d", {fa(30)});
    stub::clear();
    send("initialize");
    EXPECT_TRUE(stub::errored("qavex_t: Window with too high bandwidth: d_q < 1 sample at frequency bin 32"));
    EXPECT_EQ(P().aiDq[32], 1);
    EXPECT_EQ(P().aldDq[32], P().aldDq_real[32]);
    EXPECT_LT(P().aldDq_real[32] * 44100, 1.0);
    EXPECT_FALSE(stub::errored("d_q < 1 sample bei Band: \t32\t, d_32=\t0.000007"));
}

TEST_F(Bank, GrowingHopsAreReportedByTheCheck)
{
    // A map whose slope drops from 100 to 10 at x = 100: the hops grow ten
    // times there; elsewhere they are constant.
    std::string dir = tmpdir(), path = dir + "/kink.txt";
    std::ostringstream s;
    s << 402 << "\n";
    for (int i = -1; i <= 400; i++) {
        double xx = i, yy = xx <= 100 ? 100 * xx : 10000 + 10 * (xx - 100);
        s << yy << " " << xx << "\n";
    }
    write(path, s.str());
    send("set_theta_type", {fa(0), sa(path.c_str())});
    stub::clear();
    send("initialize");
    ASSERT_EQ(P().eThetaType, BSPLINE) << stub::console_text();
    int reported = 0;
    for (auto &l : stub::console())
        if (l.error && l.text.rfind("d[", 0) == 0) reported++;
    EXPECT_GE(reported, 1) << stub::console_text();
    int q = 1;
    while (q < P().iq_compute_sup && !(P().aiDq[q - 1] < P().aiDq[q] - 1)) q++;
    ASSERT_LT(q, P().iq_compute_sup);
    char line[200];
    std::snprintf(line, sizeof line, "d[%i]=\t%i\t > d[%i]=\t%i", q - 1, P().aiDq[q - 1], q, P().aiDq[q]);
    EXPECT_TRUE(stub::errored(line)) << stub::console_text();
    // Far from the kink the hops do not change and nothing is reported.
    EXPECT_EQ(P().aiDq[1], P().aiDq[2]);
    std::snprintf(line, sizeof line, "d[%i]=\t%i\t > d[%i]=\t%i", 1, P().aiDq[1], 2, P().aiDq[2]);
    EXPECT_FALSE(stub::errored(line));
}

TEST_F(Bank, AllocationFailureLeavesNoBands)
{
    int failed = 0;
    for (int k = 0; k < 9; k++) {
        qavex_t_fail_after = k;
        stub::clear();
        send("initialize");
        qavex_t_fail_after = -1;
        if (P().iq_compute_sup == 0) {
            failed++;
            EXPECT_TRUE(stub::errored("qbank_t_initialize: Out of Memory, the bank has 0 bands")) << k;
            EXPECT_EQ(x->pac, nullptr);
            EXPECT_EQ(P().paf_r, nullptr);
            EXPECT_EQ(P().aiDq, nullptr);
            // Everything else still works on the empty bank.
            send("make", {fa(-1)});
            send("copy_pac2paf", {fa(-1)});
            send("print_band", {fa(-1)});
            send("bang");
        } else {
            EXPECT_EQ(P().iq_compute_sup, 33) << k;
        }
        send("initialize");
        EXPECT_EQ(P().iq_compute_sup, 33);
    }
    // The set-aside warping data, thetadata, three hop arrays, the complex
    // and the two float tables.
    EXPECT_EQ(failed, 8);
}

TEST_F(Bank, AbsurdBandCountsAreRefused)
{
    send("set_b", {fa(1e-9)});
    stub::clear();
    send("initialize", {fa(1)});
    EXPECT_EQ(P().iq_compute_sup, 0);
    EXPECT_TRUE(stub::errored("q_sup<0"));
    send("set_b", {fa(-12)});
    send("initialize", {fa(1)});
    EXPECT_EQ(P().iq_compute_sup, 0);
    send("set_b", {fa(NAN)});
    send("initialize", {fa(1)});
    EXPECT_EQ(P().iq_compute_sup, 0);
    send("make", {fa(-1)});
    send("initialize");
    EXPECT_EQ(P().iq_compute_sup, 33);
}

// ------------------------------------------------------------------ B-spline files

TEST_F(Bank, MissingThetadataFileFallsBack)
{
    std::vector<std::int32_t> hops4(P().aiDq, P().aiDq + 33);
    send("set_theta_type", {fa(0), sa("/nonexistent/dir/theta.txt")});
    stub::clear();
    send("initialize");
    EXPECT_TRUE(stub::posted("File not found. Change to EXP_C1_NYQU."));
    EXPECT_STREQ(P().thetapath, "/nonexistent/dir/theta.txtFile not found.");
    EXPECT_EQ(P().eThetaType, EXP_C1_NYQU);
    ASSERT_EQ(P().iq_compute_sup, 33);
    EXPECT_EQ(std::vector<std::int32_t>(P().aiDq, P().aiDq + 33), hops4);
}

TEST_F(Bank, LongMissingPathIsCutBeforeTheNote)
{
    std::string path = "/nonexistent/" + std::string(490, 'a');
    send("set_theta_type", {fa(0), sa(path.c_str())});
    send("initialize");
    EXPECT_EQ(std::string(P().thetapath), path.substr(0, 480) + "File not found.");
}

TEST_F(Bank, SourceFileIsProcessedAndTheProcessedFilePreferred)
{
    std::string dir = tmpdir(), path = dir + "/theta.txt";
    write(path, exp_map_source());
    send("set_thetaf0", {fa(11)});
    send("set_theta_type", {fa(0), sa(path.c_str())});
    stub::clear();
    send("initialize");
    ASSERT_EQ(P().eThetaType, BSPLINE) << stub::console_text();
    EXPECT_EQ(errors(), 0) << stub::console_text();
    EXPECT_FALSE(stub::posted("Thetadata file is wrong. Data does not start with negative values."));
    EXPECT_EQ(P().Theta, &qavex_t_Theta_bspline);
    double *d = P().thetadata;
    EXPECT_EQ(d[0], 11.0);  // f0 and k kept
    EXPECT_EQ(d[1], 36.0);
    int Si = (int)d[6], si = (int)d[5], Sf = (int)d[Si + 13], sf = (int)d[Si + 12];
    // Frequencies from Theta(-2) = -1.26 to Theta(420) = 39009.
    EXPECT_EQ(si, -1);
    EXPECT_EQ(sf, -2);
    EXPECT_EQ(Sf, 423);
    double e[4] = {12, 36, 176400, 132300};
    EXPECT_EQ(Si, (int)(qavex_t_Theta_exp_c1_nyqu(420, e) + 1) + 1);
    // The tables follow the map they were sampled from.
    EXPECT_NEAR(P().Theta(200, d), qavex_t_Theta_exp_c1_nyqu(200, e), 1e-3 * qavex_t_Theta_exp_c1_nyqu(200, e));
    EXPECT_NEAR(P().Theta_inv(22050, d), 390.367, 0.05);
    EXPECT_NEAR(P().Theta_inv(-1000, d), -qavex_t_Theta_inv_exp_c1_nyqu(1000, e), 0.05);
    // b = 2 f0 / C_b = 11: 390.37 / 11 -> 36 bands.
    EXPECT_EQ(P().iq_compute_sup, 36);

    std::string processed = path + ".processed";
    ASSERT_TRUE(file_exists(processed));
    std::ifstream pf(processed);
    std::string l1, l2, l3, l4;
    std::getline(pf, l1);
    std::getline(pf, l2);
    std::getline(pf, l3);
    std::getline(pf, l4);
    EXPECT_EQ(l1, std::to_string(Si) + " ");
    EXPECT_EQ(l2, std::to_string(si));
    EXPECT_EQ(l3, std::to_string(Sf) + " ");
    EXPECT_EQ(l4, std::to_string(sf));
    std::vector<double> tables(d, d + Si + Sf + 18);
    std::vector<std::int32_t> hops(P().aiDq, P().aiDq + 36);

    // The source changes but is not newer than the processed file: the
    // processed file is still read, unchanged.
    write(path, "0\n");
    std::filesystem::last_write_time(path, std::filesystem::last_write_time(processed) - std::chrono::seconds(1));
    stub::clear();
    send("initialize");
    EXPECT_EQ(P().eThetaType, BSPLINE);
    EXPECT_FALSE(stub::posted("Thetadata file is wrong. Size entry in first row nonpositive."));
    ASSERT_EQ((int)P().thetadata[6], Si);
    EXPECT_EQ(std::vector<double>(P().thetadata, P().thetadata + Si + Sf + 18), tables);
    EXPECT_EQ(std::vector<std::int32_t>(P().aiDq, P().aiDq + 36), hops);
    std::remove(path.c_str());
    send("initialize");
    EXPECT_EQ(P().eThetaType, BSPLINE);

    // A bang shows the path.
    stub::clear();
    send("bang");
    EXPECT_TRUE(stub::posted("ThetaPath: \t" + path));
    send("make", {fa(-1)});
    EXPECT_EQ(qbank_t_test_windows(x, 0), 0);
}

TEST_F(Bank, LongPathsUseTheSourceOnlyAndAreCutOnFallBack)
{
    std::string dir = tmpdir();
    while (dir.size() + 61 < 480) {
        dir += "/" + std::string(60, 'd');
        ASSERT_TRUE(std::filesystem::create_directories(dir));
    }
    std::string path = dir + "/" + std::string(489 - dir.size() - 1, 't');
    ASSERT_EQ(path.size(), 489u);
    write(path, exp_map_source());
    write(path + ".processed", "garbage");  // never looked at for such a path
    send("set_theta_type", {fa(0), sa(path.c_str())});
    stub::clear();
    send("initialize");
    EXPECT_EQ(P().eThetaType, BSPLINE) << stub::console_text();
    EXPECT_EQ(errors(), 0) << stub::console_text();
    EXPECT_EQ(P().iq_compute_sup, 33);
    EXPECT_EQ(read_text(path + ".processed"), "garbage");
    write(path, "0\n");
    send("initialize");
    EXPECT_EQ(P().eThetaType, EXP_C1_NYQU);
    EXPECT_EQ(std::string(P().thetapath), path.substr(0, 480));
}

TEST_F(Bank, SourceWithZeroRowsFallsBack)
{
    std::string dir = tmpdir(), path = dir + "/zero.txt";
    write(path, "0\n1 2\n");
    send("set_theta_type", {fa(0), sa(path.c_str())});
    stub::clear();
    send("initialize");
    EXPECT_TRUE(stub::posted("Thetadata file is wrong. Size entry in first row nonpositive."));
    EXPECT_EQ(P().eThetaType, EXP_C1_NYQU);
    EXPECT_STREQ(P().thetapath, path.c_str());
    EXPECT_EQ(P().iq_compute_sup, 33);
    EXPECT_FALSE(file_exists(path + ".processed"));
}

TEST_F(Bank, SourceWarningsDoNotStopTheLoad)
{
    std::string dir = tmpdir(), path = dir + "/warn.txt";
    // Starts above 0 and has one falling row.
    write(path, "5\n1 0.5\n10 1\n9 2\n30 3\n40 4\n");
    send("set_theta_type", {fa(0), sa(path.c_str())});
    stub::clear();
    send("initialize");
    EXPECT_TRUE(stub::posted("Thetadata file is wrong. Data does not start with negative values."));
    EXPECT_EQ(stub::count_lines("Thetadata file is wrong. Data not monotone increasing."), 1);
}

TEST_F(Bank, CorruptSourceFilesFallBackAsMissingOnes)
{
    std::string dir = tmpdir();
    const char *bad[] = {"garbage\n",           "5\n-1 -1\n1 1\n", "3\n-1 -1\nx y\n5 5\n", "3\n-1 -1\nnan 2\n5 5\n",
                         "2\n-1 -1\n1e300 5\n", "1\n-1 -1\n",      "2000000000\n-1 -1\n"};
    int i = 0;
    for (const char *text : bad) {
        std::string path = dir + "/bad" + std::to_string(i++) + ".txt";
        write(path, text);
        send("set_theta_type", {fa(0), sa(path.c_str())});
        stub::clear();
        send("initialize");
        EXPECT_EQ(P().eThetaType, EXP_C1_NYQU) << text;
        EXPECT_EQ(P().iq_compute_sup, 33) << text;
        bool named = false;
        for (auto &l : stub::console())
            if (l.error && l.text.find(path) != std::string::npos) named = true;
        EXPECT_TRUE(named) << text << stub::console_text();
        EXPECT_TRUE(stub::posted("File not found. Change to EXP_C1_NYQU.")) << text;
        EXPECT_FALSE(file_exists(path + ".processed")) << text;
    }
}

TEST_F(Bank, CorruptProcessedFileIsReplacedFromTheSource)
{
    std::string dir = tmpdir(), path = dir + "/theta.txt";
    write(path, exp_map_source());
    const char *bad[] = {"",
                         "x\n",
                         "10 0 10\n",
                         "-5 0 10 0\n",
                         "3 0 3 0\n1\n2\n",
                         "2000000 0 3 0\n1\n",
                         "3 2000000000 3 0\n1\n2\n3\n1\n2\n3\n"};
    for (const char *text : bad) {
        write(path + ".processed", text);
        send("set_theta_type", {fa(0), sa(path.c_str())});
        stub::clear();
        send("initialize");
        EXPECT_EQ(P().eThetaType, BSPLINE) << text;
        bool named = false;
        for (auto &l : stub::console())
            if (l.error && l.text.find(path + ".processed") != std::string::npos) named = true;
        EXPECT_TRUE(named) << text << stub::console_text();
        EXPECT_EQ(P().iq_compute_sup, 33) << text;
        EXPECT_EQ(P().thetadata[6], 39013);
        std::ifstream pf(path + ".processed");
        std::string first;
        std::getline(pf, first);
        EXPECT_EQ(first, std::to_string((int)P().thetadata[6]) + " ");
    }
}

TEST_F(Bank, ProcessedFileWithUnusableValuesIsRebuiltFromTheSource)
{
    std::string dir = tmpdir(), path = dir + "/theta.txt", processed = path + ".processed";
    write(path, exp_map_source());
    send("set_theta_type", {fa(0), sa(path.c_str())});
    send("initialize");
    const std::string good = read_text(processed);
    ASSERT_GT(good.size(), 100u);
    // One table entry (line 10) replaced; the unchanged value is the control.
    std::vector<std::string> lines;
    std::istringstream in(good);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    const std::string values[] = {lines[10], "nan", "inf", "-inf", "1e308", "-1e308", "1e-320"};
    for (const std::string &v : values) {
        std::string text;
        for (std::size_t i = 0; i < lines.size(); i++) text += (i == 10 ? v : lines[i]) + "\n";
        write(processed, text);
        stub::clear();
        send("initialize");
        const bool control = v == lines[10];
        bool named = false;
        for (auto &l : stub::console())
            if (l.error && l.text.find(processed) != std::string::npos) named = true;
        EXPECT_EQ(named, !control) << v << stub::console_text();
        EXPECT_EQ(read_text(processed), good) << v;  // rebuilt (or read as it was)
        ASSERT_EQ(P().eThetaType, BSPLINE) << v;
        const double *d = P().thetadata;
        const int Si = (int)d[6], Sf = (int)d[Si + 13];
        for (int i = 0; i < Si + Sf + 18; i++) EXPECT_TRUE(std::isfinite(d[i])) << v << " entry " << i;
    }
}

// A source file of the exponential map with its warped coordinates scaled
// by `scale` (2: twice the bands) and its frequencies by `hz`.
std::string scaled_map_source(double scale, double hz = 1)
{
    double d[4] = {12, 36, 176400, 132300};
    std::ostringstream s;
    std::vector<double> xs;
    for (double xx = -2; xx <= 420; xx += 0.5) xs.push_back(xx);
    s << xs.size() << "\n";
    s.precision(17);
    for (double xx : xs) s << hz * qavex_t_Theta_exp_c1_nyqu(xx, d) << " " << xx * scale << "\n";
    return s.str();
}

// Console lines that contain text.
int lines_containing(const std::string &text)
{
    int n = 0;
    for (auto &l : stub::console()) n += l.text.find(text) != std::string::npos;
    return n;
}

// The lines of a text, and back.
std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}
std::string text_of(const std::vector<std::string> &v)
{
    std::string t;
    for (auto &l : v) t += l + "\n";
    return t;
}

// A processed file that no longer describes its source, because the source
// was replaced after it or the processed file was damaged (finite values
// the reader takes), is rebuilt from the source with one console line; the
// bank then equals one derived from the source alone. Untouched, it is read
// without a word.
TEST_F(Bank, ProcessedFileThatDoesNotDescribeItsSourceIsRebuilt)
{
    namespace fs = std::filesystem;
    const std::string dir = tmpdir(), path = dir + "/theta.txt", processed = path + ".processed";
    const int nyq = 22050 + 1 + 4;  // line of the inverse-table entry at 22050 Hz (start -1)
    struct Case {
        const char *name;
        std::string source;  // written before the designer's first reading
        std::string (*damage)(
            const std::vector<std::string> &);  // the processed file's new text; null: replace the source
        const char *message;                    // "" for none
    };
    const std::vector<Case> cases = {
        {"untouched", scaled_map_source(1), [](const std::vector<std::string> &v) { return text_of(v); }, ""},
        {"source replaced by a map of twice the bands", scaled_map_source(1), nullptr, "is newer than"},
        {"one entry edited", scaled_map_source(1),
         [](const std::vector<std::string> &v) {
             auto w = v;
             w[100] = "5000";
             return text_of(w);
         },
         "its tables are not monotone"},
        {"entries zeroed", scaled_map_source(1),
         [](const std::vector<std::string> &v) {
             auto w = v;
             for (size_t i = 4; i < w.size(); i++) w[i] = "0";
             return text_of(w);
         },
         "its tables are not monotone"},
        {"entry at the Nyquist frequency moved within its neighbours", scaled_map_source(1),
         [](const std::vector<std::string> &v) {
             auto w = v;
             w[nyq] = std::to_string((3 * std::atof(w[nyq].c_str()) + std::atof(w[nyq + 1].c_str())) / 4);
             return text_of(w);
         },
         "its table values differ"},
        {"start shifted", scaled_map_source(1),
         [](const std::vector<std::string> &v) {
             auto w = v;
             w[1] = "0";
             return text_of(w);
         },
         "its table ranges differ"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::remove(processed.c_str());
        write(path, c.source);
        send("set_theta_type", {fa(0), sa(path.c_str())});
        send("initialize");
        const auto good = lines_of(read_text(processed));
        ASSERT_GT(good.size(), 100u);
        if (c.damage) {
            write(processed, c.damage(good));
            // Written after the source, as a rebuilt one would be.
            fs::last_write_time(processed, fs::last_write_time(path) + std::chrono::seconds(1));
        } else {
            write(path, scaled_map_source(2));
            fs::last_write_time(path, fs::last_write_time(processed) + std::chrono::seconds(1));
        }
        const std::string after = read_text(path);
        stub::clear();
        send("initialize");
        const std::string console = stub::console_text();
        ASSERT_EQ(P().eThetaType, BSPLINE) << console;
        const std::int32_t bands = P().iq_compute_sup;
        const std::vector<std::int32_t> hops(P().aiDq, P().aiDq + bands);
        const std::string kept = read_text(processed);
        if (*c.message) {
            EXPECT_EQ(lines_containing(c.message), 1) << console;
            EXPECT_EQ(stub::console().size(), 1u) << console;
        } else {
            EXPECT_TRUE(stub::console().empty()) << console;
        }
        // The same bank as from the source alone, and the same processed file.
        std::remove(processed.c_str());
        send("initialize");
        EXPECT_EQ(P().iq_compute_sup, bands);
        EXPECT_EQ(std::vector<std::int32_t>(P().aiDq, P().aiDq + P().iq_compute_sup), hops);
        EXPECT_EQ(read_text(processed), kept);
        if (!c.damage) {
            EXPECT_GT(bands, 60);  // the replaced source's bands, not the old 33
        }
        EXPECT_EQ(read_text(path), after);
    }
}

// Work beyond a bound is refused with one error naming it, and the bank
// (layout, warping data and windows) stays as it was: a map file whose
// tables or whose bank would take long to build, and a dual computation of
// long windows.
TEST_F(Bank, WorkBeyondTheBoundsIsRefusedAndTheBankStays)
{
    const std::string dir = tmpdir();
    struct Case {
        const char *name;
        std::string file, source;  // map file written first (none when empty)
        std::vector<std::pair<const char *, std::vector<t_atom>>> msgs;
        const char *bound;
    };
    const std::string tables = dir + "/wide.txt", bank = dir + "/low.txt";
    const std::vector<Case> cases = {
        // Frequencies 20 times as high: tables of about 780 000 entries.
        {"map file with large tables",
         tables,
         scaled_map_source(1, 20),
         {{"set_theta_type", {fa(0), sa(tables.c_str())}}, {"initialize", {}}},
         "table entries for a map file"},
        // Frequencies a hundredth: hundreds of long bands.
        {"map file with a large bank",
         bank,
         scaled_map_source(1, 0.01),
         {{"set_theta_type", {fa(0), sa(bank.c_str())}}, {"initialize", {}}},
         "window samples for a map file"},
        {"dual windows of a long window",
         "",
         "",
         {{"prolong", {fa(0), fa(400000), fa(2), fa(0)}}, {"copy_pac2paf", {fa(-1)}}, {"make_dual", {}}},
         "band-grid points"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.file.empty()) write(c.file, c.source);
        send("set_theta_type", {fa(4)});
        send("initialize");
        send("make", {fa(-1)});
        send("copy_pac2paf", {fa(-1)});
        std::vector<std::vector<pac_type>> before;
        for (int q = 0; q < P().iq_compute_sup; q++) before.push_back(window(q));
        const std::vector<double> data(P().thetadata, P().thetadata + 4);
        const std::vector<std::int32_t> hops(P().aiDq, P().aiDq + P().iq_compute_sup);
        for (std::size_t m = 0; m + 1 < c.msgs.size(); m++) send(c.msgs[m].first, c.msgs[m].second);
        if (c.msgs.size() == 3) {  // the dual case changes the windows first
            before.clear();
            for (int q = 0; q < P().iq_compute_sup; q++) before.push_back(window(q));
        }
        stub::clear();
        send(c.msgs.back().first, c.msgs.back().second);
        const std::string console = stub::console_text();
        EXPECT_EQ(errors(), 1) << console;
        EXPECT_EQ(lines_containing(c.bound), 1) << console;
        ASSERT_EQ(P().iq_compute_sup, (std::int32_t)before.size());
        EXPECT_EQ(std::vector<double>(P().thetadata, P().thetadata + 4), data);
        EXPECT_EQ(std::vector<std::int32_t>(P().aiDq, P().aiDq + P().iq_compute_sup), hops);
        for (int q = 0; q < P().iq_compute_sup; q++) {
            ASSERT_NE(x->pac[q], nullptr) << q;
            EXPECT_EQ(window(q), before[q]) << q;
        }
        EXPECT_EQ(P().Theta, &qavex_t_Theta_exp_c1_nyqu);
        EXPECT_EQ(x->sDual.psDual, nullptr);
    }
}

// ------------------------------------------------------------------ windows

TEST_F(Bank, MakeAllBuildsTheWorkedExampleWindows)
{
    send("make", {fa(-1)});
    EXPECT_EQ(P().dWinlength_compute, 8778 / 44100.0);
    EXPECT_EQ(P().thetadata[2], 396.0);
    EXPECT_EQ(P().thetadata[3], 22050.0);
    for (int q = 0; q < 33; q++) {
        ASSERT_NE(x->pac[q], nullptr) << q;
        EXPECT_EQ(qavex_t_window_length(x->pac[q]), 8778) << q;
        EXPECT_EQ(x->pac[q][-5].imag(), 0.0);
        EXPECT_EQ(x->pac[q][-6], pac_type(0, 0));
        EXPECT_EQ(argmax(q), 4389) << q;
    }
    for (int q : {0, 20, 32})
        for (int j = 1; j < 4389; j++)
            ASSERT_LT(std::abs(x->pac[q][4389 + j] - std::conj(x->pac[q][4389 - j])), 1e-9) << q << " " << j;
    EXPECT_NEAR(x->pac[0][4389].real(), 4.3469, 1e-4);
    EXPECT_NEAR(x->pac[16][4389].real(), 24.891, 1e-3);
    EXPECT_NEAR(x->pac[32][4389].real(), 73.230, 1e-3);
    for (int q : {0, 16, 32}) EXPECT_NEAR(x->pac[q][4389].imag(), 0.0, 1e-9 * x->pac[q][4389].real());
    EXPECT_EQ(errors(), 0) << stub::console_text();
    // A second make keeps the transform length.
    send("make", {fa(-1)});
    EXPECT_EQ(P().dWinlength_compute, 8778 / 44100.0);
    EXPECT_EQ(qavex_t_window_length(x->pac[7]), 8778);
}

TEST_F(Bank, MakeRangeRules)
{
    send("make");
    EXPECT_NE(x->pac[0], nullptr);
    for (int q = 1; q < 33; q++) EXPECT_EQ(x->pac[q], nullptr);
    send("make", {fa(33)});
    send("make", {fa(1000)});
    for (int q = 1; q < 33; q++) EXPECT_EQ(x->pac[q], nullptr);
    send("make", {fa(5.7)});
    EXPECT_NE(x->pac[5], nullptr);
    EXPECT_EQ(x->pac[6], nullptr);
    std::vector<pac_type> w5 = window(5), w32;
    send("make", {fa(32)});
    w32 = window(32);
    send("make", {fa(-1)});
    // A single band reproduces the window of the full make.
    EXPECT_EQ(window(5), w5);
    EXPECT_EQ(window(32), w32);
}

TEST_F(Bank, SingleBandMakeWithPeriodisationKeepsTheGainRule)
{
    send("set_compute_type", {fa(1)});
    send("make", {fa(32)});
    std::vector<pac_type> w32 = window(32);
    send("make", {fa(16)});
    std::vector<pac_type> w16 = window(16);
    send("make", {fa(-1)});
    EXPECT_EQ(window(32), w32);
    EXPECT_EQ(window(16), w16);
}

TEST_F(Bank, PeriodisationAddsImagesAndDropsTheOuterGains)
{
    send("make", {fa(-1)});
    std::vector<pac_type> plain0 = window(0), plain16 = window(16), plain32 = window(32);
    send("set_compute_type", {fa(1)});
    send("make", {fa(-1)});
    // Band 0 keeps gain 1 in both; band 32 loses the sqrt(2); band 16 keeps it.
    EXPECT_NEAR(window(0)[4389].real(), plain0[4389].real(), 1e-6 * plain0[4389].real());
    EXPECT_NEAR(window(16)[4389].real(), plain16[4389].real(), 1e-6 * plain16[4389].real());
    EXPECT_LT(window(32)[4389].real(), plain32[4389].real() / 1.4142135623730951 * 1.5);
    EXPECT_GT(window(32)[4389].real(), plain32[4389].real() / 1.4142135623730951);
}

TEST_F(Bank, ZeroAndUnknownWindowTypes)
{
    send("set_window_type", {fa(0)});
    send("make", {fa(-1)});
    for (int q = 0; q < 33; q++) {
        ASSERT_EQ(qavex_t_window_length(x->pac[q]), 64);
        for (int i = 0; i < 64; i++) ASSERT_EQ(x->pac[q][i], pac_type(0, 0));
    }
    send("set_window_type", {fa(5)});
    stub::clear();
    send("make", {fa(3)});
    EXPECT_TRUE(stub::errored("Keine zulaessiges Fenster gewaehlt. Setze Fenster auf 0"));
    EXPECT_EQ(P().eWindowType, 5);
    EXPECT_EQ(qavex_t_window_length(x->pac[3]), 64);
    send("shorten", {fa(-1)});  // nothing for these types
    EXPECT_EQ(qavex_t_window_length(x->pac[3]), 64);
}

TEST_F(Bank, CosineWindowsOnTheWarpedAxis)
{
    send("set_window_type", {fa(2)});
    send("initialize");
    EXPECT_EQ(P().iq_compute_sup, 33);
    send("make", {fa(-1)});
    int n = qavex_t_window_length(x->pac[0]);
    EXPECT_EQ(round_up_to_multiple_of_small_primes(n, 5), n);
    EXPECT_EQ(P().dWinlength_compute, n / 44100.0);
    // Real spectra give Hermitian windows around time 0 at the centre.
    int c = n - n / 2;
    for (int q : {0, 7, 32}) {
        double peak = std::abs(x->pac[q][argmax(q)]);
        for (int j = 1; j < n / 2; j++)
            ASSERT_LT(std::abs(x->pac[q][c + j] - std::conj(x->pac[q][c - j])), 1e-9 * peak) << q << " " << j;
        EXPECT_NEAR(x->pac[q][c].imag(), 0, 1e-9 * peak);
    }
    EXPECT_GT(x->pac[16][n - n / 2].real(), 0);
}

TEST_F(Bank, UnwarpedCosineWindowsAreBuiltInTime)
{
    send("set_window_type", {fa(3)});
    send("initialize");
    // a = 1/24, b = 24: 22050/12/36... bands from Theta_inv and b.
    ASSERT_GT(P().iq_compute_sup, 1);
    stub::clear();
    send("make", {fa(-1)});
    EXPECT_TRUE(stub::posted("Fensterlaenge dN=1837.500000 nicht ganzzahlig")) << stub::console_text();
    int N = qavex_t_window_length(x->pac[0]);
    EXPECT_EQ(N, 1837);
    for (int q = 0; q < P().iq_compute_sup; q++) ASSERT_EQ(qavex_t_window_length(x->pac[q]), N);
    // Same envelope everywhere, sqrt(2) above band 0, band 0 real.
    for (int i = 0; i < N; i += 97) {
        EXPECT_NEAR(x->pac[0][i].imag(), 0, 1e-12);
        EXPECT_NEAR(std::abs(x->pac[1][i]), std::abs(x->pac[0][i]) * 1.4142135623730951, 1e-9);
    }
    // Band 1 turns at k * b Hz: the phase advances by 2 pi k b / 44100 per sample.
    double nu = P().thetadata[1] * P()._b;
    std::complex<double> r = x->pac[1][1001] / x->pac[1][1000];
    EXPECT_NEAR(std::arg(r), 2 * M_PI * nu / 44100, 1e-9);
}

TEST_F(Bank, OversampledWindowsAreDecimatedWithoutFoldBack)
{
    send("make", {fa(-1)});
    std::vector<std::vector<pac_type>> base;
    for (int q = 0; q < 33; q++) base.push_back(window(q));
    send("set_C_SR", {fa(2)});
    send("make", {fa(-1)});
    for (int q = 0; q < 33; q++) {
        std::vector<pac_type> w = window(q);
        ASSERT_EQ(w.size(), 8778u) << q;
        double peak = std::abs(base[q][4389]), worst = 0;
        for (int i = 0; i < 8778; i++) worst = std::max(worst, std::abs(w[i] - base[q][i]));
        EXPECT_LT(worst, 1e-9 * peak) << q;
        EXPECT_EQ(x->pac[q][8778], pac_type(0, 0));
    }
    // With periodisation the transform runs at the high rate as given.
    send("set_compute_type", {fa(1)});
    send("make", {fa(-1)});
    EXPECT_EQ(qavex_t_window_length(x->pac[32]), 8778);
    EXPECT_EQ(argmax(32), 4389);
}

TEST_F(Bank, MakeRefusesWhatItCannotBuild)
{
    send("set_C_SR", {fa(0.5)});
    EXPECT_EQ(P().C_SR, 0);
    stub::clear();
    send("initialize");
    EXPECT_TRUE(stub::errored("C_SR < 1"));
    stub::clear();
    send("make", {fa(-1)});
    EXPECT_TRUE(stub::errored("qbank_t_make: C_SR < 1, no windows made"));
    EXPECT_EQ(x->pac[0], nullptr);
    send("set_C_SR", {fa(1)});

    send("set_winlength_compute", {fa(1e-6)});
    send("initialize", {fa(1)});
    stub::clear();
    send("make", {fa(-1)});
    EXPECT_EQ(errors(), 1);
    EXPECT_EQ(x->pac[0], nullptr);

    send("set_winlength_compute", {fa(1000)});
    send("initialize", {fa(1)});
    stub::clear();
    send("make", {fa(-1)});
    EXPECT_TRUE(stub::posted("Windows need too much memory"));
    EXPECT_EQ(x->pac[0], nullptr);
    // 100 s fit for one band but not for 33.
    send("set_winlength_compute", {fa(100)});
    send("initialize", {fa(1)});
    stub::clear();
    send("make", {fa(-1)});
    EXPECT_TRUE(stub::posted("Windows need too much memory"));
    send("make", {fa(0)});
    EXPECT_NE(x->pac[0], nullptr);

    send("set_winlength_compute", {fa(NAN)});
    send("initialize", {fa(1)});
    send("make", {fa(-1)});
    send("set_window_type", {fa(3)});
    send("set_winlength_window", {fa(-1)});
    send("initialize", {fa(1)});
    stub::clear();
    send("make", {fa(-1)});
    EXPECT_EQ(errors(), 1) << stub::console_text();
    send("set_winlength_window", {fa(1e9)});
    stub::clear();
    send("make", {fa(-1)});
    EXPECT_TRUE(stub::posted("Windows need too much memory"));
}

TEST_F(Bank, NonFiniteSpectrumValuesArePostedPerBin)
{
    // a = 0 makes the band gain infinite: every bin is infinite or NaN.
    send("set_a", {fa(0)});
    send("initialize", {fa(1)});
    stub::clear();
    send("make", {fa(3)});
    EXPECT_EQ(stub::count_lines("Value in make_window wrong."), 8778);
    ASSERT_NE(x->pac[3], nullptr);  // built anyway
    send("make", {fa(0)});
    stub::clear();
    EXPECT_GT(qbank_t_test_windows(x, 0), 0);
    EXPECT_TRUE(stub::errored("Es gibt Fehler"));
}

TEST_F(Bank, AllocationFailureInMakeReleasesAllWindows)
{
    send("make", {fa(-1)});
    for (int k : {0, 1, 2, 5}) {
        qavex_t_fail_after = k;
        stub::clear();
        send("make", {fa(-1)});
        qavex_t_fail_after = -1;
        EXPECT_TRUE(stub::errored("qbank_t_make: Out of memory")) << k;
        for (int q = 0; q < 33; q++) EXPECT_EQ(x->pac[q], nullptr) << k;
        send("make", {fa(-1)});
    }
}

TEST_F(Bank, ShortenTheWorkedExample)
{
    send("make", {fa(-1)});
    std::vector<pac_type> w16 = window(16);
    stub::clear();
    send("shorten", {fa(-1)});
    EXPECT_EQ(qavex_t_window_length(x->pac[16]), 938);
    EXPECT_TRUE(stub::posted("T_c zu klein fuer q=0"));
    EXPECT_TRUE(stub::posted("T_c zu klein fuer q=32"));
    EXPECT_FALSE(stub::posted("T_c zu klein fuer q=16"));
    // The middle is kept: element 3920 + i of the old window.
    for (int i = 0; i < 938; i++) ASSERT_EQ(x->pac[16][i], w16[3920 + i]);
    EXPECT_EQ(argmax(16), 469);
    // What was cut is below 1e-5 of the peak and a whole number of hops.
    double limit = std::abs(w16[4389]) / 100000;
    for (int i = 0; i < 3920; i++) ASSERT_LT(std::abs(w16[i]), limit);
    EXPECT_EQ(3920 % P().aiDq[16], 0);
    EXPECT_GE(std::abs(w16[3920 + 196]), limit);
    for (int q = 0; q < 33; q++) {
        int n = qavex_t_window_length(x->pac[q]);
        EXPECT_EQ((8778 - n) / 2 % P().aiDq[q], 0) << q;
        EXPECT_EQ(argmax(q), n - n / 2) << q;
    }
    stub::clear();
    send("shorten", {fa(16)});
    EXPECT_TRUE(stub::posted("T_c zu klein fuer q=16"));
    EXPECT_EQ(qavex_t_window_length(x->pac[16]), 938);
}

TEST_F(Bank, ShortenRangesAndGaps)
{
    send("make", {fa(-1)});
    send("shorten");
    EXPECT_EQ(qavex_t_window_length(x->pac[16]), 8778);
    send("shorten", {fa(33)});
    EXPECT_EQ(qavex_t_window_length(x->pac[16]), 8778);
    send("shorten", {fa(16)});
    EXPECT_EQ(qavex_t_window_length(x->pac[16]), 938);
    EXPECT_EQ(qavex_t_window_length(x->pac[15]), 8778);
    // A band without a window ends the run over all bands.
    send("initialize");
    send("make", {fa(10)});
    send("make", {fa(20)});
    stub::clear();
    send("shorten", {fa(-1)});
    EXPECT_EQ(stub::console().size(), 0u) << stub::console_text();
    EXPECT_EQ(qavex_t_window_length(x->pac[20]), 8778);
}

TEST_F(Bank, ShortenToTmax)
{
    send("make", {fa(-1)});
    std::vector<int> small;
    for (int q = 0; q < 33; q++)
        small.push_back(
            qavex_t_get_first_small_value_array(&x->pac[q], qavex_t_maximum_array(&x->pac[q]).real() / 1e5));
    send("set_T_max", {fa(0.01)});
    stub::clear();
    send("shorten", {fa(-1)});
    int longer = 0;
    for (int q = 0; q < 33; q++) {
        int n = qavex_t_window_length(x->pac[q]);
        EXPECT_EQ((8778 - n) / 2 % P().aiDq[q], 0) << q;
        char line[64];
        std::snprintf(line, sizeof line, "Fenster laenger als Tmax fuer q=%i", q);
        if (8778 - 2 * small[q] > 441) {
            longer++;
            EXPECT_TRUE(stub::posted(line)) << q;
            EXPECT_GE(n, 441) << q;
            EXPECT_LT(n, 441 + 2 * P().aiDq[q] + 1) << q;
        } else {
            EXPECT_FALSE(stub::posted(line)) << q;
        }
    }
    EXPECT_GT(longer, 10);
}

TEST_F(Bank, ShortenThatWouldLeaveNothing)
{
    send("make", {fa(-1)});
    send("set_C_cut", {fa(0)});
    stub::clear();
    send("shorten", {fa(16)});
    EXPECT_TRUE(stub::posted("Fenster nicht stutzbar fuer q=16")) << stub::console_text();
    EXPECT_EQ(qavex_t_window_length(x->pac[16]), 8778);
}

TEST_F(Bank, RounddownToMultiples)
{
    EXPECT_EQ(rounddown_x(3920, 196), 3920);
    EXPECT_EQ(rounddown_x(3999, 196), 3920);
    EXPECT_EQ(rounddown_x(-7, 3), -6);
    EXPECT_EQ(rounddown_x(7, 0), 7);
    EXPECT_EQ(rounddown_x(7, -3), 6);
    EXPECT_EQ(rounddown_x(INT32_MIN, -1), INT32_MIN);
}

TEST_F(Bank, TestBeforeAndAfterMake)
{
    stub::clear();
    EXPECT_EQ(qbank_t_test_windows(x, 0), 1);
    EXPECT_TRUE(stub::errored("Fenster 0: nicht vorhanden"));
    EXPECT_FALSE(stub::errored("Fenster 1: nicht vorhanden"));
    EXPECT_TRUE(stub::errored("Es gibt Fehler"));
    send("make", {fa(-1)});
    stub::clear();
    EXPECT_EQ(qbank_t_test_windows(x, 1), 0);
    EXPECT_TRUE(stub::errored("Ueberpruefe Fenster"));
    EXPECT_TRUE(stub::errored("Keine Fehler"));
    stub::clear();
    send("test");
    EXPECT_EQ(stub::console().size(), 0u);
    x->pac[2][5] = pac_type(NAN, 0);
    x->pac[2][6] = pac_type(NAN, 1);
    x->pac[2][7] = pac_type(0, NAN);
    x->pac[4][0] = pac_type(INFINITY, -INFINITY);
    stub::clear();
    EXPECT_EQ(qbank_t_test_windows(x, 0), 5);
    EXPECT_EQ(stub::count_lines("Fenster 2: Anzahl Nans: 3"), 1);
    EXPECT_EQ(stub::count_lines("Fenster 4: Anzahl Nans: 2"), 1);
    EXPECT_TRUE(stub::errored("Es gibt Fehler"));
    int found = 0;
    for (auto &l : stub::console()) found += l.text.find("Anzahl Nans") != std::string::npos;
    EXPECT_EQ(found, 2);
}

TEST_F(Bank, TestReportsWindowsShorterThanTheHop)
{
    send("set_window_type", {fa(0)});
    send("make", {fa(-1)});
    stub::clear();
    int n = qbank_t_test_windows(x, 0);
    int shorter = 0;
    for (int q = 0; q < 33; q++) shorter += P().aiDq[q] > 64;
    EXPECT_EQ(n, shorter);
    char line[100];
    std::snprintf(line, sizeof line, "Fenster 0, Laenge = 64 < (t_int)dq = %i", P().aiDq[0]);
    EXPECT_TRUE(stub::errored(line));
}

TEST_F(Bank, MakeAllIsQuick)
{
    // Processor time, not wall time: a loaded machine must not fail it.
    const std::clock_t t0 = std::clock();
    send("make", {fa(-1)});
    double s = (double)(std::clock() - t0) / CLOCKS_PER_SEC;
    EXPECT_LT(s, 2.0);
    std::printf("make -1: %.3f s\n", s);
}

// ------------------------------------------------------------------ object

TEST_F(Bank, ClassHasASignalOutletAMessageOutletAndTheDualOutlet)
{
    auto outs = stub::outlets_of(&x->x_obj);
    ASSERT_EQ(outs.size(), 3u);
    EXPECT_TRUE(stub::outlet_is_signal(outs[0]));
    EXPECT_FALSE(stub::outlet_is_signal(outs[1]));
    EXPECT_TRUE(stub::outlet_is_signal(outs[2]));
    EXPECT_EQ(outs[0], x->x_outC);
    EXPECT_EQ(outs[1], x->x_outM);
    EXPECT_EQ(outs[2], x->sDual.x_outD);
    EXPECT_TRUE(stub::inlets_of(&x->x_obj).empty());
    for (const char *sel : {"make",
                            "shorten",
                            "test",
                            "copy_pac2paf",
                            "copy_paf2pac",
                            "paf2list",
                            "send_windows",
                            "set_window_type",
                            "set_theta_type",
                            "set_C_b",
                            "set_C_T_c",
                            "set_T_max",
                            "set_C_d",
                            "set_C_q",
                            "set_C_SR",
                            "set_K",
                            "set_compute_type",
                            "set_thetaf0",
                            "set_thetak",
                            "set_C_cut",
                            "initialize",
                            "set_var",
                            "set_winlength_window",
                            "set_winlength_compute",
                            "set_a",
                            "set_b",
                            "get_first_zero_paf",
                            "get_window_length_paf",
                            "get_window_length_pac",
                            "print_first_and_last_value",
                            "print_band"})
        EXPECT_TRUE(stub::send((t_pd *)x, sel, {})) << sel;
}

TEST_F(Bank, DeletionReleasesEverything)
{
    static long live = 0;
    auto counting_malloc = [](std::size_t n) -> void * {
        live++;
        return std::malloc(n);
    };
    auto counting_free = [](void *p) {
        live--;
        std::free(p);
    };
    qavex_t_raw_malloc = counting_malloc;
    qavex_t_raw_free = counting_free;
    live = 0;
    sQbank_t *y = (sQbank_t *)stub::create("qbank_tilde");
    stub::send((t_pd *)y, "make", {fa(-1)});
    stub::send((t_pd *)y, "copy_pac2paf", {fa(-1)});
    stub::send((t_pd *)y, "shorten", {fa(-1)});
    stub::send((t_pd *)y, "initialize", {});
    stub::send((t_pd *)y, "make", {fa(-1)});
    stub::send((t_pd *)y, "copy_pac2paf", {fa(-1)});
    stub::send((t_pd *)y, "paf2list", {fa(3)});
    EXPECT_GT(live, 60);
    stub::destroy((t_pd *)y);
    EXPECT_EQ(live, 0);
    qavex_t_raw_malloc = std::malloc;
    qavex_t_raw_free = std::free;
}

TEST_F(Bank, DspPublishesTheRecordInWords0And12Only)
{
    t_sample v[64], dual[64];
    for (auto &s : v) s = 0.25f;
    auto calls = stub::dsp((t_pd *)x, {v, dual});
    ASSERT_EQ(calls.size(), 2u);  // the second is the dual outlet's
    ASSERT_EQ(calls[0].args.size(), 2u);
    stub::run(calls[0]);
    auto in = qavex_t_read_param_block(v);
    EXPECT_EQ(in.tag, 0x51415643);
    EXPECT_EQ(in.p, &x->sParam);
    int first_other = sizeof(void *) == 8 ? 14 : 13;
    for (int i = 1; i < 64; i++)
        if (i < 12 || i >= first_other) {
            EXPECT_EQ(v[i], 0.25f) << i;
        }
    // A block too small for the record gets an empty block.
    t_sample small[8] = {1, 1, 1, 1, 1, 1, 1, 1}, small_dual[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    stub::clear();
    calls = stub::dsp((t_pd *)x, {small, small_dual}, 8);
    ASSERT_EQ(calls.size(), 2u);
    for (auto &c : calls) stub::run(c);
    for (auto s : small) EXPECT_EQ(s, 0.0f);
    for (auto s : small_dual) EXPECT_EQ(s, 0.0f);
    EXPECT_EQ(errors(), 1);
}

TEST_F(Bank, ListPostsTest)
{
    stub::clear();
    send("list", {fa(3)});
    EXPECT_TRUE(stub::posted("test"));
    EXPECT_EQ(stub::console().size(), 1u);
}

TEST_F(Bank, ReportBeforeAndAfterWindows)
{
    stub::clear();
    send("bang");
    EXPECT_TRUE(stub::posted("\n-----------------Qavex--------------:"));
    EXPECT_TRUE(stub::posted("WinType: \t7"));
    EXPECT_TRUE(stub::posted("ThetaType: \t4"));
    EXPECT_TRUE(stub::posted("ThetaPath: \t"));
    EXPECT_TRUE(stub::posted("qsup: \t33"));
    EXPECT_TRUE(stub::posted("Essential Bandwidth: \t1.000000 Hz"));
    EXPECT_TRUE(stub::posted("R: \t 1.000000"));
    EXPECT_TRUE(stub::posted("T_window: \t0.041667\ts"));
    EXPECT_TRUE(stub::posted("T_compute: \t0.199027\ts, C_T_c:  \t3.000000 \ts, \t, T_h/T_c:\t 0.209352 \t"));
    EXPECT_TRUE(stub::posted("T_max: \t10.000000\ts"));
    EXPECT_TRUE(stub::posted("Longest Frame paf: \t-1 smp=\t-0.000023\ts"));
    EXPECT_TRUE(stub::posted("a: \t0.041667[s]=1837.500000\tsmp, b: \t12.000000\tHz, C_b: \t2.000000"));
    EXPECT_TRUE(stub::posted("f0: \t12.000000\tHz, k: \t36.000000"));
    EXPECT_TRUE(stub::posted("C_d: \t2.000000"));
    EXPECT_TRUE(stub::posted("C_cut: \t100000.000000"));
    EXPECT_TRUE(stub::posted("ComputeType: \t0"));
    EXPECT_TRUE(stub::posted("------------------Not important stuff"));
    EXPECT_TRUE(stub::posted("Var= \t1.000000"));
    bool buildtime = false;
    for (auto &l : stub::console()) buildtime |= l.text.rfind("Buildtime \t", 0) == 0;
    EXPECT_TRUE(buildtime);
    for (auto &l : stub::console()) EXPECT_EQ(l.text.find("Sum_q"), std::string::npos);

    send("make", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    send("set_var", {fa(2.5)});
    stub::clear();
    send("bang");
    EXPECT_TRUE(stub::posted("Longest Frame paf: \t8778 smp=\t0.199048\ts"));
    float S1 = 0, S2 = 0;
    for (int q = 0; q < 33; q++) {
        S1 += 8778.0f / P().aiDq[q];
        S2 += 8778.0f;
    }
    char l1[100], l2[100], l3[100];
    std::snprintf(l1, sizeof l1, "4 Sum_q T_q/d_q: \t%f", 4 * S1);
    std::snprintf(l2, sizeof l2, "4 Sum_q T_q: \t%f\t smp", 4 * S2);
    std::snprintf(l3, sizeof l3, "1/N_q Sum_q T_q: \t%f\t smp", S2 / 33);
    EXPECT_TRUE(stub::posted(l1)) << stub::console_text();
    EXPECT_TRUE(stub::posted(l2));
    EXPECT_TRUE(stub::posted("1/N_q Sum_q T_q: \t8778.000000\t smp"));
    EXPECT_TRUE(stub::posted("Var= \t2.500000"));
    // One float window missing: no statistics at all.
    send("make", {fa(5)});
    qavex_t_free(P().paf_r[5]);
    P().paf_r[5] = nullptr;
    stub::clear();
    send("bang");
    for (auto &l : stub::console()) EXPECT_EQ(l.text.find("Sum_q"), std::string::npos);
}

TEST_F(Bank, CopyPac2PafSelectsBands)
{
    send("make", {fa(-1)});
    x->pac[0][-6] = pac_type(3.0, -2.0);  // side word travels along
    send("copy_pac2paf");
    ASSERT_NE(P().paf_r[0], nullptr);
    EXPECT_EQ(P().paf_r[1], nullptr);
    EXPECT_EQ(P().iLongestFrame_paf, 8778);
    EXPECT_EQ(P().paf_r[0][-5], 8778.0f);
    EXPECT_EQ(P().paf_i[0][-5], 8778.0f);
    EXPECT_EQ(P().paf_r[0][-6], 3.0f);
    EXPECT_EQ(P().paf_i[0][-6], -2.0f);
    for (int i = 0; i < 8778; i += 11) {
        EXPECT_EQ(P().paf_r[0][i], (float)x->pac[0][i].real());
        EXPECT_EQ(P().paf_i[0][i], (float)x->pac[0][i].imag());
    }
    send("copy_pac2paf", {fa(33)});
    EXPECT_EQ(P().paf_r[32], nullptr);
    send("shorten", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    for (int q = 0; q < 33; q++) EXPECT_EQ(qavex_t_window_length(P().paf_r[q]), qavex_t_window_length(x->pac[q]));
    EXPECT_EQ(P().iLongestFrame_paf, 8778);
    EXPECT_EQ(qbank_t_find_shortest_frame_paf(x), qbank_t_find_shortest_frame_pac(x));
    EXPECT_LE(qbank_t_find_shortest_frame_pac(x), 938);
    EXPECT_EQ(qbank_t_find_longest_frame_pac(x), 8778);
    // initialize discards windows but keeps the longest length.
    send("initialize");
    EXPECT_EQ(P().paf_r[0], nullptr);
    EXPECT_EQ(P().iLongestFrame_paf, 8778);
    // A band without complex window keeps its float window.
    send("make", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    paf_type *keep = P().paf_r[3];
    qavex_t_free(x->pac[3]);
    x->pac[3] = nullptr;
    send("copy_pac2paf", {fa(-1)});
    EXPECT_EQ(P().paf_r[3], keep);
}

TEST_F(Bank, LongestFloatWindowNeedsBandZero)
{
    send("make", {fa(5)});
    send("copy_pac2paf", {fa(5)});
    EXPECT_EQ(P().iLongestFrame_paf, 0);
    send("make", {fa(0)});
    send("copy_pac2paf", {fa(0)});
    EXPECT_EQ(P().iLongestFrame_paf, 8778);
}

TEST_F(Bank, CopyPac2PafOutOfMemoryReleasesFloatWindows)
{
    send("make", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    qavex_t_fail_after = 3;
    stub::clear();
    send("copy_pac2paf", {fa(-1)});
    qavex_t_fail_after = -1;
    EXPECT_TRUE(stub::errored("qbank_t_copy_pac2paf: Out of Memory"));
    for (int q = 0; q < 33; q++) {
        EXPECT_EQ(P().paf_r[q], nullptr);
        EXPECT_EQ(P().paf_i[q], nullptr);
    }
    EXPECT_EQ(P().iLongestFrame_paf, 8778);
}

TEST_F(Bank, ZeroLengthComplexWindowIsSkipped)
{
    send("make", {fa(-1)});
    x->pac[4][-5] = pac_type(0.0, 0.0);
    stub::clear();
    send("copy_pac2paf", {fa(-1)});
    EXPECT_EQ(P().paf_r[4], nullptr);
    EXPECT_NE(P().paf_r[5], nullptr);
    EXPECT_EQ(errors(), 0);
}

TEST_F(Bank, CopyPaf2PacRestoresTheFloatValues)
{
    send("make", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    P().paf_r[7][-6] = 1.5f;
    send("copy_paf2pac", {fa(7)});
    ASSERT_EQ(qavex_t_window_length(x->pac[7]), 8778);
    EXPECT_EQ(x->pac[7][-6], pac_type(1.5, 0.0));
    for (int i = 0; i < 8778; i += 7) {
        EXPECT_EQ(x->pac[7][i].real(), (double)P().paf_r[7][i]);
        EXPECT_EQ(x->pac[7][i].imag(), (double)P().paf_i[7][i]);
    }
    send("initialize");
    send("make", {fa(-1)});
    send("copy_paf2pac", {fa(-1)});  // no float windows: nothing changes
    EXPECT_NE(x->pac[7], nullptr);
    send("copy_pac2paf", {fa(-1)});
    qavex_t_fail_after = 0;
    stub::clear();
    send("copy_paf2pac", {fa(-1)});
    EXPECT_TRUE(stub::errored("qbank_t_copy_paf2pac: Out of Memory"));
    for (int q = 0; q < 33; q++) EXPECT_EQ(x->pac[q], nullptr);
    EXPECT_NE(P().paf_r[0], nullptr);
}

TEST_F(Bank, Paf2List)
{
    stub::clear();
    send("paf2list");
    EXPECT_TRUE(stub::errored("Falscher Aufruf der Runktion paf2list"));
    send("paf2list", {fa(3)});
    EXPECT_TRUE(outM().empty());
    send("make", {fa(-1)});
    send("shorten", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    int N = qavex_t_window_length(P().paf_r[3]);
    send("paf2list", {fa(3)});
    auto ev = outM();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].selector, "list");
    ASSERT_EQ((int)ev[0].floats.size(), N);
    for (int i = 0; i < N; i++) ASSERT_EQ(ev[0].floats[i], P().paf_r[3][i]);
    stub::clear();
    send("paf2list", {fa(3), fa(7)});
    ev = outM();
    ASSERT_EQ(ev.size(), 1u);
    ASSERT_EQ((int)ev[0].floats.size(), N + 1);
    EXPECT_EQ(ev[0].floats[0], 7.0f);
    EXPECT_EQ(ev[0].floats[1], P().paf_r[3][0]);
    stub::clear();
    send("paf2list", {sa("x")});  // a symbol counts as band 0
    ev = outM();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ((int)ev[0].floats.size(), qavex_t_window_length(P().paf_r[0]));
    stub::clear();
    for (double n : {-1.0, 33.0, 1e30, (double)NAN}) send("paf2list", {fa(n)});
    EXPECT_TRUE(outM().empty());
}

TEST_F(Bank, SendWindows)
{
    stub::clear();
    send("send_windows", {fa(1), sa("x")});
    auto ev = outM();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].selector, "list");
    ASSERT_EQ(ev[0].floats.size(), 3u);
    EXPECT_EQ(ev[0].floats[0], 1363236480.0f);
    EXPECT_EQ(ev[0].floats[1], 1363236480.0f);
    EXPECT_EQ(ev[0].floats[2], (float)(std::uintptr_t)x);
}

TEST_F(Bank, SetThetaType)
{
    stub::clear();
    send("set_theta_type");
    EXPECT_TRUE(stub::posted("set_theta_type: needs at least 1 parameter"));
    EXPECT_EQ(P().eThetaType, EXP_C1_NYQU);
    send("set_theta_type", {fa(11.7), sa("/some/path")});
    EXPECT_EQ(P().eThetaType, LIN);
    EXPECT_STREQ(P().thetapath, "/some/path");
    send("set_theta_type", {fa(12)});
    EXPECT_STREQ(P().thetapath, "");
    send("set_theta_type", {sa("ten"), fa(3)});
    EXPECT_EQ(P().eThetaType, BSPLINE);
    EXPECT_STREQ(P().thetapath, "3");
    std::string longp(700, 'p');
    send("set_theta_type", {fa(4), sa(longp.c_str())});
    EXPECT_EQ(std::string(P().thetapath), longp.substr(0, 499));
    // The derivation is not run.
    EXPECT_EQ(P().Theta, &qavex_t_Theta_exp_c1_nyqu);
    EXPECT_EQ(P().iq_compute_sup, 33);
}

TEST_F(Bank, SettingMessagesClamp)
{
    struct Case {
        const char *sel;
        double in;
        double *field;
        double want;
    };
    std::vector<Case> cases = {
        {"set_C_b", 0, &P().C_b, 1},
        {"set_C_b", -3, &P().C_b, 1},
        {"set_C_b", 4, &P().C_b, 4},
        {"set_C_b", NAN, &P().C_b, 1},
        {"set_C_T_c", 0, &P().C_T_c, 1},
        {"set_C_T_c", 5, &P().C_T_c, 5},
        {"set_T_max", -1, &P().T_max, 1},
        {"set_T_max", 0.01, &P().T_max, (double)0.01f},
        {"set_C_d", 0, &P().C_d, 1},
        {"set_C_d", 16, &P().C_d, 16},
        {"set_C_q", -2, &P().C_q, 0},
        {"set_C_q", 0, &P().C_q, 0},
        {"set_C_q", 3, &P().C_q, 3},
        {"set_K", 0, &P()._K, 1},
        {"set_K", 2, &P()._K, 2},
        {"set_thetaf0", 0, &P().thetadata[0], 10},
        {"set_thetaf0", 20, &P().thetadata[0], 20},
        {"set_thetak", 1, &P().thetadata[1], 12},
        {"set_thetak", 1.5, &P().thetadata[1], 1.5},
        {"set_C_cut", 0, &P().C_cut, 0},
        {"set_C_cut", -1, &P().C_cut, 1},
        {"set_C_cut", 50, &P().C_cut, 50},
        {"set_winlength_window", -7, &P().dWinlength_window, -7},
        {"set_winlength_compute", 0.5, &P().dWinlength_compute, 0.5},
        {"set_a", 0.1, &P()._a, (double)0.1f},
        {"set_a", 0.1, &P()._aTemp, (double)0.1f},
        {"set_b", -6, &P()._b, -6},
        {"set_b", -6, &P()._bTemp, -6},
    };
    for (auto &c : cases) {
        send(c.sel, {fa(c.in)});
        EXPECT_EQ(*c.field, c.want) << c.sel << " " << c.in;
    }
    send("set_C_SR", {fa(0.5)});
    EXPECT_EQ(P().C_SR, 0);
    send("set_C_SR", {fa(-4)});
    EXPECT_EQ(P().C_SR, 1);
    send("set_C_SR", {fa(3.9)});
    EXPECT_EQ(P().C_SR, 3);
    send("set_C_SR", {fa(1e20)});
    EXPECT_EQ(P().C_SR, INT32_MAX);
    send("set_compute_type", {fa(0.5)});
    EXPECT_EQ(P().iComputeType, 1);
    send("set_compute_type", {fa(0)});
    EXPECT_EQ(P().iComputeType, 0);
    send("set_compute_type", {fa(-3)});
    EXPECT_EQ(P().iComputeType, 1);
    send("set_window_type", {fa(2.9)});
    EXPECT_EQ(P().eWindowType, WIN_COS);
    send("set_window_type", {fa(-1e30)});
    EXPECT_EQ(P().eWindowType, INT32_MIN);
    send("set_var", {fa(-3)});
    EXPECT_EQ(x->var, -3.0f);
    // Nothing re-derives.
    EXPECT_EQ(P().iq_compute_sup, 33);
    EXPECT_EQ(P()._b, -6.0);
}

TEST_F(Bank, InspectionWithoutWindows)
{
    stub::clear();
    send("get_window_length_pac", {fa(3)});
    send("get_window_length_paf", {fa(3)});
    send("get_first_zero_paf", {fa(3)});
    auto ev = outM();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].selector, "float");
    EXPECT_EQ(ev[0].floats[0], 0.0f);
    stub::clear();
    send("get_window_length_pac", {fa(-1)});
    send("get_window_length_pac", {fa(33)});
    EXPECT_TRUE(outM().empty());
}

TEST_F(Bank, InspectionWithWindows)
{
    send("make", {fa(-1)});
    send("shorten", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    stub::clear();
    send("get_window_length_paf", {fa(16)});
    send("get_window_length_pac", {fa(16.9)});
    send("get_first_zero_paf", {fa(16)});
    auto ev = outM();
    ASSERT_EQ(ev.size(), 3u);
    EXPECT_EQ(ev[0].floats[0], 938.0f);
    EXPECT_EQ(ev[1].floats[0], 938.0f);
    int fz = qavex_t_get_first_zero_array(&x->pac[16]);
    EXPECT_EQ(ev[2].floats[0], (float)fz);
    EXPECT_TRUE(stub::posted("First Real Negative Value at:"));
    char line[64];
    std::snprintf(line, sizeof line, "paf[16.000000]: %f", (double)fz);
    EXPECT_TRUE(stub::posted(line));
}

TEST_F(Bank, PrintFirstAndLastValue)
{
    send("make", {fa(-1)});
    pac_type f0 = x->pac[0][0], l0 = qavex_t_last_value_array(&x->pac[0]);
    stub::clear();
    send("print_first_and_last_value", {fa(0.5)});
    ASSERT_EQ(stub::console().size(), 1u);
    char line[300];
    std::snprintf(line, sizeof line, "pac[0][0] = \t %f+I*%f, \tpac[0][8778] = \t %f+I*%f,", f0.real(), f0.imag(),
                  l0.real(), l0.imag());
    EXPECT_EQ(stub::console()[0].text, line);
    for (double a : {-1.0, 33.0}) {
        stub::clear();
        send("print_first_and_last_value", {fa(a)});
        ASSERT_EQ(stub::console().size(), 35u);
        EXPECT_EQ(stub::console()[0].text, "Ausgabe der letzten Werte aller Arrays.");
        EXPECT_EQ(stub::console()[34].text, "-------------");
        std::string l = stub::console()[1].text;
        EXPECT_EQ(l, std::string(line).substr(0, std::string(line).size() - 1));
    }
    send("initialize");
    stub::clear();
    send("print_first_and_last_value", {fa(2)});
    EXPECT_EQ(stub::console()[0].text, "pac[2][0] = \t 0.000000+I*0.000000, \tpac[2][0] = \t 0.000000+I*0.000000,");
}

TEST_F(Bank, PrintBandBeforeAndAfterMake)
{
    stub::clear();
    send("print_band", {fa(-1)});
    auto &c = stub::console();
    ASSERT_EQ(c.size(), 36u);
    EXPECT_EQ(c[0].text,
              "normalized Overlap: 4.59615*sigma/d_q, This gives the usual values for a raised cosine window");
    EXPECT_EQ(
        c[1].text,
        "Band: \t \t, Centerfrq.:\t  \t \t[Hz], \tBW: \t \t[Hz], d = \t= \t[smp], Variance = \t[s], Overlap = \t[1] ");
    EXPECT_EQ(c[35].text, "---------------");
    char line[400];
    double centre = P().Theta(16 * 12.0, P().thetadata);
    std::snprintf(line, sizeof line,
                  "Band \t%3i\t: Centerfrq.:\t%8.2f\t[Hz], \tBW: \t%8.2f\t[Hz], d = \t%4i\t[smp], Length = \t%6.2f "
                  "[smp], sigma = \t%6.2f [smp], norm. Overlap = \t%6.2f [1]",
                  16, centre, 1 / P().aldDq_real[16], 196, (double)NAN, (double)NAN, (double)NAN);
    EXPECT_EQ(c[18].text, line);
    EXPECT_NE(c[18].text.find("nan"), std::string::npos);
    EXPECT_NE(c[18].text.find("  483.81"), std::string::npos);
    send("make", {fa(-1)});
    send("copy_pac2paf", {fa(-1)});
    stub::clear();
    send("print_band", {fa(16)});
    ASSERT_EQ(c.size(), 4u);
    double sigma = qavex_t_abs_sigma_coarse_array(&x->pac[16]).real();
    std::snprintf(line, sizeof line,
                  "Band \t%3i\t: Centerfrq.:\t%8.2f\t[Hz], \tBW: \t%8.2f\t[Hz], d = \t%4i\t[smp], Length = \t%6.2f "
                  "[smp], sigma = \t%6.2f [smp], norm. Overlap = \t%6.2f [1]",
                  16, P().Theta(192, P().thetadata), 1 / P().aldDq_real[16], 196, 8778.0, sigma, sigma * 4.59615 / 196);
    EXPECT_EQ(c[2].text, line);
    EXPECT_GT(sigma, 10);
    stub::clear();
    send("print_band", {fa(33)});
    EXPECT_EQ(c.size(), 3u);
}

}  // namespace

namespace {
// The stamp readers use to notice changed windows: every message that may
// change the float windows, the hops or the band count gives a new one, the
// others leave it alone, and two designers never share a stamp.
TEST_F(Bank, GenerationStampFollowsFloatWindowChanges)
{
    struct Step {
        const char *sel;
        std::vector<t_atom> args;
        bool changes;
    } steps[] = {
        {"initialize", {}, true},     {"make", {fa(-1)}, false}, {"copy_pac2paf", {fa(-1)}, true},
        {"shorten", {fa(-1)}, false}, {"bang", {}, false},       {"copy_pac2paf", {fa(3)}, true},
        {"set_C_d", {fa(4)}, false},  {"initialize", {}, true},
    };
    std::uint32_t last = P().iGeneration;
    for (auto &s : steps) {
        send(s.sel, s.args);
        EXPECT_EQ(P().iGeneration != last, s.changes) << s.sel;
        EXPECT_NE(P().iGeneration, 0u) << s.sel;
        last = P().iGeneration;
    }
    auto *y = (sQbank_t *)stub::create("qbank_tilde");
    ASSERT_NE(y, nullptr);
    EXPECT_NE(y->sParam.iGeneration, P().iGeneration);
    stub::destroy((t_pd *)y);
}

// Every error a message causes names the designer, so that the host can
// take the user to it ("Find last error").
TEST_F(Bank, ErrorsNameTheDesigner)
{
    using Msg = std::pair<const char *, std::vector<t_atom>>;
    const std::vector<std::vector<Msg>> cases = {
        {{"paf2list", {}}},
        {{"test", {fa(1)}}},
        {{"make_dual", {}}},
        {{"round_up_to_multiple_of_small_primes", {fa(0), fa(5)}}},
        {{"set_theta_type", {fa(7)}}, {"initialize", {}}},
        {{"set_window_type", {fa(5)}}, {"make", {fa(0)}}},
        {{"set_winlength_compute", {fa(1e-9)}}, {"initialize", {fa(1)}}, {"make", {fa(-1)}}},
    };
    for (const auto &msgs : cases) {
        stub::clear();
        for (const auto &[sel, args] : msgs) send(sel, args);
        int errors = 0;
        for (const auto &l : stub::console())
            if (l.error) {
                errors++;
                EXPECT_EQ(l.object, (const void *)x) << msgs.back().first << ": " << l.text;
            }
        EXPECT_GT(errors, 0) << msgs.back().first << stub::console_text();
    }
}
// Settings sent while "rebuild" runs stay the designer's after the swap; the
// bank is the one of the settings "rebuild" saw, with its derived values.
TEST_F(Bank, SettingsSentDuringARebuildSurviveItsSwap)
{
    send("set_C_d", {fa(4)});
    send("set_C_q", {fa(1)});
    send("rebuild");
    const std::vector<std::pair<const char *, float>> later = {{"set_C_d", 9},      {"set_C_q", 3},
                                                               {"set_var", 0.25f},  {"set_thetaf0", 20},
                                                               {"set_thetak", 24},  {"set_samplerate", 48000},
                                                               {"set_C_cut", 0.5f}, {"set_window_type", 2}};
    for (auto &[sel, v] : later) send(sel, {fa(v)});
    qbank_rebuild_wait(x);
    stub::run_clocks();
    const int bands = P().iq_compute_sup;
    const double a = P()._a;
    EXPECT_EQ(P().C_d, 9.0);
    EXPECT_EQ(P().C_q, 3.0);
    EXPECT_EQ(x->var, 0.25f);
    ASSERT_NE(P().thetadata, nullptr);
    EXPECT_EQ(P().thetadata[0], 20.0);
    EXPECT_EQ(P().thetadata[1], 24.0);
    EXPECT_EQ(x->sRate.dSampleRateRequest, 48000.0);
    EXPECT_EQ(P().C_cut, 0.5);
    EXPECT_EQ((int)P().eWindowType, 2);
    // The same bank from the messages a patch sends, on a designer that saw
    // only the settings "rebuild" saw.
    auto *y = (sQbank_t *)stub::create("qbank_tilde");
    ASSERT_NE(y, nullptr);
    for (auto &[sel, v] : std::vector<std::pair<const char *, float>>{{"set_C_d", 4}, {"set_C_q", 1}})
        stub::send((t_pd *)y, sel, {fa(v)});
    stub::send((t_pd *)y, "initialize", {});
    EXPECT_EQ(bands, y->sParam.iq_compute_sup);
    EXPECT_EQ(a, y->sParam._a);
    ASSERT_NE(y->sParam.aiDq, nullptr);
    for (int q = 0; q < bands; q++) EXPECT_EQ(P().aiDq[q], y->sParam.aiDq[q]) << "band " << q;
    stub::destroy((t_pd *)y);
}
}  // namespace
