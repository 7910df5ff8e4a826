#ifndef PREPROCESSOR_H
#define PREPROCESSOR_H

#include "BasicPackage.h"
#include "Identifier.h"
#include "VdsTypes.h"

#include <QAbstractSocket>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <atomic>
#include <condition_variable>
#include <mutex>

class Cache;
class FileDownload;
class HeaderDecoder;
class QSslSocket;
class QTimer;

/// Owns a client's one connection to VelDataServer and everything that happens
/// on it. It is created on the application thread and then lives on a worker
/// thread of its own: there it connects on demand (starting the server when it
/// may), announces the host program with INIT after every connect, turns each
/// request slot into one package on the socket, and handles every received
/// package: request outcomes become dataFinished codes, values go into the
/// cache, change notifications and the cache-clearing command take effect.
/// The application thread takes received values out of the cache with the
/// typed readers once its wait has ended, and may ask for the last error, the
/// INIT flags and the socket state at any time; those are kept in atomics or
/// under a lock so that asking never touches the socket.
///
/// A connection lost under waiting requests ends them at once: every request
/// written on it and not yet answered gets FinishNoConnection, with the reason in
/// the last error, so that no caller mistakes a dead server for a slow one.
/// Only a loss does that; the client's own disconnect reports nothing.
class PreProcessor : public QObject
{
    Q_OBJECT

public:
    PreProcessor(const QString &host, int port);
    ~PreProcessor() override;

    /// One connection attempt; true when the socket is connected (or already
    /// on its way). Worker thread only.
    bool connectToServer(const QString &host, int port, int timeoutMs);
    /// Announces the running program to the server.
    void sendInitMessage();
    /// True when the server is ready or may be (and now has been) started.
    bool ensureConnection();
    /// Whether the server's readiness block exists.
    static bool isServerReady();
    /// Starts the server program unless it is ready and waits for readiness.
    /// False, with `error` set, when there is no server program to start or
    /// it cannot be started; true otherwise, also when the wait ran out.
    static bool startServer(QString *error = nullptr);

    // Take a received value out of the cache: false when there is none or it
    // does not convert. Entries of globals identifiers stay for later reads.
    bool readString(const Identifier &ident, QString *value);
    bool readDouble(const Identifier &ident, double *value);
    bool readInt32(const Identifier &ident, int *value);
    bool readBool(const Identifier &ident, bool *value);
    bool readStringList(const Identifier &ident, QStringList *value);
    bool readDoubleList(const Identifier &ident, QList<double> *value);
    bool readInt32List(const Identifier &ident, QList<qint32> *value);
    bool readVariant(const Identifier &ident, QVariant *value);
    bool readDataType(const Identifier &ident, int *type);
    /// Saves a cached file into `directory`; when that fails, `error` (if
    /// given) says why, and stays untouched when there is no file to save.
    bool readFile(const Identifier &ident, const QString &directory, QString *error = nullptr);

    /// The text of the last failure; `code`, when given, receives its kind,
    /// read under the same lock so that the two always belong together.
    QString lastError(VdsErrorCode *code = nullptr) const;
    bool sendInit() const { return m_sendInit.load(); }
    bool initFinished() const { return m_initFinished.load(); }
    /// Blocks the calling thread (no event processing) until the server has
    /// acknowledged INIT, or no INIT is sent, or `timeoutMs` passed; true in
    /// the first two cases. Wakes at once when the acknowledgement arrives,
    /// and when a connection attempt ends without a connection after
    /// `attemptsBefore` (connectAttempts() before the attempt was asked for):
    /// no answer can come then.
    bool waitForInit(int timeoutMs, int attemptsBefore);
    /// How many of establishConnection()'s attempts have ended.
    int connectAttempts() const;
    /// When bytes last moved on the connection, either way, in milliseconds
    /// of the steady clock (steadyMs); a transfer that still moves is alive.
    qint64 lastProgressMs() const { return m_lastProgressMs.load(); }
    static qint64 steadyMs();
    QAbstractSocket::SocketState socketState() const { return m_socketState.load(); }
    Cache *cache() const { return m_cache; }

signals:
    void dataFinished(int id, int resultCode);
    void autoUpdateReceived(const Identifier &ident);

public slots:
    void onReadyRead();
    void encrypted();
    void establishConnection();
    void disconnectFromServer();
    void dataProcessed(BasicPackagePtr package, qint64 dataSize, qint64 elapsedTime);
    void fileChunk(int packageId, qint64 payloadSize, qint64 offset, const QByteArray &chunk);
    void getDataType(const Identifier &ident, int packageId);
    void getValue(const Identifier &ident, int packageId);
    void setString(const Identifier &ident, const QString &value, int packageId);
    void setDouble(const Identifier &ident, double value, int packageId);
    void setInt32(const Identifier &ident, int value, int packageId);
    void setBool(const Identifier &ident, bool value, int packageId);
    void setStringList(const Identifier &ident, const QStringList &value, int packageId);
    void setDoubleList(const Identifier &ident, const QList<double> &value, int packageId);
    void setInt32List(const Identifier &ident, const QList<qint32> &value, int packageId);
    void setVariant(const Identifier &ident, const QVariant &value, int packageId);
    void getFile(const Identifier &ident, const QString &fileName, int packageId);
    void setFile(const Identifier &ident, const QString &fileName, int packageId);
    void setStatus(const QString &value, int id);
    void removeValue(const Identifier &ident, int packageId);
    void sendCommand(const QString &cmd, const QStringList &params, int id);
    void autoUpdate(const Identifier &ident, bool enable, int packageId);

private:
    void setLastError(const QString &text, VdsErrorCode code);
    /// The socket's disconnected: a loss unless this object closed it itself.
    void connectionLost();
    /// Closes the socket and forgets what was awaited and cached; the close is
    /// traced at `traceLevel` (1 for a loss, higher for a close on purpose).
    void closeConnection(int traceLevel);
    /// Reports `resultCode` for `packageId`, which is then no longer awaited.
    void finish(int packageId, int resultCode);
    /// With a pinned certificate fingerprint: waits for the TLS handshake and
    /// compares the server certificate's SHA-256 digest with the pin; on a
    /// mismatch (or no TLS at all) sets lastError and aborts the connection,
    /// so nothing is ever written to that peer. True when nothing is pinned.
    bool peerMatchesPin();
    /// Connects when needed; on failure reports FinishNoConnection for
    /// `packageId`.
    bool connectedFor(int packageId);
    bool peerHasClosed() const;
    void probeSendQueue();
    void transmit(const BasicPackage &package);
    /// Transmits a request whose caller waits for its answer.
    void transmitAwaited(const BasicPackage &package);
    /// Runs `convert` on the cached package of `ident` and consumes the entry
    /// when it succeeds.
    template <typename Convert>
    bool take(const Identifier &ident, Convert convert);

    const QString host;
    const int port;
    const int connectTimeout = 2000;
    QSslSocket *socket;
    HeaderDecoder *decoder;
    Cache *m_cache;
    mutable std::mutex m_errorMutex; // visible to ThreadSanitizer, unlike QMutex
    QString m_lastError;
    VdsErrorCode m_lastErrorCode = VdsErrorNone;
    std::atomic<bool> m_sendInit{true};
    std::atomic<bool> m_initFinished{false};
    std::atomic<qint64> m_lastProgressMs{0};
    /// While a file is sent: watches the bytes the kernel still holds for
    /// the server, which move without a bytesWritten from the socket.
    QTimer *m_sendProbe = nullptr;
    int m_kernelQueued = -1;
    mutable std::mutex m_initMutex;
    std::condition_variable m_initArrived;
    // Under m_initMutex: attempts ended, and the number of the last one that
    // ended without a connection.
    int m_attemptsEnded = 0;
    int m_lastFailedAttempt = 0;
    std::atomic<QAbstractSocket::SocketState> m_socketState{QAbstractSocket::UnconnectedState};
    bool encryption = false;
    /// SHA-256 of the certificate the server must present, lower-case hex;
    /// empty when the certificate is not checked.
    QByteArray pinnedFingerprint;
    bool closing = false; // worker thread only
    // Worker thread only: the waited requests written on the current
    // connection and not answered yet, and the one whose file is streaming.
    QSet<int> m_awaited;
    int m_streamingId = -1;
    bool m_streamAnswered = false;
    // Worker thread only: the folder each waiting getFile saves into, and
    // the file frame being received.
    QHash<int, QString> m_fileFolders;
    QSharedPointer<FileDownload> m_download;
};

#endif // PREPROCESSOR_H
