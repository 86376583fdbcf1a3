#include "fft_plan_lock.h"

std::mutex &qavex_t_fft_plan_lock()
{
    static std::mutex m;
    return m;
}
