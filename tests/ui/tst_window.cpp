// The main window: stored layout, keyboard order, start-up and shutdown.
#include "TfmVelkor.h"

#include "Controls.h"
#include "ExeInfo.h"
#include "MessageBoxes.h"
#include "TAdvOfficeStatusBar.h"
#include "TAdvPanel.h"
#include "TAdvSmoothWin8Marquee.h"
#include "TAeroSpeedButton.h"
#include "TGradientLabel.h"
#include "Tethering.h"
#include "WebUpdate.h"
#include "wclBluetooth.h"

#include <QApplication>
#include <QDir>
#include <QHeaderView>
#include <QTest>
#include <QTimer>

namespace {
// Closes whatever modal dialog comes up (the update wizard at start-up).
class ModalCloser : public QObject {
public:
    ModalCloser()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, [] {
            if (QWidget* w = QApplication::activeModalWidget())
                w->close();
        });
        m_timer.start();
    }

private:
    QTimer m_timer;
};

QString textOf(QWidget* w)
{
    if (auto* p = qobject_cast<TAdvPanel*>(w))
        return p->caption();
    if (auto* l = qobject_cast<TGradientLabel*>(w))
        return l->text();
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    return {};
}
} // namespace

class TstWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        // No BlueZ for these tests: point the system bus nowhere.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/sarnavel-test-bus");
    }

    void layout_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        auto row = [](const char* n, const char* p, QRect g, const char* t = "") {
            QTest::newRow(n) << QString::fromUtf8(n) << QString::fromUtf8(p) << g << QString::fromUtf8(t);
        };
        row("AdvPanel2", "TfmVelkor", {0, 0, 561, 193}, "PC側Bluetooth設定");
        row("AdvPanel1", "TfmVelkor", {0, 193, 561, 202}, "Bluetooth Device");
        row("AdvPanel4", "TfmVelkor", {562, 0, 266, 395}, "Bluetooth Tethring");
        row("AdvPanel3", "TfmVelkor", {0, 395, 828, 87}, "Operation");
        row("GradientLabel2", "AdvPanel2", {16, 29, 97, 17}, "デバイス検出可能");
        row("GradientLabel4", "AdvPanel2", {136, 29, 81, 17}, "Connect可能");
        row("Slider1", "AdvPanel2", {16, 52, 97, 30});
        row("Slider2", "AdvPanel2", {136, 52, 97, 30});
        row("lvRadios", "AdvPanel2", {16, 96, 529, 81});
        row("DiscoverBtn2", "AdvPanel1", {8, 24, 121, 39}, "デバイス検出");
        row("PairBtn", "AdvPanel1", {168, 27, 81, 33}, "ペアリング");
        row("UnPairBtn", "AdvPanel1", {262, 27, 81, 33}, "ペア解除");
        row("lvDevices2", "AdvPanel1", {8, 69, 537, 96});
        row("StatusBar1", "AdvPanel1", {0, 183, 561, 19});
        row("QuitBtn", "AdvPanel3", {368, 32, 81, 39}, "Quit");
        row("GradientLabel1", "AdvPanel4", {9, 29, 97, 17}, "受信テキスト");
        row("Memo1", "AdvPanel4", {9, 52, 248, 157});
        row("AeroSpeedButton1", "AdvPanel4", {7, 215, 145, 39}, "クリップボードにコピー");
        row("GradientLabel3", "AdvPanel4", {7, 273, 97, 17}, "送信テキスト");
        row("Edit1", "AdvPanel4", {7, 296, 250, 21});
        row("sendtextbtn", "AdvPanel4", {7, 331, 81, 33}, "送信");
    }
    void layout()
    {
        QFETCH(QString, name);
        QFETCH(QString, parent);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        TfmVelkor w(TfmVelkor::Options{.runFormCreate = false});
        auto* c = w.findChild<QWidget*>(name);
        QVERIFY2(c, qPrintable(name));
        QCOMPARE(c->parentWidget()->objectName(), parent);
        QCOMPARE(c->geometry(), geometry);
        QCOMPARE(textOf(c), text);
    }

    void windowAndStartState()
    {
        TfmVelkor w(TfmVelkor::Options{.runFormCreate = false});
        QCOMPARE(w.size(), QSize(828, 482));
        QCOMPARE(w.minimumSize(), w.maximumSize()); // not resizable
        QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w.windowFlags() & Qt::WindowCloseButtonHint);
        QCOMPARE(w.windowTitle(), QStringLiteral("Sarnavel Server"));
        QVERIFY(!w.windowIcon().isNull());

        for (TAdvSmoothSlider* s : {w.Slider1, w.Slider2}) {
            QVERIFY(!s->isEnabled());
            QCOMPARE(s->State(), ssOn);
            QCOMPARE(s->onCaption(), QStringLiteral("On"));
            QCOMPARE(s->offCaption(), QStringLiteral("Off"));
        }
        QCOMPARE(w.lvRadios->RowCount(), 0);
        QCOMPARE(w.lvDevices2->RowCount(), 0);
        QVERIFY(w.Memo1->Text().isEmpty());
        QVERIFY(w.Edit1->Text().isEmpty());
        QVERIFY(w.Marquee1->isHidden());
        QCOMPARE(w.Marquee1->parentWidget(), static_cast<QWidget*>(w.StatusBar1));
        QCOMPARE(w.Marquee1->geometry(), QRect(100, -1, 325, 20));
        QCOMPARE(w.StatusBar1->PanelCount(), 2);
        QCOMPARE(w.StatusBar1->PanelWidth(0), 100);
        QCOMPARE(w.StatusBar1->PanelText(0), QString());
        QCOMPARE(w.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(w.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(w.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
        QVERIFY(!w.Memo1->isReadOnly());
        QCOMPARE(w.QuitBtn->faceStyle(), TAeroSpeedButton::Magenta);
        QCOMPARE(w.DiscoverBtn2->faceSize(), QSize(120, 30));
        QCOMPARE(w.AeroSpeedButton1->faceSize(), QSize(140, 30));
        QCOMPARE(w.GradientLabel1->font().family(), QStringLiteral("メイリオ"));
        QCOMPARE(w.GradientLabel1->font().pixelSize(), 11);
        QCOMPARE(w.font().pixelSize(), 11);
    }

    void listColumns()
    {
        TfmVelkor w(TfmVelkor::Options{.runFormCreate = false});
        const QList<QPair<TListView*, QList<QPair<QString, int>>>> lists = {
            {w.lvRadios,
             {{"Address", 120}, {"API", 80}, {"Connectable", 80}, {"Discoverable", 80}, {"Name", 120}}},
            {w.lvDevices2, {{"Address", 150}, {"Class Of Device", 100}, {"Name", 120}, {"Paired", 80}}},
        };
        for (const auto& [list, columns] : lists) {
            QCOMPARE(list->columnCount(), columns.size());
            for (int i = 0; i < columns.size(); ++i) {
                QCOMPARE(list->headerItem()->text(i), columns[i].first);
                QCOMPARE(list->header()->sectionSize(i), columns[i].second);
            }
            QVERIFY(!list->header()->isHidden());
            QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
            QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
            QVERIFY(!list->rootIsDecorated());
        }
    }

    // Tab runs lvDevices2, Slider1, Slider2, lvRadios, Memo1, Edit1; buttons never.
    void tabOrder()
    {
        TfmVelkor w(TfmVelkor::Options{.runFormCreate = false});
        w.Slider1->setEnabled(true);
        w.Slider2->setEnabled(true);
        QList<QWidget*> chain;
        QWidget* cur = w.lvDevices2;
        do {
            if (cur->focusPolicy() & Qt::TabFocus && cur->isEnabled() && cur->window() == &w)
                if (!chain.contains(cur))
                    chain << cur;
            cur = cur->nextInFocusChain();
        } while (cur != w.lvDevices2);
        QStringList names;
        for (QWidget* c : chain)
            names << c->objectName();
        QCOMPARE(names, QStringList({"lvDevices2", "Slider1", "Slider2", "lvRadios", "Memo1", "Edit1"}));
        for (QWidget* b : std::initializer_list<QWidget*>{w.DiscoverBtn2, w.PairBtn, w.UnPairBtn, w.QuitBtn,
                                                          w.AeroSpeedButton1, w.sendtextbtn})
            QCOMPARE(b->focusPolicy(), Qt::NoFocus);
    }

    // Disabled sliders are skipped by Tab until the radio list enables them.
    void tabSkipsDisabledSliders()
    {
        vcl::MessageBoxSpy boxes; // no BlueZ: the radio list reports it when shown
        TfmVelkor w(TfmVelkor::Options{.runFormCreate = false});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        w.lvDevices2->setFocus();
        QTest::keyClick(&w, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w.lvRadios));
    }

    void componentsInDeclarationOrder()
    {
        TfmVelkor w(TfmVelkor::Options{.runFormCreate = false});
        const QList<QObject*> fields = {
            w.AdvPanel1, w.StatusBar1, w.Marquee1, w.wclAPI, w.wclBluetoothDiscovery, w.DiscoverBtn2, w.PairBtn,
            w.UnPairBtn, w.AdvPanel2, w.GradientLabel2, w.GradientLabel4, w.Slider1, w.Slider2, w.lvRadios,
            w.lvDevices2, w.AdvPanel3, w.QuitBtn, w.AdvPanel4, w.TManager1, w.TAppProfile1, w.Memo1,
            w.GradientLabel1, w.SaveDialog1, w.AeroSpeedButton1, w.Edit1, w.GradientLabel3, w.sendtextbtn,
            w.WebUpdate1, w.WebUpdateWizard1, w.ExeInfo1};
        const QStringList names = {
            "AdvPanel1", "StatusBar1", "Marquee1", "wclAPI", "wclBluetoothDiscovery", "DiscoverBtn2", "PairBtn",
            "UnPairBtn", "AdvPanel2", "GradientLabel2", "GradientLabel4", "Slider1", "Slider2", "lvRadios",
            "lvDevices2", "AdvPanel3", "QuitBtn", "AdvPanel4", "TManager1", "TAppProfile1", "Memo1",
            "GradientLabel1", "SaveDialog1", "AeroSpeedButton1", "Edit1", "GradientLabel3", "sendtextbtn",
            "WebUpdate1", "WebUpdateWizard1", "ExeInfo1"};
        QCOMPARE(fields.size(), 30);
        for (int i = 0; i < fields.size(); ++i) {
            QVERIFY2(fields[i], qPrintable(names[i]));
            QCOMPARE(fields[i]->objectName(), names[i]);
            // The window owns every component.
            QObject* o = fields[i];
            while (o && o != &w)
                o = o->parent();
            QCOMPARE(o, static_cast<QObject*>(&w));
        }
    }

    // FormCreate: title, indicator width, the wizard's current-directory change.
    void formCreate()
    {
        vcl::MessageBoxSpy boxes;
        QDir::setCurrent(QDir::tempPath());
        ModalCloser closer;
        TfmVelkor w;
        const QString os = TExeInfo::osReleaseName(QStringLiteral("/etc/os-release"));
        QCOMPARE(w.windowTitle(), QStringLiteral("Sarnavel Server   Ver.1.0.0.0   OS: ") + os);
        QCOMPARE(w.ExeInfo1->FileVersion(), QStringLiteral("1.0.0.0"));
        QCOMPARE(w.Marquee1->width(), 461);
        QCOMPARE(w.Marquee1->x(), 100);
        QVERIFY(w.Marquee1->isHidden());
        QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
        QVERIFY(!w.isVisible()); // the wizard has run before the window is shown
    }

    // FormShow runs once; Quit closes without a question.
    void showOnceAndQuit()
    {
        vcl::MessageBoxSpy boxes;
        TfmVelkor w(TfmVelkor::Options{.runFormCreate = false});
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        // Shown once: the radio list is filled (here: no BlueZ, one box).
        QCOMPARE(boxes.texts(), QStringList{QStringLiteral("Specified transport is not available.")});
        const int afterFirstShow = boxes.count();
        w.hide();
        w.show();
        QCOMPARE(boxes.count(), afterFirstShow);
        const QRect screen = w.screen()->availableGeometry();
        if (screen.width() >= w.width() && screen.height() >= w.height()) // centred on the desktop
            QVERIFY(qAbs(w.geometry().center().x() - screen.center().x()) <= 1);

        QTest::mouseClick(w.QuitBtn, Qt::LeftButton);
        QVERIFY(!w.isVisible());
        QCOMPARE(boxes.count(), afterFirstShow);
    }
};

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
