#include "TetheringClient.h"

#include "FdStream.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QTimer>
#include <QUuid>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcCompanion, "sarnavel.companion")

namespace tethering {

namespace {
QString errnoText() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool fillUnixAddress(const QString& path, sockaddr_un& addr, QString* error) {
    const QByteArray p = path.toLocal8Bit();
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (size_t(p.size()) >= sizeof addr.sun_path) {
        if (error)
            *error = QStringLiteral("socket path too long");
        return false;
    }
    std::memcpy(addr.sun_path, p.constData(), size_t(p.size()));
    return true;
}

// BlueZ's RFCOMM socket address, without depending on its headers.
constexpr int AfBluetooth = 31;
constexpr int BtProtoRfcomm = 3;
struct SockaddrRc {
    sa_family_t family;
    quint8 address[6]; // least significant byte first
    quint8 channel;
};
} // namespace

TetheringClient::TetheringClient(const Options& options, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_managerId(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())
    , m_profileId(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()) {}

TetheringClient::~TetheringClient() = default;

bool TetheringClient::openFd(int fd) {
    return start(fd);
}

bool TetheringClient::connectUnix(const QString& path, QString* error) {
    sockaddr_un addr;
    if (!fillUnixAddress(path, addr, error))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (error)
            *error = QStringLiteral("cannot connect to %1: %2").arg(path, errnoText());
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    return start(fd);
}

bool TetheringClient::receiveFd(const QString& path, int timeoutMs, QString* error) {
    sockaddr_un addr;
    if (!fillUnixAddress(path, addr, error))
        return false;
    const int helper = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (helper < 0 || ::connect(helper, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (error)
            *error = QStringLiteral("cannot connect to %1: %2").arg(path, errnoText());
        if (helper >= 0)
            ::close(helper);
        return false;
    }
    pollfd p{helper, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) {
        if (error)
            *error = QStringLiteral("no socket handed over at %1").arg(path);
        ::close(helper);
        return false;
    }
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(helper, &msg, MSG_CMSG_CLOEXEC);
    ::close(helper);
    int fd = -1;
    if (n >= 0) {
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
                c->cmsg_len >= CMSG_LEN(sizeof(int))) {
                std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
                break;
            }
        }
    }
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("no socket handed over at %1").arg(path);
        return false;
    }
    return start(fd);
}

bool TetheringClient::connectRfcomm(const QString& address, quint16 channel, int timeoutMs, QString* error) {
    static const QRegularExpression shape(QStringLiteral("^\\(?([0-9A-Fa-f]{2}(?::[0-9A-Fa-f]{2}){5})\\)?$"));
    const auto match = shape.match(address.trimmed());
    if (!match.hasMatch() || channel == 0 || channel > 30) {
        if (error)
            *error = QStringLiteral("not a Bluetooth address and channel: %1 %2").arg(address).arg(channel);
        return false;
    }
    const QStringList bytes = match.captured(1).split(QLatin1Char(':'));
    SockaddrRc addr{};
    addr.family = AfBluetooth;
    for (int i = 0; i < 6; ++i)
        addr.address[i] = quint8(bytes[5 - i].toUInt(nullptr, 16));
    addr.channel = quint8(channel);
    const int fd = ::socket(AfBluetooth, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, BtProtoRfcomm);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("no Bluetooth sockets: %1").arg(errnoText());
        return false;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        if (error)
            *error = QStringLiteral("cannot connect to %1: %2").arg(address, errnoText());
        ::close(fd);
        return false;
    }
    pollfd p{fd, POLLOUT, 0};
    int soError = 0;
    socklen_t len = sizeof soError;
    if (::poll(&p, 1, timeoutMs) <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) != 0 ||
        soError != 0) {
        if (error)
            *error = QStringLiteral("cannot connect to %1: %2")
                         .arg(address, soError ? QString::fromLocal8Bit(std::strerror(soError))
                                               : QStringLiteral("timed out"));
        ::close(fd);
        return false;
    }
    return start(fd);
}

bool TetheringClient::start(int fd) {
    if (m_stream || fd < 0) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    m_stream = new FdStream(fd, this);
    m_stream->setReadCap(2 * (HeaderSize + MaxPayload));
    connect(m_stream, &FdStream::readyRead, this, &TetheringClient::process);
    connect(m_stream, &FdStream::closed, this, [this](const QString& why) {
        m_state = State::Closed;
        if (m_lastError.isEmpty())
            m_lastError = why;
        Q_EMIT closed(why);
    });
    m_keepAlive = new QTimer(this);
    connect(m_keepAlive, &QTimer::timeout, this, [this] { sendFrame(FrameType::Ping, encodePing(1)); });
    m_keepAlive->start(m_options.keepAliveMs);
    m_state = State::Handshake;
    m_nonce = randomNonce();
    HelloMsg hello;
    hello.managerId = m_managerId;
    hello.managerText = m_options.managerText;
    hello.nonce = m_nonce;
    sendFrame(FrameType::Hello, encode(hello));
    return true;
}

void TetheringClient::sendFrame(FrameType type, const QByteArray& payload) {
    if (m_stream && m_stream->isOpen())
        m_stream->write(encodeFrame(type, payload));
}

void TetheringClient::sendRaw(const QByteArray& bytes) {
    if (m_stream && m_stream->isOpen())
        m_stream->write(bytes);
}

void TetheringClient::fail(const QString& reason) {
    m_lastError = reason;
    qCWarning(lcCompanion) << reason;
    if (m_stream)
        m_stream->close(reason);
}

void TetheringClient::process() {
    QByteArray& buf = m_stream->buffer();
    qsizetype pos = 0;
    FrameDecoder decoder;
    QString error;
    while (m_state != State::Closed) {
        Frame frame;
        const auto r = decoder.next(buf, pos, frame, error);
        if (r == FrameDecoder::Result::NeedMore)
            break;
        if (r == FrameDecoder::Result::Error) {
            fail(QStringLiteral("bad frame from the server: ") + error);
            return;
        }
        handle(frame);
    }
    if (m_state != State::Closed && pos > 0)
        m_stream->consume(pos);
}

void TetheringClient::handle(const Frame& f) {
    QString error;
    switch (f.type) {
    case FrameType::Hello: {
        auto m = decodeHello(f.payload, error);
        if (!m)
            return fail(QStringLiteral("bad Hello: ") + error);
        m_serverId = m->managerId;
        m_serverText = m->managerText;
        m_serverNonce = m->nonce;
        PairRequestMsg req;
        req.nonce = m_nonce;
        req.proof = clientProof(m_options.password, m_serverNonce, m_nonce, m_serverId, m_managerId);
        sendFrame(FrameType::PairRequest, encode(req));
        return;
    }
    case FrameType::PairAccept: {
        auto m = decodePairAccept(f.payload, error);
        if (!m)
            return fail(QStringLiteral("bad PairAccept: ") + error);
        const QByteArray expected =
            serverProof(m_options.password, m_serverNonce, m_nonce, m_serverId, m_managerId);
        if (!constantTimeEquals(expected, m->proof))
            return fail(QStringLiteral("the server could not prove the password"));
        m_state = State::Paired;
        sendFrame(FrameType::Profiles,
                  encode(QList<ProfileMsg>{
                      {m_profileId, m_options.profileText, m_options.group, QStringLiteral("App"), true}}));
        return;
    }
    case FrameType::Profiles: {
        auto m = decodeProfiles(f.payload, error);
        if (!m)
            return fail(QStringLiteral("bad Profiles: ") + error);
        m_serverProfiles = *m;
        if (!m_target.isEmpty())
            return;
        for (const ProfileMsg& p : m_serverProfiles) {
            const bool wanted = m_options.serverProfileText.isEmpty() ? p.group == m_options.group
                                                                      : p.text == m_options.serverProfileText;
            if (wanted) {
                sendFrame(FrameType::Connect, encodeConnect({m_profileId, p.id}));
                return;
            }
        }
        m_lastError = QStringLiteral("the server offers no matching profile");
        return;
    }
    case FrameType::Connected: {
        auto m = decodeConnect(f.payload, error);
        if (!m)
            return fail(QStringLiteral("bad Connected: ") + error);
        m_target = m->fromProfile;
        m_state = State::Ready;
        Q_EMIT ready();
        return;
    }
    case FrameType::Resource: {
        auto m = decodeResource(f.payload, error);
        if (!m)
            return fail(QStringLiteral("bad Resource: ") + error);
        const bool ours =
            m_state == State::Ready && m->toProfile == m_profileId && m->fromProfile == m_target;
        sendFrame(FrameType::Ack,
                  encode(AckMsg{m->seq, ours, ours ? QString() : QStringLiteral("profile not connected")}));
        if (!ours)
            return;
        if (m->dataType == DataType::String)
            Q_EMIT stringReceived(m->description, m->value.toString());
        Q_EMIT valueReceived(m->description, m->dataType, m->value);
        return;
    }
    case FrameType::StreamBegin:
    case FrameType::StreamChunk:
    case FrameType::StreamEnd:
        // The server does not send streams.
        return fail(QStringLiteral("unexpected stream from the server"));
    case FrameType::Ack: {
        auto m = decodeAck(f.payload, error);
        if (!m)
            return fail(QStringLiteral("bad Ack: ") + error);
        if (m_unacked.remove(m->seq))
            Q_EMIT acknowledged(m->seq, m->accepted);
        return;
    }
    case FrameType::Ping: {
        auto token = decodeSeq(f.payload, error);
        if (!token)
            return fail(QStringLiteral("bad Ping: ") + error);
        sendFrame(FrameType::Pong, encodePong(*token));
        return;
    }
    case FrameType::Pong:
        return;
    case FrameType::Error: {
        auto m = decodeError(f.payload, error);
        if (!m)
            return fail(QStringLiteral("bad Error: ") + error);
        m_lastError = m->text;
        Q_EMIT errorReceived(int(m->code), m->text, m->fatal);
        if (m->fatal)
            m_stream->close(m->text);
        return;
    }
    case FrameType::Bye:
        m_lastError = QStringLiteral("the server said goodbye");
        m_stream->close(m_lastError);
        return;
    case FrameType::PairRequest:
    case FrameType::Connect:
        return fail(QStringLiteral("unexpected %1 from the server").arg(frameTypeName(f.type)));
    }
}

quint32 TetheringClient::sendString(const QString& description, const QString& text) {
    return sendValue(description, DataType::String, text);
}

quint32 TetheringClient::sendValue(const QString& description, DataType type, const QVariant& value) {
    if (m_state != State::Ready)
        return 0;
    ResourceMsg m;
    m.seq = m_nextSeq++;
    m.fromProfile = m_profileId;
    m.toProfile = m_target;
    m.description = description;
    m.dataType = type;
    m.value = value;
    m_unacked.insert(m.seq);
    sendRaw(encodeFrame(m));
    return m.seq;
}

quint32 TetheringClient::sendStream(const QString& description, const QByteArray& bytes) {
    if (m_state != State::Ready)
        return 0;
    const quint32 seq = m_nextSeq++;
    StreamBeginMsg begin{seq, m_profileId, m_target, description, quint64(bytes.size())};
    m_unacked.insert(seq);
    sendFrame(FrameType::StreamBegin, encode(begin));
    for (qsizetype at = 0; at < bytes.size(); at += MaxStreamChunk)
        sendFrame(FrameType::StreamChunk, encode(StreamChunkMsg{seq, bytes.mid(at, MaxStreamChunk)}));
    sendFrame(FrameType::StreamEnd, encodeStreamEnd(seq));
    return seq;
}

bool TetheringClient::waitFor(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool TetheringClient::waitReady(int timeoutMs) {
    return waitFor([this] { return m_state == State::Ready || m_state == State::Closed; }, timeoutMs) &&
           m_state == State::Ready;
}

bool TetheringClient::waitAcknowledged(int timeoutMs) {
    return waitFor([this] { return m_unacked.isEmpty() || m_state == State::Closed; }, timeoutMs) &&
           m_unacked.isEmpty();
}

bool TetheringClient::waitClosed(int timeoutMs) {
    return waitFor([this] { return m_state == State::Closed; }, timeoutMs);
}

void TetheringClient::setReceivePaused(bool paused) {
    if (m_stream)
        m_stream->setReadPaused(paused);
}

void TetheringClient::bye() {
    if (m_stream && m_stream->isOpen()) {
        sendFrame(FrameType::Bye, encodeBye());
        m_stream->flush(1000);
        m_stream->close(QStringLiteral("goodbye"));
    }
}

void TetheringClient::close(const QString& reason) {
    if (m_stream)
        m_stream->close(reason);
}

} // namespace tethering
