#include "TetheringProtocol.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QtEndian>
#include <cstring>
#include <limits>

namespace tethering {

QByteArray encodeFrame(FrameType type, const QByteArray& payload) {
    QByteArray out;
    out.reserve(HeaderSize + payload.size());
    out.append(char(Magic0));
    out.append(char(Magic1));
    out.append(char(ProtocolVersion));
    out.append(char(type));
    char len[4];
    qToBigEndian<quint32>(quint32(payload.size()), len);
    out.append(len, 4);
    out.append(payload);
    return out;
}

FrameDecoder::Result FrameDecoder::next(const QByteArray& data, qsizetype& pos, Frame& out,
                                        QString& error) const {
    const qsizetype avail = data.size() - pos;
    const auto* h = reinterpret_cast<const uchar*>(data.constData() + pos);
    // Judge the header as soon as its bytes are there, so a bad stream is
    // refused before we wait for a payload that may never come.
    if (avail >= 1 && h[0] != Magic0) {
        error = QStringLiteral("bad frame magic");
        return Result::Error;
    }
    if (avail >= 2 && h[1] != Magic1) {
        error = QStringLiteral("bad frame magic");
        return Result::Error;
    }
    if (avail >= 3 && h[2] != ProtocolVersion) {
        error = QStringLiteral("unsupported protocol version %1").arg(h[2]);
        return Result::Error;
    }
    if (avail >= 4 && (h[3] == 0 || h[3] > LastFrameType)) {
        error = QStringLiteral("unknown frame type %1").arg(h[3]);
        return Result::Error;
    }
    if (avail < HeaderSize)
        return Result::NeedMore;
    const quint32 length = qFromBigEndian<quint32>(h + 4);
    if (length > MaxPayload) {
        error = QStringLiteral("frame of %1 bytes exceeds the limit of %2").arg(length).arg(MaxPayload);
        return Result::Error;
    }
    if (avail < HeaderSize + qsizetype(length))
        return Result::NeedMore;
    out.type = FrameType(h[3]);
    out.payload = data.mid(pos + HeaderSize, length);
    pos += HeaderSize + length;
    return Result::Frame;
}

// --- PayloadWriter ------------------------------------------------------------

PayloadWriter& PayloadWriter::u8(quint8 v) {
    m_data.append(char(v));
    return *this;
}
PayloadWriter& PayloadWriter::u16(quint16 v) {
    char b[2];
    qToBigEndian(v, b);
    m_data.append(b, 2);
    return *this;
}
PayloadWriter& PayloadWriter::u32(quint32 v) {
    char b[4];
    qToBigEndian(v, b);
    m_data.append(b, 4);
    return *this;
}
PayloadWriter& PayloadWriter::u64(quint64 v) {
    char b[8];
    qToBigEndian(v, b);
    m_data.append(b, 8);
    return *this;
}
PayloadWriter::PayloadWriter(FrameType type)
    : m_framed(true) {
    m_data.reserve(256);
    m_data.append(char(Magic0));
    m_data.append(char(Magic1));
    m_data.append(char(ProtocolVersion));
    m_data.append(char(type));
    m_data.append(4, '\0'); // length, patched by frame()
}

QByteArray PayloadWriter::frame() {
    if (m_framed && m_data.size() >= HeaderSize)
        qToBigEndian<quint32>(quint32(m_data.size() - HeaderSize), m_data.data() + 4);
    return m_data;
}

// Converts straight into the payload: no temporary UTF-8 copy per field.
void PayloadWriter::utf8(const QString& s, qsizetype maxBytes, int lengthBytes) {
    const qsizetype at = m_data.size();
    m_data.resize(at + lengthBytes + s.size() * 3);
    char* begin = m_data.data() + at + lengthBytes;
    QStringEncoder encoder(QStringEncoder::Utf8, QStringConverter::Flag::Stateless);
    char* end = encoder.appendToBuffer(begin, s);
    qsizetype n = end - begin;
    if (n > maxBytes) {
        // Cut at a character boundary, never inside a UTF-8 sequence.
        n = maxBytes;
        while (n > 0 && (uchar(begin[n]) & 0xC0) == 0x80)
            --n;
    }
    if (lengthBytes == 2)
        qToBigEndian<quint16>(quint16(n), m_data.data() + at);
    else
        qToBigEndian<quint32>(quint32(n), m_data.data() + at);
    m_data.resize(at + lengthBytes + n);
}

PayloadWriter& PayloadWriter::str(const QString& s) {
    utf8(s, 0xFFFF, 2);
    return *this;
}
PayloadWriter& PayloadWriter::longStr(const QString& s) {
    utf8(s, std::numeric_limits<quint32>::max(), 4);
    return *this;
}
PayloadWriter& PayloadWriter::raw(const QByteArray& b) {
    m_data.append(b);
    return *this;
}
PayloadWriter& PayloadWriter::blob(const QByteArray& b) {
    u32(quint32(b.size()));
    m_data.append(b);
    return *this;
}

// --- PayloadReader ------------------------------------------------------------

void PayloadReader::fail(const QString& why) {
    if (m_error.isEmpty())
        m_error = why;
}

bool PayloadReader::need(qsizetype n, const char* what) {
    if (!ok())
        return false;
    if (n < 0 || m_data.size() - m_pos < n) {
        fail(QStringLiteral("truncated %1").arg(QLatin1String(what)));
        return false;
    }
    return true;
}

quint8 PayloadReader::u8() {
    if (!need(1, "field"))
        return 0;
    return quint8(m_data[m_pos++]);
}
quint16 PayloadReader::u16() {
    if (!need(2, "field"))
        return 0;
    const auto v = qFromBigEndian<quint16>(m_data.constData() + m_pos);
    m_pos += 2;
    return v;
}
quint32 PayloadReader::u32() {
    if (!need(4, "field"))
        return 0;
    const auto v = qFromBigEndian<quint32>(m_data.constData() + m_pos);
    m_pos += 4;
    return v;
}
quint64 PayloadReader::u64() {
    if (!need(8, "field"))
        return 0;
    const auto v = qFromBigEndian<quint64>(m_data.constData() + m_pos);
    m_pos += 8;
    return v;
}

QString PayloadReader::decodeUtf8(const char* p, qsizetype n, const char* what) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString s = decoder.decode(QByteArrayView(p, n));
    if (decoder.hasError()) {
        fail(QStringLiteral("invalid UTF-8 in %1").arg(QLatin1String(what)));
        return {};
    }
    return s;
}

QString PayloadReader::str(int maxBytes, const char* what) {
    const quint16 n = u16();
    if (!ok())
        return {};
    if (n > maxBytes) {
        fail(QStringLiteral("%1 of %2 bytes exceeds the limit of %3")
                 .arg(QLatin1String(what))
                 .arg(n)
                 .arg(maxBytes));
        return {};
    }
    if (!need(n, what))
        return {};
    const char* p = m_data.constData() + m_pos;
    m_pos += n;
    return decodeUtf8(p, n, what);
}

QString PayloadReader::longStr(int maxBytes, const char* what) {
    const quint32 n = u32();
    if (!ok())
        return {};
    if (n > quint32(maxBytes)) {
        fail(QStringLiteral("%1 of %2 bytes exceeds the limit of %3")
                 .arg(QLatin1String(what))
                 .arg(n)
                 .arg(maxBytes));
        return {};
    }
    if (!need(qsizetype(n), what))
        return {};
    const char* p = m_data.constData() + m_pos;
    m_pos += n;
    return decodeUtf8(p, n, what);
}

QByteArray PayloadReader::raw(int n, const char* what) {
    if (!need(n, what))
        return {};
    QByteArray b = m_data.mid(m_pos, n);
    m_pos += n;
    return b;
}

QByteArray PayloadReader::blob(int maxBytes, const char* what) {
    const quint32 n = u32();
    if (!ok())
        return {};
    if (n > quint32(maxBytes)) {
        fail(QStringLiteral("%1 of %2 bytes exceeds the limit of %3")
                 .arg(QLatin1String(what))
                 .arg(n)
                 .arg(maxBytes));
        return {};
    }
    return raw(int(n), what);
}

bool PayloadReader::finish() {
    if (ok() && m_pos != m_data.size())
        fail(QStringLiteral("%1 unexpected trailing bytes").arg(m_data.size() - m_pos));
    return ok();
}

// --- Messages -----------------------------------------------------------------

QByteArray encode(const HelloMsg& m) {
    return PayloadWriter().u8(m.maxVersion).str(m.managerId).str(m.managerText).raw(m.nonce).data();
}
QByteArray encode(const PairRequestMsg& m) {
    return PayloadWriter().raw(m.nonce).raw(m.proof).data();
}
QByteArray encode(const PairAcceptMsg& m) {
    return PayloadWriter().raw(m.proof).data();
}
QByteArray encode(const QList<ProfileMsg>& profiles) {
    PayloadWriter w;
    w.u16(quint16(profiles.size()));
    for (const ProfileMsg& p : profiles)
        w.str(p.id).str(p.text).str(p.group).str(p.type).u8(p.visible ? 1 : 0);
    return w.data();
}
QByteArray encodeConnect(const ConnectMsg& m) {
    return PayloadWriter().str(m.fromProfile).str(m.toProfile).data();
}
QByteArray encodeConnected(const ConnectMsg& m) {
    return encodeConnect(m);
}

static void writeResource(PayloadWriter& w, const ResourceMsg& m) {
    w.u32(m.seq).str(m.fromProfile).str(m.toProfile).str(m.description).u8(quint8(m.dataType));
    switch (m.dataType) {
    case DataType::Integer:
        w.u32(quint32(m.value.toInt()));
        break;
    case DataType::Single: {
        const float f = m.value.toFloat();
        quint32 bits;
        std::memcpy(&bits, &f, 4);
        w.u32(bits);
        break;
    }
    case DataType::Double: {
        const double d = m.value.toDouble();
        quint64 bits;
        std::memcpy(&bits, &d, 8);
        w.u64(bits);
        break;
    }
    case DataType::Int64:
        w.u64(quint64(m.value.toLongLong()));
        break;
    case DataType::Boolean:
        w.u8(m.value.toBool() ? 1 : 0);
        break;
    case DataType::String:
        w.longStr(m.value.toString());
        break;
    }
}

QByteArray encode(const ResourceMsg& m) {
    PayloadWriter w;
    writeResource(w, m);
    return w.data();
}

QByteArray encodeFrame(const ResourceMsg& m) {
    PayloadWriter w(FrameType::Resource);
    writeResource(w, m);
    return w.frame();
}

QByteArray encode(const StreamBeginMsg& m) {
    return PayloadWriter()
        .u32(m.seq)
        .str(m.fromProfile)
        .str(m.toProfile)
        .str(m.description)
        .u64(m.size)
        .data();
}
QByteArray encode(const StreamChunkMsg& m) {
    return PayloadWriter().u32(m.seq).blob(m.data).data();
}
QByteArray encodeStreamEnd(quint32 seq) {
    return PayloadWriter().u32(seq).data();
}
QByteArray encode(const AckMsg& m) {
    return PayloadWriter().u32(m.seq).u8(m.accepted ? 0 : 1).str(m.reason).data();
}
QByteArray encodePing(quint32 token) {
    return PayloadWriter().u32(token).data();
}
QByteArray encodePong(quint32 token) {
    return PayloadWriter().u32(token).data();
}
QByteArray encode(const ErrorMsg& m) {
    return PayloadWriter().u16(quint16(m.code)).u8(m.fatal ? 1 : 0).str(m.text).data();
}
QByteArray encodeBye() {
    return {};
}

namespace {
template <typename T> std::optional<T> done(PayloadReader& r, T value, QString& error) {
    if (!r.finish()) {
        error = r.error();
        return std::nullopt;
    }
    return value;
}
} // namespace

std::optional<HelloMsg> decodeHello(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    HelloMsg m;
    m.maxVersion = r.u8();
    m.managerId = r.str(MaxIdentifierBytes, "manager identifier");
    m.managerText = r.str(MaxTextBytes, "manager text");
    m.nonce = r.raw(NonceBytes, "nonce");
    if (r.ok() && m.maxVersion < 1)
        r.fail(QStringLiteral("bad protocol version %1").arg(m.maxVersion));
    if (r.ok() && m.managerId.isEmpty())
        r.fail(QStringLiteral("empty manager identifier"));
    return done(r, m, error);
}

std::optional<PairRequestMsg> decodePairRequest(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    PairRequestMsg m;
    m.nonce = r.raw(NonceBytes, "nonce");
    m.proof = r.raw(ProofBytes, "proof");
    return done(r, m, error);
}

std::optional<PairAcceptMsg> decodePairAccept(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    PairAcceptMsg m;
    m.proof = r.raw(ProofBytes, "proof");
    return done(r, m, error);
}

std::optional<QList<ProfileMsg>> decodeProfiles(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    const quint16 count = r.u16();
    if (r.ok() && count > MaxProfilesPerManager)
        r.fail(QStringLiteral("%1 profiles exceed the limit of %2").arg(count).arg(MaxProfilesPerManager));
    QList<ProfileMsg> list;
    for (int i = 0; r.ok() && i < count; ++i) {
        ProfileMsg m;
        m.id = r.str(MaxIdentifierBytes, "profile identifier");
        m.text = r.str(MaxTextBytes, "profile text");
        m.group = r.str(MaxTextBytes, "profile group");
        m.type = r.str(MaxTypeBytes, "profile type");
        m.visible = r.u8() != 0;
        if (r.ok() && m.id.isEmpty())
            r.fail(QStringLiteral("empty profile identifier"));
        list.append(m);
    }
    return done(r, list, error);
}

std::optional<ConnectMsg> decodeConnect(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    ConnectMsg m;
    m.fromProfile = r.str(MaxIdentifierBytes, "profile identifier");
    m.toProfile = r.str(MaxIdentifierBytes, "profile identifier");
    return done(r, m, error);
}

std::optional<ResourceMsg> decodeResource(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    ResourceMsg m;
    m.seq = r.u32();
    m.fromProfile = r.str(MaxIdentifierBytes, "profile identifier");
    m.toProfile = r.str(MaxIdentifierBytes, "profile identifier");
    m.description = r.str(MaxTextBytes, "description");
    const quint8 type = r.u8();
    if (r.ok() && type > LastDataType)
        r.fail(QStringLiteral("unknown data type %1").arg(type));
    if (r.ok()) {
        m.dataType = DataType(type);
        switch (m.dataType) {
        case DataType::Integer:
            m.value = qint32(r.u32());
            break;
        case DataType::Single: {
            const quint32 bits = r.u32();
            float f;
            std::memcpy(&f, &bits, 4);
            m.value = f;
            break;
        }
        case DataType::Double: {
            const quint64 bits = r.u64();
            double d;
            std::memcpy(&d, &bits, 8);
            m.value = d;
            break;
        }
        case DataType::Int64:
            m.value = qint64(r.u64());
            break;
        case DataType::Boolean: {
            const quint8 b = r.u8();
            if (r.ok() && b > 1)
                r.fail(QStringLiteral("bad boolean %1").arg(b));
            m.value = b != 0;
            break;
        }
        case DataType::String:
            m.value = r.longStr(MaxStringValueBytes, "string value");
            break;
        }
    }
    return done(r, m, error);
}

std::optional<StreamBeginMsg> decodeStreamBegin(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    StreamBeginMsg m;
    m.seq = r.u32();
    m.fromProfile = r.str(MaxIdentifierBytes, "profile identifier");
    m.toProfile = r.str(MaxIdentifierBytes, "profile identifier");
    m.description = r.str(MaxTextBytes, "description");
    m.size = r.u64();
    if (r.ok() && m.size > MaxStreamBytes)
        r.fail(QStringLiteral("stream of %1 bytes exceeds the limit of %2").arg(m.size).arg(MaxStreamBytes));
    return done(r, m, error);
}

std::optional<StreamChunkMsg> decodeStreamChunk(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    StreamChunkMsg m;
    m.seq = r.u32();
    m.data = r.blob(MaxStreamChunk, "stream chunk");
    return done(r, m, error);
}

std::optional<quint32> decodeSeq(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    const quint32 v = r.u32();
    return done(r, v, error);
}

std::optional<AckMsg> decodeAck(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    AckMsg m;
    m.seq = r.u32();
    const quint8 status = r.u8();
    m.accepted = status == 0;
    m.reason = r.str(MaxErrorTextBytes, "reason");
    return done(r, m, error);
}

std::optional<ErrorMsg> decodeError(const QByteArray& p, QString& error) {
    PayloadReader r(p);
    ErrorMsg m;
    m.code = ErrorCode(r.u16());
    m.fatal = r.u8() != 0;
    m.text = r.str(MaxErrorTextBytes, "error text");
    return done(r, m, error);
}

// --- Pairing --------------------------------------------------------------------

QByteArray randomNonce() {
    QByteArray n(NonceBytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(n.data()), NonceBytes / 4);
    return n;
}

namespace {
QByteArray proof(const char* label, const QString& password, const QByteArray& first,
                 const QByteArray& second, const QString& id1, const QString& id2) {
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, password.toUtf8());
    PayloadWriter w;
    w.raw(QByteArray(label)).raw(first).raw(second).str(id1).str(id2);
    mac.addData(w.data());
    return mac.result();
}
} // namespace

QByteArray clientProof(const QString& password, const QByteArray& serverNonce, const QByteArray& clientNonce,
                       const QString& serverId, const QString& clientId) {
    return proof("STP1 client", password, serverNonce, clientNonce, serverId, clientId);
}

QByteArray serverProof(const QString& password, const QByteArray& serverNonce, const QByteArray& clientNonce,
                       const QString& serverId, const QString& clientId) {
    return proof("STP1 server", password, clientNonce, serverNonce, clientId, serverId);
}

bool constantTimeEquals(const QByteArray& a, const QByteArray& b) {
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= uchar(a[i]) ^ uchar(b[i]);
    return diff == 0;
}

QString frameTypeName(FrameType type) {
    static const char* const names[] = {"?",           "Hello",       "PairRequest", "PairAccept",
                                        "Profiles",    "Connect",     "Connected",   "Resource",
                                        "StreamBegin", "StreamChunk", "StreamEnd",   "Ack",
                                        "Ping",        "Pong",        "Error",       "Bye"};
    const auto i = quint8(type);
    return QLatin1String(i <= LastFrameType ? names[i] : "?");
}

} // namespace tethering
