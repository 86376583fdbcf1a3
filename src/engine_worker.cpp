#include "engine_worker.h"

#include <system_error>

#include "thread_priority.h"

void QavexWorker::shutdown()
{
    {
        std::lock_guard<std::mutex> g(m_);
        quit_ = true;
        next_ = nullptr;
        stop_.store(true);
    }
    cv_.notify_all();
    if (t_.joinable()) t_.join();
}

bool QavexWorker::launch()
{
    std::lock_guard<std::mutex> g(m_);
    if (quit_) return false;
    if (t_.joinable()) return true;
    try {
        t_ = std::thread(&QavexWorker::loop, this);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

bool QavexWorker::start(Job fn, void *arg, void **dropped)
{
    if (dropped) *dropped = nullptr;
    if (!launch()) return false;
    {
        std::lock_guard<std::mutex> g(m_);
        if (next_ && dropped) *dropped = next_arg_;
        next_ = fn;
        next_arg_ = arg;
        if (running_) stop_.store(true);
    }
    cv_.notify_all();
    return true;
}

void QavexWorker::wait_idle()
{
    std::unique_lock<std::mutex> g(m_);
    cv_.wait(g, [this] { return !running_ && !next_; });
}

bool QavexWorker::busy()
{
    std::lock_guard<std::mutex> g(m_);
    return running_ || next_;
}

void QavexWorker::loop()
{
    qavex_thread_to_background();
    std::unique_lock<std::mutex> g(m_);
    for (;;) {
        cv_.wait(g, [this] { return quit_ || next_; });
        if (quit_) return;
        Job fn = next_;
        void *arg = next_arg_;
        next_ = nullptr;
        running_ = true;
        stop_.store(false);
        g.unlock();
        fn(arg, stop_);
        g.lock();
        running_ = false;
        cv_.notify_all();
    }
}
