// The library loads in the real host and registers its classes.
#include <gtest/gtest.h>

#include "e2e_util.h"

TEST(Library, LoadsAndQuits)
{
    std::string dir = e2e::temp_dir();
    e2e::Patch p;
    p.obj("print loaded");
    p.quit_after(10);
    auto r = e2e::run_pd(p, dir);
    EXPECT_EQ(r.status, 0) << r.console;
    EXPECT_EQ(r.console.find("qavex: can't load library"), std::string::npos) << r.console;
}
