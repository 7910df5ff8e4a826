#include "VelDataClient.h"

#include "IdentDataGlobals.h"
#include "IdentDataRuntime.h"
#include "Identifier.h"
#include "ListTypes.h"
#include "PreProcessor.h"
#include "ThreadedClientHandler.h"
#include "VdsProtocol.h"
#include "VelDataClientPrivate.h"
#include "vedezid.h"
#include "ztrace.h"

#include <QCoreApplication>
#include <QThread>

#include <utility>

namespace {

Identifier runtime(const QString &key, const QString &uuid)
{
    return Identifier(new IdentDataRuntime(key, uuid));
}

Identifier globals(const QString &key)
{
    return Identifier(new IdentDataGlobals(key));
}

Identifier ofKind(VDS_IDENT_CONSTS kind, const QString &key)
{
    Identifier ident;
    ident.setFromConst(kind, key);
    return ident;
}

} // namespace

VelDataClient::VelDataClient() : d(new VelDataClientPrivate(this))
{
    ZTRACE(5, "VDS: VelDataClient constructor");
}

VelDataClient::~VelDataClient()
{
    if (m_handler && !d->handlerThread) {
        delete m_handler;
    } else if (m_handler) {
        // The handler belongs to its own thread, where answers are recorded;
        // it is deleted there, and that thread ends once it is gone.
        m_handler->deleteLater();
        d->handlerThread->wait();
        delete d->handlerThread;
    }
    delete d;
}

ThreadedClientHandler *VelDataClient::handler()
{
    if (m_handler)
        return m_handler;
    // Received variants holding lists can only be read once these are known,
    // also in a process that never sends one.
    ListTypes::registerStreamOperators();
    getreg_LM_warnUnknown(VdsProtocol::Settings::Group, VdsProtocol::Settings::all());
    const int port =
        int(getreg_LM_long_checked(VdsProtocol::Settings::Group, VdsProtocol::Settings::ServerPort,
                                   VdsProtocol::Settings::DefaultServerPort, 1, 65535));
    m_handler = new ThreadedClientHandler(QStringLiteral("localhost"), port);
    if (d->codeBeforeHandler != VdsErrorNone)
        m_handler->setLastErrorCode(d->codeBeforeHandler);
    // Without an application object no event loop would carry a request or
    // end the thread; the handler then fails every call at once instead.
    if (!QCoreApplication::instance())
        return m_handler;
    d->handlerThread = new QThread;
    m_handler->moveToThread(d->handlerThread);
    connect(m_handler, &QObject::destroyed, d->handlerThread, &QThread::quit, Qt::DirectConnection);
    // Queued to this client's thread: the callback runs in its event loop.
    connect(m_handler, &ThreadedClientHandler::autoUpdateReceived, this,
            [this](const Identifier &ident) { d->deliverAutoUpdate(ident); });
    d->handlerThread->start(QThread::InheritPriority);
    return m_handler;
}

void VelDataClient::setAutoUpdateCallback(AutoUpdateCallback callback)
{
    d->autoUpdateCallback = std::move(callback);
}

bool VelDataClient::establishConnection()
{
    return handler()->establishConnection();
}

bool VelDataClient::startServer()
{
    return handler()->startServer();
}

void VelDataClient::setStatus(const QString &value)
{
    ZTRACE(5, "VDS: setStatus(%s)", value.toLocal8Bit().constData());
    emit handler()->setStatus_signal(value, 1);
}

qint64 VelDataClient::getLastDuration()
{
    return handler()->lastDuration();
}

QString VelDataClient::lastError()
{
    return handler()->lastError();
}

VdsErrorCode VelDataClient::lastErrorCode() const
{
    return m_handler ? m_handler->lastErrorCode() : d->codeBeforeHandler;
}

int VelDataClient::nextPackageId()
{
    const int id = m_packageIdCounter >= 0x7FFFFFFF ? 1 : m_packageIdCounter;
    m_packageIdCounter = id + 1;
    return id;
}

VdsDataType VelDataClient::getDataType(const QString &key, const QString &uuid)
{
    const Identifier ident = runtime(key, uuid);
    const int id = nextPackageId();
    return static_cast<VdsDataType>(handler()->getDataType(ident, id));
}

// Runtime setters. Without a uuid, scalars use an empty one and the others a
// null one; the server sees the difference.

bool VelDataClient::setString(const QString &key, const QString &uuid, const QString &value)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::setString_signal, value);
}

bool VelDataClient::setString(const QString &key, const QString &value)
{
    return setString(key, QStringLiteral(""), value);
}

bool VelDataClient::setDouble(const QString &key, const QString &uuid, double value)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::setDouble_signal, value);
}

bool VelDataClient::setDouble(const QString &key, double value)
{
    return setDouble(key, QStringLiteral(""), value);
}

bool VelDataClient::setInt(const QString &key, const QString &uuid, int value)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::setInt32_signal, value);
}

bool VelDataClient::setInt(const QString &key, int value)
{
    return setInt(key, QStringLiteral(""), value);
}

bool VelDataClient::setBool(const QString &key, const QString &uuid, bool value)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::setBool_signal, value);
}

bool VelDataClient::setBool(const QString &key, bool value)
{
    return setBool(key, QStringLiteral(""), value);
}

bool VelDataClient::setStringList(const QString &key, const QString &uuid, const QStringList &value)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::setStringList_signal, value);
}

bool VelDataClient::setStringList(const QString &key, const QStringList &value)
{
    return setStringList(key, QString(), value);
}

bool VelDataClient::setDoubleList(const QString &key, const QString &uuid,
                                  const QList<double> &value)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::setDoubleList_signal, value);
}

bool VelDataClient::setDoubleList(const QString &key, const QList<double> &value)
{
    return setDoubleList(key, QString(), value);
}

bool VelDataClient::setIntList(const QString &key, const QString &uuid, const QList<int> &value)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::setInt32List_signal, value);
}

bool VelDataClient::setIntList(const QString &key, const QList<int> &value)
{
    return setIntList(key, QString(), value);
}

bool VelDataClient::setVariant(const QString &key, const QString &uuid, const QVariant &value)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::setVariant_signal, value);
}

bool VelDataClient::setVariant(const QString &key, const QVariant &value)
{
    return setVariant(key, QString(), value);
}

bool VelDataClient::setFile(const QString &key, QString &uuid, const QString &fileName)
{
    return setFile(key, std::as_const(uuid), fileName);
}

// The uuid is never written back; this form lets a literal or a temporary be
// passed where the other one needs a variable.
bool VelDataClient::setFile(const QString &key, const QString &uuid, const QString &fileName)
{
    const int id = nextPackageId();
    ThreadedClientHandler *h = handler();
    emit h->setFile_signal(runtime(key, uuid), fileName, id);
    return h->waitForResult(id, VdsProtocol::SetFileTimeoutMs, true) > 0;
}

bool VelDataClient::setFile(const QString &key, const QString &fileName)
{
    QString uuid;
    return setFile(key, uuid, fileName);
}

bool VelDataClient::removeValue(const QString &key, const QString &uuid)
{
    return d->setAndWait(runtime(key, uuid), &ThreadedClientHandler::removeValue_signal);
}

// Runtime getters. Without a uuid, scalars use an empty one and the others a
// null one, as the setters do.

int VelDataClient::getString(const QString &key, const QString &uuid, QString *value)
{
    return d->getRuntime(key, uuid, &PreProcessor::readString, value);
}

int VelDataClient::getString(const QString &key, QString *value)
{
    return getString(key, QStringLiteral(""), value);
}

int VelDataClient::getDouble(const QString &key, const QString &uuid, double *value)
{
    return d->getRuntime(key, uuid, &PreProcessor::readDouble, value);
}

int VelDataClient::getDouble(const QString &key, double *value)
{
    return getDouble(key, QStringLiteral(""), value);
}

int VelDataClient::getInt(const QString &key, const QString &uuid, int *value)
{
    return d->getRuntime(key, uuid, &PreProcessor::readInt32, value);
}

int VelDataClient::getInt(const QString &key, int *value)
{
    return getInt(key, QStringLiteral(""), value);
}

int VelDataClient::getBool(const QString &key, const QString &uuid, bool *value)
{
    return d->getRuntime(key, uuid, &PreProcessor::readBool, value);
}

int VelDataClient::getBool(const QString &key, bool *value)
{
    return getBool(key, QStringLiteral(""), value);
}

int VelDataClient::getStringList(const QString &key, const QString &uuid, QStringList *value)
{
    return d->getRuntime(key, uuid, &PreProcessor::readStringList, value);
}

int VelDataClient::getStringList(const QString &key, QStringList *value)
{
    return getStringList(key, QString(), value);
}

int VelDataClient::getDoubleList(const QString &key, const QString &uuid, QList<double> *value)
{
    return d->getRuntime(key, uuid, &PreProcessor::readDoubleList, value);
}

int VelDataClient::getDoubleList(const QString &key, QList<double> *value)
{
    return getDoubleList(key, QString(), value);
}

int VelDataClient::getIntList(const QString &key, const QString &uuid, QList<int> *value)
{
    return d->getRuntime(key, uuid, &PreProcessor::readInt32List, value);
}

int VelDataClient::getIntList(const QString &key, QList<int> *value)
{
    return getIntList(key, QString(), value);
}

int VelDataClient::getVariant(const QString &key, const QString &uuid, QVariant *value)
{
    return d->getRuntime(key, uuid, &PreProcessor::readVariant, value);
}

int VelDataClient::getVariant(const QString &key, QVariant *value)
{
    return getVariant(key, QString(), value);
}

int VelDataClient::getFile(const QString &key, QString &uuid, const QString &fileName)
{
    return getFile(key, std::as_const(uuid), fileName);
}

int VelDataClient::getFile(const QString &key, const QString &uuid, const QString &fileName)
{
    const Identifier ident = runtime(key, uuid);
    const int id = nextPackageId();
    QString directory = fileName;
    return handler()->getFile(ident, directory, id) ? 1 : -1;
}

int VelDataClient::getFile(const QString &key, const QString &fileName)
{
    QString uuid;
    return getFile(key, uuid, fileName);
}

void VelDataClient::autoUpdate(const QString &key, const QString &uuid, bool enable)
{
    const Identifier ident = runtime(key, uuid);
    const int id = nextPackageId();
    emit handler()->autoUpdate_signal(ident, enable, id);
}

void VelDataClient::autoUpdate(const QString &key, bool enable)
{
    autoUpdate(key, QString(), enable);
}

bool VelDataClient::sendCommand(const QString &cmd, const QStringList &params)
{
    const int id = nextPackageId();
    emit handler()->sendCommand_signal(cmd, params, id);
    return true;
}

// Globals

bool VelDataClient::setGlobalsString(const QString &key, const QString &value)
{
    return d->setAndWait(globals(key), &ThreadedClientHandler::setString_signal, value);
}

bool VelDataClient::setGlobalsDouble(const QString &key, double value)
{
    return d->setAndWait(globals(key), &ThreadedClientHandler::setDouble_signal, value);
}

bool VelDataClient::setGlobalsInt(const QString &key, int value)
{
    return d->setAndWait(globals(key), &ThreadedClientHandler::setInt32_signal, value);
}

bool VelDataClient::setGlobalsVariant(const QString &key, const QVariant &value)
{
    bool ok = false;
    const int i = value.toInt(&ok);
    if (ok && value.type() == QVariant::Int) {
        ZTRACE(5, "setGlobalsVariant(): '%s' successfully converted to int.",
               value.toString().toLocal8Bit().constData());
        return setGlobalsInt(key, i);
    }
    const double d = value.toDouble(&ok);
    if (ok && value.type() == QVariant::Double) {
        ZTRACE(5, "setGlobalsVariant(): '%s' successfully converted to double.",
               value.toString().toLocal8Bit().constData());
        return setGlobalsDouble(key, d);
    }
    return setGlobalsString(key, value.toString());
}

bool VelDataClient::removeGlobals(const QString &key)
{
    return d->setAndWait(globals(key), &ThreadedClientHandler::removeValue_signal);
}

int VelDataClient::getGlobalsString(const QString &key, QString *value)
{
    return d->getByKey(globals(key), &PreProcessor::readString, value);
}

int VelDataClient::getGlobalsDouble(const QString &key, double *value)
{
    return d->getByKey(globals(key), &PreProcessor::readDouble, value);
}

int VelDataClient::getGlobalsInt(const QString &key, int *value)
{
    return d->getByKey(globals(key), &PreProcessor::readInt32, value);
}

int VelDataClient::getGlobalsVariant(const QString &key, QVariant *value)
{
    return d->getByKey(globals(key), &PreProcessor::readVariant, value);
}

// OPC UA and MQTT values

bool VelDataClient::setString(VDS_IDENT_CONSTS kind, const QString &key, const QString &value)
{
    return d->setAndWait(ofKind(kind, key), &ThreadedClientHandler::setString_signal, value);
}

bool VelDataClient::setDouble(VDS_IDENT_CONSTS kind, const QString &key, double value)
{
    return d->setAndWait(ofKind(kind, key), &ThreadedClientHandler::setDouble_signal, value);
}

bool VelDataClient::setInt(VDS_IDENT_CONSTS kind, const QString &key, int value)
{
    return d->setAndWait(ofKind(kind, key), &ThreadedClientHandler::setInt32_signal, value);
}

int VelDataClient::getString(VDS_IDENT_CONSTS kind, const QString &key, QString *value)
{
    return d->getByKey(ofKind(kind, key), &PreProcessor::readString, value);
}

int VelDataClient::getDouble(VDS_IDENT_CONSTS kind, const QString &key, double *value)
{
    return d->getByKey(ofKind(kind, key), &PreProcessor::readDouble, value);
}

int VelDataClient::getInt(VDS_IDENT_CONSTS kind, const QString &key, int *value)
{
    return d->getByKey(ofKind(kind, key), &PreProcessor::readInt32, value);
}
