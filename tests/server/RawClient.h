#ifndef RAWCLIENT_H
#define RAWCLIENT_H

#include "BasicPackage.h"
#include "FrameBytes.h"
#include "HeaderDecoder.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSslSocket>

/// A client that speaks to the server frame by frame over a real loopback
/// socket, without the client library: it writes packages or arbitrary bytes
/// and reads back the server's packages in arrival order. Every wait is
/// bounded.
class RawClient : public QObject
{
    Q_OBJECT

public:
    static constexpr int WaitMs = 10000;
    /// Package id of the request with which isQuiet() probes the stream.
    static constexpr int ProbeId = 999999;

    RawClient();

    bool connectTo(quint16 port, const QHostAddress &address = QHostAddress::LocalHost,
                   bool tls = false);
    void send(const BasicPackage &package) { sendBytes(FrameBytes::encode(package)); }
    void sendBytes(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        m_socket.flush();
    }
    /// The next package from the server, or null if none came in time.
    BasicPackagePtr next();
    /// True when the answer to a fresh get request is the next thing the
    /// server sends, so nothing else was on its way to this client.
    bool isQuiet();
    bool waitForDisconnected()
    {
        return m_socket.state() == QAbstractSocket::UnconnectedState ||
               m_socket.waitForDisconnected(WaitMs);
    }
    QSslSocket &socket() { return m_socket; }

private:
    void readIncoming() { m_decoder.processData(m_socket.readAll()); }

    QSslSocket m_socket;
    HeaderDecoder m_decoder;
    QList<BasicPackagePtr> m_received;
};

#endif // RAWCLIENT_H
