// The update wizard against a real HTTP server on loopback: every page, the
// failures, closing on each page, and a restart through the real updater.
#include "HttpTestServer.h"
#include "MessageBoxes.h"
#include "UpdateSettings.h"
#include "UpdateTestSupport.h"
#include "WebUpdate.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

using namespace updatetest;

namespace {
const QByteArray ProgramV1 = "#!/bin/sh\necho 1 > \"$(dirname \"$0\")/started.txt\"\n";
const QByteArray ProgramV2 = "#!/bin/sh\necho 2 > \"$(dirname \"$0\")/started.txt\"\n";
const QString ProgramName = QStringLiteral("sarnavel-testprog");
const QString NoConnectText =
    QStringLiteral("Could not connect to update server or\nNo update found on server ...");

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
} // namespace

class TestWebUpdateWizard : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void layoutSettings();
    void welcomePage();
    void noConnectionClosesSilently();
    void checkResults_data();
    void checkResults();
    void requestIsPlainAndUncached();
    void hungServerFailsInTime();
    void pagesNotesLicenseComponents();
    void noFilesFound();
    void downloadRefused_data();
    void downloadRefused();
    void closeOnEveryPage_data();
    void closeOnEveryPage();
    void restartReplacesProgram_data();
    void restartReplacesProgram();
    void executeSetsCurrentDirEvenWhenClosedAtOnce();

private:
    QString page() const;
    QString actionText() const;
    QString resultText() const;
    void click();
    void start();
    QString newerControl(const QString& extra = {},
                         const QString& update = QStringLiteral("Rule=version\nVersion=1.2.0.0\n"));
    QString appFile(const QString& name) const { return m_app->filePath(name); }
    bool stageLeft() const;

    std::unique_ptr<HttpTestServer> m_server;
    std::unique_ptr<QTemporaryDir> m_tmp, m_docs, m_app;
    std::unique_ptr<TWebUpdate> m_wu;
    std::unique_ptr<TWebUpdateWizard> m_wiz;
    std::unique_ptr<vcl::MessageBoxSpy> m_spy;
    TWebUpdate::NetState m_net = TWebUpdate::NetState::Up;
    int m_terminated = 0;
};

void TestWebUpdateWizard::init() {
    m_server = std::make_unique<HttpTestServer>();
    m_tmp = std::make_unique<QTemporaryDir>();
    m_docs = std::make_unique<QTemporaryDir>();
    m_app = std::make_unique<QTemporaryDir>();
    {
        QFile f(appFile(ProgramName));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(ProgramV1);
    }
    QFile::setPermissions(appFile(ProgramName), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_wu = std::make_unique<TWebUpdate>();
    m_wiz = std::make_unique<TWebUpdateWizard>();
    update::configureWebUpdate(m_wu.get());
    update::configureWizard(m_wiz.get(), m_wu.get());
    m_wu->URL = m_server->url(ControlPath);
    m_wu->TempPath = m_tmp->path();
    m_wu->DocumentsPath = m_docs->path();
    m_wu->ApplicationPath = appFile(ProgramName);
    m_wu->CurrentVersion = QStringLiteral("1.0.0.0");
    m_wu->CurrentDate = QDateTime(QDate(2026, 6, 10), QTime(12, 0));
    m_wu->Timeout = 3000;
    m_net = TWebUpdate::NetState::Up;
    m_wu->ConnectionProbe = [this] { return m_net; };
    m_terminated = 0;
    m_wu->Terminate = [this] { ++m_terminated; };
    m_spy = std::make_unique<vcl::MessageBoxSpy>();
}

void TestWebUpdateWizard::cleanup() {
    m_wiz.reset();
    m_wu.reset();
    m_spy.reset();
    m_server.reset();
}

QString TestWebUpdateWizard::page() const {
    QDialog* d = m_wiz->Dialog();
    if (!d)
        return QStringLiteral("<closed>");
    return d->findChild<QStackedWidget*>(QStringLiteral("Pages"))->currentWidget()->objectName();
}

QString TestWebUpdateWizard::actionText() const {
    return m_wiz->Dialog()->findChild<QPushButton*>(QStringLiteral("ActionButton"))->text();
}

QString TestWebUpdateWizard::resultText() const {
    return m_wiz->Dialog()->findChild<QLabel*>(QStringLiteral("ResultLabel"))->text();
}

void TestWebUpdateWizard::click() {
    QPushButton* b = m_wiz->Dialog()->findChild<QPushButton*>(QStringLiteral("ActionButton"));
    QVERIFY(b->isEnabled());
    QTest::mouseClick(b, Qt::LeftButton);
}

void TestWebUpdateWizard::start() {
    QVERIFY(m_wiz->Open(false));
    QCOMPARE(page(), QStringLiteral("WelcomePage"));
    click();
}

QString TestWebUpdateWizard::newerControl(const QString& extra, const QString& update) {
    return QStringLiteral("[Update]\n") + update + QStringLiteral("Description=Better radios\n") + extra;
}

bool TestWebUpdateWizard::stageLeft() const {
    return !QDir(m_tmp->path()).entryList({QStringLiteral("sarnavel-update-*")}, QDir::Dirs).isEmpty();
}

void TestWebUpdateWizard::layoutSettings() {
    TWebUpdate wu;
    TWebUpdateWizard wiz;
    update::configureWebUpdate(&wu);
    update::configureWizard(&wiz, &wu);
    QCOMPARE(wu.URL, QStringLiteral("http://" SARNAVEL_UPDATE_HOST "/Quillmarsh/KelvornUp.inf"));
    QCOMPARE(wu.Agent, QStringLiteral("TWebUpdate"));
    QCOMPARE(wu.DateFormat, QStringLiteral("dd/mm/yyyy"));
    QCOMPARE(wu.DateSeparator, QChar(u'/'));
    QCOMPARE(wu.TimeFormat, QStringLiteral("hh:nn"));
    QCOMPARE(wu.TimeSeparator, QChar(u':'));
    QCOMPARE(wu.Signature, QStringLiteral("WebUpdate"));
    QVERIFY(!wu.SignatureCheck);
    QCOMPARE(wu.LogFileName, QStringLiteral("WUPDATE.LOG"));
    QVERIFY(!wu.Logging);
    QCOMPARE(wu.TempDirectory, QStringLiteral("."));
    QVERIFY(wu.UseWinTempDir);
    QVERIFY(!wu.PostUpdateInfo);
    QCOMPARE(wu.ControlFilePath(), QDir(QDir::tempPath()).filePath(QStringLiteral("KelvornUp.inf")));
    QCOMPARE(wu.UpdaterIniPath().section(u'/', -1), QStringLiteral("WUPDATE.INI"));
    QCOMPARE(wiz.WebUpdate, &wu);
    QCOMPARE(wiz.Font.pixelSize(), 12);
    QVERIFY(wiz.Font.bold());
    QCOMPARE(wiz.Font.family(), QStringLiteral("Verdana"));
    // Whatever face this system picks, it is a sans face of the same size and weight.
    QDialog* d = wiz.Open(false);
    const QFontInfo used(d->font());
    QCOMPARE(used.pixelSize(), 12);
    QVERIFY(used.bold());
    QVERIFY(d->windowTitle().isEmpty());
    d->close();
}

void TestWebUpdateWizard::welcomePage() {
    QDialog* d = m_wiz->Open(false);
    QVERIFY(d->isModal() || d->windowModality() == Qt::ApplicationModal);
    QCOMPARE(page(), QStringLiteral("WelcomePage"));
    QCOMPARE(d->findChild<QLabel*>(QStringLiteral("WelcomeLabel"))->text(),
             QStringLiteral("Press start to start checking for available application updates ..."));
    QCOMPARE(actionText(), QStringLiteral("Start"));
    QCOMPARE(d->focusWidget(), d->findChild<QPushButton*>(QStringLiteral("ActionButton")));
    QVERIFY(m_server->requests().isEmpty());
}

void TestWebUpdateWizard::noConnectionClosesSilently() {
    publish(*m_server, newerControl());
    m_net = TWebUpdate::NetState::Down;
    QSignalSpy closed(m_wiz.get(), &TWebUpdateWizard::closed);
    start();
    QTRY_COMPARE(closed.count(), 1);
    QVERIFY(!m_wiz->Dialog());
    QCOMPARE(m_spy->count(), 0);
    QVERIFY(m_server->requests().isEmpty());
    QCOMPARE(m_terminated, 0);
    // "Unknown" is not "no connection".
    m_net = TWebUpdate::NetState::Unknown;
    start();
    QTRY_COMPARE(page(), QStringLiteral("ResultPage"));
}

void TestWebUpdateWizard::checkResults_data() {
    const QLocale loc;
    const QString current = loc.toString(QDate(2026, 6, 10), QLocale::ShortFormat);
    QTest::addColumn<QString>("control"); // empty: nothing on the server
    QTest::addColumn<int>("sigMode"); // 0 good, 1 missing, 2 other key, 3 for other content, 4 huge
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("button");

    QTest::newRow("404") << "" << 0 << NoConnectText << "Exit";
    QTest::newRow("not newer by version") << "[Update]\nRule=version\nVersion=1.0.0.0\n"
                                          << 0 << "No new version available."
                                          << "Exit";
    QTest::newRow("not newer by date") << "[Update]\nRule=date\nVersion=1.0.0.0\nDate=09/06/2026\n"
                                       << 0 << "No new version available."
                                       << "Exit";
    QTest::newRow("same day, earlier time")
        << "[Update]\nRule=date\nVersion=1.0.0.0\nDate=10/06/2026\nTime=11:59\n"
        << 0 << "No new version available."
        << "Exit";
    QTest::newRow("newer by version")
        << newerControl() << 0
        << "New version found :\nCurrent version : 1.0.0.0\nNew version : 1.2.0.0\n\n"
           "Better radios"
        << "Get update";
    QTest::newRow("newer by date with time")
        << newerControl({}, "Rule=date\nVersion=1.0.0.0\nDate=24/12/2026\nTime=14:30\n") << 0
        << "New version found :\nCurrent version : " + current +
               "\nNew version : " + loc.toString(QDate(2026, 12, 24), QLocale::ShortFormat) + " " +
               loc.toString(QTime(14, 30), QLocale::ShortFormat) + "\n\nBetter radios"
        << "Get update";
    QTest::newRow("newer by date, no time")
        << newerControl({}, "Rule=date\nVersion=1.1\nDate=11/06/2026\n") << 0
        << "New version found :\nCurrent version : " + current +
               "\nNew version : " + loc.toString(QDate(2026, 6, 11), QLocale::ShortFormat) +
               "\n\nBetter radios"
        << "Get update";
    QTest::newRow("newer by another rule")
        << newerControl(fileSection(1, ProgramName, ProgramV2, "p2"), "Rule=checksum\nVersion=1.0.0.0\n") << 0
        << "New version available."
        << "Get update";
    QTest::newRow("another rule, same files")
        << newerControl(fileSection(1, ProgramName, ProgramV1, "p1"), "Rule=checksum\nVersion=1.0.0.0\n") << 0
        << "No new version available."
        << "Exit";
    QTest::newRow("no signature") << newerControl() << 1 << "no signature"
                                  << "Exit";
    QTest::newRow("signed by another key") << newerControl() << 2 << "does not verify"
                                           << "Exit";
    QTest::newRow("tampered control file") << newerControl() << 3 << "does not verify"
                                           << "Exit";
    QTest::newRow("huge signature file") << newerControl() << 4 << "signature file is larger than allowed"
                                         << "Exit";
    QTest::newRow("older version by date rule")
        << newerControl({}, "Rule=date\nVersion=0.9\nDate=24/12/2026\n") << 0
        << "The update offers version 0.9, older than the installed version 1.0.0.0; it is refused."
        << "Exit";
    QTest::newRow("climbing file name")
        << newerControl(fileSection(1, "../evil", "x", "x")) << 0 << "leaves the program's folder"
        << "Exit";
    QTest::newRow("absolute file name")
        << newerControl(fileSection(1, "/tmp/evil", "x", "x")) << 0 << "absolute"
        << "Exit";
    QTest::newRow("broken control file") << "[Update]\nRule=date\nVersion=2\nDate=2026-12-24\n"
                                         << 0 << "not valid"
                                         << "Exit";
}

void TestWebUpdateWizard::checkResults() {
    QFETCH(QString, control);
    QFETCH(int, sigMode);
    QFETCH(QString, expected);
    QFETCH(QString, button);
    if (!control.isEmpty()) {
        const QByteArray bytes = control.toUtf8();
        m_server->setResponse(ControlPath, bytes);
        QByteArray sig;
        if (sigMode == 0)
            sig = sign(bytes);
        else if (sigMode == 2)
            sig = sign(bytes, webupdate::generatePrivateKeyPem());
        else if (sigMode == 3)
            sig = sign(bytes + "\n");
        if (sigMode == 4)
            m_server->setResponse(ControlPath + ".sig", webupdate::encodeSignatureFile(sign(bytes)) +
                                                            QByteArray(8 * 1024 * 1024, 'A'));
        else if (sigMode != 1)
            m_server->setResponse(ControlPath + ".sig", webupdate::encodeSignatureFile(sig));
    }
    start();
    QTRY_COMPARE(page(), QStringLiteral("ResultPage"));
    if (sigMode == 0 && !expected.startsWith(u"The update offers") && !expected.endsWith(u"folder") &&
        !expected.endsWith(u"absolute") && expected != u"not valid")
        QCOMPARE(resultText(), expected);
    else
        QVERIFY2(resultText().contains(expected), qPrintable(resultText()));
    QCOMPARE(actionText(), button);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    // Nothing is installed by a check, nothing is logged.
    QCOMPARE(readFile(appFile(ProgramName)), ProgramV1);
    QVERIFY(!QFileInfo::exists(QDir(m_tmp->path()).filePath("WUPDATE.LOG")));
    QCOMPARE(m_spy->count(), 0);

    if (button == u"Exit") {
        click();
        QTRY_VERIFY(!m_wiz->Dialog());
    }
}

void TestWebUpdateWizard::requestIsPlainAndUncached() {
    publish(*m_server, QStringLiteral("[Update]\nVersion=1.0.0.0\n"));
    start();
    QTRY_COMPARE(page(), QStringLiteral("ResultPage"));
    const auto reqs = m_server->requests();
    QVERIFY(!reqs.isEmpty());
    const auto& r = reqs.first();
    QCOMPARE(r.method, QByteArray("GET"));
    QCOMPARE(r.path, QByteArray("/Quillmarsh/KelvornUp.inf"));
    QCOMPARE(r.headers.value("user-agent"), QByteArray("TWebUpdate"));
    QCOMPARE(r.headers.value("cache-control"), QByteArray("no-cache"));
    QCOMPARE(r.headers.value("pragma"), QByteArray("no-cache"));
    QVERIFY(!r.headers.contains("authorization"));
    QVERIFY(!r.headers.contains("cookie"));
    // The control file is kept in the temporary folder while the wizard is open...
    const QString saved = QDir(m_tmp->path()).filePath(QStringLiteral("KelvornUp.inf"));
    QCOMPARE(readFile(saved), QByteArray("[Update]\nVersion=1.0.0.0\n"));
    // ...and deleted when it closes.
    click();
    QTRY_VERIFY(!m_wiz->Dialog());
    QVERIFY(!QFileInfo::exists(saved));
    QVERIFY(!QFileInfo::exists(saved + ".sig"));
}

void TestWebUpdateWizard::hungServerFailsInTime() {
    m_server->setHang(ControlPath);
    m_wu->Timeout = 1500;
    // The event loop must keep turning while the server says nothing.
    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(10);
    connect(&ticker, &QTimer::timeout, this, [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    QElapsedTimer clock;
    clock.start();
    start();
    sinceTick.start();
    ticker.start();
    QTRY_VERIFY_WITH_TIMEOUT(m_server->openConnections() > 0, 3000);
    QCOMPARE(page(), QStringLiteral("WelcomePage"));
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    QTRY_COMPARE_WITH_TIMEOUT(page(), QStringLiteral("ResultPage"), 6000);
    const qint64 took = clock.elapsed();
    ticker.stop();
    QVERIFY2(took >= 1400 && took < 5000, qPrintable(QString::number(took)));
    QVERIFY2(longestGap < 500, qPrintable(QString::number(longestGap)));
    QCOMPARE(resultText(), NoConnectText);
    QVERIFY(m_wiz->Dialog()
                ->findChild<QLabel*>(QStringLiteral("DetailLabel"))
                ->text()
                .contains(u"did not answer"));
    QCOMPARE(actionText(), QStringLiteral("Exit"));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QTRY_COMPARE(m_server->openConnections(), 0);
}

void TestWebUpdateWizard::pagesNotesLicenseComponents() {
    const QByteArray data = "new data";
    const QByteArray extra = "extra tool";
    publish(*m_server,
            newerControl(QStringLiteral("[ReleaseNotes]\nText=Fixed pairing\\nFaster search\n"
                                        "[License]\nText=Use it well\n"
                                        "[Components]\ndocs=Manual\ntools=Extra tools\n") +
                         fileSection(1, "data/readme.txt", data, "f/readme") +
                         fileSection(2, "tools/extra", extra, "f/extra", "Component=tools\nExecutable=1\n") +
                         fileSection(3, "docs/manual.txt", "manual", "f/manual", "Component=docs\n")));
    m_server->setResponse("/Quillmarsh/f/readme", data);
    m_server->setResponse("/Quillmarsh/f/extra", extra);
    start();
    QTRY_COMPARE(actionText(), QStringLiteral("Get update"));
    click();
    QCOMPARE(page(), QStringLiteral("NotesPage"));
    QDialog* d = m_wiz->Dialog();
    QCOMPARE(d->findChild<QLabel*>("NotesTitle")->text(), QStringLiteral("What's new"));
    QCOMPARE(d->findChild<QPlainTextEdit*>("NotesText")->toPlainText(),
             QStringLiteral("Fixed pairing\nFaster search"));
    QCOMPARE(actionText(), QStringLiteral("Next"));
    click();
    QCOMPARE(page(), QStringLiteral("LicensePage"));
    QCOMPARE(d->findChild<QLabel*>("LicenseTitle")->text(), QStringLiteral("License agreement"));
    QCOMPARE(d->findChild<QPlainTextEdit*>("LicenseText")->toPlainText(), QStringLiteral("Use it well"));
    QCOMPARE(d->findChild<QRadioButton*>("AcceptRadio")->text(), QStringLiteral("I accept"));
    QCOMPARE(d->findChild<QRadioButton*>("DeclineRadio")->text(), QStringLiteral("I do not accept"));
    auto* next = d->findChild<QPushButton*>("ActionButton");
    QVERIFY(!next->isEnabled());
    QTest::mouseClick(d->findChild<QRadioButton*>("AcceptRadio"), Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(next->isEnabled());
    QTest::mouseClick(d->findChild<QRadioButton*>("DeclineRadio"), Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(!next->isEnabled());
    QTest::mouseClick(d->findChild<QRadioButton*>("AcceptRadio"), Qt::LeftButton, {}, QPoint(5, 5));
    click();
    QCOMPARE(page(), QStringLiteral("ComponentsPage"));
    QCOMPARE(d->findChild<QLabel*>("ComponentsTitle")->text(),
             QStringLiteral("Available application components"));
    auto* list = d->findChild<QListWidget*>("ComponentsList");
    QCOMPARE(list->count(), 2);
    QCOMPARE(list->item(0)->text(), QStringLiteral("Manual"));
    list->item(0)->setCheckState(Qt::Unchecked); // no manual
    click();
    QCOMPARE(page(), QStringLiteral("DownloadPage"));
    QCOMPARE(d->findChild<QLabel*>("DownloadTitle")->text(), QStringLiteral("Downloading files"));
    QCOMPARE(d->findChild<QLabel*>("CurrentFileProgressLabel")->text(),
             QStringLiteral("Current file progress"));
    QCOMPARE(d->findChild<QLabel*>("TotalFileProgressLabel")->text(), QStringLiteral("Total file progress"));
    QTRY_COMPARE(page(), QStringLiteral("DonePage"));
    QCOMPARE(d->findChild<QProgressBar*>("TotalFileProgress")->value(), 100);
    QCOMPARE(d->findChild<QProgressBar*>("CurrentFileProgress")->value(), 100);
    // Nothing of the running program changed: installed at once, no restart.
    QCOMPARE(d->findChild<QLabel*>("DoneLabel")->text(), QStringLiteral("Update completed ..."));
    QCOMPARE(actionText(), QStringLiteral("Exit"));
    QCOMPARE(readFile(appFile("data/readme.txt")), data);
    QCOMPARE(readFile(appFile("tools/extra")), extra);
    QVERIFY(QFile::permissions(appFile("tools/extra")) & QFile::ExeOwner);
    QVERIFY(!QFileInfo::exists(appFile("docs/manual.txt")));
    QVERIFY(!stageLeft());
    click();
    QTRY_VERIFY(!m_wiz->Dialog());
    QCOMPARE(m_terminated, 0);
    // Only the chosen files were fetched.
    for (const auto& r : m_server->requests())
        QVERIFY(r.path != "/Quillmarsh/f/manual");
}

void TestWebUpdateWizard::noFilesFound() {
    publish(*m_server, newerControl(QStringLiteral("[Components]\ndocs=Manual\n") +
                                    fileSection(1, "manual.txt", "m", "m", "Component=docs\n")));
    start();
    QTRY_COMPARE(actionText(), QStringLiteral("Get update"));
    click();
    QCOMPARE(page(), QStringLiteral("ComponentsPage"));
    m_wiz->Dialog()->findChild<QListWidget*>("ComponentsList")->item(0)->setCheckState(Qt::Unchecked);
    click();
    QTRY_VERIFY(!m_wiz->Dialog());
    QCOMPARE(m_spy->texts(), QStringList{QStringLiteral("No files found for update")});
}

void TestWebUpdateWizard::downloadRefused_data() {
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("hang");
    QTest::addColumn<QString>("detail");
    const QByteArray good = ProgramV2;
    QByteArray flipped = good;
    flipped[5] = flipped[5] ^ 0x20;
    QTest::newRow("flipped byte") << flipped << 200 << false << "SHA-256";
    QTest::newRow("longer than stated") << good + "x" << 200 << false << "more than";
    QTest::newRow("shorter than stated") << good.left(10) << 200 << false << "bytes arrived";
    QTest::newRow("404") << QByteArray() << 404 << false << "404";
    QTest::newRow("server stops answering") << QByteArray() << 0 << true << "sent nothing for 1.5 s";
}

void TestWebUpdateWizard::downloadRefused() {
    QFETCH(QByteArray, served);
    QFETCH(int, status);
    QFETCH(bool, hang);
    QFETCH(QString, detail);
    m_wu->Timeout = 1500;
    const QByteArray data = "data file";
    publish(*m_server, newerControl(fileSection(1, "data.txt", data, "f/data") +
                                    fileSection(2, ProgramName, ProgramV2, "f/prog", "Executable=1\n")));
    m_server->setResponse("/Quillmarsh/f/data", data);
    if (hang)
        m_server->setHang("/Quillmarsh/f/prog");
    else
        m_server->setResponse("/Quillmarsh/f/prog", served, status);
    start();
    QTRY_COMPARE(actionText(), QStringLiteral("Get update"));
    click();
    QTRY_COMPARE_WITH_TIMEOUT(page(), QStringLiteral("ResultPage"), 8000);
    QCOMPARE(resultText(), QStringLiteral("Failed to download updates"));
    QVERIFY2(m_wiz->Dialog()->findChild<QLabel*>("DetailLabel")->text().contains(detail),
             qPrintable(m_wiz->Dialog()->findChild<QLabel*>("DetailLabel")->text()));
    QCOMPARE(actionText(), QStringLiteral("Exit"));
    // Nothing installed, nothing kept, not even the file that did arrive.
    QCOMPARE(readFile(appFile(ProgramName)), ProgramV1);
    QVERIFY(!QFileInfo::exists(appFile("data.txt")));
    QVERIFY(!stageLeft());
    click();
    QTRY_VERIFY(!m_wiz->Dialog());
    QCOMPARE(m_terminated, 0);
    QVERIFY(!QFileInfo::exists(QDir(m_docs->path()).filePath("WUPDATE.INI")));
}

void TestWebUpdateWizard::closeOnEveryPage_data() {
    QTest::addColumn<QString>("where");
    for (const char* p : {"WelcomePage", "checking", "ResultPage", "NotesPage", "LicensePage",
                          "ComponentsPage", "DownloadPage", "DonePage"})
        QTest::newRow(p) << QString::fromLatin1(p);
}

void TestWebUpdateWizard::closeOnEveryPage() {
    QFETCH(QString, where);
    if (where == u"checking") {
        m_server->setHang(ControlPath);
    } else {
        publish(*m_server,
                newerControl(QStringLiteral("[ReleaseNotes]\nText=n\n[License]\nText=l\n"
                                            "[Components]\nmain=Main\n") +
                             fileSection(1, ProgramName, ProgramV2, "f/prog", "Component=main\n")));
        if (where == u"DownloadPage")
            m_server->setHang("/Quillmarsh/f/prog");
        else
            m_server->setResponse("/Quillmarsh/f/prog", ProgramV2);
    }
    QSignalSpy closed(m_wiz.get(), &TWebUpdateWizard::closed);
    QVERIFY(m_wiz->Open(false));
    if (where != u"WelcomePage") {
        click();
        if (where == u"checking") {
            QTRY_VERIFY(m_server->openConnections() > 0);
        } else {
            QTRY_COMPARE(page(), QStringLiteral("ResultPage"));
            const QStringList order{"ResultPage", "NotesPage", "LicensePage", "ComponentsPage"};
            while (page() != where && order.contains(page())) {
                if (page() == u"LicensePage")
                    m_wiz->Dialog()->findChild<QRadioButton*>("AcceptRadio")->setChecked(true);
                click();
            }
            if (where == u"DownloadPage")
                QTRY_VERIFY(m_server->openConnections() > 0 && m_server->requests().size() >= 3);
            QTRY_COMPARE(page(), where);
        }
    }
    // The title-bar close button.
    m_wiz->Dialog()->close();
    QTRY_COMPARE(closed.count(), 1);
    QVERIFY(!m_wiz->Dialog());
    QCOMPARE(m_terminated, 0);
    QCOMPARE(m_spy->count(), 0);
    QVERIFY(!QFileInfo::exists(m_wu->ControlFilePath()));
    QVERIFY(!stageLeft());
    QCOMPARE(readFile(appFile(ProgramName)), ProgramV1);
    // The connection is closed, not left hanging.
    QTRY_COMPARE(m_server->openConnections(), 0);
    QVERIFY(!QFileInfo::exists(QDir(m_docs->path()).filePath("WUPDATE.INI")));
}

void TestWebUpdateWizard::restartReplacesProgram_data() {
    QTest::addColumn<bool>("silent");
    QTest::newRow("asks first") << false;
    QTest::newRow("silent restart") << true;
}

void TestWebUpdateWizard::restartReplacesProgram() {
    QFETCH(bool, silent);
    publish(*m_server,
            newerControl(fileSection(1, ProgramName, ProgramV2, "f/prog", "Executable=1\n") +
                             fileSection(2, "lib/libx.so", "lib v2", "f/lib", "Restart=1\n"),
                         QStringLiteral("Rule=version\nVersion=1.2.0.0\nSilentRestart=%1\n").arg(silent)));
    m_server->setResponse("/Quillmarsh/f/prog", ProgramV2);
    m_server->setResponse("/Quillmarsh/f/lib", "lib v2");
    // Stands for the running program, which ends soon after the restart.
    QProcess oldProgram;
    oldProgram.start(QStringLiteral("sleep"), {QStringLiteral("1")});
    QVERIFY(oldProgram.waitForStarted());
    m_wu->WaitPid = oldProgram.processId();
    QSignalSpy closed(m_wiz.get(), &TWebUpdateWizard::closed);

    start();
    QTRY_COMPARE(actionText(), QStringLiteral("Get update"));
    click();
    if (!silent) {
        QTRY_COMPARE(page(), QStringLiteral("DonePage"));
        QCOMPARE(m_wiz->Dialog()->findChild<QLabel*>("DoneLabel")->text(),
                 QStringLiteral("Update completed ...\nPress restart to start the updated application."));
        QCOMPARE(actionText(), QStringLiteral("Restart"));
        // "No" keeps the wizard on its last page.
        m_spy->setNextAnswer(vcl::MsgButton::No);
        click();
        QCOMPARE(m_spy->count(), 1);
        const vcl::ShownMessage& m = m_spy->messages().first();
        QCOMPARE(m.text, QStringLiteral("Shutdown application to update executable files ?"));
        QCOMPARE(m.buttons, QList<vcl::MsgButton>({vcl::MsgButton::Yes, vcl::MsgButton::No}));
        QCOMPARE(page(), QStringLiteral("DonePage"));
        QCOMPARE(m_terminated, 0);
        m_spy->setNextAnswer(vcl::MsgButton::Yes);
        click();
    }
    QTRY_COMPARE(closed.count(), 1);
    QCOMPARE(m_terminated, 1);
    QCOMPARE(m_spy->count(), silent ? 0 : 2);
    // Nothing replaced before the program has ended.
    QCOMPARE(readFile(appFile(ProgramName)), ProgramV1);

    const QString ini = QDir(m_docs->path()).filePath(QStringLiteral("WUPDATE.INI"));
    QVERIFY(QFileInfo::exists(ini));
    QSettings s(ini, QSettings::IniFormat);
    QCOMPARE(s.value("WebUpdate/LogFile").toString(), QStringLiteral("WUPDATE.LOG"));

    // The updater replaces the program once it has ended and starts the new version.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(appFile("started.txt")), QByteArray("2\n"), 20000);
    QCOMPARE(readFile(appFile(ProgramName)), ProgramV2);
    QCOMPARE(readFile(appFile("lib/libx.so")), QByteArray("lib v2"));
    QVERIFY(QFile::permissions(appFile(ProgramName)) & QFile::ExeOwner);
    QTRY_VERIFY(!stageLeft());
    QVERIFY(readFile(QDir(m_tmp->path()).filePath("WUPDATE.LOG")).contains("installed 2 file(s)"));
}

void TestWebUpdateWizard::executeSetsCurrentDirEvenWhenClosedAtOnce() {
    QVERIFY(QDir::setCurrent(m_tmp->path()));
    bool sawDialog = false;
    QTimer::singleShot(0, this, [&] {
        sawDialog = m_wiz->Dialog() && m_wiz->Dialog()->isVisible();
        if (m_wiz->Dialog())
            m_wiz->Dialog()->close();
    });
    m_wiz->Execute(true);
    QVERIFY(sawDialog);
    QVERIFY(!m_wiz->Dialog());
    QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
    QVERIFY(m_server->requests().isEmpty());

    // Execute blocks while the wizard runs and returns after "Exit".
    publish(*m_server, QStringLiteral("[Update]\nVersion=1.0.0.0\n"));
    QVERIFY(QDir::setCurrent(m_tmp->path()));
    QString seen;
    QTimer::singleShot(0, this, [&] {
        click();
        QTimer* poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [&, poll] {
            if (page() == u"ResultPage") {
                seen = resultText();
                poll->deleteLater();
                click();
            }
        });
        poll->start(10);
    });
    m_wiz->Execute(true);
    QCOMPARE(seen, QStringLiteral("No new version available."));
    QCOMPARE(QDir::currentPath(), QCoreApplication::applicationDirPath());
}

QTEST_MAIN(TestWebUpdateWizard)
#include "tst_webupdate_wizard.moc"
