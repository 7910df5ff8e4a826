#include "NestedVariant.h"

#include "BasicPackage.h"
#include "IdentDataMqtt.h"

#include <QCborArray>
#include <QCborValue>
#include <QDataStream>
#include <QJsonArray>
#include <QJsonDocument>
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
        return QByteArray::fromHex("00000009"
                                   "00"
                                   "00000001");
    case NestedVariant::Map:
        return QByteArray::fromHex("00000008"
                                   "00"
                                   "00000001"
                                   "00000002006b");
    case NestedVariant::Hash:
        return QByteArray::fromHex("0000001c"
                                   "00"
                                   "00000001"
                                   "00000002006b");
    case NestedVariant::Wrapped:
        return QByteArray::fromHex("00000029"
                                   "00");
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

// Follows single-element arrays down to the int 7.
int depthOfJson(QJsonValue value, int depth)
{
    while (value.isArray()) {
        const QJsonArray array = value.toArray();
        if (array.size() != 1)
            return -1;
        value = array.first();
        ++depth;
    }
    return value.toInt(-1) == 7 ? depth : -1;
}

int depthOfCbor(QCborValue value, int depth)
{
    while (value.isArray()) {
        const QCborArray array = value.toArray();
        if (array.size() != 1)
            return -1;
        value = array.first();
        ++depth;
    }
    return value.toInteger(-1) == 7 ? depth : -1;
}

const QByteArray innermost = QByteArray::fromHex("00000002"
                                                 "00"
                                                 "00000007");

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
            return document.isArray() ? depthOfJson(document.array(), depth) : -1;
        }
        case QMetaType::QCborValue:
            return depthOfCbor(level.value<QCborValue>(), depth);
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
    static const QList<QPair<QString, Shape>> names{
        {QStringLiteral("list"), List}, {QStringLiteral("map"), Map},
        {QStringLiteral("hash"), Hash}, {QStringLiteral("wrapped"), Wrapped},
        {QStringLiteral("json"), Json}, {QStringLiteral("cbor"), Cbor},
    };
    for (const auto &entry : names) {
        if (entry.first == name) {
            *shape = entry.second;
            return true;
        }
    }
    return false;
}
