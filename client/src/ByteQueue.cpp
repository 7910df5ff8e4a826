#include "ByteQueue.h"

#include <cstring>

namespace {

// Pieces smaller than this are joined to the last one instead of kept apart.
constexpr int JoinBelow = 4096;

} // namespace

void ByteQueue::append(const QByteArray &data)
{
    if (data.isEmpty())
        return;
    m_size += data.size();
    if (!m_pieces.isEmpty() && data.size() < JoinBelow) {
        QByteArray &last = m_pieces.last();
        // What was taken of it is dropped first, or a piece that is never
        // read to its end would grow for good.
        if (m_pieces.size() == 1 && m_offset > 0) {
            last.remove(0, m_offset);
            m_offset = 0;
        }
        last.append(data);
        return;
    }
    // A buffer without capacity of its own is borrowed, not shared.
    m_pieces.append(data.capacity() >= data.size() ? data
                                                   : QByteArray(data.constData(), data.size()));
}

void ByteQueue::take(char *out, int length)
{
    m_size -= length;
    while (length > 0) {
        const QByteArray &front = m_pieces.first();
        const int n = qMin(length, front.size() - m_offset);
        std::memcpy(out, front.constData() + m_offset, size_t(n));
        out += n;
        length -= n;
        m_offset += n;
        if (m_offset == front.size()) {
            // Let go of the caller's buffer as soon as it is read.
            m_pieces.removeFirst();
            m_offset = 0;
        }
    }
}

void ByteQueue::clear()
{
    m_pieces.clear();
    m_offset = 0;
    m_size = 0;
}
