// The worker thread every build runs on: jobs in order, a waiting job
// replaced by a newer one, the running one asked to stop, and the thread
// below the host's scheduling priority.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "engine_worker.h"

#if defined(__linux__)
#include <sched.h>
#include <sys/resource.h>
#endif

namespace {

struct Log {
    std::vector<int> ran;
    std::atomic<bool> release{false};
    std::atomic<bool> started{false};
    bool saw_stop = false;
    int policy = -1, nice = 0;
};
Log *log_of = nullptr;

void record(void *arg, const std::atomic<bool> &) { log_of->ran.push_back((int)(intptr_t)arg); }

// Runs until released, noting whether it was asked to stop meanwhile.
void blocker(void *arg, const std::atomic<bool> &stop)
{
    log_of->started = true;
    while (!log_of->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    log_of->saw_stop = stop.load();
    record(arg, stop);
}

void priority(void *, const std::atomic<bool> &)
{
#if defined(__linux__)
    log_of->policy = sched_getscheduler(0);
    log_of->nice = getpriority(PRIO_PROCESS, 0);
#endif
}

}  // namespace

TEST(EngineWorker, OrderReplacementStopAndPriority)
{
    Log log;
    log_of = &log;
    QavexWorker w;
    void *dropped = &log;
    ASSERT_TRUE(w.start(record, (void *)1, &dropped));
    EXPECT_EQ(dropped, nullptr);
    w.wait_idle();
    // While 2 runs, 3 waits and is replaced by 4; 2 is asked to stop.
    ASSERT_TRUE(w.start(blocker, (void *)2));
    while (!log.started.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(w.start(record, (void *)3));
    ASSERT_TRUE(w.start(record, (void *)4, &dropped));
    EXPECT_EQ(dropped, (void *)3);
    EXPECT_TRUE(w.busy());
    log.release = true;
    w.wait_idle();
    EXPECT_FALSE(w.busy());
    EXPECT_EQ(log.ran, (std::vector<int>{1, 2, 4}));
    EXPECT_TRUE(log.saw_stop);
    ASSERT_TRUE(w.start(priority, nullptr));
    w.wait_idle();
#if defined(__linux__)
    EXPECT_TRUE(log.policy == SCHED_IDLE || log.nice == 19) << log.policy << " " << log.nice;
#endif
    // After shutdown nothing starts.
    w.shutdown();
    EXPECT_FALSE(w.start(record, (void *)5));
    log_of = nullptr;
}
