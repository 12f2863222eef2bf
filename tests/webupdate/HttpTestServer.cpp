#include "HttpTestServer.h"

#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>

class HttpTestServerWorker : public QObject {
public:
    explicit HttpTestServerWorker(HttpTestServer* owner)
        : m_owner(owner) {}

    quint16 listen() {
        m_server = new QTcpServer(this);
        m_server->listen(QHostAddress::LocalHost, 0);
        QObject::connect(m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = m_server->nextPendingConnection())
                serve(s);
        });
        return m_server->serverPort();
    }

    void stop() {
        for (QTcpSocket* s : findChildren<QTcpSocket*>())
            s->abort();
        delete m_server;
        m_server = nullptr;
    }

private:
    struct Conn {
        QByteArray in;
        QByteArray body;
        qint64 sent = 0;
        bool hung = false;
    };

    void serve(QTcpSocket* s) {
        s->setParent(this);
        m_owner->connectionsChanged(1);
        auto* c = new Conn;
        QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, c] { onRead(s, c); });
        QObject::connect(s, &QTcpSocket::bytesWritten, s, [s, c] { pump(s, c); });
        QObject::connect(s, &QTcpSocket::disconnected, this, [this, s, c] {
            m_owner->connectionsChanged(-1);
            delete c;
            s->deleteLater();
        });
    }

    // Feeds a large body in pieces so the socket's buffer stays small.
    static void pump(QTcpSocket* s, Conn* c) {
        while (c->sent < c->body.size() && s->bytesToWrite() < (1 << 20)) {
            const qint64 n = std::min<qint64>(1 << 18, c->body.size() - c->sent);
            s->write(c->body.constData() + c->sent, n);
            c->sent += n;
        }
        if (c->sent >= c->body.size() && !c->body.isEmpty()) {
            c->body.clear();
            c->sent = 0;
        }
    }

    void onRead(QTcpSocket* s, Conn* c) {
        c->in += s->readAll();
        if (c->hung)
            return;
        for (;;) {
            if (!c->body.isEmpty())
                return; // one answer at a time
            const qsizetype end = c->in.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            const QByteArray head = c->in.left(end);
            c->in.remove(0, end + 4);
            const QList<QByteArray> lines = head.split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            HttpTestServer::Request req;
            req.method = first.value(0);
            req.path = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    req.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
            }
            m_owner->record(req);
            HttpTestServer::Route r;
            if (!m_owner->route(req.path, &r)) {
                r.status = 404;
                r.body = "not found";
            }
            if (r.hang) {
                c->hung = true;
                return;
            }
            QByteArray reply = "HTTP/1.1 " + QByteArray::number(r.status) +
                               (r.status < 300 ? " OK" : " Error") +
                               "\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                               QByteArray::number(r.body.size()) + "\r\nConnection: keep-alive\r\n\r\n";
            s->write(reply);
            if (req.method != "HEAD") {
                c->body = r.body;
                c->sent = 0;
                pump(s, c);
            }
        }
    }

    HttpTestServer* m_owner;
    QTcpServer* m_server = nullptr;
};

HttpTestServer::HttpTestServer() {
    m_worker = new HttpTestServerWorker(this);
    m_worker->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_worker, [this] { m_port = m_worker->listen(); }, Qt::BlockingQueuedConnection);
}

HttpTestServer::~HttpTestServer() {
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

QString HttpTestServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

void HttpTestServer::setResponse(const QString& path, const QByteArray& body, int status) {
    QMutexLocker lock(&m_mutex);
    m_routes.insert(path.toUtf8(), {status, body, false});
}

void HttpTestServer::setHang(const QString& path) {
    QMutexLocker lock(&m_mutex);
    m_routes.insert(path.toUtf8(), {0, {}, true});
}

void HttpTestServer::remove(const QString& path) {
    QMutexLocker lock(&m_mutex);
    m_routes.remove(path.toUtf8());
}

QList<HttpTestServer::Request> HttpTestServer::requests() const {
    QMutexLocker lock(&m_mutex);
    return m_requests;
}

int HttpTestServer::openConnections() const {
    QMutexLocker lock(&m_mutex);
    return m_open;
}

bool HttpTestServer::route(const QByteArray& path, Route* out) const {
    QMutexLocker lock(&m_mutex);
    auto it = m_routes.constFind(path);
    if (it == m_routes.constEnd())
        return false;
    *out = *it;
    return true;
}

void HttpTestServer::record(const Request& r) {
    QMutexLocker lock(&m_mutex);
    m_requests.append(r);
}

void HttpTestServer::connectionsChanged(int delta) {
    QMutexLocker lock(&m_mutex);
    m_open += delta;
}
