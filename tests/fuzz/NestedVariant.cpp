#include "NestedVariant.h"

#include "BasicPackage.h"
#include "IdentDataMqtt.h"

#include <QCborArray>
#include <QCborValue>
#include <QDataStream>
#include <QVariantHash>
#include <QVariantList>
#include <QVariantMap>

namespace {

// The bytes one level of each shape but Cbor adds before the next level's
// variant: type id, null flag and, for containers, a count of 1 (and the key "k").
const char *const levelPrefix[] = {"0000000900 00000001", "0000000800 00000001 00000002006b",
                                   "0000001c00 00000001 00000002006b", "0000002900"};

const QByteArray innermost = QByteArray::fromHex("0000000200 00000007");

} // namespace

QByteArray NestedVariant::payload(Shape shape, int depth)
{
    const int levels = qMax(depth, 1) - 1;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(BasicPackage::StreamVersion);
    IdentDataMqtt(QStringLiteral("k")).write(out);
    if (shape != Cbor)
        return bytes + QByteArray::fromHex(levelPrefix[shape]).repeated(levels) + innermost;
    out << quint32(QMetaType::QCborValue) << qint8(0)
        << QByteArray(levels, char(0x81)) + char(0x07);
    return bytes;
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
        case QMetaType::QCborValue: {
            // Single-element arrays down to the int 7.
            QCborValue cbor = level.value<QCborValue>();
            for (; cbor.isArray() && cbor.toArray().size() == 1; ++depth)
                cbor = cbor.toArray().first();
            return cbor.toVariant() == QVariant(7) ? depth : -1;
        }
        case QMetaType::Int:
            return level.toInt() == 7 ? depth : -1;
        default:
            return -1;
        }
        level = next;
        ++depth;
    }
}
