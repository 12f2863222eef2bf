// Pairing through our agent, and unpairing, against the simulated BlueZ.
#include "SimulatedBluez.h"
#include "wclBluetooth.h"
#include "wclTesting.h"

#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <atomic>

namespace {
const QString kHci = QStringLiteral("hci0");
const QString kDeviceIface = QStringLiteral("org.bluez.Device1");
const QString kPhone = QStringLiteral("00:11:22:33:44:55");
const QString kPhoneText = QStringLiteral("(00:11:22:33:44:55)");
} // namespace

class TestWclPairing : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<SimulatedBluez> m_bluez;
    std::unique_ptr<TwclAPI> m_api;
    TwclBluetoothRadio m_radio;
    QString m_phonePath;

    bool paired() { return m_bluez->property(m_phonePath, kDeviceIface, QStringLiteral("Paired")).toBool(); }

private Q_SLOTS:
    void init() {
        wcl::testing::setPairTimeoutMs(30000);
        m_bluez = std::make_unique<SimulatedBluez>();
        QVERIFY2(m_bluez->start(), qPrintable(m_bluez->lastError()));
        m_bluez->addAdapter();
        m_phonePath = m_bluez->addDevice(kHci, kPhone, {{QStringLiteral("Name"), QStringLiteral("Phone")}});
        QVERIFY(!m_phonePath.isEmpty());
        m_api = std::make_unique<TwclAPI>();
        QCOMPARE(m_api->Load(), 0);
        TwclBluetoothDiscovery d;
        TwclBluetoothRadios radios;
        QCOMPARE(d.EnumRadios(&radios), 0);
        m_radio.Assign(*radios.Items(0));
    }
    void cleanup() {
        m_api->Unload();
        m_api.reset();
        m_bluez.reset();
    }

    // The window's handler: confirm, touching nothing else. Pair must not
    // deadlock although it blocks the calling thread while BlueZ asks the agent.
    void numericComparisonConfirmed() {
        TwclBluetoothDevice device;
        device.SetAddress(kPhoneText);
        QVERIFY(m_bluez->setPairBehaviour(m_phonePath, QStringLiteral("confirm"),
                                          {{QStringLiteral("Passkey"), 424242u}}));
        std::atomic<int> calls{0};
        std::atomic<quint32> number{0};
        std::atomic<QObject*> sender{nullptr};
        std::atomic<bool> onUiThread{true};
        device.OnNumericComparison = [&](QObject* Sender, quint32 Num, bool& Confirm) {
            ++calls;
            onUiThread = QThread::currentThread() == qApp->thread();
            number = Num;
            sender = Sender;
            Confirm = true;
        };
        QElapsedTimer t;
        t.start();
        QCOMPARE(device.Pair(&m_radio), 0);
        QVERIFY2(t.elapsed() < 5000, "Pair waited for its own agent");
        QCOMPARE(calls.load(), 1);
        QCOMPARE(number.load(), 424242u);
        QCOMPARE(sender.load(), static_cast<QObject*>(&device));
        QVERIFY2(!onUiThread, "the agent answers on its own thread while Pair blocks this one");
        QVERIFY(paired());
        const QVariantMap log = m_bluez->pairingLog(m_phonePath);
        QCOMPARE(log.value(QStringLiteral("Method")).toString(), QStringLiteral("RequestConfirmation"));
        QCOMPARE(log.value(QStringLiteral("Answer")).toString(), QStringLiteral("ok"));
        // pairing again: already paired
        QCOMPARE(device.Pair(&m_radio), int(WCL_E_BLUETOOTH_ALREADY_PAIRED));
        QCOMPARE(wclGetErrorMessage(device.Pair(&m_radio)), QStringLiteral("Device is already paired."));
        QCOMPARE(calls.load(), 1);
    }

    void numericComparisonRefused_data() {
        QTest::addColumn<int>("handler"); // 0 unbound, 1 leaves false, 2 throws
        QTest::newRow("no handler") << 0;
        QTest::newRow("handler says no") << 1;
        QTest::newRow("handler throws") << 2;
    }
    void numericComparisonRefused() {
        QFETCH(int, handler);
        TwclBluetoothDevice device;
        device.SetAddress(kPhoneText);
        if (handler == 1)
            device.OnNumericComparison = [](QObject*, quint32, bool& Confirm) { Confirm = false; };
        if (handler == 2)
            device.OnNumericComparison = [](QObject*, quint32, bool&) {
                throw Exception(QStringLiteral("boom"));
            };
        QCOMPARE(device.Pair(&m_radio), int(WCL_E_BLUETOOTH_ACCESS_DENIED));
        QCOMPARE(m_bluez->pairingLog(m_phonePath).value(QStringLiteral("Answer")).toString(),
                 QStringLiteral("org.bluez.Error.Rejected"));
        QVERIFY(!paired());
    }

    void otherRequestsAnsweredByTheLibrary_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("bindHandlers");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("answer");
        QTest::newRow("PIN, unbound: 0000") << "pin" << false << 0 << "0000";
        QTest::newRow("PIN, bound") << "pin" << true << 0 << "4711";
        QTest::newRow("passkey entry, unbound: refused")
            << "passkey" << false << int(WCL_E_BLUETOOTH_ACCESS_DENIED) << "org.bluez.Error.Rejected";
        QTest::newRow("passkey entry, bound") << "passkey" << true << 0 << "123456";
        QTest::newRow("passkey shown, unbound") << "notify" << false << 0 << "ok";
        QTest::newRow("passkey shown, bound") << "notify" << true << 0 << "ok";
        QTest::newRow("just works") << "justworks" << false << 0 << "";
    }
    void otherRequestsAnsweredByTheLibrary() {
        QFETCH(QString, mode);
        QFETCH(bool, bindHandlers);
        QFETCH(int, code);
        QFETCH(QString, answer);
        QVERIFY(m_bluez->setPairBehaviour(m_phonePath, mode, {{QStringLiteral("Passkey"), 987654u}}));
        TwclBluetoothDevice device;
        device.SetAddress(kPhoneText);
        std::atomic<int> comparisons{0};
        std::atomic<quint32> shown{0};
        device.OnNumericComparison = [&](QObject*, quint32, bool& c) {
            ++comparisons;
            c = true;
        };
        if (bindHandlers) {
            device.OnPINRequest = [](QObject*, QString& pin) { pin = QStringLiteral("4711"); };
            device.OnPasskey = [](QObject*, quint32& passkey) { passkey = 123456; };
            device.OnPasskeyNotification = [&](QObject*, quint32 passkey) { shown = passkey; };
        }
        QCOMPARE(device.Pair(&m_radio), code);
        QCOMPARE(m_bluez->pairingLog(m_phonePath).value(QStringLiteral("Answer")).toString(), answer);
        QCOMPARE(comparisons.load(), 0);
        if (mode == QLatin1String("notify") && bindHandlers)
            QCOMPARE(shown.load(), 987654u);
        QCOMPARE(paired(), code == 0);
    }

    void bluezErrors_data() {
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("AlreadyExists")
            << "org.bluez.Error.AlreadyExists" << 40 << "Device is already paired.";
        QTest::newRow("AuthenticationFailed")
            << "org.bluez.Error.AuthenticationFailed" << 41 << "Authentication failed.";
        QTest::newRow("AuthenticationCanceled")
            << "org.bluez.Error.AuthenticationCanceled" << 42 << "Operation was cancelled by user.";
        QTest::newRow("AuthenticationRejected")
            << "org.bluez.Error.AuthenticationRejected" << 43 << "Access denied.";
        QTest::newRow("AuthenticationTimeout") << "org.bluez.Error.AuthenticationTimeout" << 44 << "Timeout.";
        QTest::newRow("ConnectionAttemptFailed")
            << "org.bluez.Error.ConnectionAttemptFailed" << 37 << "Connection attempt failed.";
        QTest::newRow("InProgress") << "org.bluez.Error.InProgress" << 35
                                    << "Operation is already in progress.";
        QTest::newRow("NotReady") << "org.bluez.Error.NotReady" << 32 << "Bluetooth radio is not ready.";
        QTest::newRow("Failed") << "org.bluez.Error.Failed" << 36 << "Bluetooth operation failed.";
        QTest::newRow("NotSupported") << "org.bluez.Error.NotSupported" << 4 << "Feature is not supported.";
        QTest::newRow("InvalidArguments") << "org.bluez.Error.InvalidArguments" << 5 << "Invalid argument.";
        QTest::newRow("DoesNotExist")
            << "org.bluez.Error.DoesNotExist" << 33 << "Bluetooth device not found.";
        QTest::newRow("D-Bus NoReply") << "org.freedesktop.DBus.Error.NoReply" << 44 << "Timeout.";
        QTest::newRow("something new") << "org.bluez.Error.Whatever" << 2 << "Internal driver error.";
    }
    void bluezErrors() {
        QFETCH(QString, error);
        QFETCH(int, code);
        QFETCH(QString, text);
        QVERIFY(m_bluez->setPairBehaviour(m_phonePath, QStringLiteral("error"),
                                          {{QStringLiteral("ErrorName"), error}}));
        TwclBluetoothDevice device;
        device.SetAddress(kPhoneText);
        QCOMPARE(device.Pair(&m_radio), code);
        QCOMPARE(wclGetErrorMessage(code), text);
    }

    void pairingThatNeverEndsIsBounded() {
        QVERIFY(m_bluez->setPairBehaviour(m_phonePath, QStringLiteral("hang")));
        wcl::testing::setPairTimeoutMs(500);
        m_bluez->clearCalls(m_phonePath);
        TwclBluetoothDevice device;
        device.SetAddress(kPhoneText);
        QElapsedTimer t;
        t.start();
        QCOMPARE(device.Pair(&m_radio), int(WCL_E_BLUETOOTH_TIMEOUT));
        QVERIFY(t.elapsed() < 4000);
        QCOMPARE(m_bluez->methodCallCount(m_phonePath, QStringLiteral("CancelPairing")), 1);
    }

    void unknownDeviceAndNoStack() {
        TwclBluetoothDevice device;
        device.SetAddress(QStringLiteral("(01:02:03:04:05:06)"));
        QCOMPARE(device.Pair(&m_radio), int(WCL_E_BLUETOOTH_DEVICE_NOT_FOUND));
        QCOMPARE(device.Unpair(&m_radio), int(WCL_E_BLUETOOTH_DEVICE_NOT_FOUND));
        QCOMPARE(device.Pair(nullptr), 5);
        m_api->Unload();
        device.SetAddress(kPhoneText);
        QCOMPARE(device.Pair(&m_radio), 13);
        QCOMPARE(device.Unpair(&m_radio), 13);
    }

    void unpairRemovesTheDevice() {
        TwclBluetoothDevice device;
        device.SetAddress(kPhoneText);
        device.OnNumericComparison = [](QObject*, quint32, bool& c) { c = true; };
        QCOMPARE(device.Pair(&m_radio), 0);
        QVERIFY(paired());
        std::atomic<int> calls{0};
        device.OnNumericComparison = [&](QObject*, quint32, bool& c) {
            ++calls;
            c = true;
        };
        QCOMPARE(device.Unpair(&m_radio), 0);
        QVERIFY(!m_bluez->objectExists(m_phonePath));
        QCOMPARE(calls.load(), 0);
        bool p = true;
        QCOMPARE(device.GetPaired(&m_radio, p), int(WCL_E_BLUETOOTH_DEVICE_NOT_FOUND));
        QCOMPARE(device.Unpair(&m_radio), int(WCL_E_BLUETOOTH_DEVICE_NOT_FOUND));
    }

    // BlueZ restarted: the agent is registered again before the next pairing.
    void agentSurvivesBluezRestart() {
        QCOMPARE(m_bluez->agents().size(), 1);
        QVERIFY(m_bluez->restartBluez());
        QVERIFY(m_bluez->agents().isEmpty());
        TwclBluetoothDevice device;
        device.SetAddress(kPhoneText);
        device.OnNumericComparison = [](QObject*, quint32, bool& c) { c = true; };
        QCOMPARE(device.Pair(&m_radio), 0);
        QCOMPARE(m_bluez->agents().size(), 1);
        QVERIFY(paired());
    }

    // Only the pairing we run is answered: a request for another device is refused.
    void requestsOutsideOurPairingAreRefused() {
        QCOMPARE(m_bluez->agents().size(), 1);
        const QString agentOwner = m_bluez->agents().constFirst().section(QLatin1Char(' '), 0, 0);
        QDBusMessage m = QDBusMessage::createMethodCall(agentOwner, QStringLiteral("/org/sarnavel/wcl/agent"),
                                                        QStringLiteral("org.bluez.Agent1"),
                                                        QStringLiteral("RequestConfirmation"));
        m.setArguments({QVariant::fromValue(QDBusObjectPath(m_phonePath)), 1234u});
        QDBusMessage r = m_bluez->bus().call(m, QDBus::Block, 3000);
        QCOMPARE(r.errorName(), QStringLiteral("org.bluez.Error.Rejected"));
    }
};

QTEST_MAIN(TestWclPairing)
#include "tst_wclpairing.moc"
