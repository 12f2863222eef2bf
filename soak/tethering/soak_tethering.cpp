// Tethering soak: companions over socket pairs against the real framework.
//  (a) connects and disconnects, every other one abrupt (the socket closed in the
//      middle of a frame) with texts still in flight;
//  (b) texts from four companions at once, every one accounted for in order per sender;
//  (c) the window's tethering control: two companions' texts into the received-text
//      box while the window sends texts back with the send button.
// Prints its figures and exits non-zero when an invariant breaks: a text lost,
// duplicated or out of order, a connection that never left, or file descriptors
// or threads growing after warm-up.
#include "ProcessStats.h"
#include "Controls.h"
#include "RemoteClient.h"
#include "Tethering.h"
#include "TetheringControl.h"
#include "TetheringProtocol.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QThread>
#include <cstdio>
#include <functional>

using namespace tethering;

namespace {

// Runs the window's event loop until done() or timeoutMs pass.
bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::usleep(200);
    }
    return true;
}

int g_warnings = 0;
void countWarnings(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    if (++g_warnings <= 3 || type >= QtCriticalMsg)
        std::fprintf(stderr, "log: %s\n", qPrintable(text));
}

struct Figures {
    qint64 operations = 0;
    qint64 errors = 0; // failures the framework or the client reported
    qint64 lost = 0;
    qint64 outOfOrder = 0;
    qint64 duplicated = 0;
    qint64 strays = 0; // texts that arrived from the wrong sender or unannounced
};

// Texts of the form "<tag>:<n>", checked in order per tag.
struct Ledger {
    QHash<QString, QList<int>> byTag;
    QHash<QString, QString> senderOfTag; // tag -> profile id that sent it
    Figures* figures = nullptr;
    qint64 total = 0;

    void take(const TRemoteResource& r)
    {
        const QString text = r.Value.AsString();
        const int colon = text.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const int n = text.mid(colon + 1).toInt(&ok);
        const QString tag = text.left(colon);
        if (colon < 0 || !ok || senderOfTag.value(tag) != r.Profile.ProfileIdentifier) {
            ++figures->strays;
            return;
        }
        QList<int>& got = byTag[tag];
        if (!got.isEmpty() && n <= got.last())
            ++(n == got.last() ? figures->duplicated : figures->outOfOrder);
        else if (n != (got.isEmpty() ? 0 : got.last() + 1))
            ++figures->outOfOrder; // a gap: something before it went missing or comes later
        got.append(n);
        ++total;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int connects = 1000;
    int windowTexts = 20000;
    int texts = 100000;
    int senders = 4;
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray a = argv[i];
        const int v = QByteArray(argv[i + 1]).toInt();
        if (a == "--connects")
            connects = v;
        else if (a == "--texts")
            texts = v;
        else if (a == "--window-texts")
            windowTexts = v;
        else if (a == "--senders")
            senders = qMax(1, v);
    }
    qInstallMessageHandler(countWarnings);

    TTetheringTimings timings;
    timings.adapterStartTimeoutMs = 1000;
    timings.sendTimeoutMs = 2000;
    timings.handshakeTimeoutMs = 3000;
    timings.frameTimeoutMs = 1000;
    timings.keepAliveIntervalMs = 500;
    timings.keepAliveTimeoutMs = 10000;
    TTetheringManager::setTimings(timings);

    QElapsedTimer total;
    total.start();
    const int fdStart = openFds();
    const int threadsStart = threadCount();

    Figures fig;
    Ledger ledger;
    ledger.figures = &fig;
    QStringList broken;
    int fdWarm = -1, threadsWarm = -1;
    long rssWarm = -1;

    {
        TTetheringManager manager;
        manager.Text = QStringLiteral("TManager1");
        manager.AllowedAdapters = QStringLiteral("SocketPair");
        TTetheringAppProfile profile;
        profile.Text = QStringLiteral("Quenlith Server");
        profile.Group = QStringLiteral("quillmarsh");
        QObject::connect(&profile, &TTetheringAppProfile::OnResourceReceived, &profile,
            [&](QObject*, const TRemoteResource& r) { ledger.take(r); });
        profile.SetManager(&manager);
        TMemo memo;
        TEdit edit;
        TSaveDialog saveDialog;
        TetheringControl control({&manager, &profile, &memo, &edit, &saveDialog, nullptr});
        bool toWindow = false;
        QObject::connect(&profile, &TTetheringAppProfile::OnResourceReceived, &control,
            [&](QObject* sender, const TRemoteResource& r) {
                if (toWindow)
                    control.TAppProfile1ResourceReceived(sender, r);
            });

        auto options = [](const QString& text) {
            RemoteClient::Client::Options o = RemoteClient::options(text);
            o.keepAliveMs = 1000;
            return o;
        };
        auto leftAll = [&] { return waitUntil([&] { return manager.RemoteProfiles().Count() == 0; }, 5000); };

        // (a) connects and disconnects.
        constexpr int TextsPerConnect = 3;
        struct Visit {
            QString tag;
            bool abrupt = false;
            int acked = 0;
        };
        QList<Visit> visits;
        QElapsedTimer phase;
        phase.start();
        for (int i = 0; i < connects; ++i) {
            if (i == qMin(100, connects / 10)) {
                fdWarm = openFds();
                threadsWarm = threadCount();
                rssWarm = statusKb("VmRSS");
            }
            Visit v {QStringLiteral("a%1").arg(i), i % 2 == 1, 0};
            RemoteClient c(options(QStringLiteral("Visitor %1").arg(i)));
            const int fd = manager.CreateSocketPair();
            if (fd < 0 || !c.open(fd)) {
                ++fig.errors;
                std::fprintf(stderr, "connect %d: no socket pair\n", i);
                continue;
            }
            if (!waitUntil([&] { return c.isReady() || c.state() == RemoteClient::Client::State::Closed; }, 5000)
                || !c.isReady()) {
                ++fig.errors;
                std::fprintf(stderr, "connect %d: not ready: %s\n", i, qPrintable(c.lastError()));
                c.close();
                leftAll();
                continue;
            }
            ledger.senderOfTag.insert(v.tag, c.profileId());
            c.sendMany(TextsPerConnect, [&](int k) { return QStringLiteral("%1:%2").arg(v.tag).arg(k); });
            if (v.abrupt) {
                // Half a frame more, then the socket goes away under it.
                ResourceMsg m;
                m.seq = 999;
                m.fromProfile = c.profileId();
                m.toProfile = profile.Identifier();
                m.description = QStringLiteral("Chat String");
                m.value = QStringLiteral("%1:%2").arg(v.tag).arg(TextsPerConnect);
                const QByteArray frame = encodeFrame(FrameType::Resource, encode(m));
                c.sendRaw(frame.left(frame.size() / 2));
                c.close();
                v.acked = c.accepted();
            } else {
                if (!waitUntil([&] { return c.accepted() + c.refused() >= TextsPerConnect; }, 5000))
                    std::fprintf(stderr, "connect %d: receipts missing\n", i);
                v.acked = c.accepted();
                c.post([](RemoteClient::Client* client) { client->bye(); });
                c.run([] {});
            }
            fig.errors += c.refused() + c.errors().size();
            fig.operations += 2; // connect + disconnect
            if (!leftAll()) {
                broken << QStringLiteral("connection %1 still listed 5 s after it left").arg(i);
                break;
            }
            visits.append(v);
        }
        // Every text the server took (gave a receipt for) must have reached the profile;
        // graceful visitors' texts all of them.
        auto settled = [&] {
            for (const Visit& v : visits) {
                const qsizetype got = ledger.byTag.value(v.tag).size();
                if (got < (v.abrupt ? v.acked : TextsPerConnect))
                    return false;
            }
            return true;
        };
        waitUntil(settled, 10000);
        qint64 inFlightLost = 0, aTexts = 0;
        for (const Visit& v : visits) {
            const qsizetype got = ledger.byTag.value(v.tag).size();
            aTexts += got;
            const int due = v.abrupt ? v.acked : TextsPerConnect;
            if (got < due)
                fig.lost += due - got;
            if (v.abrupt)
                inFlightLost += TextsPerConnect - got; // never taken by the server: no receipt, not lost
        }
        fig.operations += aTexts;
        std::printf("connects: %lld visits (%lld abrupt), %lld texts delivered, %lld unsent at abrupt close, %.1f s\n",
            qint64(visits.size()), qint64((visits.size() + 1) / 2), aTexts, inFlightLost, phase.elapsed() / 1000.0);

        // (b) texts from several companions at once.
        phase.restart();
        std::vector<std::unique_ptr<RemoteClient>> clients;
        for (int s = 0; s < senders; ++s) {
            auto c = std::make_unique<RemoteClient>(options(QStringLiteral("Sender %1").arg(s)));
            const int fd = manager.CreateSocketPair();
            if (fd < 0 || !c->open(fd) || !waitUntil([&] { return c->isReady(); }, 5000)) {
                broken << QStringLiteral("sender %1 did not connect").arg(s);
                break;
            }
            ledger.senderOfTag.insert(QStringLiteral("b%1").arg(s), c->profileId());
            clients.push_back(std::move(c));
        }
        const qint64 before = ledger.total;
        const int perSender = texts / senders;
        if (clients.size() == size_t(senders)) {
            // Each sender writes in batches from its own thread while the others do too.
            constexpr int Batch = 500;
            for (int s = 0; s < senders; ++s) {
                for (int from = 0; from < perSender; from += Batch) {
                    const int to = qMin(perSender, from + Batch);
                    clients[s]->post([s, from, to](RemoteClient::Client* client) {
                        for (int n = from; n < to; ++n)
                            client->sendString(QStringLiteral("Chat String"), QStringLiteral("b%1:%2").arg(s).arg(n));
                    });
                }
            }
            const qint64 expected = qint64(perSender) * senders;
            if (!waitUntil([&] { return ledger.total - before >= expected; }, 300000))
                std::fprintf(stderr, "flood: only %lld of %lld texts after 300 s\n", ledger.total - before, expected);
            waitUntil(
                [&] {
                    for (auto& c : clients)
                        if (c->accepted() < perSender)
                            return false;
                    return true;
                },
                30000);
            for (int s = 0; s < senders; ++s) {
                const QList<int> got = ledger.byTag.value(QStringLiteral("b%1").arg(s));
                fig.lost += qMax<qint64>(0, perSender - got.size());
                fig.errors += clients[s]->refused() + clients[s]->errors().size();
                if (clients[s]->accepted() != perSender)
                    broken << QStringLiteral("sender %1: %2 receipts for %3 texts")
                                  .arg(s)
                                  .arg(clients[s]->accepted())
                                  .arg(perSender);
                if (!clients[s]->isReady())
                    broken << QStringLiteral("sender %1 lost its link: %2").arg(s).arg(clients[s]->lastError());
            }
            fig.operations += ledger.total - before;
            std::printf("flood: %lld texts from %d senders in %.1f s (%.0f texts/s)\n", ledger.total - before, senders,
                phase.elapsed() / 1000.0, (ledger.total - before) * 1000.0 / qMax<qint64>(1, phase.elapsed()));
        }
        for (auto& c : clients)
            c->post([](RemoteClient::Client* client) { client->bye(); });
        clients.clear();
        if (!leftAll())
            broken << QStringLiteral("senders still listed after they left");

        // (c) the window: texts into the box while its send button sends texts back.
        phase.restart();
        toWindow = true;
        constexpr int WindowSenders = 2;
        constexpr int Replies = 200;
        for (int s = 0; s < WindowSenders; ++s) {
            auto c = std::make_unique<RemoteClient>(options(TetheringControl::ClientProfileText));
            const int fd = manager.CreateSocketPair();
            if (fd < 0 || !c->open(fd) || !waitUntil([&] { return c->isReady(); }, 5000)) {
                broken << QStringLiteral("window sender %1 did not connect").arg(s);
                break;
            }
            ledger.senderOfTag.insert(QStringLiteral("c%1").arg(s), c->profileId());
            clients.push_back(std::move(c));
        }
        waitUntil([&] { return manager.RemoteProfiles().Count() == WindowSenders; }, 5000);
        const int perWindowSender = windowTexts / WindowSenders;
        const qint64 beforeWindow = ledger.total;
        if (clients.size() == size_t(WindowSenders)) {
            for (int s = 0; s < WindowSenders; ++s) {
                for (int from = 0; from < perWindowSender; from += 500) {
                    const int to = qMin(perWindowSender, from + 500);
                    clients[s]->post([s, from, to](RemoteClient::Client* client) {
                        for (int n = from; n < to; ++n)
                            client->sendString(QStringLiteral("Chat String"), QStringLiteral("c%1:%2").arg(s).arg(n));
                    });
                }
            }
            // The send button goes to the last "TorvaneClient" listed; it waits for each receipt.
            int replyErrors = 0;
            for (int i = 0; i < Replies; ++i) {
                edit.setText(QStringLiteral("reply:%1").arg(i));
                try {
                    control.sendtextbtnClick(nullptr);
                } catch (const std::exception& e) {
                    if (++replyErrors <= 3)
                        std::fprintf(stderr, "send button: %s\n", e.what());
                }
                QCoreApplication::processEvents();
            }
            fig.errors += replyErrors;
            fig.operations += Replies;
            const qint64 expected = qint64(perWindowSender) * WindowSenders;
            waitUntil([&] { return ledger.total - beforeWindow >= expected; }, 120000);
            control.flushLines();
            waitUntil([] { return false; }, 50);
            // The box holds every text once, in order per sender.
            const QStringList lines = memo.Text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            QList<int> next(WindowSenders, 0);
            qint64 inBox = 0;
            for (const QString& line : lines) {
                const int s = line.mid(1, line.indexOf(QLatin1Char(':')) - 1).toInt();
                const int n = line.mid(line.indexOf(QLatin1Char(':')) + 1).toInt();
                if (!line.startsWith(QLatin1Char('c')) || s < 0 || s >= WindowSenders) {
                    ++fig.strays;
                    continue;
                }
                if (n != next[s])
                    ++fig.outOfOrder;
                next[s] = n + 1;
                ++inBox;
            }
            fig.lost += qMax<qint64>(0, expected - inBox);
            // Replies reached the companion the button picked, in order.
            QStringList replies;
            for (auto& c : clients)
                replies += c->receivedTexts().filter(QStringLiteral("reply:"));
            for (int i = 0; i < replies.size(); ++i) {
                if (replies[i] != QStringLiteral("reply:%1").arg(i))
                    ++fig.outOfOrder;
            }
            fig.lost += qMax(0, Replies - replyErrors - int(replies.size()));
            fig.operations += inBox;
            std::printf(
                "window: %lld texts in the box from %d companions, %lld replies sent by the button (%d failed), "
                "%.1f s\n",
                inBox, WindowSenders, qint64(replies.size()), replyErrors, phase.elapsed() / 1000.0);
        }
        for (auto& c : clients)
            c->post([](RemoteClient::Client* client) { client->bye(); });
        clients.clear();
        if (!leftAll())
            broken << QStringLiteral("window senders still listed after they left");
    }
    waitUntil([] { return false; }, 200); // deferred deletions of the closed connections
    const int fdEnd = openFds();
    const int threadsEnd = threadCount();
    if (fdWarm < 0) {
        fdWarm = fdStart;
        threadsWarm = threadsStart;
        rssWarm = statusKb("VmRSS");
    }

    std::printf("operations %lld, errors reported %lld, texts lost %lld, out of order %lld, duplicated %lld, "
                "strays %lld, warnings logged %d\n",
        fig.operations, fig.errors, fig.lost, fig.outOfOrder, fig.duplicated, fig.strays, g_warnings);
    std::printf("peak RSS %ld kB (after warm-up %ld kB)\n", statusKb("VmHWM"), rssWarm);
    std::printf("file descriptors %d -> %d (after warm-up %d), threads %d -> %d (after warm-up %d), time %.1f s\n",
        fdStart, fdEnd, fdWarm, threadsStart, threadsEnd, threadsWarm, total.elapsed() / 1000.0);

    if (fig.lost)
        broken << QStringLiteral("%1 texts lost").arg(fig.lost);
    if (fig.outOfOrder)
        broken << QStringLiteral("%1 texts out of order").arg(fig.outOfOrder);
    if (fig.duplicated)
        broken << QStringLiteral("%1 texts twice").arg(fig.duplicated);
    if (fig.strays)
        broken << QStringLiteral("%1 texts from nobody who sent them").arg(fig.strays);
    if (fdEnd > fdWarm)
        broken << QStringLiteral("file descriptors grew after warm-up (%1 -> %2)").arg(fdWarm).arg(fdEnd);
    if (threadsEnd > threadsWarm)
        broken << QStringLiteral("threads grew after warm-up (%1 -> %2)").arg(threadsWarm).arg(threadsEnd);
    for (const QString& b : broken)
        std::printf("BROKEN: %s\n", qPrintable(b));
    std::printf("tethering soak: %s\n", broken.isEmpty() ? "passed" : "FAILED");
    return broken.isEmpty() ? 0 : 1;
}
