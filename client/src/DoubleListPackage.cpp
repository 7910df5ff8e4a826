#include "DoubleListPackage.h"

#include "ListTypes.h"
#include "PackageText.h"

#include <QIODevice>

DoubleListPackage::DoubleListPackage(int packageId, IdentData *ident, const QList<double> &value)
    : DataPackage(DoubleList, packageId, ident), m_value(value)
{}

void DoubleListPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes =
        encode([this](QDataStream &out) { ListTypes::writeDoubleList(out, m_value); });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString DoubleListPackage::toString() const
{
    return joinWithTrailingComma(m_value, [](double d) { return QString::number(d, 'g', 6); });
}

void DoubleListPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    ListTypes::readDoubleList(in, m_value);
}

QVariant DoubleListPackage::value() const
{
    return QVariant::fromValue(m_value);
}
