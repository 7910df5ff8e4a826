#include "DataPackage.h"

#include "IdentData.h"
#include "Identifier.h"

#include <QIODevice>

DataPackage::DataPackage(int type, int packageId, IdentData *ident)
    : BasicPackage(type, packageId), m_ident(ident)
{}

DataPackage::~DataPackage()
{
    delete m_ident;
}

void DataPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    QByteArray identBytes;
    if (m_ident)
        identBytes = encode([this](QDataStream &out) { m_ident->write(out); });
    BasicPackage::write(device, identBytes.size() + extraSize);
    device->write(identBytes);
}

void DataPackage::read(QDataStream &in)
{
    // Straight into the package: a handle would make the text it is keyed by.
    IdentData *ident = Identifier::readData(in);
    delete m_ident;
    m_ident = ident;
}

QVariant DataPackage::value() const
{
    return QVariant();
}
