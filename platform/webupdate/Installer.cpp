#include "Installer.h"

#include "Signing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace webupdate {

namespace {
QString sysError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

QByteArray readSmall(const QString& path, qint64 cap, bool* ok) {
    QFile f(path);
    *ok = false;
    if (!f.open(QIODevice::ReadOnly) || f.size() > cap)
        return {};
    *ok = true;
    return f.readAll();
}

bool writeWhole(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size() && f.flush();
}

// Copies src to dst, hashing what was written and syncing it to disk.
bool copySynced(const QString& src, const QString& dst, QFileDevice::Permissions perms, QByteArray* sha,
                QString* error) {
    QFile in(src);
    QFile out(dst);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(src, in.errorString());
        return false;
    }
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = QStringLiteral("cannot write %1: %2").arg(dst, out.errorString());
        return false;
    }
    Sha256 h;
    QByteArray buf(1 << 16, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buf.data(), buf.size());
        if (n < 0) {
            *error = QStringLiteral("cannot read %1").arg(src);
            return false;
        }
        if (n == 0)
            break;
        h.addData(buf.constData(), n);
        if (out.write(buf.constData(), n) != n) {
            *error = QStringLiteral("cannot write %1: %2").arg(dst, out.errorString());
            return false;
        }
    }
    if (!out.flush() || ::fsync(out.handle()) != 0) {
        *error = QStringLiteral("cannot write %1: %2").arg(dst, sysError());
        return false;
    }
    out.close();
    QFile::setPermissions(dst, perms);
    *sha = h.result();
    return true;
}
} // namespace

QString stage::filePath(const QString& stageDir, int index) {
    return stageDir + QStringLiteral("/files/") + QString::number(index);
}

bool stage::write(const QString& stageDir, const QByteArray& control, const QByteArray& signature,
                  const DateFormats& formats, const QList<int>& indices, QString* error) {
    if (!writeWhole(stageDir + u'/' + QLatin1String(ControlName), control) ||
        !writeWhole(stageDir + u'/' + QLatin1String(SignatureName), encodeSignatureFile(signature))) {
        *error = QStringLiteral("cannot write to %1").arg(stageDir);
        return false;
    }
    QSettings s(stageDir + u'/' + QLatin1String(ListName), QSettings::IniFormat);
    s.clear();
    s.beginGroup(QStringLiteral("Stage"));
    s.setValue(QStringLiteral("DateFormat"), formats.dateFormat);
    s.setValue(QStringLiteral("DateSeparator"), QString(formats.dateSeparator));
    s.setValue(QStringLiteral("TimeFormat"), formats.timeFormat);
    s.setValue(QStringLiteral("TimeSeparator"), QString(formats.timeSeparator));
    QStringList list;
    for (int i : indices)
        list << QString::number(i);
    s.setValue(QStringLiteral("Files"), list.join(u','));
    s.endGroup();
    s.sync();
    if (s.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot write the stage list");
        return false;
    }
    return true;
}

std::optional<QList<StagedFile>> stage::load(const QString& stageDir, const QByteArray& publicKey,
                                             QString* error) {
    bool ok1 = false, ok2 = false;
    const QByteArray control =
        readSmall(stageDir + u'/' + QLatin1String(ControlName), MaxControlFileSize, &ok1);
    const QByteArray sigText = readSmall(stageDir + u'/' + QLatin1String(SignatureName), 1024, &ok2);
    if (!ok1 || !ok2) {
        *error = QStringLiteral("the stage %1 is incomplete").arg(stageDir);
        return std::nullopt;
    }
    if (!verifyEd25519(publicKey, control, decodeSignatureFile(sigText))) {
        *error = QStringLiteral("the staged control file's signature does not verify");
        return std::nullopt;
    }
    QSettings s(stageDir + u'/' + QLatin1String(ListName), QSettings::IniFormat);
    s.beginGroup(QStringLiteral("Stage"));
    DateFormats formats;
    formats.dateFormat = s.value(QStringLiteral("DateFormat"), formats.dateFormat).toString();
    formats.dateSeparator =
        s.value(QStringLiteral("DateSeparator"), QString(formats.dateSeparator)).toString().front();
    formats.timeFormat = s.value(QStringLiteral("TimeFormat"), formats.timeFormat).toString();
    formats.timeSeparator =
        s.value(QStringLiteral("TimeSeparator"), QString(formats.timeSeparator)).toString().front();
    const QString list = s.value(QStringLiteral("Files")).toString();
    QString err;
    const auto cf = ControlFile::parse(control, QUrl(QStringLiteral("http://localhost/")), formats, &err);
    if (!cf) {
        *error = QStringLiteral("the staged control file is not valid: %1").arg(err);
        return std::nullopt;
    }
    QList<StagedFile> out;
    for (const QString& item : list.split(u',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int index = item.toInt(&ok);
        const FileEntry* f = ok ? cf->file(index) : nullptr;
        if (!f) {
            *error = QStringLiteral("the stage names a file the control file does not list");
            return std::nullopt;
        }
        out.append({f->name, filePath(stageDir, index), f->size, f->sha256, f->executable});
    }
    if (out.isEmpty()) {
        *error = QStringLiteral("the stage lists no files");
        return std::nullopt;
    }
    return out;
}

bool verifyStaged(const QString& root, const QList<StagedFile>& files, QString* error) {
    for (const StagedFile& f : files) {
        if (resolveInside(root, f.name).isEmpty()) {
            *error = QStringLiteral("%1: the path is absolute or leaves the program's folder").arg(f.name);
            return false;
        }
        qint64 size = -1;
        const QByteArray sha = sha256OfFile(f.stagedPath, &size);
        if (sha.isEmpty()) {
            *error = QStringLiteral("%1: the downloaded copy cannot be read").arg(f.name);
            return false;
        }
        if (size != f.size) {
            *error = QStringLiteral("%1: the size is %2 bytes, the control file says %3")
                         .arg(f.name)
                         .arg(size)
                         .arg(f.size);
            return false;
        }
        if (sha != f.sha256) {
            *error = QStringLiteral("%1: the SHA-256 checksum does not match").arg(f.name);
            return false;
        }
    }
    return true;
}

bool install(const QString& root, const QList<StagedFile>& files, QString* error) {
    if (!verifyStaged(root, files, error))
        return false;

    struct Done {
        QString target;
        QString backup; // empty: the target did not exist before
    };
    QList<Done> done;
    QStringList createdDirs;
    QString pendingTmp;

    auto rollback = [&] {
        if (!pendingTmp.isEmpty())
            QFile::remove(pendingTmp);
        for (auto it = done.crbegin(); it != done.crend(); ++it) {
            if (it->backup.isEmpty())
                QFile::remove(it->target);
            else
                ::rename(QFile::encodeName(it->backup).constData(),
                         QFile::encodeName(it->target).constData());
        }
        for (auto it = createdDirs.crbegin(); it != createdDirs.crend(); ++it)
            QDir().rmdir(*it);
    };

    for (const StagedFile& f : files) {
        const QString target = resolveInside(root, f.name);
        if (target.isEmpty()) {
            *error = QStringLiteral("%1: the path leaves the program's folder").arg(f.name);
            rollback();
            return false;
        }
        // Make the missing folders on the way, remembering them for a rollback.
        QStringList missing;
        for (QString d = QFileInfo(target).path(); !QFileInfo::exists(d); d = QFileInfo(d).path())
            missing.prepend(d);
        for (const QString& d : missing) {
            if (!QDir().mkdir(d)) {
                *error = QStringLiteral("cannot make the folder %1").arg(d);
                rollback();
                return false;
            }
            createdDirs.append(d);
        }
        const QFileInfo ti(target);
        const bool existed = ti.exists() || ti.isSymLink();
        QFileDevice::Permissions perms =
            existed && !ti.isSymLink()
                ? QFile::permissions(target)
                : (QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        if (f.executable)
            perms |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;

        pendingTmp = target + QStringLiteral(".sarnavel-new");
        QFile::remove(pendingTmp);
        QByteArray written;
        if (!copySynced(f.stagedPath, pendingTmp, perms, &written, error)) {
            rollback();
            return false;
        }
        if (written != f.sha256) {
            *error = QStringLiteral("%1: the staged copy changed while it was installed").arg(f.name);
            rollback();
            return false;
        }
        QString backup;
        if (existed) {
            backup = target + QStringLiteral(".sarnavel-old");
            QFile::remove(backup);
            // A hard link keeps the old file without a moment where the target is missing.
            if (::link(QFile::encodeName(target).constData(), QFile::encodeName(backup).constData()) != 0 &&
                !QFile::copy(target, backup)) {
                *error = QStringLiteral("%1: cannot keep a backup: %2").arg(f.name, sysError());
                rollback();
                return false;
            }
        }
        if (::rename(QFile::encodeName(pendingTmp).constData(), QFile::encodeName(target).constData()) != 0) {
            *error = QStringLiteral("%1: cannot replace the file: %2").arg(f.name, sysError());
            if (!backup.isEmpty())
                QFile::remove(backup);
            rollback();
            return false;
        }
        pendingTmp.clear();
        done.append({target, backup});
    }
    for (const Done& d : done)
        if (!d.backup.isEmpty())
            QFile::remove(d.backup);
    // Make the renames themselves durable.
    const int dirFd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

} // namespace webupdate
