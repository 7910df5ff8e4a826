#include "ClientConnection.h"

#include "FilePackage.h"
#include "FrameBytes.h"
#include "ResponsePackage.h"
#include "ServerLog.h"
#include "StoredFile.h"
#include "ValueStore.h"
#include "VdsProtocol.h"

#include <QHostAddress>
#include <QScopedValueRollback>
#include <QSslSocket>

#include <sys/socket.h>
#ifdef Q_OS_LINUX
#include <cerrno>
#include <csignal>
#include <sys/sendfile.h>
#endif

namespace {

// Qt stops taking bytes from the kernel once this much is unread, so a client
// that floods the server is held back by TCP rather than by server memory.
constexpr qint64 ReadBufferSize = 1 << 20;
// A file's next block is read from the store only when less than this is
// waiting to go out.
constexpr qint64 RefillBacklog = 1 << 20;
// Bytes of a stored file read and handed to the socket at once.
constexpr qint64 FileBlockSize = 1 << 20;
// What the kernel sends of a stored file in one pass of the event loop at
// most, and the piece that goes through the socket's buffer when the socket
// is full, so that it reports when there is room again.
constexpr qint64 DirectBurstSize = 8 << 20;
constexpr qint64 WakeBlockSize = 64 << 10;
// Requests are not read from a client that leaves this much of its answers
// unread.
constexpr qint64 ReadPauseBacklog = 8 << 20;
// How long the rest of a refused frame is read and discarded at most, waiting
// for the client to close, before the connection is cut.
constexpr int RefusalLingerMs = 5000;

} // namespace

ClientConnection::ClientConnection(QSslSocket *socket, ValueStore *store, qint64 maxFrameSize,
                                   qint64 maxFileSize, int number, QObject *parent)
    : QObject(parent), m_socket(socket), m_store(store),
      m_payloadLimit(maxFrameSize - BasicPackage::HeaderSize), m_maxFileSize(maxFileSize),
      m_number(number)
{
    m_socket->setParent(this);
    m_socket->setReadBufferSize(ReadBufferSize);
    m_peer =
        QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());
    m_decoder.setPayloadLimit(m_payloadLimit);
    m_decoder.setStreamFiles(true);
    connect(&m_decoder, &HeaderDecoder::fileChunk, this, &ClientConnection::onFileChunk);
    connect(&m_decoder, &HeaderDecoder::dataProcessed, this,
            [this](const BasicPackagePtr &package, qint64 dataSize, qint64) {
                onPackage(package, dataSize);
            });
    connect(&m_decoder, &HeaderDecoder::frameTooLarge, this,
            [this](int, int packageId, qint64 payloadSize) { refuse(packageId, payloadSize); });
    m_lingerTimer.setSingleShot(true);
    connect(&m_lingerTimer, &QTimer::timeout, this, [this] {
        drop(QStringLiteral("still sending %1 s after its request was refused")
                 .arg(RefusalLingerMs / 1000));
    });
    connect(m_socket, &QIODevice::readyRead, this, &ClientConnection::readIncoming);
    connect(m_socket, &QIODevice::bytesWritten, this, &ClientConnection::onBytesWritten);
    connect(m_socket, &QSslSocket::encryptedBytesWritten, this, &ClientConnection::onBytesWritten);
    connect(m_socket, &QAbstractSocket::disconnected, this, &ClientConnection::onDisconnected);
    connect(m_socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) {
                if (error != QAbstractSocket::RemoteHostClosedError)
                    qCWarning(lcServer).noquote()
                        << name() << "socket error:" << m_socket->errorString();
            });
    qCInfo(lcServer).noquote() << name() << "connected";
}

ClientConnection::~ClientConnection()
{
    releaseQueue();
}

void ClientConnection::releaseQueue()
{
    m_queue.clear();
}

QString ClientConnection::name() const
{
    QString text = QStringLiteral("client %1 (%2").arg(m_number).arg(m_peer);
    if (!m_program.isEmpty())
        text += QStringLiteral(", ") + m_program;
    return text + QLatin1Char(')');
}

void ClientConnection::setIdentified(const QString &program)
{
    m_identified = true;
    m_program = program;
}

void ClientConnection::setSubscribed(const QString &key, bool on)
{
    if (on)
        m_subscriptions.insert(key);
    else
        m_subscriptions.remove(key);
}

qint64 ClientConnection::backlog() const
{
    return m_socket->bytesToWrite() + m_socket->encryptedBytesToWrite();
}

void ClientConnection::send(const QByteArray &frame)
{
    if (m_closed || m_refused || m_ending)
        return;
    if (m_queue.isEmpty() && !m_held) {
        m_socket->write(frame);
        return;
    }
    m_queue.append({frame, {}, 0});
    if (m_held)
        m_heldBytes += frame.size();
}

void ClientConnection::sendBuffered()
{
    if (!m_closed && m_socket->bytesToWrite() > 0)
        m_socket->flush();
}

void ClientConnection::sendFile(const QByteArray &head, const QSharedPointer<StoredFile> &file)
{
    if (m_closed || m_refused || m_ending)
        return;
    m_queue.append({head, file, 0});
    writeOutgoing();
}

void ClientConnection::writeOutgoing()
{
    // A flush inside reports the bytes it wrote, which calls back here while
    // the first item is in hand; the loop below goes on with the rest.
    if (m_writing)
        return;
    const QScopedValueRollback<bool> writing(m_writing, true);
    while (!m_closed && !m_held && !m_queue.isEmpty() && backlog() < RefillBacklog) {
        Outgoing &item = m_queue.first();
        if (!item.bytes.isEmpty()) {
            m_socket->write(item.bytes);
            item.bytes.clear();
        } else if (item.file && item.offset < item.file->size()) {
            const Direct direct = item.direct ? sendDirectly(item) : Direct::Unsupported;
            if (direct == Direct::Sent)
                continue;
            if (direct == Direct::Paused || direct == Direct::Waiting)
                return;
            // The socket copies what it is given, so one block serves every
            // read. When the socket is full while the kernel sends the file
            // itself, only a small piece goes this way: it makes the socket
            // report when there is room again.
            item.direct = direct == Direct::Full;
            QString error;
            if (!item.file->read(item.offset, item.direct ? WakeBlockSize : FileBlockSize, &m_block,
                                 &error)) {
                // The frame's header already promised the whole content.
                drop(QStringLiteral("cannot send a stored file: ") + error);
                return;
            }
            m_socket->write(m_block);
            item.offset += m_block.size();
            if (item.direct)
                return;
        } else {
            m_queue.removeFirst();
        }
    }
}

ClientConnection::Direct ClientConnection::sendDirectly(Outgoing &item)
{
#ifdef Q_OS_LINUX
    // A plain connection takes a stored file straight from the page cache
    // (sendfile), without a read into memory and the socket's own copy; the
    // bytes before it must have left the socket's buffer first.
    const int fileHandle = item.file->handle();
    if (fileHandle < 0 || m_socket->isEncrypted())
        return Direct::Unsupported;
    // Unlike the socket's own sends, sendfile has no flag against SIGPIPE: a
    // peer gone meanwhile must fail the call, not end the process.
    static const bool pipeSignalIgnored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    Q_UNUSED(pipeSignalIgnored)
    if (m_socket->bytesToWrite() > 0) {
        m_socket->flush();
        if (m_socket->bytesToWrite() > 0)
            return Direct::Waiting;
    }
    qint64 burst = 0;
    while (item.offset < item.file->size()) {
        off_t offset = off_t(item.offset);
        const ssize_t sent =
            ::sendfile(int(m_socket->socketDescriptor()), fileHandle, &offset,
                       size_t(qMin(FileBlockSize, item.file->size() - item.offset)));
        if (sent < 0 && errno == EAGAIN)
            return Direct::Full;
        // A closed peer or a file system without sendfile: the buffered path
        // meets the one or works for the other.
        if (sent <= 0)
            return Direct::Unsupported;
        item.offset += sent;
        burst += sent;
        if (burst >= DirectBurstSize && item.offset < item.file->size()) {
            // Other connections' requests come in between.
            if (!m_continueQueued) {
                m_continueQueued = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        m_continueQueued = false;
                        writeOutgoing();
                    },
                    Qt::QueuedConnection);
            }
            return Direct::Paused;
        }
    }
    return Direct::Sent;
#else
    Q_UNUSED(item)
    return Direct::Unsupported;
#endif
}

void ClientConnection::onBytesWritten()
{
    writeOutgoing();
    if (m_refused)
        closeSendingWhenSent();
    // Reading may have paused for the backlog that has just shrunk.
    readIncoming();
}

void ClientConnection::readIncoming()
{
    // Handlers run inside processData and may send; the decoder must not be
    // entered again meanwhile. The outer loop picks up whatever is left.
    if (m_reading)
        return;
    m_reading = true;
    while (!m_closed && !m_ending && m_socket->bytesAvailable() > 0 &&
           backlog() + m_heldBytes < ReadPauseBacklog)
        // Only what has arrived: read(n) allocates n bytes before it looks.
        m_decoder.processData(m_socket->read(qMin(ReadBufferSize, m_socket->bytesAvailable())));
    m_reading = false;
}

void ClientConnection::onPackage(const BasicPackagePtr &package, qint64 dataSize)
{
    if (m_closed || m_refused || m_ending)
        return;
    if (!package || dataSize < 0) {
        drop(QStringLiteral("undecodable frame (unknown type code or negative size)"));
        return;
    }
    emit packageReceived(this, package);
}

void ClientConnection::onFileChunk(int packageId, qint64 payloadSize, qint64 offset,
                                   const QByteArray &chunk)
{
    if (m_closed || m_refused || m_ending)
        return;
    if (offset == 0) {
        startFile(packageId, payloadSize, chunk);
    } else if (m_incoming) {
        QString error;
        if (!m_incoming->write(chunk, &error))
            refuseFile(error);
    }
    if (offset + chunk.size() < payloadSize)
        return;
    const QSharedPointer<FilePackage> head = std::move(m_incomingHead);
    m_receivedFile = std::move(m_incoming);
    if (m_receivedFile)
        emit packageReceived(this, head);
    // Not taken by the handler: its temporary file goes.
    m_receivedFile.reset();
}

void ClientConnection::startFile(int packageId, qint64 payloadSize, const QByteArray &chunk)
{
    // Identifier and name come first, within the first chunk; the package
    // keeps what follows them, the start of the content.
    m_incomingHead = createPackage(BasicPackage::File, packageId, {new QByteArray(chunk)})
                         .staticCast<FilePackage>();
    const QByteArray first =
        m_incomingHead->chunks().isEmpty() ? QByteArray() : *m_incomingHead->chunks().first();
    QList<QByteArray *> none;
    m_incomingHead->setChunks(none);
    const qint64 size = payloadSize - (chunk.size() - first.size());
    if (size > m_maxFileSize) {
        refuseFile(
            QStringLiteral("File too large: %1 bytes, limit %2").arg(size).arg(m_maxFileSize));
        return;
    }
    QString error;
    m_incoming = m_store->receiveFile(size, &error);
    if (!m_incoming || !m_incoming->write(first, &error))
        refuseFile(error);
}

void ClientConnection::refuseFile(const QString &message)
{
    qCWarning(lcServer).noquote() << name() << "file refused:" << message;
    m_incoming.reset();
    send(FrameBytes::encode(
        ResponsePackage(m_incomingHead->packageId(), VdsProtocol::ResponseFailed, message)));
}

void ClientConnection::refuse(int packageId, qint64 payloadSize)
{
    if (m_closed || m_refused || m_ending)
        return;
    const QString message = QStringLiteral("Request too large: %1 bytes, limit %2")
                                .arg(payloadSize)
                                .arg(m_payloadLimit);
    qCWarning(lcServer).noquote() << name() << "refused:" << message;
    const bool midFile = !m_queue.isEmpty() && m_queue.first().bytes.isEmpty() &&
                         m_queue.first().file &&
                         m_queue.first().offset < m_queue.first().file->size();
    if (midFile) {
        // The answer cannot be put inside a file frame half sent.
        drop(QStringLiteral("refused while a file was being sent to it"));
        return;
    }
    // Queued behind the answers to earlier requests, in order.
    send(FrameBytes::encode(ResponsePackage(packageId, ResponsePackage::Failed, message)));
    m_refused = true;
    m_lingerTimer.start(RefusalLingerMs);
    closeSendingWhenSent();
}

void ClientConnection::closeSendingWhenSent()
{
    if (m_sendingClosed || m_closed || !m_queue.isEmpty())
        return;
    m_socket->flush();
    if (backlog() > 0)
        return;
    // The end of the stream tells the client at once that this connection
    // takes no more requests; it reads the refusal first.
    m_sendingClosed = true;
    ::shutdown(int(m_socket->socketDescriptor()), SHUT_WR);
}

void ClientConnection::drop(const QString &reason)
{
    if (m_closed || m_ending)
        return;
    if (m_held) {
        m_ending = true;
        m_endReason = reason;
        return;
    }
    qCWarning(lcServer).noquote() << name() << "dropped:" << reason;
    finish();
}

void ClientConnection::close()
{
    if (m_closed || m_ending)
        return;
    if (m_held) {
        m_ending = true;
        return;
    }
    qCInfo(lcServer).noquote() << name() << "closed by the server";
    finish();
}

void ClientConnection::hold()
{
    m_held = true;
}

void ClientConnection::release(bool deliver, const QString &reason)
{
    if (!m_held)
        return;
    m_held = false;
    m_heldBytes = 0;
    if (m_closed)
        return;
    if (!deliver) {
        // The answers may acknowledge what was never recorded.
        m_ending = false;
        releaseQueue();
        drop(reason);
        return;
    }
    writeOutgoing();
    if (m_ending) {
        m_ending = false;
        if (m_endReason.isEmpty())
            close();
        else
            drop(m_endReason);
        return;
    }
    if (m_refused)
        closeSendingWhenSent();
}

void ClientConnection::finish()
{
    m_closed = true;
    m_lingerTimer.stop();
    releaseQueue();
    // Answers to the requests before the fault still reach the client.
    m_socket->flush();
    m_socket->abort();
    emit closed(this);
}

void ClientConnection::onDisconnected()
{
    if (m_closed)
        return;
    m_closed = true;
    m_lingerTimer.stop();
    releaseQueue();
    qCInfo(lcServer).noquote() << name() << "disconnected";
    emit closed(this);
}
