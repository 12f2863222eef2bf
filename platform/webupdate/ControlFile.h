#pragma once
// The update control file (an INI text, see docs/update.md) and the rules
// used to read it: numeric versions, the configured date and time formats and
// which file names may be installed.

#include <QByteArray>
#include <QDate>
#include <QList>
#include <QString>
#include <QTime>
#include <QUrl>
#include <optional>

namespace webupdate {

// Caps on what a server may hand us.
constexpr qint64 MaxControlFileSize = 1024 * 1024;
constexpr int MaxFiles = 256;
constexpr int MaxComponents = 64;
constexpr qint64 MaxFileSize = qint64(2) * 1024 * 1024 * 1024;

// A dotted version compared numerically segment by segment; missing segments count as 0.
class Version {
public:
    static std::optional<Version> parse(QStringView text);
    int compare(const Version& other) const;
    bool operator<(const Version& o) const { return compare(o) < 0; }
    bool operator>(const Version& o) const { return compare(o) > 0; }
    bool operator==(const Version& o) const { return compare(o) == 0; }
    QString toString() const;
    bool isNull() const { return m_parts.isEmpty(); }

private:
    QList<quint32> m_parts;
};

// Date and time formats written the checker's way: d, dd, m, mm, yy, yyyy for dates,
// h, hh, n, nn, s, ss for times, "/" and ":" standing for the configured separators.
struct DateFormats {
    QString dateFormat = QStringLiteral("dd/mm/yyyy");
    QChar dateSeparator = u'/';
    QString timeFormat = QStringLiteral("hh:nn");
    QChar timeSeparator = u':';

    std::optional<QDate> parseDate(const QString& text) const;
    std::optional<QTime> parseTime(const QString& text) const;
    // The same formats in QDate/QTime notation.
    QString qtDateFormat() const;
    QString qtTimeFormat() const;
};

// How the control file says a release is newer.
enum class Rule { Date, Version, Checksum };

struct FileEntry {
    int index = 0; // [FileN]
    QString name;  // path relative to the program's folder, '/'-separated
    QUrl url;      // resolved against the control file's address
    qint64 size = 0;
    QByteArray sha256;       // 32 raw bytes
    bool restart = false;    // part of the running program: installed by the updater
    bool executable = false; // installed with execute permission
    QString component;       // empty: always installed
};

struct Component {
    QString id;
    QString caption;
};

struct ControlFile {
    Rule rule = Rule::Version;
    Version version;
    QString versionText;
    std::optional<QDate> date;
    std::optional<QTime> time;
    QString description;
    bool silentRestart = false;
    std::optional<QString> releaseNotes;
    std::optional<QString> license;
    QList<Component> components;
    QList<FileEntry> files;

    // Parses the control file; nullopt with a reason in *error when it is not valid.
    static std::optional<ControlFile> parse(const QByteArray& data, const QUrl& base,
                                            const DateFormats& formats, QString* error);
    const FileEntry* file(int index) const;
};

// True for a relative, '/'-separated path with no empty, "." or ".." segments,
// no backslash, drive letter or control characters.
bool isSafeRelativePath(const QString& path);

// The absolute target of a relative path under root, or an empty string when the
// path is unsafe or an existing folder on the way leads out of root (symbolic link).
QString resolveInside(const QString& root, const QString& relativePath);

// SHA-256 of a file, streamed; empty on a read error.
QByteArray sha256OfFile(const QString& path, qint64* size = nullptr);

} // namespace webupdate
