#pragma once

#include <QBasicTimer>
#include <QWidget>

// Running-dots indicator. It animates only while visible.
class TAdvSmoothWin8Marquee : public QWidget {
    Q_OBJECT
public:
    explicit TAdvSmoothWin8Marquee(QWidget* parent = nullptr);

    double AnimationStretchFactor = 1.7;
    double AnimationFactor = 3.0;
    double AnimationStep = 10.0;
    bool animating() const { return m_timer.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    QBasicTimer m_timer;
    double m_phase = 0;
};
