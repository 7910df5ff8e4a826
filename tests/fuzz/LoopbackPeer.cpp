#include "LoopbackPeer.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>

#include <sys/socket.h>

LoopbackPeer::LoopbackPeer(quint16 port)
{
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    pumpUntil([this] { return m_socket.state() != QAbstractSocket::ConnectingState; }, 5000,
              "connect");
}

LoopbackPeer::~LoopbackPeer()
{
    const linger reset{1, 0};
    if (m_socket.socketDescriptor() >= 0)
        ::setsockopt(int(m_socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    m_socket.abort();
}

bool LoopbackPeer::pumpUntil(const std::function<bool()> &done, int timeoutMs, const char *what)
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        m_received += m_socket.readAll();
        if (done())
            return true;
        if (deadline.hasExpired()) {
            m_failure = QStringLiteral("%1 timed out").arg(QLatin1String(what));
            return false;
        }
    }
}

bool LoopbackPeer::send(const QByteArray &bytes, int timeoutMs)
{
    m_socket.write(bytes);
    return pumpUntil([this] { return m_socket.bytesToWrite() == 0 || !isConnected(); }, timeoutMs,
                     "send") &&
           isConnected();
}

void LoopbackPeer::shutdownWrite()
{
    // Qt has no half-close; its buffer is empty once send() is done.
    if (isConnected())
        ::shutdown(int(m_socket.socketDescriptor()), SHUT_WR);
}

bool LoopbackPeer::receive(const std::function<bool(const QByteArray &)> &enough, int timeoutMs)
{
    const auto closed = [this] { return m_socket.state() == QAbstractSocket::UnconnectedState; };
    return pumpUntil([&] { return (enough && enough(m_received)) || closed(); }, timeoutMs,
                     "receive") &&
           (enough ? enough(m_received) : closed());
}
