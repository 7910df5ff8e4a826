#ifndef SSLSERVER_H
#define SSLSERVER_H

#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

/// A listener whose connections are QSslSockets, so plain and TLS clients take
/// the same path. With a certificate set, every accepted socket starts its
/// server-side handshake at once; clients are not asked for certificates.
class SslServer : public QTcpServer
{
    Q_OBJECT

public:
    explicit SslServer(QObject *parent = nullptr);

    void setTls(const QSslCertificate &certificate, const QSslKey &key);

protected:
    void incomingConnection(qintptr handle) override;

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
};

#endif // SSLSERVER_H
