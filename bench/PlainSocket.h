#ifndef PLAINSOCKET_H
#define PLAINSOCKET_H

#include <QByteArray>

/// A blocking loopback TCP socket with Nagle's algorithm off, straight on the
/// POSIX calls: what the machine can do without any library in between.
/// Every blocking call gives up after a receive/send timeout of 10 s, so a
/// benchmark never hangs on a peer that went away.
class PlainSocket
{
public:
    PlainSocket() = default;
    explicit PlainSocket(int fd);
    ~PlainSocket();
    PlainSocket(PlainSocket &&other) noexcept;
    PlainSocket &operator=(PlainSocket &&other) noexcept;
    PlainSocket(const PlainSocket &) = delete;
    PlainSocket &operator=(const PlainSocket &) = delete;

    /// Connects to 127.0.0.1:`port`.
    static PlainSocket connectTo(int port);
    /// A listening socket on 127.0.0.1 with a free port.
    static PlainSocket listenLoopback();
    /// The port a listening socket got.
    int localPort() const;
    /// Accepts one connection on a listening socket.
    PlainSocket accept() const;

    bool isValid() const { return m_fd >= 0; }
    bool sendAll(const char *data, qint64 size) const;
    bool sendAll(const QByteArray &data) const { return sendAll(data.constData(), data.size()); }
    /// Reads exactly `size` bytes; false on end of stream, error or timeout.
    bool receiveAll(char *data, qint64 size) const;
    /// Reads whatever is there, up to `size` bytes; 0 at end of stream.
    qint64 receiveSome(char *data, qint64 size) const;
    /// Reads one frame of the protocol (16-byte header, then its payload)
    /// into `frame`; false when the stream ends or the header is implausible.
    bool receiveFrame(QByteArray *frame) const;
    void shutdownWrite() const;
    void close();

private:
    void configure() const;

    int m_fd = -1;
};

#endif // PLAINSOCKET_H
