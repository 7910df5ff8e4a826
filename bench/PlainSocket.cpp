#include "PlainSocket.h"

#include "VdsProtocol.h"

#include <QtEndian>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using VdsProtocol::HeaderSize;
constexpr int IoTimeoutSeconds = 10;
// Larger answers than this are not what the baselines send for.
constexpr qint64 MaxFramePayload = qint64(1) << 30;

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace

PlainSocket::PlainSocket(int fd) : m_fd(fd)
{
    if (m_fd >= 0)
        configure();
}

PlainSocket::~PlainSocket()
{
    close();
}

PlainSocket::PlainSocket(PlainSocket &&other) noexcept : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

PlainSocket &PlainSocket::operator=(PlainSocket &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

void PlainSocket::configure() const
{
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval timeout{};
    timeout.tv_sec = IoTimeoutSeconds;
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

PlainSocket PlainSocket::connectTo(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return PlainSocket();
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return PlainSocket();
    }
    return PlainSocket(fd);
}

PlainSocket PlainSocket::listenLoopback()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return PlainSocket();
    const sockaddr_in address = loopback(0);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 4) != 0) {
        ::close(fd);
        return PlainSocket();
    }
    PlainSocket listener;
    listener.m_fd = fd;
    return listener;
}

int PlainSocket::localPort() const
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

PlainSocket PlainSocket::accept() const
{
    return PlainSocket(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
}

bool PlainSocket::sendAll(const char *data, qint64 size) const
{
    while (size > 0) {
        const ssize_t sent = ::send(m_fd, data, size_t(size), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= sent;
    }
    return true;
}

bool PlainSocket::receiveAll(char *data, qint64 size) const
{
    while (size > 0) {
        const qint64 got = receiveSome(data, size);
        if (got <= 0)
            return false;
        data += got;
        size -= got;
    }
    return true;
}

qint64 PlainSocket::receiveSome(char *data, qint64 size) const
{
    for (;;) {
        const ssize_t got = ::recv(m_fd, data, size_t(size), 0);
        if (got < 0 && errno == EINTR)
            continue;
        return got < 0 ? 0 : qint64(got);
    }
}

bool PlainSocket::receiveFrame(QByteArray *frame) const
{
    char header[HeaderSize];
    if (!receiveAll(header, HeaderSize))
        return false;
    const qint64 payload = qFromBigEndian<qint64>(header + 8);
    if (payload < 0 || payload > MaxFramePayload)
        return false;
    frame->resize(int(HeaderSize + payload));
    std::copy(header, header + HeaderSize, frame->data());
    return receiveAll(frame->data() + HeaderSize, payload);
}

void PlainSocket::shutdownWrite() const
{
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_WR);
}

void PlainSocket::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
