// Radio enumeration and device search over BlueZ.
#include "BluezBus.h"
#include "DiscoveryRun.h"
#include "wclBluetooth.h"

#include <QDBusArgument>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QTimer>
#include <atomic>

namespace {

std::atomic<int> g_inquiryUnitMs{1280};

QList<DiscoveryRun*>& runs() {
    static QList<DiscoveryRun*> list;
    return list;
}

// "/org/bluez/hci0/dev_AA_BB_CC_DD_EE_FF" -> "(AA:BB:CC:DD:EE:FF)", or "".
QString addressOfPath(const QString& path) {
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    const QString leaf = path.mid(slash + 1);
    if (!leaf.startsWith(QLatin1String("dev_")) || leaf.size() != 21)
        return {};
    QString text = leaf.mid(4);
    text.replace(QLatin1Char('_'), QLatin1Char(':'));
    quint8 a[6];
    if (!wcl::parseBluezAddress(text, a))
        return {};
    return wcl::formatAddress(a);
}

} // namespace

// --- TwclBluetoothDiscovery ------------------------------------------------------

TwclBluetoothDiscovery::TwclBluetoothDiscovery(QObject* parent)
    : QObject(parent) {}

TwclBluetoothDiscovery::~TwclBluetoothDiscovery() = default;

int TwclBluetoothDiscovery::EnumRadios(TwclBluetoothRadios* Radios) {
    if (!Radios)
        return WCL_E_INVALID_ARGUMENT;
    Radios->Clear();
    if (!wcl::isLoaded())
        return WCL_E_TRANSPORT_NOT_AVAILABLE;
    QString adapter;
    const int code = wcl::firstAdapter(adapter);
    // BlueZ answering without an adapter: a loaded stack with no radio
    if (code == WCL_E_BLUETOOTH_RADIO_UNAVAILABLE)
        return WCL_E_SUCCESS;
    if (code)
        return code;
    auto radio = std::make_unique<TwclBluetoothRadio>();
    radio->FAPI = baBlueZ;
    Radios->m_items.push_back(std::move(radio));
    return WCL_E_SUCCESS;
}

int TwclBluetoothDiscovery::Discovery(TwclBluetoothRadio* Radio, quint8 Timeout, bool Fast) {
    // One search per process: BlueZ keeps one discovery session per client.
    if (DiscoveryRun::anyRunning())
        return WCL_E_DISCOVERING_ACTIVE;
    if (Timeout == 0)
        return WCL_E_INVALID_ARGUMENT;
    QString adapter;
    if (const int code = wcl::radioAdapter(Radio, adapter))
        return code;
    m_run = std::make_unique<DiscoveryRun>(this, *Radio, adapter, int(Timeout) * inquiryUnitMs(), Fast);
    m_run->begin();
    return WCL_E_SUCCESS;
}

bool TwclBluetoothDiscovery::Discovering() const {
    return m_run != nullptr;
}

void TwclBluetoothDiscovery::setInquiryUnitMs(int ms) {
    g_inquiryUnitMs = qBound(1, ms, 1280);
}

int TwclBluetoothDiscovery::inquiryUnitMs() {
    return g_inquiryUnitMs;
}

// --- DiscoveryRun ------------------------------------------------------------------

DiscoveryRun::DiscoveryRun(TwclBluetoothDiscovery* owner, const TwclBluetoothRadio& radio,
                           const QString& adapterPath, int durationMs, bool fast)
    : m_owner(owner)
    , m_adapter(adapterPath)
    , m_durationMs(durationMs)
    , m_fast(fast) {
    m_radio.Assign(radio);
    runs().append(this);
}

DiscoveryRun::~DiscoveryRun() {
    runs().removeAll(this);
    if (!m_done) {
        unsubscribe();
        sendStop();
    }
}

bool DiscoveryRun::anyRunning() {
    return !runs().isEmpty();
}

void DiscoveryRun::endAll() {
    const QList<DiscoveryRun*> all = runs();
    for (DiscoveryRun* run : all)
        if (runs().contains(run)) // an earlier completion handler may have ended it
            run->abort();
}

void DiscoveryRun::begin() {
    QDBusConnection c = wcl::connection();
    const QString om = wcl::kObjectManagerIface;
    m_subscribed = true;
    c.connect(wcl::kBluezService, QStringLiteral("/"), om, QStringLiteral("InterfacesAdded"), this,
              SLOT(onInterfacesAdded(QDBusMessage)));
    c.connect(wcl::kBluezService, QStringLiteral("/"), om, QStringLiteral("InterfacesRemoved"), this,
              SLOT(onInterfacesRemoved(QDBusMessage)));
    c.connect(wcl::kBluezService, QString(), wcl::kPropsIface, QStringLiteral("PropertiesChanged"), this,
              SLOT(onPropertiesChanged(QDBusMessage)));
    // BlueZ leaving the bus ends the search as failed
    auto* watcher = new QDBusServiceWatcher(
        wcl::kBluezService, c,
        QDBusServiceWatcher::WatchForUnregistration | QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { post([this] { finish(false); }); });
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this] { post([this] { finish(false); }); });

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &DiscoveryRun::onTimeUp);

    m_discovering = true;
    asyncCall(m_adapter, wcl::kAdapterIface, QStringLiteral("StartDiscovery"),
              [this](const QDBusMessage& r) { onStartReply(r); });
}

void DiscoveryRun::asyncCall(const QString& path, const QString& iface, const QString& method,
                             std::function<void(const QDBusMessage&)> done) {
    QDBusMessage m = QDBusMessage::createMethodCall(wcl::kBluezService, path, iface, method);
    wcl::countRoundTrip();
    auto* w = new QDBusPendingCallWatcher(wcl::connection().asyncCall(m, wcl::callTimeout()), this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [w, done = std::move(done)] {
        w->deleteLater();
        done(w->reply());
    });
}

// Events leave through the owner's queue, never from inside a D-Bus callback:
// a handler may start the next search or free the discovery object.
void DiscoveryRun::post(std::function<void()> fn) {
    QPointer<DiscoveryRun> self(this);
    QMetaObject::invokeMethod(
        m_owner,
        [self, fn = std::move(fn)] {
            if (self)
                fn();
        },
        Qt::QueuedConnection);
}

void DiscoveryRun::onStartReply(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage) {
        qCInfo(lcWcl) << "StartDiscovery refused:" << reply.errorName() << reply.errorMessage();
        m_discovering = false;
        post([this] { finish(false); });
        return;
    }
    post([this] { emitStarted(); });
    m_timer->start(m_durationMs);
}

void DiscoveryRun::emitStarted() {
    if (m_startedEmitted || m_done)
        return;
    m_startedEmitted = true;
    TwclBluetoothRadio radio;
    radio.Assign(m_radio);
    Q_EMIT m_owner->OnDiscoveryStarted(m_owner, &radio);
}

void DiscoveryRun::onTimeUp() {
    // Stop BlueZ's discovery first, then report what was seen.
    m_discovering = false;
    asyncCall(m_adapter, wcl::kAdapterIface, QStringLiteral("StopDiscovery"), [this](const QDBusMessage& r) {
        if (r.type() != QDBusMessage::ReplyMessage)
            qCInfo(lcWcl) << "StopDiscovery:" << r.errorName() << r.errorMessage();
        onStopped();
    });
}

void DiscoveryRun::onStopped() {
    if (!m_fast) {
        post([this] { finish(true); });
        return;
    }
    // Fast: every device BlueZ knows on this adapter
    asyncCall(QStringLiteral("/"), wcl::kObjectManagerIface, QStringLiteral("GetManagedObjects"),
              [this](const QDBusMessage& r) { onManagedObjects(r); });
}

void DiscoveryRun::onManagedObjects(const QDBusMessage& reply) {
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        post([this] { finish(false); });
        return;
    }
    m_order.clear();
    m_seen.clear();
    const QDBusArgument arg = reply.arguments().constFirst().value<QDBusArgument>();
    arg.beginMap();
    while (!arg.atEnd()) {
        QDBusObjectPath path;
        bool isDevice = false;
        arg.beginMapEntry();
        arg >> path;
        arg.beginMap();
        while (!arg.atEnd()) {
            QString iface;
            QVariantMap props;
            arg.beginMapEntry();
            arg >> iface >> props;
            arg.endMapEntry();
            isDevice = isDevice || iface == wcl::kDeviceIface;
        }
        arg.endMap();
        arg.endMapEntry();
        if (isDevice)
            noteSeen(path.path());
    }
    arg.endMap();
    post([this] { finish(true); });
}

bool DiscoveryRun::isOurDevice(const QString& path) const {
    return path.size() == m_adapter.size() + 22 && path.startsWith(m_adapter) &&
           path.at(m_adapter.size()) == QLatin1Char('/');
}

void DiscoveryRun::noteSeen(const QString& path) {
    if (!isOurDevice(path) || m_seen.contains(path) || m_order.size() >= kMaxDevices)
        return;
    m_seen.insert(path);
    m_order.append(path);
}

void DiscoveryRun::onInterfacesAdded(const QDBusMessage& msg) {
    if (msg.arguments().size() < 2 || m_fast)
        return;
    const QString path = msg.arguments().at(0).value<QDBusObjectPath>().path();
    if (!isOurDevice(path))
        return;
    const QDBusArgument arg = msg.arguments().at(1).value<QDBusArgument>();
    bool isDevice = false;
    arg.beginMap();
    while (!arg.atEnd()) {
        QString iface;
        QVariantMap props;
        arg.beginMapEntry();
        arg >> iface >> props;
        arg.endMapEntry();
        isDevice = isDevice || iface == wcl::kDeviceIface;
    }
    arg.endMap();
    if (isDevice)
        noteSeen(path);
}

void DiscoveryRun::onInterfacesRemoved(const QDBusMessage& msg) {
    if (msg.arguments().size() < 2)
        return;
    const QString path = msg.arguments().at(0).value<QDBusObjectPath>().path();
    const QStringList ifaces = msg.arguments().at(1).toStringList();
    if (path == m_adapter && ifaces.contains(wcl::kAdapterIface)) {
        // the radio went away mid-search
        post([this] { finish(false); });
        return;
    }
    if (ifaces.contains(wcl::kDeviceIface) && m_seen.remove(path))
        m_order.removeOne(path);
}

void DiscoveryRun::onPropertiesChanged(const QDBusMessage& msg) {
    // A device BlueZ already knew counts once it is heard again (RSSI update).
    if (m_fast || msg.arguments().size() < 2 || msg.arguments().at(0).toString() != wcl::kDeviceIface)
        return;
    if (!isOurDevice(msg.path()))
        return;
    const QVariantMap changed = qdbus_cast<QVariantMap>(msg.arguments().at(1));
    if (changed.contains(QStringLiteral("RSSI")))
        noteSeen(msg.path());
}

void DiscoveryRun::unsubscribe() {
    if (!m_subscribed)
        return;
    m_subscribed = false;
    QDBusConnection c = wcl::connection();
    const QString om = wcl::kObjectManagerIface;
    c.disconnect(wcl::kBluezService, QStringLiteral("/"), om, QStringLiteral("InterfacesAdded"), this,
                 SLOT(onInterfacesAdded(QDBusMessage)));
    c.disconnect(wcl::kBluezService, QStringLiteral("/"), om, QStringLiteral("InterfacesRemoved"), this,
                 SLOT(onInterfacesRemoved(QDBusMessage)));
    c.disconnect(wcl::kBluezService, QString(), wcl::kPropsIface, QStringLiteral("PropertiesChanged"), this,
                 SLOT(onPropertiesChanged(QDBusMessage)));
}

void DiscoveryRun::sendStop() {
    if (!m_discovering)
        return;
    m_discovering = false;
    // No wait: BlueZ may be gone, or the program on its way out.
    QDBusMessage m = QDBusMessage::createMethodCall(wcl::kBluezService, m_adapter, wcl::kAdapterIface,
                                                    QStringLiteral("StopDiscovery"));
    m.setAutoStartService(false);
    wcl::countRoundTrip();
    wcl::connection().send(m);
}

void DiscoveryRun::finish(bool ok) {
    if (m_done)
        return;
    m_done = true;
    runs().removeAll(this);
    unsubscribe();
    sendStop();
    if (m_timer)
        m_timer->stop();

    std::unique_ptr<TwclBluetoothDevices> devices;
    if (ok) {
        devices = std::make_unique<TwclBluetoothDevices>();
        for (const QString& path : std::as_const(m_order)) {
            const QString address = addressOfPath(path);
            if (!address.isEmpty())
                devices->Add(address);
        }
    }
    TwclBluetoothRadio radio;
    radio.Assign(m_radio);
    const bool needStarted = !m_startedEmitted;
    m_startedEmitted = true;
    TwclBluetoothDiscovery* owner = m_owner;

    // From here on the owner runs no search: its handlers may start the next one.
    std::unique_ptr<DiscoveryRun> self = std::move(owner->m_run);
    QPointer<TwclBluetoothDiscovery> guard(owner);
    if (needStarted)
        Q_EMIT owner->OnDiscoveryStarted(owner, &radio);
    if (guard)
        Q_EMIT owner->OnDiscoveryComplete(owner, &radio, devices.get());
    // self (this) is freed on return
}
