#include "TAdvSmoothSlider.h"

#include "Colors.h"

#include <QKeyEvent>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace {
struct Fill {
    QColor from, to, mirrorFrom, mirrorTo;
};
const Fill OnFill{fromTColor(11196927), fromTColor(7257087), fromTColor(4370174), fromTColor(8053246)};
const Fill OffFill{fromTColor(16773091), fromTColor(16768452), fromTColor(16765357), fromTColor(16767936)};
const QColor OnBorder = fromTColor(4370174);
const QColor ThumbFrom = fromTColor(16773091), ThumbTo = fromTColor(16765615);
const QColor DisabledFrom = fromTColor(15921906), DisabledTo = fromTColor(11974326);
const QColor DisabledBorder = fromTColor(9841920);

void fillHalf(QPainter& p, const QRectF& r, const Fill& f)
{
    const QRectF top(r.left(), r.top(), r.width(), r.height() / 2);
    const QRectF bottom(r.left(), r.center().y(), r.width(), r.height() / 2);
    QLinearGradient g1(top.topLeft(), top.bottomLeft());
    g1.setColorAt(0, f.from);
    g1.setColorAt(1, f.to);
    QLinearGradient g2(bottom.topLeft(), bottom.bottomLeft());
    g2.setColorAt(0, f.mirrorFrom);
    g2.setColorAt(1, f.mirrorTo);
    p.fillRect(top, g1);
    p.fillRect(bottom, g2);
}
} // namespace

TAdvSmoothSlider::TAdvSmoothSlider(QWidget* parent)
    : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
}

void TAdvSmoothSlider::setState(TAdvSmoothSliderState state)
{
    m_state = state;
    m_dragPos = state == ssOn ? 0 : 1;
    update();
}

void TAdvSmoothSlider::setOnCaption(const QString& c)
{
    m_onCaption = c;
    update();
}

void TAdvSmoothSlider::setOffCaption(const QString& c)
{
    m_offCaption = c;
    update();
}

void TAdvSmoothSlider::userSet(TAdvSmoothSliderState state)
{
    m_dragPos = state == ssOn ? 0 : 1;
    update();
    if (state == m_state)
        return;
    m_state = state;
    Q_EMIT OnStateChanged(this, state, valueFor(state));
}

QRect TAdvSmoothSlider::thumbRect(double pos) const
{
    const int w = width() / 2;
    const int x = int((1.0 - pos) * (width() - w));
    return QRect(x, 0, w, height());
}

void TAdvSmoothSlider::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath outline;
    outline.addRoundedRect(r, 4, 4);
    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(11);
    p.setFont(f);

    if (!isEnabled()) {
        QLinearGradient g(r.topLeft(), r.bottomLeft());
        g.setColorAt(0, DisabledFrom);
        g.setColorAt(1, DisabledTo);
        p.fillPath(outline, g);
        p.setPen(DisabledBorder);
        p.drawPath(outline);
        const QRect thumb = thumbRect(m_dragPos);
        p.setPen(QColor(0x60, 0x60, 0x60));
        const QRect label = m_dragPos < 0.5 ? QRect(0, 0, thumb.left(), height()) : QRect(thumb.right(), 0, width() - thumb.right(), height());
        p.drawText(label, Qt::AlignCenter, m_dragPos < 0.5 ? m_onCaption : m_offCaption);
        QPainterPath tp;
        tp.addRoundedRect(QRectF(thumb).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
        p.fillPath(tp, QColor(0xE8, 0xE8, 0xE8));
        p.setPen(DisabledBorder);
        p.drawPath(tp);
        return;
    }

    // On side on the left, Off side on the right; the thumb covers the side not shown.
    p.save();
    p.setClipPath(outline);
    const QRect thumb = thumbRect(m_dragPos);
    fillHalf(p, QRectF(0, 0, thumb.center().x(), height()), OnFill);
    fillHalf(p, QRectF(thumb.center().x(), 0, width() - thumb.center().x(), height()), OffFill);
    p.restore();
    if (m_dragPos < 0.5) {
        p.setPen(OnBorder);
        p.drawPath(outline);
    }
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRect(0, 0, thumb.left(), height()), Qt::AlignCenter, m_onCaption);
    p.drawText(QRect(thumb.right(), 0, width() - thumb.right(), height()), Qt::AlignCenter, m_offCaption);

    QPainterPath tp;
    tp.addRoundedRect(QRectF(thumb).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
    QLinearGradient tg(thumb.topLeft(), thumb.bottomLeft());
    tg.setColorAt(0, ThumbFrom);
    tg.setColorAt(1, ThumbTo);
    p.fillPath(tp, tg);
    p.setPen(ThumbTo.darker(115));
    p.drawPath(tp);
    if (hasFocus()) {
        p.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DotLine));
        p.drawRoundedRect(r.adjusted(1, 1, -1, -1), 3, 3);
    }
}

void TAdvSmoothSlider::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_dragging = true;
    m_moved = false;
    m_pressX = int(event->position().x());
}

void TAdvSmoothSlider::mouseMoveEvent(QMouseEvent* event)
{
    if (!m_dragging)
        return;
    const int dx = int(event->position().x()) - m_pressX;
    if (std::abs(dx) > 2)
        m_moved = true;
    const double span = std::max(1, width() - width() / 2);
    const double base = m_state == ssOn ? 0.0 : 1.0;
    m_dragPos = std::clamp(base - dx / span, 0.0, 1.0);
    update();
}

void TAdvSmoothSlider::mouseReleaseEvent(QMouseEvent* event)
{
    if (!m_dragging || event->button() != Qt::LeftButton)
        return;
    m_dragging = false;
    if (m_moved)
        userSet(m_dragPos < 0.5 ? ssOn : ssOff); // a drag ends on the nearer side
    else
        userSet(m_state == ssOn ? ssOff : ssOn); // a click toggles
}

void TAdvSmoothSlider::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        userSet(m_state == ssOn ? ssOff : ssOn);
        break;
    case Qt::Key_Left:
    case Qt::Key_Home:
        userSet(ssOn);
        break;
    case Qt::Key_Right:
    case Qt::Key_End:
        userSet(ssOff);
        break;
    default:
        QWidget::keyPressEvent(event);
    }
}

void TAdvSmoothSlider::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::EnabledChange)
        update();
    QWidget::changeEvent(event);
}
