#include "ChunkDevice.h"

#include <algorithm>
#include <cstring>

ChunkDevice::ChunkDevice(const QList<QByteArray *> &chunks) : m_chunks(chunks)
{
    m_starts.reserve(chunks.size());
    for (const QByteArray *chunk : chunks) {
        m_starts.append(m_size);
        m_size += chunk->size();
    }
}

qint64 ChunkDevice::readData(char *data, qint64 maxSize)
{
    qint64 at = pos();
    qint64 done = 0;
    // The chunk holding `at`: the last one that starts at or before it.
    int index =
        int(std::upper_bound(m_starts.cbegin(), m_starts.cend(), at) - m_starts.cbegin()) - 1;
    while (done < maxSize && index >= 0 && index < m_chunks.size()) {
        const QByteArray &chunk = *m_chunks.at(index);
        const qint64 offset = at - m_starts.at(index);
        const qint64 length = qMin<qint64>(chunk.size() - offset, maxSize - done);
        if (length > 0) {
            std::memcpy(data + done, chunk.constData() + offset, size_t(length));
            done += length;
            at += length;
        }
        ++index;
    }
    return done;
}
