// The Bluetooth library over BlueZ: loading, radio and device calls.
// Every call reads BlueZ afresh (no cached model): see docs/bluetooth.md.
#include "wclBluetooth.h"

#include "BluezAgent.h"
#include "BluezBus.h"
#include "DiscoveryRun.h"
#include "wclTesting.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QThread>
#include <QXmlStreamReader>
#include <atomic>
#include <optional>

Q_LOGGING_CATEGORY(lcWcl, "sarnavel.wcl")

namespace wcl {
namespace {

std::atomic<int> g_callTimeoutMs{3000};
std::atomic<int> g_pairTimeoutMs{30000};
std::atomic<quint64> g_roundTrips{0};
// When a call last ran into the full bound (0: BlueZ answers).
std::atomic<qint64> g_stalledAt{0};
constexpr int kStalledTimeoutMs = 250;
constexpr int kStalledPeriodMs = 5000;

// Introspection data of /org/bluez beyond this is not believed.
constexpr int kMaxIntrospectBytes = 1 << 20;

const QString kConnectionName = QStringLiteral("sarnavel-wcl");

// Process-wide state of the loaded stack. UI thread only, except the agent.
struct Stack {
    std::optional<QDBusConnection> injected;
    std::optional<QDBusConnection> conn; // the bus of the current Load
    bool loaded = false;
    TwclAPI* loadedBy = nullptr;
    QThread* agentThread = nullptr;
    BluezAgent* agent = nullptr;
    QString agentOwner; // BlueZ's unique name when the agent was registered
};
Stack& stack() {
    static Stack s;
    return s;
}

// A call to the bus daemon itself, bounded like every other.
QDBusMessage busCall(const QDBusConnection& conn, const QString& method, const QVariantList& args) {
    QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                    QStringLiteral("/org/freedesktop/DBus"),
                                                    QStringLiteral("org.freedesktop.DBus"), method);
    m.setArguments(args);
    countRoundTrip();
    return conn.call(m, QDBus::Block, callTimeout());
}

QString bluezOwner() {
    QDBusMessage r = busCall(connection(), QStringLiteral("GetNameOwner"), {kBluezService});
    return r.type() == QDBusMessage::ReplyMessage ? r.arguments().value(0).toString() : QString();
}

} // namespace

// Registers our agent with the BlueZ now on the bus, unless already done for it.
void ensureAgentRegistered() {
    Stack& s = stack();
    if (!s.agent)
        return;
    const QString owner = bluezOwner();
    if (owner.isEmpty() || owner == s.agentOwner)
        return;
    QDBusMessage r =
        call(QStringLiteral("/org/bluez"), QStringLiteral("org.bluez.AgentManager1"),
             QStringLiteral("RegisterAgent"),
             {QVariant::fromValue(QDBusObjectPath(BluezAgent::objectPath())), BluezAgent::capability()});
    if (r.type() == QDBusMessage::ReplyMessage ||
        r.errorName() == QLatin1String("org.bluez.Error.AlreadyExists"))
        s.agentOwner = owner;
    else
        qCWarning(lcWcl) << "RegisterAgent failed:" << r.errorName() << r.errorMessage();
}

namespace {

void startAgent() {
    Stack& s = stack();
    if (s.agent)
        return;
    s.agentThread = new QThread;
    s.agentThread->setObjectName(QStringLiteral("wcl-agent"));
    s.agent = new BluezAgent;
    s.agent->moveToThread(s.agentThread);
    s.agentThread->start();
    // Exported from its own thread: Qt then delivers BlueZ's calls there even
    // while the UI thread is blocked in Pair (exported from the UI thread, they
    // would wait for the UI thread).
    bool exported = false;
    QDBusConnection conn = connection();
    QMetaObject::invokeMethod(
        s.agent,
        [&exported, conn, agent = s.agent]() mutable {
            exported = conn.registerObject(BluezAgent::objectPath(), agent, QDBusConnection::ExportAllSlots);
        },
        Qt::BlockingQueuedConnection);
    if (!exported)
        qCWarning(lcWcl) << "cannot export the pairing agent";
    ensureAgentRegistered();
}

void stopAgent() {
    Stack& s = stack();
    if (!s.agent)
        return;
    if (!s.agentOwner.isEmpty() && bluezOwner() == s.agentOwner)
        call(QStringLiteral("/org/bluez"), QStringLiteral("org.bluez.AgentManager1"),
             QStringLiteral("UnregisterAgent"),
             {QVariant::fromValue(QDBusObjectPath(BluezAgent::objectPath()))});
    QDBusConnection conn = connection();
    QMetaObject::invokeMethod(
        s.agent, [conn]() mutable { conn.unregisterObject(BluezAgent::objectPath()); },
        Qt::BlockingQueuedConnection);
    s.agentThread->quit();
    if (s.agentThread->wait(3000)) {
        delete s.agent;
        delete s.agentThread;
    } else {
        // still inside a handler: leave both alive rather than free them under it
        qCWarning(lcWcl) << "agent thread did not end";
    }
    s.agent = nullptr;
    s.agentThread = nullptr;
    s.agentOwner.clear();
}

int apiCode(const TwclBluetoothRadio* radio) {
    if (!radio)
        return WCL_E_INVALID_ARGUMENT;
    switch (radio->Api()) {
    case baBlueZ:
        return WCL_E_SUCCESS;
    case baBlueSoleil:
    case baMicrosoft:
    case baToshiba:
    case baWidComm:
        return WCL_E_BLUETOOTH_API_NOT_AVAILABLE;
    }
    return WCL_E_UNKNOWN_BLUETOOTH_API;
}

} // namespace

QDBusConnection connection() {
    Stack& s = stack();
    if (s.conn)
        return *s.conn;
    return s.injected ? *s.injected : QDBusConnection(kConnectionName);
}

bool isLoaded() {
    return stack().loaded;
}

int callTimeout() {
    return g_callTimeoutMs.load();
}

int pairTimeout() {
    return g_pairTimeoutMs.load();
}

void countRoundTrip() {
    ++g_roundTrips;
}

QDBusMessage call(const QString& path, const QString& iface, const QString& method, const QVariantList& args,
                  int timeoutMs) {
    QDBusMessage m = QDBusMessage::createMethodCall(kBluezService, path, iface, method);
    m.setArguments(args);
    countRoundTrip();
    // Once BlueZ has let a call time out, the next ones wait only briefly until it
    // answers again: the window makes a dozen calls per click and must not stall
    // for the full bound on each.
    // A slow (not dead) BlueZ gets the full bound again a few seconds later.
    int timeout = timeoutMs > 0 ? timeoutMs : callTimeout();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const qint64 stalledAt = g_stalledAt;
    const bool brief = timeoutMs <= 0 && stalledAt != 0 && now - stalledAt < kStalledPeriodMs;
    if (brief)
        timeout = qMin(timeout, kStalledTimeoutMs);
    QDBusMessage r = connection().call(m, QDBus::Block, timeout);
    const bool timedOut = r.type() == QDBusMessage::ErrorMessage &&
                          (r.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
                           r.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout"));
    if (timedOut && !brief)
        g_stalledAt = now;
    else if (!timedOut)
        g_stalledAt = 0;
    return r;
}

int firstAdapter(QString& path) {
    QDBusMessage r = call(QStringLiteral("/org/bluez"), QStringLiteral("org.freedesktop.DBus.Introspectable"),
                          QStringLiteral("Introspect"));
    if (r.type() != QDBusMessage::ReplyMessage)
        return codeForReply(r);
    const QString xml = r.arguments().value(0).toString();
    if (xml.size() > kMaxIntrospectBytes)
        return WCL_E_INTERNAL;
    static const QRegularExpression hci(QStringLiteral("^hci([0-9]{1,4})$"));
    int best = -1;
    QXmlStreamReader reader(xml);
    int depth = 0;
    while (!reader.atEnd()) {
        const auto token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            // children of the root <node>
            if (depth == 2 && reader.name() == QLatin1String("node")) {
                const auto m = hci.match(reader.attributes().value(QLatin1String("name")).toString());
                if (m.hasMatch()) {
                    const int n = m.captured(1).toInt();
                    if (best < 0 || n < best)
                        best = n;
                }
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    if (reader.hasError())
        return WCL_E_INTERNAL;
    if (best < 0)
        return WCL_E_BLUETOOTH_RADIO_UNAVAILABLE;
    path = QStringLiteral("/org/bluez/hci%1").arg(best);
    return WCL_E_SUCCESS;
}

int radioAdapter(const TwclBluetoothRadio* radio, QString& path) {
    if (const int code = apiCode(radio))
        return code;
    if (!isLoaded())
        return WCL_E_TRANSPORT_NOT_AVAILABLE;
    return firstAdapter(path);
}

int getProperty(const QString& path, const QString& iface, const QString& name, QVariant& value) {
    QDBusMessage r = call(path, kPropsIface, QStringLiteral("Get"), {iface, name});
    if (r.type() == QDBusMessage::ReplyMessage && !r.arguments().isEmpty()) {
        value = r.arguments().constFirst().value<QDBusVariant>().variant();
        return WCL_E_SUCCESS;
    }
    if (isMissingProperty(r))
        return kMissing;
    return codeForReply(r);
}

int setProperty(const QString& path, const QString& iface, const QString& name, const QVariant& value) {
    QDBusMessage r = call(path, kPropsIface, QStringLiteral("Set"),
                          {iface, name, QVariant::fromValue(QDBusVariant(value))});
    if (r.type() == QDBusMessage::ReplyMessage)
        return WCL_E_SUCCESS;
    if (isMissingProperty(r))
        return kMissing;
    return codeForReply(r);
}

static int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    return -1;
}

bool parseBluezAddress(const QString& text, quint8 out[6]) {
    if (text.size() != 17)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (i > 0 && text.at(i * 3 - 1) != QLatin1Char(':'))
            return false;
        const int hi = hexValue(text.at(i * 3));
        const int lo = hexValue(text.at(i * 3 + 1));
        if (hi < 0 || lo < 0)
            return false;
        out[i] = quint8(hi * 16 + lo);
    }
    return true;
}

QString formatAddress(const quint8 a[6]) {
    return QString::asprintf("(%.2X:%.2X:%.2X:%.2X:%.2X:%.2X)", a[0], a[1], a[2], a[3], a[4], a[5]);
}

QString devicePath(const QString& adapterPath, const quint8 a[6]) {
    return adapterPath +
           QString::asprintf("/dev_%.2X_%.2X_%.2X_%.2X_%.2X_%.2X", a[0], a[1], a[2], a[3], a[4], a[5]);
}

} // namespace wcl

// --- test hooks ------------------------------------------------------------

void wcl::testing::setCallTimeoutMs(int ms) {
    g_callTimeoutMs = qBound(10, ms, 60000);
}
int wcl::testing::callTimeoutMs() {
    return g_callTimeoutMs;
}
void wcl::testing::setPairTimeoutMs(int ms) {
    g_pairTimeoutMs = qBound(10, ms, 600000);
}
int wcl::testing::pairTimeoutMs() {
    return g_pairTimeoutMs;
}
quint64 wcl::testing::roundTrips() {
    return g_roundTrips;
}

// --- TwclAPI -------------------------------------------------------------------

TwclAPI::TwclAPI(QObject* parent)
    : QObject(parent) {}

TwclAPI::~TwclAPI() {
    if (wcl::stack().loadedBy == this)
        Unload();
}

int TwclAPI::Load() {
    using namespace wcl;
    Stack& s = stack();
    if (s.loaded)
        return WCL_E_SUCCESS;
    // A connection of our own to the system bus: Qt's shared systemBus() holds
    // back incoming calls (our agent's) until the UI event loop first runs.
    s.conn =
        s.injected ? *s.injected : QDBusConnection::connectToBus(QDBusConnection::SystemBus, kConnectionName);
    bool present = false;
    if (s.conn->isConnected()) {
        QDBusMessage has = busCall(*s.conn, QStringLiteral("NameHasOwner"), {kBluezService});
        present = has.type() == QDBusMessage::ReplyMessage && has.arguments().value(0).toBool();
        if (!present) {
            // bluetoothd may be bus-activated; give it one bounded chance
            QDBusMessage names = busCall(*s.conn, QStringLiteral("ListActivatableNames"), {});
            if (names.type() == QDBusMessage::ReplyMessage &&
                names.arguments().value(0).toStringList().contains(kBluezService))
                present =
                    busCall(*s.conn, QStringLiteral("StartServiceByName"), {kBluezService, 0u}).type() ==
                    QDBusMessage::ReplyMessage;
        }
    }
    if (!present) {
        qCInfo(lcWcl) << "no BlueZ on the bus: no Bluetooth stack loaded";
        s.conn.reset();
        if (!s.injected)
            QDBusConnection::disconnectFromBus(kConnectionName);
        return WCL_E_TRANSPORT_NOT_AVAILABLE;
    }
    s.loaded = true;
    s.loadedBy = this;
    startAgent();
    return WCL_E_SUCCESS;
}

int TwclAPI::Unload() {
    using namespace wcl;
    Stack& s = stack();
    // A search still running ends now, reported as failed.
    DiscoveryRun::endAll();
    if (!s.loaded)
        return WCL_E_SUCCESS;
    stopAgent();
    s.loaded = false;
    s.loadedBy = nullptr;
    s.conn.reset();
    if (!s.injected)
        QDBusConnection::disconnectFromBus(kConnectionName);
    return WCL_E_SUCCESS;
}

void TwclAPI::setConnection(const QDBusConnection& bus) {
    wcl::stack().injected = bus;
}

void TwclAPI::resetConnection() {
    wcl::stack().injected.reset();
}

// --- TwclBluetoothRadio ------------------------------------------------------

int TwclBluetoothRadio::GetAddress(QString& Address) {
    QString adapter;
    if (const int code = wcl::radioAdapter(this, adapter))
        return code;
    QVariant v;
    const int code = wcl::getProperty(adapter, wcl::kAdapterIface, QStringLiteral("Address"), v);
    if (code == wcl::kMissing)
        return WCL_E_FEATURE_NOT_SUPPORTED;
    if (code)
        return code;
    quint8 a[6];
    if (!wcl::parseBluezAddress(v.toString(), a))
        return WCL_E_INTERNAL;
    Address = wcl::formatAddress(a);
    return WCL_E_SUCCESS;
}

namespace {

int readFlag(const QString& adapter, const QString& name, bool& flag) {
    QVariant v;
    const int code = wcl::getProperty(adapter, wcl::kAdapterIface, name, v);
    if (code == wcl::kMissing)
        return WCL_E_FEATURE_NOT_SUPPORTED;
    if (code)
        return code;
    if (v.metaType().id() != QMetaType::Bool)
        return WCL_E_INTERNAL;
    flag = v.toBool();
    return WCL_E_SUCCESS;
}

int writeFlag(const QString& adapter, const QString& name, bool flag) {
    const int code = wcl::setProperty(adapter, wcl::kAdapterIface, name, flag);
    return code == wcl::kMissing ? WCL_E_FEATURE_NOT_SUPPORTED : code;
}

} // namespace

// Connectable is Adapter1.Connectable where BlueZ has it (5.79 on), else Powered.
int TwclBluetoothRadio::GetConnectable(bool& Flag) {
    QString adapter;
    if (const int code = wcl::radioAdapter(this, adapter))
        return code;
    QVariant v;
    const int code = wcl::getProperty(adapter, wcl::kAdapterIface, QStringLiteral("Connectable"), v);
    if (code == wcl::kMissing)
        return readFlag(adapter, QStringLiteral("Powered"), Flag);
    if (code)
        return code;
    if (v.metaType().id() != QMetaType::Bool)
        return WCL_E_INTERNAL;
    Flag = v.toBool();
    return WCL_E_SUCCESS;
}

int TwclBluetoothRadio::SetConnectable(bool Flag) {
    QString adapter;
    if (const int code = wcl::radioAdapter(this, adapter))
        return code;
    const int code = wcl::setProperty(adapter, wcl::kAdapterIface, QStringLiteral("Connectable"), Flag);
    if (code == wcl::kMissing)
        return writeFlag(adapter, QStringLiteral("Powered"), Flag);
    return code;
}

int TwclBluetoothRadio::GetDiscoverable(bool& Flag) {
    QString adapter;
    if (const int code = wcl::radioAdapter(this, adapter))
        return code;
    return readFlag(adapter, QStringLiteral("Discoverable"), Flag);
}

int TwclBluetoothRadio::SetDiscoverable(bool Flag) {
    QString adapter;
    if (const int code = wcl::radioAdapter(this, adapter))
        return code;
    if (Flag) {
        // BlueZ ends discoverable by itself after DiscoverableTimeout (180 s by
        // default); switched on here it stays on until switched off.
        const int t =
            wcl::setProperty(adapter, wcl::kAdapterIface, QStringLiteral("DiscoverableTimeout"), 0u);
        if (t)
            qCInfo(lcWcl) << "cannot clear DiscoverableTimeout:" << t;
    }
    return writeFlag(adapter, QStringLiteral("Discoverable"), Flag);
}

int TwclBluetoothRadio::GetName(QString& Name) {
    QString adapter;
    if (const int code = wcl::radioAdapter(this, adapter))
        return code;
    QVariant v;
    const int code = wcl::getProperty(adapter, wcl::kAdapterIface, QStringLiteral("Alias"), v);
    if (code == wcl::kMissing)
        return WCL_E_FEATURE_NOT_SUPPORTED;
    if (code)
        return code;
    Name = v.toString().left(wcl::kMaxNameChars);
    return WCL_E_SUCCESS;
}

TwclBluetoothRadio* TwclBluetoothRadios::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EListError();
    return m_items[size_t(Index)].get();
}

// --- TwclBluetoothDevice ------------------------------------------------------

TwclBluetoothDevice::TwclBluetoothDevice(QObject* parent)
    : QObject(parent) {}

TwclBluetoothDevice::~TwclBluetoothDevice() = default;

QString TwclBluetoothDevice::Address() const {
    return wcl::formatAddress(m_address);
}

bool TwclBluetoothDevice::IsValidAddress(const QString& Address) {
    if (Address.size() != 19 || Address.front() != QLatin1Char('(') || Address.back() != QLatin1Char(')'))
        return false;
    static const QString allowed = QStringLiteral("():0123456789ABCDEFabcdef");
    for (int i = 0; i < Address.size(); ++i) {
        const QChar c = Address.at(i);
        if (!allowed.contains(c))
            return false;
        // ':' exactly at the 4th, 7th, 10th, 13th and 16th characters; hex digits between
        const bool colonPlace = i % 3 == 0 && i > 0 && i < 18;
        if (i == 0 || i == 18)
            continue;
        if (colonPlace != (c == QLatin1Char(':')))
            return false;
        if (!colonPlace && (c == QLatin1Char('(') || c == QLatin1Char(')')))
            return false;
    }
    return true;
}

void TwclBluetoothDevice::SetAddress(const QString& Address) {
    if (!IsValidAddress(Address))
        throw EwclError(Address + QStringLiteral(" is not valid Bluetooth address."));
    quint8 a[6];
    wcl::parseBluezAddress(Address.mid(1, 17), a);
    std::copy(a, a + 6, m_address);
}

namespace {

// The device's object path under the first adapter, or a code.
int deviceObject(const TwclBluetoothRadio* radio, const quint8 address[6], QString& path) {
    QString adapter;
    if (const int code = wcl::radioAdapter(radio, adapter))
        return code;
    path = wcl::devicePath(adapter, address);
    return WCL_E_SUCCESS;
}

int readDevice(const TwclBluetoothRadio* radio, const quint8 address[6], const QString& name, QVariant& v) {
    QString path;
    if (const int code = deviceObject(radio, address, path))
        return code;
    const int code = wcl::getProperty(path, wcl::kDeviceIface, name, v);
    return code == wcl::kMissing ? WCL_E_BLUETOOTH_VALUE_NOT_AVAILABLE : code;
}

} // namespace

int TwclBluetoothDevice::GetClassOfDevice(TwclBluetoothRadio* Radio, quint32& Value) {
    QVariant v;
    if (const int code = readDevice(Radio, m_address, QStringLiteral("Class"), v))
        return code;
    if (v.metaType().id() != QMetaType::UInt)
        return WCL_E_INTERNAL;
    Value = v.toUInt();
    return WCL_E_SUCCESS;
}

int TwclBluetoothDevice::GetName(TwclBluetoothRadio* Radio, QString& Value) {
    // Alias is the user's name for the device, else its remote name, else
    // BlueZ's address form: a nameless device still has one.
    QVariant v;
    if (const int code = readDevice(Radio, m_address, QStringLiteral("Alias"), v))
        return code;
    Value = v.toString().left(wcl::kMaxNameChars);
    return WCL_E_SUCCESS;
}

int TwclBluetoothDevice::GetPaired(TwclBluetoothRadio* Radio, bool& Value) {
    QVariant v;
    if (const int code = readDevice(Radio, m_address, QStringLiteral("Paired"), v))
        return code;
    if (v.metaType().id() != QMetaType::Bool)
        return WCL_E_INTERNAL;
    Value = v.toBool();
    return WCL_E_SUCCESS;
}

int TwclBluetoothDevice::Pair(TwclBluetoothRadio* Radio) {
    QString path;
    if (const int code = deviceObject(Radio, m_address, path))
        return code;
    wcl::ensureAgentRegistered();
    wcl::BluezAgent::beginPairing(path, this);
    // Blocks this thread only; the agent answers BlueZ from its own thread.
    QDBusMessage r = wcl::call(path, wcl::kDeviceIface, QStringLiteral("Pair"), {}, wcl::pairTimeout());
    wcl::BluezAgent::endPairing();
    if (r.type() == QDBusMessage::ReplyMessage)
        return WCL_E_SUCCESS;
    const int code = wcl::codeForReply(r);
    if (r.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        r.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
        // our bound ran out: do not leave BlueZ pairing in the background
        wcl::call(path, wcl::kDeviceIface, QStringLiteral("CancelPairing"));
    }
    return code;
}

int TwclBluetoothDevice::Unpair(TwclBluetoothRadio* Radio) {
    QString adapter;
    if (const int code = wcl::radioAdapter(Radio, adapter))
        return code;
    QDBusMessage r = wcl::call(adapter, wcl::kAdapterIface, QStringLiteral("RemoveDevice"),
                               {QVariant::fromValue(QDBusObjectPath(wcl::devicePath(adapter, m_address)))});
    return wcl::codeForReply(r);
}

TwclBluetoothDevice* TwclBluetoothDevices::Items(int Index) const {
    if (Index < 0 || Index >= Count())
        throw EListError();
    return m_items[size_t(Index)].get();
}

TwclBluetoothDevice* TwclBluetoothDevices::Add(const QString& Address) {
    auto d = std::make_unique<TwclBluetoothDevice>();
    d->SetAddress(Address);
    m_items.push_back(std::move(d));
    return m_items.back().get();
}
