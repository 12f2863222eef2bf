#pragma once
// Ends a soak run that stops making progress: a hang must fail the run with the
// stage it hung in, not stall it until the CI limit.

#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <thread>
#include <unistd.h>

inline qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class Watchdog {
public:
    // Checks once a second; when lastProgress (steadyMs() of the last step) is older
    // than timeoutMs, prints what describe() returns and exits with status 3.
    Watchdog(const std::atomic<qint64>& lastProgress, int timeoutMs, std::function<void(int seconds)> describe)
        : m_lastProgress(lastProgress)
        , m_timeoutMs(timeoutMs)
        , m_describe(std::move(describe))
        , m_thread([this] { run(); })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard l(m_lock);
            m_stop = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    void run()
    {
        std::unique_lock l(m_lock);
        while (!m_cv.wait_for(l, std::chrono::seconds(1), [this] { return m_stop; })) {
            if (steadyMs() - m_lastProgress > m_timeoutMs) {
                m_describe(m_timeoutMs / 1000);
                std::fflush(stderr);
                ::_exit(3);
            }
        }
    }

    const std::atomic<qint64>& m_lastProgress;
    const int m_timeoutMs;
    const std::function<void(int)> m_describe;
    std::mutex m_lock;
    std::condition_variable m_cv;
    bool m_stop = false;
    std::thread m_thread; // last: starts once the members above exist
};
