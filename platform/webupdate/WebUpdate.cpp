#include "WebUpdate.h"

#include "ExeInfo.h"
#include "Installer.h"
#include "Signing.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QNetworkInformation>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcess>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdlib>

Q_LOGGING_CATEGORY(lcWebUpdate, "sarnavel.webupdate")

using namespace webupdate;

namespace {

TWebUpdate::NetState systemNetState() {
    // The hint only: "unknown" (no backend, no answer) counts as up.
    if (!QNetworkInformation::instance())
        QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
    const QNetworkInformation* ni = QNetworkInformation::instance();
    if (!ni)
        return TWebUpdate::NetState::Unknown;
    switch (ni->reachability()) {
    case QNetworkInformation::Reachability::Disconnected:
        return TWebUpdate::NetState::Down;
    case QNetworkInformation::Reachability::Unknown:
        return TWebUpdate::NetState::Unknown;
    default:
        return TWebUpdate::NetState::Up;
    }
}

constexpr qint64 MaxSignatureFileSize = 4096;

QString httpFailure(QNetworkReply* reply, int timeoutMs) {
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 300)
        return QStringLiteral("HTTP status %1").arg(status);
    switch (reply->error()) {
    case QNetworkReply::NoError:
        return {};
    case QNetworkReply::OperationCanceledError: // the transfer timeout; our own aborts never get here
    case QNetworkReply::TimeoutError:
        return QStringLiteral("the server sent nothing for %1 s").arg(timeoutMs / 1000.0);
    default:
        return reply->errorString();
    }
}

} // namespace

TWebUpdate::TWebUpdate(QObject* parent)
    : QObject(parent)
    , m_deadline(new QTimer(this)) {
    qRegisterMetaType<TWebUpdate::CheckResult>();
    // The updater has the staged files; the program ends so they can replace it.
    Terminate = [] { std::exit(0); };
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        if (!m_reply)
            return;
        dropReply();
        finishCheck(CheckOutcome::Failed,
                    QStringLiteral("The update server did not answer within %1 s.").arg(Timeout / 1000.0));
    });
}

TWebUpdate::~TWebUpdate() {
    Abort();
}

QString TWebUpdate::DefaultHost() {
    return QStringLiteral(SARNAVEL_UPDATE_HOST);
}

QNetworkAccessManager* TWebUpdate::nam() {
    if (!m_nam) {
        m_nam = new QNetworkAccessManager(this);
        m_nam->setCache(nullptr);
        // Requests carry no credentials and nobody is asked for any.
        connect(m_nam, &QNetworkAccessManager::authenticationRequired, this,
                [](QNetworkReply* r, QAuthenticator*) {
                    qCWarning(lcWebUpdate) << "server asks for credentials; none are given" << r->url();
                });
    }
    return m_nam;
}

QString TWebUpdate::applicationPath() const {
    return ApplicationPath.isEmpty() ? QCoreApplication::applicationFilePath() : ApplicationPath;
}

QString TWebUpdate::currentVersionText() const {
    if (!CurrentVersion.isEmpty())
        return CurrentVersion;
    const TExeInfo info(applicationPath(), nullptr);
    if (Version::parse(info.FileVersion()))
        return info.FileVersion();
    return QCoreApplication::applicationVersion();
}

QDateTime TWebUpdate::currentDate() const {
    if (CurrentDate.isValid())
        return CurrentDate;
    return QFileInfo(applicationPath()).lastModified();
}

QString TWebUpdate::tempPath() const {
    if (!TempPath.isEmpty())
        return TempPath;
    if (!UseWinTempDir && !TempDirectory.isEmpty())
        return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(TempDirectory);
    return QDir::tempPath();
}

QString TWebUpdate::ControlFilePath() const {
    QString name = QUrl(URL).fileName();
    if (name.isEmpty() || !isSafeRelativePath(name))
        name = QStringLiteral("update.inf");
    return QDir(tempPath()).filePath(name);
}

QString TWebUpdate::UpdaterIniPath() const {
    const QString docs = !DocumentsPath.isEmpty()
                             ? DocumentsPath
                             : QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QDir(docs).filePath(QStringLiteral("WUPDATE.INI"));
}

DateFormats TWebUpdate::formats() const {
    DateFormats f;
    f.dateFormat = DateFormat;
    f.dateSeparator = DateSeparator;
    f.timeFormat = TimeFormat;
    f.timeSeparator = TimeSeparator;
    return f;
}

QNetworkReply* TWebUpdate::get(const QUrl& url) {
    QNetworkRequest req(url);
    req.setHeader(QNetworkRequest::UserAgentHeader, Agent);
    // Straight from the server: no cache of ours, none on the way.
    req.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    req.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    req.setRawHeader("Cache-Control", "no-cache");
    req.setRawHeader("Pragma", "no-cache");
    req.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    req.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    req.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    req.setMaximumRedirectsAllowed(5);
    req.setTransferTimeout(Timeout);
    return nam()->get(req);
}

void TWebUpdate::dropReply() {
    m_deadline->stop();
    if (m_reply) {
        QNetworkReply* r = m_reply;
        m_reply = nullptr;
        r->disconnect(this);
        r->abort();
        r->deleteLater();
    }
}

void TWebUpdate::StartCheck() {
    Abort();
    m_checking = true;
    m_control.reset();
    m_controlBytes.clear();
    m_signature.clear();
    m_body.clear();

    const NetState net = ConnectionProbe ? ConnectionProbe() : systemNetState();
    if (net == NetState::Down) {
        finishCheck(CheckOutcome::NoConnection);
        return;
    }
    const QUrl url(URL, QUrl::StrictMode);
    if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https") || url.host().isEmpty()) {
        finishCheck(CheckOutcome::Failed, QStringLiteral("The update address \"%1\" is not valid.").arg(URL));
        return;
    }
    qCDebug(lcWebUpdate) << "fetching" << url;
    m_reply = get(url);
    m_deadline->start(Timeout);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        m_body += m_reply->readAll();
        if (m_body.size() > MaxControlFileSize) {
            dropReply();
            finishCheck(CheckOutcome::Failed, QStringLiteral("The control file is larger than allowed."));
        }
    });
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        QNetworkReply* r = m_reply;
        m_reply = nullptr;
        m_deadline->stop();
        r->deleteLater();
        m_body += r->readAll();
        const QString failure = httpFailure(r, Timeout);
        if (!failure.isEmpty()) {
            finishCheck(CheckOutcome::Failed, failure);
            return;
        }
        if (m_body.size() > MaxControlFileSize) {
            finishCheck(CheckOutcome::Failed, QStringLiteral("The control file is larger than allowed."));
            return;
        }
        m_controlBytes = m_body;
        m_body.clear();
        QSaveFile f(ControlFilePath());
        if (!f.open(QIODevice::WriteOnly) || f.write(m_controlBytes) != m_controlBytes.size() ||
            !f.commit()) {
            finishCheck(CheckOutcome::Failed, QStringLiteral("Cannot store %1.").arg(ControlFilePath()));
            return;
        }
        fetchSignature();
    });
}

void TWebUpdate::fetchSignature() {
    QUrl sigUrl(URL);
    sigUrl.setPath(sigUrl.path() + QStringLiteral(".sig"));
    m_reply = get(sigUrl);
    m_deadline->start(Timeout);
    // A signature file is one line; anything bigger is not buffered up.
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (m_reply->bytesAvailable() > MaxSignatureFileSize) {
            dropReply();
            finishCheck(CheckOutcome::Refused,
                        QStringLiteral("The signature file is larger than allowed; the update is refused."));
        }
    });
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        QNetworkReply* r = m_reply;
        m_reply = nullptr;
        m_deadline->stop();
        r->deleteLater();
        const QByteArray text = r->read(MaxSignatureFileSize);
        if (!httpFailure(r, Timeout).isEmpty()) {
            finishCheck(
                CheckOutcome::Refused,
                QStringLiteral("The update information carries no signature (%1); the update is refused.")
                    .arg(httpFailure(r, Timeout)));
            return;
        }
        m_signature = decodeSignatureFile(text);
        QSaveFile f(ControlFilePath() + QStringLiteral(".sig"));
        if (f.open(QIODevice::WriteOnly)) {
            f.write(text);
            f.commit();
        }
        evaluate();
    });
}

void TWebUpdate::evaluate() {
    if (!verifyEd25519(releasePublicKey(), m_controlBytes, m_signature)) {
        finishCheck(CheckOutcome::Refused,
                    QStringLiteral(
                        "The signature of the update information does not verify; the update is refused."));
        return;
    }
    QString err;
    auto cf = ControlFile::parse(m_controlBytes, QUrl(URL), formats(), &err);
    if (!cf) {
        finishCheck(CheckOutcome::Refused,
                    QStringLiteral("The update information is not valid: %1.").arg(err));
        return;
    }
    m_control = std::make_unique<ControlFile>(std::move(*cf));
    const ControlFile& c = *m_control;
    const auto current = Version::parse(currentVersionText());

    // Never go back to an older release, whatever rule says it is new.
    if (current && c.version < *current) {
        if (c.rule == Rule::Version)
            finishCheck(CheckOutcome::NotNewer);
        else
            finishCheck(CheckOutcome::Refused,
                        QStringLiteral("The update offers version %1, older than the installed version %2; "
                                       "it is refused.")
                            .arg(c.versionText, current->toString()));
        return;
    }
    switch (c.rule) {
    case Rule::Version:
        if (current && !(c.version > *current)) {
            finishCheck(CheckOutcome::NotNewer);
            return;
        }
        finishCheck(CheckOutcome::NewerByVersion);
        return;
    case Rule::Date: {
        const QDateTime cur = currentDate();
        bool newer;
        if (!cur.isValid())
            newer = true;
        else if (c.time)
            newer = QDateTime(*c.date, *c.time) > cur;
        else
            newer = *c.date > cur.date();
        finishCheck(newer ? CheckOutcome::NewerByDate : CheckOutcome::NotNewer);
        return;
    }
    case Rule::Checksum: {
        const QString root = QFileInfo(applicationPath()).absolutePath();
        bool differs = false;
        for (const FileEntry& f : c.files) {
            const QString target = resolveInside(root, f.name);
            if (target.isEmpty() || sha256OfFile(target) != f.sha256)
                differs = true;
        }
        finishCheck(differs ? CheckOutcome::NewerOther : CheckOutcome::NotNewer);
        return;
    }
    }
}

void TWebUpdate::finishCheck(CheckOutcome outcome, const QString& reason) {
    if (!m_checking)
        return;
    m_checking = false;
    CheckResult r;
    r.outcome = outcome;
    r.reason = reason;
    const QLocale locale;
    if (m_control && outcome == CheckOutcome::NewerByVersion) {
        r.currentText = currentVersionText();
        r.newText = m_control->versionText;
    } else if (m_control && outcome == CheckOutcome::NewerByDate) {
        const QDateTime cur = currentDate();
        if (cur.isValid())
            r.currentText = locale.toString(cur.date(), QLocale::ShortFormat);
        r.newText = locale.toString(*m_control->date, QLocale::ShortFormat);
        if (m_control->time)
            r.newText += u' ' + locale.toString(*m_control->time, QLocale::ShortFormat);
    }
    if (outcome == CheckOutcome::Failed || outcome == CheckOutcome::Refused)
        qCWarning(lcWebUpdate) << "update check:" << reason;
    emit checkFinished(r);
}

QList<FileEntry> TWebUpdate::FilesFor(const QStringList& components) const {
    QList<FileEntry> out;
    if (!m_control)
        return out;
    for (const FileEntry& f : m_control->files)
        if (f.component.isEmpty() || components.contains(f.component))
            out.append(f);
    return out;
}

void TWebUpdate::StartDownload(const QList<FileEntry>& files) {
    dropReply();
    m_queue = files;
    m_downloaded.clear();
    m_totalSize = 0;
    m_totalDone = 0;
    for (const FileEntry& f : files)
        m_totalSize += f.size;
    if (m_stageDir.isEmpty()) {
        QTemporaryDir dir(QDir(tempPath()).filePath(QStringLiteral("sarnavel-update-XXXXXX")));
        dir.setAutoRemove(false);
        if (!dir.isValid() || !QDir(dir.path()).mkdir(QStringLiteral("files"))) {
            finishDownload(false, QStringLiteral("Cannot make a folder in %1.").arg(tempPath()));
            return;
        }
        m_stageDir = dir.path();
    }
    startNextFile();
}

void TWebUpdate::startNextFile() {
    if (m_queue.isEmpty()) {
        finishDownload(true, {});
        return;
    }
    const FileEntry f = m_queue.first();
    m_fileDone = 0;
    m_out = std::make_unique<QFile>(stage::filePath(m_stageDir, f.index));
    if (!m_out->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        finishDownload(false, QStringLiteral("Cannot write %1.").arg(m_out->fileName()));
        return;
    }
    m_hash = std::make_unique<Sha256>();
    emit fileProgress(f.name, 0, f.size);
    qCDebug(lcWebUpdate) << "downloading" << f.url;
    m_reply = get(f.url);
    m_reply->setReadBufferSize(1 << 20);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        const FileEntry& cur = m_queue.first();
        const QByteArray chunk = m_reply->readAll();
        if (m_fileDone + chunk.size() > cur.size) {
            finishDownload(
                false, QStringLiteral("%1: the server sends more than the %2 bytes the control file states.")
                           .arg(cur.name)
                           .arg(cur.size));
            return;
        }
        if (m_out->write(chunk) != chunk.size()) {
            finishDownload(false, QStringLiteral("Cannot write %1.").arg(m_out->fileName()));
            return;
        }
        m_hash->addData(chunk);
        m_fileDone += chunk.size();
        m_totalDone += chunk.size();
        emit fileProgress(cur.name, m_fileDone, cur.size);
        emit totalProgress(m_totalDone, m_totalSize);
    });
    connect(m_reply, &QNetworkReply::finished, this, [this] {
        QNetworkReply* r = m_reply;
        const FileEntry cur = m_queue.first();
        if (r->bytesAvailable() > 0)
            emit r->readyRead();
        if (!m_reply)
            return; // readyRead gave up
        m_reply = nullptr;
        r->deleteLater();
        const QString failure = httpFailure(r, Timeout);
        if (!failure.isEmpty()) {
            finishDownload(false, QStringLiteral("%1: %2").arg(cur.name, failure));
            return;
        }
        if (!m_out->flush()) {
            finishDownload(false, QStringLiteral("Cannot write %1.").arg(m_out->fileName()));
            return;
        }
        m_out->close();
        if (m_fileDone != cur.size) {
            finishDownload(false, QStringLiteral("%1: %2 bytes arrived, the control file states %3.")
                                      .arg(cur.name)
                                      .arg(m_fileDone)
                                      .arg(cur.size));
            return;
        }
        if (m_hash->result() != cur.sha256) {
            finishDownload(false, QStringLiteral("%1: the SHA-256 checksum does not match.").arg(cur.name));
            return;
        }
        m_downloaded.append(cur);
        m_queue.removeFirst();
        startNextFile();
    });
}

void TWebUpdate::finishDownload(bool ok, const QString& reason) {
    dropReply();
    if (m_out)
        m_out->close();
    m_out.reset();
    m_hash.reset();
    if (!ok) {
        qCWarning(lcWebUpdate) << "download:" << reason;
        // Nothing of a failed download is kept or installed.
        if (!m_stageDir.isEmpty())
            QDir(m_stageDir).removeRecursively();
        m_stageDir.clear();
        m_downloaded.clear();
    }
    m_queue.clear();
    emit downloadFinished(ok, reason);
}

bool TWebUpdate::NeedsRestart() const {
    const QString exe = QFileInfo(applicationPath()).fileName();
    for (const FileEntry& f : m_downloaded)
        if (f.restart || f.name == exe)
            return true;
    return false;
}

static QList<StagedFile> stagedFiles(const QString& stageDir, const QList<FileEntry>& files) {
    QList<StagedFile> out;
    for (const FileEntry& f : files)
        out.append({f.name, stage::filePath(stageDir, f.index), f.size, f.sha256, f.executable});
    return out;
}

bool TWebUpdate::InstallNow(QString* error) {
    const QString root = QFileInfo(applicationPath()).absolutePath();
    const bool ok = install(root, stagedFiles(m_stageDir, m_downloaded), error);
    QDir(m_stageDir).removeRecursively();
    m_stageDir.clear();
    m_downloaded.clear();
    return ok;
}

bool TWebUpdate::Restart(QString* error) {
    if (m_stageDir.isEmpty() || m_downloaded.isEmpty()) {
        *error = QStringLiteral("Nothing has been downloaded.");
        return false;
    }
    // An installed copy the user may not change (a system package) cannot be updated from here.
    const QString root = QFileInfo(applicationPath()).absolutePath();
    if (!QFileInfo(root).isWritable()) {
        *error = QStringLiteral("The program's folder %1 cannot be written; "
                                "install the update with the system's package manager.")
                     .arg(root);
        return false;
    }
    QList<int> indices;
    for (const FileEntry& f : m_downloaded)
        indices.append(f.index);
    if (!stage::write(m_stageDir, m_controlBytes, m_signature, formats(), indices, error))
        return false;

    // The updater runs from the temporary folder, so it may replace its own installed copy.
    QString updater = UpdaterPath;
    if (updater.isEmpty()) {
        updater = QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("sarnavel-updater"));
        if (!QFileInfo::exists(updater))
            updater = QStringLiteral(SARNAVEL_UPDATER_BUILD_PATH);
    }
    const QString updaterCopy = QDir(m_stageDir).filePath(QStringLiteral("sarnavel-updater"));
    QFile::remove(updaterCopy);
    if (!QFile::copy(updater, updaterCopy)) {
        *error = QStringLiteral("Cannot copy the updater %1.").arg(updater);
        return false;
    }
    QFile::setPermissions(updaterCopy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QString ini = UpdaterIniPath();
    QDir().mkpath(QFileInfo(ini).absolutePath());
    {
        QFile::remove(ini);
        QSettings s(ini, QSettings::IniFormat);
        s.beginGroup(QStringLiteral("WebUpdate"));
        s.setValue(QStringLiteral("LogFile"), LogFileName);
        s.setValue(QStringLiteral("Program"), applicationPath());
        s.setValue(QStringLiteral("Stage"), m_stageDir);
        s.setValue(QStringLiteral("Pid"), WaitPid ? WaitPid : QCoreApplication::applicationPid());
        s.endGroup();
        s.sync();
        if (s.status() != QSettings::NoError) {
            *error = QStringLiteral("Cannot write %1.").arg(ini);
            return false;
        }
    }
    if (!QProcess::startDetached(updaterCopy, {QStringLiteral("--ini"), ini, applicationPath()},
                                 tempPath())) {
        *error = QStringLiteral("Cannot start the updater %1.").arg(updaterCopy);
        return false;
    }
    qCInfo(lcWebUpdate) << "updater started for" << applicationPath();
    m_restartStarted = true;
    return true;
}

void TWebUpdate::Abort() {
    m_checking = false;
    dropReply();
    if (m_out)
        m_out->close();
    m_out.reset();
    m_hash.reset();
    m_queue.clear();
    // Close the kept-alive connection too, not only the request.
    if (m_nam)
        m_nam->clearConnectionCache();
    if (!URL.isEmpty()) {
        QFile::remove(ControlFilePath());
        QFile::remove(ControlFilePath() + QStringLiteral(".sig"));
    }
    // Once the updater owns the stage, it removes it itself.
    if (!m_stageDir.isEmpty() && !m_restartStarted)
        QDir(m_stageDir).removeRecursively();
    m_stageDir.clear();
    m_downloaded.clear();
}
