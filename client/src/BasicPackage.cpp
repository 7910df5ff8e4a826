#include "BasicPackage.h"

#include "ChunkDevice.h"
#include "LengthCheck.h"

#include <QBuffer>
#include <QIODevice>

namespace {

// The stream and device a thread encodes with, and whether an encode() of
// that thread is using them.
struct ThreadEncoder
{
    QBuffer device;
    QDataStream stream{&device};
    bool busy = false;
};

ThreadEncoder &threadEncoder()
{
    thread_local ThreadEncoder encoder;
    return encoder;
}

} // namespace

BasicPackage::Encoder::Encoder(QByteArray *bytes)
{
    ThreadEncoder &shared = threadEncoder();
    m_shared = !shared.busy;
    if (!m_shared) {
        m_stream = new QDataStream(bytes, QIODevice::ReadWrite);
        m_stream->setVersion(StreamVersion);
        return;
    }
    shared.busy = true;
    shared.device.setBuffer(bytes);
    shared.device.open(QIODevice::ReadWrite);
    // As a new stream would start: nothing of the last encode stays.
    m_stream = &shared.stream;
    m_stream->resetStatus();
    m_stream->setByteOrder(QDataStream::BigEndian);
    m_stream->setFloatingPointPrecision(QDataStream::DoublePrecision);
    m_stream->setVersion(StreamVersion);
}

BasicPackage::Encoder::~Encoder()
{
    if (!m_shared) {
        delete m_stream;
        return;
    }
    ThreadEncoder &shared = threadEncoder();
    shared.device.close();
    shared.device.setBuffer(nullptr);
    shared.busy = false;
}

BasicPackage::BasicPackage(int type, int packageId) : m_type(type), m_packageId(packageId) {}

BasicPackage::~BasicPackage() = default;

void BasicPackage::write(QIODevice *device, qint64 extraSize) const
{
    if (!device)
        return;
    device->write(encode([&](QDataStream &out) {
        out << qint32(m_type) << qint32(m_packageId) << qint64(extraSize);
    }));
}

QString BasicPackage::toString() const
{
    return QString();
}

void BasicPackage::read(QDataStream &) {}

void BasicPackage::setChunks(QList<QByteArray *> &) {}

QDataStream &BasicPackage::readText(QDataStream &in, QString &text)
{
    const bool missing = in.device() && in.device()->bytesAvailable() < qint64(sizeof(quint32));
    LengthCheck::readText(in, text);
    if (missing)
        text = QString();
    return in;
}

void BasicPackage::fromChunks(QList<QByteArray *> &chunks)
{
    if (chunks.isEmpty())
        return;
    const QByteArray *first = chunks.first();
    setChunks(chunks);
    // A package that kept the chunks (file content) reads its fields from the
    // first one; every other reads its whole payload, across the chunks.
    if (chunks.size() > 1) {
        ChunkDevice payload(chunks);
        payload.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
        QDataStream in(&payload);
        in.setVersion(StreamVersion);
        read(in);
        return;
    }
    QDataStream in(*first);
    in.setVersion(StreamVersion);
    read(in);
}
