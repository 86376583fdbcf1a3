// The installed package: what the package folder holds, that uninstall
// removes it, the deken archive, and the package in use from a patch in
// another folder (every class under each of its spellings, Help for each).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "e2e_util.h"

namespace fs = std::filesystem;

namespace {

int shell(const std::string &cmd)
{
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Regular files below dir, as paths relative to dir.
std::set<std::string> files_under(const std::string &dir)
{
    std::set<std::string> out;
    if (!fs::exists(dir)) return out;
    for (auto &e : fs::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.insert(fs::relative(e.path(), dir).string());
    return out;
}

// What the package folder must hold, from the source tree: the library,
// README, LICENSE, every help file beside the library, the examples below
// examples/.
std::set<std::string> expected_package()
{
    std::set<std::string> want = {"qavex.pd_linux", "README.md", "LICENSE"};
    for (auto &f : files_under(e2e::source_dir() + "/help")) want.insert(f);
    for (auto &f : files_under(e2e::source_dir() + "/examples")) want.insert("examples/" + f);
    return want;
}

// The build's install manifest lists the developer's own install (uninstall
// reads it); a test that installs elsewhere puts it back when done.
struct KeepManifest {
    std::string path = e2e::build_dir() + "/install_manifest.txt";
    bool had = fs::exists(path);
    std::string saved = had ? e2e::read_file(path) : "";
    ~KeepManifest()
    {
        if (had) e2e::write_file(path, saved);
        else fs::remove(path);
    }
};

int install_to(const std::string &prefix)
{
    return shell("cmake --install '" + e2e::build_dir() + "' --prefix '" + prefix + "' > /dev/null");
}

struct Spelling {
    const char *name;  // typed in the patch
    const char *help;  // the help patch Help must open
};

const Spelling SPELLINGS[] = {
    {"qavex_tilde", "qavex_tilde-help.pd"},
    {"qavex~", "qavex_tilde-help.pd"},
    {"invqavex_tilde", "invqavex_tilde-help.pd"},
    {"invqavex~", "invqavex_tilde-help.pd"},
    {"qlag_tilde", "qlag_tilde-help.pd"},
    {"qlag~", "qlag_tilde-help.pd"},
    {"qemit_tilde", "qemit_tilde-help.pd"},
    {"qemit~", "qemit_tilde-help.pd"},
    {"qbank_tilde", "qbank_tilde-help.pd"},
    {"qbank~", "qbank_tilde-help.pd"},
    {"qproc~ add", "qproc~-help.pd"},
    {"qdump~", "qdump~-help.pd"},
    {"qview~ spectrum", "qview~-help.pd"},
};

// A patch with one object per spelling, 30 pixels apart, and a message that
// asks Help for each object as the GUI does (right-click "Help" sends
// "done-popup 2 X Y" to the canvas). The help patch opened for object i gets
// a probe subpatch that prints "HELP_i: bang", and is closed again so the
// next object has to open it anew.
std::string help_probe_patch(const std::string &canvas, bool declare)
{
    std::string s = "#N canvas 0 0 900 700 12;\n";
    if (declare) s += "#X declare -lib qavex;\n#X obj 500 10 declare -lib qavex;\n";
    int n = 0;
    for (auto &sp : SPELLINGS) s += "#X obj 10 " + std::to_string(10 + 30 * n++) + " " + sp.name + ";\n";
    std::string m;
    for (int i = 0; i < n; i++) {
        std::string help = "pd-" + std::string(SPELLINGS[i].help), probe = "pd-probe" + std::to_string(i);
        m += " \\; pd-" + canvas + " done-popup 2 12 " + std::to_string(12 + 30 * i);
        m += " \\; " + help + " obj 0 0 pd probe" + std::to_string(i);
        m += " \\; " + probe + " obj 0 0 loadbang \\; " + probe + " obj 0 30 print HELP_" + std::to_string(i);
        m += " \\; " + probe + " connect 0 0 1 0 \\; " + probe + " loadbang";
        m += " \\; " + help + " menuclose 1";
    }
    s += "#X obj 500 100 loadbang;\n#X msg 500 140" + m + " \\; pd quit;\n";
    int first = declare ? n + 1 : n;
    s += "#X connect " + std::to_string(first) + " 0 " + std::to_string(first + 1) + " 0;\n";
    return s;
}

}  // namespace

TEST(Install, PackageFolderHoldsEverythingAndUninstallRemovesIt)
{
    KeepManifest keep;
    std::string prefix = e2e::temp_dir();
    ASSERT_EQ(install_to(prefix), 0);
    EXPECT_EQ(files_under(prefix), [] {
        std::set<std::string> s;
        for (auto &f : expected_package()) s.insert("qavex/" + f);
        return s;
    }());
    ASSERT_EQ(shell("cmake --build '" + e2e::build_dir() + "' --target uninstall > /dev/null"), 0);
    EXPECT_FALSE(fs::exists(prefix + "/qavex"));
    EXPECT_TRUE(fs::exists(prefix));
}

TEST(Install, DekenArchiveHoldsOneFolderNamedAfterTheLibrary)
{
    ASSERT_EQ(shell("cmake --build '" + e2e::build_dir() + "' --target package-deken > /dev/null"), 0);
    std::string dek;
    for (auto &e : fs::directory_iterator(e2e::build_dir())) {
        std::string n = e.path().filename().string();
        if (n.rfind("qavex[v", 0) == 0 && n.size() > 4 && n.substr(n.size() - 4) == ".dek") dek = e.path().string();
    }
    ASSERT_FALSE(dek.empty());
    std::string dir = e2e::temp_dir();
    ASSERT_EQ(shell("cd '" + dir + "' && cmake -E tar xf '" + dek + "'"), 0);
    std::set<std::string> want;
    for (auto &f : expected_package()) want.insert("qavex/" + f);
    EXPECT_EQ(files_under(dir), want);
    // The library in it is stripped: no symbol table, unlike the build's.
    EXPECT_EQ(shell("test -z \"$(nm '" + dir + "/qavex/qavex.pd_linux' 2>/dev/null)\""), 0);
    EXPECT_NE(shell("test -z \"$(nm '" + e2e::build_dir() + "/qavex.pd_linux' 2>/dev/null)\""), 0);

    // Checksum as sha256sum prints it, and it checks.
    const std::string name = fs::path(dek).filename().string();
    const std::string sum = e2e::read_file(dek + ".sha256");
    ASSERT_EQ(sum.size(), 64 + 2 + name.size() + 1) << sum;
    EXPECT_EQ(sum.substr(64), "  " + name + "\n");
    EXPECT_EQ(shell("cd '" + e2e::build_dir() + "' && sha256sum --status -c '" + name + ".sha256'"), 0);

    // Objects list: one line per help patch, the class name, a tab and the
    // description that the help patch's title gives.
    std::set<std::string> classes;
    for (auto &line : e2e::lines_of(e2e::read_file(dek + ".txt"))) {
        const auto tab = line.find('\t');
        ASSERT_NE(tab, std::string::npos) << line;
        const std::string cls = line.substr(0, tab), text = line.substr(tab + 1);
        EXPECT_TRUE(classes.insert(cls).second) << line;
        ASSERT_FALSE(text.empty()) << line;
        EXPECT_EQ(text.find(';'), std::string::npos) << line;
        // The title as Pd shows it: escaped commas unescaped.
        std::string help = e2e::read_file(e2e::source_dir() + "/help/" + cls + "-help.pd");
        for (std::size_t at; (at = help.find(" \\,")) != std::string::npos;) help.replace(at, 3, ",");
        EXPECT_NE(help.find(" " + cls + " - " + text), std::string::npos) << line;
    }
    std::set<std::string> helps;
    for (auto &e : fs::directory_iterator(e2e::source_dir() + "/help")) {
        const std::string n = e.path().filename().string();
        if (n.size() > 8 && n.substr(n.size() - 8) == "-help.pd") helps.insert(n.substr(0, n.size() - 8));
    }
    EXPECT_EQ(classes, helps);
}

// Loaded by [declare -lib qavex] from the default user folder (HOME points
// at a fresh folder, the package installed below it), by -path to the
// package folder with -lib qavex, and by -path to the folder above it.
TEST(Install, EverySpellingCreatesAndHelpOpensItsPatch)
{
    struct Mode {
        const char *what;
        bool declare;
        std::string flags;  // beyond the common ones; PKG and PREFIX are replaced
    };
    const Mode modes[] = {
        {"declare, default folder", true, ""},
        {"-path package -lib", false, "-path PKG -lib qavex"},
        {"-path prefix -lib", false, "-path PREFIX -lib qavex"},
    };
    KeepManifest keep;
    for (auto &mode : modes) {
        SCOPED_TRACE(mode.what);
        // Only the declare case installs into the (fresh) home folder, so the
        // other cases cannot find the library there.
        std::string home = e2e::temp_dir();
        std::string prefix = mode.declare ? home + "/.local/lib/pd/extra" : e2e::temp_dir();
        ASSERT_EQ(install_to(prefix), 0);
        std::string flags = mode.flags;
        for (auto [key, val] : {std::pair<std::string, std::string>{"PKG", prefix + "/qavex"}, {"PREFIX", prefix}})
            if (auto at = flags.find(key); at != std::string::npos) flags.replace(at, key.size(), "'" + val + "'");

        std::string patch_dir = e2e::temp_dir(), cwd = e2e::temp_dir();
        e2e::write_file(patch_dir + "/use.pd", help_probe_patch("use.pd", mode.declare));
        std::string out = patch_dir + "/console.txt";
        shell("cd '" + cwd + "' && HOME='" + home + "' timeout 120 " + e2e::host_command() +
              " -nogui -batch -noaudio -noprefs -stderr " + flags + " -open '" + patch_dir + "/use.pd' > '" + out +
              "' 2>&1");
        std::string console = e2e::read_file(out);

        EXPECT_EQ(console.find("couldn't create"), std::string::npos) << console;
        EXPECT_EQ(console.find("couldn't find help patch"), std::string::npos) << console;
        for (int i = 0; i < (int)std::size(SPELLINGS); i++)
            EXPECT_TRUE(e2e::has_line(console, "HELP_" + std::to_string(i) + ": bang"))
                << SPELLINGS[i].name << " -> " << SPELLINGS[i].help << "\n"
                << console;
    }
}
