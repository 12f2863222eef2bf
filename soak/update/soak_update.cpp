// Update server fault soak: the real checker and wizard (offscreen) against a
// loopback HTTP server that closes connections mid-file, sends more bytes than
// declared, stalls mid-transfer, and mixes these, round after round.
//
// Every round must end on the wizard's result page with a clear failure message
// within the round's time limit, install nothing, leave no control file, signature
// or stage behind once the wizard is closed, and never stall the event loop for
// 500 ms or more. File descriptors and threads must not grow after the warm-up.
// Prints its figures; exit code 0 = every invariant held, 1 = an invariant broke,
// 3 = the watchdog found the program stuck.
//
//   soak_update [--rounds N] [--seconds S] [--seed X] [--verbose]

#include "MessageBoxes.h"
#include "ProcessStats.h"
#include "UpdateSettings.h"
#include "UpdateTestSupport.h"
#include "Watchdog.h"
#include "WebUpdate.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMutex>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace updatetest;

namespace {

// The checker's time limit in this run; a round gets far more than a working one needs.
constexpr int TimeoutMs = 1000;
constexpr int RoundDeadlineMs = 12000;
constexpr int CloseDeadlineMs = 3000;
constexpr qint64 MaxGapMs = 500;
constexpr int WatchdogMs = 60000;
// Allowed growth after the warm-up.
constexpr int FdSlack = 4;
constexpr int ThreadSlack = 2;

const QString ProgramName = QStringLiteral("sarnavel-testprog");
const QByteArray ProgramV1 = "#!/bin/sh\necho 1\n";
const QString NoConnectText = QStringLiteral("Could not connect to update server or\nNo update found on server ...");
const QString FailedDownloadText = QStringLiteral("Failed to download updates");

// --- watchdog -------------------------------------------------------------------------

std::atomic<qint64> g_lastProgress {0};
std::atomic<int> g_round {0};

qint64 nowMs()
{
    return steadyMs();
}

// --- the fault-injecting server --------------------------------------------------------

enum class Fault {
    None,
    CloseMid, // Content-Length of the whole body, part of it, then FIN
    ResetMid, // the same, then RST
    StallMid, // Content-Length of the whole body, part of it, then silence
    ShortLength, // Content-Length below the body, the whole body sent anyway
    TrailingJunk, // the whole body, then bytes that look like another answer
};

const char* faultName(Fault f)
{
    switch (f) {
    case Fault::None:
        return "none";
    case Fault::CloseMid:
        return "close";
    case Fault::ResetMid:
        return "reset";
    case Fault::StallMid:
        return "stall";
    case Fault::ShortLength:
        return "short-length";
    case Fault::TrailingJunk:
        return "junk";
    }
    return "?";
}

struct Route {
    QByteArray body;
    Fault fault = Fault::None;
    qint64 cut = 0; // bytes of the body sent (close, reset, stall) or declared (short length)
};

class FaultServer;

class FaultWorker : public QObject {
public:
    explicit FaultWorker(FaultServer* owner)
        : m_owner(owner)
    {
    }
    quint16 listen();
    void stop();

private:
    struct Conn {
        QByteArray in;
        QByteArray out;
        qint64 sent = 0;
        Fault after = Fault::None;
        bool busy = false;
        bool hung = false;
        bool gone = false;
    };
    void serve(QTcpSocket* s);
    void onRead(QTcpSocket* s, const std::shared_ptr<Conn>& c);
    void pump(QTcpSocket* s, const std::shared_ptr<Conn>& c);
    void drop(QTcpSocket* s, const std::shared_ptr<Conn>& c, bool reset);

    FaultServer* m_owner;
    QTcpServer* m_server = nullptr;
};

class FaultServer {
public:
    FaultServer()
    {
        m_worker = new FaultWorker(this);
        m_worker->moveToThread(&m_thread);
        m_thread.start();
        QMetaObject::invokeMethod(
            m_worker, [this] { m_port = m_worker->listen(); }, Qt::BlockingQueuedConnection);
    }
    ~FaultServer()
    {
        QMetaObject::invokeMethod(
            m_worker,
            [this] {
                m_worker->stop();
                delete m_worker;
            },
            Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
    }
    quint16 port() const { return m_port; }
    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path); }
    void setRoutes(const QHash<QByteArray, Route>& routes)
    {
        QMutexLocker l(&m_mutex);
        m_routes = routes;
    }
    bool route(const QByteArray& path, Route* out) const
    {
        QMutexLocker l(&m_mutex);
        const auto it = m_routes.constFind(path);
        if (it == m_routes.constEnd())
            return false;
        *out = *it;
        return true;
    }
    void served(Fault f)
    {
        QMutexLocker l(&m_mutex);
        if (f != Fault::None)
            ++m_faults;
        ++m_requests;
    }
    void connectionsChanged(int delta)
    {
        QMutexLocker l(&m_mutex);
        m_open += delta;
    }
    int openConnections() const
    {
        QMutexLocker l(&m_mutex);
        return m_open;
    }
    qint64 faultsServed() const
    {
        QMutexLocker l(&m_mutex);
        return m_faults;
    }
    qint64 requests() const
    {
        QMutexLocker l(&m_mutex);
        return m_requests;
    }

private:
    QThread m_thread;
    FaultWorker* m_worker = nullptr;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QHash<QByteArray, Route> m_routes;
    int m_open = 0;
    qint64 m_faults = 0;
    qint64 m_requests = 0;
};

quint16 FaultWorker::listen()
{
    m_server = new QTcpServer(this);
    m_server->listen(QHostAddress::LocalHost, 0);
    QObject::connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = m_server->nextPendingConnection())
            serve(s);
    });
    return m_server->serverPort();
}

void FaultWorker::stop()
{
    for (QTcpSocket* s : findChildren<QTcpSocket*>())
        s->abort();
    delete m_server;
    m_server = nullptr;
}

void FaultWorker::serve(QTcpSocket* s)
{
    s->setParent(this);
    m_owner->connectionsChanged(1);
    auto c = std::make_shared<Conn>();
    QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, c] { onRead(s, c); });
    QObject::connect(s, &QTcpSocket::bytesWritten, s, [this, s, c] { pump(s, c); });
    QObject::connect(s, &QTcpSocket::disconnected, this, [this, s, c] { drop(s, c, false); });
}

void FaultWorker::drop(QTcpSocket* s, const std::shared_ptr<Conn>& c, bool reset)
{
    if (c->gone)
        return;
    c->gone = true;
    if (reset)
        s->abort();
    else
        s->disconnectFromHost();
    m_owner->connectionsChanged(-1);
    s->deleteLater();
}

void FaultWorker::pump(QTcpSocket* s, const std::shared_ptr<Conn>& c)
{
    if (c->gone || !c->busy)
        return;
    while (c->sent < c->out.size() && s->bytesToWrite() < (1 << 20)) {
        const qint64 n = std::min<qint64>(1 << 18, c->out.size() - c->sent);
        s->write(c->out.constData() + c->sent, n);
        c->sent += n;
    }
    if (c->sent < c->out.size())
        return;
    switch (c->after) {
    case Fault::CloseMid:
        // Once the kernel has it all; a FIN after the last byte.
        if (s->bytesToWrite() == 0)
            drop(s, c, false);
        return;
    case Fault::ResetMid:
        if (s->bytesToWrite() == 0)
            drop(s, c, true);
        return;
    case Fault::StallMid:
        c->hung = true; // keeps the connection, says nothing more
        return;
    default:
        c->busy = false;
        c->out.clear();
        c->sent = 0;
        if (!c->in.isEmpty())
            QMetaObject::invokeMethod(
                this, [this, s, c] { onRead(s, c); }, Qt::QueuedConnection);
        return;
    }
}

void FaultWorker::onRead(QTcpSocket* s, const std::shared_ptr<Conn>& c)
{
    if (c->gone)
        return;
    c->in += s->readAll();
    if (c->hung || c->busy)
        return;
    const qsizetype end = c->in.indexOf("\r\n\r\n");
    if (end < 0) {
        if (c->in.size() > 65536)
            drop(s, c, true);
        return;
    }
    const QByteArray head = c->in.left(end);
    c->in.remove(0, end + 4);
    const QList<QByteArray> first = head.split('\n').value(0).trimmed().split(' ');
    const QByteArray path = first.value(1);
    Route r;
    QByteArray status = "200 OK";
    if (!m_owner->route(path, &r)) {
        status = "404 Not Found";
        r = Route {"not found", Fault::None, 0};
    }
    m_owner->served(r.fault);
    const qint64 size = r.body.size();
    const qint64 cut = std::clamp<qint64>(r.cut, 0, size);
    const qint64 declared = r.fault == Fault::ShortLength ? cut : size;
    c->out = "HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\nContent-Length: "
        + QByteArray::number(declared) + "\r\nConnection: keep-alive\r\n\r\n";
    switch (r.fault) {
    case Fault::CloseMid:
    case Fault::ResetMid:
    case Fault::StallMid:
        c->out += r.body.left(cut);
        break;
    case Fault::TrailingJunk:
        // What follows looks like the answer to the next request: a huge body that never comes.
        c->out += r.body + "HTTP/1.1 200 OK\r\nContent-Length: 99999999\r\n\r\njunk";
        break;
    default:
        c->out += r.body;
        break;
    }
    c->after = r.fault;
    c->sent = 0;
    c->busy = true;
    pump(s, c);
}

// --- a round ----------------------------------------------------------------------------

enum class Kind {
    CheckClose,
    CheckStall,
    CheckMoreThanDeclared,
    CheckOversize,
    SignatureFault,
    DownloadClose,
    DownloadStall,
    DownloadMoreThanStated,
    DownloadMoreThanDeclared,
    Mixture,
    KindCount
};

const char* kindName(Kind k)
{
    switch (k) {
    case Kind::CheckClose:
        return "check: closed mid-file";
    case Kind::CheckStall:
        return "check: stalled mid-file";
    case Kind::CheckMoreThanDeclared:
        return "check: more bytes than Content-Length";
    case Kind::CheckOversize:
        return "check: control file over the cap";
    case Kind::SignatureFault:
        return "check: signature closed/stalled/cut/oversized";
    case Kind::DownloadClose:
        return "download: closed mid-file";
    case Kind::DownloadStall:
        return "download: stalled mid-file";
    case Kind::DownloadMoreThanStated:
        return "download: more bytes than the control file states";
    case Kind::DownloadMoreThanDeclared:
        return "download: more bytes than Content-Length";
    case Kind::Mixture:
        return "mixture";
    case Kind::KindCount:
        break;
    }
    return "?";
}

struct Plan {
    Kind kind = Kind::Mixture;
    QHash<QByteArray, Route> routes;
    QRegularExpression expected; // matched against "result label\ndetail label"
    QString describe;
};

QByteArray randomBytes(QRandomGenerator& rng, qint64 n)
{
    QByteArray b(n, Qt::Uninitialized);
    qint64 i = 0;
    for (; i + 4 <= n; i += 4) {
        const quint32 v = rng.generate();
        std::memcpy(b.data() + i, &v, 4);
    }
    for (; i < n; ++i)
        b[i] = char(rng.bounded(256));
    return b;
}

qint64 pick(QRandomGenerator& rng, qint64 lo, qint64 hi)
{
    return lo + qint64(rng.bounded(quint64(hi - lo + 1)));
}

// A cut strictly inside the body, so some of it arrives and some does not.
qint64 cutInside(QRandomGenerator& rng, qint64 size)
{
    return size <= 1 ? 0 : pick(rng, 0, size - 1);
}

QString escapeRe(const QString& s)
{
    return QRegularExpression::escape(s);
}

class Soak {
public:
    Soak(quint64 seed, bool verbose)
        : m_rng(seed)
        , m_verbose(verbose)
    {
    }

    bool setUp();
    bool baseline();
    // Runs one round; false when an invariant broke.
    bool round(int n);
    void tearDown();

    qint64 requests() const { return m_server->requests(); }
    qint64 faultsServed() const { return m_server->faultsServed(); }

    int correct = 0;
    int wrong = 0;
    int perKind[int(Kind::KindCount)] = {};
    qint64 longestGap = 0;
    qint64 longestRound = 0;

private:
    Plan makePlan(int n);
    bool drive(const Plan& plan, QString* outcome);
    bool checkClean(QString* why);
    QString page() const;
    QString text(const char* name) const;
    bool clickAction();
    bool waitFor(const std::function<bool()>& done, int ms);

    QRandomGenerator m_rng;
    bool m_verbose;
    std::unique_ptr<FaultServer> m_server;
    std::unique_ptr<QTemporaryDir> m_tmp, m_docs, m_app;
    std::unique_ptr<vcl::MessageBoxSpy> m_boxes;
    std::unique_ptr<TWebUpdate> m_wu;
    std::unique_ptr<TWebUpdateWizard> m_wiz;
    QElapsedTimer m_sinceTick;
    qint64 m_gap = 0;
    QTimer m_ticker;
};

bool Soak::setUp()
{
    m_server = std::make_unique<FaultServer>();
    m_tmp = std::make_unique<QTemporaryDir>();
    m_docs = std::make_unique<QTemporaryDir>();
    m_app = std::make_unique<QTemporaryDir>();
    m_boxes = std::make_unique<vcl::MessageBoxSpy>();
    if (!m_server->port() || !m_tmp->isValid() || !m_docs->isValid() || !m_app->isValid())
        return false;
    QFile f(m_app->filePath(ProgramName));
    if (!f.open(QIODevice::WriteOnly) || f.write(ProgramV1) != ProgramV1.size())
        return false;
    f.close();
    m_ticker.setInterval(10);
    QObject::connect(&m_ticker, &QTimer::timeout, [this] { m_gap = std::max(m_gap, m_sinceTick.restart()); });
    return true;
}

void Soak::tearDown()
{
    m_wiz.reset();
    m_wu.reset();
    m_server.reset();
}

QString Soak::page() const
{
    QDialog* d = m_wiz ? m_wiz->Dialog() : nullptr;
    if (!d)
        return QStringLiteral("<closed>");
    return d->findChild<QStackedWidget*>(QStringLiteral("Pages"))->currentWidget()->objectName();
}

QString Soak::text(const char* name) const
{
    QDialog* d = m_wiz ? m_wiz->Dialog() : nullptr;
    const QLabel* l = d ? d->findChild<QLabel*>(QLatin1String(name)) : nullptr;
    return l ? l->text() : QString();
}

bool Soak::clickAction()
{
    QDialog* d = m_wiz->Dialog();
    QPushButton* b = d ? d->findChild<QPushButton*>(QStringLiteral("ActionButton")) : nullptr;
    if (!b || !b->isEnabled())
        return false;
    QTest::mouseClick(b, Qt::LeftButton);
    return true;
}

bool Soak::waitFor(const std::function<bool()>& done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QTest::qWait(5);
    }
    return true;
}

Plan Soak::makePlan(int n)
{
    Plan p;
    p.kind = Kind(n % int(Kind::KindCount));
    const QString dir = QStringLiteral("/Quillmarsh/r%1/").arg(n);
    QString control = QStringLiteral("[Update]\nRule=version\nVersion=1.%1\nDescription=Round %1\n").arg(n);
    struct F {
        QString name;
        QByteArray body;
        Route route;
        bool restart = false;
        QString component;
    };
    QList<F> files;
    const int fileCount = p.kind == Kind::Mixture ? int(pick(m_rng, 2, 4)) : 1;
    for (int i = 0; i < fileCount; ++i) {
        F f;
        f.name = QStringLiteral("lib/part%1.bin").arg(i + 1);
        f.body = randomBytes(m_rng, pick(m_rng, 1, 3 * 1024 * 1024));
        f.route.body = f.body;
        f.restart = m_rng.bounded(4) == 0;
        files.append(f);
    }
    Route controlRoute, sigRoute;
    auto downloadFault = [&](F& f, Kind k) {
        const qint64 size = f.body.size();
        switch (k) {
        case Kind::DownloadClose:
            f.route.fault = m_rng.bounded(2) ? Fault::CloseMid : Fault::ResetMid;
            f.route.cut = cutInside(m_rng, size);
            return QStringLiteral("^%1\n%2: .+").arg(escapeRe(FailedDownloadText), escapeRe(f.name));
        case Kind::DownloadStall:
            f.route.fault = Fault::StallMid;
            f.route.cut = cutInside(m_rng, size);
            return QStringLiteral("^%1\n%2: the server sent nothing for 1 s$")
                .arg(escapeRe(FailedDownloadText), escapeRe(f.name));
        case Kind::DownloadMoreThanStated:
            // The server's own Content-Length is honest; the control file states less.
            f.route.body = f.body + randomBytes(m_rng, pick(m_rng, 1, 64 * 1024));
            return QStringLiteral("^%1\n%2: the server sends more than the %3 bytes the control file states\\.$")
                .arg(escapeRe(FailedDownloadText), escapeRe(f.name))
                .arg(size);
        default:
            // Content-Length below the body: what the client takes is short.
            f.route.fault = Fault::ShortLength;
            f.route.cut = cutInside(m_rng, size);
            return QStringLiteral("^%1\n%2: .+").arg(escapeRe(FailedDownloadText), escapeRe(f.name));
        }
    };
    QString expected;
    switch (p.kind) {
    case Kind::CheckClose:
    case Kind::CheckStall:
    case Kind::CheckMoreThanDeclared:
    case Kind::CheckOversize:
    case Kind::SignatureFault:
    case Kind::DownloadClose:
    case Kind::DownloadStall:
    case Kind::DownloadMoreThanStated:
    case Kind::DownloadMoreThanDeclared:
    case Kind::KindCount:
        break;
    case Kind::Mixture:
        // Some pages on the way, healthy and junk-trailed files first, then one real fault.
        if (m_rng.bounded(2))
            control += QStringLiteral("[ReleaseNotes]\nText=Notes of round %1\n").arg(n);
        if (m_rng.bounded(2))
            control += QStringLiteral("[License]\nText=Licence of round %1\n").arg(n);
        if (m_rng.bounded(2)) {
            control += QStringLiteral("[Components]\ndocs=Manual\n");
            files.last().component = QStringLiteral("docs");
        }
        break;
    }
    for (int i = 0; i < files.size(); ++i) {
        const F& f = files[i];
        QString extra;
        if (f.restart)
            extra += QStringLiteral("Restart=1\n");
        if (!f.component.isEmpty())
            extra += QStringLiteral("Component=%1\n").arg(f.component);
        control += fileSection(i + 1, f.name, f.body, QStringLiteral("r%1/f%2").arg(n).arg(i + 1), extra);
    }
    QByteArray controlBytes = control.toUtf8();
    const QByteArray sig = webupdate::encodeSignatureFile(sign(controlBytes));
    controlRoute.body = controlBytes;
    sigRoute.body = sig;

    // The whole-request limit or the transfer's own pause limit, whichever fires first.
    const QString timedOut = QStringLiteral("^%1\n(The update server did not answer within 1 s\\.|"
                                            "the server sent nothing for 1 s)$")
                                 .arg(escapeRe(NoConnectText));
    const QString checkFailed = QStringLiteral("^%1\n.+").arg(escapeRe(NoConnectText));
    const QString refused = QStringLiteral("^The (signature of the )?update information .+refused\\.\n$|"
                                           "^The update information is not valid: .+\n$|"
                                           "^The signature file is larger than allowed; the update is refused\\.\n$");
    switch (p.kind) {
    case Kind::CheckClose:
        controlRoute.fault = m_rng.bounded(2) ? Fault::CloseMid : Fault::ResetMid;
        controlRoute.cut = cutInside(m_rng, controlBytes.size());
        // Cut short: refused by its signature if the client takes the short body.
        expected = checkFailed + u'|' + refused;
        break;
    case Kind::CheckStall:
        controlRoute.fault = Fault::StallMid;
        controlRoute.cut = cutInside(m_rng, controlBytes.size());
        expected = timedOut;
        break;
    case Kind::CheckMoreThanDeclared:
        controlRoute.fault = Fault::ShortLength;
        controlRoute.cut = cutInside(m_rng, controlBytes.size());
        expected = checkFailed + u'|' + refused;
        break;
    case Kind::CheckOversize: {
        // A signed control file over the cap, whole or cut off past the cap.
        QByteArray big = controlBytes;
        while (big.size() <= webupdate::MaxControlFileSize)
            big += "; " + randomBytes(m_rng, 4096).toBase64() + "\n";
        controlRoute.body = big;
        sigRoute.body = webupdate::encodeSignatureFile(sign(big));
        if (m_rng.bounded(2)) {
            controlRoute.fault = Fault::CloseMid;
            controlRoute.cut = pick(m_rng, webupdate::MaxControlFileSize + 1, big.size() - 1);
        }
        expected = QStringLiteral("^%1\nThe control file is larger than allowed\\.$").arg(escapeRe(NoConnectText));
        break;
    }
    case Kind::SignatureFault: {
        const Fault faults[] = {Fault::CloseMid, Fault::ResetMid, Fault::StallMid, Fault::ShortLength, Fault::None};
        sigRoute.fault = faults[m_rng.bounded(5)];
        sigRoute.cut = cutInside(m_rng, sig.size());
        if (sigRoute.fault == Fault::None) // far more than a signature file
            sigRoute.body = sig + randomBytes(m_rng, pick(m_rng, 8 * 1024, 4 * 1024 * 1024)).toBase64();
        expected = refused + u'|' + timedOut;
        break;
    }
    case Kind::DownloadClose:
    case Kind::DownloadStall:
    case Kind::DownloadMoreThanStated:
    case Kind::DownloadMoreThanDeclared:
        expected = downloadFault(files[0], p.kind);
        break;
    case Kind::Mixture: {
        const qsizetype bad = pick(m_rng, 1, files.size() - 1);
        for (qsizetype i = 0; i < bad; ++i)
            if (m_rng.bounded(3) == 0)
                files[i].route.fault = Fault::TrailingJunk;
        const Kind kinds[]
            = {Kind::DownloadClose, Kind::DownloadStall, Kind::DownloadMoreThanStated, Kind::DownloadMoreThanDeclared};
        const Kind k = kinds[m_rng.bounded(4)];
        downloadFault(files[bad], k);
        // An earlier file's junk may spoil a later answer first: any file's failure counts.
        expected = QStringLiteral("^%1\nlib/part[1-9]\\.bin: .+").arg(escapeRe(FailedDownloadText));
        if (controlRoute.fault == Fault::None && m_rng.bounded(4) == 0) {
            controlRoute.fault = Fault::TrailingJunk;
            expected += u'|' + checkFailed + u'|' + refused;
        }
        break;
    }
    case Kind::KindCount:
        break;
    }
    p.expected = QRegularExpression(expected);
    p.routes.insert(ControlPath.toUtf8(), controlRoute);
    p.routes.insert((ControlPath + QStringLiteral(".sig")).toUtf8(), sigRoute);
    QStringList desc;
    desc << QStringLiteral("control %1/%2").arg(QLatin1String(faultName(controlRoute.fault))).arg(controlRoute.cut)
         << QStringLiteral("sig %1/%2").arg(QLatin1String(faultName(sigRoute.fault))).arg(sigRoute.cut);
    for (int i = 0; i < files.size(); ++i) {
        p.routes.insert((dir + QStringLiteral("f%1").arg(i + 1)).toUtf8(), files[i].route);
        desc << QStringLiteral("f%1 %2B %3/%4")
                    .arg(i + 1)
                    .arg(files[i].body.size())
                    .arg(QLatin1String(faultName(files[i].route.fault)))
                    .arg(files[i].route.cut);
    }
    p.describe = desc.join(QStringLiteral(", "));
    return p;
}

// Drives the wizard like a user: Start, then through every page up to the outcome.
bool Soak::drive(const Plan& plan, QString* outcome)
{
    m_server->setRoutes(plan.routes);
    m_wu = std::make_unique<TWebUpdate>();
    m_wiz = std::make_unique<TWebUpdateWizard>();
    update::configureWebUpdate(m_wu.get());
    update::configureWizard(m_wiz.get(), m_wu.get());
    m_wu->URL = m_server->url(ControlPath);
    m_wu->TempPath = m_tmp->path();
    m_wu->DocumentsPath = m_docs->path();
    m_wu->ApplicationPath = m_app->filePath(ProgramName);
    m_wu->CurrentVersion = QStringLiteral("1.0.0.0");
    m_wu->Timeout = TimeoutMs;
    m_wu->ConnectionProbe = [] { return TWebUpdate::NetState::Up; };
    m_wu->Terminate = [] {};

    QElapsedTimer clock;
    clock.start();
    if (!m_wiz->Open(false) || page() != u"WelcomePage" || !clickAction()) {
        *outcome = QStringLiteral("the wizard did not start");
        return false;
    }
    const auto left = [&] { return int(std::max<qint64>(0, RoundDeadlineMs - clock.elapsed())); };
    for (;;) {
        if (clock.elapsed() > RoundDeadlineMs) {
            *outcome = QStringLiteral("no outcome within %1 ms (page %2)").arg(RoundDeadlineMs).arg(page());
            return false;
        }
        if (!waitFor([this] { return page() != u"WelcomePage" && page() != u"DownloadPage"; }, left())) {
            *outcome = QStringLiteral("no outcome within %1 ms (page %2)").arg(RoundDeadlineMs).arg(page());
            return false;
        }
        const QString p = page();
        if (p == u"ResultPage") {
            const QString action = m_wiz->Dialog()->findChild<QPushButton*>(QStringLiteral("ActionButton"))->text();
            if (action == u"Exit")
                break;
            if (!clickAction()) {
                *outcome = QStringLiteral("result page %1 without a usable button").arg(action);
                return false;
            }
        } else if (p == u"NotesPage" || p == u"ComponentsPage") {
            clickAction();
        } else if (p == u"LicensePage") {
            QTest::mouseClick(m_wiz->Dialog()->findChild<QRadioButton*>(QStringLiteral("AcceptRadio")), Qt::LeftButton,
                {}, QPoint(5, 5));
            clickAction();
        } else {
            *outcome = QStringLiteral("ended on %1: %2").arg(p, text("DoneLabel"));
            return false;
        }
    }
    longestRound = std::max(longestRound, clock.elapsed());
    const QString detail = text("DetailLabel");
    *outcome = text("ResultLabel") + u'\n' + detail;
    return true;
}

// Nothing installed, nothing left in the temporary folder, no connection left open.
bool Soak::checkClean(QString* why)
{
    const QStringList app = QDir(m_app->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    QFile f(m_app->filePath(ProgramName));
    if (app != QStringList {ProgramName} || !f.open(QIODevice::ReadOnly) || f.readAll() != ProgramV1) {
        *why = QStringLiteral("the program's folder changed: %1").arg(app.join(u' '));
        return false;
    }
    const QStringList tmp = QDir(m_tmp->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    if (!tmp.isEmpty()) {
        *why = QStringLiteral("left in the temporary folder: %1").arg(tmp.join(u' '));
        return false;
    }
    if (!waitFor([this] { return m_server->openConnections() == 0; }, CloseDeadlineMs)) {
        *why = QStringLiteral("%1 connections still open").arg(m_server->openConnections());
        return false;
    }
    if (m_boxes->count() != 0) {
        *why = QStringLiteral("message box: %1").arg(m_boxes->texts().join(u'|'));
        return false;
    }
    return true;
}

bool Soak::round(int n)
{
    g_round = n;
    const Plan plan = makePlan(n);
    m_gap = 0;
    m_sinceTick.start();
    m_ticker.start();
    QString outcome;
    bool ok = drive(plan, &outcome);
    QString why;
    if (!ok) {
        why = outcome;
    } else if (!plan.expected.match(outcome).hasMatch()) {
        ok = false;
        why = QStringLiteral("unexpected outcome: \"%1\"").arg(outcome);
    }
    // The user closes the wizard: Exit, or the title bar whatever the page.
    if (m_wiz && m_wiz->Dialog()) {
        if (!(ok && clickAction()))
            m_wiz->Dialog()->close();
        if (!waitFor([this] { return !m_wiz->Dialog(); }, CloseDeadlineMs) && why.isEmpty()) {
            ok = false;
            why = QStringLiteral("the wizard did not close");
        }
    }
    m_ticker.stop();
    if (m_gap >= MaxGapMs) {
        ok = false;
        why += QStringLiteral(" the event loop stalled for %1 ms").arg(m_gap);
    }
    longestGap = std::max(longestGap, m_gap);
    m_wiz.reset();
    m_wu.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QString dirty;
    if (!checkClean(&dirty)) {
        ok = false;
        why += u' ' + dirty;
        // Start the next round clean.
        for (const QString& e : QDir(m_tmp->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden)) {
            QDir(m_tmp->filePath(e)).removeRecursively();
            QFile::remove(m_tmp->filePath(e));
        }
        m_boxes->clear();
    }
    g_lastProgress = nowMs();
    if (ok) {
        ++correct;
        ++perKind[int(plan.kind)];
        if (m_verbose)
            std::printf("round %d %s: %s\n", n, kindName(plan.kind),
                qPrintable(QString(outcome).replace(QStringLiteral("\n"), QStringLiteral(" | "))));
    } else {
        ++wrong;
        std::printf("round %d %s: WRONG: %s\n   [%s]\n", n, kindName(plan.kind), qPrintable(why.trimmed()),
            qPrintable(plan.describe));
    }
    std::fflush(stdout);
    return ok;
}

// A healthy server must give a completed update: proves the rounds could tell success from failure.
bool Soak::baseline()
{
    const QByteArray body = randomBytes(m_rng, 200 * 1024);
    const QString control = QStringLiteral("[Update]\nRule=version\nVersion=1.1\nDescription=Baseline\n")
        + fileSection(1, QStringLiteral("lib/base.bin"), body, QStringLiteral("base/f1"));
    Plan plan;
    plan.routes.insert(ControlPath.toUtf8(), Route {control.toUtf8(), Fault::None, 0});
    plan.routes.insert((ControlPath + QStringLiteral(".sig")).toUtf8(),
        Route {webupdate::encodeSignatureFile(sign(control.toUtf8())), Fault::None, 0});
    plan.routes.insert("/Quillmarsh/base/f1", Route {body, Fault::None, 0});
    // Into a folder of its own; the rounds keep theirs untouched.
    std::unique_ptr<QTemporaryDir> rounds = std::move(m_app);
    m_app = std::make_unique<QTemporaryDir>();
    QFile::copy(rounds->filePath(ProgramName), m_app->filePath(ProgramName));
    QString outcome;
    drive(plan, &outcome);
    const bool done = page() == u"DonePage" && text("DoneLabel") == u"Update completed ...";
    if (m_wiz->Dialog())
        m_wiz->Dialog()->close();
    waitFor([this] { return !m_wiz->Dialog(); }, CloseDeadlineMs);
    m_wiz.reset();
    m_wu.reset();
    QFile installed(m_app->filePath(QStringLiteral("lib/base.bin")));
    const bool ok = done && installed.open(QIODevice::ReadOnly) && installed.readAll() == body
        && QDir(m_tmp->path()).isEmpty(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden);
    m_app = std::move(rounds);
    if (!ok)
        std::printf("baseline: a healthy update did not install (%s)\n", qPrintable(outcome));
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // The checker's warnings are the failures this run provokes on purpose; the
    // offscreen platform's notes are noise. Only criticals get through.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type == QtCriticalMsg || type == QtFatalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QApplication app(argc, argv);
    int rounds = 200;
    int seconds = 300;
    quint64 seed = 20261211;
    bool verbose = false;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        if (args[i] == u"--rounds" && i + 1 < args.size())
            rounds = std::max(1, args[++i].toInt());
        else if (args[i] == u"--seconds" && i + 1 < args.size())
            seconds = std::max(1, args[++i].toInt());
        else if (args[i] == u"--seed" && i + 1 < args.size())
            seed = args[++i].toULongLong();
        else if (args[i] == u"--verbose")
            verbose = true;
        else {
            std::fprintf(stderr, "usage: soak_update [--rounds N] [--seconds S] [--seed X] [--verbose]\n");
            return 2;
        }
    }
    g_lastProgress = nowMs();
    Watchdog watchdog(g_lastProgress, WatchdogMs, [](int stuckSeconds) {
        std::fprintf(stderr, "soak_update: STUCK for %d s in round %d\n", stuckSeconds, g_round.load());
    });
    const int fdStart = openFds();
    const int threadsStart = threadCount();
    Soak soak(seed, verbose);
    if (!soak.setUp()) {
        std::printf("soak_update: cannot set up the server or the folders\n");
        return 1;
    }
    bool broken = !soak.baseline();

    const int warmUp = std::min(rounds, std::max(int(Kind::KindCount), rounds / 10));
    int fdWarm = 0, threadsWarm = 0;
    long rssWarm = 0;
    QElapsedTimer clock;
    clock.start();
    int done = 0;
    for (int n = 1; n <= rounds; ++n) {
        if (clock.elapsed() > qint64(seconds) * 1000)
            break;
        if (!soak.round(n))
            broken = true;
        ++done;
        if (n == warmUp) {
            fdWarm = openFds();
            threadsWarm = threadCount();
            rssWarm = statusKb("VmRSS");
        }
    }
    // Threads of finished transfers end shortly after; give them a moment.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 3000 && (openFds() > fdWarm + FdSlack || threadCount() > threadsWarm + ThreadSlack))
        QTest::qWait(50);
    const int fdEnd = openFds();
    const int threadsEnd = threadCount();
    const long rssEnd = statusKb("VmRSS");

    std::printf("soak_update: seed %llu, %d rounds in %.1f s (warm-up %d), %lld requests, %lld faults served\n",
        static_cast<unsigned long long>(seed), done, clock.elapsed() / 1000.0, warmUp,
        static_cast<long long>(soak.requests()), static_cast<long long>(soak.faultsServed()));
    std::printf("  failures reported correctly: %d\n", soak.correct);
    for (int k = 0; k < int(Kind::KindCount); ++k)
        std::printf("    %-52s %d\n", kindName(Kind(k)), soak.perKind[k]);
    std::printf("  wrong outcomes:               %d (must be 0)\n", soak.wrong);
    std::printf("  longest round:                %lld ms (limit %d)\n", static_cast<long long>(soak.longestRound),
        RoundDeadlineMs);
    std::printf("  longest event-loop gap:       %lld ms (limit %lld)\n", static_cast<long long>(soak.longestGap),
        static_cast<long long>(MaxGapMs));
    std::printf("  peak RSS:                     %ld kB (after warm-up %ld kB, end %ld kB)\n", statusKb("VmHWM"),
        rssWarm, rssEnd);
    std::printf("  file descriptors:             start %d, after warm-up %d, end %d\n", fdStart, fdWarm, fdEnd);
    std::printf(
        "  threads:                      start %d, after warm-up %d, end %d\n", threadsStart, threadsWarm, threadsEnd);
    if (done > warmUp && (fdEnd > fdWarm + FdSlack || threadsEnd > threadsWarm + ThreadSlack)) {
        std::printf("soak_update: file descriptors or threads grew after the warm-up\n");
        broken = true;
    }
    soak.tearDown();
    std::printf("soak_update: %s\n", broken ? "FAILED" : "ok");
    return broken ? 1 : 0;
}
