#ifndef CUTTINGPROXY_H
#define CUTTINGPROXY_H

#include <QByteArray>
#include <QObject>

#include <atomic>

class QTcpServer;
class QTcpSocket;
class QThread;

/// A loopback proxy between clients and a server, on a thread of its own so a
/// client that blocks its thread is still served. It passes the client's bytes
/// on as they come and the server's frame by frame; once armed, it sends only
/// the first bytes of the next frame from the server and then drops both
/// connections, as a network failure in the middle of a frame would.
class CuttingProxy : public QObject
{
    Q_OBJECT

public:
    explicit CuttingProxy(quint16 serverPort);
    ~CuttingProxy() override;

    quint16 port() const { return m_port; }
    /// Cut the next frame from the server after `bytes` bytes; -1 cuts it in
    /// the middle of its payload.
    void cutNextFrame(int bytes) { m_cutAfter.store(bytes); }
    /// How many frames were cut so far.
    int cuts() const { return m_cuts.load(); }

private:
    void accept();
    void forwardFrames(QTcpSocket *client, QTcpSocket *server, QByteArray *pending);

    QThread *m_thread;
    QTcpServer *m_listener = nullptr;
    const quint16 m_serverPort;
    quint16 m_port = 0;
    std::atomic<int> m_cutAfter{0};
    std::atomic<int> m_cuts{0};
};

#endif // CUTTINGPROXY_H
