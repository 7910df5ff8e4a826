#include "SslServer.h"

#include "ServerLog.h"

#include <QSslSocket>

SslServer::SslServer(QObject *parent) : QTcpServer(parent) {}

void SslServer::setTls(const QSslCertificate &certificate, const QSslKey &key)
{
    m_certificate = certificate;
    m_key = key;
}

void SslServer::incomingConnection(qintptr handle)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(handle)) {
        qCWarning(lcServer).noquote()
            << "cannot take an incoming connection:" << socket->errorString();
        delete socket;
        return;
    }
    if (!m_certificate.isNull()) {
        socket->setLocalCertificate(m_certificate);
        socket->setPrivateKey(m_key);
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
        socket->startServerEncryption();
    }
    addPendingConnection(socket);
}
