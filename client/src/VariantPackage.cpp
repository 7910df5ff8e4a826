#include "VariantPackage.h"

#include <QIODevice>
#include <QPoint>
#include <QStringList>

VariantPackage::VariantPackage(int packageId, IdentData *ident, const QVariant &value)
    : DataPackage(Variant, packageId, ident), m_value(value)
{}

void VariantPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    const QByteArray bytes = encode([this](QDataStream &out) { out << m_value; });
    DataPackage::write(device, bytes.size() + extraSize);
    device->write(bytes);
}

QString VariantPackage::toString() const
{
    QStringList parts;
    if (m_value.canConvert<QList<int>>()) {
        for (int i : m_value.value<QList<int>>())
            parts << QString::number(i);
        return parts.join(QStringLiteral(" | "));
    }
    if (m_value.canConvert<QList<QPoint>>()) {
        for (const QPoint &p : m_value.value<QList<QPoint>>())
            parts << QStringLiteral("%1,%2").arg(p.x()).arg(p.y());
        return parts.join(QStringLiteral(" | "));
    }
    return m_value.toString();
}

namespace {

// Qt's reader for the built-in list types reserves the announced count before
// reading an element; a hostile count would throw std::bad_alloc. Recognise
// such a variant first and give what Qt's reader ends with: the empty list and
// a stream past its end.
bool takeImpossibleList(QDataStream &in, QVariant &value)
{
    QIODevice *dev = in.device();
    if (!dev || dev->isSequential())
        return false;
    const QByteArray head = dev->peek(9);
    if (head.size() < 9)
        return false;
    QDataStream peek(head);
    peek.setVersion(in.version());
    quint32 typeId = 0;
    qint8 isNull = 0;
    quint32 count = 0;
    peek >> typeId >> isNull >> count;
    qint64 minElementSize;
    if (typeId == QMetaType::QStringList)
        minElementSize = 4; // a null string
    else if (typeId == QMetaType::QVariantList)
        minElementSize = 5; // a type id and the null flag
    else
        return false;
    if (qint64(count) * minElementSize <= dev->bytesAvailable() - head.size())
        return false;
    value = typeId == QMetaType::QStringList ? QVariant(QStringList()) : QVariant(QVariantList());
    dev->seek(dev->size());
    in.setStatus(QDataStream::ReadPastEnd);
    return true;
}

} // namespace

void VariantPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    if (!takeImpossibleList(in, m_value))
        in >> m_value;
}

QVariant VariantPackage::value() const
{
    return m_value;
}
