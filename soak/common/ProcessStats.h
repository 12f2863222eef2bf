#pragma once
// What a soak run watches in its own process: open file descriptors, threads and
// memory, read from /proc (Linux).

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

inline int countEntries(const char* dir)
{
    return int(QDir(QString::fromLatin1(dir)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

inline int openFds()
{
    return countEntries("/proc/self/fd");
}

inline int threadCount()
{
    return countEntries("/proc/self/task");
}

// A field of /proc/self/status in kB (VmRSS, VmHWM); -1 when unreadable.
inline long statusKb(const char* field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLong();
    return -1;
}
