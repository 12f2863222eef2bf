#pragma once
// Runs functions on the thread a Mailbox lives in.
//
// The functions travel through a queue guarded by a std::mutex, and the thread is
// woken by a queued call that carries nothing of ours. Every hand-over between
// threads is then made through locking that ThreadSanitizer can see (Qt's own
// locking lives in an uninstrumented library), and a burst of posts costs one
// wake-up.

#include <QObject>
#include <deque>
#include <functional>
#include <mutex>

namespace tethering {

class Mailbox : public QObject {
    Q_OBJECT
public:
    explicit Mailbox(QObject* parent = nullptr);

    // From any thread; returns at once. Functions run in the order posted.
    void post(std::function<void()> f);
    // From another thread than the mailbox's: runs f there and waits until it
    // has run. The mailbox's thread must not be waiting for the caller.
    void call(const std::function<void()>& f);

private:
    Q_INVOKABLE void drain();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_queue;
    bool m_wakePending = false;
};

} // namespace tethering
