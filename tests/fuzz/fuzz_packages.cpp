// Fuzz target: each package class reading an arbitrary payload. The first
// byte picks the class among the fifteen type codes, the rest is the payload,
// cut into 64 KiB pieces as the decoder cuts it, and handed to the package
// factory. The package is touched (PackageToucher) and must write a frame
// that reads back to the same frame.

#include "FuzzCheck.h"
#include "FuzzEnvironment.h"
#include "FuzzTarget.h"
#include "HeaderDecoder.h"
#include "PackageToucher.h"

namespace {

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
    if (size == 0)
        return 0;
    const int type = FuzzTypes::typeAt(data[0] % FuzzTypes::Count);
    const QByteArray payload(reinterpret_cast<const char *>(data) + 1, int(size) - 1);
    QList<QByteArray *> chunks;
    for (int at = 0; at < payload.size(); at += HeaderDecoder::PACKAGE_CHUNK_SIZE)
        chunks.append(new QByteArray(payload.mid(at, HeaderDecoder::PACKAGE_CHUNK_SIZE)));
    const BasicPackagePtr package = createPackage(type, 7, chunks);
    FuzzCheck::require(package && package->type() == type && package->packageId() == 7,
                       "the factory builds a package of every known type");
    toucher->touch(package);
    return 0;
}
