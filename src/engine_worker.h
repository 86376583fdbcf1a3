// A worker thread owned by one object, for work longer than a block (engine
// and bank builds). One job at a time; starting a job never allocates, so the
// audio thread may start one. The owner joins the thread by destroying it.
// The thread runs below the host's priority (src/thread_priority.h).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class QavexWorker {
public:
    // A job: fn(arg, stop) runs on the worker; stop turns true when a newer
    // job is waiting or the worker is being destroyed, and fn should return
    // soon after.
    typedef void (*Job)(void *arg, const std::atomic<bool> &stop);

    QavexWorker() = default;
    QavexWorker(const QavexWorker &) = delete;
    QavexWorker &operator=(const QavexWorker &) = delete;
    // Stops the running job (its stop flag) and joins the thread.
    ~QavexWorker() { shutdown(); }
    // The same, earlier; later starts fail.
    void shutdown();

    // Creates the thread if it does not run yet (allocates: call it outside
    // the audio thread, before the first start from there). False on failure.
    bool launch();
    // Queues fn(arg): a job queued but not yet begun is replaced (its arg
    // into *dropped, else null there); a running job is asked to stop. False
    // when the thread does not run and cannot be started (start creates it
    // if needed).
    bool start(Job fn, void *arg, void **dropped = nullptr);
    // Blocks until no job runs or waits (for deletion and tests).
    void wait_idle();
    // True while a job runs or waits.
    bool busy();

private:
    void loop();
    std::mutex m_;
    std::condition_variable cv_;
    std::thread t_;
    Job next_ = nullptr;
    void *next_arg_ = nullptr;
    bool running_ = false;
    bool quit_ = false;
    std::atomic<bool> stop_{false};
};
