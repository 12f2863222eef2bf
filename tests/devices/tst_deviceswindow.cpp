// Device search, the device list, pairing and unpairing of the window, against the simulated BlueZ.
#include "Application.h"
#include "Controls.h"
#include "DeviceControl.h"
#include "MessageBoxes.h"
#include "SimulatedBluez.h"
#include "TAdvOfficeStatusBar.h"
#include "TAdvSmoothWin8Marquee.h"
#include "TAeroSpeedButton.h"
#include "TfmVelkor.h"
#include "wclBluetooth.h"
#include "wclTesting.h"

#include <QSignalSpy>
#include <QTest>
#include <QTreeWidgetItem>

using vcl::MessageBoxSpy;
using vcl::MsgType;

namespace {
const QString Hci0 = QStringLiteral("hci0");
const QString Device1 = QStringLiteral("org.bluez.Device1");
const QString NoApi = QStringLiteral("No Bluetooth API was found.");
const QString NoTransport = QStringLiteral("Specified transport is not available.");
const QString SelectDevice = QStringLiteral("Select device");
const QString Searching = QStringLiteral("検出中.....");
// Inquiry unit for tests: a search of 15 units lasts 15 * 80 ms, time enough for a loaded machine.
constexpr int UnitMs = 80;
constexpr int CompletionWaitMs = 15000;

// Sub-items of a device row.
enum { ClassCell = 0, NameCell = 1, PairedCell = 2 };

std::unique_ptr<TfmVelkor> makeWindow() {
    auto w = std::make_unique<TfmVelkor>(TfmVelkor::Options{.runFormCreate = false});
    w->wclAPI->Load();
    return w;
}

bool indicatorOn(TfmVelkor* w) {
    return !w->Marquee1->isHidden();
}

QString panel0(TfmVelkor* w) {
    return w->StatusBar1->PanelText(0);
}

QString addressText(const QString& address) {
    return QLatin1Char('(') + address + QLatin1Char(')');
}

QStringList captions(TListView* list) {
    QStringList out;
    for (int i = 0; i < list->RowCount(); ++i)
        out << TListView::Caption(list->Row(i));
    return out;
}
} // namespace

class TestDevicesWindow : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<SimulatedBluez> m_bluez;

    bool startBluez(bool withAdapter = true) {
        m_bluez = std::make_unique<SimulatedBluez>();
        if (!m_bluez->start()) {
            qWarning() << m_bluez->lastError();
            return false;
        }
        return !withAdapter || !m_bluez->addAdapter().isEmpty();
    }
    QString devicePath(const QString& address) { return SimulatedBluez::devicePath(Hci0, address); }

    // Clicks the search button and waits for the completion to be handled.
    static bool searchAndWait(TfmVelkor* w) {
        QSignalSpy done(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryComplete);
        w->DiscoverBtn2->click();
        return done.wait(CompletionWaitMs);
    }

    // A finished search that listed one device, selected: its address.
    QString listOneDevice(TfmVelkor* w,
                          const QVariantMap& options = {{QStringLiteral("Name"), QStringLiteral("Phone")}}) {
        const QString address = QStringLiteral("00:11:22:33:44:55");
        m_bluez->addNearbyDevice(Hci0, address, options);
        MessageBoxSpy boxes;
        if (!searchAndWait(w) || w->lvDevices2->RowCount() != 1 || boxes.count() != 0)
            return {};
        return address;
    }

private Q_SLOTS:
    void initTestCase() {
        TwclBluetoothDiscovery::setInquiryUnitMs(UnitMs);
        wcl::testing::setCallTimeoutMs(1500);
        wcl::testing::setPairTimeoutMs(5000);
    }
    void cleanup() { m_bluez.reset(); }

    // Three devices found: three rows in order, the last selected, cells filled, indicator off.
    void searchFillsTheList() {
        QVERIFY(startBluez());
        const QString a = QStringLiteral("00:11:22:33:44:01");
        const QString b = QStringLiteral("00:11:22:33:44:02");
        const QString c = QStringLiteral("00:11:22:33:44:03");
        m_bluez->addNearbyDevice(Hci0, a,
                                 {{QStringLiteral("Name"), QStringLiteral("Phone")},
                                  {QStringLiteral("Class"), 0x20Cu},
                                  {QStringLiteral("DelayMs"), 30u}});
        m_bluez->addNearbyDevice(Hci0, b,
                                 {{QStringLiteral("Name"), QStringLiteral("Top bit")},
                                  {QStringLiteral("Class"), 0x8000020Cu},
                                  {QStringLiteral("DelayMs"), 60u}});
        // Nameless and without a class of device: still listed.
        m_bluez->addNearbyDevice(Hci0, c,
                                 {{QStringLiteral("Paired"), true}, {QStringLiteral("DelayMs"), 90u}});
        // Known to BlueZ from earlier, not seen now: not part of a fresh search.
        m_bluez->addDevice(Hci0, QStringLiteral("00:11:22:33:44:99"),
                           {{QStringLiteral("Name"), QStringLiteral("Old")}});
        auto w = makeWindow();
        QVERIFY(!indicatorOn(w.get()));

        MessageBoxSpy boxes;
        QSignalSpy done(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryComplete);
        w->DiscoverBtn2->click();
        QVERIFY(indicatorOn(w.get()));
        QCOMPARE(panel0(w.get()), Searching);
        QVERIFY(done.wait(CompletionWaitMs));

        QCOMPARE(boxes.texts(), QStringList());
        QCOMPARE(captions(w->lvDevices2), (QStringList{addressText(a), addressText(b), addressText(c)}));
        QCOMPARE(w->lvDevices2->Selected(), w->lvDevices2->Row(2));
        auto sub = [&](int row, int cell) { return TListView::SubItem(w->lvDevices2->Row(row), cell); };
        QCOMPARE(sub(0, ClassCell), QStringLiteral("524"));
        QCOMPARE(sub(0, NameCell), QStringLiteral("Phone"));
        QCOMPARE(sub(0, PairedCell), QStringLiteral("NO"));
        QCOMPARE(sub(1, ClassCell), QString::number(0x8000020Cu));
        QVERIFY(sub(1, ClassCell).toULongLong() > 2147483647ull);
        QCOMPARE(sub(1, NameCell), QStringLiteral("Top bit"));
        // No class of device known: an error code, not 0.
        QCOMPARE(sub(2, ClassCell), QStringLiteral("Error: %1").arg(WCL_E_BLUETOOTH_VALUE_NOT_AVAILABLE));
        QVERIFY(!sub(2, NameCell).isEmpty());
        QCOMPARE(sub(2, PairedCell), QStringLiteral("YES"));
        QVERIFY(!indicatorOn(w.get()));
        QCOMPARE(panel0(w.get()), QString());
        QCOMPARE(done.count(), 1);
    }

    // A name query that fails fills only its own cell.
    void failingNameQuery() {
        QVERIFY(startBluez());
        const QString address = QStringLiteral("00:11:22:33:44:55");
        // A device BlueZ knows, seen again during the search.
        m_bluez->addDevice(
            Hci0, address,
            {{QStringLiteral("Name"), QStringLiteral("Phone")}, {QStringLiteral("Class"), 0x5A020Cu}});
        m_bluez->addNearbyDevice(Hci0, address);
        for (const char* prop : {"Alias", "Name"})
            QVERIFY(m_bluez->failProperty(devicePath(address), Device1, QString::fromLatin1(prop),
                                          QStringLiteral("org.bluez.Error.NotSupported"),
                                          QStringLiteral("get")));
        auto w = makeWindow();
        MessageBoxSpy boxes;
        QVERIFY(searchAndWait(w.get()));
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(w->lvDevices2->RowCount(), 1);
        QTreeWidgetItem* row = w->lvDevices2->Row(0);
        QCOMPARE(TListView::Caption(row), addressText(address));
        QCOMPARE(TListView::SubItem(row, ClassCell), QString::number(0x5A020C));
        QCOMPARE(TListView::SubItem(row, NameCell), QStringLiteral("Error: 4"));
        QCOMPARE(TListView::SubItem(row, PairedCell), QStringLiteral("NO"));
    }

    // Nothing found / failed search: the box comes while the indicator still runs; it
    // goes off after OK. The list is empty either way (it was cleared when the search started).
    void searchEndsWithBox_data() {
        QTest::addColumn<int>("how"); // 0 nothing around, 1 BlueZ goes away, 2 BlueZ refuses to start
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("type");
        QTest::newRow("nothing found") << 0 << "Nothing found" << int(MsgType::Information);
        QTest::newRow("BlueZ gone") << 1 << "Discovery complete with error" << int(MsgType::Error);
        QTest::newRow("start refused") << 2 << "Discovery complete with error" << int(MsgType::Error);
    }
    void searchEndsWithBox() {
        QFETCH(int, how);
        QFETCH(QString, text);
        QFETCH(int, type);
        QVERIFY(startBluez());
        if (how == 2)
            QVERIFY(m_bluez->setDiscoveryError(Hci0, QStringLiteral("org.bluez.Error.NotReady")));
        auto w = makeWindow();
        // A row of an earlier search: it goes when this search starts.
        w->lvDevices2->SetSelected(w->lvDevices2->AddRow(QStringLiteral("(00:11:22:33:44:55)")));

        MessageBoxSpy boxes;
        bool indicatorWhileOpen = false;
        QString panelWhileOpen;
        int rowsWhileOpen = -1;
        boxes.onShow([&](const vcl::ShownMessage&) {
            indicatorWhileOpen = indicatorOn(w.get());
            panelWhileOpen = panel0(w.get());
            rowsWhileOpen = w->lvDevices2->RowCount();
        });
        QSignalSpy started(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryStarted);
        QSignalSpy done(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryComplete);
        w->DiscoverBtn2->click();
        if (how == 1) {
            QVERIFY(started.count() == 1 || started.wait(5000));
            QCOMPARE(w->lvDevices2->RowCount(), 0);
            QVERIFY(m_bluez->killBluez());
        }
        QVERIFY(done.count() == 1 || done.wait(CompletionWaitMs));
        QCOMPARE(boxes.texts(), QStringList{text});
        QCOMPARE(int(boxes.messages().first().type), type);
        QVERIFY(indicatorWhileOpen);
        QCOMPARE(panelWhileOpen, Searching);
        // An accepted search always reports its start first, which empties the list.
        QCOMPARE(started.count(), 1);
        QCOMPARE(rowsWhileOpen, 0);
        QVERIFY(!indicatorOn(w.get()));
        QCOMPARE(panel0(w.get()), QString());
        QCOMPARE(w->lvDevices2->RowCount(), 0);
        QCOMPARE(done.count(), 1);
    }

    // A second click while a search runs: "Discovering operation is active.", nothing else changes,
    // and the running search completes as usual.
    void secondClickWhileSearching() {
        QVERIFY(startBluez());
        m_bluez->addNearbyDevice(Hci0, QStringLiteral("00:11:22:33:44:01"),
                                 {{QStringLiteral("Name"), QStringLiteral("A")}});
        auto w = makeWindow();
        MessageBoxSpy boxes;
        QSignalSpy started(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryStarted);
        QSignalSpy done(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryComplete);
        w->DiscoverBtn2->click();
        QVERIFY(started.count() == 1 || started.wait(5000));
        w->DiscoverBtn2->click();
        QCOMPARE(boxes.texts(), QStringList{QStringLiteral("Discovering operation is active.")});
        QVERIFY(indicatorOn(w.get()));
        QCOMPARE(panel0(w.get()), Searching);
        QVERIFY(done.wait(CompletionWaitMs));
        QCOMPARE(w->lvDevices2->RowCount(), 1);
        QVERIFY(!indicatorOn(w.get()));
        QCOMPARE(panel0(w.get()), QString());
        QTest::qWait(5 * UnitMs);
        QCOMPARE(started.count(), 1);
        QCOMPARE(done.count(), 1);
        QCOMPARE(boxes.count(), 1);
    }

    // The running search ends while the "Discovering operation is active." box of a second
    // click is still open: after OK the indicator must not come back on for a search that is over.
    void searchEndsWhileActiveBoxOpen() {
        QVERIFY(startBluez());
        auto w = makeWindow();
        MessageBoxSpy boxes;
        QSignalSpy started(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryStarted);
        QSignalSpy done(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryComplete);
        w->DiscoverBtn2->click();
        QVERIFY(started.count() == 1 || started.wait(5000));
        bool completedWhileOpen = false;
        boxes.onShow([&](const vcl::ShownMessage& m) {
            // A real box runs an event loop: the completion can arrive meanwhile.
            if (m.text == QLatin1String("Discovering operation is active."))
                completedWhileOpen = done.wait(CompletionWaitMs);
        });
        w->DiscoverBtn2->click();
        QVERIFY(completedWhileOpen);
        QCOMPARE(boxes.texts(), (QStringList{QStringLiteral("Discovering operation is active."),
                                             QStringLiteral("Nothing found")}));
        QVERIFY(!indicatorOn(w.get()));
        QCOMPARE(panel0(w.get()), QString());
    }

    // A refused search request: the library's box, and no indicator, since no completion
    // would ever turn it off. The rows of the last search stay.
    void refusedSearchLeavesIndicatorOff_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("no transport") << 13 << "Specified transport is not available.";
        QTest::newRow("invalid argument") << 5 << "Invalid argument.";
        QTest::newRow("unknown code") << 7 << "Unknown error";
        // 21 with no search of this window running: nothing of ours will complete.
        QTest::newRow("someone else's search") << 21 << "Discovering operation is active.";
    }
    void refusedSearchLeavesIndicatorOff() {
        QFETCH(int, code);
        QFETCH(QString, text);
        QVERIFY(startBluez());
        auto w = makeWindow();
        w->lvDevices2->SetSelected(w->lvDevices2->AddRow(QStringLiteral("(00:11:22:33:44:55)")));
        auto* devices = w->findChild<DeviceControl*>();
        QVERIFY(devices);
        MessageBoxSpy boxes;
        devices->searchRequested(code, false);
        QCOMPARE(boxes.texts(), QStringList{text});
        QVERIFY(!indicatorOn(w.get()));
        QCOMPARE(panel0(w.get()), QString());
        QCOMPARE(w->lvDevices2->RowCount(), 1);
        QVERIFY(!devices->searchPending());
    }

    // The same through the button: another discovery component of the process is searching,
    // so the library answers 21 to this window, whose own completion will never come.
    void otherComponentSearching() {
        QVERIFY(startBluez());
        m_bluez->addNearbyDevice(Hci0, QStringLiteral("00:11:22:33:44:01"));
        auto w = makeWindow();
        TwclBluetoothDiscovery other;
        QSignalSpy otherDone(&other, &TwclBluetoothDiscovery::OnDiscoveryComplete);
        TwclBluetoothRadios radios;
        QCOMPARE(other.EnumRadios(&radios), 0);
        QCOMPARE(radios.Count(), 1);
        QCOMPARE(other.Discovery(radios.Items(0), 15, false), 0);

        MessageBoxSpy boxes;
        QSignalSpy done(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryComplete);
        w->DiscoverBtn2->click();
        QCOMPARE(boxes.texts(), QStringList{QStringLiteral("Discovering operation is active.")});
        QVERIFY(!indicatorOn(w.get()));
        QCOMPARE(panel0(w.get()), QString());
        QVERIFY(otherDone.wait(CompletionWaitMs));
        QCOMPARE(done.count(), 0);
        QCOMPARE(w->lvDevices2->RowCount(), 0);
    }

    // Without a working radio each button shows the radio boxes only.
    void noRadio_data() {
        QTest::addColumn<QString>("button");
        QTest::newRow("search") << "DiscoverBtn2";
        QTest::newRow("pair") << "PairBtn";
        QTest::newRow("unpair") << "UnPairBtn";
    }
    void noRadio() {
        QFETCH(QString, button);
        QVERIFY(startBluez(false));
        QVERIFY(m_bluez->killBluez());
        auto w = makeWindow();
        // A row from somewhere, so "Select device" would have a reason not to show.
        w->lvDevices2->SetSelected(w->lvDevices2->AddRow(QStringLiteral("(00:11:22:33:44:55)")));
        MessageBoxSpy boxes;
        w->findChild<TAeroSpeedButton*>(button)->click();
        QCOMPARE(boxes.texts(), (QStringList{NoTransport, NoApi}));
        QVERIFY(!indicatorOn(w.get()));
        QCOMPARE(w->lvDevices2->RowCount(), 1);
    }

    // With a radio and no selected row, pairing and unpairing show "Select device" only.
    void noSelectedRow_data() {
        QTest::addColumn<QString>("button");
        QTest::newRow("pair") << "PairBtn";
        QTest::newRow("unpair") << "UnPairBtn";
    }
    void noSelectedRow() {
        QFETCH(QString, button);
        QVERIFY(startBluez());
        auto w = makeWindow();
        w->lvDevices2->AddRow(QStringLiteral("(00:11:22:33:44:55)"));
        MessageBoxSpy boxes;
        w->findChild<TAeroSpeedButton*>(button)->click();
        QCOMPARE(boxes.texts(), QStringList{SelectDevice});
        QCOMPARE(boxes.messages().first().type, MsgType::Warning);
        QCOMPARE(boxes.messages().first().caption, QStringLiteral("警告"));
    }

    // Numeric comparison is confirmed without a prompt; no box; the Paired cell keeps the
    // search's value; a second pairing is refused; unpairing removes the pairing in BlueZ.
    void pairAndUnpair() {
        QVERIFY(startBluez());
        auto w = makeWindow();
        const QString address = listOneDevice(w.get());
        QVERIFY(!address.isEmpty());
        const QString path = devicePath(address);
        QVERIFY(m_bluez->setPairBehaviour(path, QStringLiteral("confirm")));

        MessageBoxSpy boxes;
        w->PairBtn->click();
        QCOMPARE(boxes.texts(), QStringList());
        QCOMPARE(m_bluez->property(path, Device1, QStringLiteral("Paired")), QVariant(true));
        QCOMPARE(m_bluez->pairingLog(path).value(QStringLiteral("Method")).toString(),
                 QStringLiteral("RequestConfirmation"));
        QCOMPARE(TListView::SubItem(w->lvDevices2->Selected(), PairedCell), QStringLiteral("NO"));

        w->PairBtn->click();
        QCOMPARE(boxes.texts(), QStringList{QStringLiteral("Device is already paired.")});
        QCOMPARE(boxes.messages().first().type, MsgType::Error);

        boxes.clear();
        w->UnPairBtn->click();
        QCOMPARE(boxes.texts(), QStringList());
        QVERIFY(!m_bluez->objectExists(path));
        QCOMPARE(TListView::SubItem(w->lvDevices2->Selected(), PairedCell), QStringLiteral("NO"));
    }

    void numericComparisonConfirms() {
        bool confirm = false;
        DeviceControl::DeviceNumericComparison(nullptr, 123456, confirm);
        QVERIFY(confirm);
    }

    // An edited caption that is not an address: the application-wide exception message.
    void editedCaptionIsRefused_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("caption");
        QTest::newRow("pair, text") << "PairBtn"
                                    << "my phone";
        QTest::newRow("unpair, one short") << "UnPairBtn"
                                           << "(00:11:22:33:44:5)";
        QTest::newRow("pair, no parentheses") << "PairBtn"
                                              << "_00:11:22:33:44:55_";
        QTest::newRow("unpair, empty") << "UnPairBtn"
                                       << "";
    }
    void editedCaptionIsRefused() {
        QFETCH(QString, button);
        QFETCH(QString, caption);
        QVERIFY(startBluez());
        auto w = makeWindow();
        QVERIFY(!listOneDevice(w.get()).isEmpty());
        TListView::SetCaption(w->lvDevices2->Selected(), caption);
        MessageBoxSpy boxes;
        w->findChild<TAeroSpeedButton*>(button)->click();
        QCOMPARE(boxes.texts(), QStringList{caption + QStringLiteral(" is not valid Bluetooth address.")});
        QCOMPARE(boxes.messages().first().type, MsgType::Stop);
        QCOMPARE(boxes.messages().first().caption, vcl::Application::Title());
        // The window goes on as before.
        boxes.clear();
        TListView::SetCaption(w->lvDevices2->Selected(), QStringLiteral("(00:11:22:33:44:55)"));
        w->PairBtn->click();
        QCOMPARE(boxes.texts(), QStringList());
    }

    // An edited caption with another valid address addresses that device.
    void editedValidCaptionAddressesThatDevice() {
        QVERIFY(startBluez());
        const QString other = QStringLiteral("00:AA:BB:CC:DD:EE");
        m_bluez->addDevice(
            Hci0, other,
            {{QStringLiteral("Name"), QStringLiteral("Other")}, {QStringLiteral("Paired"), true}});
        auto w = makeWindow();
        const QString listed = listOneDevice(w.get());
        QVERIFY(!listed.isEmpty());
        TListView::SetCaption(w->lvDevices2->Selected(), QStringLiteral("(00:aa:bb:cc:dd:ee)"));
        MessageBoxSpy boxes;
        w->UnPairBtn->click();
        QCOMPARE(boxes.texts(), QStringList());
        QVERIFY(!m_bluez->objectExists(devicePath(other)));
        QVERIFY(m_bluez->objectExists(devicePath(listed)));
    }

    // Closing the window while a search runs: the completion runs as a failed search during
    // the window's destruction, adds no row, and touches nothing freed (run under ASan).
    void closeWhileSearching() {
        QVERIFY(startBluez());
        m_bluez->addNearbyDevice(Hci0, QStringLiteral("00:11:22:33:44:01"),
                                 {{QStringLiteral("DelayMs"), 5000u}});
        auto w = makeWindow();
        TfmVelkor* window = w.get();
        MessageBoxSpy boxes;
        int rowsWhileOpen = -1;
        bool indicatorWhileOpen = false;
        boxes.onShow([&](const vcl::ShownMessage&) {
            rowsWhileOpen = window->lvDevices2->RowCount();
            indicatorWhileOpen = indicatorOn(window);
        });
        QSignalSpy started(w->wclBluetoothDiscovery, &TwclBluetoothDiscovery::OnDiscoveryStarted);
        w->DiscoverBtn2->click();
        QVERIFY(started.count() == 1 || started.wait(5000));
        w.reset();
        QCOMPARE(boxes.texts(), QStringList{QStringLiteral("Discovery complete with error")});
        QCOMPARE(rowsWhileOpen, 0);
        QVERIFY(indicatorWhileOpen);
        QTest::qWait(2 * UnitMs);
        QCOMPARE(boxes.count(), 1);
    }
};

QTEST_MAIN(TestDevicesWindow)
#include "tst_deviceswindow.moc"
