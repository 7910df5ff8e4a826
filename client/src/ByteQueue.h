#ifndef BYTEQUEUE_H
#define BYTEQUEUE_H

#include <QByteArray>
#include <QList>

/// The bytes a decoder has received and not yet read, in arrival order. The
/// pieces it is given are kept as they came (shared, not copied), so that a
/// large read is copied only once, by take(); small pieces are joined to the
/// last one, so that a stream trickling in a few bytes at a time costs memory
/// in proportion to its bytes and not to its pieces.
class ByteQueue
{
public:
    /// Appends `data`. Bytes that `data` merely points to
    /// (QByteArray::fromRawData) are copied, as they may be gone after the call.
    void append(const QByteArray &data);
    /// Copies the next `length` bytes (at most size()) to `out` and drops them.
    void take(char *out, int length);
    qint64 size() const { return m_size; }
    void clear();

private:
    QList<QByteArray> m_pieces;
    // Bytes of the first piece already taken.
    int m_offset = 0;
    qint64 m_size = 0;
};

#endif // BYTEQUEUE_H
