#ifndef DECODERBENCH_H
#define DECODERBENCH_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

/// The frame decoder alone, fed from memory in 64 KiB pieces as a socket
/// would deliver them: many small frames, and one large file frame next to a
/// plain copy of the same bytes into 64 KiB pieces (the one copy the decoder
/// has to make).
class DecoderBench
{
public:
    struct SmallFrames
    {
        QString kind;
        int frameBytes = 0;
        int frames = 0;
        int delivered = 0;
        double seconds = 0;
        double framesPerSecond() const { return seconds > 0 ? delivered / seconds : 0; }
    };
    struct FileFrame
    {
        qint64 bytes = 0;
        bool ok = false;
        double seconds = 0;
        double megabytesPerSecond = 0;
        /// Copying the same bytes into separately allocated 64 KiB pieces.
        double copyMegabytesPerSecond = 0;
    };

    static SmallFrames smallFrames(const QString &kind, const QByteArray &frame, int frames);
    static FileFrame fileFrame(int mib, int repeats);

    static QJsonObject toJson(const SmallFrames &result);
    static QJsonObject toJson(const FileFrame &result);
};

#endif // DECODERBENCH_H
