#ifndef THREADEDCLIENTHANDLER_H
#define THREADEDCLIENTHANDLER_H

#include "Identifier.h"
#include "VdsTypes.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QVariant>

#include <mutex>

class PreProcessor;
class QThread;

/// Gives the client object a synchronous interface to the connection, which
/// lives on a worker thread. A request leaves as a queued signal carrying a
/// package id; the caller then waits, with a time limit and its own events
/// turning, until the worker reports a finish code for that id. Finish codes
/// land in the result table on the handler's own thread; values land in the
/// connection's cache, from which the caller reads them after its wait.
///
/// The finish codes are VdsProtocol::FinishCode's. Each failure leaves a text
/// and its kind (VdsErrorCode) side by side.
class ThreadedClientHandler : public QObject
{
    Q_OBJECT

public:
    ThreadedClientHandler(const QString &host, int port);
    /// Runs on the handler thread: disconnects, deletes the worker object on
    /// its thread and waits for that thread to end.
    ~ThreadedClientHandler() override;

    bool establishConnection();
    /// Starts the server unless it is ready; lastError() tells why not.
    bool startServer();
    bool getValue(const Identifier &ident, int packageId);
    int getDataType(const Identifier &ident, int packageId);
    bool getFile(const Identifier &ident, QString &fileName, int packageId);
    /// With `whileMoving`, the limit counts from the last bytes moved on the
    /// connection instead of from the start: a long transfer that keeps
    /// moving is not timed out, a silent one is.
    int waitForResult(int packageId, int timeoutMs, bool whileMoving = false);

    QString lastError() const { return m_lastError; }
    VdsErrorCode lastErrorCode() const { return m_lastErrorCode; }
    /// For what the client object itself refuses, without a text of its own.
    void setLastErrorCode(VdsErrorCode code) { m_lastErrorCode = code; }
    qint64 lastDuration() const { return m_lastDuration; }
    PreProcessor *preProcessor() const { return m_preProcessor; }

signals:
    void establishConnection_signal();
    void getDataType_signal(const Identifier &ident, int packageId);
    void getValue_signal(const Identifier &ident, int packageId);
    void getFile_signal(const Identifier &ident, const QString &fileName, int packageId);
    void setString_signal(const Identifier &ident, const QString &value, int packageId);
    void setDouble_signal(const Identifier &ident, double value, int packageId);
    void setInt32_signal(const Identifier &ident, int value, int packageId);
    void setBool_signal(const Identifier &ident, bool value, int packageId);
    void setStringList_signal(const Identifier &ident, const QStringList &value, int packageId);
    void setDoubleList_signal(const Identifier &ident, const QList<double> &value, int packageId);
    void setInt32List_signal(const Identifier &ident, const QList<qint32> &value, int packageId);
    void setVariant_signal(const Identifier &ident, const QVariant &value, int packageId);
    void setFile_signal(const Identifier &ident, const QString &fileName, int packageId);
    void removeValue_signal(const Identifier &ident, int packageId);
    void sendCommand_signal(const QString &cmd, const QStringList &params, int id);
    void autoUpdate_signal(const Identifier &ident, bool enable, int packageId);
    void setStatus_signal(const QString &value, int packageId);
    void closeAll();
    void autoUpdateReceived(const Identifier &ident);

protected slots:
    void setDataReceived(int packageId, int finishCode);

private:
    template <typename... Args>
    void discardStaleResultOn(void (ThreadedClientHandler::*signal)(Args...));
    void requestEmitted(int packageId);
    bool failConnection();
    void setLastError(const QString &text, VdsErrorCode code);
    /// False, with lastError saying so, when the process has no
    /// QCoreApplication: nothing could carry a request.
    bool hasApplication();

    PreProcessor *m_preProcessor = nullptr;
    QThread *m_workerThread = nullptr;
    // A standard mutex rather than QMutex: ThreadSanitizer sees through it,
    // so the stress test of this table runs clean without suppressions.
    std::mutex m_mutex;
    qint64 m_lastDuration = 0;
    QMap<int, int> m_results;
    QString m_lastError;
    VdsErrorCode m_lastErrorCode = VdsErrorNone;
    // When each waited request left, to measure getLastDuration; touched only
    // on the application thread.
    QElapsedTimer m_clock;
    QHash<int, qint64> m_emittedAt;
};

#endif // THREADEDCLIENTHANDLER_H
