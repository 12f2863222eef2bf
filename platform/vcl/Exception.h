#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

// An error raised inside a handler and not caught there. The application-wide
// exception message (Application::ShowException) shows its message.
class Exception : public std::exception {
public:
    explicit Exception(QString message);
    const QString& Message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// Index outside a list's range: the toolkit's own wording.
class EListError : public Exception {
public:
    EListError();
};
