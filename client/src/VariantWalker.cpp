#include "VariantWalker.h"

#include "ChunkDevice.h"
#include "LengthCheck.h"
#include "VariantPackage.h"

#include <QBuffer>
#include <QCborStreamReader>
#include <QCborValue>
#include <QDataStream>
#include <QDateTime>
#include <QTimeZone>
#include <QVariant>

#include <memory>

namespace {

// Qt's variant reader ignores the two top bits of a type number other than
// the one announcing a name: 0x80000009 is read as a QVariantList.
constexpr quint32 TypeNumberMask = 0x3fffffff;

// What a walk over a variant's stream form finds.
enum class Walk
{
    Readable,
    RunsOut,    // a length or count announces more than the bytes left can hold
    TooDeep,    // nesting beyond VariantPackage::MaxNestingDepth
    Unwritable, // a value inside that Qt cannot write again
};

// The type of the variant that starts here; a type may also be sent by name,
// which reaches the same readers as its number. -1 when the name cannot fit.
int readTypeId(QDataStream &in)
{
    quint32 typeId = 0;
    qint8 isNull = 0;
    in >> typeId >> isNull;
    if (typeId != QMetaType::User)
        return int(typeId & TypeNumberMask);
    if (!LengthCheck::bytesFit(in))
        return -1;
    QByteArray name;
    in >> name;
    return QMetaType::type(name.constData());
}

// Qt's readers of these built-in lists reserve room for the announced count
// before they read an element. The smallest encoding of one element bounds
// what the bytes left can hold.
qint64 smallestElement(int typeId)
{
    switch (typeId) {
    case QMetaType::QStringList:
    case QMetaType::QByteArrayList:
        return 4; // a null string or byte array
    case QMetaType::QVariantList:
        return 5; // a type id and the null flag
    case QMetaType::QVariantMap:
    case QMetaType::QVariantHash:
        return 9; // a null key, a type id and the null flag
    default:
        return 0;
    }
}

bool isMap(int typeId)
{
    return typeId == QMetaType::QVariantMap || typeId == QMetaType::QVariantHash;
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

bool skipText(QDataStream &in)
{
    if (!LengthCheck::textFits(in))
        return false;
    QString text;
    in >> text;
    return true;
}

// Qt's CBOR decoder goes no deeper than this; containers below it are never
// built, so their sizes need no check.
constexpr int CborDepthDecoded = 1024;

// Qt writes an element it could not decode as nothing, so a container it
// read can announce a few more elements than its bytes hold; reading such a
// container again must give what Qt gives. A few more reserved elements
// (16 bytes each) cost nothing; millions do.
constexpr quint64 CborSlack = 1024;

enum class Cbor
{
    Fits,
    TooLarge,
    BeyondDecoding, // deeper than Qt decodes: what was checked is all it builds
    Truncated,      // a string announces more bytes than are left
};

// Whether every chunk of the string that starts at `at` in `bytes` fits into
// the bytes left. Qt makes room for a chunk's announced length before it finds
// the bytes missing: five bytes announcing 1.5 GB cost seconds under ASan, in
// the walk and again in cborDecodes(). Such CBOR cannot decode whole. A
// malformed header ends the look: Qt stops there too, before any room.
bool chunksFit(const QByteArray &bytes, qint64 at)
{
    const auto byteAt = [&bytes](qint64 i) { return quint8(bytes.at(int(i))); };
    const qint64 size = bytes.size();
    const bool indefinite = (byteAt(at) & 0x1f) == 31;
    qint64 pos = indefinite ? at + 1 : at;
    while (pos < size) {
        const quint8 initial = byteAt(pos);
        if (indefinite && initial == 0xff)
            return true;
        const int info = initial & 0x1f;
        quint64 length = quint64(info);
        int extra = 0;
        if (info >= 24) {
            if (info > 27)
                return true;
            extra = 1 << (info - 24);
            if (extra > size - pos - 1)
                return true;
            length = 0;
            for (int i = 1; i <= extra; ++i)
                length = (length << 8) | byteAt(pos + i);
        }
        pos += 1 + extra;
        if (length > quint64(size - pos))
            return false;
        if (!indefinite)
            return true;
        pos += qint64(length);
    }
    return true;
}

// CBOR announces container sizes that Qt reserves room for (up to a million
// elements, 16 MiB, from five bytes): every size must fit into the bytes left.
Cbor walkCbor(QCborStreamReader &reader, const QByteArray &bytes, int depth)
{
    const qint64 size = bytes.size();
    if (depth > CborDepthDecoded)
        return Cbor::BeyondDecoding;
    if ((reader.isString() || reader.isByteArray()) && !chunksFit(bytes, reader.currentOffset()))
        return Cbor::Truncated;
    if (!reader.isArray() && !reader.isMap())
        return reader.next() ? Cbor::Fits : Cbor::BeyondDecoding;
    if (reader.isLengthKnown()) {
        const quint64 items = reader.length() * (reader.isMap() ? 2 : 1);
        if (items > quint64(size - reader.currentOffset()) + CborSlack)
            return Cbor::TooLarge;
    }
    if (!reader.enterContainer())
        return Cbor::BeyondDecoding;
    while (reader.lastError() == QCborError::NoError && reader.hasNext()) {
        const Cbor inner = walkCbor(reader, bytes, depth + 1);
        if (inner != Cbor::Fits)
            return inner;
    }
    // What cannot be decoded Qt reads as an invalid value, allocating nothing
    // more for it.
    if (reader.lastError() != QCborError::NoError || !reader.leaveContainer())
        return Cbor::BeyondDecoding;
    return Cbor::Fits;
}

// CBOR that Qt cannot decode whole it keeps in part, and writes back as
// other CBOR that reads differently again; like any value that cannot be
// written again, it reads as an invalid variant.
bool cborDecodes(const QByteArray &bytes)
{
    QCborParserError error;
    QCborValue::fromCbor(bytes, &error);
    return error.error == QCborError::NoError;
}

// A date-time in a named zone carries the zone's id, and one with an offset
// from UTC its names and comment as texts of their own.
bool dateTimeFits(QDataStream &in)
{
    qint64 julianDay = 0;
    quint32 msecs = 0;
    qint8 timeSpec = 0;
    in >> julianDay >> msecs >> timeSpec;
    if (timeSpec != Qt::TimeZone)
        return true;
    if (!LengthCheck::textFits(in))
        return false;
    QString id;
    in >> id;
    if (id != QLatin1String("OffsetFromUtc"))
        return true;
    qint32 number = 0;
    if (!skipText(in))
        return false;
    in >> number;
    if (!skipText(in) || !skipText(in))
        return false;
    in >> number;
    return skipText(in);
}

Walk cborWalk(QDataStream &in)
{
    if (!LengthCheck::bytesFit(in))
        return Walk::RunsOut;
    QByteArray bytes;
    in >> bytes;
    QCborStreamReader reader(bytes);
    switch (walkCbor(reader, bytes, 1)) {
    case Cbor::TooLarge:
        return Walk::RunsOut;
    case Cbor::Truncated:
        return Walk::Unwritable;
    default:
        return cborDecodes(bytes) ? Walk::Readable : Walk::Unwritable;
    }
}

// Whether the leaf value (no list, map or variant) that starts here, of
// `typeId`, announces only lengths the bytes left can hold. Types not named
// here have no length of their own in their stream form.
bool leafFits(QDataStream &in, int typeId)
{
    switch (typeId) {
    case QMetaType::QString:
    case QMetaType::QLocale:
    case QMetaType::QRegExp:
    case QMetaType::QRegularExpression:
        return LengthCheck::textFits(in);
    case QMetaType::QByteArray:
    case QMetaType::QUrl:
    case QMetaType::QJsonObject:
    case QMetaType::QJsonArray:
    case QMetaType::QJsonDocument:
        return LengthCheck::bytesFit(in);
    case QMetaType::QBitArray:
        return LengthCheck::bitsFit(in);
    case QMetaType::QJsonValue: {
        quint8 type = 0;
        in >> type;
        if (type == 3) // a string
            return LengthCheck::textFits(in);
        return type == 4 || type == 5 ? LengthCheck::bytesFit(in) : true; // array, object
    }
    case QMetaType::QDateTime:
        return dateTimeFits(in);
    default:
        return true;
    }
}

Walk walkVariant(QDataStream &in, int depth);

// Reads the count and the elements of a list or map whose type has been read,
// the way Qt's reader would. `depth` is the nesting level of the list or map.
Walk walkElementsOf(QDataStream &in, int typeId, int depth)
{
    quint32 count = 0;
    in >> count;
    if (!LengthCheck::fits(in, count, smallestElement(typeId)))
        return Walk::RunsOut;
    // Every element takes at least four bytes or fails the stream, so this ends.
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        if (typeId == QMetaType::QStringList) {
            if (!skipText(in))
                return Walk::RunsOut;
        } else if (typeId == QMetaType::QByteArrayList) {
            QByteArray element;
            if (!LengthCheck::bytesFit(in))
                return Walk::RunsOut;
            in >> element;
        } else {
            // Qt reads the value even when the key has failed.
            if (isMap(typeId) && !skipText(in))
                return Walk::RunsOut;
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
Walk walkVariant(QDataStream &in, int depth)
{
    if (depth > VariantPackage::MaxNestingDepth)
        return Walk::TooDeep;
    const qint64 start = in.device()->pos();
    const int typeId = readTypeId(in);
    if (typeId < 0)
        return Walk::RunsOut;
    if (typeId == QMetaType::QVariant)
        return walkVariant(in, depth + 1);
    if (smallestElement(typeId) > 0)
        return walkElements(in, typeId, depth);
    if (typeId == QMetaType::QCborValue || typeId == QMetaType::QCborArray ||
        typeId == QMetaType::QCborMap) {
        const Walk cbor = cborWalk(in);
        if (cbor != Walk::Readable)
            return cbor;
    } else if (!leafFits(in, typeId)) {
        return Walk::RunsOut;
    }
    // A value at the top needs no reading to find where a next one begins;
    // only a date-time must be read to see whether it can be written again.
    if (depth == 1 && typeId != QMetaType::QDateTime)
        return Walk::Readable;
    // Every length in it fits, so Qt may read it.
    in.device()->seek(start);
    QVariant value;
    in >> value;
    return isWritable(value) ? Walk::Readable : Walk::Unwritable;
}

// What Qt's reader, given the memory, would end with when a length inside
// runs out of data: every list and map around it emptied, the variants around
// them kept. Only called on a walk that stayed within the nesting limit.
QVariant emptied(QDataStream &in)
{
    const int typeId = readTypeId(in);
    if (typeId != QMetaType::QVariant)
        return QVariant(qMax(typeId, 0), nullptr);
    const QVariant inner = emptied(in);
    return QVariant(QMetaType::QVariant, &inner);
}

} // namespace

namespace {

// A second reader over the same bytes as `device` (shared, not copied), or
// null for a device that cannot be read twice.
std::unique_ptr<QIODevice> secondReader(QIODevice *device, QByteArray *storage)
{
    if (auto *buffer = qobject_cast<QBuffer *>(device)) {
        *storage = buffer->data();
        auto view = std::make_unique<QBuffer>(storage);
        view->open(QIODevice::ReadOnly);
        return view;
    }
    if (auto *chunks = dynamic_cast<ChunkDevice *>(device)) {
        auto view = std::make_unique<ChunkDevice>(chunks->chunks());
        view->open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        return view;
    }
    return nullptr;
}

} // namespace

bool VariantWalker::takeUnreadable(QDataStream &in, QVariant &value)
{
    QIODevice *device = in.device();
    QByteArray storage;
    const std::unique_ptr<QIODevice> view = device ? secondReader(device, &storage) : nullptr;
    if (!view)
        return false;
    const qint64 start = device->pos();
    view->seek(start);
    QDataStream walk(view.get());
    walk.setVersion(in.version());
    walk.setStatus(in.status());
    const Walk found = walkVariant(walk, 1);
    if (found == Walk::Readable)
        return false;
    if (found == Walk::TooDeep || found == Walk::Unwritable) {
        value = QVariant();
        in.setStatus(QDataStream::ReadCorruptData);
    } else {
        view->seek(start);
        walk.resetStatus();
        value = emptied(walk);
        in.setStatus(QDataStream::ReadPastEnd);
    }
    device->seek(device->size());
    return true;
}
