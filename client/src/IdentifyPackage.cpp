#include "IdentifyPackage.h"

#include <QIODevice>

IdentifyPackage::IdentifyPackage(int packageId, const QString &clientName, bool clientFlag)
    : BasicPackage(Identify, packageId), m_clientName(clientName), m_clientFlag(clientFlag)
{}

void IdentifyPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes =
        encode([this](QDataStream &out) { out << m_clientName << m_clientFlag; });
    BasicPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

void IdentifyPackage::read(QDataStream &in)
{
    readText(in, m_clientName);
    in >> m_clientFlag;
}
