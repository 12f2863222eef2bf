#pragma once
// The framework's Bluetooth adapter: an RFCOMM server profile registered with
// BlueZ (ProfileManager1.RegisterProfile); BlueZ hands each incoming
// connection's socket to our Profile1 object.

#include <QDBusConnection>
#include <QObject>
#include <QString>

class QDBusServiceWatcher;
class QTimer;

namespace tethering {

class BluetoothAdapter : public QObject {
    Q_OBJECT
public:
    explicit BluetoothAdapter(QObject* parent = nullptr);
    ~BluetoothAdapter() override;

    // Connects to the system bus and registers the profile; waits at most
    // timeoutMs. True when BlueZ accepted the profile. When BlueZ (re)appears
    // later, the profile is registered again.
    bool start(int timeoutMs);
    void stop();
    bool isRegistered() const { return m_registered; }
    QString objectPath() const { return m_path; }

    // Called by the exported Profile1 object.
    void newConnection(const QString& device, int fd);
    void requestDisconnection(const QString& device);
    void released();

Q_SIGNALS:
    // A connected RFCOMM socket; the receiver owns fd.
    void connectionArrived(int fd, const QString& device);
    void disconnectRequested(const QString& device);
    void registeredChanged(bool registered);

private:
    bool registerProfile(int timeoutMs);
    void setRegistered(bool registered);

    QString m_connectionName;
    QString m_path;
    QDBusConnection m_bus;
    QObject* m_profileObject = nullptr;
    QDBusServiceWatcher* m_watcher = nullptr;
    QTimer* m_retry = nullptr;
    int m_retryMs = 0;
    bool m_registered = false;
    bool m_objectExported = false;
};

} // namespace tethering
