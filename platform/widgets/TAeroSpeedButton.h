#pragma once

#include <QAbstractButton>

// Flat, mouse-only button showing a bitmap face with its text drawn into it.
// It never takes keyboard focus.
class TAeroSpeedButton : public QAbstractButton {
    Q_OBJECT
    Q_PROPERTY(FaceStyle faceStyle READ faceStyle WRITE setFaceStyle)
    Q_PROPERTY(QSize faceSize READ faceSize WRITE setFaceSize)
public:
    enum FaceStyle { Aqua, Magenta };
    Q_ENUM(FaceStyle)

    explicit TAeroSpeedButton(QWidget* parent = nullptr);

    FaceStyle faceStyle() const { return m_style; }
    void setFaceStyle(FaceStyle style);
    QSize faceSize() const { return m_faceSize; }
    void setFaceSize(const QSize& size);
    // The face image as painted (rounded gradient with the text drawn into it).
    QImage face() const;

    QSize sizeHint() const override { return m_faceSize; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    FaceStyle m_style = Aqua;
    QSize m_faceSize{75, 30};
    bool m_hover = false;
};
