#pragma once
// Umbrella header of the update framework: the update checker TWebUpdate and its
// wizard TWebUpdateWizard. The check and the downloads run asynchronously on Qt
// Network while the wizard's modal dialog stays responsive; every request has a
// time limit. See docs/update.md for the control file, signing and the updater.

#include "ControlFile.h"

#include <QDateTime>
#include <QDialog>
#include <QFont>
#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;
class QFile;
namespace webupdate {
class Sha256;
}
class QTimer;

class TWebUpdate : public QObject {
    Q_OBJECT
public:
    enum class TUpdateType { HTTP, File };
    enum class TConnectionHandling { Never, Dial };
    enum class TAuthenticate { Never, Always };
    enum class NetState { Down, Up, Unknown };

    explicit TWebUpdate(QObject* parent = nullptr);
    ~TWebUpdate() override;

    // --- Settings -------------------------------------------------------------------
    QString URL;
    QString Agent = QStringLiteral("TWebUpdate");
    QString DateFormat = QStringLiteral("dd/mm/yyyy");
    QChar DateSeparator = u'/';
    QString TimeFormat = QStringLiteral("hh:nn");
    QChar TimeSeparator = u':';
    // The control file's text signature; only compared when SignatureCheck is on.
    // (The control file's Ed25519 signature is always checked.)
    QString Signature;
    bool SignatureCheck = false;
    QString LogFileName;
    bool Logging = false;
    QString TempDirectory = QStringLiteral(".");
    bool UseWinTempDir = true; // downloads go to the user's temporary folder
    bool PostUpdateInfo = false;
    TUpdateType UpdateType = TUpdateType::HTTP;
    TConnectionHandling ConnectionHandling = TConnectionHandling::Never;
    TAuthenticate Authenticate = TAuthenticate::Never;

    // Limit of each request in ms: the whole control file, or the longest pause in a download.
    int Timeout = 15000;

    // --- Environment; empty/zero means the running program's own -----------------------
    QString ApplicationPath; // the program's executable; its folder receives the files
    QString CurrentVersion;  // installed version ("" = the executable's version resource)
    QDateTime CurrentDate;   // installed release date (invalid = the executable's modification time)
    QString TempPath;        // the user's temporary folder
    QString DocumentsPath;   // the user's documents folder (WUPDATE.INI)
    QString UpdaterPath;     // the updater program
    qint64 WaitPid = 0;      // process the updater waits for
    std::function<NetState()> ConnectionProbe; // network-up hint
    std::function<void()> Terminate;           // ends the program after a restart was started

    // The host of the program's update server (build setting).
    static QString DefaultHost();

    // --- Results ----------------------------------------------------------------------
    enum class CheckOutcome {
        NoConnection,
        Failed,
        Refused,
        NotNewer,
        NewerByDate,
        NewerByVersion,
        NewerOther
    };
    struct CheckResult {
        CheckOutcome outcome = CheckOutcome::Failed;
        QString reason; // why it failed or was refused
        QString currentText;
        QString newText;
    };

    // --- Operations (asynchronous) ------------------------------------------------------
    void StartCheck(); // -> checkFinished
    const webupdate::ControlFile* Control() const { return m_control.get(); }
    QList<webupdate::FileEntry> FilesFor(const QStringList& components) const;
    void StartDownload(const QList<webupdate::FileEntry>& files); // -> progress, downloadFinished
    bool NeedsRestart() const;
    // Installs files that the running program does not use, in place.
    bool InstallNow(QString* error);
    // Hands the staged update to the updater and asks it to restart the program.
    bool Restart(QString* error);
    // Ends whatever runs, deletes the downloaded control file and the stage.
    void Abort();
    bool RestartStarted() const { return m_restartStarted; }

    QString ControlFilePath() const;
    QString StageDir() const { return m_stageDir; }
    QString UpdaterIniPath() const;
    QString applicationPath() const;
    QString currentVersionText() const;
    QDateTime currentDate() const;

signals:
    void checkFinished(const TWebUpdate::CheckResult& result);
    void fileProgress(const QString& name, qint64 received, qint64 total);
    void totalProgress(qint64 received, qint64 total);
    void downloadFinished(bool ok, const QString& reason);

private:
    void fetchSignature();
    void evaluate();
    void finishCheck(CheckOutcome outcome, const QString& reason = {});
    void startNextFile();
    void finishDownload(bool ok, const QString& reason);
    QNetworkReply* get(const QUrl& url);
    void dropReply();
    QString tempPath() const;
    webupdate::DateFormats formats() const;
    QNetworkAccessManager* nam();

    QNetworkAccessManager* m_nam = nullptr;
    QPointer<QNetworkReply> m_reply;
    QTimer* m_deadline = nullptr;
    QByteArray m_body;
    QByteArray m_controlBytes;
    QByteArray m_signature;
    std::unique_ptr<webupdate::ControlFile> m_control;
    bool m_checking = false;

    QList<webupdate::FileEntry> m_queue;
    QList<webupdate::FileEntry> m_downloaded;
    int m_current = -1;
    qint64 m_totalSize = 0;
    qint64 m_totalDone = 0;
    qint64 m_fileDone = 0;
    std::unique_ptr<QFile> m_out;
    std::unique_ptr<webupdate::Sha256> m_hash;
    QString m_stageDir;
    bool m_restartStarted = false;
};

Q_DECLARE_METATYPE(TWebUpdate::CheckResult)

class TWebUpdateWizard : public QObject {
    Q_OBJECT
public:
    explicit TWebUpdateWizard(QObject* parent = nullptr);
    ~TWebUpdateWizard() override;

    TWebUpdate* WebUpdate = nullptr;
    QFont Font;

    // Makes the executable's folder the current directory when InitPath is true,
    // then runs the wizard as a modal dialog; returns when it has closed.
    void Execute(bool InitPath);

    // The same without waiting: opens the modal dialog and returns; closed() follows.
    QDialog* Open(bool InitPath);
    QDialog* Dialog() const { return m_dialog; }

signals:
    void closed();

private:
    QPointer<QDialog> m_dialog;
};
