// Relative file names given to qdump~ "open" and to the designer's
// "set_theta_type 0 FILE" resolve against the folder of the patch, not the
// folder the host was started in; absolute names are used as given.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "e2e_util.h"

namespace fs = std::filesystem;

namespace {

// A small warping-map source file: frequency, warped coordinate per row.
const char *MAP = "4\n-10 -1\n0 0\n1000 100\n30000 420\n";

// A name as a message argument, its spaces escaped.
std::string escaped(const std::string &name)
{
    std::string e;
    for (char ch : name) e += ch == ' ' ? std::string("\\ ") : std::string(1, ch);
    return e;
}

// Runs the patch from a different current folder than the patch's own.
std::string run_elsewhere(const std::string &patch, const std::string &cwd)
{
    std::string out = patch + ".console";
    std::string cmd = "cd '" + cwd + "' && timeout 120 " + e2e::host_command() +
                      " -nogui -batch -noaudio -noprefs -stderr -path '" + e2e::build_dir() + "' -lib qavex -open '" +
                      patch + "' > '" + out + "' 2>&1";
    int rc = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0);
    return e2e::read_file(out);
}

}  // namespace

TEST(PatchPaths, RelativeNamesResolveAgainstThePatchFolder)
{
    std::string patch_dir = e2e::temp_dir(), cwd = e2e::temp_dir(), abs_dir = e2e::temp_dir();
    fs::create_directory(patch_dir + "/maps");
    e2e::write_file(patch_dir + "/maps/map.txt", MAP);
    e2e::write_file(abs_dir + "/map.txt", MAP);
    e2e::write_file(patch_dir + "/maps/my map.txt", MAP);

    // Each row: the name given, where the file must appear (or be read from).
    struct Case {
        std::string dump_name, dump_where;
        std::string map_name, processed_where;
    };
    const Case cases[] = {
        {"out.txt", patch_dir + "/out.txt", "maps/map.txt", patch_dir + "/maps/map.txt.processed"},
        {abs_dir + "/out.txt", abs_dir + "/out.txt", abs_dir + "/map.txt", abs_dir + "/map.txt.processed"},
        // Names with spaces, escaped in the message, are taken as they are.
        {"my out.txt", patch_dir + "/my out.txt", "maps/my map.txt", patch_dir + "/maps/my map.txt.processed"},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.dump_name + ", " + c.map_name);
        e2e::Patch p;
        int lb = p.obj("loadbang");
        int bank = p.obj("qbank_tilde");
        int set = p.msg("set_theta_type 0 " + escaped(c.map_name) + " \\, initialize \\, bang");
        int dump = p.obj("qdump~");
        int open = p.msg("open " + escaped(c.dump_name) + " \\, close");
        p.connect(lb, 0, set, 0);
        p.connect(set, 0, bank, 0);
        p.connect(lb, 0, open, 0);
        p.connect(open, 0, dump, 0);
        p.quit_after(10);
        std::string patch = patch_dir + "/paths" + std::to_string(n++) + ".pd";
        e2e::write_file(patch, p.text());
        std::string console = run_elsewhere(patch, cwd);

        EXPECT_TRUE(fs::exists(c.dump_where)) << console;
        EXPECT_TRUE(fs::exists(c.processed_where)) << console;
        // The map was read, so the designer kept the table-driven type and the
        // path as given.
        EXPECT_TRUE(e2e::has_line(console, "ThetaType: \t0")) << console;
        EXPECT_TRUE(e2e::has_line(console, "ThetaPath: \t" + c.map_name)) << console;
        EXPECT_EQ(console.find("File not found"), std::string::npos) << console;
    }
    // Nothing was written into the folder the host was started in.
    EXPECT_TRUE(fs::is_empty(cwd));
}
