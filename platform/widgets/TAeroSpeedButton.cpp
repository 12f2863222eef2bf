#include "TAeroSpeedButton.h"

#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

TAeroSpeedButton::TAeroSpeedButton(QWidget* parent)
    : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
}

void TAeroSpeedButton::setFaceStyle(FaceStyle style)
{
    m_style = style;
    update();
}

void TAeroSpeedButton::setFaceSize(const QSize& size)
{
    m_faceSize = size;
    update();
}

QImage TAeroSpeedButton::face() const
{
    QImage img(m_faceSize, QImage::Format_RGB888);
    img.fill(palette().color(QPalette::Button));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(img.rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    if (m_style == Magenta) {
        g.setColorAt(0, QColor(0xF2, 0x6D, 0xD0));
        g.setColorAt(0.5, QColor(0xD6, 0x1E, 0xA8));
        g.setColorAt(1, QColor(0xA8, 0x0F, 0x84));
    } else {
        g.setColorAt(0, QColor(0x9D, 0xE6, 0xFB));
        g.setColorAt(0.5, QColor(0x3C, 0xB8, 0xE8));
        g.setColorAt(1, QColor(0x17, 0x8C, 0xC8));
    }
    QPainterPath path;
    path.addRoundedRect(r, 6, 6);
    p.fillPath(path, g);
    p.setPen(QColor(255, 255, 255, 120));
    p.drawPath(path);
    QFont f = font();
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(img.rect(), Qt::AlignCenter, text());
    return img;
}

void TAeroSpeedButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QImage img = face();
    const QPoint at((width() - img.width()) / 2 + (isDown() ? 1 : 0), (height() - img.height()) / 2 + (isDown() ? 1 : 0));
    p.drawImage(at, img);
    if (m_hover && isEnabled()) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 40));
        p.drawRoundedRect(QRectF(at, img.size()), 6, 6);
    }
}

void TAeroSpeedButton::enterEvent(QEnterEvent* event)
{
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void TAeroSpeedButton::leaveEvent(QEvent* event)
{
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}
