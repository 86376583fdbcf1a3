#include "thread_priority.h"

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#include <pthread/qos.h>
#elif defined(__linux__)
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

void qavex_thread_to_background()
{
#if defined(_WIN32)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
#elif defined(__APPLE__)
    pthread_set_qos_class_self_np(QOS_CLASS_UTILITY, 0);
#elif defined(__linux__)
    // SCHED_IDLE: the thread runs on time no ordinary thread wants and never
    // preempts one, so a busy host thread keeps its core to itself (a lower
    // nice value alone still takes slices of it). Where it is refused, the
    // highest nice value (a thread's own on Linux) comes closest.
#ifdef SCHED_IDLE
    sched_param sp{};
    sp.sched_priority = 0;
    if (pthread_setschedparam(pthread_self(), SCHED_IDLE, &sp) == 0) return;
#endif
    setpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid), 19);
#endif
}
