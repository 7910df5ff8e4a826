// Fuzz target: the frame decoder and the package factory, fed a byte stream
// in pieces of arbitrary sizes (PieceSplitter). The same stream fed whole
// must give the same packages; every package is touched (PackageToucher).
// The flag bit puts both decoders under a payload limit of 1024 bytes.

#include "FrameBytes.h"
#include "FuzzCheck.h"
#include "FuzzEnvironment.h"
#include "FuzzTarget.h"
#include "HeaderDecoder.h"
#include "PackageToucher.h"
#include "PieceSplitter.h"

#include <QList>

namespace {

constexpr qint64 FlagPayloadLimit = 1024;

struct Delivery
{
    QList<BasicPackagePtr> packages;
    QList<qint64> sizes;
    QList<QByteArray> frames; // each package written again; empty for none
    int tooLarge = 0;
};

Delivery decode(const QList<QByteArray> &pieces, qint64 limit)
{
    Delivery delivery;
    HeaderDecoder decoder;
    decoder.setPayloadLimit(limit);
    QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                     [&](const BasicPackagePtr &package, qint64 size, qint64) {
                         delivery.packages.append(package);
                         delivery.sizes.append(size);
                         delivery.frames.append(package ? FrameBytes::encode(*package)
                                                        : QByteArray());
                     });
    QObject::connect(&decoder, &HeaderDecoder::frameTooLarge,
                     [&](int, int, qint64) { ++delivery.tooLarge; });
    for (const QByteArray &piece : pieces)
        decoder.processData(piece);
    return delivery;
}

PackageToucher *toucher = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzEnvironment::prepare(false);
    toucher = new PackageToucher;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const PieceSplitter input(data, size);
    const qint64 limit = input.flag() ? FlagPayloadLimit : -1;
    const Delivery split = decode(input.pieces(), limit);
    const Delivery whole = decode({input.stream()}, limit);

    FuzzCheck::require(split.sizes == whole.sizes && split.frames == whole.frames &&
                           split.tooLarge == whole.tooLarge,
                       "the pieces a stream arrives in change nothing that is delivered");
    FuzzCheck::require(split.tooLarge <= 1, "a decoder stops after a frame too large");
    // Counted down from the stream's length: a size up to 2^63 - 1 that a
    // faulty decoder delivered must break the requirement, not overflow a sum.
    qint64 left = input.stream().size();
    for (qint64 payload : split.sizes) {
        const qint64 frame = qMax<qint64>(payload, 0);
        FuzzCheck::require(left >= BasicPackage::HeaderSize &&
                               frame <= left - BasicPackage::HeaderSize,
                           "every delivered frame lies within the stream");
        left -= BasicPackage::HeaderSize + frame;
        if (limit >= 0)
            FuzzCheck::require(payload <= limit, "no frame above the limit is delivered");
    }
    for (int i = 0; i < split.packages.size(); ++i)
        toucher->touch(split.packages.at(i), split.frames.at(i));
    return 0;
}
