#include "LoopbackPeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int PollMs = 0;
constexpr int ConnectPolls = 50;
constexpr int ConnectPollMs = 100;

QString systemError(const char *call)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(call),
                                        QString::fromLocal8Bit(strerror(errno)));
}

} // namespace

LoopbackPeer::LoopbackPeer(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        m_failure = systemError("socket");
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Non-blocking from the start: a signal (libFuzzer's timer) cannot cut
    // the connect short. The kernel completes a loopback handshake before the
    // server accepts, so waiting for it needs no event loop.
    if (::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
        m_failure = systemError("fcntl");
        ::close(fd);
        return;
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS && errno != EINTR) {
        m_failure = systemError("connect");
        ::close(fd);
        return;
    }
    pollfd p{fd, POLLOUT, 0};
    int ready = 0;
    for (int attempt = 0; attempt < ConnectPolls && ready <= 0; ++attempt)
        ready = ::poll(&p, 1, ConnectPollMs);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready <= 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        errno = ready <= 0 ? ETIMEDOUT : error;
        m_failure = systemError("connect");
        ::close(fd);
        return;
    }
    m_fd = fd;
}

LoopbackPeer::~LoopbackPeer()
{
    if (m_fd < 0)
        return;
    const linger reset{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(m_fd);
}

void LoopbackPeer::pump()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    if (m_fd < 0 || m_peerClosed)
        return;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, PollMs) <= 0)
        return;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            m_received.append(buffer, int(n));
            continue;
        }
        if (n == 0) {
            m_peerClosed = true;
            m_failure = QStringLiteral("closed by the peer");
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_peerClosed = true;
            m_failure = systemError("recv");
        }
        return;
    }
}

bool LoopbackPeer::send(const QByteArray &bytes, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    qint64 at = 0;
    while (m_fd >= 0 && at < bytes.size()) {
        const ssize_t n =
            ::send(m_fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n > 0) {
            at += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_failure = systemError("send");
            return false;
        }
        if (m_peerClosed)
            return false;
        if (timer.elapsed() > timeoutMs) {
            m_failure = QStringLiteral("send timed out");
            return false;
        }
        pump();
    }
    return m_fd >= 0;
}

void LoopbackPeer::shutdownWrite()
{
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_WR);
}

bool LoopbackPeer::receive(const std::function<bool(const QByteArray &)> &enough, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (m_fd >= 0) {
        if (enough && enough(m_received))
            return true;
        if (m_peerClosed)
            return !enough;
        if (timer.elapsed() > timeoutMs) {
            m_failure = QStringLiteral("receive timed out");
            return false;
        }
        pump();
    }
    return false;
}
