// The control file's rules, signatures and the all-or-nothing installer.
#include "ControlFile.h"
#include "Installer.h"
#include "Signing.h"
#include "UpdateTestSupport.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace webupdate;

namespace {
void writeFile(const QString& path, const QByteArray& data) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}
QByteArray readFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}
const QUrl Base(QStringLiteral("http://example.invalid/Quillmarsh/KelvornUp.inf"));
} // namespace

class TestWebUpdateCore : public QObject {
    Q_OBJECT
private slots:
    void versionCompare_data();
    void versionCompare();
    void dates_data();
    void dates();
    void safePaths_data();
    void safePaths();
    void resolveRefusesLinkOut();
    void parseValid();
    void parseErrors_data();
    void parseErrors();
    void signatures();
    void installReplacesAndAdds();
    void installRestoresOnFailure();
    void installRefusesBadCopies_data();
    void installRefusesBadCopies();
    void stageRefusesTamperedControl();
};

void TestWebUpdateCore::versionCompare_data() {
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected"); // sign of compare, or 9 when a does not parse
    QTest::newRow("equal") << "1.0.0.0"
                           << "1.0.0.0" << 0;
    QTest::newRow("missing segments are zero") << "1.2"
                                               << "1.2.0.0" << 0;
    QTest::newRow("numeric, not text") << "1.10.0"
                                       << "1.9.5" << 1;
    QTest::newRow("older") << "1.0.0.9"
                           << "1.0.1" << -1;
    QTest::newRow("leading zeros") << "01.002"
                                   << "1.2" << 0;
    QTest::newRow("letters refused") << "1.0b"
                                     << "1.0" << 9;
    QTest::newRow("empty segment refused") << "1..0"
                                           << "1.0" << 9;
    QTest::newRow("huge segment refused") << "1.12345678901"
                                          << "1.0" << 9;
    QTest::newRow("empty refused") << ""
                                   << "1.0" << 9;
}

void TestWebUpdateCore::versionCompare() {
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    const auto va = Version::parse(a);
    if (expected == 9) {
        QVERIFY(!va);
        return;
    }
    QVERIFY(va);
    const auto vb = Version::parse(b);
    QVERIFY(vb);
    QCOMPARE(va->compare(*vb), expected);
    QCOMPARE(vb->compare(*va), -expected);
}

void TestWebUpdateCore::dates_data() {
    QTest::addColumn<QString>("dateFormat");
    QTest::addColumn<QString>("dateSep");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDate>("expected");
    QTest::newRow("stored formats") << "dd/mm/yyyy"
                                    << "/"
                                    << "24/12/2026" << QDate(2026, 12, 24);
    QTest::newRow("day first, not month") << "dd/mm/yyyy"
                                          << "/"
                                          << "03/04/2026" << QDate(2026, 4, 3);
    QTest::newRow("other separator") << "dd/mm/yyyy"
                                     << "."
                                     << "24.12.2026" << QDate(2026, 12, 24);
    QTest::newRow("wrong separator") << "dd/mm/yyyy"
                                     << "/"
                                     << "24.12.2026" << QDate();
    QTest::newRow("month 13") << "dd/mm/yyyy"
                              << "/"
                              << "01/13/2026" << QDate();
    QTest::newRow("us order") << "mm/dd/yyyy"
                              << "-"
                              << "12-24-2026" << QDate(2026, 12, 24);
}

void TestWebUpdateCore::dates() {
    QFETCH(QString, dateFormat);
    QFETCH(QString, dateSep);
    QFETCH(QString, text);
    QFETCH(QDate, expected);
    DateFormats f;
    f.dateFormat = dateFormat;
    f.dateSeparator = dateSep.front();
    const auto d = f.parseDate(text);
    QCOMPARE(d.value_or(QDate()), expected);
    // "nn" is minutes in the time format.
    QCOMPARE(f.parseTime(QStringLiteral("14:05")).value_or(QTime()), QTime(14, 5));
    QVERIFY(!f.parseTime(QStringLiteral("25:00")));
}

void TestWebUpdateCore::safePaths_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << "sarnavel-server" << true;
    QTest::newRow("subfolder") << "data/icons/a.png" << true;
    QTest::newRow("dot file") << ".config" << true;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("climbing") << "../outside" << false;
    QTest::newRow("climbing inside") << "data/../../outside" << false;
    QTest::newRow("dot segment") << "./a" << false;
    QTest::newRow("backslash") << "..\\outside" << false;
    QTest::newRow("drive letter") << "C:/Windows/x" << false;
    QTest::newRow("empty segment") << "a//b" << false;
    QTest::newRow("trailing slash") << "a/" << false;
    QTest::newRow("control char") << QStringLiteral("a\nb") << false;
    QTest::newRow("empty") << "" << false;
}

void TestWebUpdateCore::safePaths() {
    QFETCH(QString, path);
    QFETCH(bool, safe);
    QCOMPARE(isSafeRelativePath(path), safe);
    QTemporaryDir root;
    QCOMPARE(!resolveInside(root.path(), path).isEmpty(), safe);
}

void TestWebUpdateCore::resolveRefusesLinkOut() {
    QTemporaryDir root;
    QTemporaryDir outside;
    QVERIFY(QFile::link(outside.path(), root.filePath(QStringLiteral("data"))));
    QVERIFY(resolveInside(root.path(), QStringLiteral("data/x")).isEmpty());
    QVERIFY(!resolveInside(root.path(), QStringLiteral("other/x")).isEmpty());
}

void TestWebUpdateCore::parseValid() {
    const QByteArray text =
        "\xEF\xBB\xBF; comment\r\n"
        "[Update]\r\nRule=date\r\nVersion=1.2.0.0\r\nDate=24/12/2026\r\nTime=14:30\r\n"
        "Description=Line one\\nLine two\r\nSilentRestart=1\r\n"
        "[ReleaseNotes]\nText=Fixed things\n[License]\nText=Be nice\n"
        "[Components]\ntools=Command-line tools\n"
        "[File2]\nName=bin/tool\nURL=files/tool\nSize=3\n"
        "SHA256=ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n"
        "Component=tools\nExecutable=1\n"
        "[File1]\nName=sarnavel-server\nURL=https://cdn.example.invalid/s\nSize=0\n"
        "SHA256=e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\nRestart=1\n";
    QString err;
    const auto cf = ControlFile::parse(text, Base, {}, &err);
    QVERIFY2(cf, qPrintable(err));
    QCOMPARE(cf->rule, Rule::Date);
    QCOMPARE(cf->versionText, QStringLiteral("1.2.0.0"));
    QCOMPARE(cf->date.value(), QDate(2026, 12, 24));
    QCOMPARE(cf->time.value(), QTime(14, 30));
    QCOMPARE(cf->description, QStringLiteral("Line one\nLine two"));
    QVERIFY(cf->silentRestart);
    QCOMPARE(cf->releaseNotes.value(), QStringLiteral("Fixed things"));
    QCOMPARE(cf->license.value(), QStringLiteral("Be nice"));
    QCOMPARE(cf->components.size(), 1);
    QCOMPARE(cf->files.size(), 2);
    QCOMPARE(cf->files[0].index, 1);
    QCOMPARE(cf->files[0].url, QUrl(QStringLiteral("https://cdn.example.invalid/s")));
    QVERIFY(cf->files[0].restart);
    QCOMPARE(cf->files[1].url, QUrl(QStringLiteral("http://example.invalid/Quillmarsh/files/tool")));
    QCOMPARE(cf->files[1].size, 3);
    QCOMPARE(cf->files[1].component, QStringLiteral("tools"));
    QVERIFY(cf->files[1].executable);
}

void TestWebUpdateCore::parseErrors_data() {
    const QString sha = QStringLiteral("SHA256=") + QString(64, u'a') + u'\n';
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("errorPart");
    QTest::newRow("no update section") << "[Other]\nx=1\n"
                                       << "no [Update]";
    QTest::newRow("no version") << "[Update]\nRule=version\n"
                                << "not a dotted number";
    QTest::newRow("unknown rule") << "[Update]\nRule=always\nVersion=1\n"
                                  << "unknown rule";
    QTest::newRow("date rule without date") << "[Update]\nRule=date\nVersion=1\n"
                                            << "needs a release date";
    QTest::newRow("bad date") << "[Update]\nVersion=1\nDate=2026-12-24\n"
                              << "does not match";
    QTest::newRow("bad time") << "[Update]\nVersion=1\nDate=24/12/2026\nTime=99:00\n"
                              << "does not match";
    QTest::newRow("duplicate key") << "[Update]\nVersion=1\nVersion=2\n"
                                   << "twice";
    QTest::newRow("key outside section") << "Version=1\n[Update]\n"
                                         << "inside a section";
    QTest::newRow("climbing file") << "[Update]\nVersion=1\n[File1]\nName=../x\nSize=1\n" + sha
                                   << "leaves the program's folder";
    QTest::newRow("absolute file") << "[Update]\nVersion=1\n[File1]\nName=/usr/bin/x\nSize=1\n" + sha
                                   << "absolute";
    QTest::newRow("no size") << "[Update]\nVersion=1\n[File1]\nName=x\n" + sha << "size";
    QTest::newRow("negative size") << "[Update]\nVersion=1\n[File1]\nName=x\nSize=-1\n" + sha << "size";
    QTest::newRow("short hash") << "[Update]\nVersion=1\n[File1]\nName=x\nSize=1\nSHA256=abcd\n"
                                << "SHA256";
    QTest::newRow("ftp address") << "[Update]\nVersion=1\n[File1]\nName=x\nURL=ftp://h/x\nSize=1\n" + sha
                                 << "http or https";
    QTest::newRow("unknown component")
        << "[Update]\nVersion=1\n[File1]\nName=x\nSize=1\nComponent=c\n" + sha << "unknown component";
    QTest::newRow("same file twice") << "[Update]\nVersion=1\n[File1]\nName=x\nSize=1\n" + sha +
                                            "[File2]\nName=x\nSize=1\n" + sha
                                     << "twice";
    QTest::newRow("file number too high")
        << "[Update]\nVersion=1\n[File999]\nName=x\nSize=1\n" + sha << "at most";
}

void TestWebUpdateCore::parseErrors() {
    QFETCH(QString, text);
    QFETCH(QString, errorPart);
    QString err;
    QVERIFY(!ControlFile::parse(text.toUtf8(), Base, {}, &err));
    QVERIFY2(err.contains(errorPart), qPrintable(err));
    // Not text at all, and too large.
    QVERIFY(!ControlFile::parse(QByteArray("[Update]\nVersion=1\nDescription=\xff\xfe\n"), Base, {}, &err));
    QVERIFY(!ControlFile::parse(QByteArray(MaxControlFileSize + 1, ';'), Base, {}, &err));
}

void TestWebUpdateCore::signatures() {
    const QByteArray pem = updatetest::testKeyPem();
    QVERIFY(!pem.isEmpty());
    // The test key is the one built into this build.
    QCOMPARE(publicKeyOfPrivatePem(pem), releasePublicKey());
    const QByteArray msg = "[Update]\nVersion=2\n";
    const QByteArray sig = updatetest::sign(msg);
    QCOMPARE(sig.size(), 64);
    QVERIFY(verifyEd25519(releasePublicKey(), msg, sig));
    QCOMPARE(decodeSignatureFile(encodeSignatureFile(sig)), sig);

    QByteArray tampered = msg;
    tampered[10] = tampered[10] ^ 1;
    QVERIFY(!verifyEd25519(releasePublicKey(), tampered, sig));
    QByteArray badSig = sig;
    badSig[0] = badSig[0] ^ 1;
    QVERIFY(!verifyEd25519(releasePublicKey(), msg, badSig));
    const QByteArray otherKey = generatePrivateKeyPem();
    QVERIFY(!verifyEd25519(releasePublicKey(), msg, updatetest::sign(msg, otherKey)));
    QVERIFY(!verifyEd25519(releasePublicKey(), msg, sig.left(63)));
    QVERIFY(decodeSignatureFile("not base64 !!").isEmpty());
    QVERIFY(decodeSignatureFile(QByteArray(2000, 'A')).isEmpty());
}

static StagedFile staged(const QString& stageDir, const QString& name, const QByteArray& body,
                         bool exec = false) {
    const QString p = stageDir + u'/' + QString::number(qHash(name));
    writeFile(p, body);
    return {name, p, body.size(), QCryptographicHash::hash(body, QCryptographicHash::Sha256), exec};
}

void TestWebUpdateCore::installReplacesAndAdds() {
    QTemporaryDir root, st;
    writeFile(root.filePath(QStringLiteral("prog")), "old");
    QFile::setPermissions(root.filePath(QStringLiteral("prog")),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QList<StagedFile> files{staged(st.path(), QStringLiteral("prog"), "new"),
                                  staged(st.path(), QStringLiteral("data/new/file.txt"), "text"),
                                  staged(st.path(), QStringLiteral("tool"), "#!/bin/sh\n", true)};
    QString err;
    QVERIFY2(install(root.path(), files, &err), qPrintable(err));
    QCOMPARE(readFile(root.filePath(QStringLiteral("prog"))), QByteArray("new"));
    QVERIFY(QFile::permissions(root.filePath(QStringLiteral("prog"))) & QFile::ExeOwner); // kept
    QCOMPARE(readFile(root.filePath(QStringLiteral("data/new/file.txt"))), QByteArray("text"));
    QVERIFY(QFile::permissions(root.filePath(QStringLiteral("tool"))) & QFile::ExeOwner);
    // No backups or half-written copies remain.
    QCOMPARE(QDir(root.path()).entryList(QDir::Files), QStringList({"prog", "tool"}));
}

void TestWebUpdateCore::installRestoresOnFailure() {
    QTemporaryDir root, st;
    writeFile(root.filePath(QStringLiteral("a")), "old a");
    // The second target is a folder with contents: replacing it fails half-way.
    writeFile(root.filePath(QStringLiteral("b/inside")), "keep");
    const QList<StagedFile> files{staged(st.path(), QStringLiteral("a"), "new a"),
                                  staged(st.path(), QStringLiteral("n/new"), "new n"),
                                  staged(st.path(), QStringLiteral("b"), "new b")};
    QString err;
    QVERIFY(!install(root.path(), files, &err));
    QVERIFY(!err.isEmpty());
    QCOMPARE(readFile(root.filePath(QStringLiteral("a"))), QByteArray("old a"));
    QCOMPARE(readFile(root.filePath(QStringLiteral("b/inside"))), QByteArray("keep"));
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("n"))));
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({"a", "b"}));
}

void TestWebUpdateCore::installRefusesBadCopies_data() {
    QTest::addColumn<int>("fault");
    QTest::newRow("flipped byte") << 0;
    QTest::newRow("wrong size") << 1;
    QTest::newRow("climbing name") << 2;
    QTest::newRow("missing copy") << 3;
}

void TestWebUpdateCore::installRefusesBadCopies() {
    QFETCH(int, fault);
    QTemporaryDir root, st;
    writeFile(root.filePath(QStringLiteral("a")), "old a");
    writeFile(root.filePath(QStringLiteral("b")), "old b");
    QList<StagedFile> files{staged(st.path(), QStringLiteral("a"), "new a"),
                            staged(st.path(), QStringLiteral("b"), "new b")};
    switch (fault) {
    case 0:
        writeFile(files[1].stagedPath, "new c");
        break;
    case 1:
        files[1].size = 4;
        break;
    case 2:
        files[1].name = QStringLiteral("../b");
        break;
    case 3:
        QFile::remove(files[1].stagedPath);
        break;
    }
    QString err;
    QVERIFY(!install(root.path(), files, &err));
    QCOMPARE(readFile(root.filePath(QStringLiteral("a"))), QByteArray("old a"));
    QCOMPARE(readFile(root.filePath(QStringLiteral("b"))), QByteArray("old b"));
}

void TestWebUpdateCore::stageRefusesTamperedControl() {
    QTemporaryDir st;
    QDir(st.path()).mkdir(QStringLiteral("files"));
    const QByteArray body = "payload";
    const QByteArray control = updatetest::fileSection(1, QStringLiteral("x"), body, QStringLiteral("x"))
                                   .prepend("[Update]\nVersion=2\n")
                                   .toUtf8();
    writeFile(stage::filePath(st.path(), 1), body);
    QString err;
    QVERIFY(stage::write(st.path(), control, updatetest::sign(control), {}, {1}, &err));
    const auto files = stage::load(st.path(), releasePublicKey(), &err);
    QVERIFY2(files, qPrintable(err));
    QCOMPARE(files->size(), 1);
    QCOMPARE(files->first().name, QStringLiteral("x"));

    // A stage naming a file the control file does not list is refused.
    QVERIFY(stage::write(st.path(), control, updatetest::sign(control), {}, {2}, &err));
    QVERIFY(!stage::load(st.path(), releasePublicKey(), &err));

    // So is one whose control file was changed after signing.
    QByteArray changed = control;
    changed.replace("Version=2", "Version=3");
    QVERIFY(stage::write(st.path(), changed, updatetest::sign(control), {}, {1}, &err));
    QVERIFY(!stage::load(st.path(), releasePublicKey(), &err));
    QVERIFY(err.contains(u"signature"));
}

QTEST_GUILESS_MAIN(TestWebUpdateCore)
#include "tst_webupdate_core.moc"
