#ifndef VALUENAME_H
#define VALUENAME_H

#include <QJsonObject>
#include <QString>

/// How the command line names one value: a runtime value by key and uuid, or a
/// globals, OPC UA or MQTT value by its key alone.
class ValueName
{
public:
    enum Kind
    {
        Runtime,
        Globals,
        Opcua,
        Mqtt,
    };

    ValueName() = default;
    ValueName(Kind kind, const QString &key, const QString &uuid = QString());

    Kind kind() const { return m_kind; }
    const QString &key() const { return m_key; }
    const QString &uuid() const { return m_uuid; }

    /// "runtime", "globals", "opcua" or "mqtt", as the library reports kinds.
    QString kindText() const;
    /// How messages and watch lines show the value: "key", "key/uuid" or
    /// "globals:key".
    QString display() const;
    /// The kind, the key and (for runtime values) the uuid as JSON members.
    QJsonObject toJson() const;
    /// Whether a change notification of the library is about this value; a
    /// null and an empty uuid name the same value.
    bool matches(const QString &kind, const QString &key, const QString &uuid) const;

private:
    Kind m_kind = Runtime;
    QString m_key;
    QString m_uuid;
};

#endif // VALUENAME_H
