#include "HeaderDecoder.h"

#include "ActionPackage.h"
#include "AutoUpdatePackage.h"
#include "BoolPackage.h"
#include "CommandPackage.h"
#include "DoubleListPackage.h"
#include "DoublePackage.h"
#include "FilePackage.h"
#include "IdentData.h"
#include "IdentifyPackage.h"
#include "IntListPackage.h"
#include "IntPackage.h"
#include "ResponsePackage.h"
#include "StatusAgentPackage.h"
#include "StringListPackage.h"
#include "StringPackage.h"
#include "VariantPackage.h"

#include <QDateTime>
#include <QMap>
#include <QtEndian>

#include <functional>
#include <new>

namespace {

using Builder = std::function<BasicPackagePtr(int)>;

IdentData *unknownIdent()
{
    return new IdentData(QStringLiteral("unknown"));
}

// Each builder makes the package with the field values a received package
// starts from before its payload is read.
const QMap<int, Builder> &builders()
{
    static const QMap<int, Builder> map{
        {BasicPackage::Action,
         [](int id) { return QSharedPointer<ActionPackage>::create(id, unknownIdent(), 0); }},
        {BasicPackage::AutoUpdate,
         [](int id) { return QSharedPointer<AutoUpdatePackage>::create(id, unknownIdent(), 0); }},
        {BasicPackage::String,
         [](int id) {
             return QSharedPointer<StringPackage>::create(id, unknownIdent(), QString());
         }},
        {BasicPackage::Double,
         [](int id) { return QSharedPointer<DoublePackage>::create(id, unknownIdent(), 0.0); }},
        {BasicPackage::Int,
         [](int id) { return QSharedPointer<IntPackage>::create(id, unknownIdent(), 0); }},
        {BasicPackage::Bool,
         [](int id) { return QSharedPointer<BoolPackage>::create(id, unknownIdent(), false); }},
        {BasicPackage::StringList,
         [](int id) {
             return QSharedPointer<StringListPackage>::create(id, unknownIdent(), QStringList());
         }},
        {BasicPackage::DoubleList,
         [](int id) {
             return QSharedPointer<DoubleListPackage>::create(id, unknownIdent(), QList<double>());
         }},
        {BasicPackage::IntList,
         [](int id) {
             return QSharedPointer<IntListPackage>::create(id, unknownIdent(), QList<qint32>());
         }},
        {BasicPackage::File,
         [](int id) {
             return QSharedPointer<FilePackage>::create(id, unknownIdent(), QString(),
                                                        QList<QByteArray *>());
         }},
        {BasicPackage::Variant,
         [](int id) {
             return QSharedPointer<VariantPackage>::create(id, unknownIdent(), QVariant());
         }},
        {BasicPackage::Command,
         [](int id) {
             return QSharedPointer<CommandPackage>::create(id, QString(), QStringList());
         }},
        {BasicPackage::Response,
         [](int id) { return QSharedPointer<ResponsePackage>::create(id, 1, QString()); }},
        {BasicPackage::Identify,
         [](int id) { return QSharedPointer<IdentifyPackage>::create(id, QString(), true); }},
        {BasicPackage::StatusAgent,
         [](int id) { return QSharedPointer<StatusAgentPackage>::create(id, QString()); }},
    };
    return map;
}

} // namespace

BasicPackagePtr createPackage(int type, int packageId, QList<QByteArray *> chunks)
{
    const auto &map = builders();
    const auto it = map.constFind(type);
    BasicPackagePtr package;
    if (it != map.constEnd()) {
        package = (*it)(packageId);
        try {
            package->fromChunks(chunks);
        } catch (const std::bad_alloc &) {
            // A reader of Qt's reserved room for a count the peer made up. The
            // package comes out with empty fields, as for any unreadable payload.
            package = (*it)(packageId);
        }
    }
    qDeleteAll(chunks);
    return package;
}

HeaderDecoder::HeaderDecoder(QObject *parent) : QObject(parent) {}

HeaderDecoder::~HeaderDecoder()
{
    qDeleteAll(chunks);
}

void HeaderDecoder::reset()
{
    clearFrame();
    m_queue.clear();
    m_stopped = false;
}

void HeaderDecoder::clearFrame()
{
    m_inFrame = false;
    type = 0;
    packageId = 0;
    payloadSize = 0;
    remaining = 0;
    startTime = 0;
    m_streaming = false;
    qDeleteAll(chunks);
    chunks.clear();
}

bool HeaderDecoder::readHeader()
{
    startTime = QDateTime::currentMSecsSinceEpoch();
    // Three big-endian numbers, as QDataStream writes them; read directly,
    // without the stream and the device it would make for every frame.
    static_assert(BasicPackage::HeaderSize == 16, "type, id and payload size");
    uchar header[BasicPackage::HeaderSize];
    m_queue.take(reinterpret_cast<char *>(header), BasicPackage::HeaderSize);
    type = qFromBigEndian<qint32>(header);
    packageId = qFromBigEndian<qint32>(header + 4);
    payloadSize = qFromBigEndian<qint64>(header + 8);
    // A negative size has no meaning; it is taken as an empty payload.
    remaining = qMax<qint64>(payloadSize, 0);
    m_inFrame = true;
    // A negative size stays with the collected frames, whose receiver learns
    // of it from dataProcessed.
    m_streaming = m_streamFiles && type == BasicPackage::File && payloadSize >= 0;
    if (m_streaming && payloadSize == 0) {
        const int id = packageId;
        clearFrame();
        emit fileChunk(id, 0, 0, QByteArray());
    } else if (!m_streaming && m_payloadLimit >= 0 && payloadSize > m_payloadLimit) {
        m_stopped = true;
        const int t = type, id = packageId;
        const qint64 size = payloadSize;
        clearFrame();
        m_queue.clear();
        emit frameTooLarge(t, id, size);
        return false;
    }
    return true;
}

void HeaderDecoder::readChunk(int length)
{
    if (m_streaming) {
        // One buffer serves every chunk unless the receiver keeps one.
        m_streamChunk.resize(length);
        m_queue.take(m_streamChunk.data(), length);
        const qint64 offset = payloadSize - remaining;
        remaining -= length;
        const int id = packageId;
        const qint64 size = payloadSize;
        if (remaining <= 0)
            clearFrame();
        emit fileChunk(id, size, offset, m_streamChunk);
        return;
    }
    auto *chunk = new QByteArray(length, Qt::Uninitialized);
    m_queue.take(chunk->data(), length);
    chunks.append(chunk);
    remaining -= length;
    if (remaining <= 0)
        finishFrame();
}

void HeaderDecoder::finishFrame()
{
    const qint64 elapsed = QDateTime::currentMSecsSinceEpoch() - startTime;
    QList<QByteArray *> frameChunks;
    frameChunks.swap(chunks);
    const qint64 size = payloadSize;
    const BasicPackagePtr package = createPackage(type, packageId, frameChunks);
    clearFrame();
    emit dataProcessed(package, size, elapsed);
}

void HeaderDecoder::processData(const QByteArray &data)
{
    if (m_stopped)
        return;
    m_queue.append(data);
    // A payload is cut into chunks of up to 64 KiB, each taken as soon as it
    // is complete; an empty payload still makes one (empty) chunk.
    for (;;) {
        if (!m_inFrame) {
            if (m_queue.size() < BasicPackage::HeaderSize)
                return;
            if (!readHeader())
                return;
            continue;
        }
        const int length = int(qMin<qint64>(remaining, PACKAGE_CHUNK_SIZE));
        if (m_queue.size() < length)
            return;
        readChunk(length);
    }
}
