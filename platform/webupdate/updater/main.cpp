// sarnavel-updater --ini <WUPDATE.INI> <program>
//
// Started by the update wizard from the temporary folder. Waits (bounded) for the
// program to end, checks the staged files against the signed control file again,
// replaces them all or none, and starts the program, updated or as it was.
#include "Installer.h"
#include "Signing.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QThread>

#include <cstdio>

namespace {

QString g_logPath;

void log(const QString& line) {
    std::fprintf(stderr, "sarnavel-updater: %s\n", qPrintable(line));
    if (g_logPath.isEmpty())
        return;
    QFile f(g_logPath);
    if (f.open(QIODevice::Append | QIODevice::Text))
        f.write((QDateTime::currentDateTime().toString(Qt::ISODate) + u' ' + line + u'\n').toUtf8());
}

// A process that has ended but is not yet reaped counts as ended.
bool running(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray s = stat.read(4096);
    const qsizetype close = s.lastIndexOf(')');
    return close < 0 || close + 2 >= s.size() || s.at(close + 2) != 'Z';
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({QStringLiteral("ini"), QStringLiteral("The update settings file (WUPDATE.INI)."),
                      QStringLiteral("file")});
    parser.addPositionalArgument(QStringLiteral("program"),
                                 QStringLiteral("The program to update and restart."));
    parser.process(app);
    if (!parser.isSet(QStringLiteral("ini")) || parser.positionalArguments().size() != 1) {
        std::fprintf(stderr, "usage: sarnavel-updater --ini <WUPDATE.INI> <program>\n");
        return 2;
    }
    const QString program = QFileInfo(parser.positionalArguments().first()).absoluteFilePath();
    QSettings ini(parser.value(QStringLiteral("ini")), QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("WebUpdate"));
    const QString logName = QFileInfo(ini.value(QStringLiteral("LogFile")).toString()).fileName();
    const QString stageDir = ini.value(QStringLiteral("Stage")).toString();
    const qint64 pid = ini.value(QStringLiteral("Pid")).toLongLong();
    const int waitSeconds = std::clamp(ini.value(QStringLiteral("WaitSeconds"), 30).toInt(), 1, 600);
    // The log goes to the temporary folder the stage lives in.
    if (!logName.isEmpty() && !stageDir.isEmpty())
        g_logPath = QDir(QFileInfo(stageDir).absolutePath()).filePath(logName);

    if (stageDir.isEmpty() || !QFileInfo(stageDir).isDir()) {
        log(QStringLiteral("no staged update in %1").arg(stageDir));
        return 2;
    }
    if (QFileInfo(ini.value(QStringLiteral("Program")).toString()).absoluteFilePath() != program) {
        log(QStringLiteral("the settings file is for another program; nothing installed"));
        QDir(stageDir).removeRecursively();
        return 2;
    }

    // The program ends by itself right after starting us; do not wait forever.
    if (pid > 0) {
        QDeadlineTimer deadline(qint64(waitSeconds) * 1000);
        while (running(pid) && !deadline.hasExpired())
            QThread::msleep(50);
        if (running(pid)) {
            log(QStringLiteral("the program (process %1) did not end within %2 s; nothing installed")
                    .arg(pid)
                    .arg(waitSeconds));
            QDir(stageDir).removeRecursively();
            return 3;
        }
    }

    QString error;
    bool ok = false;
    if (const auto files = webupdate::stage::load(stageDir, webupdate::releasePublicKey(), &error)) {
        ok = webupdate::install(QFileInfo(program).absolutePath(), *files, &error);
        if (ok)
            log(QStringLiteral("installed %1 file(s) into %2")
                    .arg(files->size())
                    .arg(QFileInfo(program).absolutePath()));
    }
    if (!ok)
        log(QStringLiteral("update not installed, the program is left as it was: %1").arg(error));
    QDir(stageDir).removeRecursively();

    // Updated or not, the program comes back.
    if (!QProcess::startDetached(program, {}, QFileInfo(program).absolutePath())) {
        log(QStringLiteral("cannot start %1").arg(program));
        return 4;
    }
    return ok ? 0 : 1;
}
