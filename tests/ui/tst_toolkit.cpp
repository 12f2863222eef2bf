// The toolkit services: executable information, the exception message, message boxes.
#include "Application.h"
#include "Controls.h"
#include "Exception.h"
#include "ExeInfo.h"
#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryFile>
#include <QTest>
#include <QTimer>

using namespace vcl;

class TstToolkit : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void windowsName_data()
    {
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("platform");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<QString>("csd");
        QTest::addColumn<int>("productType");
        QTest::addColumn<QString>("expected");
        auto row = [](const char* name, bool ok, int pl, int ma, int mi, const char* csd, int pt, const char* exp) {
            QTest::newRow(name) << ok << pl << ma << mi << QString::fromUtf8(csd) << pt << QString::fromUtf8(exp);
        };
        row("query fails", false, 2, 6, 1, "", 1, "Unknown");
        row("95", true, 1, 4, 0, "", 1, "Windows 95");
        row("98 SE", true, 1, 4, 10, " A ", 1, "Windows 98 SE");
        row("98", true, 1, 4, 10, " B", 1, "Windows 98");
        row("98 short csd", true, 1, 4, 10, "A", 1, "Windows 98");
        row("ME", true, 1, 4, 90, "", 1, "Windows ME");
        row("9x other", true, 1, 4, 20, "", 1, "Unknown");
        row("NT 3.51", true, 2, 3, 51, "", 1, "Windows NT");
        row("NT 4", true, 2, 4, 0, "", 1, "Windows NT");
        row("2000", true, 2, 5, 0, "", 1, "Windows 2000");
        row("XP", true, 2, 5, 1, "", 1, "Windows XP");
        row("2003", true, 2, 5, 2, "", 3, "Windows 2003");
        row("5.3", true, 2, 5, 3, "", 1, "Unknown");
        row("Vista", true, 2, 6, 0, "", 1, "Windows Vista");
        row("Server 2008", true, 2, 6, 0, "", 3, "Windows Server 2008");
        row("7", true, 2, 6, 1, "", 1, "Windows 7");
        row("Server 2008R2", true, 2, 6, 1, "", 3, "Windows Server 2008R2");
        row("8", true, 2, 6, 2, "", 1, "Windows 8");
        row("Server 2012", true, 2, 6, 2, "", 2, "Windows Server 2012");
        row("8.1", true, 2, 6, 3, "", 1, "Windows 8.1");
        row("Server 2012R2", true, 2, 6, 3, "", 3, "Windows Server 2012R2");
        row("6.4", true, 2, 6, 4, "", 1, "Unknown");
        row("10.0", true, 2, 10, 0, "", 1, "Unknown");
        row("other platform", true, 3, 6, 1, "", 1, "Unknown");
    }
    void windowsName()
    {
        QFETCH(bool, ok);
        QFETCH(int, platform);
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(QString, csd);
        QFETCH(int, productType);
        QFETCH(QString, expected);
        TExeInfo::OsVersion v{ok, platform, major, minor, csd, productType};
        QCOMPARE(TExeInfo::windowsName(v), expected);
    }

    void osReleaseName_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("expected");
        QTest::newRow("debian") << QByteArray("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n")
                                << QStringLiteral("Debian GNU/Linux 12 (bookworm)");
        QTest::newRow("unquoted") << QByteArray("PRETTY_NAME=Arch\n") << QStringLiteral("Arch");
        QTest::newRow("single quotes") << QByteArray("PRETTY_NAME='Fedora 40'\n") << QStringLiteral("Fedora 40");
        QTest::newRow("missing") << QByteArray("NAME=x\n") << QStringLiteral("Unknown");
        QTest::newRow("empty value") << QByteArray("PRETTY_NAME=\"\"\n") << QStringLiteral("Unknown");
        QTest::newRow("binary junk") << QByteArray("\x01\x02\xff\n", 4) << QStringLiteral("Unknown");
    }
    void osReleaseName()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, expected);
        QTemporaryFile f;
        QVERIFY(f.open());
        f.write(content);
        f.close();
        QCOMPARE(TExeInfo::osReleaseName(f.fileName()), expected);
        QCOMPARE(TExeInfo::osReleaseName(QStringLiteral("/nonexistent/os-release")), QStringLiteral("Unknown"));
    }

    // The version resource is read from the running executable; the fallbacks
    // cover a file without one and a resource without a FileVersion entry.
    void versionResource()
    {
        TExeInfo self;
        QCOMPARE(self.FileVersion(), QStringLiteral("1.0.0.0"));
        QCOMPARE(self.ProductVersion(), QStringLiteral("1.0.0.0"));

        TExeInfo none(QStringLiteral("/bin/true"), nullptr);
        QCOMPARE(none.FileVersion(), QStringLiteral("Updated at run-time"));
        TExeInfo missingFile(QStringLiteral("/nonexistent"), nullptr);
        QCOMPARE(missingFile.FileVersion(), QStringLiteral("Updated at run-time"));

        TExeInfo noEntry(QStringLiteral(NO_FILEVERSION_EXE), nullptr);
        QCOMPARE(noEntry.FileVersion(), QString());
        QCOMPARE(noEntry.ProductVersion(), QStringLiteral("2.0.0.0"));
    }

    void versionResourceParsing()
    {
        auto records = [](QList<QByteArray> r) { return r.join('\0') + '\0'; };
        auto res = TExeInfo::parseVersionResource(records({"VS_VERSION_INFO", "Translation=0407 04B0 0409 04E4",
                                                          "StringFileInfo\\040704B0\\FileVersion=9.9",
                                                          "StringFileInfo\\040904E4\\FileVersion=1.0"}));
        QVERIFY(res);
        QCOMPARE(res->translations, QStringList({QStringLiteral("040704B0"), QStringLiteral("040904E4")}));
        QCOMPARE(TExeInfo::fileVersionFrom(res), QStringLiteral("9.9")); // first pair wins
        QVERIFY(!TExeInfo::parseVersionResource(QByteArray("garbage")));
        QCOMPARE(TExeInfo::fileVersionFrom(TExeInfo::parseVersionResource(QByteArray("VS_VERSION_INFO", 15))), QString());
    }

    void applicationTitle_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("title");
        QTest::newRow("exe") << QStringLiteral("C:/x/SarnavelServer.exe") << QStringLiteral("Sarnavelserver");
        QTest::newRow("linux") << QStringLiteral("/usr/bin/sarnavel-server") << QStringLiteral("sarnavel-server");
        QTest::newRow("two dots") << QStringLiteral("/a.b/My.App.exe") << QStringLiteral("My");
        QTest::newRow("one char") << QStringLiteral("X.exe") << QStringLiteral("X");
    }
    void applicationTitle()
    {
        QFETCH(QString, file);
        QFETCH(QString, title);
        QCOMPARE(Application::titleFromExecutable(file), title);
    }

    void exceptionText_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("japanese") << QStringLiteral("引数が範囲外です") << QStringLiteral("引数が範囲外です.");
        QTest::newRow("ends in letter") << QStringLiteral("abc") << QStringLiteral("abc.");
        QTest::newRow("ends in digit") << QStringLiteral("code 7") << QStringLiteral("code 7.");
        QTest::newRow("ends in stop") << QStringLiteral("done.") << QStringLiteral("done.");
        QTest::newRow("ends in bang") << QStringLiteral("oops!") << QStringLiteral("oops!");
        QTest::newRow("ends in hyphen") << QStringLiteral("a-") << QStringLiteral("a-");
        QTest::newRow("ends in slash") << QStringLiteral("a/") << QStringLiteral("a/.");
        QTest::newRow("empty") << QString() << QString();
    }
    void exceptionText()
    {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(Application::exceptionText(message), shown);
    }

    // An error escaping a handler is shown with the title as caption and the
    // program goes on; other handlers still run.
    void guardShowsException()
    {
        MessageBoxSpy spy;
        bool after = false;
        QVERIFY(!Application::guard([] { throw EListError(); }));
        QVERIFY(!Application::guard([] { throw std::runtime_error("bad thing"); }));
        QVERIFY(Application::guard([&] { after = true; }));
        QVERIFY(after);
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.messages()[0].type, MsgType::Stop);
        QCOMPARE(spy.messages()[0].caption, Application::Title());
        QCOMPARE(spy.messages()[0].text, QStringLiteral("引数が範囲外です."));
        QCOMPARE(spy.messages()[1].text, QStringLiteral("bad thing."));
        QCOMPARE(Application::Title(), QStringLiteral("tst_toolkit"));
    }

    // Lines.Add keeps every line, empty ones included, in order.
    void memoLinesAdd_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("text");
        QTest::newRow("one") << QStringList{"a"} << QStringLiteral("a");
        QTest::newRow("two") << QStringList{"a", "b"} << QStringLiteral("a\nb");
        QTest::newRow("empty first") << QStringList{"", "x"} << QStringLiteral("\nx");
        QTest::newRow("two empty then x") << QStringList{"", "", "x"} << QStringLiteral("\n\nx");
        QTest::newRow("empty middle") << QStringList{"a", "", "b"} << QStringLiteral("a\n\nb");
        QTest::newRow("empty last") << QStringList{"a", ""} << QStringLiteral("a\n");
        QTest::newRow("batched with empty first") << QStringList{"\nx"} << QStringLiteral("\nx");
    }
    void memoLinesAdd()
    {
        QFETCH(QStringList, lines);
        QFETCH(QString, text);
        TMemo memo;
        for (const QString& l : lines)
            memo.LinesAdd(l);
        QCOMPARE(memo.Text(), text);
        QCOMPARE(memo.blockCount(), int(text.count(QLatin1Char('\n'))) + 1);
    }

    void captions()
    {
        MessageBoxSpy spy;
        MessageBoxes::warning(QStringLiteral("w"));
        MessageBoxes::error(QStringLiteral("e"));
        MessageBoxes::information(QStringLiteral("i"));
        QCOMPARE(spy.count(), 3);
        QCOMPARE(spy.messages()[0].caption, QStringLiteral("警告"));
        QCOMPARE(spy.messages()[1].caption, QStringLiteral("エラー"));
        QCOMPARE(spy.messages()[2].caption, QStringLiteral("情報"));
        for (const auto& m : spy.messages())
            QCOMPARE(m.buttons, QList<MsgButton>{MsgButton::Ok});
        spy.setNextAnswer(MsgButton::No);
        QVERIFY(!MessageBoxes::question(QStringLiteral("q")));
        QVERIFY(MessageBoxes::question(QStringLiteral("q"))); // default answer: first button (Yes)
    }

    // A box must survive, or end cleanly with, the window it appeared over going
    // away while it is open (a wizard closing just before a start-up box).
    void realBoxOwnerGoesAway()
    {
        auto* closing = new QWidget;
        closing->show();
        QApplication::setActiveWindow(closing);
        closing->hide();
        closing->deleteLater(); // deleted by the box's own event loop
        QTimer::singleShot(50, [] {
            if (QWidget* box = QApplication::activeModalWidget())
                box->close();
        });
        QCOMPARE(MessageBoxes::show(MsgType::Error, QStringLiteral("x")), MsgButton::Ok);

        auto* owner = new QWidget;
        owner->show();
        QApplication::setActiveWindow(owner);
        QTimer::singleShot(0, [owner] { delete owner; });
        QCOMPARE(MessageBoxes::show(MsgType::Error, QStringLiteral("y")), MsgButton::Ok);
    }

    // The real modal box: caption, icon, text and its single OK button.
    void realModalBox()
    {
        QString caption, text;
        int buttons = -1;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            caption = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = int(box->buttons().size());
            QTest::mouseClick(box->buttons().first(), Qt::LeftButton);
        });
        Application::ShowException(QStringLiteral("Select device"));
        QCOMPARE(caption, Application::Title());
        QCOMPARE(text, QStringLiteral("Select device."));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons, 1);

        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            caption = box->windowTitle();
            icon = box->icon();
            QTest::keyClick(box, Qt::Key_Escape);
        });
        QCOMPARE(MessageBoxes::show(MsgType::Warning, QStringLiteral("Select device")), MsgButton::Ok);
        QCOMPARE(caption, QStringLiteral("警告"));
        QCOMPARE(icon, QMessageBox::Warning);
    }
};

QTEST_MAIN(TstToolkit)
#include "tst_toolkit.moc"
