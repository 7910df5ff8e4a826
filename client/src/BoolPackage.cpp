#include "BoolPackage.h"

#include <QIODevice>

BoolPackage::BoolPackage(int packageId, IdentData *ident, bool value)
    : DataPackage(Bool, packageId, ident), m_value(value)
{}

void BoolPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << m_value; });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString BoolPackage::toString() const
{
    return QStringLiteral("%1").arg(int(m_value));
}

void BoolPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    in >> m_value;
}

QVariant BoolPackage::value() const
{
    return QVariant(m_value);
}
