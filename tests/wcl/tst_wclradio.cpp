// The library's radio half against the simulated BlueZ: loading, enumeration,
// flags and both Connectable mappings, error codes and texts, BlueZ going away.
#include "MessageBoxes.h"
#include "SimulatedBluez.h"
#include "wclBluetooth.h"
#include "wclTesting.h"

#include <QElapsedTimer>
#include <QTest>

namespace {
const QString kAdapter = QStringLiteral("org.bluez.Adapter1");
const QString kHci0 = QStringLiteral("/org/bluez/hci0");
} // namespace

class TestWclRadio : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<SimulatedBluez> m_bluez;
    std::unique_ptr<TwclAPI> m_api;

    // A working radio as the window makes it: a copy of item 0 of a fresh enumeration.
    std::unique_ptr<TwclBluetoothRadio> workingRadio(int* code = nullptr) {
        TwclBluetoothDiscovery discovery;
        TwclBluetoothRadios radios;
        const int c = discovery.EnumRadios(&radios);
        if (code)
            *code = c;
        if (c != 0 || radios.Count() == 0)
            return nullptr;
        auto radio = std::make_unique<TwclBluetoothRadio>();
        radio->Assign(*radios.Items(0));
        return radio;
    }

private Q_SLOTS:
    void init() {
        m_bluez = std::make_unique<SimulatedBluez>();
        QVERIFY2(m_bluez->start(), qPrintable(m_bluez->lastError()));
        m_api = std::make_unique<TwclAPI>();
        wcl::testing::setCallTimeoutMs(3000);
    }
    void cleanup() {
        m_api->Unload();
        m_api.reset();
        m_bluez.reset();
    }

    void errorTexts_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << QString();
        QTest::newRow("2") << 2 << "Internal driver error.";
        QTest::newRow("4") << 4 << "Feature is not supported.";
        QTest::newRow("5") << 5 << "Invalid argument.";
        QTest::newRow("7 unknown") << 7 << "Unknown error";
        QTest::newRow("13") << 13 << "Specified transport is not available.";
        QTest::newRow("14") << 14 << "Specified bluetooth API is not available.";
        QTest::newRow("15") << 15 << "Unknown or unsupported Bluetooth API.";
        QTest::newRow("21") << 21 << "Discovering operation is active.";
        QTest::newRow("paired") << int(WCL_E_BLUETOOTH_ALREADY_PAIRED) << "Device is already paired.";
        QTest::newRow("auth") << int(WCL_E_BLUETOOTH_AUTHENTICATION_FAILED) << "Authentication failed.";
        QTest::newRow("cancel") << int(WCL_E_BLUETOOTH_OPERATION_CANCELLED)
                                << "Operation was cancelled by user.";
        QTest::newRow("denied") << int(WCL_E_BLUETOOTH_ACCESS_DENIED) << "Access denied.";
        QTest::newRow("timeout") << int(WCL_E_BLUETOOTH_TIMEOUT) << "Timeout.";
        QTest::newRow("negative") << -1 << "Unknown error";
        QTest::newRow("huge") << 0x7fffffff << "Unknown error";
    }
    void errorTexts() {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(wclGetErrorMessage(code), text);
        vcl::MessageBoxSpy spy;
        QCOMPARE(wclShowError(code), code != 0);
        if (code == 0) {
            QCOMPARE(spy.count(), 0);
        } else {
            QCOMPARE(spy.count(), 1);
            QCOMPARE(spy.messages().at(0).type, vcl::MsgType::Error);
            QCOMPARE(spy.messages().at(0).text, text);
        }
    }

    void everyOwnCodeHasText() {
        for (int code = 1; code < 100; ++code) {
            const QString text = wclGetErrorMessage(code);
            QVERIFY(!text.isEmpty());
            if (text != QLatin1String("Unknown error"))
                QVERIFY2(text.endsWith(QLatin1Char('.')), qPrintable(text));
        }
        QCOMPARE(wclGetErrorMessage(7), QStringLiteral("Unknown error"));
    }

    void noBluezNoStack() {
        m_bluez->killBluez();
        QCOMPARE(m_api->Load(), 13);
        TwclBluetoothDiscovery discovery;
        TwclBluetoothRadios radios;
        QCOMPARE(discovery.EnumRadios(&radios), 13);
        QCOMPARE(radios.Count(), 0);
        // BlueZ arriving later does not load a stack by itself
        QVERIFY(m_bluez->restartBluez());
        m_bluez->addAdapter();
        QCOMPARE(discovery.EnumRadios(&radios), 13);
        QCOMPARE(m_api->Load(), 0);
        QCOMPARE(discovery.EnumRadios(&radios), 0);
        QCOMPARE(radios.Count(), 1);
    }

    void bluezWithoutAdapterGivesNoRadio() {
        QCOMPARE(m_api->Load(), 0);
        TwclBluetoothDiscovery discovery;
        TwclBluetoothRadios radios;
        QCOMPARE(discovery.EnumRadios(&radios), 0);
        QCOMPARE(radios.Count(), 0);
    }

    void oneAdapterOneRadio() {
        m_bluez->addAdapter(QStringLiteral("hci0"), QStringLiteral("Sarnavel PC"), true,
                            {{QStringLiteral("Address"), QStringLiteral("00:1a:7d:da:71:0b")},
                             {QStringLiteral("Discoverable"), true}});
        QCOMPARE(m_api->Load(), 0);
        TwclBluetoothDiscovery discovery;
        TwclBluetoothRadios radios;
        QCOMPARE(discovery.EnumRadios(&radios), 0);
        QCOMPARE(radios.Count(), 1);
        QCOMPARE(radios.Items(0)->Api(), baBlueZ);
        QVERIFY_THROWS_EXCEPTION(EListError, radios.Items(1));

        // a copy keeps working after the enumeration is gone
        TwclBluetoothRadio radio;
        QCOMPARE(radio.Api(), baBlueSoleil);
        radio.Assign(*radios.Items(0));
        radios.Clear();
        QString address, name;
        bool connectable = false, discoverable = false;
        QCOMPARE(radio.GetAddress(address), 0);
        QCOMPARE(address, QStringLiteral("(00:1A:7D:DA:71:0B)"));
        QCOMPARE(address.size(), 19);
        QCOMPARE(radio.GetName(name), 0);
        QCOMPARE(name, QStringLiteral("Sarnavel PC"));
        QCOMPARE(radio.GetConnectable(connectable), 0);
        QVERIFY(connectable);
        QCOMPARE(radio.GetDiscoverable(discoverable), 0);
        QVERIFY(discoverable);
    }

    void firstAdapterIsLowestHci() {
        m_bluez->addAdapter(QStringLiteral("hci2"), QStringLiteral("second"));
        m_bluez->addAdapter(QStringLiteral("hci1"), QStringLiteral("first"));
        m_bluez->addAdapter(QStringLiteral("hci10"), QStringLiteral("tenth"));
        QCOMPARE(m_api->Load(), 0);
        auto radio = workingRadio();
        QVERIFY(radio);
        QString name;
        QCOMPARE(radio->GetName(name), 0);
        QCOMPARE(name, QStringLiteral("first"));
    }

    // A radio object of another stack (here: never assigned, so BlueSoleil).
    void otherStackIsRefused() {
        m_bluez->addAdapter();
        QCOMPARE(m_api->Load(), 0);
        TwclBluetoothRadio radio;
        QString s;
        bool b = false;
        QCOMPARE(radio.GetAddress(s), 14);
        QCOMPARE(radio.GetDiscoverable(b), 14);
        QCOMPARE(radio.SetConnectable(true), 14);
        QCOMPARE(m_bluez->property(kHci0, kAdapter, QStringLiteral("Connectable")), QVariant(true));
        TwclBluetoothDevice device;
        quint32 cod = 0;
        QCOMPARE(device.GetClassOfDevice(&radio, cod), 14);
        QCOMPARE(device.GetClassOfDevice(nullptr, cod), 5);
    }

    // Connectable: Adapter1.Connectable where BlueZ has it, else Powered.
    void connectableMapping_data() {
        QTest::addColumn<bool>("hasConnectable");
        QTest::newRow("Connectable (BlueZ 5.79+)") << true;
        QTest::newRow("Powered (BlueZ 5.66)") << false;
    }
    void connectableMapping() {
        QFETCH(bool, hasConnectable);
        m_bluez->addAdapter(QStringLiteral("hci0"), QStringLiteral("pc"),
                            hasConnectable ? QVariant(true) : QVariant(),
                            {{QStringLiteral("Discoverable"), true}});
        QCOMPARE(m_api->Load(), 0);
        auto radio = workingRadio();
        QVERIFY(radio);
        bool flag = false;
        QCOMPARE(radio->GetConnectable(flag), 0);
        QVERIFY(flag);

        QCOMPARE(radio->SetConnectable(false), 0);
        QCOMPARE(radio->GetConnectable(flag), 0);
        QVERIFY(!flag);
        const QString changed = hasConnectable ? QStringLiteral("Connectable") : QStringLiteral("Powered");
        const QString untouched = hasConnectable ? QStringLiteral("Powered") : QStringLiteral("Connectable");
        QCOMPARE(m_bluez->property(kHci0, kAdapter, changed), QVariant(false));
        if (hasConnectable)
            QCOMPARE(m_bluez->property(kHci0, kAdapter, untouched), QVariant(true));
        else
            QVERIFY(!m_bluez->property(kHci0, kAdapter, untouched).isValid());
        // either way switching connectable off ends discoverable
        QCOMPARE(radio->GetDiscoverable(flag), 0);
        QVERIFY(!flag);

        QCOMPARE(radio->SetConnectable(true), 0);
        QCOMPARE(radio->GetConnectable(flag), 0);
        QVERIFY(flag);
    }

    void discoverableStaysOn() {
        // BlueZ would end discoverable by itself after DiscoverableTimeout seconds
        m_bluez->addAdapter(QStringLiteral("hci0"), QStringLiteral("pc"), true,
                            {{QStringLiteral("DiscoverableTimeout"), 1u}});
        QCOMPARE(m_api->Load(), 0);
        auto radio = workingRadio();
        QVERIFY(radio);
        QCOMPARE(radio->SetDiscoverable(true), 0);
        QTest::qWait(1500);
        bool flag = false;
        QCOMPARE(radio->GetDiscoverable(flag), 0);
        QVERIFY(flag);
        QCOMPARE(radio->SetDiscoverable(false), 0);
        QCOMPARE(radio->GetDiscoverable(flag), 0);
        QVERIFY(!flag);
    }

    void refusedOrUnreadableFlags_data() {
        QTest::addColumn<QString>("property");
        QTest::addColumn<QString>("which");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("code");
        QTest::newRow("discoverable read, NotSupported") << "Discoverable"
                                                         << "get"
                                                         << "org.bluez.Error.NotSupported" << 4;
        QTest::newRow("connectable read, NotSupported") << "Connectable"
                                                        << "get"
                                                        << "org.bluez.Error.NotSupported" << 4;
        QTest::newRow("discoverable set, NotSupported") << "Discoverable"
                                                        << "set"
                                                        << "org.bluez.Error.NotSupported" << 4;
        QTest::newRow("connectable set, read-only") << "Connectable"
                                                    << "set"
                                                    << "org.freedesktop.DBus.Error.PropertyReadOnly" << 4;
        QTest::newRow("discoverable set, NotReady")
            << "Discoverable"
            << "set"
            << "org.bluez.Error.NotReady" << int(WCL_E_BLUETOOTH_RADIO_NOT_READY);
        QTest::newRow("discoverable set, Failed")
            << "Discoverable"
            << "set"
            << "org.bluez.Error.Failed" << int(WCL_E_BLUETOOTH_OPERATION_FAILED);
        QTest::newRow("address read, unmapped error") << "Address"
                                                      << "get"
                                                      << "org.example.Strange" << 2;
        QTest::newRow("name read, InvalidArgs") << "Alias"
                                                << "get"
                                                << "org.freedesktop.DBus.Error.InvalidArgs" << 5;
    }
    void refusedOrUnreadableFlags() {
        QFETCH(QString, property);
        QFETCH(QString, which);
        QFETCH(QString, error);
        QFETCH(int, code);
        m_bluez->addAdapter(QStringLiteral("hci0"), QStringLiteral("pc"), true,
                            {{QStringLiteral("Discoverable"), true}});
        QVERIFY(m_bluez->failProperty(kHci0, kAdapter, property, error, which));
        QCOMPARE(m_api->Load(), 0);
        auto radio = workingRadio();
        QVERIFY(radio);
        bool flag = true;
        QString text;
        int got = -100;
        if (which == QLatin1String("set")) {
            got = property == QLatin1String("Connectable") ? radio->SetConnectable(false)
                                                           : radio->SetDiscoverable(false);
            // the radio keeps its real flag
            QCOMPARE(m_bluez->property(kHci0, kAdapter, property), QVariant(true));
        } else if (property == QLatin1String("Connectable")) {
            got = radio->GetConnectable(flag);
        } else if (property == QLatin1String("Discoverable")) {
            got = radio->GetDiscoverable(flag);
        } else if (property == QLatin1String("Address")) {
            got = radio->GetAddress(text);
        } else {
            got = radio->GetName(text);
        }
        QCOMPARE(got, code);
        // the other reads are unaffected
        QString name;
        QCOMPARE(property == QLatin1String("Alias") ? 0 : radio->GetName(name), 0);
    }

    void poweredOffRadioCannotBecomeDiscoverable() {
        m_bluez->addAdapter(QStringLiteral("hci0"), QStringLiteral("pc"), QVariant(),
                            {{QStringLiteral("Powered"), false}});
        QCOMPARE(m_api->Load(), 0);
        auto radio = workingRadio();
        QVERIFY(radio);
        QCOMPARE(radio->SetDiscoverable(true), int(WCL_E_BLUETOOTH_RADIO_NOT_READY));
        QVERIFY(!wclGetErrorMessage(WCL_E_BLUETOOTH_RADIO_NOT_READY).isEmpty());
    }

    void bluezKilledAndRestarted() {
        m_bluez->addAdapter();
        QCOMPARE(m_api->Load(), 0);
        auto radio = workingRadio();
        QVERIFY(radio);
        QVERIFY(m_bluez->killBluez());

        QElapsedTimer t;
        t.start();
        bool flag = false;
        int code = 0;
        QVERIFY(!workingRadio(&code));
        QCOMPARE(code, int(WCL_E_BLUETOOTH_STACK_NOT_RUNNING));
        QCOMPARE(radio->GetDiscoverable(flag), int(WCL_E_BLUETOOTH_STACK_NOT_RUNNING));
        QCOMPARE(radio->SetConnectable(true), int(WCL_E_BLUETOOTH_STACK_NOT_RUNNING));
        QVERIFY2(t.elapsed() < 2000, "a vanished BlueZ must be reported at once");

        QVERIFY(m_bluez->restartBluez());
        auto again = workingRadio(&code);
        QCOMPARE(code, 0);
        QVERIFY(again);
        QCOMPARE(radio->GetDiscoverable(flag), 0);
        QString address;
        QCOMPARE(radio->GetAddress(address), 0);
    }

    void frozenBluezTimesOut() {
        m_bluez->addAdapter();
        QCOMPARE(m_api->Load(), 0);
        auto radio = workingRadio();
        QVERIFY(radio);
        wcl::testing::setCallTimeoutMs(1500);
        QVERIFY(m_bluez->freezeBluez());
        QElapsedTimer t;
        t.start();
        bool flag = false;
        QCOMPARE(radio->GetDiscoverable(flag), int(WCL_E_BLUETOOTH_TIMEOUT));
        QVERIFY(t.elapsed() >= 1400 && t.elapsed() < 3000);
        // a window's sequence of calls does not wait the full bound each time
        t.restart();
        int code = 0;
        QVERIFY(!workingRadio(&code));
        QCOMPARE(code, int(WCL_E_BLUETOOTH_TIMEOUT));
        QString name;
        QCOMPARE(radio->GetName(name), int(WCL_E_BLUETOOTH_TIMEOUT));
        QCOMPARE(radio->SetDiscoverable(true), int(WCL_E_BLUETOOTH_TIMEOUT));
        QVERIFY2(t.elapsed() < 1400, qPrintable(QString::number(t.elapsed())));
        QVERIFY(m_bluez->thawBluez());
        QCOMPARE(radio->GetDiscoverable(flag), 0);
        QVERIFY(!flag);
        // answering again: the full bound is back
        QCOMPARE(radio->GetName(name), 0);
    }

    void unloadThenNoStack() {
        m_bluez->addAdapter();
        QCOMPARE(m_api->Load(), 0);
        QCOMPARE(m_bluez->agents().size(), 1);
        QVERIFY(
            m_bluez->agents().constFirst().endsWith(QStringLiteral("/org/sarnavel/wcl/agent DisplayYesNo")));
        QCOMPARE(m_api->Unload(), 0);
        QVERIFY(m_bluez->agents().isEmpty());
        int code = 0;
        QVERIFY(!workingRadio(&code));
        QCOMPARE(code, 13);
        QCOMPARE(m_api->Unload(), 0); // twice is harmless
    }
};

QTEST_MAIN(TestWclRadio)
#include "tst_wclradio.moc"
