// Writes the seed corpora of fuzz_session and fuzz_frames from the real encoders:
// whole phone sessions (hello, pair, profiles, connect, a resource of every type,
// a stream, ping, bye) and each of their frames alone. Not part of the build:
//   g++ -std=c++20 -fPIC -Iplatform/tethering fuzz/make_tethering_seeds.cpp \
//     platform/tethering/TetheringProtocol.cpp $(pkg-config --cflags --libs Qt6Core) -o /tmp/seeds
//   /tmp/seeds fuzz/corpus
#include "TetheringProtocol.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <cstdio>

using namespace tethering;

namespace {

const QString ServerProfile = QStringLiteral("fuzz-profile"); // fuzz_session's server profile
const QString ClientId = QStringLiteral("0b6f3a52-8d1e-4c07-a1f9-2e5d7c4b3a10");
const QString ClientProfile = QStringLiteral("4e2a9c71-5b3d-4f8e-9a06-1c7d2e8b5f34");

struct Writer {
    QString dir;
    int count = 0;
    void put(const QString& sub, const QByteArray& bytes)
    {
        QDir().mkpath(dir + QLatin1Char('/') + sub);
        const QString name = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex());
        QFile f(dir + QLatin1Char('/') + sub + QLatin1Char('/') + name);
        if (f.open(QIODevice::WriteOnly)) {
            f.write(bytes);
            ++count;
        }
    }
};

QList<QByteArray> session(const QString& group, bool withStream, const QString& text)
{
    QList<QByteArray> frames;
    HelloMsg hello;
    hello.managerId = ClientId;
    hello.managerText = QStringLiteral("TorvaneClient");
    hello.nonce = QByteArray(NonceBytes, 'n');
    frames << encodeFrame(FrameType::Hello, encode(hello));
    // The proof is made right by the fuzzer, which knows the server's nonce.
    frames << encodeFrame(
        FrameType::PairRequest, encode(PairRequestMsg {QByteArray(NonceBytes, 'c'), QByteArray(ProofBytes, 0)}));
    frames << encodeFrame(FrameType::Profiles,
        encode(
            QList<ProfileMsg> {{ClientProfile, QStringLiteral("TorvaneClient"), group, QStringLiteral("App"), true}}));
    frames << encodeFrame(FrameType::Connect, encodeConnect({ClientProfile, ServerProfile}));
    quint32 seq = 1;
    auto resource = [&](DataType type, const QVariant& value) {
        ResourceMsg m;
        m.seq = seq++;
        m.fromProfile = ClientProfile;
        m.toProfile = ServerProfile;
        m.description = type == DataType::String ? QStringLiteral("Chat String") : QStringLiteral("Value");
        m.dataType = type;
        m.value = value;
        frames << encodeFrame(FrameType::Resource, encode(m));
    };
    resource(DataType::String, text);
    resource(DataType::Integer, QVariant::fromValue<qint32>(-42));
    resource(DataType::Single, QVariant::fromValue<float>(1.5f));
    resource(DataType::Double, QVariant::fromValue<double>(-2.25));
    resource(DataType::Int64, QVariant::fromValue<qint64>(Q_INT64_C(1) << 40));
    resource(DataType::Boolean, QVariant::fromValue<bool>(true));
    if (withStream) {
        const QByteArray bytes = QByteArray("stream bytes ").repeated(300);
        StreamBeginMsg b;
        b.seq = seq;
        b.fromProfile = ClientProfile;
        b.toProfile = ServerProfile;
        b.description = QStringLiteral("Stream");
        b.size = quint64(bytes.size());
        frames << encodeFrame(FrameType::StreamBegin, encode(b));
        frames << encodeFrame(FrameType::StreamChunk, encode(StreamChunkMsg {seq, bytes.left(1000)}));
        frames << encodeFrame(FrameType::StreamChunk, encode(StreamChunkMsg {seq, bytes.mid(1000)}));
        frames << encodeFrame(FrameType::StreamEnd, encodeStreamEnd(seq));
        ++seq;
    }
    frames << encodeFrame(FrameType::Ping, encodePing(7));
    frames << encodeFrame(FrameType::Pong, encodePong(1));
    frames << encodeFrame(FrameType::Ack, encode(AckMsg {1, true, {}}));
    frames << encodeFrame(FrameType::Ack, encode(AckMsg {2, false, QStringLiteral("busy")}));
    frames << encodeFrame(
        FrameType::Error, encode(ErrorMsg {ErrorCode::UnknownProfile, false, QStringLiteral("unknown profile")}));
    frames << encodeFrame(FrameType::Bye, encodeBye());
    return frames;
}

} // namespace

int main(int argc, char** argv)
{
    Writer w {argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("fuzz/corpus")};
    const QList<QByteArray> full = session(QStringLiteral("quillmarsh"), true, QStringLiteral("こんにちは, Sarnavel"));
    w.put(QStringLiteral("fuzz_session"), full.join());
    w.put(QStringLiteral("fuzz_session"), session(QStringLiteral("othergroup"), true, QStringLiteral("x")).join());
    w.put(QStringLiteral("fuzz_session"), session(QStringLiteral("quillmarsh"), false, QString()).join());
    // Handshake only, then silence; and the session cut mid-frame.
    w.put(QStringLiteral("fuzz_session"), full.mid(0, 2).join());
    const QByteArray joined = full.join();
    w.put(QStringLiteral("fuzz_session"), joined.left(joined.size() / 2));
    // Frames of the server too (the client decodes them).
    QList<QByteArray> frames = full;
    HelloMsg server;
    server.managerId = QStringLiteral("fuzz-server");
    server.managerText = QStringLiteral("TManager1");
    server.nonce = QByteArray(NonceBytes, 's');
    frames << encodeFrame(FrameType::Hello, encode(server));
    frames << encodeFrame(FrameType::PairAccept, encode(PairAcceptMsg {QByteArray(ProofBytes, 'p')}));
    frames << encodeFrame(FrameType::Connected, encodeConnected({ServerProfile, ClientProfile}));
    frames << encodeFrame(
        FrameType::Error, encode(ErrorMsg {ErrorCode::Flood, true, QStringLiteral("too many control frames")}));
    for (const QByteArray& f : frames)
        w.put(QStringLiteral("fuzz_frames"), f);
    std::printf("%d seeds written\n", w.count);
    return 0;
}
