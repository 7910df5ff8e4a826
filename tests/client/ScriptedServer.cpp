#include "ScriptedServer.h"

#include "ActionPackage.h"
#include "DataPackage.h"
#include "HeaderDecoder.h"
#include "IdentData.h"
#include "ResponsePackage.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

QByteArray response(int packageId, int code, const QString &message = QString())
{
    return ScriptedServer::encode(ResponsePackage(packageId, code, message));
}

QString identText(const BasicPackage *package)
{
    auto data = dynamic_cast<const DataPackage *>(package);
    return data && data->ident() ? data->ident()->toString() : QString();
}

} // namespace

ScriptedServer::ScriptedServer()
    : m_thread(new QThread), m_context(new QObject), m_ready(QStringLiteral("VelDataServer-Ready"))
{
    m_script = [this](const Frame &frame) { return defaultReply(frame); };
    m_context->moveToThread(m_thread);
    m_thread->start();
    onServerThread([this] {
        m_server = new QTcpServer(m_context);
        QObject::connect(m_server, &QTcpServer::newConnection, m_context,
                         [this] { onNewConnection(); });
        m_server->listen(QHostAddress::LocalHost, 0);
        m_port = m_server->serverPort();
    });
    setReady(true);
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

QByteArray ScriptedServer::encode(const BasicPackage &package)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    package.write(&buffer, 0);
    return buffer.data();
}

void ScriptedServer::writeSettings(const QString &extraLines) const
{
    const QString dir = qEnvironmentVariable("XDG_CONFIG_DIRS") + QStringLiteral("/Haltra");
    QDir().mkpath(dir);
    QFile file(dir + QStringLiteral("/VelDataServer.conf"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(
        QStringLiteral("[Settings]\nserverPort=%1\n%2\n").arg(m_port).arg(extraLines).toUtf8());
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

QList<ScriptedServer::Frame> ScriptedServer::takeFrames()
{
    QMutexLocker lock(&m_mutex);
    QList<Frame> frames;
    frames.swap(m_frames);
    return frames;
}

QList<ScriptedServer::Frame> ScriptedServer::frames() const
{
    QMutexLocker lock(&m_mutex);
    return m_frames;
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
        return {response(0, 6)};
    case BasicPackage::Action: {
        auto action = frame.package.staticCast<ActionPackage>();
        const QString key = identText(action.data());
        QMutexLocker lock(&m_mutex);
        if (action->action() == 2)
            return {response(id, m_values.remove(key) ? 2 : 4)};
        const BasicPackagePtr stored = m_values.value(key);
        if (!stored)
            return {response(id, 4, QStringLiteral("Unknown value: ") + key)};
        // The stored frame again, with the request's id in the header.
        QByteArray bytes = encode(*stored);
        QByteArray idBytes;
        QDataStream(&idBytes, QIODevice::WriteOnly) << qint32(id);
        bytes.replace(4, 4, idBytes);
        return {bytes};
    }
    case BasicPackage::AutoUpdate:
    case BasicPackage::Command:
    case BasicPackage::StatusAgent:
        return {};
    default:
        if (frame.type >= BasicPackage::String && frame.type <= BasicPackage::Variant) {
            store(frame.package);
            return {response(id, 2)};
        }
        return {};
    }
}

void ScriptedServer::push(const QByteArray &frame)
{
    onServerThread([this, frame] {
        for (QTcpSocket *socket : m_buffers.keys())
            socket->write(frame);
    });
}

void ScriptedServer::dropClients()
{
    onServerThread([this] {
        const auto sockets = m_buffers.keys();
        m_buffers.clear();
        for (QTcpSocket *socket : sockets) {
            socket->abort();
            socket->deleteLater();
        }
    });
}

void ScriptedServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        m_buffers.insert(socket, QByteArray());
        QObject::connect(socket, &QTcpSocket::readyRead, m_context,
                         [this, socket] { onReadyRead(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, m_context, [this, socket] {
            if (m_buffers.remove(socket))
                socket->deleteLater();
        });
    }
}

void ScriptedServer::onReadyRead(QTcpSocket *socket)
{
    if (!m_buffers.contains(socket))
        return;
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    // Cut whole frames by their header, keeping the raw bytes of each.
    while (buffer.size() >= BasicPackage::HeaderSize) {
        QDataStream header(buffer);
        qint32 type = 0, id = 0;
        qint64 size = 0;
        header >> type >> id >> size;
        if (buffer.size() < BasicPackage::HeaderSize + size)
            break;
        Frame frame;
        frame.type = type;
        frame.packageId = id;
        frame.bytes = buffer.left(int(BasicPackage::HeaderSize + size));
        buffer.remove(0, frame.bytes.size());
        HeaderDecoder decoder;
        QObject::connect(
            &decoder, &HeaderDecoder::dataProcessed,
            [&frame](BasicPackagePtr package, qint64, qint64) { frame.package = package; });
        decoder.processData(frame.bytes);
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
                m_buffers.remove(socket);
                socket->abort();
                socket->deleteLater();
                return;
            }
            socket->write(reply);
        }
    }
}
