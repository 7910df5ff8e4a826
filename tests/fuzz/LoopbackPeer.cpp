#include "LoopbackPeer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int PollMs = 0;

} // namespace

LoopbackPeer::LoopbackPeer(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The kernel completes a loopback handshake before the server accepts.
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::fcntl(fd, F_SETFL, O_NONBLOCK) != 0) {
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
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            m_peerClosed = true;
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
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return false;
        if (timer.elapsed() > timeoutMs || m_peerClosed)
            return false;
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
        if (timer.elapsed() > timeoutMs)
            return false;
        pump();
    }
    return false;
}
