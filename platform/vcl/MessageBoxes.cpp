#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStringList>

namespace vcl {

namespace {
MessageBoxes::Interceptor& interceptor()
{
    static MessageBoxes::Interceptor hook;
    return hook;
}

QMessageBox::Icon iconFor(MsgType type)
{
    switch (type) {
    case MsgType::Warning:
        return QMessageBox::Warning;
    case MsgType::Error:
    case MsgType::Stop:
        return QMessageBox::Critical;
    case MsgType::Information:
        return QMessageBox::Information;
    case MsgType::Confirmation:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton standardFor(MsgButton b)
{
    switch (b) {
    case MsgButton::Ok:
        return QMessageBox::Ok;
    case MsgButton::Yes:
        return QMessageBox::Yes;
    case MsgButton::No:
        return QMessageBox::No;
    case MsgButton::Cancel:
        return QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}
} // namespace

QString MessageBoxes::captionFor(MsgType type)
{
    switch (type) {
    case MsgType::Warning:
        return QStringLiteral("警告");
    case MsgType::Error:
    case MsgType::Stop:
        return QStringLiteral("エラー");
    case MsgType::Information:
        return QStringLiteral("情報");
    case MsgType::Confirmation:
        return QStringLiteral("確認");
    }
    return {};
}

MsgButton MessageBoxes::show(MsgType type, const QString& text, const QList<MsgButton>& buttons,
                             const QString& caption)
{
    const QList<MsgButton> btns = buttons.isEmpty() ? QList<MsgButton>{MsgButton::Ok} : buttons;
    ShownMessage msg{type, caption.isEmpty() ? captionFor(type) : caption, text, btns};
    if (interceptor())
        return interceptor()(msg);

    // Owned by the window that is active and visible (a dialog closing at this
    // moment is not); held through a QPointer, because a parent that is deleted
    // while the box is open takes the box with it.
    QWidget* owner = QApplication::activeWindow();
    if (owner && !owner->isVisible())
        owner = nullptr;
    QPointer<QMessageBox> box = new QMessageBox(iconFor(type), msg.caption, text, QMessageBox::NoButton, owner);
    QList<QPair<QAbstractButton*, MsgButton>> map;
    for (MsgButton b : btns)
        map.append({box->addButton(standardFor(b)), b});
    box->setDefaultButton(qobject_cast<QPushButton*>(map.first().first));
    // Escape or the title-bar close button answers with the last button (OK or No).
    box->setEscapeButton(map.last().first);
    box->exec();
    if (!box)
        return btns.last();
    const QAbstractButton* clicked = box->clickedButton();
    delete box.data();
    for (const auto& [button, answer] : map)
        if (clicked == button)
            return answer;
    return btns.last();
}

bool MessageBoxes::question(const QString& text)
{
    return show(MsgType::Confirmation, text, {MsgButton::Yes, MsgButton::No}) == MsgButton::Yes;
}

void MessageBoxes::setInterceptor(Interceptor hook)
{
    interceptor() = std::move(hook);
}

bool MessageBoxes::intercepted()
{
    return static_cast<bool>(interceptor());
}

MessageBoxSpy::MessageBoxSpy()
{
    MessageBoxes::setInterceptor([this](const ShownMessage& m) {
        m_messages.append(m);
        if (m_onShow)
            m_onShow(m);
        if (!m_answers.isEmpty())
            return m_answers.takeFirst();
        return m.buttons.first();
    });
}

MessageBoxSpy::~MessageBoxSpy()
{
    MessageBoxes::setInterceptor({});
}

QStringList MessageBoxSpy::texts() const
{
    QStringList out;
    for (const auto& m : m_messages)
        out << m.text;
    return out;
}

} // namespace vcl
