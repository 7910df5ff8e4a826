#include "FrameBytes.h"

#include "HeaderDecoder.h"

#include <QBuffer>
#include <QDataStream>

QByteArray FrameBytes::encode(const BasicPackage &package, qint64 extraSize)
{
    // One device per thread, writing into each frame in turn: a QBuffer made
    // for every frame was a tenth of the fuzz targets' time under ASan.
    thread_local QBuffer device;
    QByteArray frame;
    device.setBuffer(&frame);
    device.open(QIODevice::WriteOnly);
    package.write(&device, extraSize);
    device.close();
    device.setBuffer(nullptr);
    return frame;
}

QByteArray FrameBytes::header(int type, int packageId, qint64 payloadSize)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(BasicPackage::StreamVersion);
    out << qint32(type) << qint32(packageId) << payloadSize;
    return bytes;
}

QByteArray FrameBytes::frame(int type, int packageId, const QByteArray &payload)
{
    return header(type, packageId, payload.size()) + payload;
}

bool FrameBytes::readHeader(const QByteArray &bytes, Header *header)
{
    if (bytes.size() < BasicPackage::HeaderSize)
        return false;
    QDataStream in(bytes);
    in.setVersion(BasicPackage::StreamVersion);
    qint32 type = 0;
    qint32 packageId = 0;
    in >> type >> packageId >> header->payloadSize;
    header->type = type;
    header->packageId = packageId;
    return true;
}

QByteArray FrameBytes::withPackageId(QByteArray frame, int packageId)
{
    return frame.replace(4, 4, header(0, packageId, 0).mid(4, 4));
}

BasicPackagePtr FrameBytes::decodePayload(int type, int packageId, const QByteArray &payload)
{
    return createPackage(type, packageId, {new QByteArray(payload)});
}

BasicPackagePtr FrameBytes::decode(const QByteArray &frame)
{
    Header head;
    if (!readHeader(frame, &head) || head.payloadSize != frame.size() - BasicPackage::HeaderSize)
        return {};
    // Through a decoder, so the package gets its payload in the chunks a
    // connection would give it.
    HeaderDecoder decoder;
    BasicPackagePtr package;
    QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                     [&package](BasicPackagePtr decoded, qint64, qint64) { package = decoded; });
    decoder.processData(frame);
    return package;
}
