// Fuzz target: the client's handling of what a server sends. The bytes go in
// pieces (PieceSplitter) through a frame decoder into a PreProcessor's
// dataProcessed, as its connection's decoder delivers them; then every typed
// reader is called on every identifier that arrived with a value, the cache
// given the package again before each reader. A file reader must save inside
// its folder only; a successful read consumes the entry unless it names a
// globals value, which stays until the server invalidates it.

#include "AutoUpdatePackage.h"
#include "Cache.h"
#include "DataPackage.h"
#include "FilePackage.h"
#include "FuzzCheck.h"
#include "FuzzEnvironment.h"
#include "FuzzTarget.h"
#include "HeaderDecoder.h"
#include "IdentData.h"
#include "Identifier.h"
#include "PackageToucher.h"
#include "PieceSplitter.h"
#include "PreProcessor.h"
#include "VdsProtocol.h"

#include <functional>

namespace {

PreProcessor *client = nullptr;
PackageToucher *toucher = nullptr;

struct Arrival
{
    Identifier ident;
    BasicPackagePtr package;
};

using Reader = std::function<bool(const Identifier &)>;

// A typed reader of the client, called with a value of its own.
template <typename Value>
Reader reader(bool (PreProcessor::*read)(const Identifier &, Value *))
{
    return [read](const Identifier &ident) {
        Value value{};
        return (client->*read)(ident, &value);
    };
}

QList<Reader> readers()
{
    return {reader(&PreProcessor::readDataType),   reader(&PreProcessor::readString),
            reader(&PreProcessor::readDouble),     reader(&PreProcessor::readInt32),
            reader(&PreProcessor::readBool),       reader(&PreProcessor::readStringList),
            reader(&PreProcessor::readDoubleList), reader(&PreProcessor::readInt32List),
            reader(&PreProcessor::readVariant)};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FuzzEnvironment::prepare(true);
    // Never connected: the port is not used.
    client = new PreProcessor(QStringLiteral("127.0.0.1"), 1);
    toucher = new PackageToucher;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const PieceSplitter input(data, size);
    QList<Arrival> arrivals;
    {
        HeaderDecoder decoder;
        QObject::connect(&decoder, &HeaderDecoder::dataProcessed, client,
                         &PreProcessor::dataProcessed);
        QObject::connect(&decoder, &HeaderDecoder::dataProcessed,
                         [&arrivals](const BasicPackagePtr &package, qint64, qint64) {
                             const auto *value = dynamic_cast<const DataPackage *>(package.data());
                             const auto *update =
                                 dynamic_cast<const AutoUpdatePackage *>(package.data());
                             if (value && value->ident() && !update)
                                 arrivals.append({Identifier(value->ident()->clone()), package});
                         });
        for (const QByteArray &piece : input.pieces())
            decoder.processData(piece);
    }

    Cache *cache = client->cache();
    const auto readersOf = readers();
    for (const Arrival &arrival : qAsConst(arrivals)) {
        const bool global = arrival.ident.typeIndex() == VdsProtocol::GlobalsKind;
        for (const auto &read : readersOf) {
            cache->insert(arrival.ident, arrival.package);
            if (read(arrival.ident))
                FuzzCheck::require(cache->contains(arrival.ident) == global,
                                   "a read consumes the entry unless it is a globals one",
                                   [&arrival] { return arrival.ident.toString(); });
        }
        cache->insert(arrival.ident, arrival.package);
        const bool saved = client->readFile(arrival.ident, toucher->targetDir());
        const auto *file = dynamic_cast<const FilePackage *>(arrival.package.data());
        FuzzCheck::require(!saved || file, "only a file package is saved as a file");
        toucher->requireSavedOnlyInside(saved, file ? file->fileName() : QString(),
                                        file ? file->contentSize() : 0);
    }
    cache->clear();
    return 0;
}
