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

#include <cstring>
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

HeaderDecoder::HeaderDecoder(QObject *parent) : QObject(parent), pending(new QByteArray) {}

HeaderDecoder::~HeaderDecoder()
{
    delete pending;
    qDeleteAll(chunks);
}

void HeaderDecoder::reset()
{
    clearFrame();
    pending->clear();
    pendingOffset = 0;
    m_stopped = false;
}

void HeaderDecoder::clearFrame()
{
    headerBytes.clear();
    type = 0;
    packageId = 0;
    payloadSize = 0;
    remaining = 0;
    startTime = 0;
    m_streaming = false;
    qDeleteAll(chunks);
    chunks.clear();
}

void HeaderDecoder::parseHeader()
{
    startTime = QDateTime::currentMSecsSinceEpoch();
    // Three big-endian numbers, as QDataStream writes them; read in place,
    // without the stream and the device it would make for every frame.
    static_assert(BasicPackage::HeaderSize == 16, "type, id and payload size");
    const auto *header = reinterpret_cast<const uchar *>(headerBytes.constData());
    const qint32 t = qFromBigEndian<qint32>(header);
    const qint32 id = qFromBigEndian<qint32>(header + 4);
    const qint64 size = qFromBigEndian<qint64>(header + 8);
    type = t;
    packageId = id;
    payloadSize = size;
    // A negative size has no meaning; it is taken as an empty payload.
    remaining = qMax<qint64>(size, 0);
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
    // The bytes held from earlier calls and `data` are read as one stream
    // without being joined first: a header or chunk that begins in the held
    // bytes and ends in `data` is copied together from both, and once the held
    // bytes are used up `data` is read in place (it is shared, not copied).
    // So every payload byte is copied once, into its chunk, however the
    // stream is cut into calls.
    // Bytes that `data` merely points to (QByteArray::fromRawData, whose
    // buffer has no capacity of its own) may be gone after this call, so
    // those alone are copied in.
    const QByteArray owned =
        data.capacity() >= data.size() ? data : QByteArray(data.constData(), data.size());
    QByteArray incoming;
    int incomingOffset = 0;
    if (pendingOffset >= pending->size()) {
        *pending = owned;
        pendingOffset = 0;
    } else {
        incoming = owned;
    }
    const auto available = [&] {
        return qint64(pending->size() - pendingOffset) + (incoming.size() - incomingOffset);
    };
    const auto take = [&](char *out, int length) {
        const int held = qMin(length, pending->size() - pendingOffset);
        std::memcpy(out, pending->constData() + pendingOffset, size_t(held));
        pendingOffset += held;
        if (held < length) {
            std::memcpy(out + held, incoming.constData() + incomingOffset, size_t(length - held));
            incomingOffset += length - held;
        }
        if (pendingOffset >= pending->size() && !incoming.isEmpty()) {
            *pending = incoming;
            pendingOffset = incomingOffset;
            incoming = QByteArray();
            incomingOffset = 0;
        }
    };

    for (;;) {
        qint64 n = available();
        const bool haveHeader = !headerBytes.isEmpty();
        if (!haveHeader && n < BasicPackage::HeaderSize)
            break;
        if (haveHeader && n < PACKAGE_CHUNK_SIZE && n < remaining)
            break;
        if (!haveHeader) {
            headerBytes.resize(BasicPackage::HeaderSize);
            take(headerBytes.data(), BasicPackage::HeaderSize);
            parseHeader();
            // A negative size stays with the collected frames, whose
            // receiver learns of it from dataProcessed.
            m_streaming = m_streamFiles && type == BasicPackage::File && payloadSize >= 0;
            if (m_streaming && payloadSize == 0) {
                const int id = packageId;
                clearFrame();
                emit fileChunk(id, 0, 0, QByteArray());
                continue;
            }
            if (!m_streaming && m_payloadLimit >= 0 && payloadSize > m_payloadLimit) {
                m_stopped = true;
                const int t = type, id = packageId;
                const qint64 size = payloadSize;
                clearFrame();
                pending->clear();
                pendingOffset = 0;
                emit frameTooLarge(t, id, size);
                return;
            }
        }
        n = available();
        if (n >= PACKAGE_CHUNK_SIZE || n >= remaining) {
            const int len = int(qMin<qint64>(remaining, PACKAGE_CHUNK_SIZE));
            if (m_streaming) {
                // One buffer serves every chunk unless the receiver keeps one.
                m_streamChunk.resize(len);
                take(m_streamChunk.data(), len);
                const qint64 offset = payloadSize - remaining;
                remaining -= len;
                const int id = packageId;
                const qint64 size = payloadSize;
                if (remaining <= 0)
                    clearFrame();
                emit fileChunk(id, size, offset, m_streamChunk);
                continue;
            }
            auto *chunk = new QByteArray(len, Qt::Uninitialized);
            take(chunk->data(), len);
            chunks.append(chunk);
            remaining -= len;
        }
        if (remaining <= 0)
            finishFrame();
    }

    if (incomingOffset < incoming.size()) {
        // Too little for the next header or chunk, so less than 64 KiB + 16
        // bytes in all: kept for the next call. Appended, not rebuilt: a frame
        // trickling in byte by byte would otherwise be copied whole per byte.
        if (pendingOffset > 0) {
            pending->remove(0, pendingOffset);
            pendingOffset = 0;
        }
        pending->append(incoming.constData() + incomingOffset, incoming.size() - incomingOffset);
    } else if (pendingOffset >= pending->size()) {
        // Everything consumed: the caller's buffer is let go.
        pending->clear();
        pendingOffset = 0;
    }
}
