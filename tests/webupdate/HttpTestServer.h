#pragma once
// A small HTTP/1.1 server on 127.0.0.1 with an ephemeral port, running in its own
// thread so it keeps serving while the test's thread waits. Serves fixed bodies,
// records every request, and can accept a request and never answer it.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QThread>

class HttpTestServerWorker;

class HttpTestServer {
public:
    struct Request {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // lower-case names
    };

    HttpTestServer();
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    quint16 port() const { return m_port; }
    QString url(const QString& path) const;

    void setResponse(const QString& path, const QByteArray& body, int status = 200);
    // Reads the request and then sends nothing, keeping the connection open.
    void setHang(const QString& path);
    void remove(const QString& path);

    QList<Request> requests() const;
    int openConnections() const;

    struct Route {
        int status = 200;
        QByteArray body;
        bool hang = false;
    };
    bool route(const QByteArray& path, Route* out) const;
    void record(const Request& r);
    void connectionsChanged(int delta);

private:
    QThread m_thread;
    HttpTestServerWorker* m_worker = nullptr;
    quint16 m_port = 0;
    mutable QMutex m_mutex;
    QHash<QByteArray, Route> m_routes;
    QList<Request> m_requests;
    int m_open = 0;
};
