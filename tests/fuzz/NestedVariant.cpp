#include "NestedVariant.h"

#include "BasicPackage.h"
#include "IdentDataMqtt.h"

#include <QCborArray>
#include <QCborValue>
#include <QDataStream>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>
#include <QVariantHash>
#include <QVariantList>
#include <QVariantMap>

namespace {

// The bytes one level adds before the next level's variant: type id, null
// flag and, for containers, a count of 1 (and the key "k").
QByteArray levelPrefix(NestedVariant::Shape shape)
{
    switch (shape) {
    case NestedVariant::List:
        return QByteArray::fromHex("0000000900 00000001");
    case NestedVariant::Map:
        return QByteArray::fromHex("0000000800 00000001 00000002006b");
    case NestedVariant::Hash:
        return QByteArray::fromHex("0000001c00 00000001 00000002006b");
    case NestedVariant::Wrapped:
        return QByteArray::fromHex("0000002900");
    case NestedVariant::Json:
    case NestedVariant::Cbor:
        break;
    }
    return QByteArray();
}

// A variant of type `typeId` whose stream form is the byte array `document`.
QByteArray documentVariant(int typeId, const QByteArray &document)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(BasicPackage::StreamVersion);
    out << quint32(typeId) << qint8(0) << document;
    return bytes;
}

// Follows single-element arrays (JSON or CBOR) down to the int 7.
template <typename Value>
int depthOfArrays(Value value, int depth)
{
    while (value.isArray()) {
        const auto array = value.toArray();
        if (array.size() != 1)
            return -1;
        value = array.first();
        ++depth;
    }
    return value.toVariant() == QVariant(7) ? depth : -1;
}

const QByteArray innermost = QByteArray::fromHex("0000000200 00000007");

} // namespace

QByteArray NestedVariant::bytes(Shape shape, int depth)
{
    const int levels = qMax(depth, 1) - 1;
    if (shape == Json) {
        const QByteArray text = QByteArray(levels, '[') + '7' + QByteArray(levels, ']');
        return documentVariant(QMetaType::QJsonDocument, text);
    }
    if (shape == Cbor)
        return documentVariant(QMetaType::QCborValue, QByteArray(levels, char(0x81)) + char(0x07));
    return levelPrefix(shape).repeated(levels) + innermost;
}

QByteArray NestedVariant::payload(Shape shape, int depth)
{
    QByteArray ident;
    QDataStream out(&ident, QIODevice::WriteOnly);
    out.setVersion(BasicPackage::StreamVersion);
    IdentDataMqtt(QStringLiteral("k")).write(out);
    return ident + bytes(shape, depth);
}

int NestedVariant::depthOf(const QVariant &value)
{
    if (!value.isValid())
        return 0;
    // A loop, not recursion: the value may be deeper than the stack allows.
    int depth = 1;
    QVariant level = value;
    for (;;) {
        QVariant next;
        switch (level.userType()) {
        case QMetaType::QVariantList: {
            const QVariantList list = level.toList();
            if (list.size() != 1)
                return -1;
            next = list.first();
            break;
        }
        case QMetaType::QVariantMap:
        case QMetaType::QVariantHash: {
            const QVariantMap map = level.toMap();
            if (map.size() != 1 || !map.contains(QStringLiteral("k")))
                return -1;
            next = map.value(QStringLiteral("k"));
            break;
        }
        case QMetaType::QVariant:
            next = *static_cast<const QVariant *>(level.constData());
            break;
        case QMetaType::QJsonDocument: {
            const QJsonDocument document = level.toJsonDocument();
            return document.isArray() ? depthOfArrays(QJsonValue(document.array()), depth) : -1;
        }
        case QMetaType::QCborValue:
            return depthOfArrays(level.value<QCborValue>(), depth);
        case QMetaType::Int:
            return level.toInt() == 7 ? depth : -1;
        default:
            return -1;
        }
        level = next;
        ++depth;
    }
}

bool NestedVariant::parseShape(const QString &name, Shape *shape)
{
    // In the order of Shape.
    const int at = QStringList{"list", "map", "hash", "wrapped", "json", "cbor"}.indexOf(name);
    if (at >= 0)
        *shape = Shape(at);
    return at >= 0;
}
