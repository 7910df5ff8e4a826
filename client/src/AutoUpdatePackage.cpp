#include "AutoUpdatePackage.h"

#include <QIODevice>

AutoUpdatePackage::AutoUpdatePackage(int packageId, IdentData *ident, int mode)
    : DataPackage(AutoUpdate, packageId, ident), m_mode(mode)
{}

void AutoUpdatePackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << qint32(m_mode); });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

void AutoUpdatePackage::read(QDataStream &in)
{
    DataPackage::read(in);
    in >> m_mode;
}
