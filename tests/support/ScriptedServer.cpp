#include "ScriptedServer.h"

#include "DataPackage.h"
#include "FrameBytes.h"
#include "IdentData.h"
#include "ResponsePackage.h"
#include "TestSupport.h"
#include "VdsProtocol.h"

#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <algorithm>

namespace {

// Far above anything the tests send; a header claiming more is garbage.
constexpr qint64 PayloadLimit = 512 * 1024 * 1024;

QByteArray response(int packageId, int code, const QString &message = QString())
{
    return FrameBytes::encode(ResponsePackage(packageId, code, message));
}

QString identText(const BasicPackage *package)
{
    auto data = dynamic_cast<const DataPackage *>(package);
    return data && data->ident() ? data->ident()->toString() : QString();
}

} // namespace

ScriptedServer::ScriptedServer(bool ready)
    : m_thread(new QThread), m_context(new QObject),
      m_ready(QLatin1String(VdsProtocol::ReadinessKey))
{
    m_script = [this](const Frame &frame) { return defaultReply(frame); };
    m_context->moveToThread(m_thread);
    m_thread->start();
    onServerThread([this] {
        m_listener = new QTcpServer(m_context);
        QObject::connect(m_listener, &QTcpServer::newConnection, m_context, [this] {
            while (QTcpSocket *socket = m_listener->nextPendingConnection()) {
                QMutexLocker lock(&m_mutex);
                m_peers.insert(socket, {++m_connectionCount, {}});
                QObject::connect(socket, &QTcpSocket::readyRead, m_context,
                                 [this, socket] { receive(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, m_context, [this, socket] {
                    if (m_peers.remove(socket))
                        socket->deleteLater();
                });
            }
        });
        m_listener->listen(QHostAddress::LocalHost, 0);
        m_port = m_listener->serverPort();
    });
    setReady(ready);
}

ScriptedServer::~ScriptedServer()
{
    onServerThread([this] {
        delete m_context;
        m_context = nullptr;
    });
    m_thread->quit();
    m_thread->wait();
    delete m_thread;
}

template <typename F>
void ScriptedServer::onServerThread(F f)
{
    if (QThread::currentThread() == m_thread)
        f(); // called from a script
    else
        QMetaObject::invokeMethod(m_context, f, Qt::BlockingQueuedConnection);
}

void ScriptedServer::writeSettings(const QMap<QString, QVariant> &extra) const
{
    QMap<QString, QVariant> values = extra;
    values.insert(QLatin1String(VdsProtocol::Settings::ServerPort), m_port);
    TestSupport::writeSettings(values);
}

void ScriptedServer::setReady(bool ready)
{
    if (ready && !m_ready.isAttached() && !m_ready.create(1)) {
        // A block left by a killed run: the last detach removes it.
        m_ready.attach();
        m_ready.detach();
        m_ready.create(1);
    } else if (!ready && m_ready.isAttached())
        m_ready.detach();
}

void ScriptedServer::setScript(Script script)
{
    QMutexLocker lock(&m_mutex);
    m_script = std::move(script);
}

QList<ScriptedServer::Frame> ScriptedServer::frames() const
{
    QMutexLocker lock(&m_mutex);
    return m_frames;
}

int ScriptedServer::connectionCount() const
{
    QMutexLocker lock(&m_mutex);
    return m_connectionCount;
}

bool ScriptedServer::waitForRequests(int count, int timeoutMs) const
{
    const auto requests = [this] {
        QMutexLocker lock(&m_mutex);
        return std::count_if(m_frames.begin(), m_frames.end(),
                             [](const Frame &f) { return f.type != BasicPackage::Identify; });
    };
    return QTest::qWaitFor([&requests, count] { return requests() >= count; }, timeoutMs);
}

void ScriptedServer::reset()
{
    QMutexLocker lock(&m_mutex);
    m_script = [this](const Frame &frame) { return defaultReply(frame); };
    m_frames.clear();
    m_values.clear();
}

void ScriptedServer::store(const BasicPackagePtr &package)
{
    QMutexLocker lock(&m_mutex);
    m_values.insert(identText(package.data()), package);
}

QList<QByteArray> ScriptedServer::defaultReply(const Frame &frame)
{
    const int id = frame.packageId;
    switch (frame.type) {
    case BasicPackage::Identify:
        return {response(0, VdsProtocol::ResponseInitAcknowledged)};
    case BasicPackage::Action: {
        const QString key = identText(frame.package.data());
        QMutexLocker lock(&m_mutex);
        const BasicPackagePtr stored = m_values.value(key);
        if (!stored)
            return {response(id, VdsProtocol::ResponseNotFound,
                             QStringLiteral("Unknown value: ") + key)};
        // The stored frame again, with the request's id in the header.
        return {FrameBytes::withPackageId(FrameBytes::encode(*stored), id)};
    }
    case BasicPackage::AutoUpdate:
    case BasicPackage::Command:
    case BasicPackage::StatusAgent:
        return {};
    default:
        if (frame.type >= BasicPackage::String && frame.type <= BasicPackage::Variant) {
            store(frame.package);
            return {response(id, VdsProtocol::ResponseDone)};
        }
        return {};
    }
}

void ScriptedServer::push(const QByteArray &bytes)
{
    onServerThread([this, bytes] {
        for (QTcpSocket *socket : m_peers.keys())
            socket->write(bytes);
    });
}

void ScriptedServer::endClients(bool orderly)
{
    onServerThread([this, orderly] {
        const auto sockets = m_peers.keys();
        m_peers.clear();
        for (QTcpSocket *socket : sockets) {
            socket->disconnect(m_context);
            orderly ? socket->disconnectFromHost() : socket->abort();
            socket->deleteLater();
        }
    });
}

void ScriptedServer::forget(QTcpSocket *socket)
{
    m_peers.remove(socket);
    socket->abort();
    socket->deleteLater();
}

void ScriptedServer::receive(QTcpSocket *socket)
{
    if (!m_peers.contains(socket))
        return;
    m_peers[socket].buffer += socket->readAll();
    // A script may drop the connection, so the peer is looked up per frame.
    FrameBytes::Header header;
    while (m_peers.contains(socket) && FrameBytes::readHeader(m_peers[socket].buffer, &header)) {
        Peer &peer = m_peers[socket];
        if (header.payloadSize < 0 || header.payloadSize > PayloadLimit) {
            forget(socket);
            return;
        }
        if (peer.buffer.size() < BasicPackage::HeaderSize + header.payloadSize)
            return;
        const QByteArray bytes =
            peer.buffer.left(int(BasicPackage::HeaderSize + header.payloadSize));
        peer.buffer.remove(0, bytes.size());
        const Frame frame{peer.connection, header.type, header.packageId, bytes,
                          FrameBytes::decode(bytes)};
        if (!frame.package) {
            forget(socket);
            return;
        }
        Script script;
        {
            QMutexLocker lock(&m_mutex);
            m_frames.append(frame);
            script = m_script;
        }
        for (const QByteArray &reply : script(frame)) {
            if (reply == hangUp()) {
                // Leaves the socket to its disconnected handler.
                socket->disconnectFromHost();
                return;
            }
            if (reply == resetConnection()) {
                socket->flush();
                forget(socket);
                return;
            }
            if (!m_peers.contains(socket))
                return;
            socket->write(reply);
        }
    }
}
