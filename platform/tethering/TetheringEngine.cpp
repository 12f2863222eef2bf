#include "TetheringEngine.h"

#include "BluetoothAdapter.h"
#include "FdStream.h"
#include "TetheringLog.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTimer>
#include <unistd.h>

namespace tethering {

namespace {
// A peer that does not read what we send: we stop reading from it above the
// high-water mark (it is then what waits) and give up on it at the hard cap.
constexpr qsizetype OutgoingHighWater = 256 * 1024;
constexpr qsizetype MaxOutgoingBacklog = 4 * 1024 * 1024;
constexpr int MaxControlFramesPerSecond = 200;
constexpr int MaxOpenStreams = 2;
constexpr int MaxSessions = 64;
constexpr int TickMs = 100;
} // namespace

// One connection of a remote manager.
class Session : public QObject {
public:
    enum class State { AwaitHello, AwaitPair, Paired, Closed };

    Session(Engine* engine, int fd, QString via, QString peer)
        : QObject(engine)
        , m_engine(engine)
        , m_via(std::move(via))
        , m_peer(std::move(peer)) {
        m_stream = new FdStream(fd, this);
        m_stream->setReadCap(2 * (HeaderSize + MaxPayload));
        connect(m_stream, &FdStream::readyRead, this, &Session::process);
        connect(m_stream, &FdStream::drained, this, [this] {
            if (m_waitingForPeer) {
                m_waitingForPeer = false;
                m_stream->setReadPaused(m_waitingForUi);
                process();
            }
        });
        connect(m_stream, &FdStream::closed, this, [this](const QString& why) { closed(why); });
        m_started.start();
        m_lastReceived.start();
        m_lastSent.start();
        m_floodWindow.start();
        m_nonce = randomNonce();
        HelloMsg hello;
        hello.managerId = engine->managerId();
        hello.managerText = engine->managerText();
        hello.nonce = m_nonce;
        sendFrame(FrameType::Hello, encode(hello));
    }

    State state() const { return m_state; }
    const QString& peerManagerId() const { return m_peerId; }
    const QString& peer() const { return m_peer; }
    const QString& via() const { return m_via; }
    const QList<ProfileMsg>& peerProfiles() const { return m_peerProfiles; }
    bool waitingForUi() const { return m_waitingForUi; }

    bool linked(const QString& peerProfile, const QString& localProfile) const {
        return m_links.contains(qMakePair(peerProfile, localProfile));
    }

    void resume() {
        if (!m_waitingForUi || m_state == State::Closed)
            return;
        m_waitingForUi = false;
        m_stream->setReadPaused(m_waitingForPeer);
        process();
    }

    void send(const QString& fromProfile, const QString& toProfile, const QString& description,
              const QString& text, quint64 ticket, SendPromise promise) {
        ResourceMsg m;
        m.seq = m_nextSeq++;
        m.fromProfile = fromProfile;
        m.toProfile = toProfile;
        m.description = description;
        m.dataType = DataType::String;
        m.value = text;
        m_pendingSends.insert(m.seq, {ticket, std::move(promise)});
        sendEncoded(encodeFrame(m));
    }

    void cancelSend(quint64 ticket) {
        for (auto it = m_pendingSends.begin(); it != m_pendingSends.end(); ++it) {
            if (it->first == ticket) {
                m_pendingSends.erase(it);
                return;
            }
        }
    }

    // Closes the connection after telling the peer why.
    void fail(ErrorCode code, const QString& reason) {
        if (m_state == State::Closed)
            return;
        qCWarning(lcTethering) << "closing connection" << m_via << m_peer << ":" << reason;
        ErrorMsg e;
        e.code = code;
        e.fatal = true;
        e.text = reason;
        m_stream->write(encodeFrame(FrameType::Error, encode(e)));
        m_stream->flush(50);
        m_stream->close(reason);
    }

    void tick() {
        if (m_state == State::Closed)
            return;
        const TTetheringTimings& t = m_engine->timings();
        if (m_state != State::Paired && m_started.elapsed() > t.handshakeTimeoutMs) {
            fail(ErrorCode::Timeout, QStringLiteral("pairing did not complete in time"));
            return;
        }
        if (m_waitingForUi)
            return;
        if (m_waitingForPeer) {
            if (m_lastSent.elapsed() > t.keepAliveTimeoutMs && m_lastDrainCheck == m_stream->pendingWrite())
                m_stream->close(QStringLiteral("the peer does not read what it is sent"));
            m_lastDrainCheck = m_stream->pendingWrite();
            return;
        }
        if (m_partial && m_partialSince.elapsed() > t.frameTimeoutMs) {
            fail(ErrorCode::Timeout, QStringLiteral("incomplete frame timed out"));
            return;
        }
        if (m_lastReceived.elapsed() > t.keepAliveTimeoutMs) {
            fail(ErrorCode::Timeout, QStringLiteral("keep-alive timed out"));
            return;
        }
        if (m_lastSent.elapsed() > t.keepAliveIntervalMs)
            sendFrame(FrameType::Ping, encodePing(m_pingToken++));
    }

    // Tells the peer that this manager is going away, then closes.
    void goodbye() {
        if (m_state == State::Closed)
            return;
        sendFrame(FrameType::Bye, encodeBye());
        m_stream->flush(50);
        m_stream->close(QStringLiteral("shutting down"));
    }

    void close(const QString& reason) {
        if (m_state != State::Closed)
            m_stream->close(reason);
    }

private:
    void sendFrame(FrameType type, const QByteArray& payload) { sendEncoded(encodeFrame(type, payload)); }

    void sendEncoded(const QByteArray& frame) {
        if (!m_stream->isOpen())
            return;
        m_stream->write(frame);
        m_lastSent.restart();
        if (m_stream->pendingWrite() > MaxOutgoingBacklog)
            m_stream->close(QStringLiteral("the peer does not read what it is sent"));
    }

    void process() {
        if (m_state == State::Closed)
            return;
        QByteArray& buf = m_stream->buffer();
        if (!buf.isEmpty())
            m_lastReceived.restart();
        qsizetype pos = 0;
        FrameDecoder decoder;
        QString error;
        m_stream->setCorked(true);
        while (m_state != State::Closed) {
            if (m_engine->uiBacklogged()) {
                // The window is behind: stop taking frames until it catches up.
                m_waitingForUi = true;
                m_stream->setReadPaused(true);
                break;
            }
            if (m_stream->pendingWrite() > OutgoingHighWater) {
                m_stream->setCorked(false);
                if (m_stream->pendingWrite() <= OutgoingHighWater)
                    continue;
                // The peer is not reading our answers: it waits until it does.
                m_waitingForPeer = true;
                m_stream->setReadPaused(true);
                break;
            }
            Frame frame;
            const auto r = decoder.next(buf, pos, frame, error);
            if (r == FrameDecoder::Result::NeedMore)
                break;
            if (r == FrameDecoder::Result::Error) {
                fail(error.startsWith(QLatin1String("frame of")) ? ErrorCode::FrameTooLarge
                                                                 : ErrorCode::Malformed,
                     error);
                break;
            }
            handle(frame);
        }
        m_stream->setCorked(false);
        if (m_state == State::Closed) {
            m_engine->flushDeliveries();
            return;
        }
        if (pos > 0)
            m_stream->consume(pos);
        // A started frame must be complete within the frame timeout; the clock
        // starts again with every frame that completes.
        const bool partial = !m_stream->buffer().isEmpty() && !m_waitingForUi && !m_waitingForPeer;
        if (partial && (!m_partial || pos > 0))
            m_partialSince.start();
        m_partial = partial;
        m_engine->flushDeliveries();
    }

    bool controlFrame() {
        if (m_floodWindow.elapsed() > 1000) {
            m_floodWindow.restart();
            m_controlFrames = 0;
        }
        if (++m_controlFrames > MaxControlFramesPerSecond) {
            fail(ErrorCode::Flood, QStringLiteral("too many control frames"));
            return false;
        }
        return true;
    }

    void handle(const Frame& f) {
        QString error;
        switch (f.type) {
        case FrameType::Hello: {
            if (!controlFrame())
                return;
            if (m_state != State::AwaitHello)
                return fail(ErrorCode::Malformed, QStringLiteral("unexpected Hello"));
            auto m = decodeHello(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad Hello: ") + error);
            m_peerId = m->managerId;
            m_peerText = m->managerText;
            m_peerNonce = m->nonce;
            m_state = State::AwaitPair;
            return;
        }
        case FrameType::PairRequest: {
            if (!controlFrame())
                return;
            if (m_state != State::AwaitPair)
                return fail(ErrorCode::Malformed, QStringLiteral("unexpected PairRequest"));
            auto m = decodePairRequest(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad PairRequest: ") + error);
            const QByteArray expected =
                clientProof(m_engine->password(), m_nonce, m->nonce, m_engine->managerId(), m_peerId);
            if (!constantTimeEquals(expected, m->proof))
                return fail(ErrorCode::AuthFailed, QStringLiteral("wrong manager password"));
            PairAcceptMsg accept;
            accept.proof =
                serverProof(m_engine->password(), m_nonce, m->nonce, m_engine->managerId(), m_peerId);
            sendFrame(FrameType::PairAccept, encode(accept));
            m_state = State::Paired;
            QList<ProfileMsg> ours;
            for (const LocalProfile& p : m_engine->profiles()) {
                if (p.visible && p.enabled)
                    ours.append({p.id, p.text, p.group, QStringLiteral("App"), true});
            }
            sendFrame(FrameType::Profiles, encode(ours));
            m_engine->sessionPaired(this);
            return;
        }
        case FrameType::Profiles: {
            if (!controlFrame())
                return;
            if (m_state != State::Paired)
                return fail(ErrorCode::NotPaired, QStringLiteral("Profiles before pairing"));
            auto m = decodeProfiles(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad Profiles: ") + error);
            m_peerProfiles = *m;
            QSet<QString> ids;
            for (const ProfileMsg& p : m_peerProfiles)
                ids.insert(p.id);
            for (auto it = m_links.begin(); it != m_links.end();) {
                if (ids.contains(it->first))
                    ++it;
                else
                    it = m_links.erase(it);
            }
            m_engine->sessionProfiles(this);
            return;
        }
        case FrameType::Connect: {
            if (!controlFrame())
                return;
            if (m_state != State::Paired)
                return fail(ErrorCode::NotPaired, QStringLiteral("Connect before pairing"));
            auto m = decodeConnect(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad Connect: ") + error);
            const LocalProfile* local = m_engine->profile(m->toProfile);
            const ProfileMsg* remote = nullptr;
            for (const ProfileMsg& p : m_peerProfiles) {
                if (p.id == m->fromProfile)
                    remote = &p;
            }
            if (!local || !local->enabled || !remote) {
                ErrorMsg e{ErrorCode::UnknownProfile, false, QStringLiteral("unknown profile")};
                sendFrame(FrameType::Error, encode(e));
                return;
            }
            if (local->group != remote->group) {
                ErrorMsg e{ErrorCode::GroupMismatch, false,
                           QStringLiteral("profile group \"%1\" cannot connect to group \"%2\"")
                               .arg(remote->group, local->group)};
                sendFrame(FrameType::Error, encode(e));
                return;
            }
            m_links.insert(qMakePair(m->fromProfile, m->toProfile));
            sendFrame(FrameType::Connected, encodeConnected({m->toProfile, m->fromProfile}));
            return;
        }
        case FrameType::Connected:
            return fail(ErrorCode::Malformed, QStringLiteral("unexpected Connected"));
        case FrameType::PairAccept:
            return fail(ErrorCode::Malformed, QStringLiteral("unexpected PairAccept"));
        case FrameType::Resource: {
            if (m_state != State::Paired)
                return fail(ErrorCode::NotPaired, QStringLiteral("Resource before pairing"));
            auto m = decodeResource(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad Resource: ") + error);
            if (!linked(m->fromProfile, m->toProfile)) {
                sendFrame(FrameType::Ack,
                          encode(AckMsg{m->seq, false, QStringLiteral("profile not connected")}));
                return;
            }
            Incoming in;
            in.managerId = m_peerId;
            in.fromProfile = m->fromProfile;
            in.toProfile = m->toProfile;
            in.description = m->description;
            in.dataType = m->dataType;
            in.cost = f.payload.size() + 64;
            in.value = std::move(m->value);
            m_engine->deliver(std::move(in));
            sendFrame(FrameType::Ack, encode(AckMsg{m->seq, true, {}}));
            return;
        }
        case FrameType::StreamBegin: {
            if (m_state != State::Paired)
                return fail(ErrorCode::NotPaired, QStringLiteral("StreamBegin before pairing"));
            auto m = decodeStreamBegin(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad StreamBegin: ") + error);
            if (m_streams.contains(m->seq))
                return fail(ErrorCode::Malformed, QStringLiteral("stream %1 already open").arg(m->seq));
            if (m_streams.size() >= MaxOpenStreams)
                return fail(ErrorCode::TooLarge, QStringLiteral("too many open streams"));
            InStream s;
            s.begin = *m;
            s.refused = !linked(m->fromProfile, m->toProfile);
            if (!s.refused)
                s.bytes.reserve(qsizetype(qMin<quint64>(m->size, 1024 * 1024)));
            m_streams.insert(m->seq, std::move(s));
            return;
        }
        case FrameType::StreamChunk: {
            auto m = decodeStreamChunk(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad StreamChunk: ") + error);
            auto it = m_streams.find(m->seq);
            if (it == m_streams.end())
                return fail(ErrorCode::Malformed, QStringLiteral("chunk of unknown stream %1").arg(m->seq));
            it->received += quint64(m->data.size());
            if (it->received > it->begin.size)
                return fail(ErrorCode::Malformed,
                            QStringLiteral("stream %1 longer than announced").arg(m->seq));
            if (!it->refused)
                it->bytes.append(m->data);
            return;
        }
        case FrameType::StreamEnd: {
            auto seq = decodeSeq(f.payload, error);
            if (!seq)
                return fail(ErrorCode::Malformed, QStringLiteral("bad StreamEnd: ") + error);
            auto it = m_streams.find(*seq);
            if (it == m_streams.end())
                return fail(ErrorCode::Malformed, QStringLiteral("end of unknown stream %1").arg(*seq));
            InStream s = std::move(*it);
            m_streams.erase(it);
            if (s.received != s.begin.size)
                return fail(ErrorCode::Malformed,
                            QStringLiteral("stream %1 shorter than announced").arg(*seq));
            if (s.refused) {
                sendFrame(FrameType::Ack,
                          encode(AckMsg{*seq, false, QStringLiteral("profile not connected")}));
                return;
            }
            Incoming in;
            in.managerId = m_peerId;
            in.fromProfile = s.begin.fromProfile;
            in.toProfile = s.begin.toProfile;
            in.description = s.begin.description;
            in.isStream = true;
            in.cost = s.bytes.size() + 64;
            in.streamBytes = std::move(s.bytes);
            m_engine->deliver(std::move(in));
            sendFrame(FrameType::Ack, encode(AckMsg{*seq, true, {}}));
            return;
        }
        case FrameType::Ack: {
            auto m = decodeAck(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad Ack: ") + error);
            auto it = m_pendingSends.find(m->seq);
            if (it != m_pendingSends.end()) {
                it->second->set_value({m->accepted ? SendStatus::Accepted : SendStatus::Refused, m->reason});
                m_pendingSends.erase(it);
            }
            return;
        }
        case FrameType::Ping: {
            if (!controlFrame())
                return;
            auto token = decodeSeq(f.payload, error);
            if (!token)
                return fail(ErrorCode::Malformed, QStringLiteral("bad Ping: ") + error);
            sendFrame(FrameType::Pong, encodePong(*token));
            return;
        }
        case FrameType::Pong: {
            if (!controlFrame())
                return;
            if (!decodeSeq(f.payload, error))
                return fail(ErrorCode::Malformed, QStringLiteral("bad Pong: ") + error);
            return;
        }
        case FrameType::Error: {
            if (!controlFrame())
                return;
            auto m = decodeError(f.payload, error);
            if (!m)
                return fail(ErrorCode::Malformed, QStringLiteral("bad Error: ") + error);
            qCInfo(lcTethering) << "peer reported error" << int(m->code) << m->text;
            if (m->fatal)
                m_stream->close(QStringLiteral("the peer reported: ") + m->text);
            return;
        }
        case FrameType::Bye:
            m_stream->close(QStringLiteral("the peer said goodbye"));
            return;
        }
    }

    void closed(const QString& reason) {
        m_state = State::Closed;
        for (auto& p : m_pendingSends)
            p.second->set_value({SendStatus::Lost, reason});
        m_pendingSends.clear();
        m_engine->sessionClosed(this, reason);
    }

    struct InStream {
        StreamBeginMsg begin;
        quint64 received = 0;
        bool refused = false;
        QByteArray bytes;
    };

    Engine* m_engine;
    FdStream* m_stream = nullptr;
    QString m_via;
    QString m_peer;
    State m_state = State::AwaitHello;
    QString m_peerId;
    QString m_peerText;
    QByteArray m_nonce;
    QByteArray m_peerNonce;
    QList<ProfileMsg> m_peerProfiles;
    QSet<QPair<QString, QString>> m_links; // (peer profile, local profile)
    QHash<quint32, InStream> m_streams;
    QHash<quint32, std::pair<quint64, SendPromise>> m_pendingSends;
    quint32 m_nextSeq = 1;
    quint32 m_pingToken = 1;
    QElapsedTimer m_started;
    QElapsedTimer m_lastReceived;
    QElapsedTimer m_lastSent;
    QElapsedTimer m_partialSince;
    QElapsedTimer m_floodWindow;
    int m_controlFrames = 0;
    bool m_partial = false;
    bool m_waitingForUi = false;
    bool m_waitingForPeer = false;
    qsizetype m_lastDrainCheck = -1;
};

// --- Engine -----------------------------------------------------------------------

Engine::Engine(const QString& managerId, const QString& managerText, const QString& password,
               const TTetheringTimings& timings, std::shared_ptr<Outbox> outbox)
    : m_managerId(managerId)
    , m_managerText(managerText)
    , m_password(password)
    , m_timings(timings)
    , m_outbox(std::move(outbox)) {}

Engine::~Engine() = default;

void Engine::addProfile(const LocalProfile& profile) {
    m_profiles.append(profile);
}

void Engine::removeProfile(const QString& id) {
    m_profiles.removeIf([&](const LocalProfile& p) { return p.id == id; });
}

const LocalProfile* Engine::profile(const QString& id) const {
    for (const LocalProfile& p : m_profiles) {
        if (p.id == id)
            return &p;
    }
    return nullptr;
}

bool Engine::startBluetooth() {
    if (!m_ticker) {
        m_ticker = new QTimer(this);
        connect(m_ticker, &QTimer::timeout, this, &Engine::tick);
        m_ticker->start(TickMs);
    }
    if (!m_bluetooth) {
        m_bluetooth = new BluetoothAdapter(this);
        connect(m_bluetooth, &BluetoothAdapter::connectionArrived, this,
                [this](int fd, const QString& device) { acceptFd(fd, QStringLiteral("Bluetooth"), device); });
        connect(m_bluetooth, &BluetoothAdapter::disconnectRequested, this, &Engine::disconnectDevice);
        connect(m_bluetooth, &BluetoothAdapter::registeredChanged, this, &Engine::bluetoothReady);
    }
    return m_bluetooth->start(qMax(100, m_timings.adapterStartTimeoutMs - 200));
}

void Engine::acceptFd(int fd, const QString& via, const QString& peer) {
    if (!m_ticker) {
        m_ticker = new QTimer(this);
        connect(m_ticker, &QTimer::timeout, this, &Engine::tick);
        m_ticker->start(TickMs);
    }
    if (m_shuttingDown || m_sessions.size() >= MaxSessions) {
        qCWarning(lcTethering) << "refusing connection from" << via << peer;
        ::close(fd);
        return;
    }
    qCInfo(lcTethering) << "connection from" << via << peer;
    m_sessions.append(new Session(this, fd, via, peer));
}

void Engine::send(const QString& fromProfile, const TTetheringProfileInfo& to, const QString& description,
                  const QString& text, quint64 ticket, SendPromise promise) {
    // The most recent connection of that manager that linked the two profiles.
    for (auto it = m_sessions.crbegin(); it != m_sessions.crend(); ++it) {
        Session* s = *it;
        if (s->state() == Session::State::Paired && s->peerManagerId() == to.ManagerIdentifier &&
            s->linked(to.ProfileIdentifier, fromProfile)) {
            s->send(fromProfile, to.ProfileIdentifier, description, text, ticket, std::move(promise));
            return;
        }
    }
    promise->set_value({SendStatus::NotConnected, {}});
}

void Engine::cancelSend(quint64 ticket) {
    for (Session* s : std::as_const(m_sessions))
        s->cancelSend(ticket);
}

void Engine::shutdown() {
    m_shuttingDown = true;
    if (m_ticker)
        m_ticker->stop();
    const auto sessions = m_sessions;
    for (Session* s : sessions) {
        s->goodbye();
    }
    if (m_bluetooth)
        m_bluetooth->stop();
}

void Engine::resumeIfDrained() {
    if (uiBacklogged())
        return;
    const auto sessions = m_sessions;
    for (Session* s : sessions) {
        if (m_sessions.contains(s))
            s->resume();
    }
}

void Engine::deliver(Incoming&& in) {
    pendingBytes += in.cost;
    UiEvent e;
    e.resource = std::move(in);
    m_batch.push_back(std::move(e));
}

void Engine::post(UiEvent&& event) {
    m_batch.push_back(std::move(event));
    flushDeliveries();
}

void Engine::flushDeliveries() {
    if (m_batch.empty())
        return;
    if (m_outbox->push(m_batch))
        Q_EMIT eventsWaiting();
}

void Engine::sessionPaired(Session* s) {
    qCInfo(lcTethering) << "paired with manager" << s->peerManagerId() << "via" << s->via();
}

void Engine::sessionProfiles(Session* s) {
    QList<TTetheringProfileInfo> list;
    for (const ProfileMsg& p : s->peerProfiles()) {
        if (!p.visible)
            continue;
        list.append({s->peerManagerId(), p.id, p.text, p.group, p.type, {s->via()}});
    }
    UiEvent e;
    e.kind = UiEvent::Kind::Profiles;
    e.managerId = s->peerManagerId();
    e.profiles = std::move(list);
    post(std::move(e)); // after the resources that came before it
}

void Engine::sessionClosed(Session* s, const QString& reason) {
    qCInfo(lcTethering) << "connection closed" << s->via() << s->peer() << ":" << reason;
    m_sessions.removeAll(s);
    flushDeliveries();
    if (!s->peerManagerId().isEmpty()) {
        bool other = false;
        for (Session* o : std::as_const(m_sessions))
            other =
                other || (o->peerManagerId() == s->peerManagerId() && o->state() == Session::State::Paired);
        if (!other) {
            UiEvent e;
            e.kind = UiEvent::Kind::Left;
            e.managerId = s->peerManagerId();
            post(std::move(e));
        }
    }
    s->deleteLater();
}

void Engine::tick() {
    const auto sessions = m_sessions;
    for (Session* s : sessions) {
        if (m_sessions.contains(s))
            s->tick();
    }
}

void Engine::disconnectDevice(const QString& devicePath) {
    const auto sessions = m_sessions;
    for (Session* s : sessions) {
        if (s->via() == QLatin1String("Bluetooth") && s->peer() == devicePath)
            s->close(QStringLiteral("disconnection requested"));
    }
}

} // namespace tethering
