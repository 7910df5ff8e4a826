#include "PieceSplitter.h"

namespace {

constexpr int SizeCountMask = 0x0f;
constexpr int FlagBit = 0x10;

} // namespace

PieceSplitter::PieceSplitter(const uint8_t *data, size_t size)
{
    if (size == 0)
        return;
    const int sizeCount = qMin<int>(data[0] & SizeCountMask, int(size) - 1);
    m_flag = (data[0] & FlagBit) != 0;
    QList<int> sizes;
    for (int i = 0; i < sizeCount; ++i)
        sizes.append(1 + int(data[1 + i]) * int(data[1 + i]));
    const int offset = 1 + sizeCount;
    m_stream = QByteArray(reinterpret_cast<const char *>(data) + offset, int(size) - offset);
    if (sizes.isEmpty()) {
        m_pieces.append(m_stream);
        return;
    }
    for (int at = 0, i = 0; at < m_stream.size(); ++i) {
        const int length = sizes.at(i % sizes.size());
        m_pieces.append(m_stream.mid(at, length));
        at += length;
    }
}

QByteArray PieceSplitter::compose(const QByteArray &stream, const QByteArray &sizeBytes, bool flag)
{
    QByteArray input;
    input.append(char((sizeBytes.size() & SizeCountMask) | (flag ? FlagBit : 0)));
    input.append(sizeBytes.left(SizeCountMask));
    return input + stream;
}
