#include "IntListPackage.h"

#include "ListTypes.h"
#include "PackageText.h"

#include <QIODevice>

IntListPackage::IntListPackage(int packageId, IdentData *ident, const QList<qint32> &value)
    : DataPackage(IntList, packageId, ident), m_value(value)
{}

void IntListPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes =
        encode([this](QDataStream &out) { ListTypes::writeIntList(out, m_value); });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString IntListPackage::toString() const
{
    return joinWithTrailingComma(m_value,
                                 [](qint32 i) { return QString::number(double(i), 'g', 6); });
}

void IntListPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    ListTypes::readIntList(in, m_value);
}

QVariant IntListPackage::value() const
{
    return QVariant::fromValue(m_value);
}
