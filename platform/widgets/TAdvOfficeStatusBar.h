#pragma once

#include <QList>
#include <QWidget>

// Office-style status bar with fixed-width text panels separated by splitter lines.
class TAdvOfficeStatusBar : public QWidget {
    Q_OBJECT
public:
    explicit TAdvOfficeStatusBar(QWidget* parent = nullptr);

    // Appends a panel of the given width.
    void AddPanel(int width);
    int PanelCount() const { return int(m_panels.size()); }
    int PanelWidth(int index) const;
    QString PanelText(int index) const;
    void SetPanelText(int index, const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Panel {
        int width;
        QString text;
    };
    QList<Panel> m_panels;
};
