#include "DecoderBench.h"

#include "FilePackage.h"
#include "HeaderDecoder.h"
#include "IdentDataRuntime.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QVector>

#include <memory>
#include <vector>

namespace {

constexpr int PieceSize = 64 * 1024;

double copyIntoPieces(qint64 bytes, const QByteArray &piece)
{
    std::vector<std::unique_ptr<QByteArray>> pieces;
    pieces.reserve(size_t(bytes / PieceSize + 1));
    QElapsedTimer timer;
    timer.start();
    for (qint64 done = 0; done < bytes; done += PieceSize)
        pieces.emplace_back(
            new QByteArray(piece.constData(), int(qMin<qint64>(PieceSize, bytes - done))));
    const qint64 ns = timer.nsecsElapsed();
    return double(bytes) * 1e3 / double(ns);
}

} // namespace

DecoderBench::SmallFrames DecoderBench::smallFrames(const QString &kind, const QByteArray &frame,
                                                    int frames)
{
    SmallFrames result;
    result.kind = kind;
    result.frameBytes = frame.size();
    result.frames = frames;

    QVector<QByteArray> pieces;
    {
        QByteArray stream;
        stream.reserve(frame.size() * frames);
        for (int i = 0; i < frames; ++i)
            stream.append(frame);
        for (int at = 0; at < stream.size(); at += PieceSize)
            pieces.append(stream.mid(at, PieceSize));
    }

    HeaderDecoder decoder;
    int delivered = 0;
    QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                     [&delivered](BasicPackagePtr package, qint64, qint64) {
                         if (package)
                             ++delivered;
                     });
    QElapsedTimer timer;
    timer.start();
    for (const QByteArray &piece : qAsConst(pieces))
        decoder.processData(piece);
    result.seconds = timer.nsecsElapsed() / 1e9;
    result.delivered = delivered;
    return result;
}

DecoderBench::FileFrame DecoderBench::fileFrame(int mib, int repeats)
{
    FileFrame result;
    result.bytes = qint64(mib) * 1024 * 1024;
    const QByteArray filler(PieceSize, 'x');

    // Header, identifier and name, with a payload size that counts the content.
    QBuffer headBuffer;
    headBuffer.open(QIODevice::WriteOnly);
    FilePackage(7, new IdentDataRuntime(QStringLiteral("bench"), QStringLiteral("file")),
                QStringLiteral("big.bin"), {})
        .write(&headBuffer, result.bytes);
    const QByteArray head = headBuffer.data();

    for (int run = 0; run < repeats; ++run) {
        result.copyMegabytesPerSecond =
            qMax(result.copyMegabytesPerSecond, copyIntoPieces(result.bytes, filler));

        HeaderDecoder decoder;
        BasicPackagePtr received;
        QObject::connect(
            &decoder, &HeaderDecoder::dataProcessed,
            [&received](BasicPackagePtr package, qint64, qint64) { received = package; });
        const QByteArray first = head + filler.left(PieceSize - head.size());
        qint64 left = result.bytes - (PieceSize - head.size());
        QElapsedTimer timer;
        timer.start();
        decoder.processData(first);
        for (; left >= PieceSize; left -= PieceSize)
            decoder.processData(filler);
        if (left > 0)
            decoder.processData(filler.left(int(left)));
        const qint64 ns = timer.nsecsElapsed();
        const auto *file = dynamic_cast<const FilePackage *>(received.data());
        result.ok = file && file->contentSize() == result.bytes;
        const double rate = double(result.bytes) * 1e3 / double(ns);
        if (result.ok && rate > result.megabytesPerSecond) {
            result.megabytesPerSecond = rate;
            result.seconds = ns / 1e9;
        }
    }
    return result;
}

QJsonObject DecoderBench::toJson(const SmallFrames &result)
{
    return QJsonObject{{"kind", result.kind},       {"frame_bytes", result.frameBytes},
                       {"frames", result.frames},   {"delivered", result.delivered},
                       {"seconds", result.seconds}, {"frames_per_s", result.framesPerSecond()}};
}

QJsonObject DecoderBench::toJson(const FileFrame &result)
{
    return QJsonObject{{"bytes", double(result.bytes)},
                       {"ok", result.ok},
                       {"seconds", result.seconds},
                       {"mb_per_s", result.megabytesPerSecond},
                       {"copy_mb_per_s", result.copyMegabytesPerSecond}};
}
