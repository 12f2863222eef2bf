// Start-up benchmark: process start -> main window shown (update wizard closed at
// once), and the resident memory of the idle window. Runs the start-up in fresh
// child processes and prints median/min/max.
//
//   bench_startup [runs]      (QT_QPA_PLATFORM=offscreen by default)
#include "TfmVelkor.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {
double monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double rssMb()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

int child(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The wizard is the first modal dialog: close it as soon as it is up.
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [] {
        if (QWidget* w = QApplication::activeModalWidget())
            w->close();
    });
    closer.start(1);
    TfmVelkor window;
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    const double shownAt = monotonicMs();
    closer.stop();
    QTest::qWait(1000); // idle
    std::printf("%.3f %.2f\n", shownAt, rssMb());
    return 0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && QByteArray(argv[1]) == "--child")
        return child(argc, argv);
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 10;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    std::vector<double> startMs, rss;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        p.setProcessEnvironment(env);
        const double t0 = monotonicMs();
        p.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child")});
        if (!p.waitForFinished(30000)) {
            std::fprintf(stderr, "run %d did not finish\n", i);
            return 1;
        }
        const QList<QByteArray> out = p.readAllStandardOutput().trimmed().split(' ');
        if (out.size() != 2) {
            std::fprintf(stderr, "run %d: unexpected output\n", i);
            return 1;
        }
        startMs.push_back(out[0].toDouble() - t0);
        rss.push_back(out[1].toDouble());
    }
    std::printf("startup: process start -> main window shown: median %.1f ms, min %.1f ms, max %.1f ms (%d runs)\n",
                median(startMs), *std::min_element(startMs.begin(), startMs.end()),
                *std::max_element(startMs.begin(), startMs.end()), runs);
    std::printf("startup: idle resident memory: median %.1f MB\n", median(rss));
    return 0;
}
