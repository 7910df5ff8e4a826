#ifndef HEADERDECODER_H
#define HEADERDECODER_H

#include "BasicPackage.h"
#include "ByteQueue.h"

#include <QByteArray>
#include <QList>
#include <QObject>

/// Cuts a received byte stream, delivered in arbitrary pieces, into frames and
/// turns each into a package. The header's payload size decides where a frame
/// ends; the payload is kept as chunks of at most 64 KiB, cut as soon as that
/// much is pending, so that a large file never has to be held in one buffer and
/// the cut points depend only on the payload size. Every finished frame is
/// announced with dataProcessed, in arrival order, from inside processData.
class HeaderDecoder : public QObject
{
    Q_OBJECT

public:
    static constexpr int PACKAGE_CHUNK_SIZE = 65536;

    explicit HeaderDecoder(QObject *parent = nullptr);
    ~HeaderDecoder() override;

    /// Appends `data` and delivers every frame that it completes.
    void processData(const QByteArray &data);
    /// Drops a partial frame and every pending byte, e.g. for a new connection.
    void reset();
    /// Frames announcing more payload than `limit` bytes are not collected:
    /// frameTooLarge is emitted and the decoder stops until reset(). Negative
    /// means no limit (the default).
    void setPayloadLimit(qint64 limit) { m_payloadLimit = limit; }
    /// With `on`, the payload of a file frame is not collected into a package
    /// but handed out piece by piece with fileChunk as it arrives, so that a
    /// receiver that stores files never holds one whole; the payload limit
    /// then applies to the other frames only. Off by default.
    void setStreamFiles(bool on) { m_streamFiles = on; }

signals:
    void dataProcessed(BasicPackagePtr package, qint64 dataSize, qint64 elapsedTime);
    void frameTooLarge(int type, int packageId, qint64 payloadSize);
    /// A streamed file frame's next `chunk` of at most 64 KiB, at `offset` of
    /// its payload; the chunk that reaches `payloadSize` ends the frame. An
    /// empty payload comes as one empty chunk.
    void fileChunk(int packageId, qint64 payloadSize, qint64 offset, const QByteArray &chunk);

private:
    /// Reads the next frame's header; false when the decoder stopped on it.
    bool readHeader();
    void readChunk(int length);
    void finishFrame();
    void clearFrame();

    ByteQueue m_queue;
    // A header has been read and its payload is awaited.
    bool m_inFrame = false;
    qint64 payloadSize = 0;
    int packageId = 0;
    int type = 0;
    qint64 remaining = 0;
    QList<QByteArray *> chunks;
    qint64 startTime = 0;
    qint64 m_payloadLimit = -1;
    bool m_stopped = false;
    bool m_streamFiles = false;
    // The current frame is a file frame handed out with fileChunk.
    bool m_streaming = false;
    QByteArray m_streamChunk;
};

/// The package factory: builds the package of `type` with `packageId` from the
/// payload `chunks`, or returns null for a type without a package class. The
/// chunks are deleted here unless the package took them over (file content).
BasicPackagePtr createPackage(int type, int packageId, QList<QByteArray *> chunks);

#endif // HEADERDECODER_H
