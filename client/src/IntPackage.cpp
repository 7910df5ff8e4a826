#include "IntPackage.h"

#include <QIODevice>

IntPackage::IntPackage(int packageId, IdentData *ident, int value)
    : DataPackage(Int, packageId, ident), m_value(value)
{}

void IntPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << qint32(m_value); });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString IntPackage::toString() const
{
    return QStringLiteral("%1").arg(m_value);
}

void IntPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    in >> m_value;
}

QVariant IntPackage::value() const
{
    return QVariant(m_value);
}
