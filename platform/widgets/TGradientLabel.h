#pragma once

#include <QWidget>

// Transparent label with its text indented and centred vertically, and a
// gradient line under it from blue to the button-face colour.
class TGradientLabel : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString text READ text WRITE setText)
public:
    explicit TGradientLabel(QWidget* parent = nullptr);
    QString text() const { return m_text; }
    void setText(const QString& text);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
};
