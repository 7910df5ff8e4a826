#include "ActionPackage.h"

#include <QIODevice>

ActionPackage::ActionPackage(int packageId, IdentData *ident, int action)
    : DataPackage(Action, packageId, ident), m_action(action)
{}

void ActionPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << qint32(m_action); });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

void ActionPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    in >> m_action;
}
