#pragma once
// The server side of the tethering link, on the framework's own I/O thread:
// the connections of remote managers, their handshake, pairing, profile
// exchange, resources and keep-alive. Results reach the manager (UI thread)
// through queued signals only.

#include "Tethering.h"
#include "TetheringProtocol.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QVariant>
#include <atomic>
#include <deque>
#include <future>
#include <memory>
#include <mutex>

class QTimer;

namespace tethering {

class BluetoothAdapter;
class Session;

// A resource taken from a remote profile, on its way to the UI thread.
struct Incoming {
    QString managerId;
    QString fromProfile;
    QString toProfile;
    QString description;
    bool isStream = false;
    DataType dataType = DataType::String;
    QVariant value;
    QByteArray streamBytes;
    qsizetype cost = 0; // bytes counted against the pending budget
};

// What the engine hands to the window thread, in the order it happened.
struct UiEvent {
    enum class Kind { Resource, Profiles, Left };
    Kind kind = Kind::Resource;
    Incoming resource;
    QString managerId;
    QList<TTetheringProfileInfo> profiles;
};

// The hand-over from the engine's thread to the window thread. Under a burst of
// frames the engine keeps appending while one wake-up is on its way, so the
// window thread takes many events per wake-up instead of one posted event per read.
class Outbox {
public:
    // Appends; true when the window thread has to be woken (none is pending).
    bool push(std::deque<UiEvent>& events) {
        std::lock_guard lock(m_mutex);
        for (UiEvent& e : events)
            m_events.push_back(std::move(e));
        events.clear();
        const bool wake = !m_wakePending;
        m_wakePending = true;
        return wake;
    }
    // Everything appended so far; the next push wakes again.
    std::deque<UiEvent> take() {
        std::lock_guard lock(m_mutex);
        m_wakePending = false;
        return std::exchange(m_events, {});
    }

private:
    std::mutex m_mutex; // not QMutex: ThreadSanitizer sees this one
    std::deque<UiEvent> m_events;
    bool m_wakePending = false;
};

struct LocalProfile {
    QString id;
    QString text;
    QString group;
    bool visible = true;
    bool enabled = true;
};

enum class SendStatus { Accepted, Refused, NotConnected, Lost };
struct SendResult {
    SendStatus status = SendStatus::Lost;
    QString reason;
};
using SendPromise = std::shared_ptr<std::promise<SendResult>>;

class Engine : public QObject {
    Q_OBJECT
public:
    Engine(const QString& managerId, const QString& managerText, const QString& password,
           const TTetheringTimings& timings, std::shared_ptr<Outbox> outbox);
    ~Engine() override;

    // All below run on the engine's thread.
    void addProfile(const LocalProfile& profile);
    void removeProfile(const QString& id);
    // Registers the Bluetooth service; true when the system's Bluetooth took it.
    bool startBluetooth();
    // Serves an already-connected stream socket (takes ownership).
    void acceptFd(int fd, const QString& via, const QString& peer = {});
    void send(const QString& fromProfile, const TTetheringProfileInfo& to, const QString& description,
              const QString& text, quint64 ticket, SendPromise promise);
    void cancelSend(quint64 ticket);
    void shutdown();
    // The UI thread handled resources worth `cost` bytes.
    void resumeIfDrained();

    // Flow control shared with the UI thread: bytes of resources queued for the UI.
    std::atomic<qint64> pendingBytes{0};
    static constexpr qint64 PendingHighWater = 8 * 1024 * 1024;
    static constexpr qint64 PendingLowWater = 2 * 1024 * 1024;

    // Session-facing helpers.
    const QString& managerId() const { return m_managerId; }
    const QString& managerText() const { return m_managerText; }
    const QString& password() const { return m_password; }
    const TTetheringTimings& timings() const { return m_timings; }
    const QList<LocalProfile>& profiles() const { return m_profiles; }
    const LocalProfile* profile(const QString& id) const;
    bool uiBacklogged() const { return pendingBytes.load() >= PendingHighWater; }
    void deliver(Incoming&& in);
    void sessionPaired(Session* s);
    void sessionProfiles(Session* s);
    void sessionClosed(Session* s, const QString& reason);
    void flushDeliveries();

Q_SIGNALS:
    // Events wait in the outbox (emitted once until the window thread takes them).
    void eventsWaiting();
    void bluetoothReady(bool ready);

private:
    void tick();
    void disconnectDevice(const QString& devicePath);
    void post(UiEvent&& event);

    QString m_managerId;
    QString m_managerText;
    QString m_password;
    TTetheringTimings m_timings;
    QList<LocalProfile> m_profiles;
    QList<Session*> m_sessions;
    QTimer* m_ticker = nullptr;
    BluetoothAdapter* m_bluetooth = nullptr;
    std::shared_ptr<Outbox> m_outbox;
    std::deque<UiEvent> m_batch;
    bool m_shuttingDown = false;
};

} // namespace tethering

