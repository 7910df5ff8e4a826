#ifndef LOOPBACKPEER_H
#define LOOPBACKPEER_H

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

#include <functional>

/// A plain TCP connection to 127.0.0.1 for a fuzz target that runs the server
/// in its own thread: while it waits, it runs the Qt event loop so that the
/// server can accept, read and answer. Every wait is bounded in time. The
/// connection ends with a reset (SO_LINGER 0), so thousands of them leave no
/// TIME_WAIT entries behind.
class LoopbackPeer
{
public:
    explicit LoopbackPeer(quint16 port);
    ~LoopbackPeer();

    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    /// Sends all of `bytes`; false when the peer goes away or `timeoutMs`
    /// passes first.
    bool send(const QByteArray &bytes, int timeoutMs);
    /// No more bytes from this side: the server reads the end of the stream.
    void shutdownWrite();
    /// Reads until `enough` says so on what has arrived (true) or the server
    /// closes the connection (true as well when `enough` is empty); false when
    /// `timeoutMs` passes first.
    bool receive(const std::function<bool(const QByteArray &)> &enough, int timeoutMs);
    /// What went wrong last: the socket's error or a timeout.
    QString failure() const { return m_failure.isEmpty() ? m_socket.errorString() : m_failure; }

private:
    /// Runs the event loop and takes what has arrived until `done` or the time-out.
    bool pumpUntil(const std::function<bool()> &done, int timeoutMs, const char *what);

    QTcpSocket m_socket;
    QByteArray m_received;
    QString m_failure;
};

#endif // LOOPBACKPEER_H
