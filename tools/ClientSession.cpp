#include "ClientSession.h"

#include "ExitCode.h"
#include "ReadinessBlock.h"
#include "VdsProtocol.h"

#include <QDir>
#include <QStandardPaths>

#include <iterator>
#include <type_traits>

namespace {

VDS_IDENT_CONSTS identKind(const ValueName &name)
{
    return name.kind() == ValueName::Opcua ? VDS_IDENT_OPCUA : VDS_IDENT_MQTT;
}

// One setter or getter of the library for each way a value is named. The
// library's own overloads are picked by these member-pointer types.
template <typename Arg>
using RuntimeSetter = bool (VelDataClient::*)(const QString &, const QString &, Arg);
template <typename Arg>
using GlobalsSetter = bool (VelDataClient::*)(const QString &, Arg);
template <typename Arg>
using KindSetter = bool (VelDataClient::*)(VDS_IDENT_CONSTS, const QString &, Arg);
template <typename T>
using RuntimeGetter = int (VelDataClient::*)(const QString &, const QString &, T *);
template <typename T>
using KindGetter = int (VelDataClient::*)(VDS_IDENT_CONSTS, const QString &, T *);

using Setter = bool (*)(VelDataClient &, const ValueName &, const QVariant &);
using Getter = int (*)(VelDataClient &, const ValueName &, TypedValue *);

template <typename Arg, RuntimeSetter<Arg> setter>
bool setRuntimeVia(VelDataClient &client, const ValueName &name, const QVariant &data)
{
    return (client.*setter)(name.key(), name.uuid(), data.value<std::decay_t<Arg>>());
}

template <typename Arg, GlobalsSetter<Arg> setter>
bool setGlobalsVia(VelDataClient &client, const ValueName &name, const QVariant &data)
{
    return (client.*setter)(name.key(), data.value<std::decay_t<Arg>>());
}

template <typename Arg, KindSetter<Arg> setter>
bool setByKindVia(VelDataClient &client, const ValueName &name, const QVariant &data)
{
    return (client.*setter)(identKind(name), name.key(), data.value<std::decay_t<Arg>>());
}

// What a getter delivered becomes `value`; its own result (1, 0 or -1) is
// passed on.
template <TypedValue::Type type, typename T>
int deliver(int result, const T &data, TypedValue *value)
{
    if (result > 0)
        *value = TypedValue(type, QVariant::fromValue(data));
    return result;
}

template <TypedValue::Type type, typename T, RuntimeGetter<T> getter>
int getRuntimeVia(VelDataClient &client, const ValueName &name, TypedValue *value)
{
    T data{};
    return deliver<type>((client.*getter)(name.key(), name.uuid(), &data), data, value);
}

template <TypedValue::Type type, typename T, KindGetter<T> getter>
int getByKindVia(VelDataClient &client, const ValueName &name, TypedValue *value)
{
    T data{};
    return deliver<type>((client.*getter)(identKind(name), name.key(), &data), data, value);
}

// A value type as the library handles it: the type it reports, and its calls
// for each kind of name, null where that kind does not hold the type. Files
// have no setter or getter here: their content goes through a path, never
// through memory.
struct TypeAccess
{
    TypedValue::Type type;
    VdsDataType dataType;
    Setter setRuntime;
    Setter setGlobals;
    Setter setByKind;
    Getter getRuntime;
    Getter getByKind;
};

using C = VelDataClient;
using T = TypedValue;
// Opcua and MQTT values are read by trying these getters in this order.
const TypeAccess typeAccess[] = {
    {T::Int, VdsTypeInt, setRuntimeVia<int, &C::setInt>, setGlobalsVia<int, &C::setGlobalsInt>,
     setByKindVia<int, &C::setInt>, getRuntimeVia<T::Int, int, &C::getInt>,
     getByKindVia<T::Int, int, &C::getInt>},
    {T::Double, VdsTypeDouble, setRuntimeVia<double, &C::setDouble>,
     setGlobalsVia<double, &C::setGlobalsDouble>, setByKindVia<double, &C::setDouble>,
     getRuntimeVia<T::Double, double, &C::getDouble>,
     getByKindVia<T::Double, double, &C::getDouble>},
    {T::String, VdsTypeString, setRuntimeVia<const QString &, &C::setString>,
     setGlobalsVia<const QString &, &C::setGlobalsString>,
     setByKindVia<const QString &, &C::setString>, getRuntimeVia<T::String, QString, &C::getString>,
     getByKindVia<T::String, QString, &C::getString>},
    {T::Bool, VdsTypeBool, setRuntimeVia<bool, &C::setBool>, nullptr, nullptr,
     getRuntimeVia<T::Bool, bool, &C::getBool>, nullptr},
    {T::Strings, VdsTypeStringList, setRuntimeVia<const QStringList &, &C::setStringList>, nullptr,
     nullptr, getRuntimeVia<T::Strings, QStringList, &C::getStringList>, nullptr},
    {T::Doubles, VdsTypeDoubleList, setRuntimeVia<const QList<double> &, &C::setDoubleList>,
     nullptr, nullptr, getRuntimeVia<T::Doubles, QList<double>, &C::getDoubleList>, nullptr},
    {T::Ints, VdsTypeIntList, setRuntimeVia<const QList<int> &, &C::setIntList>, nullptr, nullptr,
     getRuntimeVia<T::Ints, QList<int>, &C::getIntList>, nullptr},
    {T::Variant, VdsTypeVariant, setRuntimeVia<const QVariant &, &C::setVariant>,
     setGlobalsVia<const QVariant &, &C::setGlobalsVariant>, nullptr,
     getRuntimeVia<T::Variant, QVariant, &C::getVariant>, nullptr},
    {T::File, VdsTypeFile, nullptr, nullptr, nullptr, nullptr, nullptr},
};

const TypeAccess &accessFor(TypedValue::Type type)
{
    for (const TypeAccess &access : typeAccess) {
        if (access.type == type)
            return access;
    }
    return typeAccess[std::size(typeAccess) - 1];
}

bool typeOfDataType(VdsDataType dataType, TypedValue::Type *type)
{
    for (const TypeAccess &access : typeAccess) {
        if (access.dataType == dataType) {
            *type = access.type;
            return true;
        }
    }
    return false;
}

} // namespace

int ClientSession::set(const ValueName &name, const TypedValue &value)
{
    const TypeAccess &access = accessFor(value.type());
    Setter setter = nullptr;
    QString refusal;
    switch (name.kind()) {
    case ValueName::Runtime:
        setter = access.setRuntime;
        refusal = QStringLiteral("files are stored with put-file");
        break;
    case ValueName::Globals:
        setter = access.setGlobals;
        refusal = QStringLiteral("globals values are int, double, string or variant");
        break;
    case ValueName::Opcua:
    case ValueName::Mqtt:
        setter = access.setByKind;
        refusal = QStringLiteral("%1 values are int, double or string").arg(name.kindText());
        break;
    }
    if (!setter)
        return fail(ExitUsage, refusal);
    return setter(m_client, name, value.data()) ? ExitOk : failed();
}

int ClientSession::get(const ValueName &name, TypedValue *value)
{
    m_missing = false;
    switch (name.kind()) {
    case ValueName::Runtime: {
        TypedValue::Type type = TypedValue::String;
        const int code = this->type(name, &type);
        return code == ExitOk ? getRuntime(name, type, value) : code;
    }
    case ValueName::Globals: {
        // Globals are never asked for: the server pushes them to the client's
        // cache once it has acknowledged the client, ahead of any answer.
        const int code = confirm();
        if (code != ExitOk)
            return code;
        QVariant data;
        const int result = m_client.getGlobalsVariant(name.key(), &data);
        if (result < 0)
            return failed();
        if (result == 0)
            return notFound(name);
        *value = TypedValue::fromVariant(data);
        return ExitOk;
    }
    case ValueName::Opcua:
    case ValueName::Mqtt:
        return getByKind(name, value);
    }
    return notFound(name);
}

int ClientSession::type(const ValueName &name, TypedValue::Type *type)
{
    m_missing = false;
    if (name.kind() != ValueName::Runtime) {
        TypedValue value;
        const int code = get(name, &value);
        *type = value.type();
        return code;
    }
    if (typeOfDataType(m_client.getDataType(name.key(), name.uuid()), type))
        return ExitOk;
    // The type query answers "unknown" both for a missing value and for a
    // failed request; a getter tells the two apart.
    QVariant data;
    const int result = m_client.getVariant(name.key(), name.uuid(), &data);
    if (result < 0)
        return failed();
    if (result == 0)
        return notFound(name);
    *type = TypedValue::fromVariant(data).type();
    return ExitOk;
}

int ClientSession::remove(const ValueName &name)
{
    bool removed = false;
    if (name.kind() == ValueName::Runtime)
        removed = m_client.removeValue(name.key(), name.uuid());
    else if (name.kind() == ValueName::Globals)
        removed = m_client.removeGlobals(name.key());
    else
        return fail(ExitUsage, QStringLiteral("rm works on runtime and globals values only"));
    return removed ? ExitOk : failed();
}

int ClientSession::putFile(const ValueName &name, const QString &path)
{
    QString uuid = name.uuid();
    return m_client.setFile(name.key(), uuid, path) ? ExitOk : failed();
}

int ClientSession::getFile(const ValueName &name, const QString &directory)
{
    QString uuid = name.uuid();
    if (m_client.getFile(name.key(), uuid, directory) > 0)
        return ExitOk;
    // -1 stands both for a failed request and for an answer without a file;
    // only a failure leaves an error text, and a session that fetches a file
    // has made no request before.
    if (m_client.lastError().isEmpty())
        return fail(ExitFailed, QStringLiteral("no file value %1").arg(name.display()));
    return failed();
}

int ClientSession::command(const QString &command, const QStringList &parameters)
{
    m_client.sendCommand(command, parameters);
    return confirm();
}

int ClientSession::status(const QString &text)
{
    m_client.setStatus(text);
    return confirm();
}

void ClientSession::watch(const ValueName &name)
{
    m_client.autoUpdate(name.key(), name.uuid(), true);
}

int ClientSession::confirm()
{
    // Any runtime read serves; whether the value exists does not matter.
    QVariant ignored;
    if (m_client.getVariant(QStringLiteral("vdsctl"), QStringLiteral("confirm"), &ignored) < 0)
        return failed();
    return ExitOk;
}

QString ClientSession::defaultServerLog()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return QDir::toNativeSeparators(QStringLiteral("%1/%2/%3/%4")
                                        .arg(data, QLatin1String(VdsProtocol::ServerOrganization),
                                             QLatin1String(VdsProtocol::ServerProgram),
                                             QLatin1String(VdsProtocol::ServerLogName)));
}

int ClientSession::exitCodeFor(VdsErrorCode code)
{
    switch (code) {
    case VdsErrorTimeout:
        return ExitTimeout;
    case VdsErrorServerNotStarted:
    case VdsErrorNoConnection:
    case VdsErrorTlsRefused:
        return ExitUnreachable;
    case VdsErrorNone:
    case VdsErrorNoApplication:
    case VdsErrorServerRefused:
    case VdsErrorNotFound:
    case VdsErrorBadArgument:
    case VdsErrorFile:
        break;
    }
    return ExitFailed;
}

int ClientSession::failed()
{
    const QString text = m_client.lastError();
    if (text.isEmpty())
        return fail(ExitFailed, QStringLiteral("the request failed without a reason"));
    const VdsErrorCode code = m_client.lastErrorCode();
    // A server that was started but could not be reached ended during its
    // start (a damaged data folder, say); only its log can tell why.
    const bool unreachable = text.startsWith(QLatin1String("FAILED to connect"));
    if (code == VdsErrorServerNotStarted && unreachable)
        return fail(exitCodeFor(code),
                    QStringLiteral("%1\nVelDataServer ended during its start; its log tells why "
                                   "(by default %2)")
                        .arg(text, defaultServerLog()));
    // The settings changed since the server started, most likely: it keeps
    // the port it was started with.
    const QString running = unreachable ? ReadinessBlock::runningServer() : QString();
    if (!running.isEmpty())
        return fail(exitCodeFor(code),
                    QStringLiteral("%1\na VelDataServer is running (%2); does the setting "
                                   "\"%3\" name its port?")
                        .arg(text, running, QLatin1String(VdsProtocol::Settings::ServerPort)));
    return fail(exitCodeFor(code), text);
}

int ClientSession::fail(int exitCode, const QString &text)
{
    m_error = text;
    return exitCode;
}

int ClientSession::notFound(const ValueName &name)
{
    m_missing = true;
    return fail(ExitFailed, QStringLiteral("no value %1").arg(name.display()));
}

int ClientSession::getRuntime(const ValueName &name, TypedValue::Type type, TypedValue *value)
{
    const Getter getter = accessFor(type).getRuntime;
    if (!getter) {
        // A file's content is fetched by getFile into a folder, never into memory.
        *value = TypedValue(type, QVariant());
        return ExitOk;
    }
    const int result = getter(m_client, name, value);
    if (result < 0)
        return failed();
    return result == 0 ? notFound(name) : ExitOk;
}

int ClientSession::getByKind(const ValueName &name, TypedValue *value)
{
    // A read of the wrong type leaves the fetched value in the client's
    // cache, so each further attempt is answered from there without another
    // request.
    int result = 0;
    for (const TypeAccess &access : typeAccess) {
        if (access.getByKind && result == 0)
            result = access.getByKind(m_client, name, value);
    }
    if (result < 0)
        return failed();
    return result == 0 ? notFound(name) : ExitOk;
}
