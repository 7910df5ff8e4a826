#include "IdentDataGlobals.h"

#include "LengthCheck.h"

#include <QDataStream>

IdentDataGlobals::IdentDataGlobals() : IdentData(QStringLiteral("globals")) {}

IdentDataGlobals::IdentDataGlobals(const QString &key)
    : IdentData(QStringLiteral("globals")), m_key(key)
{}

IdentData *IdentDataGlobals::clone() const
{
    return new IdentDataGlobals(*this);
}

QString IdentDataGlobals::description() const
{
    return QStringLiteral("Key: ") + m_key;
}

QDataStream &IdentDataGlobals::write(QDataStream &out) const
{
    return IdentData::write(out) << m_key;
}

QDataStream &IdentDataGlobals::readFields(QDataStream &in)
{
    return LengthCheck::readText(in, m_key);
}
