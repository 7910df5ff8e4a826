#include "PreProcessor.h"

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "BoolPackage.h"
#include "Cache.h"
#include "CommandPackage.h"
#include "DoubleListPackage.h"
#include "DoublePackage.h"
#include "FileDownload.h"
#include "FilePackage.h"
#include "HeaderDecoder.h"
#include "IdentData.h"
#include "IdentifyPackage.h"
#include "IntListPackage.h"
#include "IntPackage.h"
#include "ListTypes.h"
#include "ResponsePackage.h"
#include "StatusAgentPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "VariantPackage.h"

#include "VdsProtocol.h"
#include "dezizudavo.h"
#include "hostprogram.h"
#include "vedezid.h"
#include "ztrace.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopedValueRollback>
#include <QSharedMemory>

#include <QSslCertificate>
#include <QSslSocket>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <limits>

#include <utility>

#ifndef Q_OS_WIN
#include <cerrno>
#include <csignal>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#endif
#ifdef Q_OS_LINUX
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

namespace {

constexpr int WriteWaitMs = 5000;
// The first poll comes at once, each further one an interval later.
constexpr int StartPollIntervalMs = 100;
constexpr int StartPolls = VdsProtocol::ServerStartWaitMs / StartPollIntervalMs + 1;

// Whether the last server this process started ended before it was ready;
// a connection that fails afterwards is then a server that could not start.
std::atomic<bool> startedServerEnded{false};

QByteArray local(const QString &text)
{
    return text.toLocal8Bit();
}

// How much of a file being sent may wait in the socket's buffer before the
// sending waits for it to drain.
constexpr qint64 FileSendBacklog = 4 << 20;

/// Writes `size` bytes of `file` to `socket` in pieces of 64 KiB, one write
/// each, letting the socket drain whenever more than FileSendBacklog wait in
/// it: the content is never held whole, neither read into memory nor copied
/// into the socket's buffer. Answers that arrive meanwhile are read as in any
/// other wait for the socket. Stops when the connection is lost or closing, or
/// when `answered` turns true (the server refused the frame before its end);
/// after one wait that ends without progress the rest is only buffered, as
/// any other request's bytes are, so that a stalled server costs one write
/// wait only. True when every byte was handed to the socket.
qint64 steadyNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// `progress` is stamped whenever the socket hands bytes on: the waiting
// caller times out a transfer only once it stands still.
bool streamFileContent(QSslSocket *socket, QFile &file, qint64 size, const bool &answered,
                       std::atomic<qint64> &progress)
{
    bool throttle = true;
    qint64 sent = 0;
    while (sent < size && !answered && socket->state() == QAbstractSocket::ConnectedState) {
        const int length = int(qMin<qint64>(HeaderDecoder::PACKAGE_CHUNK_SIZE, size - sent));
        QByteArray piece = file.read(length);
        // A file that shrank meanwhile: the head promised `size` bytes, and
        // zeros keep the stream in step.
        if (piece.size() < length)
            piece.append(QByteArray(length - piece.size(), '\0'));
        socket->write(piece);
        sent += length;
        while (throttle && !answered &&
               socket->bytesToWrite() + socket->encryptedBytesToWrite() > FileSendBacklog) {
            throttle = socket->waitForBytesWritten(WriteWaitMs);
            if (throttle)
                progress.store(steadyNowMs());
        }
    }
    return sent == size && !answered && socket->state() == QAbstractSocket::ConnectedState;
}

} // namespace

PreProcessor::PreProcessor(const QString &host, int port)
    : QObject(nullptr), host(host), port(port), socket(new QSslSocket(this)),
      decoder(new HeaderDecoder), m_cache(new Cache)
{
    encryption = getreg_LM_long_checked(
                     VdsProtocol::Settings::Group, VdsProtocol::Settings::Encryption, 0,
                     std::numeric_limits<int>::min(), std::numeric_limits<int>::max()) != 0;
    if (encryption) {
        ZTRACE(1, "VDS: Using VelDataClient with encryption! This is currently a experimental "
                  "feature!");
        socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    }
    // Hex in either case, with or without colons between the bytes.
    pinnedFingerprint =
        QByteArray::fromStdString(getreg_LM_string(VdsProtocol::Settings::Group,
                                                   VdsProtocol::Settings::ServerCertificateSha256,
                                                   "", nullptr))
            .replace(':', QByteArray())
            .trimmed()
            .toLower();
    connect(decoder, &HeaderDecoder::dataProcessed, this, &PreProcessor::dataProcessed);
    // A file answer goes to disk as it arrives instead of into memory.
    decoder->setStreamFiles(true);
    connect(decoder, &HeaderDecoder::fileChunk, this, &PreProcessor::fileChunk);

    // Connected once for the object's life: connecting on every attempt would
    // deliver each socket signal once more after every reconnect.
    connect(socket, &QIODevice::readyRead, this, &PreProcessor::onReadyRead);
    connect(socket, &QAbstractSocket::disconnected, this, &PreProcessor::connectionLost);
    connect(socket, &QSslSocket::encrypted, this, &PreProcessor::encrypted);
    // Also emitted inside the blocking waits of a file being sent.
    m_sendProbe = new QTimer(this);
    m_sendProbe->setInterval(250);
    connect(m_sendProbe, &QTimer::timeout, this, &PreProcessor::probeSendQueue);
    connect(socket, &QIODevice::bytesWritten, this, [this] { m_lastProgressMs.store(steadyMs()); });
    // Direct, so the copy other threads read is current as soon as the worker
    // thread's socket changes state, also inside its blocking waits.
    connect(
        socket, &QAbstractSocket::stateChanged, this,
        [this](QAbstractSocket::SocketState state) { m_socketState.store(state); },
        Qt::DirectConnection);
}

PreProcessor::~PreProcessor()
{
    // A connected socket aborts in its destructor and would otherwise call
    // back into this half-destroyed object.
    socket->disconnect(this);
    delete socket;
    delete decoder;
    delete m_cache;
}

bool PreProcessor::isServerReady()
{
#ifdef Q_OS_WIN
    QSharedMemory block(QLatin1String(VdsProtocol::ReadinessKey));
    if (!block.attach(QSharedMemory::ReadWrite))
        return false;
    block.detach();
    return true;
#else
    // The System V segment QSharedMemory makes for this name, looked at
    // directly: attaching through QSharedMemory takes its semaphore and costs
    // more than the rest of a request. Its key file lives in the temporary
    // folder, which a process does not change.
    static const QByteArray keyFile =
        QFile::encodeName(QSharedMemory(QLatin1String(VdsProtocol::ReadinessKey)).nativeKey());
    const key_t key = ::ftok(keyFile.constData(), 'Q');
    if (key == -1)
        return false;
    const int id = ::shmget(key, 0, 0);
    struct shmid_ds state = {};
    if (id == -1 || ::shmctl(id, IPC_STAT, &state) == -1)
        return false;
    if (state.shm_nattch > 0)
        return true;
    // Nobody attached: either the server is between creating and attaching
    // (not ready yet), or it died and left the block, which is removed as
    // QSharedMemory's last detach would have.
    if (::kill(state.shm_cpid, 0) == -1 && errno == ESRCH)
        ::shmctl(id, IPC_RMID, nullptr);
    return false;
#endif
}

bool PreProcessor::ensureConnection()
{
    if (isServerReady())
        return true;
    if (getreg_LM_long_checked(
            VdsProtocol::Settings::Group, VdsProtocol::Settings::StartServerOnRequest, 1,
            std::numeric_limits<int>::min(), std::numeric_limits<int>::max()) == 0) {
        ZTRACE(1,
               "VDS: ensureConnection: Server not running and client is not allowed to start it");
        setLastError(QStringLiteral("Not allowed to start VelDataServer"), VdsErrorNoConnection);
        return false;
    }
    if (qEnvironmentVariableIsSet("VELDATASERVER_AUTOSTART_DISABLE")) {
        ZTRACE(1, "VDS: VelDataServer autostart was disabled by VELDATASERVER_AUTOSTART_DISABLE");
        setLastError(
            QStringLiteral("Not allowed to start VelDataServer (VELDATASERVER_AUTOSTART_DISABLE)"),
            VdsErrorNoConnection);
        return false;
    }
    QString error;
    if (startServer(&error))
        return true;
    setLastError(error, VdsErrorServerNotStarted);
    return false;
}

bool PreProcessor::startServer(QString *error)
{
    if (isServerReady())
        return true;
    const QStringList folders = Dezizudavo_programFolders();
    const QString program = QLatin1String(VdsProtocol::ServerProgram);
    const QString path = Dezizudavo_locateProgram(program, folders);
    if (path.isEmpty()) {
        // Nothing to wait for: no poll would ever see a server come up.
        QStringList places;
        for (const QString &folder : folders)
            places.append(QDir::toNativeSeparators(folder));
        places.append(QStringLiteral("PATH"));
        const QString notFound = QStringLiteral("%1 not found (looked in: %2)")
                                     .arg(program, places.join(QStringLiteral(", ")));
        ZTRACE(1, "VDS: %s", local(notFound).constData());
        if (error)
            *error = notFound;
        return false;
    }
    ZTRACE(4, "VDS: Start %s by Client", local(QDir::toNativeSeparators(path)).constData());
    // The server outlives its starter: it must not hold the starter's
    // terminal or pipes open (a shell's $(...) would wait for it), and it
    // keeps its own log instead of writing into the starter's output.
    QProcess process;
    process.setProgram(path);
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        const QString notStarted = QStringLiteral("Cannot start VelDataServer (%1): %2")
                                       .arg(QDir::toNativeSeparators(path), process.errorString());
        ZTRACE(1, "VDS: %s", local(notStarted).constData());
        if (error)
            *error = notStarted;
        return false;
    }

    for (int attempt = 1; attempt <= StartPolls; ++attempt) {
        if (attempt > 1)
            QThread::msleep(StartPollIntervalMs);
        if (isServerReady()) {
            if (attempt < StartPolls)
                ZTRACE(5, "VDS: VelDataServer.exe successful started.");
            startedServerEnded.store(false);
            break;
        }
        // A server that gives way to another stays until that one is ready,
        // so one that has ended will not be ready: a damaged data folder, a
        // port in use. Polling on would only delay the caller's error.
        if (processHasEnded(pid)) {
            ZTRACE(1, "VDS: VelDataServer (pid %lld) ended during its start; its log tells why",
                   pid);
            startedServerEnded.store(true);
            break;
        }
    }
    return true;
}

bool PreProcessor::connectToServer(const QString &host, int port, int timeoutMs)
{
    if (socket->state() != QAbstractSocket::UnconnectedState)
        return true;
    if (!ensureConnection()) {
        ZTRACE(4, "VDS: VelDataServer is not running. Try to start it manually");
        return false;
    }

    ZTRACE(5, "VDS: Try to connect to the VelDataServer");
    if (encryption)
        socket->connectToHostEncrypted(host, quint16(port), QIODevice::ReadWrite,
                                       QAbstractSocket::AnyIPProtocol);
    else
        socket->connectToHost(host, quint16(port), QIODevice::ReadWrite,
                              QAbstractSocket::AnyIPProtocol);

    if (!socket->waitForConnected(timeoutMs)) {
        const QString error = socket->errorString();
        ZTRACE(1, "VDS: FAILED to connect to the VelDataServer: %s", local(error).constData());
        setLastError(QStringLiteral("FAILED to connect to the VelDataServer: ") + error,
                     startedServerEnded.load() ? VdsErrorServerNotStarted : VdsErrorNoConnection);
    } else {
        ZTRACE(5, "VDS: Connection SUCCSESSFUL");
        // A frame cut off by the previous connection's loss must not swallow
        // the first bytes of this one.
        decoder->reset();
        m_download.reset();
        if (peerMatchesPin() && m_sendInit.load())
            sendInitMessage();
    }

    if (socket->state() != QAbstractSocket::ConnectedState) {
        ZTRACE(1, "VDS: Socket still not connected. Something failed! (Ip: %s, Port : %d)",
               local(host).constData(), port);
        return false;
    }
    ZTRACE(5, "VDS: Socket is connected (Ip: %s, Port: %d)", local(host).constData(), port);
    return true;
}

bool PreProcessor::peerMatchesPin()
{
    if (pinnedFingerprint.isEmpty())
        return true;
    QString refusal;
    if (!encryption) {
        refusal = QStringLiteral("Server certificate fingerprint is set but encryption is off: "
                                 "refusing an unencrypted connection");
    } else if (!socket->waitForEncrypted(WriteWaitMs)) {
        refusal =
            QStringLiteral("TLS handshake with VelDataServer failed: ") + socket->errorString();
    } else {
        const QByteArray presented =
            socket->peerCertificate().digest(QCryptographicHash::Sha256).toHex();
        if (presented == pinnedFingerprint)
            return true;
        refusal = QStringLiteral("Server certificate fingerprint mismatch: expected %1, got %2")
                      .arg(QString::fromLatin1(pinnedFingerprint),
                           presented.isEmpty() ? QStringLiteral("no certificate")
                                               : QString::fromLatin1(presented));
    }
    ZTRACE(1, "VDS: %s", local(refusal).constData());
    setLastError(refusal, VdsErrorTlsRefused);
    socket->abort();
    return false;
}

bool PreProcessor::waitForInit(int timeoutMs, int attemptsBefore)
{
    std::unique_lock<std::mutex> lock(m_initMutex);
    m_initArrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        return !m_sendInit.load() || m_initFinished.load() || m_lastFailedAttempt > attemptsBefore;
    });
    return !m_sendInit.load() || m_initFinished.load();
}

int PreProcessor::connectAttempts() const
{
    const std::lock_guard<std::mutex> lock(m_initMutex);
    return m_attemptsEnded;
}

void PreProcessor::sendInitMessage()
{
    if (!m_sendInit.load())
        return;
    const QString program = hostProgramPath();
    ZTRACE(5, "VDS: Send INIT message to server: %s", local(program).constData());
    transmit(IdentifyPackage(0, program, true));
}

void PreProcessor::establishConnection()
{
    const bool connected = socket->state() == QAbstractSocket::ConnectedState ||
                           connectToServer(host, port, connectTimeout);
    const std::lock_guard<std::mutex> lock(m_initMutex);
    ++m_attemptsEnded;
    if (!connected)
        m_lastFailedAttempt = m_attemptsEnded;
    m_initArrived.notify_all();
}

void PreProcessor::disconnectFromServer()
{
    // A close the client makes itself (teardown, a refused certificate) is no
    // failure and stays below warning level.
    closeConnection(5);
}

void PreProcessor::closeConnection(int traceLevel)
{
    // close() below reports the loss once more through `disconnected`.
    if (closing)
        return;
    const QScopedValueRollback<bool> guard(closing, true);
    ZTRACE(traceLevel, "VDS: Connection to server closed: %s",
           local(socket->errorString()).constData());
    // Nobody waits on a connection closed on purpose; a loss has already
    // reported its requests.
    m_awaited.clear();
    m_fileFolders.clear();
    m_download.reset();
    m_cache->clear();
    socket->close();
}

void PreProcessor::connectionLost()
{
    if (closing)
        return;
    // What the server sent before it closed still counts: a refusal that
    // explains the close must reach its caller instead of the bare loss.
    onReadyRead();
    // Gone before the callers learn of the loss: nothing of a cut transfer
    // is left for them to find.
    m_download.reset();
    if (!m_awaited.isEmpty()) {
        setLastError(QStringLiteral("Connection to server closed: ") + socket->errorString(),
                     VdsErrorNoConnection);
        const QSet<int> lost = std::exchange(m_awaited, {});
        for (int id : lost)
            emit dataFinished(id, VdsProtocol::FinishNoConnection);
    }
    closeConnection(1);
}

qint64 PreProcessor::steadyMs()
{
    return steadyNowMs();
}

void PreProcessor::onReadyRead()
{
    m_lastProgressMs.store(steadyMs());
    while (socket->bytesAvailable() > 0) {
        const QByteArray bytes = socket->readAll();
        if (bytes.isEmpty())
            break;
        decoder->processData(bytes);
    }
}

void PreProcessor::encrypted()
{
    ZTRACE(5, "VDS: encrypted");
}

void PreProcessor::dataProcessed(BasicPackagePtr package, qint64, qint64)
{
    if (!package)
        return;
    const int id = package->packageId();

    if (const auto *response = dynamic_cast<const ResponsePackage *>(package.data())) {
        switch (response->responseCode()) {
        case ResponsePackage::Done:
        case ResponsePackage::Accepted:
            finish(id, VdsProtocol::FinishDone);
            return;
        case ResponsePackage::NotFound:
            finish(id, VdsProtocol::FinishNotFound);
            return;
        case ResponsePackage::Failed:
            setLastError(response->message(), VdsErrorServerRefused);
            finish(id, VdsProtocol::FinishFailed);
            return;
        case ResponsePackage::InitAcknowledged: {
            // Under the mutex, so a waiter between its check and its wait
            // cannot miss the wake-up.
            const std::lock_guard<std::mutex> lock(m_initMutex);
            m_initFinished.store(true);
            m_initArrived.notify_all();
            break;
        }
        default:
            break;
        }
    }

    if (const auto *command = dynamic_cast<const CommandPackage *>(package.data())) {
        if (command->command().toLower() == QLatin1String(VdsProtocol::ClearCacheCommand))
            m_cache->clear();
    }

    const auto *data = dynamic_cast<const DataPackage *>(package.data());
    if (!data)
        return;
    const Identifier ident(data->ident() ? data->ident()->clone() : nullptr);

    const auto *update = dynamic_cast<const AutoUpdatePackage *>(data);
    if (update && update->mode() == AutoUpdatePackage::Changed) {
        ZTRACE(5, "VDS: Delete %s from cache", local(ident.description()).constData());
        m_cache->remove(ident);
        emit autoUpdateReceived(ident);
        return;
    }

    m_cache->insert(ident, package);
    finish(id, VdsProtocol::FinishDone);
}

void PreProcessor::fileChunk(int packageId, qint64 payloadSize, qint64 offset,
                             const QByteArray &chunk)
{
    if (offset == 0)
        m_download = QSharedPointer<FileDownload>::create(packageId, m_fileFolders.take(packageId));
    if (!m_download)
        return;
    m_download->append(chunk);
    if (offset + chunk.size() < payloadSize)
        return;
    const QSharedPointer<FileDownload> download = std::exchange(m_download, {});
    dataProcessed(download->finish(), payloadSize, 0);
}

void PreProcessor::finish(int packageId, int resultCode)
{
    m_awaited.remove(packageId);
    m_fileFolders.remove(packageId);
    if (packageId == m_streamingId)
        m_streamAnswered = true;
    emit dataFinished(packageId, resultCode);
}

bool PreProcessor::connectedFor(int packageId)
{
    // The server has begun to close this connection and would never answer
    // on it: it is let go now (reporting what still waits on it), and a new
    // one carries the request.
    const QAbstractSocket::SocketState state = socket->state();
    if (state == QAbstractSocket::ClosingState ||
        (state == QAbstractSocket::ConnectedState && peerHasClosed())) {
        onReadyRead();
        socket->abort();
    }
    if (socket->state() == QAbstractSocket::ConnectedState ||
        connectToServer(host, port, connectTimeout))
        return true;
    finish(packageId, VdsProtocol::FinishNoConnection);
    return false;
}

// Whether the server has closed its side of the connection although the
// socket has not noticed yet: its end of stream, which follows a refusal at
// once, waits behind the request that is about to be written on it.
bool PreProcessor::peerHasClosed() const
{
#ifdef Q_OS_WIN
    return false;
#else
    const qintptr descriptor = socket->socketDescriptor();
    char byte = 0;
    return descriptor >= 0 && ::recv(int(descriptor), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
#endif
}

void PreProcessor::transmit(const BasicPackage &package)
{
    package.write(socket, 0);
    // Straight to the kernel when it takes the request, which it nearly
    // always does: the wait below then has nothing left to poll for.
    socket->flush();
    socket->waitForBytesWritten(WriteWaitMs);
}

void PreProcessor::transmitAwaited(const BasicPackage &package)
{
    // Recorded before the write, which may already notice the loss.
    m_awaited.insert(package.packageId());
    transmit(package);
}

void PreProcessor::getDataType(const Identifier &ident, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(ActionPackage(packageId, ident.cloneData(), ActionPackage::Get));
}

void PreProcessor::getValue(const Identifier &ident, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(ActionPackage(packageId, ident.cloneData(), ActionPackage::Get));
}

void PreProcessor::getFile(const Identifier &ident, const QString &fileName, int packageId)
{
    if (!connectedFor(packageId))
        return;
    // The answer's content is written beside its destination as it arrives;
    // readFile moves it into place.
    m_fileFolders.insert(packageId, fileName);
    transmitAwaited(ActionPackage(packageId, ident.cloneData(), ActionPackage::Get));
}

void PreProcessor::removeValue(const Identifier &ident, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(ActionPackage(packageId, ident.cloneData(), ActionPackage::Remove));
}

void PreProcessor::setString(const Identifier &ident, const QString &value, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(StringPackage(packageId, ident.cloneData(), value));
}

void PreProcessor::setDouble(const Identifier &ident, double value, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(DoublePackage(packageId, ident.cloneData(), value));
}

void PreProcessor::setInt32(const Identifier &ident, int value, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(IntPackage(packageId, ident.cloneData(), value));
}

void PreProcessor::setBool(const Identifier &ident, bool value, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(BoolPackage(packageId, ident.cloneData(), value));
}

void PreProcessor::setStringList(const Identifier &ident, const QStringList &value, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(StringListPackage(packageId, ident.cloneData(), value));
}

void PreProcessor::setDoubleList(const Identifier &ident, const QList<double> &value, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(DoubleListPackage(packageId, ident.cloneData(), value));
}

void PreProcessor::setInt32List(const Identifier &ident, const QList<qint32> &value, int packageId)
{
    if (connectedFor(packageId))
        transmitAwaited(IntListPackage(packageId, ident.cloneData(), value));
}

void PreProcessor::setVariant(const Identifier &ident, const QVariant &value, int packageId)
{
    if (!connectedFor(packageId))
        return;
    // A variant holding a list can only be streamed once its operators are known.
    ListTypes::registerStreamOperators();
    transmitAwaited(VariantPackage(packageId, ident.cloneData(), value));
}

void PreProcessor::setFile(const Identifier &ident, const QString &fileName, int packageId)
{
    if (!connectedFor(packageId))
        return;
    // A file that cannot be opened reads as empty: the name goes out all the same.
    QFile file(fileName);
    file.open(QIODevice::ReadOnly);
    const QString name = QFileInfo(fileName).fileName();
    if (file.isOpen() && !file.isSequential()) {
        // The frame head announces the size; the content follows as it is read.
        const qint64 size = file.size();
        m_awaited.insert(packageId);
        m_streamingId = packageId;
        m_streamAnswered = false;
        m_lastProgressMs.store(steadyMs());
        FilePackage(packageId, ident.cloneData(), name, {}).write(socket, size);
        const bool whole =
            streamFileContent(socket, file, size, m_streamAnswered, m_lastProgressMs);
        m_streamingId = -1;
        file.close();
        if (whole) {
            if (socket->waitForBytesWritten(WriteWaitMs))
                m_lastProgressMs.store(steadyMs());
            m_kernelQueued = -1;
            m_sendProbe->start();
        } else if (socket->state() != QAbstractSocket::UnconnectedState) {
            // A frame cut short can never be finished, and the server reads
            // any later byte as part of it: this connection is done.
            socket->abort();
        }
        return;
    }
    // A pipe or the like tells its size only at its end: collected first.
    QList<QByteArray *> chunks;
    while (!file.atEnd()) {
        const QByteArray piece = file.read(HeaderDecoder::PACKAGE_CHUNK_SIZE);
        if (piece.isEmpty())
            break;
        chunks.append(new QByteArray(piece));
    }
    file.close();
    transmitAwaited(FilePackage(packageId, ident.cloneData(), name, chunks));
}

void PreProcessor::probeSendQueue()
{
#ifdef Q_OS_LINUX
    int queued = 0;
    if (socket->state() != QAbstractSocket::ConnectedState ||
        ::ioctl(int(socket->socketDescriptor()), SIOCOUTQ, &queued) != 0) {
        m_sendProbe->stop();
        return;
    }
    if (queued != m_kernelQueued) {
        m_kernelQueued = queued;
        m_lastProgressMs.store(steadyMs());
    }
    if (queued == 0 && socket->bytesToWrite() == 0)
        m_sendProbe->stop();
#else
    m_sendProbe->stop();
#endif
}

void PreProcessor::setStatus(const QString &value, int id)
{
    ZTRACE(5, "setStatus: %s, %d", local(value).constData(), id);
    if (connectedFor(id))
        transmit(StatusAgentPackage(id, value));
}

void PreProcessor::sendCommand(const QString &cmd, const QStringList &params, int id)
{
    if (connectedFor(id))
        transmit(CommandPackage(id, cmd, params));
}

void PreProcessor::autoUpdate(const Identifier &ident, bool enable, int packageId)
{
    if (connectedFor(packageId))
        transmit(AutoUpdatePackage(packageId, ident.cloneData(),
                                   enable ? AutoUpdatePackage::On : AutoUpdatePackage::Off));
}

template <typename Convert>
bool PreProcessor::take(const Identifier &ident, Convert convert)
{
    const BasicPackagePtr package = m_cache->get(ident);
    if (!package || !convert(package.data()))
        return false;
    // Globals are served from the cache until the server invalidates them.
    if (ident.typeIndex() != VdsProtocol::GlobalsKind)
        m_cache->remove(ident);
    return true;
}

namespace {

/// The value of a cached `Exact` package, or a variant's conversion through
/// `fromVariant` (which says whether it worked); false for any other package.
template <typename Exact, typename T, typename FromVariant>
bool convertValue(const BasicPackage *package, T *value, FromVariant fromVariant)
{
    if (const auto *exact = dynamic_cast<const Exact *>(package)) {
        *value = exact->typedValue();
        return true;
    }
    if (const auto *variant = dynamic_cast<const VariantPackage *>(package))
        return fromVariant(variant->typedValue(), value);
    return false;
}

template <typename Exact, typename T>
bool convertExact(const BasicPackage *package, T *value)
{
    return convertValue<Exact>(package, value, [](const QVariant &, T *) { return false; });
}

// Text conversions of a variant never fail; a number that does not convert
// leaves the output and the cache entry alone.
template <typename T, T (QVariant::*toText)() const>
bool textFromVariant(const QVariant &variant, T *value)
{
    *value = (variant.*toText)();
    return true;
}

template <typename T, T (QVariant::*toNumber)(bool *) const>
bool numberFromVariant(const QVariant &variant, T *value)
{
    bool ok = false;
    const T number = (variant.*toNumber)(&ok);
    if (ok)
        *value = number;
    return ok;
}

} // namespace

bool PreProcessor::readString(const Identifier &ident, QString *value)
{
    return take(ident, [value](const BasicPackage *package) {
        return convertValue<StringPackage>(package, value,
                                           textFromVariant<QString, &QVariant::toString>);
    });
}

bool PreProcessor::readDouble(const Identifier &ident, double *value)
{
    return take(ident, [value](const BasicPackage *package) {
        return convertValue<DoublePackage>(package, value,
                                           numberFromVariant<double, &QVariant::toDouble>);
    });
}

bool PreProcessor::readInt32(const Identifier &ident, int *value)
{
    return take(ident, [value](const BasicPackage *package) {
        return convertValue<IntPackage>(package, value, numberFromVariant<int, &QVariant::toInt>);
    });
}

bool PreProcessor::readBool(const Identifier &ident, bool *value)
{
    return take(ident, [value](const BasicPackage *package) {
        return convertExact<BoolPackage>(package, value);
    });
}

bool PreProcessor::readStringList(const Identifier &ident, QStringList *value)
{
    return take(ident, [value](const BasicPackage *package) {
        return convertValue<StringListPackage>(
            package, value, textFromVariant<QStringList, &QVariant::toStringList>);
    });
}

bool PreProcessor::readDoubleList(const Identifier &ident, QList<double> *value)
{
    return take(ident, [value](const BasicPackage *package) {
        return convertExact<DoubleListPackage>(package, value);
    });
}

bool PreProcessor::readInt32List(const Identifier &ident, QList<qint32> *value)
{
    return take(ident, [value](const BasicPackage *package) {
        return convertExact<IntListPackage>(package, value);
    });
}

bool PreProcessor::readVariant(const Identifier &ident, QVariant *value)
{
    return take(ident, [value](const BasicPackage *package) {
        const auto *data = dynamic_cast<const DataPackage *>(package);
        if (!data)
            return false;
        *value = data->value();
        return true;
    });
}

bool PreProcessor::readDataType(const Identifier &ident, int *type)
{
    return take(ident, [type](const BasicPackage *package) {
        if (!dynamic_cast<const DataPackage *>(package))
            return false;
        const int code = package->type();
        *type = code >= BasicPackage::String && code <= BasicPackage::Variant
                    ? code - BasicPackage::String + VdsProtocol::DataTypeFirst
                    : VdsProtocol::DataTypeUnknown;
        return true;
    });
}

bool PreProcessor::readFile(const Identifier &ident, const QString &directory, QString *error)
{
    return take(ident, [&directory, error](const BasicPackage *package) {
        const auto *file = dynamic_cast<const FilePackage *>(package);
        return file && file->save(directory, error);
    });
}

QString PreProcessor::lastError(VdsErrorCode *code) const
{
    std::lock_guard<std::mutex> lock(m_errorMutex);
    if (code)
        *code = m_lastErrorCode;
    // A deep copy: the text's reference count is then never shared between
    // the worker thread and a reader, so no thread frees what another one
    // still counts (which ThreadSanitizer could not follow into Qt either).
    return QString(m_lastError.constData(), m_lastError.size());
}

void PreProcessor::setLastError(const QString &text, VdsErrorCode code)
{
    std::lock_guard<std::mutex> lock(m_errorMutex);
    m_lastError = text;
    m_lastErrorCode = code;
}
