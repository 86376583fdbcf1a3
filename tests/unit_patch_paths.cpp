// File names taken relative to the folder of the patch holding an object.
#include <gtest/gtest.h>

#include "patch_paths.h"

TEST(PatchPaths, RelativeNamesJoinThePatchFolderOthersStayAsGiven)
{
    struct Case {
        const char *dir;  // null: no patch
        const char *name;
        const char *want;
    };
    const Case cases[] = {
        {"/p/q", "a.txt", "/p/q/a.txt"},      {"/p/q/", "a.txt", "/p/q/a.txt"},
        {"/p", "sub/a.txt", "/p/sub/a.txt"},  {"/p", "../a.txt", "/p/../a.txt"},
        {"/p/q", "/abs/a.txt", "/abs/a.txt"}, {"", "a.txt", "a.txt"},
        {nullptr, "a.txt", "a.txt"},          {"/p", "", ""},
    };
    for (const Case &c : cases) {
        t_symbol dir{c.dir ? c.dir : "", nullptr, nullptr};
        EXPECT_EQ(qavex_patch_path(c.dir ? &dir : nullptr, c.name), c.want)
            << (c.dir ? c.dir : "(none)") << " + " << c.name;
    }
}
