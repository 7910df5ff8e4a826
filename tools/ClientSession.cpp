#include "ClientSession.h"

#include "ExitCode.h"

#include <iterator>

namespace {

VDS_IDENT_CONSTS identKind(const ValueName &name)
{
    return name.kind() == ValueName::Opcua ? VDS_IDENT_OPCUA : VDS_IDENT_MQTT;
}

bool typeOfDataType(VdsDataType dataType, TypedValue::Type *type)
{
    static const TypedValue::Type types[] = {
        TypedValue::String, TypedValue::Double,  TypedValue::Int,
        TypedValue::Bool,   TypedValue::Strings, TypedValue::Doubles,
        TypedValue::Ints,   TypedValue::File,    TypedValue::Variant,
    };
    const int index = int(dataType) - int(VdsTypeString);
    if (index < 0 || index >= int(std::size(types)))
        return false;
    *type = types[index];
    return true;
}

// Runs one getter of the library; what it delivered becomes `value`, and its
// own result (1, 0 or -1) is passed on.
template <typename T, typename Getter>
int fetch(TypedValue::Type type, Getter getter, TypedValue *value)
{
    T data{};
    const int result = getter(&data);
    if (result > 0)
        *value = TypedValue(type, QVariant::fromValue(data));
    return result;
}

} // namespace

int ClientSession::set(const ValueName &name, const TypedValue &value)
{
    const QString &key = name.key();
    const QString &uuid = name.uuid();
    const QVariant &data = value.data();
    bool stored = false;
    switch (name.kind()) {
    case ValueName::Runtime:
        switch (value.type()) {
        case TypedValue::Int:
            stored = m_client.setInt(key, uuid, data.toInt());
            break;
        case TypedValue::Double:
            stored = m_client.setDouble(key, uuid, data.toDouble());
            break;
        case TypedValue::String:
            stored = m_client.setString(key, uuid, data.toString());
            break;
        case TypedValue::Bool:
            stored = m_client.setBool(key, uuid, data.toBool());
            break;
        case TypedValue::Strings:
            stored = m_client.setStringList(key, uuid, data.toStringList());
            break;
        case TypedValue::Doubles:
            stored = m_client.setDoubleList(key, uuid, value.doubles());
            break;
        case TypedValue::Ints:
            stored = m_client.setIntList(key, uuid, value.ints());
            break;
        case TypedValue::Variant:
            stored = m_client.setVariant(key, uuid, data);
            break;
        case TypedValue::File:
            return fail(ExitUsage, QStringLiteral("files are stored with put-file"));
        }
        break;
    case ValueName::Globals:
        switch (value.type()) {
        case TypedValue::Int:
            stored = m_client.setGlobalsInt(key, data.toInt());
            break;
        case TypedValue::Double:
            stored = m_client.setGlobalsDouble(key, data.toDouble());
            break;
        case TypedValue::String:
            stored = m_client.setGlobalsString(key, data.toString());
            break;
        case TypedValue::Variant:
            stored = m_client.setGlobalsVariant(key, data);
            break;
        default:
            return fail(ExitUsage,
                        QStringLiteral("globals values are int, double, string or variant"));
        }
        break;
    case ValueName::Opcua:
    case ValueName::Mqtt:
        switch (value.type()) {
        case TypedValue::Int:
            stored = m_client.setInt(identKind(name), key, data.toInt());
            break;
        case TypedValue::Double:
            stored = m_client.setDouble(identKind(name), key, data.toDouble());
            break;
        case TypedValue::String:
            stored = m_client.setString(identKind(name), key, data.toString());
            break;
        default:
            return fail(ExitUsage,
                        QStringLiteral("%1 values are int, double or string").arg(name.kindText()));
        }
        break;
    }
    return stored ? ExitOk : failed();
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
    return fail(exitCodeFor(m_client.lastErrorCode()), text);
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
    const QString &key = name.key();
    const QString &uuid = name.uuid();
    int result = 0;
    switch (type) {
    case TypedValue::Int:
        result = fetch<int>(
            type, [&](int *out) { return m_client.getInt(key, uuid, out); }, value);
        break;
    case TypedValue::Double:
        result = fetch<double>(
            type, [&](double *out) { return m_client.getDouble(key, uuid, out); }, value);
        break;
    case TypedValue::String:
        result = fetch<QString>(
            type, [&](QString *out) { return m_client.getString(key, uuid, out); }, value);
        break;
    case TypedValue::Bool:
        result = fetch<bool>(
            type, [&](bool *out) { return m_client.getBool(key, uuid, out); }, value);
        break;
    case TypedValue::Strings:
        result = fetch<QStringList>(
            type, [&](QStringList *out) { return m_client.getStringList(key, uuid, out); }, value);
        break;
    case TypedValue::Doubles:
        result = fetch<QList<double>>(
            type, [&](QList<double> *out) { return m_client.getDoubleList(key, uuid, out); },
            value);
        break;
    case TypedValue::Ints:
        result = fetch<QList<int>>(
            type, [&](QList<int> *out) { return m_client.getIntList(key, uuid, out); }, value);
        break;
    case TypedValue::Variant:
        result = fetch<QVariant>(
            type, [&](QVariant *out) { return m_client.getVariant(key, uuid, out); }, value);
        break;
    case TypedValue::File:
        // Its content is fetched by getFile into a folder, never into memory.
        *value = TypedValue(TypedValue::File, QVariant());
        return ExitOk;
    }
    if (result < 0)
        return failed();
    return result == 0 ? notFound(name) : ExitOk;
}

int ClientSession::getByKind(const ValueName &name, TypedValue *value)
{
    const VDS_IDENT_CONSTS kind = identKind(name);
    const QString &key = name.key();
    // These kinds are read only as int, double or string. A read of the wrong
    // type leaves the fetched value in the client's cache, so each further
    // attempt is answered from there without another request.
    int result = fetch<int>(
        TypedValue::Int, [&](int *out) { return m_client.getInt(kind, key, out); }, value);
    if (result == 0)
        result = fetch<double>(
            TypedValue::Double, [&](double *out) { return m_client.getDouble(kind, key, out); },
            value);
    if (result == 0)
        result = fetch<QString>(
            TypedValue::String, [&](QString *out) { return m_client.getString(kind, key, out); },
            value);
    if (result < 0)
        return failed();
    return result == 0 ? notFound(name) : ExitOk;
}
