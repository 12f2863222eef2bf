#include "TAdvOfficeStatusBar.h"

#include <QLinearGradient>
#include <QPainter>

TAdvOfficeStatusBar::TAdvOfficeStatusBar(QWidget* parent)
    : QWidget(parent)
{
}

void TAdvOfficeStatusBar::AddPanel(int width)
{
    m_panels.append({width, QString()});
    update();
}

int TAdvOfficeStatusBar::PanelWidth(int index) const
{
    return index >= 0 && index < m_panels.size() ? m_panels[index].width : 0;
}

QString TAdvOfficeStatusBar::PanelText(int index) const
{
    return index >= 0 && index < m_panels.size() ? m_panels[index].text : QString();
}

void TAdvOfficeStatusBar::SetPanelText(int index, const QString& text)
{
    if (index < 0 || index >= m_panels.size())
        return;
    m_panels[index].text = text;
    update();
}

void TAdvOfficeStatusBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, QColor(0xE4, 0xEE, 0xFA)); // light office look
    g.setColorAt(1, QColor(0xC6, 0xD8, 0xEF));
    p.fillRect(rect(), g);
    p.setPen(QColor(0x8D, 0xA8, 0xCA));
    p.drawLine(0, 0, width(), 0);
    int x = 0;
    for (const Panel& panel : m_panels) {
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(QRect(x + 4, 0, panel.width - 8, height()), Qt::AlignLeft | Qt::AlignVCenter, panel.text);
        x += panel.width;
        p.setPen(QColor(0x8D, 0xA8, 0xCA)); // splitter line
        p.drawLine(x - 1, 3, x - 1, height() - 3);
        p.setPen(Qt::white);
        p.drawLine(x, 3, x, height() - 3);
    }
}
