#include "FdStream.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tethering {

FdStream::FdStream(int fd, QObject* parent)
    : QObject(parent)
    , m_fd(fd) {
    if (m_fd < 0)
        return;
    const int flags = ::fcntl(m_fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    ::fcntl(m_fd, F_SETFD, FD_CLOEXEC);
    m_readNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &FdStream::onReadable);
    m_writeNotifier = new QSocketNotifier(m_fd, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &FdStream::onWritable);
}

FdStream::~FdStream() {
    if (m_fd >= 0) {
        delete m_readNotifier;
        delete m_writeNotifier;
        ::close(m_fd);
        m_fd = -1;
    }
}

void FdStream::consume(qsizetype n) {
    m_in.remove(0, n);
    updateReadNotifier();
}

void FdStream::setReadPaused(bool paused) {
    m_paused = paused;
    updateReadNotifier();
}

void FdStream::updateReadNotifier() {
    if (m_readNotifier)
        m_readNotifier->setEnabled(!m_paused && m_in.size() < m_readCap);
}

void FdStream::onReadable() {
    if (m_fd < 0)
        return;
    bool got = false;
    while (m_in.size() < m_readCap) {
        char buf[65536];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n > 0) {
            m_in.append(buf, n);
            got = true;
            if (size_t(n) < sizeof buf)
                break;
            continue;
        }
        if (n == 0) {
            if (got)
                Q_EMIT readyRead();
            close(QStringLiteral("the peer closed the connection"));
            return;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        if (got)
            Q_EMIT readyRead();
        close(why);
        return;
    }
    updateReadNotifier();
    if (got)
        Q_EMIT readyRead();
}

bool FdStream::writeSome() {
    while (m_outPos < m_out.size()) {
        ssize_t n = ::send(m_fd, m_out.constData() + m_outPos, size_t(m_out.size() - m_outPos), MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK)
            n = ::write(m_fd, m_out.constData() + m_outPos, size_t(m_out.size() - m_outPos));
        if (n > 0) {
            m_outPos += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        close(n < 0 ? QString::fromLocal8Bit(std::strerror(errno)) : QStringLiteral("write failed"));
        return false;
    }
    if (m_outPos == m_out.size()) {
        m_out.clear();
        m_outPos = 0;
    } else if (m_outPos > 1024 * 1024 && m_outPos * 2 >= m_out.size()) {
        // Only once the sent part outweighs the rest: compacting a large backlog
        // after every megabyte would copy it over and over.
        m_out.remove(0, m_outPos);
        m_outPos = 0;
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(pendingWrite() > 0);
    return true;
}

bool FdStream::write(const QByteArray& data) {
    if (m_fd < 0)
        return false;
    if (m_out.isEmpty())
        m_out = data; // shares the bytes instead of copying them
    else
        m_out.append(data);
    return m_corked || writeSome();
}

void FdStream::setCorked(bool corked) {
    m_corked = corked;
    if (!corked && m_fd >= 0 && pendingWrite() > 0)
        writeSome();
}

void FdStream::onWritable() {
    if (m_fd >= 0 && writeSome() && pendingWrite() == 0)
        Q_EMIT drained();
}

bool FdStream::flush(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (m_fd >= 0 && pendingWrite() > 0) {
        pollfd p{m_fd, POLLOUT, 0};
        const int left = int(qMax<qint64>(0, deadline.remainingTime()));
        if (left == 0)
            return false;
        if (::poll(&p, 1, left) < 0 && errno != EINTR)
            return false;
        if (!writeSome())
            return false;
    }
    return m_fd >= 0;
}

void FdStream::close(const QString& reason) {
    if (m_fd >= 0) {
        // We may be inside one of the notifiers' own signals: disable now, delete later.
        for (QSocketNotifier* n : {m_readNotifier, m_writeNotifier}) {
            n->setEnabled(false);
            n->deleteLater();
        }
        m_readNotifier = nullptr;
        m_writeNotifier = nullptr;
        ::shutdown(m_fd, SHUT_RDWR);
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_closedEmitted) {
        m_closedEmitted = true;
        Q_EMIT closed(reason);
    }
}

} // namespace tethering
