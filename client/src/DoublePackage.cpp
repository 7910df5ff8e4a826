#include "DoublePackage.h"

#include <QIODevice>

DoublePackage::DoublePackage(int packageId, IdentData *ident, double value)
    : DataPackage(Double, packageId, ident), m_value(value)
{}

void DoublePackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << m_value; });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString DoublePackage::toString() const
{
    return QStringLiteral("%1").arg(m_value);
}

void DoublePackage::read(QDataStream &in)
{
    DataPackage::read(in);
    in >> m_value;
}

QVariant DoublePackage::value() const
{
    return QVariant(m_value);
}
