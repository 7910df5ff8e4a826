#include "LengthCheck.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>
#include <QString>
#include <QtEndian>

namespace {

constexpr quint32 NullMarker = 0xffffffff;

// The length word at the stream's position without consuming it; false when
// fewer than four bytes are left or the device cannot say how many are.
bool peekLength(QDataStream &in, quint32 &length)
{
    QIODevice *device = in.device();
    if (!device || device->isSequential())
        return false;
    uchar word[4];
    if (device->peek(reinterpret_cast<char *>(word), 4) != 4)
        return false;
    length = qFromBigEndian<quint32>(word);
    return true;
}

// Whether `bytes` can follow the length word.
bool followedBy(QDataStream &in, quint64 bytes)
{
    const qint64 left = LengthCheck::bytesLeft(in);
    return left < 0 || bytes <= quint64(qMax<qint64>(left - 4, 0));
}

} // namespace

qint64 LengthCheck::bytesLeft(QDataStream &in)
{
    QIODevice *device = in.device();
    if (!device || device->isSequential())
        return -1;
    return device->bytesAvailable();
}

bool LengthCheck::fits(QDataStream &in, quint64 count, qint64 itemSize)
{
    const qint64 left = bytesLeft(in);
    if (left < 0 || count == 0)
        return true;
    // Divided rather than multiplied: count * itemSize could overflow.
    return count <= quint64(left) / quint64(qMax<qint64>(itemSize, 1));
}

bool LengthCheck::textFits(QDataStream &in)
{
    quint32 length = 0;
    if (!peekLength(in, length) || length == NullMarker || (length & 1) != 0)
        return true;
    return followedBy(in, length);
}

bool LengthCheck::bytesFit(QDataStream &in)
{
    quint32 length = 0;
    if (!peekLength(in, length) || length == NullMarker)
        return true;
    return followedBy(in, length);
}

bool LengthCheck::bitsFit(QDataStream &in)
{
    quint32 bits = 0;
    if (!peekLength(in, bits))
        return true;
    return followedBy(in, (quint64(bits) + 7) / 8);
}

QDataStream &LengthCheck::readText(QDataStream &in, QString &text)
{
    if (textFits(in))
        return in >> text;
    text = QString();
    runOut(in);
    return in;
}

void LengthCheck::runOut(QDataStream &in)
{
    if (QIODevice *device = in.device())
        device->seek(device->size());
    in.setStatus(QDataStream::ReadPastEnd);
}
