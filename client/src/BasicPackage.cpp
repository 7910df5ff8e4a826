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

QDataStream &BasicPackage::readText(QDataStream &in, QString &text)
{
    const bool missing = in.device() && in.device()->bytesAvailable() < qint64(sizeof(quint32));
    in >> text;
    if (missing)
        text = QString();
    return in;
}

void BasicPackage::fromChunks(QList<QByteArray *> &chunks)
{
    if (chunks.isEmpty())
        return;
    QDataStream in(*chunks.first());
    in.setVersion(StreamVersion);
    setChunks(chunks);
    read(in);
}
