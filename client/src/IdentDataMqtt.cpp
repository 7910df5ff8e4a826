#include "IdentDataMqtt.h"

#include "LengthCheck.h"

#include <QDataStream>

IdentDataMqtt::IdentDataMqtt() : IdentData(QStringLiteral("mqtt")) {}

IdentDataMqtt::IdentDataMqtt(const QString &key) : IdentData(QStringLiteral("mqtt")), m_key(key) {}

IdentData *IdentDataMqtt::clone() const
{
    return new IdentDataMqtt(*this);
}

QString IdentDataMqtt::description() const
{
    return QStringLiteral("Key: ") + m_key;
}

QDataStream &IdentDataMqtt::write(QDataStream &out) const
{
    return IdentData::write(out) << m_key;
}

QDataStream &IdentDataMqtt::readFields(QDataStream &in)
{
    return LengthCheck::readText(in, m_key);
}
