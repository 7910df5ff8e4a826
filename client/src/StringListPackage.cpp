#include "StringListPackage.h"

#include "ListTypes.h"
#include "PackageText.h"

#include <QIODevice>

StringListPackage::StringListPackage(int packageId, IdentData *ident, const QStringList &value)
    : DataPackage(StringList, packageId, ident), m_value(value)
{}

void StringListPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << m_value; });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString StringListPackage::toString() const
{
    return joinWithTrailingComma(m_value, [](const QString &s) { return s; });
}

void StringListPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    ListTypes::readStringList(in, m_value);
}

QVariant StringListPackage::value() const
{
    return QVariant(m_value);
}
