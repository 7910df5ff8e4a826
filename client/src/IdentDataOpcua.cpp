#include "IdentDataOpcua.h"

#include "LengthCheck.h"

#include <QDataStream>

IdentDataOpcua::IdentDataOpcua() : IdentData(QStringLiteral("opcua")) {}

IdentDataOpcua::IdentDataOpcua(const QString &key) : IdentData(QStringLiteral("opcua")), m_key(key)
{}

IdentData *IdentDataOpcua::clone() const
{
    return new IdentDataOpcua(*this);
}

QString IdentDataOpcua::description() const
{
    return QStringLiteral("Key: ") + m_key;
}

QDataStream &IdentDataOpcua::write(QDataStream &out) const
{
    return IdentData::write(out) << m_key;
}

QDataStream &IdentDataOpcua::readFields(QDataStream &in)
{
    return LengthCheck::readText(in, m_key);
}
