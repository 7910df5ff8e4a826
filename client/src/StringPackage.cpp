#include "StringPackage.h"

#include <QIODevice>

StringPackage::StringPackage(int packageId, IdentData *ident, const QString &value)
    : DataPackage(String, packageId, ident), m_value(value)
{}

void StringPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << m_value; });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString StringPackage::toString() const
{
    return m_value;
}

void StringPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    readText(in, m_value);
}

QVariant StringPackage::value() const
{
    return QVariant(m_value);
}
