#pragma once

#include <QWidget>

enum TAdvSmoothSliderState { ssOn = 0, ssOff = 1 };

// On/off slider. A change the user makes (mouse or keyboard) raises
// OnStateChanged; setting the state from code moves the thumb silently.
class TAdvSmoothSlider : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString onCaption READ onCaption WRITE setOnCaption)
    Q_PROPERTY(QString offCaption READ offCaption WRITE setOffCaption)
public:
    explicit TAdvSmoothSlider(QWidget* parent = nullptr);

    TAdvSmoothSliderState State() const { return m_state; }
    void setState(TAdvSmoothSliderState state); // never raises OnStateChanged
    // The slider's number for a state (On 0, Off 1).
    static double valueFor(TAdvSmoothSliderState state) { return state == ssOn ? 0.0 : 1.0; }

    QString onCaption() const { return m_onCaption; }
    void setOnCaption(const QString& c);
    QString offCaption() const { return m_offCaption; }
    void setOffCaption(const QString& c);

Q_SIGNALS:
    void OnStateChanged(QObject* Sender, TAdvSmoothSliderState State, double Value);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void userSet(TAdvSmoothSliderState state);
    QRect thumbRect(double pos) const;

    TAdvSmoothSliderState m_state = ssOn;
    QString m_onCaption = QStringLiteral("On");
    QString m_offCaption = QStringLiteral("Off");
    bool m_dragging = false;
    bool m_moved = false;
    int m_pressX = 0;
    double m_dragPos = 0; // 0: thumb at the right (On showing), 1: thumb at the left (Off showing)
};
