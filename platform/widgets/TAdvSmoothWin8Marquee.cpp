#include "TAdvSmoothWin8Marquee.h"

#include "Colors.h"

#include <QPainter>
#include <QTimerEvent>
#include <cmath>

namespace {
const QColor Slate = fromTColor(9470064); // #708090
constexpr int Dots = 5;
constexpr int IntervalMs = 30;
} // namespace

TAdvSmoothWin8Marquee::TAdvSmoothWin8Marquee(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TAdvSmoothWin8Marquee::showEvent(QShowEvent* event)
{
    m_phase = 0;
    m_timer.start(IntervalMs, this);
    QWidget::showEvent(event);
}

void TAdvSmoothWin8Marquee::hideEvent(QHideEvent* event)
{
    m_timer.stop();
    QWidget::hideEvent(event);
}

void TAdvSmoothWin8Marquee::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != m_timer.timerId())
        return QWidget::timerEvent(event);
    m_phase += AnimationStep / 1000.0;
    if (m_phase > 1.0 + Dots * 0.08 * AnimationStretchFactor)
        m_phase = 0;
    update();
}

void TAdvSmoothWin8Marquee::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setPen(Slate);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Slate);
    const double r = std::max(1.5, height() / 8.0);
    for (int i = 0; i < Dots; ++i) {
        // Dots run in from the left, slow down in the middle and leave to the right.
        double t = m_phase - i * 0.08 * AnimationStretchFactor;
        if (t < 0 || t > 1)
            continue;
        const double eased = 0.5 + std::atan((t - 0.5) * AnimationFactor * 2) / (2 * std::atan(AnimationFactor));
        p.drawEllipse(QPointF(eased * width(), height() / 2.0), r, r);
    }
}
