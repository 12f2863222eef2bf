// Update check and download speed on loopback.
//
//   bench_update [--runs N] [--megabytes M]
//
// Prints the time of a whole update check (control file + signature + checks)
// and the download rate of one large file through the checker, next to curl
// fetching the same file from the same server in the same run.
#include "HttpTestServer.h"
#include "UpdateTestSupport.h"
#include "WebUpdate.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

using namespace updatetest;

namespace {

template <typename Signal> bool waitFor(TWebUpdate* wu, Signal signal, int timeoutMs) {
    QEventLoop loop;
    bool fired = false;
    QObject::connect(wu, signal, &loop, [&] {
        fired = true;
        loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    return fired;
}

double median(QList<double> v) {
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    int runs = 20;
    int megabytes = 50;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == u"--runs")
            runs = std::max(1, args[i + 1].toInt());
        if (args[i] == u"--megabytes")
            megabytes = std::max(1, args[i + 1].toInt());
    }

    HttpTestServer server;
    QTemporaryDir tmp, appDir;
    QByteArray big(qsizetype(megabytes) * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator rng(42);
    rng.fillRange(reinterpret_cast<quint32*>(big.data()), big.size() / 4);
    server.setResponse("/Quillmarsh/big.bin", big);
    publish(server, QStringLiteral("[Update]\nRule=version\nVersion=2.0\nDescription=Bench\n") +
                        fileSection(1, "big.bin", big, "big.bin"));

    TWebUpdate wu;
    wu.URL = server.url(ControlPath);
    wu.TempPath = tmp.path();
    wu.ApplicationPath = appDir.filePath(QStringLiteral("prog"));
    wu.CurrentVersion = QStringLiteral("1.0");
    wu.ConnectionProbe = [] { return TWebUpdate::NetState::Up; };

    // 1. The check.
    QList<double> checks;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        wu.StartCheck();
        if (!waitFor(&wu, &TWebUpdate::checkFinished, 10000) || !wu.Control()) {
            std::fprintf(stderr, "check failed\n");
            return 1;
        }
        checks.append(t.nsecsElapsed() / 1e6);
    }
    std::printf("update check on loopback: median %.2f ms, best %.2f ms over %d runs\n", median(checks),
                *std::min_element(checks.begin(), checks.end()), runs);

    // 2. The download, alternating with curl so both see the same conditions.
    const QString curlOut = tmp.filePath(QStringLiteral("curl.bin"));
    QList<double> ours, curls;
    for (int i = 0; i < 3; ++i) {
        bool ok = false, done = false;
        QString reason;
        QEventLoop loop;
        auto c =
            QObject::connect(&wu, &TWebUpdate::downloadFinished, &loop, [&](bool good, const QString& why) {
                ok = good;
                done = true;
                reason = why;
                loop.quit();
            });
        QElapsedTimer t;
        t.start();
        wu.StartDownload(wu.FilesFor({}));
        if (!done)
            loop.exec();
        QObject::disconnect(c);
        const double secs = t.nsecsElapsed() / 1e9;
        if (!ok) {
            std::fprintf(stderr, "download failed: %s\n", qPrintable(reason));
            return 1;
        }
        ours.append(megabytes / secs);
        // Drops the staged copy; the control file stays parsed for the next round.
        wu.Abort();

        QProcess curl;
        t.restart();
        curl.start(QStringLiteral("curl"), {"-s", "-f", "-o", curlOut, server.url("/Quillmarsh/big.bin")});
        if (!curl.waitForFinished(120000) || curl.exitCode() != 0) {
            std::fprintf(stderr, "curl failed (is curl installed?)\n");
            return 1;
        }
        curls.append(megabytes / (t.nsecsElapsed() / 1e9));
        QFile::remove(curlOut);
    }
    const double oursBest = *std::max_element(ours.begin(), ours.end());
    const double curlBest = *std::max_element(curls.begin(), curls.end());
    std::printf("download of %d MB (with SHA-256 check): best %.1f MB/s, median %.1f MB/s\n", megabytes,
                oursBest, median(ours));
    std::printf("curl, same file, same server:          best %.1f MB/s, median %.1f MB/s\n", curlBest,
                median(curls));
    std::printf("ratio to curl (best/best): %.2f  (target >= 0.80)\n", oursBest / curlBest);
    wu.Abort();
    return 0;
}
