// End-to-end helpers: build a patch as text, run it in the real host with a
// time limit, and read back the console and the WAV files it wrote.
#pragma once

#include <string>
#include <vector>

namespace e2e {

// A patch under construction. Objects and messages are numbered in the
// order they are added, as the host numbers them for connections.
class Patch {
public:
    int obj(const std::string &text);
    int msg(const std::string &text);   // text may contain "\\;" etc.
    void connect(int src, int outlet, int dst, int inlet);
    // Adds [loadbang] -> [del ms] -> [; pd quit( so the run ends by itself.
    void quit_after(double ms);
    std::string text() const;

private:
    std::vector<std::string> lines_;
    int count_ = 0;
};

struct Run {
    std::string console;  // everything the host wrote (stderr and stdout)
    int status;           // exit status; 124 when the time limit hit
};

// A fresh directory for one test's files.
std::string temp_dir();
// Runs the patch with -lib qavex from the build directory.
Run run_pd(const Patch &p, const std::string &dir, int timeout_s = 120);
Run run_pd_file(const std::string &patch_path, int timeout_s = 120);

// Opens help/<file> in the host with DSP on, posts "e2e: help open" after
// ms milliseconds of logical time and quits shortly after.
Run open_help(const std::string &file, double ms = 200);
// No error, failed creation, failed file access or assertion in the text.
bool clean_console(const std::string &console);

// Channels of a WAV file (16/24/32-bit integer or 32-bit float).
std::vector<std::vector<float>> read_wav(const std::string &path);

// Lines of the console text that contain the given text.
int count_containing(const std::string &console, const std::string &text);
bool has_line(const std::string &console, const std::string &line);

// Round-trip error in dB: energy of res - dry over the energy of dry, from
// sample `from` to the end of the shorter signal.
double error_db(const std::vector<float> &res, const std::vector<float> &dry, size_t from = 0);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
std::string build_dir();
std::string source_dir();

}  // namespace e2e
