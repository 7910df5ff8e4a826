// Fuzz target: the server's handling of one connection's bytes. A DataServer
// with an in-memory store runs in this process on a free loopback port; each
// input is sent on a fresh connection, whose end of stream follows. The server
// must then end that connection, and still answer another client rightly: a
// probe connection stores a value and reads it back. Every input starts
// with an empty store.

#include "ActionPackage.h"
#include "DataServer.h"
#include "FrameBytes.h"
#include "FuzzCheck.h"
#include "FuzzEnvironment.h"
#include "FuzzTarget.h"
#include "HeaderDecoder.h"
#include "IdentDataRuntime.h"
#include "LoopbackPeer.h"
#include "ResponsePackage.h"
#include "ServerSettings.h"
#include "StringPackage.h"
#include "VdsProtocol.h"

#include <QCoreApplication>

namespace {

constexpr int WaitMs = 5000;
constexpr int SetId = 1;
constexpr int GetId = 2;

DataServer *server = nullptr;
int probes = 0;

IdentData *probeIdent()
{
    return new IdentDataRuntime(QStringLiteral("fuzz-probe"), QStringLiteral("check"));
}

// Whether `bytes` answer the probe: its set acknowledged, its get giving
// `value`. An answer to either id that says otherwise breaks the requirement.
bool probeAnswered(const QByteArray &bytes, const QString &value)
{
    bool acknowledged = false;
    bool read = false;
    HeaderDecoder decoder;
    QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                     [&](const BasicPackagePtr &package, qint64, qint64) {
                         if (!package)
                             return;
                         if (package->packageId() == SetId) {
                             const auto response = package.dynamicCast<ResponsePackage>();
                             FuzzCheck::require(response && response->responseCode() ==
                                                                VdsProtocol::ResponseDone,
                                                "the probe's set is acknowledged");
                             acknowledged = true;
                         } else if (package->packageId() == GetId) {
                             const auto string = package.dynamicCast<StringPackage>();
                             FuzzCheck::require(string && string->typedValue() == value,
                                                "the probe reads back what it stored",
                                                [&package] { return package->toString(); });
                             read = true;
                         }
                     });
    decoder.processData(bytes);
    return acknowledged && read;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzEnvironment::prepare(true);
    ServerSettings settings;
    settings.port = 0;
    settings.inMemory = true;
    server = new DataServer(settings);
    QString error;
    FuzzCheck::require(server->start(&error), "the server starts", error);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    {
        LoopbackPeer peer(server->port());
        FuzzCheck::require(peer.isConnected(), "a connection to the server", peer.failure());
        // The server may drop the connection before it has read everything.
        peer.send(QByteArray(reinterpret_cast<const char *>(data), int(size)), WaitMs);
        peer.shutdownWrite();
        FuzzCheck::require(peer.receive({}, WaitMs),
                           "the server ends a connection whose stream has ended", peer.failure());
    }
    {
        LoopbackPeer probe(server->port());
        const QString value = QStringLiteral("probe %1").arg(++probes);
        const QByteArray frames =
            FrameBytes::encode(StringPackage(SetId, probeIdent(), value)) +
            FrameBytes::encode(ActionPackage(GetId, probeIdent(), ActionPackage::Get));
        FuzzCheck::require(probe.isConnected(), "the probe's connection", probe.failure());
        FuzzCheck::require(probe.send(frames, WaitMs), "the probe's requests are taken",
                           probe.failure());
        FuzzCheck::require(
            probe.receive([&value](const QByteArray &bytes) { return probeAnswered(bytes, value); },
                          WaitMs),
            "the server answers the probe", probe.failure());
    }
    // The server deletes closed connections later; let it, input after input.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    // The next input meets an empty store, as a crash's input alone would
    // when it is run again.
    QString error;
    FuzzCheck::require(server->clearValues(&error), "the store empties between inputs", error);
    return 0;
}
