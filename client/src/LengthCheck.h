#ifndef LENGTHCHECK_H
#define LENGTHCHECK_H

#include <QtGlobal>

class QDataStream;
class QString;

/// The one guard between a length the peer announces and an allocation.
///
/// Qt's readers size their buffer from the announced length before they find
/// out that the bytes are missing: a text announced as 2 GiB costs 2 MiB per
/// read attempt, a CBOR array of 2^31 elements 16 MiB, from a frame of a few
/// bytes. Every wire reader asks here first whether what is announced can fit
/// into what the stream has left; what cannot fit reads as Qt reads a stream
/// that ends early (a null text, an empty list, the stream past its end),
/// without allocating. A device that cannot tell its remaining size
/// (sequential) is trusted, as the wire code only reads from buffers.
class LengthCheck
{
public:
    /// Bytes left to read, or -1 when the device cannot tell.
    static qint64 bytesLeft(QDataStream &in);
    /// Whether `count` items of at least `itemSize` bytes each can follow.
    static bool fits(QDataStream &in, quint64 count, qint64 itemSize);

    /// Whether the length word at the stream's position announces a text
    /// (QString), a byte array or a bit array that the rest of the stream
    /// holds. A length word that is itself cut off, a null marker or an odd
    /// byte count of a text counts as fitting: Qt reads those without
    /// allocating.
    static bool textFits(QDataStream &in);
    static bool bytesFit(QDataStream &in);
    static bool bitsFit(QDataStream &in);

    /// Reads a text as Qt does, unless its announced length cannot fit: then
    /// it reads as null and the stream runs out.
    static QDataStream &readText(QDataStream &in, QString &text);

    /// What Qt's readers leave when the data ends inside a field: everything
    /// left consumed and the stream past its end.
    static void runOut(QDataStream &in);
};

#endif // LENGTHCHECK_H
