#include "StatusAgentPackage.h"

#include <QIODevice>

StatusAgentPackage::StatusAgentPackage(int packageId, const QString &status)
    : BasicPackage(StatusAgent, packageId), m_status(status)
{}

void StatusAgentPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << m_status; });
    BasicPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

void StatusAgentPackage::read(QDataStream &in)
{
    readText(in, m_status);
}
