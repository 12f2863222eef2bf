#include "Application.h"

#include "Exception.h"
#include "MessageBoxes.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcApp, "sarnavel.app")

namespace vcl {

QString Application::titleFromExecutable(const QString& fileName)
{
    QString base = QFileInfo(fileName).fileName();
    const qsizetype dot = base.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        base.truncate(dot);
    if (base.size() > 1)
        base = base.left(1) + base.mid(1).toLower();
    return base;
}

QString Application::Title()
{
    QString exe = QCoreApplication::applicationFilePath();
    if (exe.isEmpty() && QCoreApplication::instance())
        exe = QCoreApplication::arguments().value(0);
    return titleFromExecutable(exe);
}

QString Application::exceptionText(const QString& message)
{
    if (!message.isEmpty() && message.back() > QLatin1Char('.'))
        return message + QLatin1Char('.');
    return message;
}

void Application::ShowException(const QString& message)
{
    MessageBoxes::show(MsgType::Stop, exceptionText(message), {MsgButton::Ok}, Title());
}

bool Application::guard(const std::function<void()>& handler)
{
    try {
        handler();
        return true;
    } catch (const Exception& e) {
        ShowException(e.Message());
    } catch (const std::exception& e) {
        ShowException(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowException(QStringLiteral("Unknown error"));
    }
    return false;
}

} // namespace vcl
