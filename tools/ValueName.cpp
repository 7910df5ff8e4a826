#include "ValueName.h"

ValueName::ValueName(Kind kind, const QString &key, const QString &uuid)
    : m_kind(kind), m_key(key), m_uuid(kind == Runtime ? uuid : QString())
{}

QString ValueName::kindText() const
{
    switch (m_kind) {
    case Runtime:
        return QStringLiteral("runtime");
    case Globals:
        return QStringLiteral("globals");
    case Opcua:
        return QStringLiteral("opcua");
    case Mqtt:
        return QStringLiteral("mqtt");
    }
    return QString();
}

QString ValueName::display() const
{
    if (m_kind != Runtime)
        return kindText() + QLatin1Char(':') + m_key;
    if (m_uuid.isEmpty())
        return m_key;
    return m_key + QLatin1Char('/') + m_uuid;
}

QJsonObject ValueName::toJson() const
{
    QJsonObject object{{QStringLiteral("kind"), kindText()}, {QStringLiteral("key"), m_key}};
    if (m_kind == Runtime)
        object.insert(QStringLiteral("uuid"), m_uuid);
    return object;
}

bool ValueName::matches(const QString &kind, const QString &key, const QString &uuid) const
{
    return kind == kindText() && key == m_key && (m_kind != Runtime || uuid == m_uuid);
}
