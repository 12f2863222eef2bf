#include "Mailbox.h"

#include <condition_variable>

namespace tethering {

Mailbox::Mailbox(QObject* parent)
    : QObject(parent) {}

void Mailbox::post(std::function<void()> f) {
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        m_queue.push_back(std::move(f));
        wake = !m_wakePending;
        m_wakePending = true;
    }
    if (wake)
        QMetaObject::invokeMethod(this, "drain", Qt::QueuedConnection);
}

void Mailbox::call(const std::function<void()>& f) {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    post([&] {
        f();
        std::lock_guard lock(mutex);
        finished = true;
        done.notify_one();
    });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
}

void Mailbox::drain() {
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(m_mutex);
        batch.swap(m_queue);
        m_wakePending = false;
    }
    for (auto& f : batch)
        f();
}

} // namespace tethering
