#pragma once
// Staging and installing downloaded files. The stage is a private folder in the
// temporary folder holding the signed control file, the downloaded files and the
// list of what to install; both the wizard (files the running program does not
// use) and the updater program (everything else, after the program has ended)
// install from it with the same all-or-nothing procedure.

#include "ControlFile.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace webupdate {

struct StagedFile {
    QString name;       // relative to the program's folder
    QString stagedPath; // the downloaded copy
    qint64 size = 0;
    QByteArray sha256;
    bool executable = false;
};

namespace stage {
inline constexpr const char* ControlName = "control.inf";
inline constexpr const char* SignatureName = "control.inf.sig";
inline constexpr const char* ListName = "stage.ini";
// Where file [FileN] is downloaded to inside the stage.
QString filePath(const QString& stageDir, int index);
// Writes the control file, its signature and the list of files to install.
bool write(const QString& stageDir, const QByteArray& control, const QByteArray& signature,
           const DateFormats& formats, const QList<int>& indices, QString* error);
// Reads a stage back: the control file must verify under publicKey and every
// listed file must be one of it. The files themselves are checked by install().
std::optional<QList<StagedFile>> load(const QString& stageDir, const QByteArray& publicKey, QString* error);
} // namespace stage

// Checks size and SHA-256 of every staged file and that every name stays inside root.
bool verifyStaged(const QString& root, const QList<StagedFile>& files, QString* error);

// Installs all files or none: each target is replaced by an atomic rename after a
// backup is kept; when anything fails, every replaced file is put back.
bool install(const QString& root, const QList<StagedFile>& files, QString* error);

} // namespace webupdate
