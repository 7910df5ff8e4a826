#ifndef PIECESPLITTER_H
#define PIECESPLITTER_H

#include <QByteArray>
#include <QList>

/// Cuts a fuzz input into a byte stream and the pieces it is delivered in.
/// The first byte's low four bits give how many size bytes follow (0: the
/// stream comes in one piece); size byte b stands for a piece of 1 + b * b
/// bytes (1 to 65026), the sizes repeating until the stream is used up. Bit
/// 0x10 of the first byte is left to the target as a flag.
class PieceSplitter
{
public:
    PieceSplitter(const uint8_t *data, size_t size);

    const QByteArray &stream() const { return m_stream; }
    const QList<QByteArray> &pieces() const { return m_pieces; }
    bool flag() const { return m_flag; }

    /// The input that yields `stream` cut by `sizeBytes`.
    static QByteArray compose(const QByteArray &stream, const QByteArray &sizeBytes = {},
                              bool flag = false);

private:
    QByteArray m_stream;
    QList<QByteArray> m_pieces;
    bool m_flag = false;
};

#endif // PIECESPLITTER_H
