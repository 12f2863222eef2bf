#pragma once
// A connected stream socket (RFCOMM or a Unix socket pair) driven by the event
// loop of the thread it lives in: non-blocking reads into a capped buffer and
// buffered writes.

#include <QByteArray>
#include <QObject>
#include <QString>

class QSocketNotifier;

namespace tethering {

class FdStream : public QObject {
    Q_OBJECT
public:
    // Takes ownership of fd.
    explicit FdStream(int fd, QObject* parent = nullptr);
    ~FdStream() override;

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }

    // Received bytes not yet consumed.
    QByteArray& buffer() { return m_in; }
    void consume(qsizetype n);
    // Reading stops while the unconsumed bytes exceed this cap.
    void setReadCap(qsizetype cap) { m_readCap = cap; }
    // Stops or resumes taking bytes from the socket (flow control).
    void setReadPaused(bool paused);
    bool readPaused() const { return m_paused; }

    // Queues bytes; they go out as the socket takes them. False when closed.
    bool write(const QByteArray& data);
    // While corked, writes only queue; uncorking sends them in one go (fewer
    // system calls when answering a burst of frames).
    void setCorked(bool corked);
    qsizetype pendingWrite() const { return m_out.size() - m_outPos; }
    // Blocks up to timeoutMs until everything queued has been written.
    bool flush(int timeoutMs);

    void close(const QString& reason = {});

Q_SIGNALS:
    void readyRead();
    // Everything queued has gone out.
    void drained();
    // Emitted once, when the stream ends for any reason.
    void closed(const QString& reason);

private:
    void onReadable();
    void onWritable();
    bool writeSome();
    void updateReadNotifier();

    int m_fd = -1;
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QByteArray m_in;
    QByteArray m_out;
    qsizetype m_outPos = 0;
    qsizetype m_readCap = 512 * 1024;
    bool m_paused = false;
    bool m_corked = false;
    bool m_closedEmitted = false;
};

} // namespace tethering
