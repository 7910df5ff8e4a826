#include "ResponsePackage.h"

#include <QIODevice>

ResponsePackage::ResponsePackage(int packageId, int responseCode, const QString &message)
    : BasicPackage(Response, packageId), m_responseCode(responseCode), m_message(message)
{}

void ResponsePackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes =
        encode([this](QDataStream &out) { out << qint32(m_responseCode) << m_message; });
    BasicPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

void ResponsePackage::read(QDataStream &in)
{
    in >> m_responseCode;
    readText(in, m_message);
}
