#include "VariantPackage.h"

#include <QDateTime>
#include <QIODevice>
#include <QPoint>
#include <QStringList>
#include <QTimeZone>

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

// Qt's variant reader ignores the two top bits of a type number other than
// the one announcing a name: 0x80000009 is read as a QVariantList.
constexpr quint32 TypeNumberMask = 0x3fffffff;

// The type of the variant that starts here. A type may also be sent by name,
// which reaches the same readers as its number.
int readTypeId(QDataStream &in)
{
    quint32 typeId = 0;
    qint8 isNull = 0;
    in >> typeId >> isNull;
    if (typeId != QMetaType::User)
        return int(typeId & TypeNumberMask);
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

// Qt reads a date-time in a time zone unknown here as one whose zone is
// invalid, and its writer then dereferences a null pointer: such a value
// cannot be sent on or stored (a server re-encodes every value it keeps).
bool isWritable(const QVariant &value)
{
    if (value.userType() != QMetaType::QDateTime)
        return true;
    const QDateTime dateTime = value.toDateTime();
    return dateTime.timeSpec() != Qt::TimeZone || dateTime.timeZone().isValid();
}

bool needsWalk(int typeId)
{
    return typeId == QMetaType::QVariant || typeId == QMetaType::QDateTime || holdsElements(typeId);
}

// What a walk over a variant's stream form finds.
enum class Walk
{
    Readable,
    ImpossibleCount, // a list or map announces more elements than the bytes left can hold
    TooDeep,         // nesting beyond VariantPackage::MaxNestingDepth
    Unwritable,      // a value inside that Qt cannot write again
};

Walk walkVariant(QDataStream &in, int depth);

// Reads the count and the elements of a list or map whose type has been read,
// the way Qt's reader would, checking every list count and the nesting of the
// variants inside. `depth` is the nesting level of the list or map itself.
Walk walkElementsOf(QDataStream &in, int typeId, int depth)
{
    quint32 count = 0;
    in >> count;
    if (qint64(count) * smallestElement(typeId) > in.device()->bytesAvailable())
        return Walk::ImpossibleCount;
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
            const Walk inner = walkVariant(in, depth + 1);
            if (inner != Walk::Readable)
                return inner;
        }
    }
    return Walk::Readable;
}

// Qt's container readers begin with a clear status, whatever failed before
// (a map's key, say), and put a failed status back at their end; the walk
// does the same, or it would miss a count that Qt's reader goes on to read.
Walk walkElements(QDataStream &in, int typeId, int depth)
{
    const QDataStream::Status before = in.status();
    in.resetStatus();
    const Walk found = walkElementsOf(in, typeId, depth);
    if (before != QDataStream::Ok) {
        in.resetStatus();
        in.setStatus(before);
    }
    return found;
}

// Walks the variant that starts here, at nesting level `depth` (1 for the
// package's value), reading on after a failure as Qt's reader does. The walk
// goes no deeper than the limit, so it cannot overflow the stack itself.
// Other values than lists, maps and variants are read by Qt itself: none of
// their readers calls the variant reader again or reserves room up front;
// each is checked for whether it can be written again.
Walk walkVariant(QDataStream &in, int depth)
{
    if (depth > VariantPackage::MaxNestingDepth)
        return Walk::TooDeep;
    const qint64 start = in.device()->pos();
    const int typeId = readTypeId(in);
    if (typeId == QMetaType::QVariant)
        return walkVariant(in, depth + 1);
    if (holdsElements(typeId))
        return walkElements(in, typeId, depth);
    in.device()->seek(start);
    QVariant value;
    in >> value;
    return isWritable(value) ? Walk::Readable : Walk::Unwritable;
}

// What Qt's reader, given the memory, would end with when a list inside runs
// out of data: every list and map around it emptied, the variants around them
// kept. Only called on a walk that stayed within the nesting limit.
QVariant emptied(QDataStream &in)
{
    const int typeId = readTypeId(in);
    if (typeId != QMetaType::QVariant)
        return QVariant(typeId, nullptr);
    const QVariant inner = emptied(in);
    return QVariant(QMetaType::QVariant, &inner);
}

// Recognises a variant that Qt's reader must not be given: one in which it
// would reserve room for a made-up list count, whose result is given without
// reading it that way, and one nested deeper than the limit or holding a value
// that cannot be written again, which comes out invalid, as an unreadable
// value does.
bool takeUnreadable(QDataStream &in, QVariant &value)
{
    QIODevice *dev = in.device();
    if (!dev || dev->isSequential())
        return false;
    const QByteArray rest = dev->peek(dev->bytesAvailable());
    QDataStream walk(rest);
    walk.setVersion(in.version());
    walk.setStatus(in.status());
    const int typeId = readTypeId(walk);
    if (!needsWalk(typeId))
        return false;
    walk.device()->seek(0);
    const Walk found = walkVariant(walk, 1);
    if (found == Walk::Readable)
        return false;
    if (found == Walk::TooDeep || found == Walk::Unwritable) {
        value = QVariant();
        in.setStatus(QDataStream::ReadCorruptData);
    } else {
        walk.device()->seek(0);
        value = emptied(walk);
        in.setStatus(QDataStream::ReadPastEnd);
    }
    dev->seek(dev->size());
    return true;
}

} // namespace

void VariantPackage::read(QDataStream &in)
{
    DataPackage::read(in);
    if (!takeUnreadable(in, m_value))
        in >> m_value;
}

QVariant VariantPackage::value() const
{
    return m_value;
}
