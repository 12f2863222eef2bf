#pragma once

#include <QFont>
#include <QWidget>

class QToolButton;

// Captioned panel with a gradient body and a caption bar whose button collapses
// the panel to its caption bar and expands it again.
class TAdvPanel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString caption READ caption WRITE setCaption)
    Q_PROPERTY(bool collapsed READ collapsed WRITE setCollapsed)
public:
    static constexpr int CaptionHeight = 20;

    explicit TAdvPanel(QWidget* parent = nullptr);

    QString caption() const { return m_caption; }
    void setCaption(const QString& caption);
    bool collapsed() const { return m_collapsed; }
    void setCollapsed(bool collapsed);
    QToolButton* collapseButton() const { return m_button; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void placeButton();
    QString m_caption;
    QToolButton* m_button = nullptr;
    bool m_collapsed = false;
    int m_expandedHeight = 0;
};
