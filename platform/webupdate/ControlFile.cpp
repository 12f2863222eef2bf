#include "ControlFile.h"

#include "Signing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMap>
#include <QRegularExpression>
#include <QStringDecoder>

namespace webupdate {

std::optional<Version> Version::parse(QStringView text) {
    const QStringView t = text.trimmed();
    if (t.isEmpty() || t.size() > 64)
        return std::nullopt;
    Version v;
    for (QStringView part : t.split(u'.')) {
        if (part.isEmpty() || part.size() > 9 || v.m_parts.size() >= 8)
            return std::nullopt;
        for (QChar c : part)
            if (c < u'0' || c > u'9')
                return std::nullopt;
        v.m_parts.append(part.toUInt());
    }
    return v;
}

int Version::compare(const Version& other) const {
    const qsizetype n = std::max(m_parts.size(), other.m_parts.size());
    for (qsizetype i = 0; i < n; ++i) {
        const quint32 a = i < m_parts.size() ? m_parts[i] : 0;
        const quint32 b = i < other.m_parts.size() ? other.m_parts[i] : 0;
        if (a != b)
            return a < b ? -1 : 1;
    }
    return 0;
}

QString Version::toString() const {
    QStringList s;
    for (quint32 p : m_parts)
        s << QString::number(p);
    return s.join(u'.');
}

namespace {

// Turns the checker's notation into Qt's. Letters other than the known ones are
// quoted so that Qt does not read them as fields.
QString toQtFormat(const QString& fmt, QChar sep, QChar sepChar, bool isTime) {
    QString out;
    for (qsizetype i = 0; i < fmt.size();) {
        const QChar c = fmt[i].toLower();
        qsizetype run = 1;
        while (i + run < fmt.size() && fmt[i + run].toLower() == c)
            ++run;
        if (!isTime && (c == u'd' || c == u'y')) {
            out += QString(run, c);
        } else if (!isTime && c == u'm') {
            out += QString(run, u'M');
        } else if (isTime && (c == u'h' || c == u's')) {
            out += QString(run, c);
        } else if (isTime && c == u'n') {
            out += QString(run, u'm');
        } else if (c == sepChar) {
            for (qsizetype k = 0; k < run; ++k)
                out += (sep == u'\'') ? QStringLiteral("''") : QString(sep);
        } else {
            for (qsizetype k = 0; k < run; ++k)
                out += u'\'' + QString(fmt[i + k]) + u'\'';
        }
        i += run;
    }
    return out;
}

} // namespace

QString DateFormats::qtDateFormat() const {
    return toQtFormat(dateFormat, dateSeparator, u'/', false);
}
QString DateFormats::qtTimeFormat() const {
    return toQtFormat(timeFormat, timeSeparator, u':', true);
}

std::optional<QDate> DateFormats::parseDate(const QString& text) const {
    const QDate d = QDate::fromString(text.trimmed(), qtDateFormat());
    if (!d.isValid())
        return std::nullopt;
    return d;
}

std::optional<QTime> DateFormats::parseTime(const QString& text) const {
    const QTime t = QTime::fromString(text.trimmed(), qtTimeFormat());
    if (!t.isValid())
        return std::nullopt;
    return t;
}

namespace {

using Section = QMap<QString, QString>;

QString unescape(const QString& v) {
    QString out;
    out.reserve(v.size());
    for (qsizetype i = 0; i < v.size(); ++i) {
        if (v[i] == u'\\' && i + 1 < v.size()) {
            const QChar n = v[i + 1];
            if (n == u'n') {
                out += u'\n';
                ++i;
                continue;
            }
            if (n == u'\\') {
                out += u'\\';
                ++i;
                continue;
            }
        }
        out += v[i];
    }
    return out;
}

bool parseIni(const QByteArray& data, QMap<QString, Section>* sections, QString* error) {
    QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = dec.decode(data);
    if (dec.hasError()) {
        *error = QStringLiteral("the control file is not UTF-8 text");
        return false;
    }
    QString current;
    int lineNo = 0;
    for (QStringView raw : QStringView(text).split(u'\n')) {
        ++lineNo;
        QStringView line = raw.trimmed();
        if (lineNo == 1 && line.startsWith(QChar(0xFEFF)))
            line = line.mid(1).trimmed();
        if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']')) {
                *error = QStringLiteral("line %1: unterminated section name").arg(lineNo);
                return false;
            }
            current = line.mid(1, line.size() - 2).trimmed().toString().toLower();
            if (sections->contains(current)) {
                *error = QStringLiteral("line %1: section [%2] appears twice").arg(lineNo).arg(current);
                return false;
            }
            sections->insert(current, {});
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq <= 0 || current.isEmpty()) {
            *error = QStringLiteral("line %1: expected key=value inside a section").arg(lineNo);
            return false;
        }
        const QString key = line.left(eq).trimmed().toString().toLower();
        Section& s = (*sections)[current];
        if (s.contains(key)) {
            *error = QStringLiteral("line %1: key %2 appears twice").arg(lineNo).arg(key);
            return false;
        }
        s.insert(key, unescape(line.mid(eq + 1).trimmed().toString()));
    }
    return true;
}

std::optional<bool> parseFlag(const QString& v) {
    if (v.isEmpty() || v == u"0" || v.compare(u"false", Qt::CaseInsensitive) == 0)
        return false;
    if (v == u"1" || v.compare(u"true", Qt::CaseInsensitive) == 0)
        return true;
    return std::nullopt;
}

} // namespace

const FileEntry* ControlFile::file(int index) const {
    for (const FileEntry& f : files)
        if (f.index == index)
            return &f;
    return nullptr;
}

std::optional<ControlFile> ControlFile::parse(const QByteArray& data, const QUrl& base,
                                              const DateFormats& formats, QString* error) {
    QString dummy;
    QString& err = error ? *error : dummy;
    if (data.size() > MaxControlFileSize) {
        err = QStringLiteral("the control file is too large");
        return std::nullopt;
    }
    QMap<QString, Section> ini;
    if (!parseIni(data, &ini, &err))
        return std::nullopt;
    if (!ini.contains(u"update"_qs)) {
        err = QStringLiteral("the control file has no [Update] section");
        return std::nullopt;
    }
    ControlFile cf;
    const Section up = ini.value(u"update"_qs);
    const QString rule = up.value(u"rule"_qs, u"version"_qs).toLower();
    if (rule == u"date")
        cf.rule = Rule::Date;
    else if (rule == u"version")
        cf.rule = Rule::Version;
    else if (rule == u"checksum")
        cf.rule = Rule::Checksum;
    else {
        err = QStringLiteral("unknown rule \"%1\"").arg(rule);
        return std::nullopt;
    }
    cf.versionText = up.value(u"version"_qs);
    const auto version = Version::parse(cf.versionText);
    if (!version) {
        err = QStringLiteral("the release version \"%1\" is not a dotted number").arg(cf.versionText);
        return std::nullopt;
    }
    cf.version = *version;
    cf.versionText =
        version->toString() == cf.versionText.trimmed() ? cf.versionText.trimmed() : cf.versionText;
    if (up.contains(u"date"_qs)) {
        cf.date = formats.parseDate(up.value(u"date"_qs));
        if (!cf.date) {
            err = QStringLiteral("the release date \"%1\" does not match %2")
                      .arg(up.value(u"date"_qs), formats.dateFormat);
            return std::nullopt;
        }
    }
    if (up.contains(u"time"_qs)) {
        cf.time = formats.parseTime(up.value(u"time"_qs));
        if (!cf.time) {
            err = QStringLiteral("the release time \"%1\" does not match %2")
                      .arg(up.value(u"time"_qs), formats.timeFormat);
            return std::nullopt;
        }
    }
    if (cf.rule == Rule::Date && !cf.date) {
        err = QStringLiteral("the date rule needs a release date");
        return std::nullopt;
    }
    cf.description = up.value(u"description"_qs);
    const auto silent = parseFlag(up.value(u"silentrestart"_qs));
    if (!silent) {
        err = QStringLiteral("SilentRestart must be 0 or 1");
        return std::nullopt;
    }
    cf.silentRestart = *silent;
    if (ini.contains(u"releasenotes"_qs))
        cf.releaseNotes = ini.value(u"releasenotes"_qs).value(u"text"_qs);
    if (ini.contains(u"license"_qs))
        cf.license = ini.value(u"license"_qs).value(u"text"_qs);

    static const QRegularExpression idRe(QStringLiteral("^[a-z0-9_-]{1,64}$"));
    const Section comps = ini.value(u"components"_qs);
    if (comps.size() > MaxComponents) {
        err = QStringLiteral("too many components");
        return std::nullopt;
    }
    for (auto it = comps.begin(); it != comps.end(); ++it) {
        if (!idRe.match(it.key()).hasMatch()) {
            err = QStringLiteral("component name \"%1\" is not valid").arg(it.key());
            return std::nullopt;
        }
        cf.components.append({it.key(), it.value().isEmpty() ? it.key() : it.value()});
    }

    static const QRegularExpression fileRe(QStringLiteral("^file([1-9][0-9]{0,2})$"));
    static const QRegularExpression hexRe(QStringLiteral("^[0-9a-fA-F]{64}$"));
    QMap<int, Section> fileSections;
    for (auto it = ini.begin(); it != ini.end(); ++it) {
        const auto m = fileRe.match(it.key());
        if (m.hasMatch()) {
            const int n = m.captured(1).toInt();
            if (n > MaxFiles) {
                err = QStringLiteral("[File%1]: at most %2 files").arg(n).arg(MaxFiles);
                return std::nullopt;
            }
            fileSections.insert(n, it.value());
        }
    }
    QSet<QString> names;
    for (auto it = fileSections.begin(); it != fileSections.end(); ++it) {
        const Section& s = it.value();
        FileEntry f;
        f.index = it.key();
        const QString where = QStringLiteral("[File%1]").arg(f.index);
        f.name = s.value(u"name"_qs);
        if (!isSafeRelativePath(f.name)) {
            err = QStringLiteral("%1: the file name \"%2\" is absolute or leaves the program's folder")
                      .arg(where, f.name);
            return std::nullopt;
        }
        if (names.contains(f.name)) {
            err = QStringLiteral("%1: the file \"%2\" is listed twice").arg(where, f.name);
            return std::nullopt;
        }
        names.insert(f.name);
        const QUrl rel(s.value(u"url"_qs, f.name), QUrl::StrictMode);
        f.url = base.resolved(rel);
        if (!rel.isValid() || (f.url.scheme() != u"http" && f.url.scheme() != u"https")) {
            err = QStringLiteral("%1: the address must be http or https").arg(where);
            return std::nullopt;
        }
        bool ok = false;
        f.size = s.value(u"size"_qs).toLongLong(&ok);
        if (!ok || f.size < 0 || f.size > MaxFileSize) {
            err = QStringLiteral("%1: missing or invalid size").arg(where);
            return std::nullopt;
        }
        const QString hex = s.value(u"sha256"_qs);
        if (!hexRe.match(hex).hasMatch()) {
            err = QStringLiteral("%1: missing or invalid SHA256").arg(where);
            return std::nullopt;
        }
        f.sha256 = QByteArray::fromHex(hex.toLatin1());
        const auto restart = parseFlag(s.value(u"restart"_qs));
        const auto exec = parseFlag(s.value(u"executable"_qs));
        if (!restart || !exec) {
            err = QStringLiteral("%1: Restart and Executable must be 0 or 1").arg(where);
            return std::nullopt;
        }
        f.restart = *restart;
        f.executable = *exec;
        f.component = s.value(u"component"_qs).toLower();
        if (!f.component.isEmpty() && !comps.contains(f.component)) {
            err = QStringLiteral("%1: unknown component \"%2\"").arg(where, f.component);
            return std::nullopt;
        }
        cf.files.append(f);
    }
    return cf;
}

bool isSafeRelativePath(const QString& path) {
    if (path.isEmpty() || path.size() > 1024)
        return false;
    if (path.startsWith(u'/') || path.contains(u'\\'))
        return false;
    if (path.size() >= 2 && path[1] == u':') // drive letter
        return false;
    for (QChar c : path)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    for (QStringView seg : QStringView(path).split(u'/')) {
        if (seg.isEmpty() || seg == u"." || seg == u".." || seg.size() > 255)
            return false;
    }
    return true;
}

QString resolveInside(const QString& root, const QString& relativePath) {
    if (!isSafeRelativePath(relativePath))
        return {};
    const QString canonRoot = QFileInfo(root).canonicalFilePath();
    if (canonRoot.isEmpty())
        return {};
    const QString target = canonRoot + u'/' + relativePath;
    // The deepest folder on the way that exists must still be inside root.
    QString dir = QFileInfo(target).path();
    while (!QFileInfo::exists(dir) && dir.size() > canonRoot.size())
        dir = QFileInfo(dir).path();
    const QString canonDir = QFileInfo(dir).canonicalFilePath();
    if (canonDir != canonRoot && !canonDir.startsWith(canonRoot + u'/'))
        return {};
    // A target that is itself a link is replaced, not followed, by the rename.
    return target;
}

QByteArray sha256OfFile(const QString& path, qint64* size) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    Sha256 h;
    qint64 total = 0;
    QByteArray buf(1 << 16, Qt::Uninitialized);
    for (;;) {
        const qint64 n = f.read(buf.data(), buf.size());
        if (n < 0)
            return {};
        if (n == 0)
            break;
        h.addData(buf.constData(), n);
        total += n;
    }
    if (size)
        *size = total;
    return h.result();
}

} // namespace webupdate
