#include "ExeInfo.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <elf.h>
#include <cstring>

namespace {
constexpr qint64 MaxSectionSize = 64 * 1024;
constexpr char Magic[] = "VS_VERSION_INFO";

template <typename T> bool readAt(QFile& f, qint64 offset, T& out)
{
    if (offset < 0 || !f.seek(offset))
        return false;
    return f.read(reinterpret_cast<char*>(&out), sizeof(T)) == qint64(sizeof(T));
}
} // namespace

TExeInfo::TExeInfo(QObject* parent)
    : QObject(parent)
{
    load(QCoreApplication::applicationFilePath());
}

TExeInfo::TExeInfo(const QString& executable, QObject* parent)
    : QObject(parent)
{
    load(executable);
}

void TExeInfo::load(const QString& executable)
{
    std::optional<VersionResource> res;
    if (auto section = readElfSection(executable, SectionName))
        res = parseVersionResource(*section);
    m_fileVersion = fileVersionFrom(res);
    m_productVersion = fileVersionFrom(res, QStringLiteral("ProductVersion"));
}

std::optional<QString> TExeInfo::VersionResource::string(const QString& translation, const QString& name) const
{
    const QString key = translation + QLatin1Char('\\') + name;
    for (const auto& [k, v] : strings)
        if (k == key)
            return v;
    return std::nullopt;
}

std::optional<TExeInfo::VersionResource> TExeInfo::parseVersionResource(const QByteArray& data)
{
    // NUL-separated "key=value" records after the magic record.
    const QList<QByteArray> records = data.split('\0');
    if (records.isEmpty() || records.first() != QByteArray(Magic))
        return std::nullopt;
    VersionResource res;
    for (qsizetype i = 1; i < records.size(); ++i) {
        const QByteArray& rec = records[i];
        if (rec.isEmpty())
            continue;
        const qsizetype eq = rec.indexOf('=');
        if (eq <= 0)
            continue;
        const QString key = QString::fromUtf8(rec.left(eq));
        const QString value = QString::fromUtf8(rec.mid(eq + 1));
        if (key == QLatin1String("FixedFileVersion"))
            res.fixedFileVersion = value;
        else if (key == QLatin1String("FixedProductVersion"))
            res.fixedProductVersion = value;
        else if (key == QLatin1String("Translation")) {
            // "0409 04E4": language, then code page, as four hex digits each.
            const QStringList parts = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            for (qsizetype p = 0; p + 1 < parts.size(); p += 2) {
                bool ok1 = false, ok2 = false;
                const uint lang = parts[p].toUInt(&ok1, 16);
                const uint cp = parts[p + 1].toUInt(&ok2, 16);
                if (ok1 && ok2 && lang <= 0xFFFF && cp <= 0xFFFF)
                    res.translations << QStringLiteral("%1%2")
                                            .arg(lang, 4, 16, QLatin1Char('0'))
                                            .arg(cp, 4, 16, QLatin1Char('0'))
                                            .toUpper();
            }
        } else if (key.startsWith(QLatin1String("StringFileInfo\\"))) {
            res.strings.append({key.mid(int(std::strlen("StringFileInfo\\"))), value});
        }
    }
    return res;
}

QString TExeInfo::fileVersionFrom(const std::optional<VersionResource>& res, const QString& entry)
{
    if (!res)
        return NoResourceText;
    if (res->translations.isEmpty())
        return QString();
    return res->string(res->translations.first(), entry).value_or(QString());
}

std::optional<QByteArray> TExeInfo::readElfSection(const QString& file, const QByteArray& name)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    Elf64_Ehdr eh;
    if (!readAt(f, 0, eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64)
        return std::nullopt;
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shnum == 0 || eh.e_shstrndx >= eh.e_shnum)
        return std::nullopt;
    const qint64 fileSize = f.size();
    auto sectionHeader = [&](quint32 index, Elf64_Shdr& sh) {
        return readAt(f, qint64(eh.e_shoff) + qint64(index) * qint64(sizeof(Elf64_Shdr)), sh);
    };
    Elf64_Shdr strtab;
    if (!sectionHeader(eh.e_shstrndx, strtab) || strtab.sh_size > quint64(fileSize) || strtab.sh_offset > quint64(fileSize))
        return std::nullopt;
    if (!f.seek(qint64(strtab.sh_offset)))
        return std::nullopt;
    const QByteArray names = f.read(qint64(strtab.sh_size));
    for (quint32 i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh;
        if (!sectionHeader(i, sh))
            return std::nullopt;
        if (sh.sh_name >= quint64(names.size()))
            continue;
        const char* n = names.constData() + sh.sh_name;
        const qsizetype len = qstrnlen(n, names.size() - qsizetype(sh.sh_name));
        if (QByteArray(n, len) != name)
            continue;
        if (sh.sh_type == SHT_NOBITS || sh.sh_size > quint64(MaxSectionSize) || sh.sh_offset > quint64(fileSize)
            || sh.sh_offset + sh.sh_size > quint64(fileSize) || !f.seek(qint64(sh.sh_offset)))
            return std::nullopt;
        return f.read(qint64(sh.sh_size));
    }
    return std::nullopt;
}

QString TExeInfo::GetOperatingSystem() const
{
    QString name = osReleaseName(QStringLiteral("/etc/os-release"));
    if (name == QLatin1String("Unknown"))
        name = osReleaseName(QStringLiteral("/usr/lib/os-release"));
    return name;
}

QString TExeInfo::windowsName(const OsVersion& v)
{
    const QString unknown = QStringLiteral("Unknown");
    if (!v.queryOk)
        return unknown;
    const bool workstation = v.productType == 1;
    if (v.platformId == 1) {
        if (v.major == 4 && v.minor == 0)
            return QStringLiteral("Windows 95");
        if (v.major == 4 && v.minor == 10)
            return (v.csdVersion.size() >= 2 && v.csdVersion.at(1) == QLatin1Char('A')) ? QStringLiteral("Windows 98 SE")
                                                                                     : QStringLiteral("Windows 98");
        if (v.major == 4 && v.minor == 90)
            return QStringLiteral("Windows ME");
        return unknown;
    }
    if (v.platformId == 2) {
        if (v.major <= 4)
            return QStringLiteral("Windows NT");
        if (v.major == 5) {
            switch (v.minor) {
            case 0:
                return QStringLiteral("Windows 2000");
            case 1:
                return QStringLiteral("Windows XP");
            case 2:
                return QStringLiteral("Windows 2003");
            default:
                return unknown;
            }
        }
        if (v.major == 6) {
            switch (v.minor) {
            case 0:
                return workstation ? QStringLiteral("Windows Vista") : QStringLiteral("Windows Server 2008");
            case 1:
                return workstation ? QStringLiteral("Windows 7") : QStringLiteral("Windows Server 2008R2");
            case 2:
                return workstation ? QStringLiteral("Windows 8") : QStringLiteral("Windows Server 2012");
            case 3:
                return workstation ? QStringLiteral("Windows 8.1") : QStringLiteral("Windows Server 2012R2");
            default:
                return unknown;
            }
        }
        return unknown;
    }
    return unknown;
}

QString TExeInfo::osReleaseName(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        return QStringLiteral("Unknown");
    // os-release is small; anything past 64 KiB is not one.
    const QByteArray data = f.read(MaxSectionSize);
    for (const QByteArray& raw : data.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.startsWith("PRETTY_NAME="))
            continue;
        QString value = QString::fromUtf8(line.mid(int(std::strlen("PRETTY_NAME="))));
        if (value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\''))
            && value.back() == value.front())
            value = value.mid(1, value.size() - 2);
        value.replace(QLatin1String("\\\""), QLatin1String("\""));
        return value.isEmpty() ? QStringLiteral("Unknown") : value;
    }
    return QStringLiteral("Unknown");
}
