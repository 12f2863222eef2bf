// The wire format on its own: frames, messages, caps and the pairing proofs.
#include "TetheringProtocol.h"

#include <QTest>
#include <cmath>

using namespace tethering;

namespace {
QByteArray header(quint8 m0, quint8 m1, quint8 version, quint8 type, quint32 length) {
    QByteArray h;
    h.append(char(m0)).append(char(m1)).append(char(version)).append(char(type));
    h.append(char(length >> 24)).append(char(length >> 16)).append(char(length >> 8)).append(char(length));
    return h;
}
} // namespace

class TestTetheringProtocol : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void framesSplitAcrossReads();
    void badHeaders_data();
    void badHeaders();
    void resourceValuesRoundTrip_data();
    void resourceValuesRoundTrip();
    void malformedPayloads_data();
    void malformedPayloads();
    void messagesRoundTrip();
    void shortStringCutAtCharacter();
    void pairingProofs();
    void documentedExampleBytes();
};

void TestTetheringProtocol::framesSplitAcrossReads() {
    // Two frames fed byte by byte come out whole and in order.
    const QByteArray wire =
        encodeFrame(FrameType::Ping, encodePing(7)) + encodeFrame(FrameType::Pong, encodePong(8));
    FrameDecoder d;
    QByteArray buf;
    qsizetype pos = 0;
    QList<Frame> frames;
    QString error;
    for (char c : wire) {
        buf.append(c);
        Frame f;
        while (true) {
            const auto r = d.next(buf, pos, f, error);
            QVERIFY2(r != FrameDecoder::Result::Error, qPrintable(error));
            if (r == FrameDecoder::Result::NeedMore)
                break;
            frames.append(f);
        }
    }
    QCOMPARE(frames.size(), 2);
    QCOMPARE(frames[0].type, FrameType::Ping);
    QCOMPARE(*decodeSeq(frames[0].payload, error), 7u);
    QCOMPARE(frames[1].type, FrameType::Pong);
    QCOMPARE(pos, wire.size());
}

void TestTetheringProtocol::badHeaders_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    QTest::newRow("bad magic") << QByteArray("XT") << "bad frame magic";
    QTest::newRow("bad second magic byte") << QByteArray("SX") << "bad frame magic";
    QTest::newRow("unsupported version") << header('S', 'T', 2, 1, 0) << "unsupported protocol version 2";
    QTest::newRow("unknown type") << header('S', 'T', 1, 99, 0) << "unknown frame type 99";
    QTest::newRow("type zero") << header('S', 'T', 1, 0, 0) << "unknown frame type 0";
    QTest::newRow("oversized") << header('S', 'T', 1, 7, MaxPayload + 1) << "exceeds the limit";
    QTest::newRow("huge length") << header('S', 'T', 1, 7, 0xFFFFFFFFu) << "exceeds the limit";
}

void TestTetheringProtocol::badHeaders() {
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    FrameDecoder d;
    qsizetype pos = 0;
    Frame f;
    QString error;
    // Refused from the header alone, without waiting for a payload.
    QCOMPARE(d.next(bytes, pos, f, error), FrameDecoder::Result::Error);
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(pos, 0);
}

void TestTetheringProtocol::resourceValuesRoundTrip_data() {
    QTest::addColumn<int>("type");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("Integer") << int(DataType::Integer) << QVariant(qint32(-123456));
    QTest::newRow("Single") << int(DataType::Single) << QVariant(1.5f);
    QTest::newRow("Double") << int(DataType::Double) << QVariant(-2.25e100);
    QTest::newRow("Int64") << int(DataType::Int64) << QVariant(qint64(-9000000000000LL));
    QTest::newRow("Boolean") << int(DataType::Boolean) << QVariant(true);
    QTest::newRow("String") << int(DataType::String) << QVariant(QStringLiteral("こんにちは, 😀 \n tab\t"));
    QTest::newRow("empty String") << int(DataType::String) << QVariant(QString());
    QTest::newRow("64 KiB String") << int(DataType::String) << QVariant(QString(16 * 1024, QChar(0x3042)));
}

void TestTetheringProtocol::resourceValuesRoundTrip() {
    QFETCH(int, type);
    QFETCH(QVariant, value);
    ResourceMsg m;
    m.seq = 42;
    m.fromProfile = QStringLiteral("A");
    m.toProfile = QStringLiteral("B");
    m.description = QStringLiteral("Chat String");
    m.dataType = DataType(type);
    m.value = value;
    QString error;
    // The frame built in one buffer is byte for byte the header plus the payload.
    QCOMPARE(encodeFrame(m), encodeFrame(FrameType::Resource, encode(m)));
    const auto back = decodeResource(encode(m), error);
    QVERIFY2(back, qPrintable(error));
    QCOMPARE(back->seq, 42u);
    QCOMPARE(back->description, m.description);
    QCOMPARE(back->dataType, m.dataType);
    if (m.dataType == DataType::String)
        QCOMPARE(back->value.toString(), value.toString());
    else
        QCOMPARE(back->value, value);
}

void TestTetheringProtocol::malformedPayloads_data() {
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("reason");

    ResourceMsg good;
    good.seq = 1;
    good.fromProfile = QStringLiteral("A");
    good.toProfile = QStringLiteral("B");
    good.value = QStringLiteral("hello");
    const QByteArray ok = encode(good);

    QTest::newRow("truncated value") << ok.left(ok.size() - 2) << "truncated";
    QTest::newRow("trailing bytes") << ok + "xx"
                                    << "trailing";
    QByteArray badType = ok;
    badType[4 + 3 + 3 + 2] = char(9); // data type byte after seq and three short strings
    QTest::newRow("unknown data type") << badType << "unknown data type 9";

    PayloadWriter invalidUtf8;
    invalidUtf8.u32(1)
        .str(QStringLiteral("A"))
        .str(QStringLiteral("B"))
        .str(QString())
        .u8(5)
        .u32(3)
        .raw(QByteArray("\xC3\x28\xFF", 3));
    QTest::newRow("invalid UTF-8") << invalidUtf8.data() << "invalid UTF-8";

    PayloadWriter longId;
    longId.u32(1).str(QString(MaxIdentifierBytes + 1, QLatin1Char('x')));
    QTest::newRow("identifier over cap") << longId.data() << "exceeds the limit";

    PayloadWriter hugeString;
    hugeString.u32(1)
        .str(QStringLiteral("A"))
        .str(QStringLiteral("B"))
        .str(QString())
        .u8(5)
        .u32(MaxStringValueBytes + 1);
    QTest::newRow("string length over cap") << hugeString.data() << "exceeds the limit";

    PayloadWriter lyingLength;
    lyingLength.u32(1)
        .str(QStringLiteral("A"))
        .str(QStringLiteral("B"))
        .str(QString())
        .u8(5)
        .u32(1000)
        .raw("abc");
    QTest::newRow("length beyond payload") << lyingLength.data() << "truncated";

    PayloadWriter badBool;
    badBool.u32(1).str(QStringLiteral("A")).str(QStringLiteral("B")).str(QString()).u8(4).u8(2);
    QTest::newRow("boolean not 0/1") << badBool.data() << "bad boolean";
}

void TestTetheringProtocol::malformedPayloads() {
    QFETCH(QByteArray, payload);
    QFETCH(QString, reason);
    QString error;
    QVERIFY(!decodeResource(payload, error));
    QVERIFY2(error.contains(reason), qPrintable(error));
}

void TestTetheringProtocol::messagesRoundTrip() {
    QString error;
    HelloMsg hello{1, QStringLiteral("ID-1"), QStringLiteral("TManager1"), randomNonce()};
    auto h = decodeHello(encode(hello), error);
    QVERIFY2(h, qPrintable(error));
    QCOMPARE(h->managerId, hello.managerId);
    QCOMPARE(h->managerText, hello.managerText);
    QCOMPARE(h->nonce, hello.nonce);
    QVERIFY(!decodeHello(encode(HelloMsg{1, QString(), QStringLiteral("x"), randomNonce()}), error));

    QList<ProfileMsg> profiles{
        {QStringLiteral("P1"), QStringLiteral("Quenlith Server"), QStringLiteral("quillmarsh"),
         QStringLiteral("App"), true},
        {QStringLiteral("P2"), QStringLiteral("Hidden"), QStringLiteral("g"), QStringLiteral("App"), false}};
    auto p = decodeProfiles(encode(profiles), error);
    QVERIFY2(p, qPrintable(error));
    QCOMPARE(p->size(), 2);
    QCOMPARE(p->at(0).text, QStringLiteral("Quenlith Server"));
    QCOMPARE(p->at(1).visible, false);

    QList<ProfileMsg> tooMany(MaxProfilesPerManager + 1, profiles[0]);
    QVERIFY(!decodeProfiles(encode(tooMany), error));
    QVERIFY(error.contains(QLatin1String("exceed")));

    StreamBeginMsg sb{3, QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("file"),
                      MaxStreamBytes + 1};
    QVERIFY(!decodeStreamBegin(encode(sb), error));
    QVERIFY(error.contains(QLatin1String("exceeds")));

    auto ack = decodeAck(encode(AckMsg{9, false, QStringLiteral("no")}), error);
    QVERIFY(ack);
    QCOMPARE(ack->seq, 9u);
    QCOMPARE(ack->accepted, false);

    auto e = decodeError(encode(ErrorMsg{ErrorCode::GroupMismatch, false, QStringLiteral("group")}), error);
    QVERIFY(e);
    QCOMPARE(e->code, ErrorCode::GroupMismatch);
    QCOMPARE(e->fatal, false);
}

void TestTetheringProtocol::shortStringCutAtCharacter() {
    // A short-string field holds at most 65 535 bytes; a longer text is cut
    // before the character that does not fit, so the payload stays valid UTF-8.
    for (const QString& text : {QString(30000, QChar(0x3042)),              // 3-byte characters
                                QString(70000, QLatin1Char('a')),           // ASCII
                                QString(QStringLiteral("😀")).repeated(20000)}) { // 4-byte characters
        const QByteArray payload = PayloadWriter().str(text).data();
        PayloadReader reader(payload);
        const QString back = reader.str(0xFFFF, "text");
        QVERIFY2(reader.finish(), qPrintable(reader.error()));
        QVERIFY(text.startsWith(back));
        QVERIFY(back.toUtf8().size() <= 0xFFFF);
        QVERIFY(back.toUtf8().size() > 0xFFFF - 4);
    }
}

void TestTetheringProtocol::pairingProofs() {
    const QByteArray sn = randomNonce();
    const QByteArray cn = randomNonce();
    QCOMPARE(sn.size(), NonceBytes);
    QVERIFY(sn != cn);
    const QString sid = QStringLiteral("S"), cid = QStringLiteral("C");
    const QByteArray proof = clientProof(QString(), sn, cn, sid, cid);
    QCOMPARE(proof.size(), ProofBytes);
    QVERIFY(constantTimeEquals(proof, clientProof(QString(), sn, cn, sid, cid)));
    // Any change of password, nonce or identity changes the proof.
    QVERIFY(!constantTimeEquals(proof, clientProof(QStringLiteral("x"), sn, cn, sid, cid)));
    QVERIFY(!constantTimeEquals(proof, clientProof(QString(), cn, sn, sid, cid)));
    QVERIFY(!constantTimeEquals(proof, clientProof(QString(), sn, cn, cid, sid)));
    // The two directions never produce each other's proof (no reflection).
    QVERIFY(!constantTimeEquals(proof, serverProof(QString(), sn, cn, sid, cid)));
    // The password itself is not in what travels.
    const QString password = QStringLiteral("secret-password");
    const QByteArray wire = encode(PairRequestMsg{cn, clientProof(password, sn, cn, sid, cid)});
    QVERIFY(!wire.contains(password.toUtf8()));
}

void TestTetheringProtocol::documentedExampleBytes() {
    // The examples of docs/tethering-protocol.md, byte for byte.
    QCOMPARE(encodeFrame(FrameType::Ping, encodePing(1)).toHex(' '),
             QByteArray("53 54 01 0c 00 00 00 04 00 00 00 01"));
    ResourceMsg m;
    m.seq = 1;
    m.fromProfile = QStringLiteral("C");
    m.toProfile = QStringLiteral("S");
    m.description = QStringLiteral("Chat String");
    m.value = QStringLiteral("hi");
    QCOMPARE(encodeFrame(FrameType::Resource, encode(m)).toHex(' '),
             QByteArray(
                 "53 54 01 07 00 00 00 1e 00 00 00 01 00 01 43 00 01 53 00 0b 43 68 61 74 20 53 74 72 69 6e "
                 "67 05 00 00 00 02 68 69"));
}

QTEST_GUILESS_MAIN(TestTetheringProtocol)
#include "tst_tethering_protocol.moc"
