#include "BluetoothAdapter.h"

#include "TetheringLog.h"
#include "TetheringProtocol.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QTimer>
#include <QUuid>
#include <fcntl.h>

namespace tethering {

namespace {
const QString BluezService = QStringLiteral("org.bluez");

// org.bluez.Profile1, as BlueZ calls it on our object.
class Profile1Adaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.bluez.Profile1")
public:
    Profile1Adaptor(QObject* object, BluetoothAdapter* adapter)
        : QDBusAbstractAdaptor(object)
        , m_adapter(adapter) {}

public Q_SLOTS:
    void Release() { m_adapter->released(); }
    void NewConnection(const QDBusObjectPath& device, const QDBusUnixFileDescriptor& fd, const QVariantMap&) {
        if (!fd.isValid())
            return;
        // The descriptor belongs to the message; keep our own copy.
        const int own = ::fcntl(fd.fileDescriptor(), F_DUPFD_CLOEXEC, 3);
        if (own >= 0)
            m_adapter->newConnection(device.path(), own);
    }
    void RequestDisconnection(const QDBusObjectPath& device) {
        m_adapter->requestDisconnection(device.path());
    }

private:
    BluetoothAdapter* m_adapter;
};
} // namespace

BluetoothAdapter::BluetoothAdapter(QObject* parent)
    : QObject(parent)
    , m_connectionName(QStringLiteral("sarnavel-tethering-") + QUuid::createUuid().toString(QUuid::Id128))
    , m_path(QStringLiteral("/org/sarnavel/tethering/") + QUuid::createUuid().toString(QUuid::Id128))
    , m_bus(m_connectionName)
    , m_retry(new QTimer(this)) {
    m_retry->setSingleShot(true);
    connect(m_retry, &QTimer::timeout, this, [this] {
        if (!m_registered && m_bus.isConnected())
            registerProfile(2000);
    });
}

BluetoothAdapter::~BluetoothAdapter() {
    stop();
}

bool BluetoothAdapter::start(int timeoutMs) {
    if (!m_bus.isConnected())
        m_bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, m_connectionName);
    if (!m_bus.isConnected()) {
        qCWarning(lcTethering) << "no system bus; Bluetooth adapter not started";
        return false;
    }
    if (!m_objectExported) {
        m_profileObject = new QObject(this);
        new Profile1Adaptor(m_profileObject, this);
        m_objectExported = m_bus.registerObject(m_path, m_profileObject, QDBusConnection::ExportAdaptors);
        if (!m_objectExported) {
            qCWarning(lcTethering) << "cannot export the profile object" << m_bus.lastError().message();
            return false;
        }
    }
    if (!m_watcher) {
        m_watcher =
            new QDBusServiceWatcher(BluezService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
                [this](const QString&, const QString&, const QString& newOwner) {
                    setRegistered(false);
                    m_retryMs = 0;
                    m_retry->stop();
                    if (!newOwner.isEmpty()) {
                        qCInfo(lcTethering) << "BlueZ appeared; registering the profile again";
                        registerProfile(2000);
                    }
                });
    }
    return registerProfile(timeoutMs);
}

bool BluetoothAdapter::registerProfile(int timeoutMs) {
    QVariantMap options;
    options.insert(QStringLiteral("Name"), QString::fromLatin1(ServiceName));
    options.insert(QStringLiteral("Role"), QStringLiteral("server"));
    options.insert(QStringLiteral("Channel"), QVariant::fromValue<quint16>(RfcommChannel));
    options.insert(QStringLiteral("RequireAuthentication"), false);
    options.insert(QStringLiteral("RequireAuthorization"), false);
    options.insert(QStringLiteral("AutoConnect"), false);
    QDBusMessage call = QDBusMessage::createMethodCall(BluezService, QStringLiteral("/org/bluez"),
                                                       QStringLiteral("org.bluez.ProfileManager1"),
                                                       QStringLiteral("RegisterProfile"));
    call << QVariant::fromValue(QDBusObjectPath(m_path)) << QString::fromLatin1(ServiceUuid) << options;
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        qCWarning(lcTethering) << "RegisterProfile failed:" << reply.errorName() << reply.errorMessage();
        setRegistered(false);
        // BlueZ is there but not ready (still starting): try again, less and less often.
        // Without BlueZ the watcher tells us when it comes.
        const QString name = reply.errorName();
        if (name != QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") &&
            name != QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner") &&
            name != QLatin1String("org.bluez.Error.AlreadyExists")) {
            m_retryMs = m_retryMs == 0 ? 250 : qMin(m_retryMs * 2, 8000);
            m_retry->start(m_retryMs);
        }
        return false;
    }
    m_retryMs = 0;
    m_retry->stop();
    setRegistered(true);
    qCInfo(lcTethering) << "profile registered with BlueZ at" << m_path;
    return true;
}

void BluetoothAdapter::stop() {
    if (!m_bus.isConnected())
        return;
    delete m_watcher;
    m_watcher = nullptr;
    m_retry->stop();
    if (m_registered) {
        QDBusMessage call = QDBusMessage::createMethodCall(BluezService, QStringLiteral("/org/bluez"),
                                                           QStringLiteral("org.bluez.ProfileManager1"),
                                                           QStringLiteral("UnregisterProfile"));
        call << QVariant::fromValue(QDBusObjectPath(m_path));
        m_bus.call(call, QDBus::Block, 500);
        setRegistered(false);
    }
    if (m_objectExported) {
        m_bus.unregisterObject(m_path);
        m_objectExported = false;
    }
    delete m_profileObject;
    m_profileObject = nullptr;
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_bus = QDBusConnection(m_connectionName); // no longer connected
}

void BluetoothAdapter::setRegistered(bool registered) {
    if (registered == m_registered)
        return;
    m_registered = registered;
    Q_EMIT registeredChanged(registered);
}

void BluetoothAdapter::newConnection(const QString& device, int fd) {
    Q_EMIT connectionArrived(fd, device);
}

void BluetoothAdapter::requestDisconnection(const QString& device) {
    Q_EMIT disconnectRequested(device);
}

void BluetoothAdapter::released() {
    setRegistered(false);
}

} // namespace tethering

#include "BluetoothAdapter.moc"
