#include "Tethering.h"

#include "Exception.h"
#include "Mailbox.h"
#include "TetheringEngine.h"
#include "TetheringLog.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <QUuid>
#include <chrono>
#include <deque>
#include <sys/socket.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcTethering, "sarnavel.tethering")

namespace tethering {
struct DispatchQueue {
    std::shared_ptr<Outbox> outbox;
    std::deque<UiEvent> items; // taken from the outbox, not yet handled
};
} // namespace tethering

using namespace tethering;

// --- Records --------------------------------------------------------------------

TResourceValue::TResourceValue() = default;

TResourceValue TResourceValue::fromInteger(qint32 v) {
    TResourceValue r;
    r.m_type = TResourceType::Integer;
    r.m_value = v;
    return r;
}
TResourceValue TResourceValue::fromSingle(float v) {
    TResourceValue r;
    r.m_type = TResourceType::Single;
    r.m_value = v;
    return r;
}
TResourceValue TResourceValue::fromDouble(double v) {
    TResourceValue r;
    r.m_type = TResourceType::Double;
    r.m_value = v;
    return r;
}
TResourceValue TResourceValue::fromInt64(qint64 v) {
    TResourceValue r;
    r.m_type = TResourceType::Int64;
    r.m_value = v;
    return r;
}
TResourceValue TResourceValue::fromBoolean(bool v) {
    TResourceValue r;
    r.m_type = TResourceType::Boolean;
    r.m_value = v;
    return r;
}
TResourceValue TResourceValue::fromString(const QString& v) {
    TResourceValue r;
    r.m_type = TResourceType::String;
    r.m_value = v;
    return r;
}
TResourceValue TResourceValue::fromStream(const QByteArray& bytes) {
    TResourceValue r;
    r.m_streamBytes = std::make_shared<QByteArray>(bytes);
    r.m_stream = std::make_shared<QBuffer>(r.m_streamBytes.get());
    r.m_stream->open(QIODevice::ReadOnly);
    return r;
}

QString TResourceValue::AsString() const {
    return !m_stream && m_type == TResourceType::String ? m_value.toString() : QString();
}
qint32 TResourceValue::AsInteger() const {
    return m_type == TResourceType::Integer ? m_value.toInt() : 0;
}
float TResourceValue::AsSingle() const {
    return m_type == TResourceType::Single ? m_value.toFloat() : 0.0f;
}
double TResourceValue::AsDouble() const {
    return m_type == TResourceType::Double ? m_value.toDouble() : 0.0;
}
qint64 TResourceValue::AsInt64() const {
    return m_type == TResourceType::Int64 ? m_value.toLongLong() : 0;
}
bool TResourceValue::AsBoolean() const {
    return m_type == TResourceType::Boolean && m_value.toBool();
}
QIODevice* TResourceValue::AsStream() const {
    return m_stream.get();
}

TTetheringProfileInfo TTetheringProfileInfoList::Items(int index) const {
    if (index < 0 || index >= m_items.size())
        throw EListError();
    return m_items.at(index);
}

// --- Manager --------------------------------------------------------------------

namespace {
// Longest stretch the window thread spends on received resources at a time.
constexpr qint64 DispatchSliceMs = 8;

TTetheringTimings& currentTimings() {
    static TTetheringTimings t;
    return t;
}

TRemoteResource makeResource(const Incoming& in) {
    TRemoteResource r;
    r.Hint = in.description;
    if (in.isStream) {
        r.ResType = TRemoteResourceType::Stream;
        r.Value = TResourceValue::fromStream(in.streamBytes);
        return r;
    }
    r.ResType = TRemoteResourceType::Data;
    switch (in.dataType) {
    case DataType::Integer:
        r.Value = TResourceValue::fromInteger(in.value.toInt());
        break;
    case DataType::Single:
        r.Value = TResourceValue::fromSingle(in.value.toFloat());
        break;
    case DataType::Double:
        r.Value = TResourceValue::fromDouble(in.value.toDouble());
        break;
    case DataType::Int64:
        r.Value = TResourceValue::fromInt64(in.value.toLongLong());
        break;
    case DataType::Boolean:
        r.Value = TResourceValue::fromBoolean(in.value.toBool());
        break;
    case DataType::String:
        r.Value = TResourceValue::fromString(in.value.toString());
        break;
    }
    return r;
}
} // namespace

void TTetheringManager::setTimings(const TTetheringTimings& timings) {
    currentTimings() = timings;
}

TTetheringTimings TTetheringManager::timings() {
    return currentTimings();
}

TTetheringManager::TTetheringManager(QObject* parent)
    : QObject(parent)
    , m_queue(std::make_unique<DispatchQueue>()) {}

TTetheringManager::~TTetheringManager() {
    stop();
    for (TTetheringAppProfile* p : std::as_const(m_profiles))
        p->m_manager = nullptr;
}

bool TTetheringManager::adapterAllowed(const QString& name) const {
    const QStringList names = AllowedAdapters.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString& n : names) {
        if (n.trimmed().compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

void TTetheringManager::start() {
    if (m_engine || !Enabled)
        return;
    m_identifier = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("tethering-io"));
    m_queue->outbox = std::make_shared<Outbox>();
    m_engine = new Engine(m_identifier, Text, Password, currentTimings(), m_queue->outbox);
    m_engine->moveToThread(m_thread);
    m_mailbox = new Mailbox;
    m_mailbox->moveToThread(m_thread);
    connect(m_engine, &Engine::eventsWaiting, this, &TTetheringManager::onEventsWaiting, Qt::QueuedConnection);
    connect(
        m_engine, &Engine::bluetoothReady, this, [this](bool ready) { m_bluetoothReady = ready; },
        Qt::QueuedConnection);
    m_thread->start();
    if (adapterAllowed(QStringLiteral("Network")))
        qCInfo(lcTethering) << "the network adapter is not offered; only Bluetooth and socket pairs";
}

void TTetheringManager::stop() {
    if (!m_engine)
        return;
    Engine* engine = m_engine;
    m_engine = nullptr;
    // The engine never waits for this thread, so a blocking call cannot deadlock.
    m_mailbox->call([engine] {
        engine->shutdown();
        delete engine;
    });
    m_thread->quit();
    m_thread->wait();
    delete m_mailbox; // its thread has ended: nothing runs in it any more
    m_mailbox = nullptr;
    delete m_thread;
    m_thread = nullptr;
    m_queue->items.clear();
    m_queue->outbox.reset();
    m_remoteProfiles.m_items.clear();
    m_bluetoothReady = false;
    m_bluetoothStarted = false;
}

void TTetheringManager::attach(TTetheringAppProfile* profile) {
    if (!m_profiles.contains(profile))
        m_profiles.append(profile);
    start();
    if (!m_engine)
        return;
    LocalProfile lp{profile->m_identifier, profile->Text, profile->Group, profile->Visible, profile->Enabled};
    m_mailbox->post([e = m_engine, lp] { e->addProfile(lp); });

    if (adapterAllowed(QStringLiteral("Bluetooth")) && !m_bluetoothStarted) {
        m_bluetoothStarted = true;
        // Wait for the adapter, but only so long: without BlueZ or a radio the
        // caller (the window being created) must go on at once.
        auto ready = std::make_shared<std::promise<bool>>();
        auto future = ready->get_future();
        m_mailbox->post([e = m_engine, ready] { ready->set_value(e->startBluetooth()); });
        const auto timeout = std::chrono::milliseconds(currentTimings().adapterStartTimeoutMs);
        if (future.wait_for(timeout) == std::future_status::ready)
            m_bluetoothReady = future.get();
        if (!m_bluetoothReady)
            qCWarning(lcTethering) << "Bluetooth adapter not ready; the server waits for BlueZ";
    }
}

void TTetheringManager::detach(TTetheringAppProfile* profile) {
    m_profiles.removeAll(profile);
    if (m_engine) {
        const QString id = profile->m_identifier;
        m_mailbox->post([e = m_engine, id] { e->removeProfile(id); });
    }
}

int TTetheringManager::CreateSocketPair() {
    if (!m_engine || !adapterAllowed(QStringLiteral("SocketPair")))
        return -1;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return -1;
    const int served = sv[0];
    m_mailbox->post([e = m_engine, served] { e->acceptFd(served, QStringLiteral("SocketPair")); });
    return sv[1];
}

TTetheringAppProfile* TTetheringManager::profileById(const QString& id) const {
    for (TTetheringAppProfile* p : m_profiles) {
        if (p->m_identifier == id)
            return p;
    }
    return nullptr;
}

void TTetheringManager::onEventsWaiting() {
    if (!m_queue->outbox)
        return; // stopped since
    std::deque<UiEvent> events = m_queue->outbox->take();
    for (UiEvent& e : events)
        m_queue->items.push_back(std::move(e));
    dispatch();
}

void TTetheringManager::dispatch() {
    // One event at a time, in arrival order: a handler that runs a nested event
    // loop (a modal dialog) does not see the next resource until it returns, and
    // a change of the remote profiles takes effect after the resources before it.
    if (m_dispatching)
        return;
    m_dispatching = true;
    QPointer<TTetheringManager> self(this);
    QElapsedTimer slice;
    slice.start();
    for (int handled = 0; !m_queue->items.empty(); ++handled) {
        // Reading the clock for every small text would cost more than the text.
        if (handled % 16 == 15 && slice.elapsed() >= DispatchSliceMs) {
            // A long backlog: let the window paint and take input, then go on.
            QMetaObject::invokeMethod(this, &TTetheringManager::dispatch, Qt::QueuedConnection);
            break;
        }
        UiEvent event = std::move(m_queue->items.front());
        m_queue->items.pop_front();
        if (event.kind == UiEvent::Kind::Profiles) {
            onRemoteProfiles(event.managerId, event.profiles);
        } else if (event.kind == UiEvent::Kind::Left) {
            onRemoteLeft(event.managerId);
        } else {
            deliver(event.resource);
        }
        if (!self)
            return;
        if (m_engine && event.kind == UiEvent::Kind::Resource) {
            const qint64 cost = event.resource.cost;
            const qint64 before = m_engine->pendingBytes.fetch_sub(cost);
            if (before >= Engine::PendingLowWater && before - cost < Engine::PendingLowWater)
                m_mailbox->post([e = m_engine] { e->resumeIfDrained(); });
        }
    }
    m_dispatching = false;
}

void TTetheringManager::deliver(const Incoming& in) {
    TTetheringAppProfile* profile = profileById(in.toProfile);
    if (!profile || !profile->Enabled)
        return;
    TRemoteResource resource = makeResource(in);
    resource.Profile.ManagerIdentifier = in.managerId;
    resource.Profile.ProfileIdentifier = in.fromProfile;
    for (const TTetheringProfileInfo& info : std::as_const(m_remoteProfiles.m_items)) {
        if (info.ManagerIdentifier == in.managerId && info.ProfileIdentifier == in.fromProfile)
            resource.Profile = info;
    }
    try {
        Q_EMIT profile->OnResourceReceived(profile, resource);
    } catch (const std::exception& e) {
        qCWarning(lcTethering) << "resource handler failed:" << e.what();
    } catch (...) {
        qCWarning(lcTethering) << "resource handler failed";
    }
}

void TTetheringManager::onRemoteProfiles(const QString& managerId,
                                         const QList<TTetheringProfileInfo>& profiles) {
    QList<TTetheringProfileInfo>& items = m_remoteProfiles.m_items;
    qsizetype at = -1;
    for (qsizetype i = 0; i < items.size();) {
        if (items[i].ManagerIdentifier == managerId) {
            if (at < 0)
                at = i;
            items.removeAt(i);
        } else {
            ++i;
        }
    }
    if (at < 0)
        at = items.size();
    for (const TTetheringProfileInfo& p : profiles)
        items.insert(at++, p);
    Q_EMIT RemoteProfilesChanged();
}

void TTetheringManager::onRemoteLeft(const QString& managerId) {
    m_remoteProfiles.m_items.removeIf(
        [&](const TTetheringProfileInfo& p) { return p.ManagerIdentifier == managerId; });
    Q_EMIT RemoteProfilesChanged();
}

bool TTetheringManager::sendString(TTetheringAppProfile* from, const TTetheringProfileInfo& to,
                                   const QString& description, const QString& text) {
    if (!m_engine)
        throw Exception(QStringLiteral("The tethering manager is not running."));
    if (text.toUtf8().size() > MaxStringValueBytes)
        throw Exception(
            QStringLiteral("The text is too long to send (at most %1 bytes).").arg(MaxStringValueBytes));
    static std::atomic<quint64> tickets{0};
    const quint64 ticket = ++tickets;
    auto promise = std::make_shared<std::promise<SendResult>>();
    auto future = promise->get_future();
    const QString fromId = from->m_identifier;
    const QString desc = description.left(MaxTextBytes / 4);
    m_mailbox->post([e = m_engine, fromId, to, desc, text, ticket, promise] {
        e->send(fromId, to, desc, text, ticket, promise);
    });
    const int timeoutMs = currentTimings().sendTimeoutMs;
    if (future.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) {
        m_mailbox->post([e = m_engine, ticket] { e->cancelSend(ticket); });
        throw Exception(QStringLiteral("Sending to remote profile \"%1\" timed out after %2 ms: the remote "
                                       "side did not confirm the text.")
                            .arg(to.ProfileText)
                            .arg(timeoutMs));
    }
    const SendResult result = future.get();
    switch (result.status) {
    case SendStatus::Accepted:
        return true;
    case SendStatus::Refused:
        qCInfo(lcTethering) << "remote profile refused the text:" << result.reason;
        return false;
    case SendStatus::NotConnected:
        throw Exception(QStringLiteral("Remote profile \"%1\" is not connected.").arg(to.ProfileText));
    case SendStatus::Lost:
        break;
    }
    throw Exception(QStringLiteral("The connection to remote profile \"%1\" was lost (%2).")
                        .arg(to.ProfileText, result.reason));
}

// --- Application profile ----------------------------------------------------------

TTetheringAppProfile::TTetheringAppProfile(QObject* parent)
    : QObject(parent)
    , m_identifier(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()) {}

TTetheringAppProfile::~TTetheringAppProfile() {
    if (m_manager)
        m_manager->detach(this);
}

void TTetheringAppProfile::SetManager(TTetheringManager* manager) {
    if (manager == m_manager)
        return;
    if (m_manager)
        m_manager->detach(this);
    m_manager = manager;
    if (m_manager)
        m_manager->attach(this);
}

bool TTetheringAppProfile::SendString(const TTetheringProfileInfo& Profile, const QString& Description,
                                      const QString& Text) {
    if (!m_manager)
        throw Exception(QStringLiteral("The profile is not attached to a tethering manager."));
    return m_manager->sendString(this, Profile, Description, Text);
}
