#include "IdentData.h"

#include "BasicPackage.h"

#include <QDataStream>

IdentData::IdentData(const QString &kindName) : m_kindName(kindName) {}

IdentData::~IdentData() = default;

IdentData *IdentData::clone() const
{
    return new IdentData(*this);
}

void IdentData::fromByteArray(const QByteArray &data)
{
    QDataStream in(data);
    in.setVersion(BasicPackage::StreamVersion);
    readFields(in);
}

QDataStream &IdentData::read(QDataStream &in)
{
    return readFields(in);
}

QString IdentData::description() const
{
    return QStringLiteral("");
}

QString IdentData::toString() const
{
    return m_kindName + QLatin1Char(' ') + description();
}

QDataStream &IdentData::write(QDataStream &out) const
{
    return out << m_kindName;
}

QDataStream &IdentData::readFields(QDataStream &in)
{
    return in;
}
