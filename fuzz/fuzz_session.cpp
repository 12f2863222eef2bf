// One whole session of a phone, as bytes on the link, against the server side of
// the tethering framework: handshake, pairing, profiles, connect, resources,
// streams, keep-alive and goodbye, in whatever order and shape the input has.
//
// The pairing proof depends on the server's random nonce, so the harness reads the
// server's Hello first and rewrites the proof of every well-formed PairRequest to
// the right one; everything else reaches the server exactly as the input has it.
#include "TetheringEngine.h"
#include "TetheringProtocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tethering;

namespace {

constexpr char ServerId[] = "fuzz-server";
constexpr char ServerProfileId[] = "fuzz-profile";
constexpr int BudgetMs = 40;

void silent(QtMsgType, const QMessageLogContext&, const QString&) { }

void pump()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Reads what the server sent so far; false once the server closed its end.
bool drain(int fd, QByteArray* into)
{
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            if (into && into->size() < 1024 * 1024)
                into->append(buf, n);
            continue;
        }
        if (n == 0)
            return false;
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
}

// The input with the proof of each well-formed PairRequest made right for this server.
QByteArray fixProofs(const QByteArray& input, const QByteArray& serverNonce)
{
    QByteArray out;
    FrameDecoder decoder;
    qsizetype pos = 0;
    Frame frame;
    QString error;
    QString clientId;
    while (decoder.next(input, pos, frame, error) == FrameDecoder::Result::Frame) {
        QString e;
        if (frame.type == FrameType::Hello) {
            if (auto hello = decodeHello(frame.payload, e))
                clientId = hello->managerId;
        } else if (frame.type == FrameType::PairRequest) {
            if (auto req = decodePairRequest(frame.payload, e)) {
                req->proof = clientProof(QString(), serverNonce, req->nonce, QLatin1String(ServerId), clientId);
                frame.payload = encode(*req);
            }
        }
        out += encodeFrame(frame.type, frame.payload);
    }
    out += input.mid(pos); // whatever does not split into frames goes as it is
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    // FUZZ_SESSION_LOG=1 shows the server's log (QT_LOGGING_RULES picks the levels).
    if (qEnvironmentVariableIsEmpty("FUZZ_SESSION_LOG"))
        qInstallMessageHandler(silent);
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    const int phone = sv[1];
    ::fcntl(phone, F_SETFL, ::fcntl(phone, F_GETFL) | O_NONBLOCK);

    TTetheringTimings timings;
    timings.handshakeTimeoutMs = 20;
    timings.frameTimeoutMs = 20;
    timings.keepAliveIntervalMs = 10;
    timings.keepAliveTimeoutMs = 30;
    QElapsedTimer clock;
    clock.start();
    {
        auto outbox = std::make_shared<Outbox>();
        Engine engine(QLatin1String(ServerId), QStringLiteral("TManager1"), QString(), timings, outbox);
        // Take what the engine hands to the window, as the window does, so that its
        // flow control sees the resources handled.
        QObject::connect(&engine, &Engine::eventsWaiting, &engine, [&] {
            for (const UiEvent& e : outbox->take()) {
                if (e.kind == UiEvent::Kind::Resource)
                    engine.pendingBytes -= e.resource.cost;
            }
        });
        engine.addProfile({QLatin1String(ServerProfileId), QStringLiteral("Quenlith Server"),
            QStringLiteral("quillmarsh"), true, true});
        engine.acceptFd(sv[0], QStringLiteral("SocketPair"));

        // The server's Hello carries the nonce the pairing proof is made over.
        QByteArray fromServer;
        Frame hello;
        QString error;
        qsizetype pos = 0;
        QElapsedTimer greeting;
        greeting.start();
        while (greeting.elapsed() < 2000) {
            pump();
            drain(phone, &fromServer);
            pos = 0;
            if (FrameDecoder().next(fromServer, pos, hello, error) != FrameDecoder::Result::NeedMore)
                break;
            ::poll(nullptr, 0, 1);
        }
        QString e;
        const auto serverHello = decodeHello(hello.payload, e);
        if (!serverHello)
            abort(); // the server must greet first, and soon
        clock.restart();

        const QByteArray input
            = fixProofs(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)), serverHello->nonce);
        qsizetype written = 0;
        bool open = true;
        while (open && written < input.size() && clock.elapsed() < BudgetMs) {
            const ssize_t n = ::send(phone, input.constData() + written, size_t(input.size() - written), MSG_NOSIGNAL);
            if (n > 0)
                written += n;
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                break; // the server closed
            pump();
            open = drain(phone, nullptr);
        }
        // Let the server take the rest, then hang up like a phone walking away.
        for (int i = 0; open && i < 20 && clock.elapsed() < BudgetMs; ++i) {
            pump();
            open = drain(phone, nullptr);
        }
        ::close(phone);
        for (int i = 0; i < 5; ++i)
            pump();
        engine.shutdown();
        pump();
    }
    pump();
    return 0;
}
