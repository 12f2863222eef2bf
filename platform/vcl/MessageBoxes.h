#pragma once

#include <QList>
#include <QString>
#include <functional>

class QWidget;

// Modal message boxes with the toolkit's captions. Every box of the program goes
// through here, so tests can answer them without a real dialog (see MessageBoxSpy).
namespace vcl {

enum class MsgType { Warning, Error, Information, Confirmation, Stop };
enum class MsgButton { Ok, Yes, No, Cancel };

struct ShownMessage {
    MsgType type;
    QString caption;
    QString text;
    QList<MsgButton> buttons;
};

class MessageBoxes {
public:
    // Caption the toolkit gives a box of this type ("警告", "エラー", "情報", ...).
    static QString captionFor(MsgType type);

    // Shows a modal box and returns the button that closed it. An empty caption
    // takes the toolkit's caption for the type.
    static MsgButton show(MsgType type, const QString& text, const QList<MsgButton>& buttons = {MsgButton::Ok},
                          const QString& caption = {});

    static void warning(const QString& text) { show(MsgType::Warning, text); }
    static void error(const QString& text) { show(MsgType::Error, text); }
    static void information(const QString& text) { show(MsgType::Information, text); }
    // Yes/No question; true for Yes.
    static bool question(const QString& text);

    // Test hook: when set, no dialog is shown; the hook sees the box and answers it.
    using Interceptor = std::function<MsgButton(const ShownMessage&)>;
    static void setInterceptor(Interceptor interceptor);
    static bool intercepted();
};

// Records every box shown while it lives and answers each one: with the queued
// answers first, then with the box's first button.
class MessageBoxSpy {
public:
    MessageBoxSpy();
    ~MessageBoxSpy();
    MessageBoxSpy(const MessageBoxSpy&) = delete;
    MessageBoxSpy& operator=(const MessageBoxSpy&) = delete;

    void setNextAnswer(MsgButton answer) { m_answers.append(answer); }
    // Runs while a box is "open": lets a test look at the window at that moment.
    void onShow(std::function<void(const ShownMessage&)> callback) { m_onShow = std::move(callback); }

    const QList<ShownMessage>& messages() const { return m_messages; }
    QStringList texts() const;
    int count() const { return m_messages.size(); }
    void clear() { m_messages.clear(); }

private:
    QList<ShownMessage> m_messages;
    QList<MsgButton> m_answers;
    std::function<void(const ShownMessage&)> m_onShow;
};

} // namespace vcl
