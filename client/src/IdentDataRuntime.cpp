#include "IdentDataRuntime.h"

#include "LengthCheck.h"

#include <QDataStream>

IdentDataRuntime::IdentDataRuntime() : IdentData(QStringLiteral("runtime")) {}

IdentDataRuntime::IdentDataRuntime(const QString &key, const QString &uuid)
    : IdentData(QStringLiteral("runtime")), m_key(key), m_uuid(uuid)
{}

IdentData *IdentDataRuntime::clone() const
{
    return new IdentDataRuntime(*this);
}

QString IdentDataRuntime::description() const
{
    return QStringLiteral("Key: ") + m_key + QStringLiteral("; UUID: ") + m_uuid;
}

QDataStream &IdentDataRuntime::write(QDataStream &out) const
{
    return IdentData::write(out) << m_key << m_uuid;
}

QDataStream &IdentDataRuntime::readFields(QDataStream &in)
{
    LengthCheck::readText(in, m_key);
    return LengthCheck::readText(in, m_uuid);
}
