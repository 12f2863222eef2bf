// Sarnavel Server: entry point.
#include "TfmVelkor.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // The main window owns the taskbar entry: its title and icon are the program's.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/sarnavel-server.png")));
    QApplication::setDesktopFileName(QStringLiteral("sarnavel-server"));

    TfmVelkor window; // loads the layout, then runs FormCreate (update wizard included)
    fmVelkor = &window;
    window.show();
    return app.exec();
}
