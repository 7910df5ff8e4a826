#ifndef CHUNKDEVICE_H
#define CHUNKDEVICE_H

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QVector>

/// Reads a payload kept as the decoder's chunks as one random-access device,
/// in place: a value of many chunks is parsed without joining them first,
/// which for a large value would cost one more buffer of its size.
class ChunkDevice : public QIODevice
{
public:
    /// The chunks must outlive the device; they are not changed.
    explicit ChunkDevice(const QList<QByteArray *> &chunks);

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }
    const QList<QByteArray *> &chunks() const { return m_chunks; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QList<QByteArray *> m_chunks;
    QVector<qint64> m_starts; // offset of each chunk within the payload
    qint64 m_size = 0;
};

#endif // CHUNKDEVICE_H
