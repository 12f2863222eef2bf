// The radio list and the two switches of the window, against the simulated BlueZ.
#include "Controls.h"
#include "MessageBoxes.h"
#include "RadioControl.h"
#include "SimulatedBluez.h"
#include "TfmVelkor.h"
#include "wclBluetooth.h"
#include "wclTesting.h"

#include <QSignalSpy>
#include <QTest>
#include <QTreeWidgetItem>

using vcl::MessageBoxSpy;
using vcl::MsgType;

namespace {
const QString Adapter1 = QStringLiteral("org.bluez.Adapter1");
const QString Hci0 = QStringLiteral("hci0");
const QString AdapterPath = QStringLiteral("/org/bluez/hci0");
const QString AdapterAddress = QStringLiteral("00:1A:7D:DA:71:13");
const QString AddressText = QStringLiteral("(00:1A:7D:DA:71:13)");
const QString NotSupported = QStringLiteral("org.bluez.Error.NotSupported");
const QString NoApi = QStringLiteral("No Bluetooth API was found.");
const QString NoTransport = QStringLiteral("Specified transport is not available.");
const QString FeatureNotSupported = QStringLiteral("Feature is not supported.");

// Sub-items of a radio row.
enum { ApiCell = 0, ConnectableCell = 1, DiscoverableCell = 2, NameCell = 3 };

// A window as FormCreate leaves it (library loaded), without the update wizard.
std::unique_ptr<TfmVelkor> makeWindow() {
    auto w = std::make_unique<TfmVelkor>(TfmVelkor::Options{.runFormCreate = false});
    w->wclAPI->Load();
    return w;
}

QString cell(TListView* list, int sub) {
    return TListView::SubItem(list->Selected(), sub);
}

QString yesNo(bool b) {
    return b ? QStringLiteral("Yes") : QStringLiteral("No");
}

// The user switches a slider with the keyboard: Home is On, End is Off.
void userSets(TAdvSmoothSlider* slider, TAdvSmoothSliderState state) {
    QTest::keyClick(slider, state == ssOn ? Qt::Key_Home : Qt::Key_End);
}
} // namespace

class TestRadioWindow : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<SimulatedBluez> m_bluez;

    bool startBluez() {
        m_bluez = std::make_unique<SimulatedBluez>();
        if (!m_bluez->start()) {
            qWarning() << m_bluez->lastError();
            return false;
        }
        return true;
    }
    QString addAdapter(bool discoverable, const QVariant& connectable, bool powered = true) {
        return m_bluez->addAdapter(Hci0, QStringLiteral("sarnavel-test"), connectable,
                                   {{QStringLiteral("Address"), AdapterAddress},
                                    {QStringLiteral("Powered"), powered},
                                    {QStringLiteral("Discoverable"), discoverable},
                                    {QStringLiteral("DiscoverableTimeout"), 0u}});
    }
    QVariant adapterProp(const QString& name) { return m_bluez->property(AdapterPath, Adapter1, name); }

private Q_SLOTS:
    void initTestCase() { wcl::testing::setCallTimeoutMs(1500); }
    void cleanup() { m_bluez.reset(); }

    // One adapter: one selected row, sliders enabled showing its flags, nothing written, no box.
    void fillShowsTheAdapter_data() {
        QTest::addColumn<bool>("discoverable");
        QTest::addColumn<QVariant>("connectable"); // invalid: BlueZ without Adapter1.Connectable
        QTest::addColumn<bool>("powered");
        QTest::addColumn<bool>("shownConnectable");
        QTest::newRow("discoverable, not connectable") << true << QVariant(false) << true << false;
        QTest::newRow("hidden, connectable") << false << QVariant(true) << true << true;
        QTest::newRow("old BlueZ, powered") << false << QVariant() << true << true;
        QTest::newRow("old BlueZ, powered off") << false << QVariant() << false << false;
    }
    void fillShowsTheAdapter() {
        QFETCH(bool, discoverable);
        QFETCH(QVariant, connectable);
        QFETCH(bool, powered);
        QFETCH(bool, shownConnectable);
        QVERIFY(startBluez());
        addAdapter(discoverable, connectable, powered);
        auto w = makeWindow();
        QVERIFY(!w->Slider1->isEnabled() && !w->Slider2->isEnabled());
        m_bluez->clearCalls(AdapterPath);

        MessageBoxSpy boxes;
        w->EnumBLDevice();

        QCOMPARE(boxes.texts(), QStringList());
        QCOMPARE(w->lvRadios->RowCount(), 1);
        QCOMPARE(w->lvRadios->Selected(), w->lvRadios->Row(0));
        QCOMPARE(TListView::Caption(w->lvRadios->Row(0)), AddressText);
        QCOMPARE(cell(w->lvRadios, ApiCell), QStringLiteral("BlueZ"));
        QCOMPARE(cell(w->lvRadios, ConnectableCell), yesNo(shownConnectable));
        QCOMPARE(cell(w->lvRadios, DiscoverableCell), yesNo(discoverable));
        QCOMPARE(cell(w->lvRadios, NameCell), QStringLiteral("sarnavel-test"));
        QVERIFY(w->Slider1->isEnabled() && w->Slider2->isEnabled());
        QCOMPARE(w->Slider1->State(), discoverable ? ssOn : ssOff);
        QCOMPARE(w->Slider2->State(), shownConnectable ? ssOn : ssOff);
        // Filling the list only reads.
        QCOMPARE(m_bluez->methodCallCount(AdapterPath, QStringLiteral("Set")), 0);
        QCOMPARE(adapterProp(QStringLiteral("Discoverable")), QVariant(discoverable));
        QCOMPARE(adapterProp(QStringLiteral("Powered")), QVariant(powered));
    }

    void stackNames() {
        QCOMPARE(RadioControl::stackName(baBlueSoleil), QStringLiteral("BlueSoleil"));
        QCOMPARE(RadioControl::stackName(baMicrosoft), QStringLiteral("Microsoft"));
        QCOMPARE(RadioControl::stackName(baToshiba), QStringLiteral("Toshiba"));
        QCOMPARE(RadioControl::stackName(baWidComm), QStringLiteral("WidComm"));
        QCOMPARE(RadioControl::stackName(baBlueZ), QStringLiteral("BlueZ"));
        QCOMPARE(RadioControl::stackName(5), QStringLiteral("Unknown"));
        QCOMPARE(RadioControl::stackName(-1), QStringLiteral("Unknown"));
    }

    // No BlueZ on the bus: one box at the fill, then the library's box and the warning
    // before every operation that needs the working radio, and nothing else.
    void withoutBluez() {
        QVERIFY(startBluez());
        QVERIFY(m_bluez->killBluez());
        auto w = makeWindow();
        MessageBoxSpy boxes;
        w->EnumBLDevice();
        QCOMPARE(boxes.texts(), QStringList{NoTransport});
        QCOMPARE(boxes.messages().first().type, MsgType::Error);
        QCOMPARE(boxes.messages().first().caption, QStringLiteral("エラー"));
        QCOMPARE(w->lvRadios->RowCount(), 0);
        QVERIFY(!w->Slider1->isEnabled() && !w->Slider2->isEnabled());
        // Disabled sliders take no keys.
        userSets(w->Slider1, ssOff);
        QCOMPARE(boxes.count(), 1);

        const QStringList twoBoxes{NoTransport, NoApi};
        boxes.clear();
        w->SetDiscoverable(true);
        QCOMPARE(boxes.texts(), twoBoxes);
        QCOMPARE(boxes.messages().last().type, MsgType::Warning);
        QCOMPARE(boxes.messages().last().caption, QStringLiteral("警告"));
        boxes.clear();
        QCOMPARE(w->getConnectable(), false);
        QCOMPARE(boxes.texts(), twoBoxes);
        boxes.clear();
        w->RefreshRadio();
        QCOMPARE(boxes.texts(), twoBoxes);
        QCOMPARE(w->lvRadios->RowCount(), 0);
    }

    // BlueZ answers but has no adapter: no row, no box at the fill; the warning alone later.
    void withoutAdapter() {
        QVERIFY(startBluez());
        auto w = makeWindow();
        MessageBoxSpy boxes;
        w->EnumBLDevice();
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(w->lvRadios->RowCount(), 0);
        QVERIFY(!w->Slider1->isEnabled() && !w->Slider2->isEnabled());
        QVERIFY(!w->GetSelectedRadio());
        QCOMPARE(boxes.texts(), QStringList{NoApi});
    }

    // An accepted switch: no box, the cell follows, the other slider stays.
    void switchAccepted_data() {
        QTest::addColumn<int>("slider"); // 1 discoverable, 2 connectable
        QTest::addColumn<bool>("on");
        QTest::addColumn<QVariant>("connectable");
        QTest::addColumn<QString>("bluezProperty");
        QTest::newRow("discoverable on") << 1 << true << QVariant(true) << "Discoverable";
        QTest::newRow("discoverable off") << 1 << false << QVariant(true) << "Discoverable";
        QTest::newRow("connectable off") << 2 << false << QVariant(true) << "Connectable";
        QTest::newRow("connectable on") << 2 << true << QVariant(true) << "Connectable";
        // BlueZ before 5.79 has no Connectable: the switch is Powered there.
        QTest::newRow("old BlueZ: connectable off") << 2 << false << QVariant() << "Powered";
        QTest::newRow("old BlueZ: connectable on") << 2 << true << QVariant() << "Powered";
    }
    void switchAccepted() {
        QFETCH(int, slider);
        QFETCH(bool, on);
        QFETCH(QVariant, connectable);
        QFETCH(QString, bluezProperty);
        QVERIFY(startBluez());
        // Start from the opposite of the target, with discoverable on so a side effect shows.
        const bool startDiscoverable = slider == 1 ? !on : true;
        const bool startConnectable = slider == 2 ? !on : true;
        addAdapter(startDiscoverable, connectable.isValid() ? QVariant(startConnectable) : QVariant(),
                   connectable.isValid() ? true : startConnectable);
        auto w = makeWindow();
        w->EnumBLDevice();
        TAdvSmoothSlider* used = slider == 1 ? w->Slider1 : w->Slider2;
        TAdvSmoothSlider* other = slider == 1 ? w->Slider2 : w->Slider1;
        const TAdvSmoothSliderState otherBefore = other->State();

        MessageBoxSpy boxes;
        userSets(used, on ? ssOn : ssOff);

        QCOMPARE(boxes.texts(), QStringList());
        QCOMPARE(adapterProp(bluezProperty), QVariant(on));
        QCOMPARE(used->State(), on ? ssOn : ssOff);
        QCOMPARE(other->State(), otherBefore);
        QCOMPARE(cell(w->lvRadios, slider == 1 ? DiscoverableCell : ConnectableCell), yesNo(on));
        // The other cell shows what the radio reports now (switching connectable off
        // ends discoverable), while its slider has not moved.
        QCOMPARE(cell(w->lvRadios, DiscoverableCell),
                 yesNo(adapterProp(QStringLiteral("Discoverable")).toBool()));
        if (slider == 2 && !on)
            QCOMPARE(cell(w->lvRadios, DiscoverableCell), QStringLiteral("No"));
    }

    // A key that leaves the slider where it is raises nothing: no call to the radio.
    void unchangedSliderDoesNothing() {
        QVERIFY(startBluez());
        addAdapter(true, true);
        auto w = makeWindow();
        w->EnumBLDevice();
        QCOMPARE(w->Slider1->State(), ssOn);
        MessageBoxSpy boxes;
        const quint64 trips = wcl::testing::roundTrips();
        userSets(w->Slider1, ssOn);
        QCOMPARE(wcl::testing::roundTrips(), trips);
        QCOMPARE(boxes.count(), 0);
    }

    // A refused switch: the library's box, the row keeps the real flag, the slider stays put.
    void switchRefused_data() {
        QTest::addColumn<int>("slider");
        QTest::addColumn<QString>("bluezProperty");
        QTest::addColumn<int>("rowCell");
        QTest::newRow("discoverable") << 1 << "Discoverable" << int(DiscoverableCell);
        QTest::newRow("connectable") << 2 << "Connectable" << int(ConnectableCell);
    }
    void switchRefused() {
        QFETCH(int, slider);
        QFETCH(QString, bluezProperty);
        QFETCH(int, rowCell);
        QVERIFY(startBluez());
        addAdapter(true, true);
        QVERIFY(
            m_bluez->failProperty(AdapterPath, Adapter1, bluezProperty, NotSupported, QStringLiteral("set")));
        auto w = makeWindow();
        w->EnumBLDevice();
        TAdvSmoothSlider* used = slider == 1 ? w->Slider1 : w->Slider2;
        QCOMPARE(used->State(), ssOn);

        MessageBoxSpy boxes;
        userSets(used, ssOff);

        QCOMPARE(boxes.texts(), QStringList{FeatureNotSupported});
        QCOMPARE(adapterProp(bluezProperty), QVariant(true));
        QCOMPARE(cell(w->lvRadios, rowCell), QStringLiteral("Yes"));
        QCOMPARE(used->State(), ssOff);
    }

    // Flags that cannot be read: two boxes, "Error: 4" cells, both sliders enabled and off.
    void flagsUnreadable() {
        QVERIFY(startBluez());
        addAdapter(true, true);
        for (const char* prop : {"Discoverable", "Connectable"})
            QVERIFY(m_bluez->failProperty(AdapterPath, Adapter1, QString::fromLatin1(prop), NotSupported,
                                          QStringLiteral("get")));
        auto w = makeWindow();
        MessageBoxSpy boxes;
        w->EnumBLDevice();
        QCOMPARE(boxes.texts(), (QStringList{FeatureNotSupported, FeatureNotSupported}));
        QCOMPARE(cell(w->lvRadios, ConnectableCell), QStringLiteral("Error: 4"));
        QCOMPARE(cell(w->lvRadios, DiscoverableCell), QStringLiteral("Error: 4"));
        QCOMPARE(TListView::Caption(w->lvRadios->Selected()), AddressText);
        QCOMPARE(cell(w->lvRadios, NameCell), QStringLiteral("sarnavel-test"));
        QVERIFY(w->Slider1->isEnabled() && w->Slider2->isEnabled());
        QCOMPARE(w->Slider1->State(), ssOff);
        QCOMPARE(w->Slider2->State(), ssOff);
    }

    // A failed address or name read shows in its own cell only; no box.
    void readFailsInItsCellOnly_data() {
        QTest::addColumn<QString>("bluezProperty");
        QTest::addColumn<QString>("bluezError");
        QTest::addColumn<int>("failedCell"); // -1: the caption
        QTest::addColumn<QString>("expected");
        QTest::newRow("address, not supported") << "Address" << NotSupported << -1 << "Error: 4";
        QTest::newRow("address, failed") << "Address"
                                         << "org.bluez.Error.Failed" << -1
                                         << QStringLiteral("Error: %1").arg(WCL_E_BLUETOOTH_OPERATION_FAILED);
        QTest::newRow("name, not ready") << "Alias"
                                         << "org.bluez.Error.NotReady" << int(NameCell)
                                         << QStringLiteral("Error: %1").arg(WCL_E_BLUETOOTH_RADIO_NOT_READY);
    }
    void readFailsInItsCellOnly() {
        QFETCH(QString, bluezProperty);
        QFETCH(QString, bluezError);
        QFETCH(int, failedCell);
        QFETCH(QString, expected);
        QVERIFY(startBluez());
        addAdapter(false, true);
        QVERIFY(
            m_bluez->failProperty(AdapterPath, Adapter1, bluezProperty, bluezError, QStringLiteral("get")));
        auto w = makeWindow();
        MessageBoxSpy boxes;
        w->EnumBLDevice();
        QCOMPARE(boxes.count(), 0);
        QTreeWidgetItem* row = w->lvRadios->Selected();
        QVERIFY(row);
        QCOMPARE(TListView::Caption(row), failedCell == -1 ? expected : AddressText);
        QCOMPARE(TListView::SubItem(row, NameCell),
                 failedCell == NameCell ? expected : QStringLiteral("sarnavel-test"));
        QCOMPARE(TListView::SubItem(row, ApiCell), QStringLiteral("BlueZ"));
        QCOMPARE(TListView::SubItem(row, ConnectableCell), QStringLiteral("Yes"));
        QCOMPARE(TListView::SubItem(row, DiscoverableCell), QStringLiteral("No"));
    }

    // The user cleared the selection, then used a slider: the radio is switched, no row is written.
    void switchWithoutSelectedRow() {
        QVERIFY(startBluez());
        addAdapter(false, true);
        auto w = makeWindow();
        w->EnumBLDevice();
        QTreeWidgetItem* row = w->lvRadios->Row(0);
        const QStringList before{TListView::Caption(row), TListView::SubItem(row, ConnectableCell),
                                 TListView::SubItem(row, DiscoverableCell),
                                 TListView::SubItem(row, NameCell)};
        w->lvRadios->SetSelected(nullptr);
        MessageBoxSpy boxes;
        userSets(w->Slider1, ssOn);
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(adapterProp(QStringLiteral("Discoverable")), QVariant(true));
        const QStringList after{TListView::Caption(row), TListView::SubItem(row, ConnectableCell),
                                TListView::SubItem(row, DiscoverableCell), TListView::SubItem(row, NameCell)};
        QCOMPARE(after, before);
        QCOMPARE(w->lvRadios->Selected(), nullptr);
    }

    // BlueZ goes away while the window is open and comes back: the next operation
    // reports an error, the one after the return works; nothing hangs.
    void bluezRestartsWhileOpen_data() {
        QTest::addColumn<bool>("frozen"); // stops answering instead of vanishing
        QTest::newRow("killed") << false;
        QTest::newRow("not answering") << true;
    }
    void bluezRestartsWhileOpen() {
        QFETCH(bool, frozen);
        QVERIFY(startBluez());
        addAdapter(false, true);
        auto w = makeWindow();
        w->EnumBLDevice();
        QCOMPARE(cell(w->lvRadios, DiscoverableCell), QStringLiteral("No"));

        QVERIFY(frozen ? m_bluez->freezeBluez() : m_bluez->killBluez());
        MessageBoxSpy boxes;
        QElapsedTimer clock;
        clock.start();
        userSets(w->Slider1, ssOn);
        QVERIFY2(clock.elapsed() < 15000, "a BlueZ that stopped answering froze the window");
        QVERIFY(boxes.count() >= 1);
        QCOMPARE(boxes.messages().first().type, MsgType::Error);

        QVERIFY(frozen ? m_bluez->thawBluez() : m_bluez->restartBluez());
        if (frozen)
            QTest::qWait(100); // let BlueZ answer the calls it missed
        boxes.clear();
        userSets(w->Slider1, ssOff);
        userSets(w->Slider1, ssOn);
        QCOMPARE(boxes.texts(), QStringList());
        QCOMPARE(adapterProp(QStringLiteral("Discoverable")), QVariant(true));
        QCOMPARE(cell(w->lvRadios, DiscoverableCell), QStringLiteral("Yes"));
    }

    void errorDisplay() {
        MessageBoxSpy boxes;
        QCOMPARE(wclShowError(0), false);
        QCOMPARE(boxes.count(), 0);
        QCOMPARE(wclShowError(7), true);
        QCOMPARE(boxes.texts(), QStringList{QStringLiteral("Unknown error")});
        QCOMPARE(boxes.messages().first().type, MsgType::Error);
        QCOMPARE(RadioControl::errorCell(-5), QStringLiteral("Error: -5"));
    }
};

QTEST_MAIN(TestRadioWindow)
#include "tst_radiowindow.moc"
