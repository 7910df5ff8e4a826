#include "VelDataClient.h"

#include "IdentDataGlobals.h"
#include "IdentDataMqtt.h"
#include "IdentDataOpcua.h"
#include "IdentDataRuntime.h"
#include "Identifier.h"
#include "ListTypes.h"
#include "PreProcessor.h"
#include "ThreadedClientHandler.h"
#include "VdsProtocol.h"
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

QString keyOf(const IdentData *data)
{
    if (auto r = dynamic_cast<const IdentDataRuntime *>(data))
        return r->key();
    if (auto g = dynamic_cast<const IdentDataGlobals *>(data))
        return g->key();
    if (auto o = dynamic_cast<const IdentDataOpcua *>(data))
        return o->key();
    if (auto m = dynamic_cast<const IdentDataMqtt *>(data))
        return m->key();
    return QString();
}

} // namespace

VelDataClient::VelDataClient()
{
    ZTRACE(5, "VDS: VelDataClient constructor");
}

VelDataClient::~VelDataClient()
{
    if (!m_handler)
        return;
    if (!m_handlerThread) {
        delete m_handler;
        return;
    }
    // The handler belongs to its own thread, where answers are recorded; it is
    // deleted there, and that thread ends once it is gone.
    m_handler->deleteLater();
    m_handlerThread->wait();
    delete m_handlerThread;
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
    // Without an application object no event loop would carry a request or
    // end the thread; the handler then fails every call at once instead.
    if (!QCoreApplication::instance())
        return m_handler;
    m_handlerThread = new QThread;
    m_handler->moveToThread(m_handlerThread);
    connect(m_handler, &QObject::destroyed, m_handlerThread, &QThread::quit, Qt::DirectConnection);
    // Queued to this client's thread: the callback runs in its event loop.
    connect(m_handler, &ThreadedClientHandler::autoUpdateReceived, this,
            [this](const Identifier &ident) { deliverAutoUpdate(ident); });
    m_handlerThread->start(QThread::InheritPriority);
    return m_handler;
}

void VelDataClient::deliverAutoUpdate(const Identifier &ident)
{
    if (!m_autoUpdateCallback)
        return;
    const IdentData *data = ident.data();
    const auto *rt = dynamic_cast<const IdentDataRuntime *>(data);
    // A copy, so that the callback may replace itself.
    const AutoUpdateCallback callback = m_autoUpdateCallback;
    callback(data ? data->kindName() : QString(), keyOf(data), rt ? rt->uuid() : QString());
}

void VelDataClient::setAutoUpdateCallback(AutoUpdateCallback callback)
{
    m_autoUpdateCallback = std::move(callback);
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

template <typename Signal, typename... Values>
bool VelDataClient::setAndWait(const Identifier &ident, Signal signal, const Values &...values)
{
    const int id = nextPackageId();
    ThreadedClientHandler *h = handler();
    emit(h->*signal)(ident, values..., id);
    return h->waitForResult(id, 5000) > 0;
}

template <typename T>
int VelDataClient::readAfterGet(const Identifier &ident, int packageId,
                                bool (PreProcessor::*reader)(const Identifier &, T *), T *value)
{
    ThreadedClientHandler *h = handler();
    if (!h->getValue(ident, packageId))
        return -1;
    return (h->preProcessor()->*reader)(ident, value) ? 1 : 0;
}

// Globals and kind getters consume an id and create the handler before they
// look at the output pointer, and report a null one as a failure.
template <typename T>
int VelDataClient::getByKey(const Identifier &ident,
                            bool (PreProcessor::*reader)(const Identifier &, T *), T *value)
{
    const int id = nextPackageId();
    handler();
    if (!value)
        return -1;
    return readAfterGet(ident, id, reader, value);
}

// Runtime setters. Without a uuid, scalars use an empty one and the others a
// null one; the server sees the difference.

bool VelDataClient::setString(const QString &key, const QString &uuid, const QString &value)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::setString_signal, value);
}

bool VelDataClient::setString(const QString &key, const QString &value)
{
    return setString(key, QStringLiteral(""), value);
}

bool VelDataClient::setDouble(const QString &key, const QString &uuid, double value)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::setDouble_signal, value);
}

bool VelDataClient::setDouble(const QString &key, double value)
{
    return setDouble(key, QStringLiteral(""), value);
}

bool VelDataClient::setInt(const QString &key, const QString &uuid, int value)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::setInt32_signal, value);
}

bool VelDataClient::setInt(const QString &key, int value)
{
    return setInt(key, QStringLiteral(""), value);
}

bool VelDataClient::setBool(const QString &key, const QString &uuid, bool value)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::setBool_signal, value);
}

bool VelDataClient::setBool(const QString &key, bool value)
{
    return setBool(key, QStringLiteral(""), value);
}

bool VelDataClient::setStringList(const QString &key, const QString &uuid, const QStringList &value)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::setStringList_signal, value);
}

bool VelDataClient::setStringList(const QString &key, const QStringList &value)
{
    return setStringList(key, QString(), value);
}

bool VelDataClient::setDoubleList(const QString &key, const QString &uuid,
                                  const QList<double> &value)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::setDoubleList_signal, value);
}

bool VelDataClient::setDoubleList(const QString &key, const QList<double> &value)
{
    return setDoubleList(key, QString(), value);
}

bool VelDataClient::setIntList(const QString &key, const QString &uuid, const QList<int> &value)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::setInt32List_signal, value);
}

bool VelDataClient::setIntList(const QString &key, const QList<int> &value)
{
    return setIntList(key, QString(), value);
}

bool VelDataClient::setVariant(const QString &key, const QString &uuid, const QVariant &value)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::setVariant_signal, value);
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
    return h->waitForResult(id, 5000, true) > 0;
}

bool VelDataClient::setFile(const QString &key, const QString &fileName)
{
    QString uuid;
    return setFile(key, uuid, fileName);
}

bool VelDataClient::removeValue(const QString &key, const QString &uuid)
{
    return setAndWait(runtime(key, uuid), &ThreadedClientHandler::removeValue_signal);
}

// Runtime getters: a null output returns 0 before anything else happens.

#define VDS_RUNTIME_GETTER(Name, Type, Reader, OmittedUuid)                                        \
    int VelDataClient::Name(const QString &key, const QString &uuid, Type *value)                  \
    {                                                                                              \
        if (!value)                                                                                \
            return 0;                                                                              \
        const Identifier ident = runtime(key, uuid);                                               \
        return readAfterGet(ident, nextPackageId(), &PreProcessor::Reader, value);                 \
    }                                                                                              \
    int VelDataClient::Name(const QString &key, Type *value)                                       \
    {                                                                                              \
        return Name(key, OmittedUuid, value);                                                      \
    }

VDS_RUNTIME_GETTER(getString, QString, readString, QStringLiteral(""))
VDS_RUNTIME_GETTER(getDouble, double, readDouble, QStringLiteral(""))
VDS_RUNTIME_GETTER(getInt, int, readInt32, QStringLiteral(""))
VDS_RUNTIME_GETTER(getBool, bool, readBool, QStringLiteral(""))
VDS_RUNTIME_GETTER(getStringList, QStringList, readStringList, QString())
VDS_RUNTIME_GETTER(getDoubleList, QList<double>, readDoubleList, QString())
VDS_RUNTIME_GETTER(getIntList, QList<int>, readInt32List, QString())
VDS_RUNTIME_GETTER(getVariant, QVariant, readVariant, QString())
#undef VDS_RUNTIME_GETTER

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
    return setAndWait(globals(key), &ThreadedClientHandler::setString_signal, value);
}

bool VelDataClient::setGlobalsDouble(const QString &key, double value)
{
    return setAndWait(globals(key), &ThreadedClientHandler::setDouble_signal, value);
}

bool VelDataClient::setGlobalsInt(const QString &key, int value)
{
    return setAndWait(globals(key), &ThreadedClientHandler::setInt32_signal, value);
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
    return setAndWait(globals(key), &ThreadedClientHandler::removeValue_signal);
}

int VelDataClient::getGlobalsString(const QString &key, QString *value)
{
    return getByKey(globals(key), &PreProcessor::readString, value);
}

int VelDataClient::getGlobalsDouble(const QString &key, double *value)
{
    return getByKey(globals(key), &PreProcessor::readDouble, value);
}

int VelDataClient::getGlobalsInt(const QString &key, int *value)
{
    return getByKey(globals(key), &PreProcessor::readInt32, value);
}

int VelDataClient::getGlobalsVariant(const QString &key, QVariant *value)
{
    return getByKey(globals(key), &PreProcessor::readVariant, value);
}

// OPC UA and MQTT values

bool VelDataClient::setString(VDS_IDENT_CONSTS kind, const QString &key, const QString &value)
{
    return setAndWait(ofKind(kind, key), &ThreadedClientHandler::setString_signal, value);
}

bool VelDataClient::setDouble(VDS_IDENT_CONSTS kind, const QString &key, double value)
{
    return setAndWait(ofKind(kind, key), &ThreadedClientHandler::setDouble_signal, value);
}

bool VelDataClient::setInt(VDS_IDENT_CONSTS kind, const QString &key, int value)
{
    return setAndWait(ofKind(kind, key), &ThreadedClientHandler::setInt32_signal, value);
}

int VelDataClient::getString(VDS_IDENT_CONSTS kind, const QString &key, QString *value)
{
    return getByKey(ofKind(kind, key), &PreProcessor::readString, value);
}

int VelDataClient::getDouble(VDS_IDENT_CONSTS kind, const QString &key, double *value)
{
    return getByKey(ofKind(kind, key), &PreProcessor::readDouble, value);
}

int VelDataClient::getInt(VDS_IDENT_CONSTS kind, const QString &key, int *value)
{
    return getByKey(ofKind(kind, key), &PreProcessor::readInt32, value);
}
