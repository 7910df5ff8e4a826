#include "CuttingProxy.h"

#include "FrameBytes.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <memory>

CuttingProxy::CuttingProxy(quint16 serverPort) : m_thread(new QThread), m_serverPort(serverPort)
{
    moveToThread(m_thread);
    m_thread->start();
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_listener = new QTcpServer(this);
            connect(m_listener, &QTcpServer::newConnection, this, &CuttingProxy::accept);
            m_listener->listen(QHostAddress::LocalHost, 0);
            m_port = m_listener->serverPort();
        },
        Qt::BlockingQueuedConnection);
}

CuttingProxy::~CuttingProxy()
{
    // Every socket is a child of this object and must go on its own thread.
    QMetaObject::invokeMethod(
        this, [this] { qDeleteAll(children()); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

void CuttingProxy::accept()
{
    while (QTcpSocket *client = m_listener->nextPendingConnection()) {
        client->setParent(this);
        auto *server = new QTcpSocket(this);
        auto pending = std::make_shared<QByteArray>();
        connect(client, &QTcpSocket::readyRead, server,
                [client, server] { server->write(client->readAll()); });
        connect(server, &QTcpSocket::readyRead, client, [this, client, server, pending] {
            *pending += server->readAll();
            forwardFrames(client, server, pending.get());
        });
        for (QTcpSocket *end : {client, server}) {
            connect(end, &QTcpSocket::disconnected, this, [client, server] {
                client->abort();
                server->abort();
                client->deleteLater();
                server->deleteLater();
            });
        }
        // Written while connecting, the client's first bytes wait in the buffer.
        server->connectToHost(QHostAddress::LocalHost, m_serverPort);
    }
}

void CuttingProxy::forwardFrames(QTcpSocket *client, QTcpSocket *server, QByteArray *pending)
{
    FrameBytes::Header header;
    while (FrameBytes::readHeader(*pending, &header)) {
        const qint64 payloadSize = header.payloadSize;
        const qint64 frameSize = BasicPackage::HeaderSize + qMax<qint64>(payloadSize, 0);
        if (pending->size() < frameSize)
            return;
        const int cutAfter = m_cutAfter.exchange(0);
        if (cutAfter == 0) {
            client->write(pending->left(int(frameSize)));
            pending->remove(0, int(frameSize));
            continue;
        }
        const qint64 kept = cutAfter > 0 ? cutAfter : BasicPackage::HeaderSize + payloadSize / 2;
        client->write(pending->left(int(qMin(kept, frameSize - 1))));
        client->flush();
        ++m_cuts;
        pending->clear();
        client->disconnectFromHost();
        server->abort();
        return;
    }
}
