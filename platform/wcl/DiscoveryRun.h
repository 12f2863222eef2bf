#pragma once
// Internal: one device search over BlueZ, driven by D-Bus replies, signals and a
// timer on the thread that started it (the UI thread), so both events come there.

#include "wclBluetooth.h"

#include <QDBusMessage>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

class QDBusPendingCallWatcher;
class QTimer;

class DiscoveryRun : public QObject {
    Q_OBJECT
public:
    DiscoveryRun(TwclBluetoothDiscovery* owner, const TwclBluetoothRadio& radio, const QString& adapterPath,
                 int durationMs, bool fast);
    ~DiscoveryRun() override; // without events: the owner is going away

    void begin();
    // Ends at once, reporting failure (Unload).
    void abort() { finish(false); }

    static bool anyRunning();
    // Every running search ends now, reported as failed.
    static void endAll();

    // Most devices one search reports.
    static constexpr int kMaxDevices = 10000;

private Q_SLOTS:
    void onInterfacesAdded(const QDBusMessage& msg);
    void onInterfacesRemoved(const QDBusMessage& msg);
    void onPropertiesChanged(const QDBusMessage& msg);

private:
    void onStartReply(const QDBusMessage& reply);
    void onTimeUp();
    void onStopped();
    void onManagedObjects(const QDBusMessage& reply);
    void post(std::function<void()> fn);
    void asyncCall(const QString& path, const QString& iface, const QString& method,
                   std::function<void(const QDBusMessage&)> done);
    void emitStarted();
    void finish(bool ok);
    void unsubscribe();
    void sendStop();
    void noteSeen(const QString& path);
    bool isOurDevice(const QString& path) const;

    TwclBluetoothDiscovery* m_owner;
    TwclBluetoothRadio m_radio;
    QString m_adapter;
    int m_durationMs;
    bool m_fast;
    QTimer* m_timer = nullptr;
    bool m_subscribed = false;
    bool m_discovering = false; // StartDiscovery sent and not refused
    bool m_startedEmitted = false;
    bool m_done = false;
    QStringList m_order;
    QSet<QString> m_seen;
};
