// tethering_demo: the text exchange end to end, with nothing but this machine.
// A simulated BlueZ hands an RFCOMM connection to the window's server profile;
// the command-line companion client (sarnavel-companion) speaks on the other
// end. Its texts appear in Memo1; a text typed into the window reaches it.
// Usage: tethering_demo PATH/TO/sarnavel-companion [screenshot.png]
#include "Controls.h"
#include "SimulatedBluez.h"
#include "TAeroSpeedButton.h"
#include "Tethering.h"
#include "TetheringProtocol.h"
#include "TfmVelkor.h"
#include "wclBluetooth.h"

#include <QApplication>
#include <QDBusObjectPath>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <cstdio>

namespace {
void say(const QString& text) {
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

bool waitFor(const std::function<bool()>& done, int ms) {
    return QTest::qWaitFor(done, ms);
}
} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tethering_demo PATH/TO/sarnavel-companion [screenshot.png]\n");
        return 64;
    }
    const QString companion = QString::fromLocal8Bit(argv[1]);
    const QString screenshot = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();

    SimulatedBluez bluez;
    if (!bluez.start() ||
        bluez.addAdapter(QStringLiteral("hci0"), QStringLiteral("sarnavel-demo")).isEmpty() ||
        !bluez.loadTemplate(SimulatedBluez::sourceDir() + QStringLiteral("/templates/tethering.py"))) {
        std::fprintf(stderr, "simulated BlueZ: %s\n", qPrintable(bluez.lastError()));
        return 1;
    }
    const QString phone = bluez.addDevice(QStringLiteral("hci0"), QStringLiteral("00:11:22:33:44:55"),
                                          {{QStringLiteral("Name"), QStringLiteral("Torvane phone")}});
    say(QStringLiteral("simulated BlueZ on %1").arg(SimulatedBluez::busAddress()));

    // The window as it stands after start-up, without the update wizard.
    TfmVelkor window(TfmVelkor::Options{.runFormCreate = false});
    window.wclAPI->Load();
    window.show();
    say(QStringLiteral("window up; server profile \"%1\" (group \"%2\") registered with BlueZ: %3")
            .arg(window.TAppProfile1->Text, window.TAppProfile1->Group,
                 window.TManager1->isBluetoothReady() ? QStringLiteral("yes") : QStringLiteral("no")));

    // The phone connects: BlueZ calls the profile's NewConnection.
    const QDBusMessage r = bluez.call(
        QStringLiteral("/"), QStringLiteral("org.bluez.Mock"), QStringLiteral("NewProfileConnection"),
        {QString::fromLatin1(tethering::ServiceUuid), QVariant::fromValue(QDBusObjectPath(phone))});
    if (r.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "NewProfileConnection: %s\n", qPrintable(r.errorMessage()));
        return 1;
    }
    const QString socketPath = r.arguments().value(0).toString();
    say(QStringLiteral("BlueZ handed a connection from %1 to the profile").arg(phone));

    QProcess client;
    client.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&client, &QProcess::readyReadStandardOutput, [&] {
        while (client.canReadLine())
            say(QStringLiteral("  companion printed: ") + QString::fromUtf8(client.readLine()).trimmed());
    });
    QObject::connect(&client, &QProcess::readyReadStandardError, [&] {
        for (const QByteArray& l : client.readAllStandardError().split('\n'))
            if (!l.isEmpty())
                say(QStringLiteral("  companion: ") + QString::fromUtf8(l));
    });
    client.start(companion, {QStringLiteral("--fd-socket"), socketPath, QStringLiteral("--linger"),
                             QStringLiteral("3")});
    if (!client.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(companion));
        return 1;
    }
    if (!waitFor([&] { return window.TManager1->RemoteProfiles().Count() == 1; }, 10000)) {
        std::fprintf(stderr, "the companion did not pair\n");
        return 1;
    }
    say(QStringLiteral("paired; remote profile \"%1\"")
            .arg(window.TManager1->RemoteProfiles().Items(0).ProfileText));

    const QStringList lines{QStringLiteral("Hello from the companion app"),
                            QStringLiteral("こんにちは、サーバー"), QStringLiteral("third line")};
    for (const QString& line : lines) {
        say(QStringLiteral("companion sends: ") + line);
        client.write(line.toUtf8() + '\n');
        QTest::qWait(300);
    }
    waitFor([&] { return window.Memo1->document()->blockCount() >= lines.size(); }, 5000);
    say(QStringLiteral("Memo1 now holds:"));
    for (const QString& l : window.Memo1->Text().split(QLatin1Char('\n')))
        say(QStringLiteral("  | ") + l);

    // The user types an answer and clicks the send button.
    window.Edit1->setFocus();
    QTest::keyClicks(window.Edit1, QStringLiteral("Hello from Sarnavel Server"));
    say(QStringLiteral("user types \"%1\" and clicks the send button").arg(window.Edit1->Text()));
    window.sendtextbtn->click();
    QTest::qWait(500);

    if (!screenshot.isEmpty() && window.grab().save(screenshot))
        say(QStringLiteral("window picture saved to ") + screenshot);

    client.closeWriteChannel(); // end of input: the companion confirms, lingers, leaves
    client.waitForFinished(10000);
    while (client.canReadLine())
        say(QStringLiteral("  companion printed: ") + QString::fromUtf8(client.readLine()).trimmed());
    say(QStringLiteral("companion exited with %1").arg(client.exitCode()));
    return client.exitCode();
}
