#pragma once
// A companion client on a thread of its own, so the window's thread may block
// (SendString waits for the client's receipt) without starving the client.

#include "Mailbox.h"
#include "TetheringClient.h"

#include <QThread>
#include <functional>
#include <mutex>

class RemoteClient {
public:
    using Client = tethering::TetheringClient;

    explicit RemoteClient(const Client::Options& options = defaultOptions()) {
        m_thread.setObjectName(QStringLiteral("remote-client"));
        m_mailbox.moveToThread(&m_thread);
        m_thread.start();
        run([this, options] {
            m_client = new Client(options);
            QObject::connect(m_client, &Client::stringReceived, m_client,
                             [this](const QString& description, const QString& text) {
                                 std::lock_guard lock(m_mutex);
                                 m_received.append({description, text});
                             });
            QObject::connect(m_client, &Client::acknowledged, m_client, [this](quint32, bool accepted) {
                std::lock_guard lock(m_mutex);
                ++(accepted ? m_accepted : m_refused);
            });
            QObject::connect(m_client, &Client::errorReceived, m_client,
                             [this](int code, const QString& text, bool) {
                                 std::lock_guard lock(m_mutex);
                                 m_errors.append({code, text});
                             });
            QObject::connect(m_client, &Client::closed, m_client, [this](const QString& reason) {
                std::lock_guard lock(m_mutex);
                m_closedReason = reason.isEmpty() ? QStringLiteral("closed") : reason;
            });
        });
    }
    ~RemoteClient() {
        run([this] { delete m_client; });
        m_thread.quit();
        m_thread.wait();
    }

    static Client::Options defaultOptions() {
        Client::Options o;
        o.keepAliveMs = 200;
        return o;
    }
    static Client::Options options(const QString& profileText,
                                   const QString& group = QStringLiteral("quillmarsh"),
                                   const QString& password = {}) {
        Client::Options o = defaultOptions();
        o.profileText = profileText;
        o.group = group;
        o.password = password;
        return o;
    }

    // Runs f on the client's thread and waits for it.
    void run(const std::function<void()>& f) { m_mailbox.call(f); }

    // Runs f on the client's thread without waiting.
    void post(std::function<void(Client*)> f) {
        m_mailbox.post([this, f = std::move(f)] { f(m_client); });
    }

    bool open(int fd) {
        bool ok = false;
        run([&] { ok = m_client->openFd(fd); });
        return ok;
    }
    bool receiveFd(const QString& path) {
        bool ok = false;
        run([&] { ok = m_client->receiveFd(path, 5000); });
        return ok;
    }
    bool isReady() {
        bool ok = false;
        run([&] { ok = m_client->isReady(); });
        return ok;
    }
    Client::State state() {
        Client::State s{};
        run([&] { s = m_client->state(); });
        return s;
    }
    QString lastError() {
        QString e;
        run([&] { e = m_client->lastError(); });
        return e;
    }
    quint32 sendString(const QString& text, const QString& description = QStringLiteral("Chat String")) {
        quint32 seq = 0;
        run([&] { seq = m_client->sendString(description, text); });
        return seq;
    }
    // Sends texts(0) .. texts(count-1) in one go on the client's thread.
    void sendMany(int count, const std::function<QString(int)>& texts) {
        run([&] {
            for (int i = 0; i < count; ++i)
                m_client->sendString(QStringLiteral("Chat String"), texts(i));
        });
    }
    quint32 sendValue(tethering::DataType type, const QVariant& value) {
        quint32 seq = 0;
        run([&] { seq = m_client->sendValue(QStringLiteral("Value"), type, value); });
        return seq;
    }
    quint32 sendStream(const QByteArray& bytes) {
        quint32 seq = 0;
        run([&] { seq = m_client->sendStream(QStringLiteral("Stream"), bytes); });
        return seq;
    }
    void sendRaw(const QByteArray& bytes) {
        run([&] { m_client->sendRaw(bytes); });
    }
    void setReceivePaused(bool paused) {
        run([&] { m_client->setReceivePaused(paused); });
    }
    void close() {
        run([&] { m_client->close(); });
    }
    QString profileId() {
        QString id;
        run([&] { id = m_client->profileId(); });
        return id;
    }

    QList<std::pair<QString, QString>> received() {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    QStringList receivedTexts() {
        QStringList out;
        for (const auto& r : received())
            out.append(r.second);
        return out;
    }
    int accepted() {
        std::lock_guard lock(m_mutex);
        return m_accepted;
    }
    int refused() {
        std::lock_guard lock(m_mutex);
        return m_refused;
    }
    QList<std::pair<int, QString>> errors() {
        std::lock_guard lock(m_mutex);
        return m_errors;
    }
    QString closedReason() {
        std::lock_guard lock(m_mutex);
        return m_closedReason;
    }

private:
    QThread m_thread;
    tethering::Mailbox m_mailbox; // lives on the client's thread
    Client* m_client = nullptr;
    std::mutex m_mutex;
    QList<std::pair<QString, QString>> m_received;
    QList<std::pair<int, QString>> m_errors;
    int m_accepted = 0;
    int m_refused = 0;
    QString m_closedReason;
};
