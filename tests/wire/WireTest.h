#ifndef WIRETEST_H
#define WIRETEST_H

#include "BasicPackage.h"
#include "FrameBytes.h"
#include "HeaderDecoder.h"
#include "TestSupport.h"

#include <QByteArray>
#include <QIODevice>
#include <QList>
#include <QString>

Q_DECLARE_METATYPE(BasicPackagePtr)

namespace wire {

// The hex helpers (bytes, hex, plain, header, frame) are the shared ones.
using namespace TestSupport;

// Stream forms of the identifiers the tables use: kind text, then the fields.
const QString kindRuntime = QStringLiteral("0000000e 00720075006e00740069006d0065");
const QString kindGlobals = QStringLiteral("0000000e 0067006c006f00620061006c0073");
const QString kindOpcua = QStringLiteral("0000000a 006f0070006300750061");
const QString kindMqtt = QStringLiteral("00000008 006d007100740074");
const QString kindUnknown = QStringLiteral("0000000e 0075006e006b006e006f0077006e");
const QString keyK = QStringLiteral(" 00000002 006b ");
const QString runtimeAB = kindRuntime + " 00000002 0061 00000002 0062 ";
const QString globalsK = kindGlobals + keyK;
const QString opcuaK = kindOpcua + keyK;
const QString mqttK = kindMqtt + keyK;

/// Keeps every write call apart, to see how a package cuts up its frame.
class RecordingDevice : public QIODevice
{
public:
    RecordingDevice() { open(QIODevice::WriteOnly | QIODevice::Unbuffered); }

    QList<QByteArray> writes;

protected:
    qint64 readData(char *, qint64) override { return -1; }
    qint64 writeData(const char *data, qint64 size) override
    {
        writes.append(QByteArray(data, int(size)));
        return size;
    }
};

struct Received
{
    BasicPackagePtr package;
    qint64 dataSize;
};

/// A decoder with every dataProcessed emission recorded in order.
struct Decoding
{
    Decoding()
    {
        QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                         [this](BasicPackagePtr package, qint64 dataSize, qint64) {
                             received.append({package, dataSize});
                         });
    }

    HeaderDecoder decoder;
    QList<Received> received;
};

/// The packages that `frames`, delivered in one piece, decode to.
inline QList<Received> decodeAll(const QByteArray &frames)
{
    Decoding decoding;
    decoding.decoder.processData(frames);
    return decoding.received;
}

} // namespace wire

#endif // WIRETEST_H
