#ifndef FAKESERVER_H
#define FAKESERVER_H

#include "BasicPackage.h"

#include <QByteArray>
#include <QList>
#include <QSharedMemory>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QTcpServer>

#include <functional>

class HeaderDecoder;
class QTcpSocket;

/// A stand-in for VelDataServer on the test's own thread, listening on a free
/// loopback port. It creates the readiness block when told, records every
/// frame it receives (decoded, and as the raw bytes of header and payload),
/// and answers each frame through a replaceable script; the default script
/// acknowledges INIT and nothing else. Given a certificate it speaks TLS.
/// Bytes that are no frame of the protocol (a TLS handshake sent to the plain
/// server, for example) make it drop that connection, as a real server would.
class FakeServer : public QTcpServer
{
    Q_OBJECT

public:
    struct Frame
    {
        int connection = 0; // 1 for the first accepted connection, and so on
        int type = 0;
        int packageId = 0;
        QByteArray bytes;
        BasicPackagePtr package;
    };
    using Script = std::function<QList<QByteArray>(const Frame &frame)>;

    explicit FakeServer(bool ready = true);
    ~FakeServer() override;

    void useTls(const QSslCertificate &certificate, const QSslKey &key);
    void setReady(bool ready);
    void setScript(Script script) { m_script = std::move(script); }

    QList<Frame> frames() const { return m_frames; }
    /// Frames other than INIT, the ones the requests under test produce.
    QList<Frame> requests() const;
    int connectionCount() const { return m_connectionCount; }
    /// Waits, with the event loop running, until `count` requests are in.
    bool waitForRequests(int count, int timeoutMs = 5000);
    /// Sends raw bytes on the newest connection.
    void push(const QByteArray &bytes);
    void dropClients();

    static QByteArray encode(const BasicPackage &package);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Peer;
    void receive(Peer *peer);

    QSharedMemory m_ready;
    QSslCertificate m_certificate;
    QSslKey m_key;
    Script m_script;
    QList<Frame> m_frames;
    QList<Peer *> m_peers;
    int m_connectionCount = 0;
};

#endif // FAKESERVER_H
