#pragma once
// Wire format of the tethering link (docs/tethering-protocol.md describes it for
// implementers of other clients). Shared by the server framework and the
// companion client; pure data handling, no I/O.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>
#include <optional>

namespace tethering {

constexpr quint8 Magic0 = 'S';
constexpr quint8 Magic1 = 'T';
constexpr quint8 ProtocolVersion = 1;
constexpr int HeaderSize = 8;

// Caps on everything a peer sends.
constexpr quint32 MaxPayload = 128 * 1024;
constexpr int MaxIdentifierBytes = 64;
constexpr int MaxTextBytes = 256; // manager/profile text, group, description
constexpr int MaxTypeBytes = 32;
constexpr int MaxErrorTextBytes = 512;
constexpr int MaxStringValueBytes = 64 * 1024;
constexpr int MaxProfilesPerManager = 32;
constexpr int MaxStreamChunk = 32 * 1024;
constexpr quint64 MaxStreamBytes = 16 * 1024 * 1024;
constexpr int NonceBytes = 32;
constexpr int ProofBytes = 32;

// Bluetooth service of the server: RFCOMM, fixed channel, advertised over SDP.
inline constexpr char ServiceUuid[] = "6c3f5a8e-2b1d-4f7a-9c4e-5a7d1b3e9f21";
inline constexpr char ServiceName[] = "Sarnavel Tethering";
constexpr quint16 RfcommChannel = 11;

enum class FrameType : quint8 {
    Hello = 1,
    PairRequest = 2,
    PairAccept = 3,
    Profiles = 4,
    Connect = 5,
    Connected = 6,
    Resource = 7,
    StreamBegin = 8,
    StreamChunk = 9,
    StreamEnd = 10,
    Ack = 11,
    Ping = 12,
    Pong = 13,
    Error = 14,
    Bye = 15,
};
constexpr quint8 LastFrameType = 15;

enum class ErrorCode : quint16 {
    Malformed = 1,
    FrameTooLarge = 2,
    UnsupportedVersion = 3,
    AuthFailed = 4,
    NotPaired = 5,
    GroupMismatch = 6,
    UnknownProfile = 7,
    Timeout = 8,
    Flood = 9,
    TooLarge = 10,
    ShuttingDown = 11,
};

// Data types of a resource value, numbered as the framework numbers them.
enum class DataType : quint8 { Integer = 0, Single = 1, Double = 2, Int64 = 3, Boolean = 4, String = 5 };
constexpr quint8 LastDataType = 5;

struct Frame {
    FrameType type = FrameType::Ping;
    QByteArray payload;
};

// Encodes one frame: header + payload.
QByteArray encodeFrame(FrameType type, const QByteArray& payload);

// Splits a byte stream into frames. Feed it the receive buffer; it reports the
// first malformed header it meets and the stream is unusable after that.
class FrameDecoder {
public:
    enum class Result { NeedMore, Frame, Error };
    // Looks at data[pos..]; on Frame, advances pos past the frame.
    Result next(const QByteArray& data, qsizetype& pos, Frame& out, QString& error) const;
};

// Appends big-endian fields to a payload.
class PayloadWriter {
public:
    PayloadWriter() = default;
    // Writes the fields straight after a frame header, so that frame() gives the
    // whole frame without copying the payload once more.
    explicit PayloadWriter(FrameType type);
    QByteArray frame(); // patches the header's length; only with the FrameType constructor
    PayloadWriter& u8(quint8 v);
    PayloadWriter& u16(quint16 v);
    PayloadWriter& u32(quint32 v);
    PayloadWriter& u64(quint64 v);
    PayloadWriter& str(const QString& s);     // u16 length + UTF-8
    PayloadWriter& longStr(const QString& s); // u32 length + UTF-8
    PayloadWriter& raw(const QByteArray& b);  // fixed-size bytes, no length
    PayloadWriter& blob(const QByteArray& b); // u32 length + bytes
    const QByteArray& data() const { return m_data; }

private:
    void utf8(const QString& s, qsizetype maxBytes, int lengthBytes);
    QByteArray m_data;
    bool m_framed = false;
};

// Reads a payload written by PayloadWriter; every read checks the remaining
// length and the caps, and the first failure sticks (ok() false, error() says why).
class PayloadReader {
public:
    explicit PayloadReader(const QByteArray& data)
        : m_data(data) {}
    quint8 u8();
    quint16 u16();
    quint32 u32();
    quint64 u64();
    QString str(int maxBytes, const char* what);
    QString longStr(int maxBytes, const char* what);
    QByteArray raw(int n, const char* what);
    QByteArray blob(int maxBytes, const char* what);
    // Call after the last field: trailing bytes are an error.
    bool finish();
    bool ok() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }
    void fail(const QString& why);

private:
    bool need(qsizetype n, const char* what);
    QString decodeUtf8(const char* p, qsizetype n, const char* what);
    const QByteArray& m_data;
    qsizetype m_pos = 0;
    QString m_error;
};

// --- Messages ---------------------------------------------------------------

struct HelloMsg {
    quint8 maxVersion = ProtocolVersion;
    QString managerId;
    QString managerText;
    QByteArray nonce; // NonceBytes
};
struct PairRequestMsg {
    QByteArray nonce; // client nonce
    QByteArray proof;
};
struct PairAcceptMsg {
    QByteArray proof;
};
struct ProfileMsg {
    QString id;
    QString text;
    QString group;
    QString type;
    bool visible = true;
};
struct ConnectMsg {
    QString fromProfile; // the sender's profile
    QString toProfile;   // the receiver's profile
};
struct ResourceMsg {
    quint32 seq = 0;
    QString fromProfile;
    QString toProfile;
    QString description;
    DataType dataType = DataType::String;
    QVariant value; // qint32, float, double, qint64, bool or QString
};
struct StreamBeginMsg {
    quint32 seq = 0;
    QString fromProfile;
    QString toProfile;
    QString description;
    quint64 size = 0;
};
struct StreamChunkMsg {
    quint32 seq = 0;
    QByteArray data;
};
struct AckMsg {
    quint32 seq = 0;
    bool accepted = true;
    QString reason;
};
struct ErrorMsg {
    ErrorCode code = ErrorCode::Malformed;
    bool fatal = true;
    QString text;
};

QByteArray encode(const HelloMsg& m);
QByteArray encode(const PairRequestMsg& m);
QByteArray encode(const PairAcceptMsg& m);
QByteArray encode(const QList<ProfileMsg>& profiles);
QByteArray encodeConnect(const ConnectMsg& m);
QByteArray encodeConnected(const ConnectMsg& m);
QByteArray encode(const ResourceMsg& m);
// The whole Resource frame in one buffer (the same bytes as encodeFrame(Resource, encode(m))).
QByteArray encodeFrame(const ResourceMsg& m);
QByteArray encode(const StreamBeginMsg& m);
QByteArray encode(const StreamChunkMsg& m);
QByteArray encodeStreamEnd(quint32 seq);
QByteArray encode(const AckMsg& m);
QByteArray encodePing(quint32 token);
QByteArray encodePong(quint32 token);
QByteArray encode(const ErrorMsg& m);
QByteArray encodeBye();

// Decoders: nullopt and a reason when the payload is malformed.
std::optional<HelloMsg> decodeHello(const QByteArray& p, QString& error);
std::optional<PairRequestMsg> decodePairRequest(const QByteArray& p, QString& error);
std::optional<PairAcceptMsg> decodePairAccept(const QByteArray& p, QString& error);
std::optional<QList<ProfileMsg>> decodeProfiles(const QByteArray& p, QString& error);
std::optional<ConnectMsg> decodeConnect(const QByteArray& p, QString& error);
std::optional<ResourceMsg> decodeResource(const QByteArray& p, QString& error);
std::optional<StreamBeginMsg> decodeStreamBegin(const QByteArray& p, QString& error);
std::optional<StreamChunkMsg> decodeStreamChunk(const QByteArray& p, QString& error);
std::optional<quint32> decodeSeq(const QByteArray& p, QString& error); // StreamEnd, Ping, Pong
std::optional<AckMsg> decodeAck(const QByteArray& p, QString& error);
std::optional<ErrorMsg> decodeError(const QByteArray& p, QString& error);

// --- Pairing ------------------------------------------------------------------
// Challenge-response over both nonces and both identifiers, keyed by the
// manager password: the password never travels.
QByteArray randomNonce();
QByteArray clientProof(const QString& password, const QByteArray& serverNonce, const QByteArray& clientNonce,
                       const QString& serverId, const QString& clientId);
QByteArray serverProof(const QString& password, const QByteArray& serverNonce, const QByteArray& clientNonce,
                       const QString& serverId, const QString& clientId);
bool constantTimeEquals(const QByteArray& a, const QByteArray& b);

QString frameTypeName(FrameType type);

} // namespace tethering
