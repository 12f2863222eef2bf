#pragma once

#include <QString>
#include <functional>

// The application object's services: its title and the application-wide
// exception message that reports an error escaping a handler.
namespace vcl {

class Application {
public:
    // Default title: the executable's file name up to its first full stop, every
    // character after the first in lower case ("SarnavelServer.exe" -> "Sarnavelserver").
    static QString titleFromExecutable(const QString& fileName);
    // Title of the running program.
    static QString Title();

    // The message text as the exception box shows it: a full stop is added when the
    // text ends in a character that comes after "." in code order.
    static QString exceptionText(const QString& message);

    // Error box with a stop icon and OK, captioned with the title.
    static void ShowException(const QString& message);

    // Runs a handler; an error escaping it is shown by ShowException and the
    // program goes on. Returns false when the handler was ended by an error.
    static bool guard(const std::function<void()>& handler);
};

} // namespace vcl
