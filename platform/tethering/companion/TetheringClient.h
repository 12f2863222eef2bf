#pragma once
// The companion side of the tethering link: a remote manager with one profile
// that connects to the server, pairs, connects its profile to a server
// profile of the same group, sends resources and takes those sent to it.
// Runs on the event loop of the thread it lives in.

#include "TetheringProtocol.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariant>

class QTimer;

namespace tethering {

class FdStream;

class TetheringClient : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString managerText = QStringLiteral("TorvaneClient");
        QString profileText = QStringLiteral("TorvaneClient");
        QString group = QStringLiteral("quillmarsh");
        QString password;
        // Server profile to connect to; empty: the first one of our group.
        QString serverProfileText = QStringLiteral("Quenlith Server");
        int keepAliveMs = 15000;
    };
    enum class State { Idle, Handshake, Paired, Ready, Closed };

    explicit TetheringClient(const Options& options, QObject* parent = nullptr);
    ~TetheringClient() override;

    // Ways to get connected; each starts the handshake. false + error on failure.
    bool openFd(int fd); // takes ownership
    bool connectUnix(const QString& path, QString* error = nullptr);
    // Receives an already-connected socket over a Unix socket (SCM_RIGHTS), as the
    // simulated BlueZ of our tests hands it out.
    bool receiveFd(const QString& path, int timeoutMs, QString* error = nullptr);
    bool connectRfcomm(const QString& address, quint16 channel, int timeoutMs, QString* error = nullptr);

    State state() const { return m_state; }
    bool isReady() const { return m_state == State::Ready; }
    QString managerId() const { return m_managerId; }
    QString profileId() const { return m_profileId; }
    QString serverManagerId() const { return m_serverId; }
    QString serverManagerText() const { return m_serverText; }
    const QList<ProfileMsg>& serverProfiles() const { return m_serverProfiles; }
    QString lastError() const { return m_lastError; }

    // Send to the connected server profile. Return the sequence number, or 0
    // when not ready.
    quint32 sendString(const QString& description, const QString& text);
    quint32 sendValue(const QString& description, DataType type, const QVariant& value);
    quint32 sendStream(const QString& description, const QByteArray& bytes);
    // Bytes straight onto the link (tests of malformed input).
    void sendRaw(const QByteArray& bytes);
    int unacknowledged() const { return int(m_unacked.size()); }
    // Stops taking bytes from the link (and so answering), e.g. while the user's
    // side is busy; the server then sees a stalled link.
    void setReceivePaused(bool paused);

    // Nested event loop until the condition holds or timeoutMs pass.
    bool waitReady(int timeoutMs);
    bool waitAcknowledged(int timeoutMs);
    bool waitClosed(int timeoutMs);

    void bye();
    void close(const QString& reason = QStringLiteral("closed by the client"));

Q_SIGNALS:
    void ready();
    void stringReceived(const QString& description, const QString& text);
    void valueReceived(const QString& description, tethering::DataType type, const QVariant& value);
    void streamReceived(const QString& description, const QByteArray& bytes);
    void acknowledged(quint32 seq, bool accepted);
    void errorReceived(int code, const QString& text, bool fatal);
    void closed(const QString& reason);

private:
    bool start(int fd);
    void process();
    void handle(const Frame& f);
    void fail(const QString& reason);
    void sendFrame(FrameType type, const QByteArray& payload);
    bool waitFor(const std::function<bool()>& done, int timeoutMs);

    Options m_options;
    FdStream* m_stream = nullptr;
    QTimer* m_keepAlive = nullptr;
    State m_state = State::Idle;
    QString m_managerId;
    QString m_profileId;
    QByteArray m_nonce;
    QString m_serverId;
    QString m_serverText;
    QByteArray m_serverNonce;
    QList<ProfileMsg> m_serverProfiles;
    QString m_target; // connected server profile
    QSet<quint32> m_unacked;
    quint32 m_nextSeq = 1;
    QString m_lastError;
};

} // namespace tethering
