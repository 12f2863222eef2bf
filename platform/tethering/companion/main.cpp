// sarnavel-companion: the command-line companion client. Connects to a
// Sarnavel Server, pairs, sends each line of its input as a string resource
// and prints every "Chat String" it receives.
#include "Mailbox.h"
#include "TetheringClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

using tethering::TetheringClient;

namespace {
const QString ChatString = QStringLiteral("Chat String");

enum ExitCode { Ok = 0, Usage = 64, ConnectFailed = 1, PairingFailed = 2, LinkLost = 3 };
} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sarnavel-companion"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Companion client of Sarnavel Server: sends each input line as a string resource, prints every "
        "\"Chat String\" received."));
    parser.addHelpOption();
    const QCommandLineOption rfcomm(QStringLiteral("rfcomm"),
                                    QStringLiteral("Bluetooth address of the server."),
                                    QStringLiteral("address"));
    const QCommandLineOption channel(QStringLiteral("channel"),
                                     QStringLiteral("RFCOMM channel (default 11)."), QStringLiteral("n"),
                                     QStringLiteral("11"));
    const QCommandLineOption unixPath(
        QStringLiteral("unix"), QStringLiteral("Connect to a Unix stream socket."), QStringLiteral("path"));
    const QCommandLineOption fdSocket(
        QStringLiteral("fd-socket"),
        QStringLiteral("Take a connected socket handed over at this Unix socket."), QStringLiteral("path"));
    const QCommandLineOption fdOpt(QStringLiteral("fd"), QStringLiteral("Use an inherited connected socket."),
                                   QStringLiteral("n"));
    const QCommandLineOption password(QStringLiteral("password"),
                                      QStringLiteral("Manager password (default empty)."),
                                      QStringLiteral("text"));
    const QCommandLineOption profile(QStringLiteral("profile"), QStringLiteral("Our profile text."),
                                     QStringLiteral("text"), QStringLiteral("TorvaneClient"));
    const QCommandLineOption group(QStringLiteral("group"), QStringLiteral("Our profile group."),
                                   QStringLiteral("text"), QStringLiteral("quillmarsh"));
    const QCommandLineOption server(QStringLiteral("server-profile"),
                                    QStringLiteral("Server profile to connect to."), QStringLiteral("text"),
                                    QStringLiteral("Quenlith Server"));
    const QCommandLineOption linger(
        QStringLiteral("linger"),
        QStringLiteral("Seconds to stay connected after the input ends (-1: until the "
                       "server closes)."),
        QStringLiteral("s"), QStringLiteral("0"));
    const QCommandLineOption timeout(QStringLiteral("timeout"),
                                     QStringLiteral("Connect/pair timeout in seconds."), QStringLiteral("s"),
                                     QStringLiteral("10"));
    parser.addOptions(
        {rfcomm, channel, unixPath, fdSocket, fdOpt, password, profile, group, server, linger, timeout});
    parser.process(app);

    TetheringClient::Options options;
    options.password = parser.value(password);
    options.profileText = parser.value(profile);
    options.managerText = parser.value(profile);
    options.group = parser.value(group);
    options.serverProfileText = parser.value(server);
    TetheringClient client(options);
    const int timeoutMs = qBound(1, parser.value(timeout).toInt(), 600) * 1000;

    QString error;
    bool connected = false;
    if (parser.isSet(rfcomm))
        connected = client.connectRfcomm(parser.value(rfcomm), quint16(parser.value(channel).toUInt()),
                                         timeoutMs, &error);
    else if (parser.isSet(unixPath))
        connected = client.connectUnix(parser.value(unixPath), &error);
    else if (parser.isSet(fdSocket))
        connected = client.receiveFd(parser.value(fdSocket), timeoutMs, &error);
    else if (parser.isSet(fdOpt))
        connected = client.openFd(parser.value(fdOpt).toInt());
    else {
        std::fprintf(stderr, "one of --rfcomm, --unix, --fd-socket or --fd is needed\n");
        return Usage;
    }
    if (!connected) {
        std::fprintf(stderr, "sarnavel-companion: %s\n", qPrintable(error));
        return ConnectFailed;
    }

    QObject::connect(&client, &TetheringClient::stringReceived,
                     [](const QString& description, const QString& text) {
                         if (description == ChatString) {
                             std::fputs(text.toUtf8().constData(), stdout);
                             std::fputc('\n', stdout);
                             std::fflush(stdout);
                         }
                     });
    QObject::connect(&client, &TetheringClient::closed, &app, [&](const QString& reason) {
        std::fprintf(stderr, "sarnavel-companion: connection closed: %s\n", qPrintable(reason));
        app.exit(LinkLost);
    });
    if (!client.waitReady(timeoutMs)) {
        std::fprintf(stderr, "sarnavel-companion: not connected to \"%s\": %s\n",
                     qPrintable(options.serverProfileText), qPrintable(client.lastError()));
        return client.state() == TetheringClient::State::Handshake ? ConnectFailed : PairingFailed;
    }
    std::fprintf(stderr, "sarnavel-companion: connected to \"%s\" of %s\n",
                 qPrintable(options.serverProfileText), qPrintable(client.serverManagerText()));

    // Input lines are read on a thread of their own and sent from the event loop.
    const int lingerSeconds = parser.value(linger).toInt();
    tethering::Mailbox mailbox;
    std::thread reader([&mailbox, &client, &app, lingerSeconds] {
        std::string line;
        while (std::getline(std::cin, line)) {
            const QString text = QString::fromUtf8(line.data(), qsizetype(line.size()));
            mailbox.post([&client, text] { client.sendString(QStringLiteral("Chat String"), text); });
        }
        mailbox.post([&client, &app, lingerSeconds] {
            if (!client.waitAcknowledged(30000))
                std::fprintf(stderr, "sarnavel-companion: %d texts not confirmed\n", client.unacknowledged());
            if (lingerSeconds >= 0)
                QTimer::singleShot(lingerSeconds * 1000, &app, [&client, &app] {
                    QObject::disconnect(&client, &TetheringClient::closed, &app, nullptr);
                    client.bye();
                    app.exit(Ok);
                });
        });
    });
    reader.detach();
    const int rc = app.exec();
    std::fflush(stdout);
    // The reader may still sit in getline(); leave without waiting for it.
    std::_Exit(rc);
}
