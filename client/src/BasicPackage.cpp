#include "BasicPackage.h"

#include <QIODevice>

BasicPackage::BasicPackage(int type, int packageId) : m_type(type), m_packageId(packageId) {}

BasicPackage::~BasicPackage() = default;

void BasicPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    device->write(encode([&](QDataStream &out) {
        out << qint32(m_type) << qint32(m_packageId) << qint64(extraSize);
    }));
}

QString BasicPackage::toString() const
{
    return QString();
}

void BasicPackage::read(QDataStream &) {}

void BasicPackage::setChunks(QList<QByteArray *> &) {}

void BasicPackage::fromChunks(QList<QByteArray *> &chunks)
{
    if (chunks.isEmpty())
        return;
    QDataStream in(*chunks.first());
    in.setVersion(StreamVersion);
    setChunks(chunks);
    read(in);
}
