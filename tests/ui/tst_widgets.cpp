// Our component-pack widgets: the slider's event discipline and the others' behaviour.
#include "TAdvOfficeStatusBar.h"
#include "TAdvPanel.h"
#include "TAdvSmoothSlider.h"
#include "TAdvSmoothWin8Marquee.h"
#include "TAeroSpeedButton.h"

#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

Q_DECLARE_METATYPE(TAdvSmoothSliderState)

class TstWidgets : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Code sets the state silently; a user's click, drag or key raises the
    // event once per real change, with the new state.
    void sliderFiresOnlyOnUserChange()
    {
        TAdvSmoothSlider s;
        s.resize(97, 30);
        s.show();
        QSignalSpy spy(&s, &TAdvSmoothSlider::OnStateChanged);
        s.setState(ssOff);
        s.setState(ssOn);
        QCOMPARE(spy.count(), 0);

        QTest::mouseClick(&s, Qt::LeftButton, {}, QPoint(50, 15));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.last().at(1).value<TAdvSmoothSliderState>(), ssOff);
        QCOMPARE(spy.last().at(0).value<QObject*>(), &s);
        QCOMPARE(s.State(), ssOff);

        QTest::keyClick(&s, Qt::Key_Space);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(s.State(), ssOn);
        QCOMPARE(spy.last().at(2).toDouble(), 0.0);

        // Keys that leave the state as it is raise nothing.
        QTest::keyClick(&s, Qt::Key_Left);
        QCOMPARE(spy.count(), 2);
        QTest::keyClick(&s, Qt::Key_Right);
        QCOMPARE(spy.count(), 3);
        QCOMPARE(s.State(), ssOff);

        // A drag that ends where it started is no change.
        QTest::mousePress(&s, Qt::LeftButton, {}, QPoint(20, 15));
        QTest::mouseMove(&s, QPoint(24, 15));
        QTest::mouseMove(&s, QPoint(21, 15));
        QTest::mouseRelease(&s, Qt::LeftButton, {}, QPoint(21, 15));
        QCOMPARE(spy.count(), 3);
        QCOMPARE(s.State(), ssOff);
    }

    void disabledSliderIgnoresUser()
    {
        TAdvSmoothSlider s;
        s.resize(97, 30);
        s.setEnabled(false);
        s.show();
        QSignalSpy spy(&s, &TAdvSmoothSlider::OnStateChanged);
        QTest::mouseClick(&s, Qt::LeftButton, {}, QPoint(50, 15));
        QTest::keyClick(&s, Qt::Key_Space);
        QCOMPARE(spy.count(), 0);
        QCOMPARE(s.State(), ssOn);
        QCOMPARE(s.focusPolicy(), Qt::StrongFocus);
    }

    void panelCollapsesToCaption()
    {
        TAdvPanel p;
        p.resize(561, 193);
        p.show();
        QTest::mouseClick(p.collapseButton(), Qt::LeftButton);
        QVERIFY(p.collapsed());
        QCOMPARE(p.height(), TAdvPanel::CaptionHeight);
        QTest::mouseClick(p.collapseButton(), Qt::LeftButton);
        QCOMPARE(p.height(), 193);
    }

    void buttonTakesNoFocusAndClicks()
    {
        TAeroSpeedButton b;
        b.setText(QStringLiteral("Quit"));
        b.setFaceStyle(TAeroSpeedButton::Magenta);
        b.setFaceSize(QSize(75, 30));
        b.resize(81, 39);
        b.show();
        QCOMPARE(b.focusPolicy(), Qt::NoFocus);
        QCOMPARE(b.face().size(), QSize(75, 30));
        const QColor mid = b.face().pixelColor(37, 15);
        QVERIFY2(mid.red() > mid.green(), "magenta face");
        QSignalSpy clicked(&b, &QAbstractButton::clicked);
        QTest::mouseClick(&b, Qt::LeftButton);
        QCOMPARE(clicked.count(), 1);
    }

    void statusBarAndMarquee()
    {
        TAdvOfficeStatusBar bar;
        bar.AddPanel(100);
        bar.AddPanel(100);
        bar.SetPanelText(0, QStringLiteral("検出中....."));
        bar.SetPanelText(5, QStringLiteral("ignored"));
        QCOMPARE(bar.PanelText(0), QStringLiteral("検出中....."));
        QCOMPARE(bar.PanelText(5), QString());
        QCOMPARE(bar.PanelWidth(1), 100);

        auto* m = new TAdvSmoothWin8Marquee(&bar);
        m->hide();
        bar.show();
        QVERIFY(!m->animating());
        m->show();
        QVERIFY(m->animating());
        m->hide();
        QVERIFY(!m->animating());
    }
};

QTEST_MAIN(TstWidgets)
#include "tst_widgets.moc"
