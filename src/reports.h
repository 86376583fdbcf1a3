// The designer's and the analysis's report lines shared by both: the bang
// remarks, the build time and the compile check.
#pragma once

#include <cstdint>

// The remark a bang report starts with at bang count c (may be none).
void qavex_t_post_bang_remark(std::int32_t c);
// "------------------Not important stuff" and the "Buildtime" line.
void qavex_t_post_buildtime();

std::int32_t qavex_test_compileparam();
// TEST() (does nothing) is defined in reports.cpp; it is not
// declared here because test frameworks use that name as a macro.
