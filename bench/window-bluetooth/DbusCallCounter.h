#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QProcess>
#include <QStringList>

// Counts the D-Bus method calls (round trips) made on a bus, by watching it with
// dbus-monitor. A marker call from a connection of its own ends each
// measurement, so every call made before it has been seen when the count is taken.
class DbusCallCounter {
public:
    explicit DbusCallCounter(const QString& busAddress)
        : m_bus(QDBusConnection::connectToBus(busAddress, QStringLiteral("sarnavel-call-counter"))) {
        m_monitor.setProgram(QStringLiteral("dbus-monitor"));
        m_monitor.setArguments({QStringLiteral("--address"), busAddress, QStringLiteral("--profile"),
                                QStringLiteral("type='method_call'")});
        m_monitor.start(QIODevice::ReadOnly);
        m_ok = m_bus.isConnected() && m_monitor.waitForStarted(5000);
        // The monitor sees nothing until it has become a monitor: mark until a marker shows.
        bool seen = false;
        for (int i = 0; m_ok && !seen && i < 20; ++i)
            seen = mark(250);
        m_ok = m_ok && seen;
    }
    ~DbusCallCounter() {
        m_monitor.kill();
        m_monitor.waitForFinished(2000);
        QDBusConnection::disconnectFromBus(QStringLiteral("sarnavel-call-counter"));
    }
    bool ok() const { return m_ok; }

    // Starts a measurement.
    void reset() { mark(); }
    // Method calls made since reset() by anyone but the counter; -1 when the monitor failed.
    int count() {
        if (!mark())
            return -1;
        return int(m_seen.size());
    }
    // "destination interface.member" of each call counted by the last count().
    const QStringList& calls() const { return m_seen; }

private:
    // Sends a marker and collects the calls seen before it.
    bool mark(int timeoutMs = 5000) {
        m_seen.clear();
        const QString me = m_bus.baseService();
        // Each marker has a path of its own, so a late one is never taken for the current one.
        const QString path = QStringLiteral("/sarnavel/marker%1").arg(++m_markers);
        m_bus.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), path,
                                                  QStringLiteral("org.freedesktop.DBus.Peer"),
                                                  QStringLiteral("Ping")),
                   QDBus::Block, 2000);
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (!m_monitor.canReadLine())
                m_monitor.waitForReadyRead(50);
            while (m_monitor.canReadLine()) {
                // mc <time> <serial> <sender> <destination> <path> <interface> <member>
                const QStringList f =
                    QString::fromUtf8(m_monitor.readLine()).trimmed().split(QLatin1Char('\t'));
                if (f.size() < 8 || f[0] != QLatin1String("mc"))
                    continue;
                if (f[3] == me) {
                    if (f[5] == path)
                        return true;
                    continue;
                }
                m_seen << f[4] + QLatin1Char(' ') + f[6] + QLatin1Char('.') + f[7];
            }
        }
        return false;
    }

    QDBusConnection m_bus;
    QProcess m_monitor;
    QStringList m_seen;
    int m_markers = 0;
    bool m_ok = false;
};
