// Report lines shared by the bang reports.
#include "reports.h"

#include <cstdint>

#include "m_pd.h"
#include "records.h"

void qavex_t_post_bang_remark(std::int32_t c)
{
    if (c >= 11 && c <= 19) post("Why are you banging me?");
    else if (c >= 21 && c <= 25) post("I don't like being banged!");
    else if (c >= 27 && c <= 29) post("WHY ARE YOU BANGING ME?");
    else if (c >= 31) post("kriblo is the best!");
}

void qavex_t_post_buildtime()
{
    post("------------------Not important stuff");
    post("Buildtime \t%s\t, \t%s", __DATE__, __TIME__);
}

std::int32_t qavex_test_compileparam()
{
    post("sizeof pac_type: \t%i", (int)sizeof(pac_type));
    post("sizeof paf_type: \t%i", (int)sizeof(paf_type));
    return (sizeof(pac_type) == 16 ? 0 : 1) + (sizeof(paf_type) == 4 ? 0 : 1);
}

void TEST();
void TEST() {}
