// The tethering framework over the socket-pair transport, with the companion
// client on its own thread: handshake, pairing, groups, resources, sending,
// and a connection with bad frames next to a good one.
#include "Exception.h"
#include "RemoteClient.h"
#include "Tethering.h"
#include "TetheringProtocol.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <memory>
#include <poll.h>
#include <unistd.h>

using namespace tethering;

namespace {

struct Server {
    TTetheringManager manager;
    TTetheringAppProfile profile;
    QStringList lines;
    QList<TRemoteResource> resources;
    std::function<void(const TRemoteResource&)> onResource;

    explicit Server(const QString& password = {}) {
        manager.Text = QStringLiteral("TManager1");
        manager.AllowedAdapters = QStringLiteral("SocketPair");
        manager.Password = password;
        profile.Text = QStringLiteral("Quenlith Server");
        profile.Group = QStringLiteral("quillmarsh");
        QObject::connect(&profile, &TTetheringAppProfile::OnResourceReceived, &profile,
                         [this](QObject*, const TRemoteResource& r) {
                             resources.append(r);
                             if (r.ResType == TRemoteResourceType::Data)
                                 lines.append(r.Value.AsString());
                             if (onResource)
                                 onResource(r);
                         });
        profile.SetManager(&manager);
    }

    std::unique_ptr<RemoteClient>
    client(const RemoteClient::Client::Options& o = RemoteClient::defaultOptions()) {
        auto c = std::make_unique<RemoteClient>(o);
        const int fd = manager.CreateSocketPair();
        if (fd < 0 || !c->open(fd))
            return nullptr;
        return c;
    }

    int profileIndex(const QString& text) const {
        for (int i = 0; i < manager.RemoteProfiles().Count(); ++i) {
            if (manager.RemoteProfiles().Items(i).ProfileText == text)
                return i;
        }
        return -1;
    }
};

QByteArray frameHeader(quint8 type, quint32 length) {
    QByteArray h("ST");
    h.append(char(ProtocolVersion)).append(char(type));
    h.append(char(length >> 24)).append(char(length >> 16)).append(char(length >> 8)).append(char(length));
    return h;
}

} // namespace

class TestTetheringFramework : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void pairedClientIsListedUntilItLeaves();
    void textsArriveInOrderFromEveryProfile();
    void dataTypes_data();
    void dataTypes();
    void streamsArriveWhole();
    void password_data();
    void password();
    void otherGroupCannotConnect();
    void sendStringReachesTheClient();
    void sendStringIsBoundedOnAStalledLink();
    void sendStringOnALostLink();
    void badFramesCloseOnlyThatConnection_data();
    void badFramesCloseOnlyThatConnection();
    void badPeersBeforePairing_data();
    void badPeersBeforePairing();
    void floodOfTextsLosesNothing();
    void textsOfALeavingCompanionKeepTheirSender();
    void steadyTrickleSplitMidFrameStaysOpen();
    void peerThatDoesNotReadIsHeldBackNotDropped();
    void handlerWithNestedLoopSeesOneResourceAtATime();
    void attachWithoutBluezReturnsAtOnce();
};

void TestTetheringFramework::initTestCase() {
    TTetheringTimings t;
    t.adapterStartTimeoutMs = 1000;
    t.sendTimeoutMs = 500;
    t.handshakeTimeoutMs = 1500;
    t.frameTimeoutMs = 300;
    t.keepAliveIntervalMs = 200;
    t.keepAliveTimeoutMs = 3000;
    TTetheringManager::setTimings(t);
}

void TestTetheringFramework::pairedClientIsListedUntilItLeaves() {
    Server s;
    Server other;
    QVERIFY(!s.manager.Identifier().isEmpty());
    QVERIFY(s.manager.Identifier() != other.manager.Identifier()); // a new identity for every manager
    QCOMPARE(s.manager.RemoteProfiles().Count(), 0);
    try {
        s.manager.RemoteProfiles().Items(0);
        QFAIL("no error for an empty list");
    } catch (const EListError& e) {
        QCOMPARE(e.Message(), QStringLiteral("引数が範囲外です"));
    }

    auto c = s.client();
    QVERIFY(c);
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 1);
    const TTetheringProfileInfo info = s.manager.RemoteProfiles().Items(0);
    QCOMPARE(info.ProfileText, QStringLiteral("TorvaneClient"));
    QCOMPARE(info.ProfileGroup, QStringLiteral("quillmarsh"));
    QCOMPARE(info.ProfileType, QStringLiteral("App"));
    QCOMPARE(info.ProfileIdentifier, c->profileId());
    QVERIFY(!info.ManagerIdentifier.isEmpty());
    QCOMPARE(info.AllowedConnections, QStringList{QStringLiteral("SocketPair")});
    QVERIFY_THROWS_EXCEPTION(EListError, s.manager.RemoteProfiles().Items(1));
    QVERIFY_THROWS_EXCEPTION(EListError, s.manager.RemoteProfiles().Items(-1));

    c->close();
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 0);
}

void TestTetheringFramework::textsArriveInOrderFromEveryProfile() {
    Server s;
    auto a = s.client(RemoteClient::options(QStringLiteral("TorvaneClient")));
    auto b = s.client(RemoteClient::options(QStringLiteral("SomeoneElse")));
    QTRY_VERIFY_WITH_TIMEOUT(a->isReady() && b->isReady(), 5000);
    QStringList expected;
    for (int i = 0; i < 300; ++i) {
        a->sendString(QStringLiteral("a%1").arg(i));
        expected.append(QStringLiteral("a%1").arg(i));
    }
    QTRY_COMPARE_WITH_TIMEOUT(s.lines.size(), 300, 5000);
    b->sendString(QStringLiteral("from b"), QStringLiteral("Other description"));
    QTRY_COMPARE(b->accepted(), 1); // two connections have no order between them
    a->sendString(QString());
    a->sendString(QStringLiteral("multi\nline"));
    expected << QStringLiteral("from b") << QString() << QStringLiteral("multi\nline");
    QTRY_COMPARE_WITH_TIMEOUT(s.lines.size(), 303, 5000);
    QCOMPARE(s.lines, expected);
    QCOMPARE(s.resources.last().Hint, QStringLiteral("Chat String"));
    QCOMPARE(s.resources.at(300).Hint, QStringLiteral("Other description"));
    QCOMPARE(s.resources.at(300).Profile.ProfileText, QStringLiteral("SomeoneElse"));
    QTRY_COMPARE(a->accepted(), 302);
}

void TestTetheringFramework::dataTypes_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("Integer") << int(DataType::Integer) << QVariant(qint32(-7));
    QTest::newRow("Single") << int(DataType::Single) << QVariant(2.5f);
    QTest::newRow("Double") << int(DataType::Double) << QVariant(3.25);
    QTest::newRow("Int64") << int(DataType::Int64) << QVariant(qint64(1) << 40);
    QTest::newRow("Boolean") << int(DataType::Boolean) << QVariant(true);
    QTest::newRow("String") << int(DataType::String) << QVariant(QStringLiteral("text"));
}

void TestTetheringFramework::dataTypes() {
    QFETCH(int, type);
    QFETCH(QVariant, value);
    Server s;
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    c->sendValue(DataType(type), value);
    QTRY_COMPARE(s.resources.size(), 1);
    const TRemoteResource& r = s.resources.first();
    QCOMPARE(r.ResType, TRemoteResourceType::Data);
    QCOMPARE(int(r.Value.DataType()), type);
    QVERIFY(!r.Value.AsStream());
    switch (TResourceType(type)) {
    case TResourceType::Integer:
        QCOMPARE(r.Value.AsInteger(), value.toInt());
        break;
    case TResourceType::Single:
        QCOMPARE(r.Value.AsSingle(), value.toFloat());
        break;
    case TResourceType::Double:
        QCOMPARE(r.Value.AsDouble(), value.toDouble());
        break;
    case TResourceType::Int64:
        QCOMPARE(r.Value.AsInt64(), value.toLongLong());
        break;
    case TResourceType::Boolean:
        QCOMPARE(r.Value.AsBoolean(), true);
        break;
    case TResourceType::String:
        break;
    }
    // Only a String carries text.
    QCOMPARE(r.Value.AsString(), TResourceType(type) == TResourceType::String ? value.toString() : QString());
}

void TestTetheringFramework::streamsArriveWhole() {
    Server s;
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    QByteArray big(300 * 1024 + 17, Qt::Uninitialized);
    for (char& b : big)
        b = char(QRandomGenerator::global()->bounded(256));
    c->sendStream(big);
    c->sendStream(QByteArray());
    c->sendString(QStringLiteral("after"));
    QTRY_COMPARE_WITH_TIMEOUT(s.resources.size(), 3, 5000);
    QCOMPARE(s.resources[0].ResType, TRemoteResourceType::Stream);
    QVERIFY(s.resources[0].Value.AsStream());
    QCOMPARE(s.resources[0].Value.AsStream()->readAll(), big);
    QCOMPARE(s.resources[0].Value.AsString(), QString());
    QCOMPARE(s.resources[1].ResType, TRemoteResourceType::Stream);
    QCOMPARE(s.resources[1].Value.AsStream()->readAll(), QByteArray());
    QCOMPARE(s.lines, QStringList{QStringLiteral("after")});
}

void TestTetheringFramework::password_data() {
    QTest::addColumn<QString>("serverPassword");
    QTest::addColumn<QString>("clientPassword");
    QTest::addColumn<bool>("paired");
    QTest::newRow("empty, empty") << QString() << QString() << true;
    QTest::newRow("empty, wrong") << QString() << QStringLiteral("guess") << false;
    QTest::newRow("set, empty") << QStringLiteral("s3cret") << QString() << false;
    QTest::newRow("set, same") << QStringLiteral("s3cret") << QStringLiteral("s3cret") << true;
    QTest::newRow("set, case differs") << QStringLiteral("s3cret") << QStringLiteral("S3cret") << false;
}

void TestTetheringFramework::password() {
    QFETCH(QString, serverPassword);
    QFETCH(QString, clientPassword);
    QFETCH(bool, paired);
    Server s(serverPassword);
    auto c = s.client(
        RemoteClient::options(QStringLiteral("TorvaneClient"), QStringLiteral("quillmarsh"), clientPassword));
    if (paired) {
        QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
        QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 1);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(c->state() == RemoteClient::Client::State::Closed, 5000);
    QVERIFY2(c->lastError().contains(QLatin1String("wrong manager password")), qPrintable(c->lastError()));
    QCOMPARE(s.manager.RemoteProfiles().Count(), 0);
}

void TestTetheringFramework::otherGroupCannotConnect() {
    Server s;
    auto c = s.client(RemoteClient::options(QStringLiteral("TorvaneClient"), QStringLiteral("elsewhere")));
    QTRY_VERIFY_WITH_TIMEOUT(!c->errors().isEmpty(), 5000);
    QCOMPARE(c->errors().first().first, int(ErrorCode::GroupMismatch));
    QVERIFY(!c->isReady());
    QCOMPARE(c->sendString(QStringLiteral("x")), 0u); // the client has nowhere to send
    // Even sent by hand, a resource of the unconnected profile is refused.
    ResourceMsg m;
    m.seq = 77;
    m.fromProfile = c->profileId();
    m.toProfile = s.profile.Identifier();
    m.value = QStringLiteral("sneaked");
    c->sendRaw(encodeFrame(FrameType::Resource, encode(m)));
    QTest::qWait(300);
    QVERIFY(s.lines.isEmpty());
    QCOMPARE(c->state(), RemoteClient::Client::State::Paired); // the connection itself stays
    // And the server cannot send to it.
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 1);
    try {
        s.profile.SendString(s.manager.RemoteProfiles().Items(0), QStringLiteral("Chat String"),
                             QStringLiteral("x"));
        QFAIL("sent to a profile of another group");
    } catch (const Exception& e) {
        QVERIFY2(e.Message().contains(QLatin1String("not connected")), qPrintable(e.Message()));
    }
}

void TestTetheringFramework::sendStringReachesTheClient() {
    Server s;
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 1);
    const TTetheringProfileInfo info = s.manager.RemoteProfiles().Items(0);
    QVERIFY(s.profile.SendString(info, QStringLiteral("Chat String"), QStringLiteral("こんにちは")));
    QVERIFY(s.profile.SendString(info, QStringLiteral("Chat String"), QString()));
    QTRY_COMPARE(c->received().size(), 2);
    QCOMPARE(c->received()[0], std::make_pair(QStringLiteral("Chat String"), QStringLiteral("こんにちは")));
    QCOMPARE(c->received()[1].second, QString());
    // A text over the cap is refused before it goes out.
    QVERIFY_THROWS_EXCEPTION(Exception,
                             s.profile.SendString(info, QStringLiteral("Chat String"),
                                                  QString(MaxStringValueBytes + 1, QLatin1Char('x'))));
    QVERIFY(c->isReady());
}

void TestTetheringFramework::sendStringIsBoundedOnAStalledLink() {
    Server s;
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 1);
    const TTetheringProfileInfo info = s.manager.RemoteProfiles().Items(0);
    c->setReceivePaused(true);
    QElapsedTimer t;
    t.start();
    try {
        s.profile.SendString(info, QStringLiteral("Chat String"), QStringLiteral("stuck"));
        QFAIL("SendString returned on a stalled link");
    } catch (const Exception& e) {
        QVERIFY2(e.Message().contains(QLatin1String("timed out")), qPrintable(e.Message()));
        QVERIFY(e.Message().contains(QLatin1String("TorvaneClient")));
    }
    QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed())));
    // The link recovers; the late text still arrives and the next one is confirmed.
    c->setReceivePaused(false);
    QVERIFY(s.profile.SendString(info, QStringLiteral("Chat String"), QStringLiteral("again")));
    QTRY_COMPARE(c->receivedTexts(), (QStringList{QStringLiteral("stuck"), QStringLiteral("again")}));
}

void TestTetheringFramework::sendStringOnALostLink() {
    Server s;
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 1);
    const TTetheringProfileInfo info = s.manager.RemoteProfiles().Items(0);
    c->close();
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 0);
    QElapsedTimer t;
    t.start();
    try {
        s.profile.SendString(info, QStringLiteral("Chat String"), QStringLiteral("x"));
        QFAIL("sent on a closed link");
    } catch (const Exception& e) {
        QVERIFY2(e.Message().contains(QLatin1String("not connected")), qPrintable(e.Message()));
    }
    QVERIFY(t.elapsed() < 1000);
}

void TestTetheringFramework::badFramesCloseOnlyThatConnection_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");

    ResourceMsg m;
    m.seq = 1000;
    m.fromProfile = QStringLiteral("X");
    m.toProfile = QStringLiteral("Y");
    m.value = QStringLiteral("hello");
    const QByteArray payload = encode(m);

    QTest::newRow("truncated payload")
        << encodeFrame(FrameType::Resource, payload.left(payload.size() - 3)) << "truncated";
    QTest::newRow("oversized frame") << frameHeader(7, MaxPayload + 1) + QByteArray(64, 'x')
                                     << "exceeds the limit";
    QTest::newRow("unknown frame type") << frameHeader(77, 0) << "unknown frame type 77";
    QTest::newRow("bad magic") << QByteArray("HTTP/1.1 200 OK\r\n\r\n") << "bad frame magic";
    QTest::newRow("bad version") << QByteArray("ST\x09\x07\0\0\0\0", 8) << "unsupported protocol version";
    QTest::newRow("trailing bytes") << encodeFrame(FrameType::Resource, payload + "zz") << "trailing";
    PayloadWriter lying;
    lying.u32(1).str(QStringLiteral("X")).str(QStringLiteral("Y")).str(QString()).u8(5).u32(5000).raw("abc");
    QTest::newRow("length beyond payload") << encodeFrame(FrameType::Resource, lying.data()) << "truncated";
    PayloadWriter utf8;
    utf8.u32(1).str(QStringLiteral("X")).str(QStringLiteral("Y")).str(QString()).u8(5).u32(2).raw("\xC0\xAF");
    QTest::newRow("invalid UTF-8") << encodeFrame(FrameType::Resource, utf8.data()) << "invalid UTF-8";
    QTest::newRow("stops mid-frame") << frameHeader(7, 100) + QByteArray(10, 'x') << "incomplete frame";
    QByteArray flood;
    for (int i = 0; i < 1000; ++i)
        flood += encodeFrame(FrameType::Ping, encodePing(quint32(i)));
    QTest::newRow("flood of control frames") << flood << "too many control frames";
    QTest::newRow("chunk of unknown stream")
        << encodeFrame(FrameType::StreamChunk, encode(StreamChunkMsg{5, QByteArray("abc")}))
        << "unknown stream";
    QTest::newRow("second hello") << encodeFrame(FrameType::Hello,
                                                 encode(HelloMsg{1, QStringLiteral("I"), QStringLiteral("T"),
                                                                 randomNonce()}))
                                  << "unexpected Hello";
}

void TestTetheringFramework::badFramesCloseOnlyThatConnection() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    Server s;
    auto good = s.client();
    auto badOptions = RemoteClient::options(QStringLiteral("Rogue"));
    badOptions.keepAliveMs = 60000; // nothing of ours may complete its frame
    auto bad = s.client(badOptions);
    QTRY_VERIFY_WITH_TIMEOUT(good->isReady() && bad->isReady(), 5000);

    good->sendString(QStringLiteral("before"));
    QTRY_COMPARE(good->accepted(), 1);
    bad->sendString(QStringLiteral("accepted from the bad peer"));
    QTRY_COMPARE(bad->accepted(), 1);
    bad->sendRaw(bytes);
    QTRY_COMPARE_WITH_TIMEOUT(bad->state(), RemoteClient::Client::State::Closed, 5000);
    QVERIFY2(bad->lastError().contains(reason), qPrintable(bad->lastError()));

    good->sendString(QStringLiteral("after"));
    QTRY_COMPARE(good->accepted(), 2);
    QTRY_COMPARE(s.lines, (QStringList{QStringLiteral("before"), QStringLiteral("accepted from the bad peer"),
                                       QStringLiteral("after")}));
    QVERIFY(good->isReady());
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 1);
    QCOMPARE(s.manager.RemoteProfiles().Items(0).ProfileText, QStringLiteral("TorvaneClient"));
}

void TestTetheringFramework::badPeersBeforePairing_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    ResourceMsg m;
    m.value = QStringLiteral("early");
    QTest::newRow("resource before hello") << encodeFrame(FrameType::Resource, encode(m)) << "before pairing";
    const QByteArray hello = encodeFrame(
        FrameType::Hello, encode(HelloMsg{1, QStringLiteral("RAW"), QStringLiteral("raw"), randomNonce()}));
    QTest::newRow("resource after hello")
        << hello + encodeFrame(FrameType::Resource, encode(m)) << "before pairing";
    QTest::newRow("bad proof") << hello + encodeFrame(FrameType::PairRequest,
                                                      encode(PairRequestMsg{randomNonce(), randomNonce()}))
                               << "wrong manager password";
    QTest::newRow("silence") << QByteArray() << "pairing did not complete";
    QTest::newRow("garbage") << QByteArray(64, '\0') << "bad frame magic";
}

void TestTetheringFramework::badPeersBeforePairing() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    Server s;
    auto good = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(good->isReady(), 5000);

    const int fd = s.manager.CreateSocketPair();
    QVERIFY(fd >= 0);
    if (!bytes.isEmpty())
        QCOMPARE(::write(fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    // Read what the server says until it closes.
    QByteArray said;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 5000) {
        char buf[4096];
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            said.append(buf, n);
        }
        QCoreApplication::processEvents();
    }
    ::close(fd);
    QVERIFY2(t.elapsed() < 5000, "the server kept the bad connection open");
    QVERIFY2(said.contains(reason.toUtf8()), said.constData());
    QVERIFY(said.startsWith("ST")); // the server's Hello came first

    good->sendString(QStringLiteral("still here"));
    QTRY_COMPARE(s.lines, QStringList{QStringLiteral("still here")});
    QCOMPARE(s.manager.RemoteProfiles().Count(), 1);
}

void TestTetheringFramework::floodOfTextsLosesNothing() {
    // Far more than the window takes at once: the framework stops reading until
    // the window catches up, and nothing is dropped or reordered.
    Server s;
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    const QString pad(1000, QLatin1Char('.'));
    const int count = 12000; // ~12 MB, above the pending-bytes high-water mark
    for (int i = 0; i < count; ++i)
        c->sendString(QString::number(i) + pad);
    QTRY_COMPARE_WITH_TIMEOUT(s.lines.size(), count, 120000);
    for (int i = 0; i < count; ++i) {
        if (!s.lines[i].startsWith(QString::number(i) + QLatin1Char('.')))
            QFAIL(qPrintable(QStringLiteral("line %1 out of order").arg(i)));
    }
    QTRY_COMPARE_WITH_TIMEOUT(c->accepted(), count, 60000);
    QVERIFY(c->isReady());
}

void TestTetheringFramework::textsOfALeavingCompanionKeepTheirSender() {
    // A companion that sends a burst and leaves at once: the window handles the
    // burst over several slices, and every text still names its sender; the
    // companion drops from RemoteProfiles only after its last text.
    Server s;
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 1);
    QStringList senders;
    QList<int> listed;
    s.onResource = [&](const TRemoteResource& r) {
        senders.append(r.Profile.ProfileText);
        listed.append(s.manager.RemoteProfiles().Count());
        QThread::usleep(200); // a slow handler: the burst takes many slices
    };
    const int count = 300;
    for (int i = 0; i < count; ++i)
        c->sendString(QString::number(i));
    QTRY_COMPARE_WITH_TIMEOUT(c->accepted(), count, 10000);
    c->close();
    QTRY_COMPARE_WITH_TIMEOUT(s.lines.size(), count, 10000);
    QTRY_COMPARE(s.manager.RemoteProfiles().Count(), 0);
    QCOMPARE(senders, QStringList(count, QStringLiteral("TorvaneClient")));
    QCOMPARE(listed, QList<int>(count, 1));
}

void TestTetheringFramework::steadyTrickleSplitMidFrameStaysOpen() {
    // Frames that keep completing, each read ending inside the next frame, for
    // longer than the frame timeout: a live link, not a stalled frame.
    Server s;
    auto options = RemoteClient::defaultOptions();
    options.keepAliveMs = 60000; // its pings would land inside our pieces
    auto c = s.client(options);
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    QByteArray wire;
    int count = 0;
    for (; wire.size() < 40 * 60; ++count) {
        ResourceMsg m;
        m.seq = quint32(1000 + count);
        m.fromProfile = c->profileId();
        m.toProfile = s.profile.Identifier();
        m.description = QStringLiteral("Chat String");
        m.value = QStringLiteral("t%1").arg(count);
        wire += encodeFrame(FrameType::Resource, encode(m));
    }
    for (qsizetype at = 0; at < wire.size(); at += 40) {
        c->sendRaw(wire.mid(at, 40));
        QTest::qWait(20); // 60 pieces: about 1.2 s, four times the frame timeout
    }
    QTRY_COMPARE(s.lines.size(), count);
    QCOMPARE(s.lines.last(), QStringLiteral("t%1").arg(count - 1));
    QVERIFY(c->isReady());
}

void TestTetheringFramework::peerThatDoesNotReadIsHeldBackNotDropped() {
    // A client that sends without reading our receipts: the server stops
    // reading from it instead of buffering receipts without end.
    Server s;
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    c->setReceivePaused(true);
    const int count = 60000; // receipts of ~1 MB, far above the server's high-water mark
    c->sendMany(count, [](int i) { return QString::number(i); });
    QTest::qWait(500);
    QVERIFY2(s.lines.size() < count, "the server buffered every receipt");
    c->setReceivePaused(false);
    QTRY_COMPARE_WITH_TIMEOUT(s.lines.size(), count, 120000);
    for (int i = 0; i < count; ++i) {
        if (s.lines[i] != QString::number(i))
            QFAIL(qPrintable(QStringLiteral("line %1 is %2").arg(i).arg(s.lines[i])));
    }
    QTRY_COMPARE_WITH_TIMEOUT(c->accepted(), count, 60000);
    QVERIFY(c->isReady());
}

void TestTetheringFramework::handlerWithNestedLoopSeesOneResourceAtATime() {
    // The first resource's handler runs a nested event loop (as a modal save
    // dialog does); the next resources wait for it and keep their order.
    Server s;
    int depth = 0, maxDepth = 0;
    s.onResource = [&](const TRemoteResource& r) {
        ++depth;
        maxDepth = qMax(maxDepth, depth);
        if (r.ResType == TRemoteResourceType::Stream) {
            QEventLoop loop;
            QTimer::singleShot(300, &loop, &QEventLoop::quit);
            loop.exec();
            s.lines.append(QStringLiteral("[stream]"));
        }
        --depth;
    };
    auto c = s.client();
    QTRY_VERIFY_WITH_TIMEOUT(c->isReady(), 5000);
    c->sendStream(QByteArray("file"));
    for (int i = 0; i < 20; ++i)
        c->sendString(QString::number(i));
    QTRY_COMPARE_WITH_TIMEOUT(s.lines.size(), 21, 5000);
    QCOMPARE(maxDepth, 1);
    QCOMPARE(s.lines.first(), QStringLiteral("[stream]"));
    for (int i = 0; i < 20; ++i)
        QCOMPARE(s.lines[i + 1], QString::number(i));
}

void TestTetheringFramework::attachWithoutBluezReturnsAtOnce() {
    // A system bus without BlueZ (or none at all): the attach must not hang.
    const QByteArray saved = qgetenv("DBUS_SYSTEM_BUS_ADDRESS");
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/sarnavel-no-bus");
    {
        TTetheringManager manager;
        manager.AllowedAdapters = QStringLiteral("Bluetooth");
        TTetheringAppProfile profile;
        profile.Text = QStringLiteral("Quenlith Server");
        QElapsedTimer t;
        t.start();
        profile.SetManager(&manager);
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(manager.isStarted());
        QVERIFY(!manager.isBluetoothReady());
        QCOMPARE(manager.CreateSocketPair(), -1); // not allowed here
    }
    if (saved.isNull())
        qunsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    else
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", saved);
}

QTEST_GUILESS_MAIN(TestTetheringFramework)
#include "tst_tethering_framework.moc"
