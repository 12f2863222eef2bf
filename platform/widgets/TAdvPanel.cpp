#include "TAdvPanel.h"

#include "Colors.h"

#include <QLinearGradient>
#include <QPainter>
#include <QToolButton>

namespace {
const QColor BodyFrom = fromTColor(16643823);  // #EFF6FD
const QColor BodyTo = fromTColor(15784647);    // #C7DAF0
const QColor BorderColor = fromTColor(13087391); // #9FB2C7
const QColor CaptionText = fromTColor(5978398);  // #1E395B
} // namespace

TAdvPanel::TAdvPanel(QWidget* parent)
    : QWidget(parent)
    , m_button(new QToolButton(this))
{
    setAttribute(Qt::WA_StyledBackground, false);
    m_button->setObjectName(QStringLiteral("collapseButton"));
    m_button->setAutoRaise(true);
    m_button->setFocusPolicy(Qt::NoFocus);
    m_button->setArrowType(Qt::UpArrow);
    m_button->setToolTip(tr("Collapse"));
    m_button->setFixedSize(16, 16);
    connect(m_button, &QToolButton::clicked, this, [this] { setCollapsed(!m_collapsed); });
    placeButton();
}

void TAdvPanel::setCaption(const QString& caption)
{
    m_caption = caption;
    update();
}

void TAdvPanel::setCollapsed(bool collapsed)
{
    if (collapsed == m_collapsed)
        return;
    m_collapsed = collapsed;
    if (collapsed) {
        m_expandedHeight = height();
        // Children stay where they are; the panel simply clips them away.
        resize(width(), CaptionHeight);
    } else {
        resize(width(), m_expandedHeight);
    }
    m_button->setArrowType(collapsed ? Qt::DownArrow : Qt::UpArrow);
    m_button->setToolTip(collapsed ? tr("Expand") : tr("Collapse"));
}

void TAdvPanel::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeButton();
}

void TAdvPanel::placeButton()
{
    m_button->move(width() - m_button->width() - 3, (CaptionHeight - m_button->height()) / 2);
}

void TAdvPanel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect r = rect();
    QLinearGradient body(r.topLeft(), r.bottomLeft());
    body.setColorAt(0, BodyFrom);
    body.setColorAt(1, BodyTo);
    p.fillRect(r, body);

    const QRect bar(0, 0, width(), CaptionHeight);
    QLinearGradient cap(bar.topLeft(), bar.bottomLeft());
    cap.setColorAt(0, BodyFrom);
    cap.setColorAt(1, BodyTo);
    p.fillRect(bar, cap);
    p.setPen(BorderColor);
    p.drawLine(bar.bottomLeft(), bar.bottomRight());
    p.drawRect(r.adjusted(0, 0, -1, -1));

    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(13);
    f.setBold(true);
    p.setFont(f);
    p.setPen(CaptionText);
    p.drawText(QRect(2, 4, width() - 24, CaptionHeight - 4), Qt::AlignLeft | Qt::AlignTop, m_caption);
}
