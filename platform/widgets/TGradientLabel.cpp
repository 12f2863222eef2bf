#include "TGradientLabel.h"

#include "Colors.h"

#include <QLinearGradient>
#include <QPainter>

TGradientLabel::TGradientLabel(QWidget* parent)
    : QWidget(parent)
{
    setAttribute(Qt::WA_TranslucentBackground);
}

void TGradientLabel::setText(const QString& text)
{
    m_text = text;
    update();
}

void TGradientLabel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    p.setFont(font());
    p.drawText(rect().adjusted(5, 0, 0, -2), Qt::AlignLeft | Qt::AlignVCenter, m_text);
    QLinearGradient line(QPointF(0, 0), QPointF(width(), 0));
    line.setColorAt(0, QColor(fromTColor(12615680))); // #0080C0
    line.setColorAt(1, palette().color(QPalette::Button));
    p.fillRect(QRect(0, height() - 2, width(), 2), line);
}
