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

// The type of the variant that starts here. A type may also be sent by name,
// which reaches the same readers as its number.
int readTypeId(QDataStream &in)
{
    quint32 typeId = 0;
    qint8 isNull = 0;
    in >> typeId >> isNull;
    if (typeId != QMetaType::User)
        return int(typeId);
    QByteArray name;
    in >> name;
    return QMetaType::type(name.constData());
}

// Qt's readers of these built-in lists reserve room for the announced count
// before they read an element, so a made-up count throws std::bad_alloc. The
// smallest encoding of one element bounds what the bytes left can hold.
qint64 smallestElement(int typeId)
{
    switch (typeId) {
    case QMetaType::QStringList:
    case QMetaType::QByteArrayList:
        return 4; // a null string or byte array
    case QMetaType::QVariantList:
        return 5; // a type id and the null flag
    default:
        return 0;
    }
}

bool isMap(int typeId)
{
    return typeId == QMetaType::QVariantMap || typeId == QMetaType::QVariantHash;
}

bool holdsElements(int typeId)
{
    return isMap(typeId) || smallestElement(typeId) > 0;
}

bool variantFits(QDataStream &in);

// Reads the count and the elements of a list or map whose type has been read,
// the way Qt's reader would, and tells whether every list count in it, at any
// depth, fits into the bytes left.
bool elementsFit(QDataStream &in, int typeId)
{
    quint32 count = 0;
    in >> count;
    if (qint64(count) * smallestElement(typeId) > in.device()->bytesAvailable())
        return false;
    // Every element takes at least four bytes or fails the stream, so this ends.
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        if (typeId == QMetaType::QStringList) {
            QString element;
            in >> element;
        } else if (typeId == QMetaType::QByteArrayList) {
            QByteArray element;
            in >> element;
        } else {
            if (isMap(typeId)) {
                // Qt reads the value even when the key has failed.
                QString key;
                in >> key;
            }
            if (!variantFits(in))
                return false;
        }
    }
    return true;
}

// Other values than lists and maps are read by Qt itself: none of their
// readers reserves room up front.
bool variantFits(QDataStream &in)
{
    const qint64 start = in.device()->pos();
    const int typeId = readTypeId(in);
    if (in.status() == QDataStream::Ok && typeId == QMetaType::QVariant)
        return variantFits(in);
    if (in.status() == QDataStream::Ok && holdsElements(typeId))
        return elementsFit(in, typeId);
    in.device()->seek(start);
    QVariant value;
    in >> value;
    return true;
}

// What Qt's reader, given the memory, would end with when a list inside runs
// out of data: every list and map around it emptied, the variants around them
// kept.
QVariant emptied(QDataStream &in)
{
    const int typeId = readTypeId(in);
    if (typeId != QMetaType::QVariant)
        return QVariant(typeId, nullptr);
    const QVariant inner = emptied(in);
    return QVariant(QMetaType::QVariant, &inner);
}

// Recognises a variant in which Qt's reader would reserve room for a made-up
// list count, and gives its result without reading it that way.
bool takeImpossibleList(QDataStream &in, QVariant &value)
{
    QIODevice *dev = in.device();
    if (!dev || dev->isSequential())
        return false;
    const QByteArray rest = dev->peek(dev->bytesAvailable());
    QDataStream walk(rest);
    walk.setVersion(in.version());
    const int typeId = readTypeId(walk);
    if (typeId != QMetaType::QVariant && !holdsElements(typeId))
        return false;
    walk.device()->seek(0);
    if (variantFits(walk))
        return false;
    walk.device()->seek(0);
    value = emptied(walk);
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
