// Device search and device queries against the simulated BlueZ.
#include "SimulatedBluez.h"
#include "wclBluetooth.h"
#include "wclTesting.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

namespace {

const QString kHci = QStringLiteral("hci0");
const QString kAdapterIface = QStringLiteral("org.bluez.Adapter1");
const QString kDeviceIface = QStringLiteral("org.bluez.Device1");

// What the two events delivered, copied while the list was valid.
struct Recorder {
    QStringList events;    // "started", "complete"
    QStringList addresses; // of the completion
    bool failed = false;
    bool offUiThread = false;
    int completions = 0;

    void attach(TwclBluetoothDiscovery* d) {
        QObject::connect(d, &TwclBluetoothDiscovery::OnDiscoveryStarted, d,
                         [this](QObject*, TwclBluetoothRadio* radio) {
                             events << QStringLiteral("started");
                             offUiThread |= QThread::currentThread() != qApp->thread();
                             QVERIFY(radio);
                         });
        QObject::connect(d, &TwclBluetoothDiscovery::OnDiscoveryComplete, d,
                         [this](QObject*, TwclBluetoothRadio*, TwclBluetoothDevices* devices) {
                             events << QStringLiteral("complete");
                             offUiThread |= QThread::currentThread() != qApp->thread();
                             ++completions;
                             failed = devices == nullptr;
                             addresses.clear();
                             if (devices)
                                 for (int i = 0; i < devices->Count(); ++i)
                                     addresses << devices->Items(i)->Address();
                         });
    }
    bool waitComplete(int ms = 10000) {
        QElapsedTimer t;
        t.start();
        while (completions == 0 && t.elapsed() < ms)
            QTest::qWait(10);
        return completions > 0;
    }
};

} // namespace

class TestWclDiscovery : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<SimulatedBluez> m_bluez;
    std::unique_ptr<TwclAPI> m_api;
    TwclBluetoothRadio m_radio;

    bool loadWithAdapter(const QVariantMap& options = {}) {
        if (m_bluez->addAdapter(kHci, QStringLiteral("pc"), true, options).isEmpty())
            return false;
        if (m_api->Load() != 0)
            return false;
        TwclBluetoothDiscovery d;
        TwclBluetoothRadios radios;
        if (d.EnumRadios(&radios) != 0 || radios.Count() != 1)
            return false;
        m_radio.Assign(*radios.Items(0));
        return true;
    }
    bool adapterDiscovering() {
        return m_bluez
            ->property(SimulatedBluez::adapterPath(kHci), kAdapterIface, QStringLiteral("Discovering"))
            .toBool();
    }

private Q_SLOTS:
    void initTestCase() { TwclBluetoothDiscovery::setInquiryUnitMs(100); }
    void init() {
        m_bluez = std::make_unique<SimulatedBluez>();
        QVERIFY2(m_bluez->start(), qPrintable(m_bluez->lastError()));
        m_api = std::make_unique<TwclAPI>();
    }
    void cleanup() {
        m_api->Unload();
        m_api.reset();
        m_bluez.reset();
    }

    void addressValidation_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("stored");
        QTest::newRow("upper") << "(00:1A:7D:DA:71:0B)" << true << "(00:1A:7D:DA:71:0B)";
        QTest::newRow("lower") << "(aa:bb:cc:dd:ee:ff)" << true << "(AA:BB:CC:DD:EE:FF)";
        QTest::newRow("mixed") << "(aA:0b:Cc:1d:Ee:2F)" << true << "(AA:0B:CC:1D:EE:2F)";
        QTest::newRow("no parentheses") << "00:1A:7D:DA:71:0B" << false << "";
        QTest::newRow("18 chars") << "(00:1A:7D:DA:71:0)" << false << "";
        QTest::newRow("20 chars") << "(00:1A:7D:DA:71:0BB)" << false << "";
        QTest::newRow("dash separators") << "(00-1A-7D-DA-71-0B)" << false << "";
        QTest::newRow("non-hex letter") << "(00:1G:7D:DA:71:0B)" << false << "";
        QTest::newRow("colon misplaced") << "(001:A7:DDA:71:0B)" << false << "";
        QTest::newRow("paren inside") << "(00:1A:7D:DA:71:0))" << false << "";
        QTest::newRow("swapped parens") << ")00:1A:7D:DA:71:0B(" << false << "";
        QTest::newRow("space") << "(00:1A:7D:DA:71: B)" << false << "";
        QTest::newRow("empty") << "" << false << "";
        QTest::newRow("error cell") << "Error: 2" << false << "";
        QTest::newRow("full-width digit") << QString::fromUtf8("(00:1A:7D:DA:71:0０)") << false << "";
    }
    void addressValidation() {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QFETCH(QString, stored);
        TwclBluetoothDevice device;
        QCOMPARE(device.Address(), QStringLiteral("(00:00:00:00:00:00)"));
        QCOMPARE(TwclBluetoothDevice::IsValidAddress(text), valid);
        if (valid) {
            device.SetAddress(text);
            QCOMPARE(device.Address(), stored);
            device.SetAddress(device.Address()); // same address: no change
            QCOMPARE(device.Address(), stored);
        } else {
            try {
                device.SetAddress(text);
                QFAIL("no error raised");
            } catch (const EwclError& e) {
                QCOMPARE(e.Message(), text + QStringLiteral(" is not valid Bluetooth address."));
            }
            QCOMPARE(device.Address(), QStringLiteral("(00:00:00:00:00:00)"));
        }
    }

    // Fast false: only what is seen during this search, in the order seen.
    void freshSearchReportsSeenDevicesInOrder() {
        QVERIFY(loadWithAdapter());
        m_bluez->addDevice(kHci, QStringLiteral("00:00:00:00:00:99"),
                           {{QStringLiteral("Name"), QStringLiteral("remembered, away")}});
        m_bluez->addDevice(kHci, QStringLiteral("00:00:00:00:00:77"),
                           {{QStringLiteral("Name"), QStringLiteral("remembered, near")}});
        m_bluez->addNearbyDevice(kHci, QStringLiteral("00:11:22:33:44:01"),
                                 {{QStringLiteral("Name"), QStringLiteral("Phone")},
                                  {QStringLiteral("Class"), 0x20Cu},
                                  {QStringLiteral("DelayMs"), 20u}});
        m_bluez->addNearbyDevice(kHci, QStringLiteral("00:00:00:00:00:77"),
                                 {{QStringLiteral("DelayMs"), 40u}});
        m_bluez->addNearbyDevice(kHci, QStringLiteral("aa:bb:cc:dd:ee:02"),
                                 {{QStringLiteral("DelayMs"), 60u}});
        TwclBluetoothDiscovery discovery;
        Recorder rec;
        rec.attach(&discovery);
        QCOMPARE(discovery.Discovery(&m_radio, 10, false), 0);
        QVERIFY(discovery.Discovering());
        QVERIFY(rec.waitComplete());
        QCOMPARE(rec.events, (QStringList{QStringLiteral("started"), QStringLiteral("complete")}));
        QVERIFY(!rec.failed);
        QVERIFY(!rec.offUiThread);
        QCOMPARE(rec.addresses,
                 (QStringList{QStringLiteral("(00:11:22:33:44:01)"), QStringLiteral("(00:00:00:00:00:77)"),
                              QStringLiteral("(AA:BB:CC:DD:EE:02)")}));
        QVERIFY(!discovery.Discovering());
        QVERIFY2(!adapterDiscovering(), "BlueZ's discovery must be stopped when time is up");
        QTest::qWait(200);
        QCOMPARE(rec.completions, 1);
    }

    void fastSearchReportsEverythingKnown() {
        QVERIFY(loadWithAdapter());
        m_bluez->addDevice(kHci, QStringLiteral("00:00:00:00:00:99"));
        m_bluez->addNearbyDevice(kHci, QStringLiteral("00:11:22:33:44:01"));
        TwclBluetoothDiscovery discovery;
        Recorder rec;
        rec.attach(&discovery);
        QCOMPARE(discovery.Discovery(&m_radio, 10, true), 0);
        QVERIFY(rec.waitComplete());
        QVERIFY(!rec.failed);
        QCOMPARE(rec.addresses.size(), 2);
        QVERIFY(rec.addresses.contains(QStringLiteral("(00:00:00:00:00:99)")));
        QVERIFY(rec.addresses.contains(QStringLiteral("(00:11:22:33:44:01)")));
    }

    void nothingFoundIsAnEmptyList() {
        QVERIFY(loadWithAdapter());
        m_bluez->addDevice(kHci, QStringLiteral("00:00:00:00:00:99")); // known, not around
        TwclBluetoothDiscovery discovery;
        Recorder rec;
        rec.attach(&discovery);
        QCOMPARE(discovery.Discovery(&m_radio, 1, false), 0);
        QVERIFY(rec.waitComplete());
        QVERIFY(!rec.failed);
        QVERIFY(rec.addresses.isEmpty());
    }

    void secondRequestWhileRunning() {
        QVERIFY(loadWithAdapter());
        m_bluez->addNearbyDevice(kHci, QStringLiteral("00:11:22:33:44:01"));
        TwclBluetoothDiscovery discovery, other;
        Recorder rec, otherRec;
        rec.attach(&discovery);
        otherRec.attach(&other);
        QCOMPARE(discovery.Discovery(&m_radio, 10, false), 0);
        QCOMPARE(discovery.Discovery(&m_radio, 3, false), 21);
        QCOMPARE(other.Discovery(&m_radio, 3, false), 21);
        QVERIFY(rec.waitComplete());
        QCOMPARE(rec.addresses, QStringList{QStringLiteral("(00:11:22:33:44:01)")});
        QCOMPARE(rec.completions, 1);
        QVERIFY(otherRec.events.isEmpty());
        // and afterwards a new search is accepted
        QCOMPARE(other.Discovery(&m_radio, 1, false), 0);
        QVERIFY(otherRec.waitComplete());
    }

    void refusedSearchRaisesNoEvent_data() {
        QTest::addColumn<int>("setup"); // 0 not loaded, 1 no radio, 2 timeout 0, 3 foreign stack
        QTest::addColumn<int>("code");
        QTest::newRow("no stack loaded") << 0 << 13;
        QTest::newRow("no radio object") << 1 << 5;
        QTest::newRow("timeout 0") << 2 << 5;
        QTest::newRow("BlueSoleil radio") << 3 << 14;
    }
    void refusedSearchRaisesNoEvent() {
        QFETCH(int, setup);
        QFETCH(int, code);
        if (setup == 0) {
            m_bluez->addAdapter();
            m_radio.Assign(TwclBluetoothRadio());
        } else {
            QVERIFY(loadWithAdapter());
        }
        TwclBluetoothRadio foreign;
        TwclBluetoothRadio bluez;
        if (setup == 0) {
            // a BlueZ radio from an earlier load, used after none is loaded
            QCOMPARE(m_api->Load(), 0);
            TwclBluetoothDiscovery d;
            TwclBluetoothRadios radios;
            QCOMPARE(d.EnumRadios(&radios), 0);
            bluez.Assign(*radios.Items(0));
            m_api->Unload();
        }
        TwclBluetoothDiscovery discovery;
        Recorder rec;
        rec.attach(&discovery);
        int got = -1;
        switch (setup) {
        case 0:
            got = discovery.Discovery(&bluez, 1, false);
            break;
        case 1:
            got = discovery.Discovery(nullptr, 1, false);
            break;
        case 2:
            got = discovery.Discovery(&m_radio, 0, false);
            break;
        default:
            got = discovery.Discovery(&foreign, 1, false);
            break;
        }
        QCOMPARE(got, code);
        QVERIFY(!discovery.Discovering());
        QTest::qWait(300);
        QVERIFY(rec.events.isEmpty());
    }

    void startRefusedByBluezFails() {
        QVERIFY(loadWithAdapter());
        QVERIFY(m_bluez->setDiscoveryError(kHci, QStringLiteral("org.bluez.Error.NotReady")));
        TwclBluetoothDiscovery discovery;
        Recorder rec;
        rec.attach(&discovery);
        QCOMPARE(discovery.Discovery(&m_radio, 3, false), 0);
        QVERIFY(rec.waitComplete(3000));
        QCOMPARE(rec.events, (QStringList{QStringLiteral("started"), QStringLiteral("complete")}));
        QVERIFY(rec.failed);
    }

    void bluezVanishingFailsTheSearch() {
        QVERIFY(loadWithAdapter());
        TwclBluetoothDiscovery discovery;
        Recorder rec;
        rec.attach(&discovery);
        QCOMPARE(discovery.Discovery(&m_radio, 50, false), 0); // 5 s
        QTRY_COMPARE(rec.events.size(), 1);
        QElapsedTimer t;
        t.start();
        QVERIFY(m_bluez->killBluez());
        QVERIFY(rec.waitComplete(3000));
        QVERIFY(t.elapsed() < 3000);
        QVERIFY(rec.failed);
        QTest::qWait(200);
        QCOMPARE(rec.completions, 1);
        // BlueZ back: the next search works
        QVERIFY(m_bluez->restartBluez());
        m_bluez->addNearbyDevice(kHci, QStringLiteral("00:11:22:33:44:01"));
        Recorder rec2;
        rec2.attach(&discovery);
        QCOMPARE(discovery.Discovery(&m_radio, 10, false), 0);
        QVERIFY(rec2.waitComplete());
        QCOMPARE(rec2.addresses, QStringList{QStringLiteral("(00:11:22:33:44:01)")});
    }

    void adapterRemovedFailsTheSearch() {
        QVERIFY(loadWithAdapter());
        TwclBluetoothDiscovery discovery;
        Recorder rec;
        rec.attach(&discovery);
        QCOMPARE(discovery.Discovery(&m_radio, 50, false), 0);
        QTRY_COMPARE(rec.events.size(), 1);
        QCOMPARE(m_bluez->callMock(QStringLiteral("RemoveAdapter"), {kHci}).type(),
                 QDBusMessage::ReplyMessage);
        QVERIFY(rec.waitComplete(3000));
        QVERIFY(rec.failed);
        TwclBluetoothRadios radios;
        QCOMPARE(discovery.EnumRadios(&radios), 0);
        QCOMPARE(radios.Count(), 0);
        QCOMPARE(discovery.Discovery(&m_radio, 1, false), int(WCL_E_BLUETOOTH_RADIO_UNAVAILABLE));
    }

    // The window's shutdown: Unload while a search runs reports a failed search
    // at once, while the caller (and what the handler touches) still exists.
    void unloadDuringSearch_data() {
        QTest::addColumn<bool>("beforeStartReply");
        QTest::newRow("running") << false;
        QTest::newRow("just requested") << true;
    }
    void unloadDuringSearch() {
        QFETCH(bool, beforeStartReply);
        QVERIFY(loadWithAdapter());
        m_bluez->addNearbyDevice(kHci, QStringLiteral("00:11:22:33:44:01"));
        auto discovery = std::make_unique<TwclBluetoothDiscovery>();
        auto list = std::make_unique<QStringList>(); // stands for the window's controls
        Recorder rec;
        rec.attach(discovery.get());
        QObject::connect(discovery.get(), &TwclBluetoothDiscovery::OnDiscoveryComplete, discovery.get(),
                         [&list](QObject*, TwclBluetoothRadio*, TwclBluetoothDevices* devices) {
                             list->append(devices ? QStringLiteral("list") : QStringLiteral("failed"));
                         });
        QCOMPARE(discovery->Discovery(&m_radio, 50, false), 0);
        if (!beforeStartReply)
            QTRY_COMPARE(rec.events.size(), 1);
        QCOMPARE(m_api->Unload(), 0);
        // reported inside Unload
        QCOMPARE(rec.events, (QStringList{QStringLiteral("started"), QStringLiteral("complete")}));
        QVERIFY(rec.failed);
        QCOMPARE(*list, QStringList{QStringLiteral("failed")});
        list.reset();
        discovery.reset();
        QTest::qWait(300); // late replies must find nothing to call
        QCOMPARE(rec.completions, 1);
        QTRY_VERIFY(!adapterDiscovering());
    }

    void discoveryObjectFreedDuringSearch() {
        QVERIFY(loadWithAdapter());
        auto discovery = std::make_unique<TwclBluetoothDiscovery>();
        Recorder rec;
        rec.attach(discovery.get());
        QCOMPARE(discovery->Discovery(&m_radio, 50, false), 0);
        discovery.reset();
        QTest::qWait(300);
        QVERIFY(rec.events.isEmpty());
        QTRY_VERIFY(!adapterDiscovering());
        TwclBluetoothDiscovery next;
        QCOMPARE(next.Discovery(&m_radio, 1, false), 0);
    }

    void handlerMayStartTheNextSearch() {
        QVERIFY(loadWithAdapter());
        TwclBluetoothDiscovery discovery;
        int completions = 0;
        int restart = -1;
        QObject::connect(&discovery, &TwclBluetoothDiscovery::OnDiscoveryComplete, &discovery,
                         [&](QObject*, TwclBluetoothRadio* radio, TwclBluetoothDevices*) {
                             if (++completions == 1)
                                 restart = discovery.Discovery(radio, 1, false);
                         });
        QCOMPARE(discovery.Discovery(&m_radio, 1, false), 0);
        QTRY_COMPARE(completions, 2);
        QCOMPARE(restart, 0);
    }

    void deviceQueries() {
        QVERIFY(loadWithAdapter());
        const QString named = QStringLiteral("00:11:22:33:44:01");
        const QString nameless = QStringLiteral("00:11:22:33:44:02");
        const QString topBit = QStringLiteral("00:11:22:33:44:03");
        const QString failing = QStringLiteral("00:11:22:33:44:04");
        m_bluez->addDevice(kHci, named,
                           {{QStringLiteral("Name"), QStringLiteral("Phone ☎")},
                            {QStringLiteral("Class"), 0x20Cu},
                            {QStringLiteral("Paired"), true}});
        m_bluez->addDevice(kHci, nameless);
        m_bluez->addDevice(
            kHci, topBit,
            {{QStringLiteral("Name"), QStringLiteral("Odd")}, {QStringLiteral("Class"), 0x8000020Cu}});
        m_bluez->addDevice(
            kHci, failing,
            {{QStringLiteral("Name"), QStringLiteral("Mute")}, {QStringLiteral("Class"), 0x5A020Cu}});
        QVERIFY(m_bluez->failProperty(SimulatedBluez::devicePath(kHci, failing), kDeviceIface,
                                      QStringLiteral("Alias"), QStringLiteral("org.bluez.Error.Failed"),
                                      QStringLiteral("get")));
        TwclBluetoothDevice device;
        quint32 cod = 0;
        QString name;
        bool paired = false;

        device.SetAddress(QLatin1Char('(') + named + QLatin1Char(')'));
        QCOMPARE(device.GetClassOfDevice(&m_radio, cod), 0);
        QCOMPARE(cod, 524u);
        QCOMPARE(device.GetName(&m_radio, name), 0);
        QCOMPARE(name, QStringLiteral("Phone ☎"));
        QCOMPARE(device.GetPaired(&m_radio, paired), 0);
        QVERIFY(paired);

        device.SetAddress(QLatin1Char('(') + nameless + QLatin1Char(')'));
        QCOMPARE(device.GetClassOfDevice(&m_radio, cod), int(WCL_E_BLUETOOTH_VALUE_NOT_AVAILABLE));
        QCOMPARE(device.GetName(&m_radio, name), 0);
        QCOMPARE(name, QStringLiteral("00-11-22-33-44-02")); // BlueZ's alias of a nameless device
        QCOMPARE(device.GetPaired(&m_radio, paired), 0);
        QVERIFY(!paired);

        device.SetAddress(QLatin1Char('(') + topBit + QLatin1Char(')'));
        QCOMPARE(device.GetClassOfDevice(&m_radio, cod), 0);
        QCOMPARE(cod, 0x8000020Cu);
        QVERIFY(cod > 2147483647u);

        device.SetAddress(QLatin1Char('(') + failing + QLatin1Char(')'));
        QCOMPARE(device.GetName(&m_radio, name), int(WCL_E_BLUETOOTH_OPERATION_FAILED));
        QCOMPARE(device.GetClassOfDevice(&m_radio, cod), 0);
        QCOMPARE(device.GetPaired(&m_radio, paired), 0);

        device.SetAddress(QStringLiteral("(01:02:03:04:05:06)")); // BlueZ has never heard of it
        QCOMPARE(device.GetName(&m_radio, name), int(WCL_E_BLUETOOTH_DEVICE_NOT_FOUND));
        QCOMPARE(device.GetPaired(&m_radio, paired), int(WCL_E_BLUETOOTH_DEVICE_NOT_FOUND));
    }

    void devicesListOwnsItems() {
        TwclBluetoothDevices devices;
        QCOMPARE(devices.Count(), 0);
        devices.Add(QStringLiteral("(00:11:22:33:44:55)"));
        QCOMPARE(devices.Count(), 1);
        QCOMPARE(devices.Items(0)->Address(), QStringLiteral("(00:11:22:33:44:55)"));
        QVERIFY_THROWS_EXCEPTION(EListError, devices.Items(1));
        QVERIFY_THROWS_EXCEPTION(EListError, devices.Items(-1));
        QVERIFY_THROWS_EXCEPTION(EwclError, devices.Add(QStringLiteral("nonsense")));
        QCOMPARE(devices.Count(), 1);
    }
};

QTEST_MAIN(TestWclDiscovery)
#include "tst_wcldiscovery.moc"
