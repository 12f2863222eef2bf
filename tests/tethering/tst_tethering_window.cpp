// The window's text exchange end to end: the simulated BlueZ hands each
// connection to the registered RFCOMM profile (Profile1.NewConnection), and the
// companion client talks on the other end.
#include "Controls.h"
#include "MessageBoxes.h"
#include "RemoteClient.h"
#include "SimulatedBluez.h"
#include "TAeroSpeedButton.h"
#include "Tethering.h"
#include "TetheringProtocol.h"
#include "TfmVelkor.h"

#include <QDBusArgument>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using vcl::MessageBoxSpy;
using vcl::MsgType;

namespace {
const QString Hci0 = QStringLiteral("hci0");
const QString PhoneAddress = QStringLiteral("00:11:22:33:44:55");
const QString ChatString = QStringLiteral("Chat String");

struct RegisteredProfile {
    QString uuid;
    QVariantMap options;
};
} // namespace

class TestTetheringWindow : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<SimulatedBluez> m_bluez;
    QString m_device;

    std::unique_ptr<TfmVelkor> makeWindow() {
        return std::make_unique<TfmVelkor>(TfmVelkor::Options{.runFormCreate = false});
    }

    // BlueZ hands a new RFCOMM connection to our profile; the client takes the other end.
    std::unique_ptr<RemoteClient>
    connectClient(const RemoteClient::Client::Options& o = RemoteClient::defaultOptions()) {
        const QDBusMessage r = m_bluez->call(
            QStringLiteral("/"), QStringLiteral("org.bluez.Mock"), QStringLiteral("NewProfileConnection"),
            {QString::fromLatin1(tethering::ServiceUuid), QVariant::fromValue(QDBusObjectPath(m_device))});
        if (r.type() != QDBusMessage::ReplyMessage) {
            qWarning() << "NewProfileConnection:" << r.errorMessage();
            return nullptr;
        }
        auto c = std::make_unique<RemoteClient>(o);
        if (!c->receiveFd(r.arguments().value(0).toString()))
            return nullptr;
        return c;
    }

    // A client that paired and connected, with the window's list showing it.
    std::unique_ptr<RemoteClient> readyClient(TfmVelkor& w, const QString& profileText) {
        const int before = w.TManager1->RemoteProfiles().Count();
        auto c = connectClient(RemoteClient::options(profileText));
        if (!c || !QTest::qWaitFor([&] { return c->isReady(); }, 5000))
            return nullptr;
        if (!QTest::qWaitFor([&] { return w.TManager1->RemoteProfiles().Count() == before + 1; }, 5000))
            return nullptr;
        return c;
    }

    QList<RegisteredProfile> registeredProfiles() {
        QList<RegisteredProfile> out;
        const QDBusMessage r = m_bluez->call(QStringLiteral("/"), QStringLiteral("org.bluez.Mock"),
                                             QStringLiteral("GetProfiles"));
        if (r.type() != QDBusMessage::ReplyMessage)
            return out;
        const QDBusArgument arg = r.arguments().constFirst().value<QDBusArgument>();
        arg.beginArray();
        while (!arg.atEnd()) {
            QString sender, uuid;
            QDBusObjectPath path;
            QVariantMap options;
            arg.beginStructure();
            arg >> sender >> uuid >> path >> options;
            arg.endStructure();
            out.append({uuid, options});
        }
        arg.endArray();
        return out;
    }

private Q_SLOTS:
    void initTestCase() {
        TTetheringTimings t;
        t.sendTimeoutMs = 500;
        t.keepAliveIntervalMs = 200;
        t.keepAliveTimeoutMs = 3000;
        TTetheringManager::setTimings(t);
        m_bluez = std::make_unique<SimulatedBluez>();
        QVERIFY2(m_bluez->start(), qPrintable(m_bluez->lastError()));
        QVERIFY(!m_bluez->addAdapter(Hci0).isEmpty());
        m_device =
            m_bluez->addDevice(Hci0, PhoneAddress, {{QStringLiteral("Name"), QStringLiteral("Phone")}});
        QVERIFY(!m_device.isEmpty());
        QVERIFY2(
            m_bluez->loadTemplate(SimulatedBluez::sourceDir() + QStringLiteral("/templates/tethering.py")),
            qPrintable(m_bluez->lastError()));
    }

    void cleanupTestCase() { m_bluez.reset(); }

    void serverProfileIsRegisteredWhileTheWindowLives() {
        {
            auto w = makeWindow();
            QVERIFY(w->TManager1->isBluetoothReady());
            QCOMPARE(w->TManager1->Text, QStringLiteral("TManager1"));
            QCOMPARE(w->TManager1->AllowedAdapters, QStringLiteral("Bluetooth"));
            QCOMPARE(w->TAppProfile1->Text, QStringLiteral("Quenlith Server"));
            QCOMPARE(w->TAppProfile1->Group, QStringLiteral("quillmarsh"));
            QCOMPARE(w->TAppProfile1->Manager(), w->TManager1);
            const auto profiles = registeredProfiles();
            QCOMPARE(profiles.size(), 1);
            QCOMPARE(profiles[0].uuid, QString::fromLatin1(tethering::ServiceUuid));
            QCOMPARE(profiles[0].options.value(QStringLiteral("Role")).toString(), QStringLiteral("server"));
            QCOMPARE(profiles[0].options.value(QStringLiteral("Channel")).toUInt(),
                     uint(tethering::RfcommChannel));
            QCOMPARE(profiles[0].options.value(QStringLiteral("Name")).toString(),
                     QString::fromLatin1(tethering::ServiceName));
        }
        QCOMPARE(registeredProfiles().size(), 0); // unregistered with the window
    }

    void textsFromAnyProfileAppendOneLineEach() {
        auto w = makeWindow();
        auto client = readyClient(*w, QStringLiteral("TorvaneClient"));
        auto stranger = readyClient(*w, QStringLiteral("Stranger"));
        QVERIFY(client && stranger);
        client->sendString(QStringLiteral("one"));
        QTRY_COMPARE(client->accepted(), 1);
        stranger->sendString(QStringLiteral("two from another profile"), QStringLiteral("Other"));
        QTRY_COMPARE(stranger->accepted(), 1);
        client->sendValue(tethering::DataType::Integer, 42); // not a text: an empty line
        client->sendString(QStringLiteral("日本語のテキスト"));
        for (int i = 0; i < 200; ++i)
            client->sendString(QStringLiteral("n%1").arg(i));
        QStringList expected{QStringLiteral("one"), QStringLiteral("two from another profile"), QString(),
                             QStringLiteral("日本語のテキスト")};
        for (int i = 0; i < 200; ++i)
            expected.append(QStringLiteral("n%1").arg(i));
        QTRY_COMPARE_WITH_TIMEOUT(w->Memo1->Text(), expected.join(QLatin1Char('\n')), 5000);
        QCOMPARE(w->Memo1->document()->blockCount(), expected.size());
    }

    void sendGoesToTheChosenProfile_data() {
        QTest::addColumn<QStringList>("profiles"); // remote profile texts, in pairing order
        QTest::addColumn<int>("receiver");
        QTest::addColumn<QString>("text");
        QTest::newRow("the only TorvaneClient")
            << QStringList{QStringLiteral("TorvaneClient")} << 0 << QStringLiteral("hello 世界");
        QTest::newRow("empty text") << QStringList{QStringLiteral("TorvaneClient")} << 0 << QString();
        QTest::newRow("two matching: the later")
            << QStringList{QStringLiteral("TorvaneClient"), QStringLiteral("TorvaneClient")} << 1
            << QStringLiteral("to the second");
        QTest::newRow("match among others")
            << QStringList{QStringLiteral("Other"), QStringLiteral("TorvaneClient"), QStringLiteral("Other2")}
            << 1 << QStringLiteral("middle");
        QTest::newRow("case differs: first profile")
            << QStringList{QStringLiteral("Other"), QStringLiteral("torvaneclient")} << 0
            << QStringLiteral("x");
        QTest::newRow("extra characters: first profile")
            << QStringList{QStringLiteral("TorvaneClient "), QStringLiteral("xTorvaneClient")} << 0
            << QStringLiteral("y");
    }

    void sendGoesToTheChosenProfile() {
        QFETCH(QStringList, profiles);
        QFETCH(int, receiver);
        QFETCH(QString, text);
        auto w = makeWindow();
        std::vector<std::unique_ptr<RemoteClient>> clients;
        for (const QString& p : profiles) {
            clients.push_back(readyClient(*w, p));
            QVERIFY(clients.back());
        }
        w->Memo1->LinesAdd(QStringLiteral("earlier line"));
        w->Edit1->setText(text);
        MessageBoxSpy spy;
        w->sendtextbtn->click();
        QCOMPARE(spy.count(), 0);
        QTRY_COMPARE(clients[size_t(receiver)]->received().size(), 1);
        QCOMPARE(clients[size_t(receiver)]->received().first(), std::make_pair(ChatString, text));
        QTest::qWait(100);
        for (size_t i = 0; i < clients.size(); ++i) {
            if (int(i) != receiver)
                QCOMPARE(clients[i]->received().size(), 0);
        }
        QCOMPARE(w->Edit1->Text(), text);                           // keeps its text
        QCOMPARE(w->Memo1->Text(), QStringLiteral("earlier line")); // the sent text is not added
    }

    void sendWithNoRemoteProfileShowsTheRangeError() {
        auto w = makeWindow();
        w->Edit1->setText(QStringLiteral("nobody hears this"));
        w->Memo1->LinesAdd(QStringLiteral("kept"));
        MessageBoxSpy spy;
        w->sendtextbtn->click();
        QCOMPARE(spy.texts(), QStringList{QStringLiteral("引数が範囲外です.")});
        QCOMPARE(spy.messages().first().type, MsgType::Stop);
        QCOMPARE(w->Edit1->Text(), QStringLiteral("nobody hears this"));
        QCOMPARE(w->Memo1->Text(), QStringLiteral("kept"));
        // The window goes on: a later send works once a client is there.
        auto client = readyClient(*w, QStringLiteral("TorvaneClient"));
        QVERIFY(client);
        w->sendtextbtn->click();
        QTRY_COMPARE(client->receivedTexts(), QStringList{QStringLiteral("nobody hears this")});
        QCOMPARE(spy.count(), 1);
    }

    void sendOnAStalledLinkShowsAnErrorInBoundedTime() {
        auto w = makeWindow();
        auto client = readyClient(*w, QStringLiteral("TorvaneClient"));
        QVERIFY(client);
        client->setReceivePaused(true);
        w->Edit1->setText(QStringLiteral("stalled"));
        MessageBoxSpy spy;
        QElapsedTimer t;
        t.start();
        w->sendtextbtn->click();
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        QCOMPARE(spy.count(), 1);
        QVERIFY2(spy.texts().first().contains(QLatin1String("timed out")), qPrintable(spy.texts().first()));
        QCOMPARE(w->Edit1->Text(), QStringLiteral("stalled"));
    }

    void copyPutsTheExactMemoTextOnTheClipboard() {
        auto w = makeWindow();
        Clipboard::SetText(QStringLiteral("stale"));
        w->AeroSpeedButton1->click();
        QCOMPARE(Clipboard::Text(), QString()); // empty box: empty text

        auto client = readyClient(*w, QStringLiteral("TorvaneClient"));
        QVERIFY(client);
        client->sendString(QStringLiteral("received 1"));
        client->sendString(QStringLiteral("received 2"));
        QTRY_COMPARE(w->Memo1->document()->blockCount(), 2);
        // The user types into the box too.
        w->Memo1->moveCursor(QTextCursor::End);
        QTest::keyClick(w->Memo1, Qt::Key_Return);
        QTest::keyClicks(w->Memo1, QStringLiteral("typed by the user"));
        w->AeroSpeedButton1->click();
        QCOMPARE(Clipboard::Text(), QStringLiteral("received 1\nreceived 2\ntyped by the user"));
        QCOMPARE(Clipboard::Text(), w->Memo1->Text());
    }

    void streamIsSavedToTheChosenFile_data() {
        QTest::addColumn<bool>("choose");
        QTest::addColumn<int>("size");
        QTest::newRow("saved") << true << 200 * 1024 + 3;
        QTest::newRow("empty stream saved") << true << 0;
        QTest::newRow("cancelled") << false << 1000;
    }

    void streamIsSavedToTheChosenFile() {
        QFETCH(bool, choose);
        QFETCH(int, size);
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("received.bin"));
        auto w = makeWindow();
        auto client = readyClient(*w, QStringLiteral("TorvaneClient"));
        QVERIFY(client);
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& b : bytes)
            b = char(QRandomGenerator::global()->bounded(256));
        TSaveDialog::setNextAnswer(choose ? file : QString());
        client->sendStream(bytes);
        client->sendString(QStringLiteral("after the stream"));
        QTRY_COMPARE_WITH_TIMEOUT(w->Memo1->Text(), QStringLiteral("after the stream"), 5000);
        QCOMPARE(QFile::exists(file), choose);
        if (choose) {
            QFile f(file);
            QVERIFY(f.open(QIODevice::ReadOnly));
            QCOMPARE(f.readAll(), bytes);
        }
    }

    void refusedPeers() {
        auto w = makeWindow();
        auto wrong = connectClient(RemoteClient::options(
            QStringLiteral("TorvaneClient"), QStringLiteral("quillmarsh"), QStringLiteral("guess")));
        QVERIFY(wrong);
        QTRY_COMPARE_WITH_TIMEOUT(wrong->state(), RemoteClient::Client::State::Closed, 5000);
        QVERIFY2(wrong->lastError().contains(QLatin1String("password")), qPrintable(wrong->lastError()));

        auto foreign =
            connectClient(RemoteClient::options(QStringLiteral("TorvaneClient"), QStringLiteral("other")));
        QVERIFY(foreign);
        QTRY_VERIFY_WITH_TIMEOUT(!foreign->errors().isEmpty(), 5000);
        QCOMPARE(foreign->errors().first().first, int(tethering::ErrorCode::GroupMismatch));
        QVERIFY(!foreign->isReady());
        QTest::qWait(100);
        QCOMPARE(w->Memo1->Text(), QString());
    }

    void commandLineCompanionTalksBothWays() {
        // sarnavel-companion, as a user on a second machine runs it.
        auto w = makeWindow();
        const QDBusMessage r = m_bluez->call(
            QStringLiteral("/"), QStringLiteral("org.bluez.Mock"), QStringLiteral("NewProfileConnection"),
            {QString::fromLatin1(tethering::ServiceUuid), QVariant::fromValue(QDBusObjectPath(m_device))});
        QCOMPARE(r.type(), QDBusMessage::ReplyMessage);
        QProcess companion;
        companion.start(QStringLiteral(SARNAVEL_COMPANION),
                        {QStringLiteral("--fd-socket"), r.arguments().value(0).toString(),
                         QStringLiteral("--linger"), QStringLiteral("1")});
        QVERIFY(companion.waitForStarted(5000));
        QTRY_COMPARE_WITH_TIMEOUT(w->TManager1->RemoteProfiles().Count(), 1, 10000);
        QCOMPARE(w->TManager1->RemoteProfiles().Items(0).ProfileText, QStringLiteral("TorvaneClient"));
        companion.write("first line\nzweite Zeile äöü\n\nlast\n");
        QTRY_COMPARE_WITH_TIMEOUT(w->Memo1->Text(), QStringLiteral("first line\nzweite Zeile äöü\n\nlast"),
                                  5000);
        w->Edit1->setText(QStringLiteral("reply from the window"));
        w->sendtextbtn->click();
        QTRY_VERIFY_WITH_TIMEOUT(companion.bytesAvailable() > 0 || companion.canReadLine(), 5000);
        companion.closeWriteChannel();
        QVERIFY(companion.waitForFinished(10000));
        QCOMPARE(companion.exitCode(), 0);
        QCOMPARE(companion.readAllStandardOutput(), QByteArray("reply from the window\n"));
        QTRY_COMPARE(w->TManager1->RemoteProfiles().Count(), 0); // it left
    }

    void windowComesUpWithoutBluezAndServesWhenItReturns() {
        QVERIFY(m_bluez->killBluez());
        {
            QElapsedTimer t;
            t.start();
            auto w = makeWindow();
            QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
            QVERIFY(!w->TManager1->isBluetoothReady());
            QVERIFY(m_bluez->restartBluez());
            // BlueZ is back: the profile is registered again.
            QTRY_VERIFY_WITH_TIMEOUT(w->TManager1->isBluetoothReady(), 5000);
        }
        // BlueZ refuses for now (still starting): the window does not wait, and the
        // framework tries again until BlueZ takes the profile.
        const QString mock = QStringLiteral("org.bluez.Mock");
        m_bluez->call(QStringLiteral("/"), mock, QStringLiteral("SetRegisterProfileError"),
                      {QStringLiteral("org.bluez.Error.NotReady")});
        {
            QElapsedTimer t;
            t.start();
            auto w = makeWindow();
            QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));
            QVERIFY(!w->TManager1->isBluetoothReady());
            m_bluez->call(QStringLiteral("/"), mock, QStringLiteral("SetRegisterProfileError"), {QString()});
            QTRY_COMPARE_WITH_TIMEOUT(registeredProfiles().size(), 1, 5000);
            QTRY_VERIFY(w->TManager1->isBluetoothReady());
            auto client = readyClient(*w, QStringLiteral("TorvaneClient"));
            QVERIFY(client);
            client->sendString(QStringLiteral("after the retry"));
            QTRY_COMPARE(w->Memo1->Text(), QStringLiteral("after the retry"));
        }
        // BlueZ that does not answer at all: the wait is bounded.
        QVERIFY(m_bluez->freezeBluez());
        {
            QElapsedTimer t;
            t.start();
            auto w = makeWindow();
            QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        }
        QVERIFY(m_bluez->thawBluez());
    }
};

QTEST_MAIN(TestTetheringWindow)
#include "tst_tethering_window.moc"
