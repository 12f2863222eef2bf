// The updater program on its own: bounded wait for the program, re-checks of
// the stage, all-or-nothing replacement and the restart of the program.
#include "Installer.h"
#include "UpdateTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace updatetest;

namespace {
const QByteArray ProgramV1 = "#!/bin/sh\necho 1 > \"$(dirname \"$0\")/started.txt\"\n";
const QByteArray ProgramV2 = "#!/bin/sh\necho 2 > \"$(dirname \"$0\")/started.txt\"\n";

QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
bool writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
}
} // namespace

class TestWebUpdateUpdater : public QObject {
    Q_OBJECT
private slots:
    void init();
    void installsAndStartsNewVersion();
    void refusesAndStartsOldVersion_data();
    void refusesAndStartsOldVersion();
    void waitForProgramIsBounded();
    void settingsForAnotherProgram();
    void releaseTool();

private:
    int runUpdater(qint64 pid = 0, int waitSeconds = 10, const QString& program = {});
    QString app(const QString& name) const { return m_app->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_tmp, m_app;
    QString m_stage;
    QByteArray m_control;
};

void TestWebUpdateUpdater::init() {
    m_tmp = std::make_unique<QTemporaryDir>();
    m_app = std::make_unique<QTemporaryDir>();
    QVERIFY(writeFile(app("prog"), ProgramV1));
    QFile::setPermissions(app("prog"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QVERIFY(writeFile(app("data/old.txt"), "old"));
    m_stage = m_tmp->filePath(QStringLiteral("sarnavel-update-test"));
    QVERIFY(QDir().mkpath(m_stage + "/files"));
    m_control =
        ("[Update]\nVersion=2\n" + fileSection(1, "prog", ProgramV2, "p", "Executable=1\nRestart=1\n") +
         fileSection(2, "data/old.txt", "new", "d"))
            .toUtf8();
    QVERIFY(writeFile(webupdate::stage::filePath(m_stage, 1), ProgramV2));
    QVERIFY(writeFile(webupdate::stage::filePath(m_stage, 2), "new"));
    QString err;
    QVERIFY2(webupdate::stage::write(m_stage, m_control, sign(m_control), {}, {1, 2}, &err), qPrintable(err));
}

int TestWebUpdateUpdater::runUpdater(qint64 pid, int waitSeconds, const QString& program) {
    const QString ini = m_tmp->filePath(QStringLiteral("WUPDATE.INI"));
    {
        QSettings s(ini, QSettings::IniFormat);
        s.setValue("WebUpdate/LogFile", "WUPDATE.LOG");
        s.setValue("WebUpdate/Program", program.isEmpty() ? app("prog") : program);
        s.setValue("WebUpdate/Stage", m_stage);
        s.setValue("WebUpdate/Pid", pid);
        s.setValue("WebUpdate/WaitSeconds", waitSeconds);
    }
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral(SARNAVEL_UPDATER_PATH), {"--ini", ini, app("prog")});
    if (!p.waitForFinished(30000))
        return -1;
    return p.exitCode();
}

void TestWebUpdateUpdater::installsAndStartsNewVersion() {
    QCOMPARE(runUpdater(), 0);
    QCOMPARE(readFile(app("prog")), ProgramV2);
    QCOMPARE(readFile(app("data/old.txt")), QByteArray("new"));
    QTRY_COMPARE(readFile(app("started.txt")), QByteArray("2\n"));
    QVERIFY(!QFileInfo::exists(m_stage));
    QVERIFY(readFile(m_tmp->filePath("WUPDATE.LOG")).contains("installed 2 file(s)"));
    QCOMPARE(QDir(m_app->path()).entryList(QDir::Files), QStringList({"prog", "started.txt"}));
}

void TestWebUpdateUpdater::refusesAndStartsOldVersion_data() {
    QTest::addColumn<int>("fault");
    QTest::newRow("staged file changed") << 0;
    QTest::newRow("staged control file changed") << 1;
    QTest::newRow("second target cannot be replaced") << 2;
    QTest::newRow("staged file missing") << 3;
}

void TestWebUpdateUpdater::refusesAndStartsOldVersion() {
    QFETCH(int, fault);
    QString err;
    switch (fault) {
    case 0: {
        QByteArray evil = ProgramV2;
        evil.replace("echo 2", "echo 3");
        QVERIFY(writeFile(webupdate::stage::filePath(m_stage, 1), evil));
        break;
    }
    case 1: {
        QByteArray changed = m_control;
        changed.replace("Version=2", "Version=3");
        QVERIFY(writeFile(m_stage + "/control.inf", changed));
        break;
    }
    case 2:
        // The folder where a file should go is a file that must not be lost.
        QVERIFY(QDir(app("data")).removeRecursively());
        QVERIFY(writeFile(app("data"), "not a folder"));
        break;
    case 3:
        QVERIFY(QFile::remove(webupdate::stage::filePath(m_stage, 2)));
        break;
    }
    QCOMPARE(runUpdater(), 1);
    QCOMPARE(readFile(app("prog")), ProgramV1);
    if (fault == 2)
        QCOMPARE(readFile(app("data")), QByteArray("not a folder"));
    else
        QCOMPARE(readFile(app("data/old.txt")), QByteArray("old"));
    // The program is always left startable, and is started.
    QTRY_COMPARE(readFile(app("started.txt")), QByteArray("1\n"));
    QVERIFY(!QFileInfo::exists(m_stage));
    QVERIFY(readFile(m_tmp->filePath("WUPDATE.LOG")).contains("not installed"));
}

void TestWebUpdateUpdater::waitForProgramIsBounded() {
    QProcess stillRunning;
    stillRunning.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(stillRunning.waitForStarted());
    QElapsedTimer t;
    t.start();
    QCOMPARE(runUpdater(stillRunning.processId(), 1), 3);
    QVERIFY2(t.elapsed() < 10000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(readFile(app("prog")), ProgramV1);
    QTest::qWait(200);
    QVERIFY(!QFileInfo::exists(app("started.txt"))); // it is still running: no second copy
    QVERIFY(readFile(m_tmp->filePath("WUPDATE.LOG")).contains("did not end"));
    stillRunning.kill();
    stillRunning.waitForFinished();

    // A program that has already ended (not yet reaped) does not hold it up.
    init(); // a fresh stage and program

    QProcess ended;
    ended.start(QStringLiteral("true"));
    QVERIFY(ended.waitForFinished());
    QCOMPARE(runUpdater(ended.processId(), 5), 0);
    QTRY_COMPARE(readFile(app("started.txt")), QByteArray("2\n"));
}

void TestWebUpdateUpdater::settingsForAnotherProgram() {
    QCOMPARE(runUpdater(0, 5, QStringLiteral("/usr/bin/other")), 2);
    QCOMPARE(readFile(app("prog")), ProgramV1);
    QVERIFY(!QFileInfo::exists(m_stage));
}

// The release tool signs what the program accepts, and only with the right key.
void TestWebUpdateUpdater::releaseTool() {
    auto run = [](const QStringList& args, QByteArray* out = nullptr) {
        QProcess p;
        p.start(QStringLiteral(SARNAVEL_RELEASE_PATH), args);
        if (!p.waitForFinished(30000))
            return -1;
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitCode();
    };
    const QString key = m_tmp->filePath("key.pem");
    QCOMPARE(run({"genkey", key}), 0);
    QCOMPARE(run({"genkey", key}), 1); // never overwrites a key
    QByteArray out;
    QCOMPARE(run({"pubkey", key}, &out), 0);
    QCOMPARE(out.trimmed().size(), 64);
    QCOMPARE(run({"pubkey", QStringLiteral(SARNAVEL_TEST_KEY_PEM)}, &out), 0);
    QCOMPARE(QByteArray::fromHex(out.trimmed()), webupdate::releasePublicKey());

    QVERIFY(writeFile(app("payload"), "abc"));
    QCOMPARE(run({"hash", app("payload")}, &out), 0);
    QVERIFY(out.contains("Size=3\n"));
    QVERIFY(out.contains("SHA256=ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

    const QString control = m_tmp->filePath("KelvornUp.inf");
    QVERIFY(writeFile(control, m_control));
    QCOMPARE(run({"sign", QStringLiteral(SARNAVEL_TEST_KEY_PEM), control}), 0);
    QVERIFY(webupdate::verifyEd25519(webupdate::releasePublicKey(), m_control,
                                     webupdate::decodeSignatureFile(readFile(control + ".sig"))));
    QCOMPARE(run({"verify", control}), 0);
    // Signed with another key: valid for that key only.
    QCOMPARE(run({"sign", key, control}), 0);
    QCOMPARE(run({"verify", control}), 1);
    QCOMPARE(run({"pubkey", key}, &out), 0);
    QCOMPARE(run({"verify", control, QString::fromLatin1(out.trimmed())}), 0);
    // A file that is not a valid control file is not signed.
    QVERIFY(writeFile(control, "[Update]\nVersion=x\n"));
    QCOMPARE(run({"sign", QStringLiteral(SARNAVEL_TEST_KEY_PEM), control}), 1);
}

QTEST_GUILESS_MAIN(TestWebUpdateUpdater)
#include "tst_webupdate_updater.moc"
