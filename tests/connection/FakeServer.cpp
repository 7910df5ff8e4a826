#include "FakeServer.h"

#include "HeaderDecoder.h"
#include "ResponsePackage.h"

#include "TestSupport.h"

#include <QBuffer>
#include <QSslSocket>

struct FakeServer::Peer
{
    int connection = 0;
    QTcpSocket *socket = nullptr;
    HeaderDecoder decoder;
    QByteArray raw;
    int consumed = 0;
};

namespace {
// Far above anything the tests send; a header claiming more is garbage.
constexpr qint64 PayloadLimit = 64 * 1024 * 1024;
} // namespace

FakeServer::FakeServer(bool ready) : m_ready(QStringLiteral("VelDataServer-Ready"))
{
    m_script = [](const Frame &frame) {
        QList<QByteArray> answers;
        if (frame.type == BasicPackage::Identify)
            answers.append(encode(ResponsePackage(0, 6, QString())));
        return answers;
    };
    setReady(ready);
    listen(QHostAddress::LocalHost, 0);
}

FakeServer::~FakeServer()
{
    dropClients();
    close();
}

void FakeServer::useTls(const QSslCertificate &certificate, const QSslKey &key)
{
    m_certificate = certificate;
    m_key = key;
}

void FakeServer::setReady(bool ready)
{
    if (ready && !m_ready.isAttached())
        m_ready.create(1);
    else if (!ready && m_ready.isAttached())
        m_ready.detach();
}

QList<FakeServer::Frame> FakeServer::requests() const
{
    QList<Frame> result;
    for (const Frame &frame : m_frames) {
        if (frame.type != BasicPackage::Identify)
            result.append(frame);
    }
    return result;
}

bool FakeServer::waitForRequests(int count, int timeoutMs)
{
    return conn::waitUntil([this, count] { return requests().size() >= count; }, timeoutMs);
}

void FakeServer::push(const QByteArray &bytes)
{
    if (m_peers.isEmpty())
        return;
    m_peers.last()->socket->write(bytes);
    m_peers.last()->socket->flush();
}

void FakeServer::dropClients()
{
    const QList<Peer *> peers = m_peers;
    m_peers.clear();
    for (Peer *peer : peers) {
        peer->socket->disconnect(this);
        // Closed the orderly way, so bytes already written still arrive first.
        peer->socket->disconnectFromHost();
        peer->socket->deleteLater();
        delete peer;
    }
}

QByteArray FakeServer::encode(const BasicPackage &package)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    package.write(&buffer, 0);
    return buffer.data();
}

void FakeServer::incomingConnection(qintptr descriptor)
{
    auto *peer = new Peer;
    peer->connection = ++m_connectionCount;
    QSslSocket *tls = nullptr;
    if (!m_certificate.isNull()) {
        tls = new QSslSocket(this);
        tls->setLocalCertificate(m_certificate);
        tls->setPrivateKey(m_key);
        peer->socket = tls;
    } else {
        peer->socket = new QTcpSocket(this);
    }
    peer->socket->setSocketDescriptor(descriptor);
    peer->decoder.setPayloadLimit(PayloadLimit);
    m_peers.append(peer);

    connect(&peer->decoder, &HeaderDecoder::dataProcessed, this,
            [this, peer](BasicPackagePtr package, qint64 dataSize, qint64) {
                const int length = BasicPackage::HeaderSize + int(qMax<qint64>(dataSize, 0));
                const QByteArray bytes = peer->raw.mid(peer->consumed, length);
                peer->consumed += length;
                if (!package) {
                    peer->socket->abort();
                    return;
                }
                const Frame frame{peer->connection, package->type(), package->packageId(), bytes,
                                  package};
                m_frames.append(frame);
                for (const QByteArray &answer : m_script(frame))
                    peer->socket->write(answer);
            });
    connect(&peer->decoder, &HeaderDecoder::frameTooLarge, peer->socket, &QTcpSocket::abort);
    connect(peer->socket, &QIODevice::readyRead, this, [this, peer] { receive(peer); });
    if (tls)
        tls->startServerEncryption();
}

void FakeServer::receive(Peer *peer)
{
    const QByteArray data = peer->socket->readAll();
    peer->raw.append(data);
    peer->decoder.processData(data);
}
