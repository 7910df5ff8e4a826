#include "ThreadedClientHandler.h"

#include "Cache.h"
#include "PreProcessor.h"
#include "VdsProtocol.h"
#include "ztrace.h"

#include <QCoreApplication>
#include <QPoint>
#include <QThread>

#include <tuple>

namespace {

template <typename... Args>
int lastArgument(Args... args)
{
    return std::get<sizeof...(Args) - 1>(std::forward_as_tuple(args...));
}

} // namespace

ThreadedClientHandler::ThreadedClientHandler(const QString &host, int port)
{
    // Queued calls find their argument types by the names written in the
    // signatures, so these names must be known before the first request.
    qRegisterMetaType<QList<double>>("QList<double>");
    qRegisterMetaType<QList<qint32>>("QList<qint32>");
    qRegisterMetaType<QList<QPoint>>("QList<QPoint>");
    qRegisterMetaType<Identifier>("Identifier");

    m_clock.start();
    m_preProcessor = new PreProcessor(host, port);
    PreProcessor *pre = m_preProcessor;

    connect(this, &ThreadedClientHandler::establishConnection_signal, pre,
            &PreProcessor::establishConnection);
    connect(this, &ThreadedClientHandler::closeAll, pre, &PreProcessor::disconnectFromServer);

    // An entry left by an earlier request with the same id (a late answer, a
    // status message, which always uses id 1) must never end the new wait, so
    // it goes at emission, on the emitting thread, before the request is queued.
    discardStaleResultOn(&ThreadedClientHandler::getValue_signal);
    discardStaleResultOn(&ThreadedClientHandler::getFile_signal);
    discardStaleResultOn(&ThreadedClientHandler::getDataType_signal);
    discardStaleResultOn(&ThreadedClientHandler::setString_signal);
    discardStaleResultOn(&ThreadedClientHandler::setDouble_signal);
    discardStaleResultOn(&ThreadedClientHandler::setInt32_signal);
    discardStaleResultOn(&ThreadedClientHandler::setBool_signal);
    discardStaleResultOn(&ThreadedClientHandler::setStringList_signal);
    discardStaleResultOn(&ThreadedClientHandler::setDoubleList_signal);
    discardStaleResultOn(&ThreadedClientHandler::setInt32List_signal);
    discardStaleResultOn(&ThreadedClientHandler::setVariant_signal);
    discardStaleResultOn(&ThreadedClientHandler::setFile_signal);
    discardStaleResultOn(&ThreadedClientHandler::removeValue_signal);

    connect(this, &ThreadedClientHandler::getValue_signal, pre, &PreProcessor::getValue);
    connect(this, &ThreadedClientHandler::getFile_signal, pre, &PreProcessor::getFile);
    connect(this, &ThreadedClientHandler::getDataType_signal, pre, &PreProcessor::getDataType);
    connect(this, &ThreadedClientHandler::setString_signal, pre, &PreProcessor::setString);
    connect(this, &ThreadedClientHandler::setDouble_signal, pre, &PreProcessor::setDouble);
    connect(this, &ThreadedClientHandler::setInt32_signal, pre, &PreProcessor::setInt32);
    connect(this, &ThreadedClientHandler::setBool_signal, pre, &PreProcessor::setBool);
    connect(this, &ThreadedClientHandler::setStringList_signal, pre, &PreProcessor::setStringList);
    connect(this, &ThreadedClientHandler::setDoubleList_signal, pre, &PreProcessor::setDoubleList);
    connect(this, &ThreadedClientHandler::setInt32List_signal, pre, &PreProcessor::setInt32List);
    connect(this, &ThreadedClientHandler::setVariant_signal, pre, &PreProcessor::setVariant);
    connect(this, &ThreadedClientHandler::setFile_signal, pre, &PreProcessor::setFile);
    connect(this, &ThreadedClientHandler::setStatus_signal, pre, &PreProcessor::setStatus);
    connect(this, &ThreadedClientHandler::removeValue_signal, pre, &PreProcessor::removeValue);
    connect(this, &ThreadedClientHandler::sendCommand_signal, pre, &PreProcessor::sendCommand);
    connect(this, &ThreadedClientHandler::autoUpdate_signal, pre, &PreProcessor::autoUpdate);
    connect(pre, &PreProcessor::autoUpdateReceived, this,
            &ThreadedClientHandler::autoUpdateReceived);
    connect(pre, &PreProcessor::dataFinished, this, &ThreadedClientHandler::setDataReceived);

    // Without an application object no event loop would run in the worker;
    // every call then fails at once (hasApplication) and no thread is left.
    if (!QCoreApplication::instance())
        return;
    // The handler owns the worker thread outright (no self-deletion), so that
    // its destructor can wait for the thread and leave nothing behind.
    m_workerThread = new QThread;
    pre->moveToThread(m_workerThread);
    connect(pre, &QObject::destroyed, m_workerThread, &QThread::quit, Qt::DirectConnection);
    m_workerThread->start(QThread::InheritPriority);
}

ThreadedClientHandler::~ThreadedClientHandler()
{
    if (!m_workerThread) {
        delete m_preProcessor;
        return;
    }
    emit closeAll();
    // Queued behind the disconnect, so the worker closes the socket first.
    m_preProcessor->deleteLater();
    m_workerThread->wait();
    delete m_workerThread;
}

template <typename... Args>
void ThreadedClientHandler::discardStaleResultOn(void (ThreadedClientHandler::*signal)(Args...))
{
    connect(
        this, signal, this, [this](Args... args) { requestEmitted(lastArgument(args...)); },
        Qt::DirectConnection);
}

void ThreadedClientHandler::requestEmitted(int packageId)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_results.remove(packageId);
    }
    m_emittedAt.insert(packageId, m_clock.elapsed());
}

void ThreadedClientHandler::setDataReceived(int packageId, int finishCode)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results.insert(packageId, finishCode);
}

bool ThreadedClientHandler::startServer()
{
    QString error;
    if (PreProcessor::startServer(&error))
        return true;
    setLastError(error, VdsErrorServerNotStarted);
    return false;
}

bool ThreadedClientHandler::failConnection()
{
    VdsErrorCode code = VdsErrorNone;
    const QString error = m_preProcessor->lastError(&code);
    if (error.isEmpty())
        setLastError(QStringLiteral("No connection to server possible"), VdsErrorNoConnection);
    else
        setLastError(error, code);
    return false;
}

void ThreadedClientHandler::setLastError(const QString &text, VdsErrorCode code)
{
    m_lastError = text;
    m_lastErrorCode = code;
}

bool ThreadedClientHandler::hasApplication()
{
    if (QCoreApplication::instance())
        return true;
    setLastError(QStringLiteral("VelDataClient needs a QCoreApplication: create one (for "
                                "example in main()) before using the client"),
                 VdsErrorNoApplication);
    ZTRACE(1, "VDS: %s", m_lastError.toLocal8Bit().constData());
    return false;
}

int ThreadedClientHandler::waitForResult(int packageId, int timeoutMs, bool whileMoving)
{
    if (!hasApplication())
        return VdsProtocol::FinishNoConnection;
    if (!m_preProcessor->ensureConnection()) {
        failConnection();
        return VdsProtocol::FinishNoConnection;
    }
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_results.value(packageId, VdsProtocol::FinishTimedOut) !=
                VdsProtocol::FinishTimedOut)
                break;
        }
        if (timer.elapsed() >= timeoutMs &&
            (!whileMoving ||
             PreProcessor::steadyMs() - m_preProcessor->lastProgressMs() >= timeoutMs))
            break;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        // Not a sleep: the pass goes on at once when nothing else wants the
        // processor. With more busy callers than cores it lets the worker and
        // handler threads that carry the answers run.
        QThread::yieldCurrentThread();
    }
    int code;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        code = m_results.value(packageId, VdsProtocol::FinishTimedOut);
        if (code > 0)
            m_results.remove(packageId);
    }
    const qint64 emittedAt = m_emittedAt.take(packageId);
    if (code != VdsProtocol::FinishTimedOut)
        m_lastDuration = m_clock.elapsed() - emittedAt;
    if (code < 0) {
        VdsErrorCode kind = VdsErrorNone;
        const QString error = m_preProcessor->lastError(&kind);
        setLastError(error, kind);
    } else if (code == VdsProtocol::FinishTimedOut) {
        ZTRACE(1, "VDS: !!! TIMEOUT while waiting for data after %d", int(timer.elapsed()));
        setLastError(QStringLiteral("Timeout reached"), VdsErrorTimeout);
    } else if (code == VdsProtocol::FinishNotFound) {
        // Done, and no failure: the text stays that of the last failure.
        m_lastErrorCode = VdsErrorNotFound;
    }
    return code;
}

bool ThreadedClientHandler::getValue(const Identifier &ident, int packageId)
{
    if (!hasApplication())
        return false;
    const bool globals = ident.typeIndex() == VdsProtocol::GlobalsKind;
    if (m_preProcessor->socketState() == QAbstractSocket::ConnectedState) {
        if (globals || m_preProcessor->cache()->contains(ident))
            return true;
    }
    if (!m_preProcessor->ensureConnection())
        return failConnection();
    if (m_preProcessor->socketState() != QAbstractSocket::ConnectedState)
        establishConnection();
    // Globals are pushed by the server and read from the cache only.
    if (globals)
        return false;
    emit getValue_signal(ident, packageId);
    return waitForResult(packageId, VdsProtocol::RequestTimeoutMs) > 0;
}

int ThreadedClientHandler::getDataType(const Identifier &ident, int packageId)
{
    emit getDataType_signal(ident, packageId);
    waitForResult(packageId, VdsProtocol::RequestTimeoutMs);
    int type = VdsProtocol::DataTypeUnknown;
    m_preProcessor->readDataType(ident, &type);
    return type;
}

bool ThreadedClientHandler::getFile(const Identifier &ident, QString &fileName, int packageId)
{
    emit getFile_signal(ident, fileName, packageId);
    if (waitForResult(packageId, VdsProtocol::GetFileTimeoutMs, true) < 1)
        return false;
    QString error;
    if (m_preProcessor->readFile(ident, fileName, &error))
        return true;
    // Without a text the answer held no file, which is no failure of the call.
    if (!error.isEmpty())
        setLastError(QStringLiteral("Cannot save the file: ") + error, VdsErrorFile);
    return false;
}

bool ThreadedClientHandler::establishConnection()
{
    ZTRACE(4, "establishConnection()");
    if (!hasApplication())
        return false;
    const int attemptsBefore = m_preProcessor->connectAttempts();
    emit establishConnection_signal();
    QElapsedTimer timer;
    timer.start();
    const bool acknowledged =
        m_preProcessor->waitForInit(VdsProtocol::InitTimeoutMs, attemptsBefore);
    ZTRACE(4, "establishConnection(): Timer: %d", int(timer.elapsed()));
    if (!acknowledged)
        return true;
    ZTRACE(4, "establishConnection(): Init FINISHED");
    return true;
}
