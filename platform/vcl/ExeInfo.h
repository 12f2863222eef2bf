#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <optional>

// Executable information: the file version from the executable's version
// resource and the name of the operating system.
//
// On Linux the version resource is an ELF section (see VersionResource.cmake)
// holding the same data a Windows version resource carries: the fixed file and
// product version, the translation list and one string table per translation.
class TExeInfo : public QObject {
    Q_OBJECT
public:
    static constexpr const char* SectionName = "sarnavel_vinfo";
    static inline const QString NoResourceText = QStringLiteral("Updated at run-time");

    // Reads the version resource of the running executable.
    explicit TExeInfo(QObject* parent = nullptr);
    // Reads the version resource of the given executable file.
    TExeInfo(const QString& executable, QObject* parent);

    QString FileVersion() const { return m_fileVersion; }
    QString ProductVersion() const { return m_productVersion; }
    QString GetOperatingSystem() const;

    // --- Pieces, public for tests -------------------------------------------------
    struct VersionResource {
        QString fixedFileVersion;
        QString fixedProductVersion;
        QStringList translations;            // "040904E4", in order
        QList<QPair<QString, QString>> strings; // "040904E4\\FileVersion" -> value
        std::optional<QString> string(const QString& translation, const QString& name) const;
    };
    // Parses the section's bytes; nullopt when they are not a version resource.
    static std::optional<VersionResource> parseVersionResource(const QByteArray& data);
    // Extracts a named section from an ELF file; nullopt when the file has none.
    static std::optional<QByteArray> readElfSection(const QString& file, const QByteArray& name);
    // What FileVersion reads from a resource (or its absence).
    static QString fileVersionFrom(const std::optional<VersionResource>& res, const QString& entry = QStringLiteral("FileVersion"));

    // Version fields an operating system reports, as the Windows extended query gives them.
    struct OsVersion {
        bool queryOk = true;
        int platformId = 2; // 1: Windows 9x, 2: NT
        int major = 0;
        int minor = 0;
        QString csdVersion;  // service-pack text
        int productType = 1; // 1: workstation
    };
    // The name table for reported Windows versions.
    static QString windowsName(const OsVersion& v);
    // The distribution's PRETTY_NAME from an os-release file; "Unknown" when unreadable.
    static QString osReleaseName(const QString& path);

private:
    void load(const QString& executable);
    QString m_fileVersion = NoResourceText;
    QString m_productVersion = NoResourceText;
};
