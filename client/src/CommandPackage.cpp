#include "CommandPackage.h"

#include "ListTypes.h"

#include <QIODevice>

CommandPackage::CommandPackage(int packageId, const QString &command, const QStringList &params)
    : BasicPackage(Command, packageId), m_command(command), m_params(params)
{}

void CommandPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << m_command << m_params; });
    BasicPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

void CommandPackage::read(QDataStream &in)
{
    readText(in, m_command);
    ListTypes::readStringList(in, m_params);
}
